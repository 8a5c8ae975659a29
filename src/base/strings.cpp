#include "base/strings.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "base/format.h"
#include "platform/codepage.h"

namespace {

char* CopyText(const char* text, size_t length) {
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy == nullptr) return nullptr;
  if (length > 0) std::memcpy(copy, text, length);
  copy[length] = 0;
  return copy;
}

char* CopyText(const char* text) {
  return text == nullptr ? nullptr : CopyText(text, std::strlen(text));
}

// _stricmp: compares the texts with ASCII letters folded to lower case.
int CompareNoCase(const char* a, const char* b) {
  for (;; ++a, ++b) {
    int ca = static_cast<unsigned char>(*a);
    int cb = static_cast<unsigned char>(*b);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// PStr

PStr::PStr(const char* text) : text_(CopyText(text)) {}

PStr::PStr(const char* text, size_t length)
    : text_(text == nullptr ? nullptr : CopyText(text, length)) {}

PStr::PStr(const PStr& other) : text_(CopyText(other.text_)) {}

PStr::PStr(PStr&& other) noexcept : text_(other.text_) {
  other.text_ = nullptr;
}

PStr& PStr::operator=(const PStr& other) {
  if (this != &other) *this = other.text_;
  return *this;
}

PStr& PStr::operator=(PStr&& other) noexcept {
  if (this != &other) {
    std::free(text_);
    text_ = other.text_;
    other.text_ = nullptr;
  }
  return *this;
}

PStr& PStr::operator=(const char* text) {
  if (text == text_) return *this;
  char* copy = CopyText(text);  // copy first: `text` may point into our own text
  std::free(text_);
  text_ = copy;
  return *this;
}

PStr::~PStr() {
  std::free(text_);
}

PStr& PStr::Append(const char* text) {
  if (text == nullptr) return *this;
  return Append(text, std::strlen(text));
}

PStr& PStr::Append(const char* text, size_t length) {
  if (text == nullptr) return *this;
  if (text_ == nullptr) {
    text_ = CopyText(text, length);
    return *this;
  }
  size_t own = std::strlen(text_);
  // `text` may point into our own text, which realloc can move.
  ptrdiff_t inside = -1;
  if (text >= text_ && text <= text_ + own) inside = text - text_;
  char* grown = static_cast<char*>(std::realloc(text_, own + length + 1));
  if (grown == nullptr) return *this;
  text_ = grown;
  std::memmove(text_ + own, inside >= 0 ? text_ + inside : text, length);
  text_[own + length] = 0;
  return *this;
}

PStr& PStr::Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  VFormat(format, args);
  va_end(args);
  return *this;
}

PStr& PStr::VFormat(const char* format, va_list args) {
  const char* text = ::VFormat(format, args);
  return *this = text;
}

PStr& PStr::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = ::VFormat(format, args);
  va_end(args);
  return Append(text);
}

size_t PStr::Length() const {
  return text_ == nullptr ? 0 : std::strlen(text_);
}

void PStr::Free() {
  std::free(text_);
  text_ = nullptr;
}

char* PStr::Release() {
  char* text = text_;
  text_ = nullptr;
  return text;
}

PStr FormatStr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PStr text(VFormat(format, args));
  va_end(args);
  return text;
}

// ---------------------------------------------------------------------------
// Istr and its variants

Istr::Istr(const char* text) : text_(CopyText(text)) {}

Istr::Istr(const char* text, size_t length)
    : text_(text == nullptr ? nullptr : CopyText(text, length)) {}

Istr::Istr(const Istr& other) : BaseObject(other), text_(CopyText(other.text_)) {}

Istr& Istr::operator=(const Istr& other) {
  if (this != &other) Set(other.text_);
  return *this;
}

Istr& Istr::operator=(const char* text) {
  Set(text);
  return *this;
}

void Istr::Set(const char* text) {
  if (text == text_) return;
  char* copy = CopyText(text);
  std::free(text_);
  text_ = copy;
}

bool Istr::IsEqual(const BaseObject* other) const {
  const Istr* o = static_cast<const Istr*>(other);
  return o != nullptr && text_ != nullptr && o->text_ != nullptr &&
         std::strcmp(text_, o->text_) == 0;
}

bool Istr::IsGreater(const BaseObject* other) const {
  const Istr* o = static_cast<const Istr*>(other);
  return o != nullptr && text_ != nullptr && o->text_ != nullptr &&
         std::strcmp(text_, o->text_) > 0;
}

Istr::~Istr() {
  std::free(text_);
}

void Istr::Describe(PStr& out, uint32_t flags) const {
  BaseObject::Describe(out, flags);
  out.AppendFormat("%s\"%s\"", out.IsEmpty() ? "" : ", ", text_ != nullptr ? text_ : "(null)");
}

size_t Istr::Length() const {
  return text_ == nullptr ? 0 : std::strlen(text_);
}

