// Sections and items of INI text: the table a stream parses its processed
// lines into, look-ups by section name and key, typed reads, and writing the
// table back as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/containers.h"
#include "base/strings.h"

class FInOut;
class INIStreamStub;
class LineList;

// An entry of a sorted index: the name it is sorted by, kept beside the
// object so that a search reads one text per step.
template <typename T>
struct IndexEntry {
  const char* name;
  T* object;
};

// One line of a section: a key and its value, or (empty key) a line kept
// whole. A value of up to 7 characters is held inside the item; a longer one
// lives outside it: in the text the stream parsed (shared, not owned) or in a
// copy of its own.
class INIItem : public BaseObject {
 public:
  static constexpr size_t kInlineValue = 7;

  // Own copies of both texts (null counts as empty).
  INIItem(const char* key, const char* value);
  // Key and value stay where they are (text the stream keeps alive); a short
  // value is still copied inside.
  struct Shared {};
  INIItem(Shared, const char* key, const char* value, size_t valueLength);
  INIItem(INIItem&& other) noexcept;
  INIItem& operator=(INIItem&& other) noexcept;
  ~INIItem() override;
  INIItem(const INIItem&) = delete;
  INIItem& operator=(const INIItem&) = delete;

  // Keys compared byte by byte, case-sensitive.
  bool IsEqual(const BaseObject* other) const override;
  bool IsGreater(const BaseObject* other) const override;
  const char* ClassName() const override { return "INIItem"; }

  const char* Key() const { return key_; }
  const char* Value() const { return mode_ == kInline ? inline_ : text_; }
  bool IsValueInline() const { return mode_ == kInline; }
  // Replaces the value with a copy of `value` (the old copy is freed).
  void SetValue(const char* value);
  // Takes the other item's value: shared text stays shared, an own copy is
  // copied.
  void TakeValueOf(const INIItem& other);

 private:
  enum Mode : uint8_t { kInline, kShared, kOwned };
  void SetInline(const char* value, size_t length);
  void FreeValue();

  const char* key_;
  std::unique_ptr<char[]> ownKey_;
  std::unique_ptr<char[]> ownValue_;
  union {
    char inline_[kInlineValue + 1];
    const char* text_;
  };
  Mode mode_ = kInline;
};

// A section: its name (the Istr text), its items in file order and, for a
// nested section, the table of its subsections.
class SectionItem : public Istr {
 public:
  // In stored text the bytes 0x10 and 0x11 stand for "[" and "]" of a name.
  SectionItem(const char* name, size_t length);
  explicit SectionItem(const char* name);
  ~SectionItem() override;
  const char* ClassName() const override { return "SectionItem"; }

  const char* Name() const { return text_ != nullptr ? text_ : ""; }
  std::vector<INIItem>& Items() { return items_; }
  const std::vector<INIItem>& Items() const { return items_; }
  // The nested table of level + 1, or null.
  INIStreamStub* Subsections() const { return subsections_.get(); }
  bool HasSubsections() const;
  bool HasSortedIndex() const { return !sorted_.empty(); }
  // The first item (in file order) with that key, through the sorted index
  // when there is one; null when none.
  INIItem* FindItem(const char* key) const;

 private:
  friend class INIStreamStub;
  // Fills the sorted item index; its key copies go to `names`, advanced.
  void BuildIndex(char*& names);

  std::vector<INIItem> items_;
  std::vector<IndexEntry<INIItem>> sorted_;
  std::unique_ptr<INIStreamStub> subsections_;
};

// What ReadValue reads: a key, where the result goes and the default.
struct INIValue {
  enum Type : uint32_t { kNumber = 2, kText = 3, kIstr = 7 };
  // Type 3 copies at most this many bytes (terminating zero included).
  static constexpr size_t kMaxText = 16380;

  INIValue(const char* key, uint32_t* destination, uint32_t defaultValue)
      : key(key), type(kNumber), destination(destination), defaultNumber(defaultValue) {}
  INIValue(const char* key, char* buffer, size_t size, const char* defaultText = nullptr)
      : key(key), type(kText), destination(buffer), size(size), defaultText(defaultText) {}
  INIValue(const char* key, Istr* destination, const char* defaultText = nullptr)
      : key(key), type(kIstr), destination(destination), defaultText(defaultText) {}

  const char* key;
  Type type;
  void* destination;
  size_t size = 0;
  uint32_t defaultNumber = 0;
  const char* defaultText = nullptr;
};

