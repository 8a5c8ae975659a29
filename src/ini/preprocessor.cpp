#include "ini/preprocessor.h"

#include <algorithm>
#include <cstring>

#include "base/files.h"
#include "base/log.h"
#include "base/messages.h"
#include "base/numbers.h"
#include "ini/sections.h"
#include "ini/streams.h"
#include "platform/files.h"

namespace {

constexpr char kHardBreak = 0x1F;
constexpr size_t kMaxIncludeLineBuffer = 65536;

bool IsBlank(char c) {
  return IsSpace(static_cast<unsigned char>(c));
}

size_t SkipBlanks(std::string_view text, size_t i) {
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  return i;
}

// End of the identifier (or digit token) that starts at i.
size_t IdentifierEnd(std::string_view text, size_t i) {
  while (i < text.size() && IsIdentifierChar(static_cast<unsigned char>(text[i])))
    ++i;
  return i;
}

bool IsAbsolutePath(const char* path) {
  if (platform::IsPathSeparator(path[0])) return true;
  const unsigned char c = static_cast<unsigned char>(path[0]);
  return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':';
}

std::string DirectoryOf(const std::string& path) {
  return PFilePath(path.c_str()).Directory().c_str();
}

// Text shown as it stands through the message routine, whose text is a
// format and whose bar separates two languages.
std::string Literal(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (c == '%' || c == '|') out += c;
    out += c;
  }
  return out;
}

}  // namespace

bool IsIdentifierChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0xC0;
}

bool IsIdentifierStart(unsigned char c) {
  return IsIdentifierChar(c) && !(c >= '0' && c <= '9');
}

// ---------------------------------------------------------------------------
// Macros

INIDefine::INIDefine(std::string_view name, bool predefined)
    : Istr(name.data(), name.size()), predefined_(predefined) {}

void INIDefine::SetValue(std::string_view value) {
  parameterCount_ = 0;
  uses_.clear();
  value_.assign(value);
}

void INIDefine::SetBody(std::string_view body, const std::vector<std::string_view>& parameters) {
  parameterCount_ = static_cast<uint32_t>(parameters.size());
  value_.clear();
  uses_.clear();
  size_t i = 0;
  while (i < body.size()) {
    const unsigned char c = static_cast<unsigned char>(body[i]);
    if (c == '#' && i + 1 < body.size() && body[i + 1] == '#') {
      i += 2;
      continue;
    }
    if (IsIdentifierChar(c)) {
      const size_t end = IdentifierEnd(body, i + 1);
      const std::string_view token = body.substr(i, end - i);
      auto it = IsIdentifierStart(c) ? std::find(parameters.begin(), parameters.end(), token)
                                     : parameters.end();
      if (it != parameters.end()) {
        uses_.emplace_back(value_.size(), static_cast<uint32_t>(it - parameters.begin()));
      } else {
        value_.append(token);
      }
      i = end;
      continue;
    }
    value_ += static_cast<char>(c);
    ++i;
  }
}

void INIDefine::Expand(std::string& output, const std::vector<std::string_view>& arguments,
                       const SectionItem*, size_t limit) const {
  size_t from = 0;
  for (const auto& [at, parameter] : uses_) {
    output.append(value_, from, at - from);
    if (parameter < arguments.size()) output.append(arguments[parameter]);
    from = at;
    if (output.size() > limit) return;
  }
  output.append(value_, from, std::string::npos);
}

INIDefine__R__::INIDefine__R__() : INIDefine("__R__", false) {
  parameterCount_ = 1;
}

void INIDefine__R__::Expand(std::string& output, const std::vector<std::string_view>& arguments,
                            const SectionItem* section, size_t) const {
  const std::string key(arguments.empty() ? std::string_view() : arguments[0]);
  const INIItem* item = section != nullptr ? section->FindItem(key.c_str()) : nullptr;
  if (item == nullptr) {
    Message("s", "Undefined record name '%s' in macro __R__()", key.c_str());
    return;
  }
  output.append(item->Value());
}

// ---------------------------------------------------------------------------
// Preprocessor

struct Preprocessor::Source {
  LineList lines;
  size_t next = 0;
  std::string path;
};

