// The INI preprocessor: joining of continued lines, the directives (include,
// define, undef, if, ifdef, ifndef, else, endif, error), macro expansion with
// parameters, token pasting and backslash escapes, and the expansion of item
// values with the section-aware macros __S__ and __R__.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/strings.h"
#include "ini/lines.h"

class FInOut;
class SectionItem;
class INIStreamStub;

// Characters of identifiers (macro, parameter and directive names): ASCII
// letters, digits, "_" and the bytes 0xC0-0xFF (Windows-1251 letters). An
// identifier never starts with a digit.
bool IsIdentifierChar(unsigned char c);
bool IsIdentifierStart(unsigned char c);

// A macro: its name is the Istr text.
class INIDefine : public Istr {
 public:
  INIDefine(std::string_view name, bool predefined);
  const char* ClassName() const override { return "INIDefine"; }

  uint32_t ParameterCount() const { return parameterCount_; }
  // The body; in a function-like macro without its parameter uses.
  const std::string& Value() const { return value_; }
  uint32_t ExpansionCount() const { return expansionCount_; }
  bool IsPredefined() const { return predefined_; }

  void SetValue(std::string_view value);
  // A function-like body: `##` removed, each use of a parameter name recorded
  // in place of the name.
  void SetBody(std::string_view body, const std::vector<std::string_view>& parameters);

  // Appends the replacement of one use to `output` (stopping once it holds
  // more than `limit` bytes). The arguments are those of a function-like use.
  virtual void Expand(std::string& output, const std::vector<std::string_view>& arguments,
                      const SectionItem* section, size_t limit) const;

 protected:
  friend class Preprocessor;
  uint32_t parameterCount_ = 0;
  std::string value_;
  // Parameter uses of a function-like body: position in value_ and
  // parameter index, in order of position.
  std::vector<std::pair<size_t, uint32_t>> uses_;
  uint32_t expansionCount_ = 0;
  bool predefined_ = false;
  bool active_ = false;  // being expanded: meeting it again is a self-reference
};

// __R__(name): the current value of the item `name` in the section being
// expanded.
class INIDefine__R__ : public INIDefine {
 public:
  INIDefine__R__();
  const char* ClassName() const override { return "INIDefine__R__"; }
  void Expand(std::string& output, const std::vector<std::string_view>& arguments,
              const SectionItem* section, size_t limit) const override;
};

// The preprocessor state of one load: macro table, condition stack and the
// files being read. Messages name the stream's file.
class Preprocessor {
 public:
  // Longest line (joined or expanded) in characters; longer ones are cut
  // with a message.
  static constexpr size_t kMaxLineLength = 65535;
  // Deepest chain of macro uses expanded within one another.
  static constexpr uint32_t kMaxExpansionDepth = 64;
  // Include limits: nesting depth, number of includes and bytes read by
  // includes during one load.
  static constexpr uint32_t kMaxIncludeDepth = 64;
  static constexpr uint32_t kMaxIncludes = 10000;
  static constexpr uint64_t kMaxIncludedBytes = 64ull << 20;

  Preprocessor(uint32_t flags, const char* fileName);
  Preprocessor(const Preprocessor&) = delete;
  Preprocessor& operator=(const Preprocessor&) = delete;
  ~Preprocessor();

  // Joins every line ending with a backslash to the next one; a line ending
  // with two keeps a hard break (byte 0x1F) in place of the first.
  void JoinLines(LineList& lines);
  // __APP_NAME__, __PROJECT_NAME__ and __FILE__.
  void DefinePredefined();
  // Runs the directives over the raw lines and expands the others into the
  // processed lines (a hard break after expansion splits a line).
  void Run(LineList& raw, LineList& processed);
  // Writes "; name = value" for every predefined macro.
  void WritePredefined(FInOut& out) const;

  // Parses a #define argument; false when it is invalid.
  bool Define(std::string_view text, bool predefined);
  INIDefine* Find(std::string_view name) const;
  void Undefine(std::string_view name);
  INIDefine* Add(std::unique_ptr<INIDefine> macro);

  // Expands one text as a line (macros, pasting, then escapes unless the
  // flags say not to) with a section as the context of __R__. The result is
  // cut at kMaxLineLength with a message.
  std::string ExpandLine(std::string_view text, const SectionItem* section);

  // The item values of a parsed table and its subsections that hold "__",
  // expanded with __S__ (the section name) and __R__; the listing, when
  // given, receives every section and item.
  static void ExpandValues(INIStreamStub& table, uint32_t flags, const char* fileName,
                           FInOut* listing);

 private:
  // kKept: a macro met inside its own expansion was copied as it stands.
  enum class Outcome { kDone, kKept, kStopped, kOverflow };
  struct Source;

  // One level of expansion: the text being expanded, where its output goes,
  // and where in the output this level began (pasting looks no further back).
  struct Level {
    std::string& out;
    std::string_view in;
    const SectionItem* section;
    uint32_t depth;
    size_t start;
  };

  // Expands the macros of `in` onto `out`: kStopped when a use could not be
  // expanded (the rest is copied as it stands), kOverflow past the longest
  // line.
  Outcome Expand(std::string& out, std::string_view in, const SectionItem* section, uint32_t depth);
  // The name at `i`: a macro use is expanded, anything else copied; `i`
  // moves past what was consumed.
  Outcome ExpandName(const Level& level, size_t& i);
  // One use of `macro` whose name starts at `i`: its arguments, pasting,
  // the depth limit and the replacement expanded one level down.
  Outcome ExpandUse(const Level& level, INIDefine& macro, std::string_view name, size_t& i);
  // Token pasting on either side of a use: drops a "##" this level has just
  // written, and steps `next` over a "##" after the use.
  static void PasteAround(const Level& level, size_t& next);
  // Copies the input from `from` on as it stands and stops the expansion.
  static Outcome StopAt(const Level& level, size_t from);
  void DecodeEscapes(std::string& text) const;
  void Directive(const char* text, std::vector<Source>& sources);
  void Include(const char* argument, std::vector<Source>& sources);
  bool ReadInclude(const std::string& path, LineList& lines);
  void PushCondition(bool value);
  bool Active() const { return conditions_.empty() || conditions_.back() != 0; }
  void ExpandValuesOf(INIStreamStub& table, INIDefine& section, FInOut* listing);

  uint32_t flags_;
  std::string fileName_;
  std::map<std::string, std::unique_ptr<INIDefine>, std::less<>> macros_;
  // How many macro names start with each byte.
  uint32_t firstBytes_[256] = {};
  std::vector<uint8_t> conditions_;
  uint32_t includes_ = 0;
  uint64_t includedBytes_ = 0;
  bool selfReferenceReported_ = false;
  bool depthReported_ = false;
};
