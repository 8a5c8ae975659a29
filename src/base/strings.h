// Text types. All text is 8-bit, in the ANSI code page unless a conversion
// says otherwise.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/object.h"

// An owned, zero-terminated heap text, or null. Most functions of the library
// return text as a PStr.
class PStr {
 public:
  PStr() = default;
  PStr(const char* text);  // copies; null stays null
  PStr(const char* text, size_t length);
  PStr(const PStr& other);
  PStr(PStr&& other) noexcept;
  PStr& operator=(const PStr& other);
  PStr& operator=(PStr&& other) noexcept;
  PStr& operator=(const char* text);  // null frees and nulls
  ~PStr();

  PStr& Append(const char* text);  // null appends nothing; appending to null copies
  PStr& Append(const char* text, size_t length);
  PStr& operator+=(const char* text) { return Append(text); }
  // Replaces the text by formatted text.
  PStr& Format(const char* format, ...);
  PStr& VFormat(const char* format, va_list args);
  PStr& AppendFormat(const char* format, ...);

  size_t Length() const;  // 0 for null
  void Free();
  // Gives up ownership of the text (to be freed with free()).
  char* Release();

  const char* c_str() const { return text_; }
  char* Data() { return text_; }
  operator const char*() const { return text_; }
  bool IsNull() const { return text_ == nullptr; }
  bool IsEmpty() const { return text_ == nullptr || *text_ == 0; }

 private:
  char* text_ = nullptr;
};

// Formats into a new PStr.
PStr FormatStr(const char* format, ...);

// The polymorphic owned text: one heap text of exactly its length + 1, or null.
// A null text is never equal to anything, not even another null text.
class Istr : public BaseObject {
 public:
  Istr(const char* text = nullptr);
  Istr(const char* text, size_t length);
  Istr(const Istr& other);
  Istr& operator=(const Istr& other);
  Istr& operator=(const char* text);

  // `other` must be an Istr (or derived): containers of text compare texts.
  bool IsEqual(const BaseObject* other) const override;    // strcmp == 0
  bool IsGreater(const BaseObject* other) const override;  // strcmp > 0
  ~Istr() override;
  void Describe(PStr& out, uint32_t flags) const override;
  const char* ClassName() const override { return "Istr"; }

  const char* Text() const { return text_; }
  operator const char*() const { return text_; }
  size_t Length() const;
  void Set(const char* text);

 protected:
  char* text_ = nullptr;
};

// Istr with case-insensitive comparison.
class NCIstr : public Istr {
 public:
  using Istr::Istr;
  bool IsEqual(const BaseObject* other) const override;
  bool IsGreater(const BaseObject* other) const override;
  const char* ClassName() const override { return "NCIstr"; }
};

// Istr with an unsigned 32-bit data value.
class DIstr : public Istr {
 public:
  DIstr(const char* text = nullptr, uint32_t data = 0) : Istr(text), data_(data) {}
  void Describe(PStr& out, uint32_t flags) const override;
  const char* ClassName() const override { return "DIstr"; }
  uint32_t Data() const { return data_; }
  void SetData(uint32_t data) { data_ = data; }

 private:
  uint32_t data_;
};

// A two-language message: "English|second language". The parts split at the
// first "|": the first part is the text before it, the second the text after
// it ("" for "Error|"). Without a bar the first part is the whole text and the
// second part is null.
class MLCString : public Istr {
 public:
  MLCString(const char* text = nullptr, uint64_t id = 0);
  MLCString(const MLCString& other);
  MLCString& operator=(const MLCString& other);
  ~MLCString() override;
  const char* ClassName() const override { return "MLCString"; }

  uint64_t Id() const { return id_; }
  const char* FirstPart() const { return first_; }
  const char* SecondPart() const { return second_; }

 private:
  void Split();
  uint64_t id_ = 0;
  char* first_ = nullptr;
  char* second_ = nullptr;
};

// Owned UTF-16 text built from narrow text in the ANSI code page.
class wstr {
 public:
  explicit wstr(const char* text);
  const char16_t* Text() const { return text_.empty() && isNull_ ? nullptr : text_.c_str(); }
  size_t Length() const { return text_.size(); }

 private:
  std::u16string text_;
  bool isNull_ = false;
};

// Code-page conversion through UTF-16; a null text gives null.
PStr Recode(const char* text, uint32_t fromCodePage, uint32_t toCodePage);
PStr NarrowFromWide(const char16_t* wide, uint32_t codePage);
// The same for a length-delimited text (may hold NULs).
std::string RecodeBuffer(const char* text, size_t length, uint32_t fromCodePage,
                         uint32_t toCodePage);
// UTF-8 source text to its Windows-1251 bytes (for the library's Russian texts).
PStr To1251(const char* utf8);

// In place: drops leading white space, then trailing blanks (spaces only).
char* Trim(char* text);

// The library's own character classes (the C classification table for the
// "C" locale; bytes above 127 are never digits, blanks or letters).
bool IsDigit(int c);
bool IsSpace(int c);
bool IsHexDigit(int c);
bool IsAlnum(int c);

class SContainer;

// Splits one text into fields.
class PTokens {
 public:
  enum : uint32_t {
    kQuotes = 1,       // double quotes group characters and are removed
    kKeepEmpty = 2,    // keep empty fields ("a," gives "a" and ""); an empty text has none
    kMultiString = 4,  // zero-terminated strings ended by an empty one
    kTrim = 8,         // trim each field (emptiness is judged before trimming)
  };
  PTokens(const char* text, const char* delimiters, uint32_t flags = 0);
  ~PTokens();
  PTokens(const PTokens&) = delete;
  PTokens& operator=(const PTokens&) = delete;

  uint32_t Count() const { return count_; }
  // Field i, or null past the count.
  const char* Field(uint32_t index) const;
  const char* operator[](uint32_t index) const { return Field(index); }

 private:
  void AddField(char* field);
  char inline_[512];
  char* heap_ = nullptr;
  const char* fields_[64];
  SContainer* overflow_ = nullptr;
  uint32_t count_ = 0;
};