Preprocessor::Preprocessor(uint32_t flags, const char* fileName)
    : flags_(flags), fileName_(fileName != nullptr ? fileName : "") {}

Preprocessor::~Preprocessor() = default;

INIDefine* Preprocessor::Find(std::string_view name) const {
  // Most identifiers of a text are no macros; their first byte tells most
  // of them apart without a search.
  if (name.empty() || firstBytes_[static_cast<unsigned char>(name[0])] == 0) return nullptr;
  auto it = macros_.find(name);
  return it != macros_.end() ? it->second.get() : nullptr;
}

void Preprocessor::Undefine(std::string_view name) {
  auto it = macros_.find(name);
  if (it == macros_.end()) return;
  --firstBytes_[static_cast<unsigned char>(it->first[0])];
  macros_.erase(it);
}

INIDefine* Preprocessor::Add(std::unique_ptr<INIDefine> macro) {
  INIDefine* added = macro.get();
  std::string name(macro->Text());
  const unsigned char first = static_cast<unsigned char>(name.empty() ? 0 : name[0]);
  if (macros_.insert_or_assign(std::move(name), std::move(macro)).second) ++firstBytes_[first];
  return added;
}

bool Preprocessor::Define(std::string_view text, bool predefined) {
  size_t i = SkipBlanks(text, 0);
  if (i >= text.size() || !IsIdentifierStart(static_cast<unsigned char>(text[i]))) return false;
  const size_t nameEnd = IdentifierEnd(text, i);
  auto macro = std::make_unique<INIDefine>(text.substr(i, nameEnd - i), predefined);
  i = SkipBlanks(text, nameEnd);
  if (i < text.size() && text[i] == '(') {
    std::vector<std::string_view> parameters;
    ++i;
    for (;;) {
      i = SkipBlanks(text, i);
      if (i >= text.size() || !IsIdentifierStart(static_cast<unsigned char>(text[i]))) return false;
      const size_t end = IdentifierEnd(text, i);
      parameters.push_back(text.substr(i, end - i));
      i = SkipBlanks(text, end);
      if (i >= text.size()) return false;
      if (text[i] == ')') {
        ++i;
        break;
      }
      if (text[i] != ',') break;  // the list ends where it stands
      ++i;
    }
    i = SkipBlanks(text, i);
    macro->SetBody(text.substr(i), parameters);
  } else {
    macro->SetValue(text.substr(std::min(i, text.size())));
  }
  Add(std::move(macro));
  return true;
}

void Preprocessor::DefinePredefined() {
  std::string application = ModuleName();
  std::replace(application.begin(), application.end(), '-', '_');
  Define("__APP_NAME__ " + application, true);
  Define("__PROJECT_NAME__ " + application, true);
  std::string file = "__FILE__ ";
  file += PFilePath(fileName_.c_str()).NameExt().c_str();
  for (char& c : file) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  Define(file, true);
}

void Preprocessor::WritePredefined(FInOut& out) const {
  for (const auto& [name, macro] : macros_) {
    if (macro->IsPredefined()) out.Printf("; %s = %s\n", name.c_str(), macro->Value().c_str());
  }
}

void Preprocessor::JoinLines(LineList& lines) {
  const size_t count = lines.Count();
  bool any = false;
  for (size_t i = 0; i < count && !any; ++i) {
    const size_t length = lines.Length(i);
    any = length > 0 && lines.Line(i)[length - 1] == '\\';
  }
  if (!any) return;
  LineList joined;
  joined.ReserveLines(count);
  std::string line;
  for (size_t i = 0; i < count; ++i) {
    line.assign(lines.Line(i), lines.Length(i));
    bool cut = false;
    std::string_view last = line;  // the source line that ends the chain so far
    for (;;) {
      if (cut) {
        // Text beyond the bound is dropped; the chain still follows the
        // source lines, so the lines after it keep their places.
        if (last.empty() || last.back() != '\\') break;
      } else {
        if (line.empty() || line.back() != '\\') break;
        if (line.size() >= 2 && line[line.size() - 2] == '\\') line[line.size() - 2] = kHardBreak;
        line.pop_back();
      }
      if (i + 1 >= count) break;
      ++i;
      last = std::string_view(lines.Line(i), lines.Length(i));
      if (cut) continue;
      if (line.size() + last.size() > kMaxLineLength) {
        line.append(last.substr(0, kMaxLineLength - line.size()));
        cut = true;
        Message("s", "File '%s': line longer than %u characters cut: %.64s", fileName_.c_str(),
                static_cast<unsigned>(kMaxLineLength), line.c_str());
      } else {
        line.append(last);
      }
    }
    joined.Add(line.data(), line.size());
  }
  lines = std::move(joined);
}