// The state of one section table. A stream is a table of level 0; the
// subsections of a level-n section form a table of level n + 1.
class INIStreamStub {
 public:
  // The flags of a stream.
  enum Flags : uint32_t {
    kLookUp = 0x001,             // look-up mode: ">" text, key=value lines only,
                                 // sorted indexes, never written back
    kPreprocess = 0x002,         // joining, directives, macros, second pass
    kListings = 0x004,           // write the "pp1" and "pp" listings
    kHashComments = 0x008,       // "#" lines are comments
    kPlain = 0x010,              // without kPreprocess: plain INI text
    kKeepValueBlanks = 0x020,    // keep blanks at the start of values
    kSkipEmptySections = 0x040,  // do not write empty sections
    kNoJoinNoEscapes = 0x080,    // preprocess without joining and escapes
    kModuleRelative = 0x100,     // name relative to the library's folder
    kDeleteFirst = 0x200,        // without kLookUp: delete the file first
    kLastDuplicateWins = 0x400,  // in look-up mode: later keys override
  };
  // Sorted indexes are built for more than this many sections or items.
  static constexpr uint32_t kIndexThreshold = 8;
  static constexpr size_t kMaxSelectedName = 255;
  // Deepest table level a section line may open; deeper nesting is reported
  // as invalid (it keeps every walk over the tree shallow).
  static constexpr uint32_t kMaxNesting = 64;

  virtual ~INIStreamStub();
  INIStreamStub(const INIStreamStub&) = delete;
  INIStreamStub& operator=(const INIStreamStub&) = delete;

  uint32_t Flags() const { return flags_; }
  uint32_t Level() const { return level_; }
  const char* FileName() const { return fileName_.c_str(); }
  bool IsLoaded() const { return loaded_; }
  INIStreamStub* Parent() const { return parent_; }

  // The sections in file order (a caller may sort them).
  PSContainer<SectionItem>& Sections() { return sections_; }
  const PSContainer<SectionItem>& Sections() const { return sections_; }
  bool HasSortedSectionIndex() const { return !sortedSections_.empty(); }

  // Selects the section of that name (its first 255 characters), or none.
  INIStreamStub& SelectSection(const char* name);
  SectionItem* SelectedSection() const { return selected_; }
  const char* SelectedName() const { return selectedName_; }
  // The first section (in file order) of that name, through the sorted index
  // when there is one.
  SectionItem* FindSection(const char* name) const;
  INIItem* FindItem(const SectionItem* section, const char* key) const;

  // The selected section's value of the key, else the default, copied into
  // buffer (at most size - 1 characters and a zero); null with neither (the
  // buffer is left alone) or without room.
  char* GetString(const char* key, const char* defaultText, char* buffer, size_t size) const;
  // Reads one value of the selected section (types 2, 3 and 7).
  INIStreamStub& ReadValue(const INIValue& value);

  // Removes and destroys the section of that name; false when there is none.
  virtual bool DeleteSection(const char* name);

  // Writes the table as INI text, nested sections with extra brackets; false
  // when a write failed.
  bool WriteTable(FInOut& out, uint32_t extraLevel) const;

  // Every occurrence of a key (per section, through all subsections) takes
  // the value of its last occurrence.
  void ResolveDuplicateKeys();

 protected:
  INIStreamStub(uint32_t flags, uint32_t level, const char* fileName, bool loaded,
                INIStreamStub* parent);
  // A table of the next level for the subsections of a section.
  virtual std::unique_ptr<INIStreamStub> CreateNested() = 0;

  // Parses processed lines into this (level-0) table and its nested tables.
  // Items point into the lines' text, which the table keeps. False when the
  // parse stopped at invalid nesting.
  bool ParseLines(LineList& lines);

  uint32_t flags_;
  uint32_t level_;
  std::string fileName_;
  bool loaded_;
  INIStreamStub* parent_;
  PSContainer<SectionItem> sections_;
  std::vector<IndexEntry<SectionItem>> sortedSections_;
  SectionItem* selected_ = nullptr;
  char selectedName_[kMaxSelectedName + 1] = {};
  // Text blocks that parsed items point into.
  std::vector<std::unique_ptr<char[]>> keptText_;

 private:
  void BuildIndexes();
  bool WriteLevel(FInOut& out, uint32_t extraLevel, bool& lastWasItem) const;
};