bool NCIstr::IsEqual(const BaseObject* other) const {
  const Istr* o = static_cast<const Istr*>(other);
  return o != nullptr && text_ != nullptr && o->Text() != nullptr &&
         CompareNoCase(text_, o->Text()) == 0;
}

bool NCIstr::IsGreater(const BaseObject* other) const {
  const Istr* o = static_cast<const Istr*>(other);
  return o != nullptr && text_ != nullptr && o->Text() != nullptr &&
         CompareNoCase(text_, o->Text()) > 0;
}

void DIstr::Describe(PStr& out, uint32_t flags) const {
  Istr::Describe(out, flags);
  out.AppendFormat(", Data = %u (0x%X)", data_, data_);
}

MLCString::MLCString(const char* text, uint64_t id) : Istr(text), id_(id) {
  Split();
}

MLCString::MLCString(const MLCString& other) : Istr(other), id_(other.id_) {
  Split();
}

MLCString& MLCString::operator=(const MLCString& other) {
  if (this != &other) {
    Set(other.text_);
    id_ = other.id_;
    Split();
  }
  return *this;
}

MLCString::~MLCString() {
  std::free(first_);
  std::free(second_);
}

void MLCString::Split() {
  std::free(first_);
  std::free(second_);
  first_ = second_ = nullptr;
  if (text_ == nullptr) return;
  const char* bar = std::strchr(text_, '|');
  if (bar == nullptr) {
    first_ = CopyText(text_);
    return;
  }
  first_ = CopyText(text_, static_cast<size_t>(bar - text_));
  second_ = CopyText(bar + 1);
}

// ---------------------------------------------------------------------------
// Wide text and code pages

wstr::wstr(const char* text) {
  if (text == nullptr) {
    isNull_ = true;
    return;
  }
  if (!platform::ToWide(text, std::strlen(text), platform::kCodePageAnsi, text_)) text_.clear();
}

PStr Recode(const char* text, uint32_t fromCodePage, uint32_t toCodePage) {
  if (text == nullptr) return PStr();
  std::string out;
  if (!platform::Recode(text, std::strlen(text), fromCodePage, toCodePage, out)) return PStr();
  return PStr(out.data(), out.size());
}

PStr NarrowFromWide(const char16_t* wide, uint32_t codePage) {
  if (wide == nullptr) return PStr();
  size_t length = 0;
  while (wide[length] != 0)
    ++length;
  std::string out;
  if (!platform::FromWide(wide, length, codePage, out)) return PStr();
  return PStr(out.data(), out.size());
}

std::string RecodeBuffer(const char* text, size_t length, uint32_t fromCodePage,
                         uint32_t toCodePage) {
  std::string out;
  if (text == nullptr || length == 0) return out;
  if (!platform::Recode(text, length, fromCodePage, toCodePage, out)) out.clear();
  return out;
}

PStr To1251(const char* utf8) {
  return Recode(utf8, platform::kCodePageUtf8, platform::kCodePage1251);
}

// ---------------------------------------------------------------------------
// Character classes and trimming

namespace {

enum : uint8_t { kDigit = 1, kSpace = 2, kHex = 4, kAlpha = 8 };

// The C classification table for the "C" locale; bytes above 127 have no class.
constexpr std::array<uint8_t, 256> kCharClass = [] {
  std::array<uint8_t, 256> table{};
  for (int c = '0'; c <= '9'; ++c)
    table[c] = kDigit | kHex;
  for (int c = 'a'; c <= 'z'; ++c)
    table[c] = kAlpha;
  for (int c = 'A'; c <= 'Z'; ++c)
    table[c] = kAlpha;
  for (int c = 'a'; c <= 'f'; ++c)
    table[c] |= kHex;
  for (int c = 'A'; c <= 'F'; ++c)
    table[c] |= kHex;
  for (int c : {' ', '\t', '\n', '\v', '\f', '\r'})
    table[c] = kSpace;
  return table;
}();

inline uint8_t ClassOf(int c) {
  return kCharClass[static_cast<unsigned char>(c)];
}

}  // namespace

bool IsDigit(int c) {
  return (ClassOf(c) & kDigit) != 0;
}
bool IsSpace(int c) {
  return (ClassOf(c) & kSpace) != 0;
}
bool IsHexDigit(int c) {
  return (ClassOf(c) & kHex) != 0;
}
bool IsAlnum(int c) {
  return (ClassOf(c) & (kDigit | kAlpha)) != 0;
}

char* Trim(char* text) {
  if (text == nullptr) return text;
  char* start = text;
  while (IsSpace(*start))
    ++start;
  size_t length = std::strlen(start);
  while (length > 0 && start[length - 1] == ' ')
    --length;
  if (start != text) std::memmove(text, start, length);
  text[length] = 0;
  return text;
}