void Preprocessor::Run(LineList& raw, LineList& processed) {
  const bool preprocess = (flags_ & INIStreamStub::kPreprocess) != 0;
  std::vector<Source> sources;
  sources.push_back(Source{std::move(raw), 0, fileName_});
  while (!sources.empty()) {
    Source& top = sources.back();
    if (top.next >= top.lines.Count()) {
      sources.pop_back();
      continue;
    }
    const size_t index = top.next++;
    // The text block of a source never moves, even when the list of
    // sources grows.
    const char* line = top.lines.Line(index);
    size_t length = top.lines.Length(index);
    if (*line == '$') {
      ++line;
      --length;
    }
    const unsigned char c = static_cast<unsigned char>(*line);
    if (c != '[' && c != '#' && !IsIdentifierChar(c)) continue;
    if (c == '#') {
      Directive(line + 1, sources);
      continue;
    }
    if (!preprocess) {
      processed.Add(line, length);
      continue;
    }
    if (!Active()) continue;
    const std::string expanded = ExpandLine(std::string_view(line, length), nullptr);
    // A hard break splits the line; empty pieces are kept.
    size_t from = 0;
    for (;;) {
      const size_t at = expanded.find(kHardBreak, from);
      if (at == std::string::npos) {
        processed.Add(expanded.data() + from, expanded.size() - from);
        break;
      }
      processed.Add(expanded.data() + from, at - from);
      from = at + 1;
    }
  }
  raw.Clear();
}

void Preprocessor::PushCondition(bool value) {
  conditions_.push_back(Active() && value ? 1 : 0);
}

void Preprocessor::Directive(const char* text, std::vector<Source>& sources) {
  const std::string_view all(text);
  const size_t nameEnd = IsIdentifierStart(static_cast<unsigned char>(all.empty() ? 0 : all[0]))
                             ? IdentifierEnd(all, 0)
                             : 0;
  const char* file = fileName_.c_str();
  if (nameEnd == 0) {
    Message("s", "Invalid directive '#%s' in file '%s'", text, file);
    return;
  }
  const std::string_view name = all.substr(0, nameEnd);
  const char* argument = text + SkipBlanks(all, nameEnd);
  const std::string_view arg(argument);

  if (name == "if") {
    const std::string expanded = ExpandLine(arg, nullptr);
    const size_t at = expanded.find_first_of("=!");
    bool valid = at != std::string::npos && (expanded[at] == '=' || expanded[at + 1] == '=');
    if (!valid) {
      Message("s", "File '%s': Invalid \"#if\" directive: #if %s", file, expanded.c_str());
      // The block is skipped, so that its #endif closes it.
      PushCondition(false);
      return;
    }
    std::string left;
    for (size_t i = 0; i < at; ++i) {
      if (!IsBlank(expanded[i])) left += expanded[i];
    }
    const bool notEqual = expanded[at] == '!';
    size_t rightStart = at + 1;
    if (expanded[rightStart] == '=') ++rightStart;
    const std::string_view right =
        std::string_view(expanded).substr(SkipBlanks(expanded, rightStart));
    PushCondition((left == right) != notEqual);
  } else if (name == "ifdef" || name == "ifndef") {
    const bool wanted = name == "ifdef";
    if (!IsIdentifierStart(static_cast<unsigned char>(arg.empty() ? 0 : arg[0]))) {
      Message("s",
              wanted ? "File '%s': Invalid \"#ifdef\" directive: identifier expected"
                     : "File '%s': Invalid \"#ifndef\" directive: identifier expected",
              file);
      PushCondition(false);
      return;
    }
    const bool defined = Find(arg.substr(0, IdentifierEnd(arg, 0))) != nullptr;
    PushCondition(defined == wanted);
  } else if (name == "else") {
    if (conditions_.empty()) {
      Message("s", "File '%s': \"#else\" without \"if\"", file);
      return;
    }
    const bool enclosingActive = conditions_.size() < 2 || conditions_[conditions_.size() - 2] != 0;
    if (enclosingActive) conditions_.back() = conditions_.back() != 0 ? 0 : 1;
  } else if (name == "endif") {
    if (conditions_.empty()) {
      Message("s", "File '%s': \"#endif\" without \"if\"", file);
      return;
    }
    conditions_.pop_back();
  } else if (name == "include") {
    if (Active()) Include(argument, sources);
  } else if (name == "define") {
    if (Active() && !Define(arg, false)) {
      Message("s", "Invalid #define directive '#define %s' in file '%s'", argument, file);
    }
  } else if (name == "undef") {
    if (Active()) Undefine(arg.substr(0, IdentifierEnd(arg, 0)));
  } else if (name == "error") {
    if (Active()) Message("is", Literal(ExpandLine(arg, nullptr)).c_str());
  } else {
    Message("s", "Unknown directive '#%s' in file '%s'", std::string(name).c_str(), file);
  }
}

void Preprocessor::Include(const char* argument, std::vector<Source>& sources) {
  const char* file = fileName_.c_str();
  if (sources.size() > kMaxIncludeDepth) {
    Message("s", "File '%s': #include '%s' ignored: includes nested more than %u deep", file,
            argument, static_cast<unsigned>(kMaxIncludeDepth));
    return;
  }
  if (includes_ >= kMaxIncludes) {
    Message("s", "File '%s': #include '%s' ignored: more than %u includes", file, argument,
            static_cast<unsigned>(kMaxIncludes));
    return;
  }
  // Relative to the stream's own file, whichever file holds the directive.
  std::vector<std::string> candidates;
  if (IsAbsolutePath(argument)) {
    candidates.emplace_back(argument);
  } else {
    candidates.emplace_back(PFilePath().Join(DirectoryOf(fileName_).c_str(), argument).Path());
  }
  for (const std::string& path : candidates) {
    FileInOut input(path.c_str(), "rt", true);
    if (!input.IsOpen()) continue;
    for (const Source& source : sources) {
      if (source.path == path) {
        Message("s", "File '%s': #include '%s' ignored: the file is already being read", file,
                path.c_str());
        return;
      }
    }
    const int64_t size = platform::StreamLength(input.Stream());
    if (size > 0 && includedBytes_ + static_cast<uint64_t>(size) > kMaxIncludedBytes) {
      Message("s", "File '%s': #include '%s' ignored: more than %u MiB read by includes", file,
              path.c_str(), static_cast<unsigned>(kMaxIncludedBytes >> 20));
      return;
    }
    ++includes_;
    LineList lines;
    if (size > 0) {
      includedBytes_ += static_cast<uint64_t>(size);
      const size_t lineSize = std::min(static_cast<size_t>(size) + 1, kMaxIncludeLineBuffer);
      // A file that grows while it is read is read no further than about
      // twice the size it had.
      const uint64_t readLimit = 2 * static_cast<uint64_t>(size) + kMaxIncludeLineBuffer;
      uint64_t taken = 0;
      for (;;) {
        char* line = lines.Reserve(lineSize);
        if (!input.ReadLine(line, lineSize)) break;
        Trim(line);
        const size_t length = std::strlen(line);
        taken += length + 1;
        const bool comment =
            line[0] == ';' || (line[0] == '#' && (flags_ & INIStreamStub::kHashComments));
        if (!comment) lines.Commit(length);
        if (taken > readLimit) break;
      }
    }
    input.Close();
    if ((flags_ & INIStreamStub::kPreprocess) && !(flags_ & INIStreamStub::kNoJoinNoEscapes)) {
      JoinLines(lines);
    }
    if (!lines.IsEmpty()) sources.push_back(Source{std::move(lines), 0, path});
    return;
  }
  Message("mq1", 6922u, file, candidates.front().c_str());
  LogPrint("INIStream('%s'): cannot open the included file '%s'\n", file,
           candidates.front().c_str());
}

std::string Preprocessor::ExpandLine(std::string_view text, const SectionItem* section) {
  std::string out;
  out.reserve(text.size() + 64);
  selfReferenceReported_ = false;
  depthReported_ = false;
  const Outcome outcome = Expand(out, text, section, 0);
  if (outcome == Outcome::kOverflow || out.size() > kMaxLineLength) {
    out.resize(kMaxLineLength);
    Message("s", "File '%s': line longer than %u characters cut: %.64s", fileName_.c_str(),
            static_cast<unsigned>(kMaxLineLength), out.c_str());
  }
  if (!(flags_ & INIStreamStub::kNoJoinNoEscapes)) DecodeEscapes(out);
  return out;
}

namespace {

// The end of the run at `i` that holds no macro name: characters outside
// identifiers, or a token that starts with a digit. `i` itself when a name
// starts there.
size_t PlainRunEnd(std::string_view in, size_t i) {
  const unsigned char c = static_cast<unsigned char>(in[i]);
  if (IsIdentifierChar(c)) return IsIdentifierStart(c) ? i : IdentifierEnd(in, i + 1);
  size_t end = i + 1;
  while (end < in.size() && !IsIdentifierChar(static_cast<unsigned char>(in[end])))
    ++end;
  return end;
}

// Splits the argument list "(a, b)" that follows a macro name ending at
// `end` into `arguments` and sets `next` just past its ")". Null when the
// list is well formed and has `expected` arguments, else the format of the
// report (macro name, file, expansion count).
const char* SplitArguments(std::string_view in, size_t end, uint32_t expected,
                           std::vector<std::string_view>& arguments, size_t& next) {
  const size_t open = SkipBlanks(in, end);
  if (open >= in.size() || in[open] != '(')
    return "'(' expected while expanding macro '%s' in file '%s', expansion count: %u";
  const size_t close = in.find(')', open + 1);
  if (close == std::string_view::npos)
    return "')' expected while expanding macro '%s' in file '%s', expansion count: %u";
  size_t from = open + 1;
  for (;;) {
    const size_t comma = in.find(',', from);
    if (comma == std::string_view::npos || comma > close) break;
    arguments.push_back(in.substr(from, comma - from));
    from = comma + 1;
  }
  arguments.push_back(in.substr(from, close - from));
  if (arguments.size() != expected)
    return "Invalid number of parameters to macro '%s' in file '%s', expansion count: %u";
  next = close + 1;
  return nullptr;
}

}  // namespace

Preprocessor::Outcome Preprocessor::Expand(std::string& out, std::string_view in,
                                           const SectionItem* section, uint32_t depth) {
  // Pasting looks at what this expansion has produced, not at the text
  // around the use being expanded.
  const Level level{out, in, section, depth, out.size()};
  size_t i = 0;
  while (i < in.size()) {
    const size_t plainEnd = PlainRunEnd(in, i);
    if (plainEnd != i) {
      out.append(in, i, plainEnd - i);
      i = plainEnd;
    } else if (const Outcome outcome = ExpandName(level, i); outcome == Outcome::kKept) {
      continue;  // the length is checked after the next token
    } else if (outcome != Outcome::kDone) {
      return outcome;
    }
    if (out.size() > kMaxLineLength) return Outcome::kOverflow;
  }
  return Outcome::kDone;
}

Preprocessor::Outcome Preprocessor::ExpandName(const Level& level, size_t& i) {
  const size_t end = IdentifierEnd(level.in, i + 1);
  const std::string_view name = level.in.substr(i, end - i);
  INIDefine* macro = Find(name);
  if (macro != nullptr) {
    ++macro->expansionCount_;
    // A macro met again inside its own expansion stays as it is.
    if (!macro->active_) return ExpandUse(level, *macro, name, i);
    if (!selfReferenceReported_) {
      selfReferenceReported_ = true;
      Message("s", "Macro '%s' refers to itself in file '%s', expansion count: %u",
              std::string(name).c_str(), fileName_.c_str(), macro->expansionCount_);
    }
  }
  level.out.append(name);
  i = end;
  return macro != nullptr ? Outcome::kKept : Outcome::kDone;
}

Preprocessor::Outcome Preprocessor::ExpandUse(const Level& level, INIDefine& macro,
                                              std::string_view name, size_t& i) {
  std::string& out = level.out;
  const std::string_view in = level.in;
  size_t next = i + name.size();
  std::vector<std::string_view> arguments;
  if (macro.parameterCount_ > 0) {
    if (const char* report = SplitArguments(in, next, macro.parameterCount_, arguments, next)) {
      Message("s", report, std::string(name).c_str(), fileName_.c_str(), macro.expansionCount_);
      return StopAt(level, i);
    }
  }
  PasteAround(level, next);
  if (level.depth >= kMaxExpansionDepth) {
    if (!depthReported_) {
      depthReported_ = true;
      Message("s", "Macro '%s' nested more than %u levels deep in file '%s'",
              std::string(name).c_str(), static_cast<unsigned>(kMaxExpansionDepth),
              fileName_.c_str());
    }
    return StopAt(level, i);
  }
  std::string replacement;
  macro.Expand(replacement, arguments, level.section, kMaxLineLength);
  if (replacement.size() > kMaxLineLength) return Outcome::kOverflow;
  macro.active_ = true;
  const Outcome outcome = Expand(out, replacement, level.section, level.depth + 1);
  macro.active_ = false;
  if (outcome == Outcome::kStopped) return StopAt(level, next);
  i = next;
  return outcome;
}

void Preprocessor::PasteAround(const Level& level, size_t& next) {
  std::string& out = level.out;
  if (out.size() - level.start >= 2 && out.compare(out.size() - 2, 2, "##") == 0)
    out.resize(out.size() - 2);
  if (next + 1 < level.in.size() && level.in[next] == '#' && level.in[next + 1] == '#') next += 2;
}

Preprocessor::Outcome Preprocessor::StopAt(const Level& level, size_t from) {
  level.out.append(level.in, from, std::string_view::npos);
  return Outcome::kStopped;
}

void Preprocessor::DecodeEscapes(std::string& text) const {
  if (text.find('\\') == std::string::npos) return;
  const char* p = text.c_str();
  const char* const end = p + text.size();
  size_t written = 0;
  while (p < end) {
    if (*p != '\\') {
      text[written++] = *p++;
      continue;
    }
    ++p;
    const char* const at = p;
    const char c = DecodeEscape(p);
    // A zero (escaped, or the end of the text after a backslash) ends the
    // text.
    if (c == 0) break;
    if (p == at) ++p;  // any other character stands for itself
    text[written++] = c;
  }
  text.resize(written);
}

void Preprocessor::ExpandValues(INIStreamStub& table, uint32_t flags, const char* fileName,
                                FInOut* listing) {
  Preprocessor second(flags, fileName);
  INIDefine* section = second.Add(std::make_unique<INIDefine>("__S__", false));
  second.Add(std::make_unique<INIDefine__R__>());
  second.ExpandValuesOf(table, *section, listing);
}

void Preprocessor::ExpandValuesOf(INIStreamStub& table, INIDefine& sectionMacro, FInOut* listing) {
  const std::string open(table.Level() + 1, '['), close(table.Level() + 1, ']');
  PSContainer<SectionItem>& sections = table.Sections();
  for (uint32_t i = 0; i < sections.Count(); ++i) {
    SectionItem* section = sections.At(i);
    sectionMacro.SetValue(section->Name());
    if (listing != nullptr) {
      listing->Printf("\n%s%s%s\n", open.c_str(), section->Name(), close.c_str());
    }
    for (INIItem& item : section->Items()) {
      const char* underscore = std::strchr(item.Value(), '_');
      if (underscore != nullptr && underscore[1] == '_') {
        const std::string expanded = ExpandLine(item.Value(), section);
        item.SetValue(expanded.c_str());
      }
      if (listing != nullptr) listing->Printf("%s=%s\n", item.Key(), item.Value());
    }
    if (section->Subsections() != nullptr) {
      ExpandValuesOf(*section->Subsections(), sectionMacro, listing);
    }
  }
}
