#include "db/field.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "base/datetime.h"
#include "base/format.h"
#include "base/messages.h"
#include "base/numbers.h"
#include "db/database.h"
#include "platform/codepage.h"

namespace {

const char* SkipBlanks(const char* text) {
  if (text == nullptr) return "";
  while (IsSpace(static_cast<unsigned char>(*text)))
    ++text;
  return text;
}

// The integer forms the library's conversion accepts: optional minus, then
// decimal digits or 0x and hexadecimal digits, then only white space.
bool IsIntegerText(const char* p) {
  if (*p == '-') ++p;
  bool digits = false;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    p += 2;
    while (IsHexDigit(static_cast<unsigned char>(*p))) {
      ++p;
      digits = true;
    }
  } else {
    while (IsDigit(static_cast<unsigned char>(*p))) {
      ++p;
      digits = true;
    }
  }
  if (!digits) return false;
  while (IsSpace(static_cast<unsigned char>(*p)))
    ++p;
  return *p == 0;
}

template <typename T>
int CompareValues(T a, T b) {
  if (a == b) return 0;
  if (a > b) return 1;
  return -1;
}

// Value bytes in memory order as "%02X" pairs.
void EncodeBytes(PStr& out, const void* value, size_t size) {
  static const char kHex[] = "0123456789ABCDEF";
  char text[2 * sizeof(double) + 1];
  const unsigned char* bytes = static_cast<const unsigned char*>(value);
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kHex[bytes[i] >> 4];
    text[2 * i + 1] = kHex[bytes[i] & 15];
  }
  text[2 * size] = 0;
  out = text;
}

// Reads the hex pairs back into the value bytes; a text shorter than the
// value leaves the remaining bytes as they were.
void DecodeBytes(const char* text, void* value, size_t size) {
  if (text == nullptr) return;
  unsigned char* bytes = static_cast<unsigned char*>(value);
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (size_t i = 0; i < size; ++i) {
    const int high = nibble(text[2 * i]);
    if (high < 0) return;
    const int low = nibble(text[2 * i + 1]);
    if (low < 0) return;
    bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
}

// Reads a floating-point text (after leading blanks) into `value`: 1 when a
// value was read, 0 for an empty text, -1 when the text does not scan.
template <typename T>
int ScanReal(const char* text, T& value) {
  text = SkipBlanks(text);
  if (*text == 0) return 0;
  int scanned = 0;
  if constexpr (std::is_same_v<T, float>)
    scanned = std::sscanf(text, "%g", &value);
  else
    scanned = std::sscanf(text, "%lg", &value);
  return scanned == 1 ? 1 : -1;
}

// The class and type names of the number fields, by type code.
struct NumberFieldNames {
  uint16_t type;
  const char* className;
  const char* typeName;
};
constexpr NumberFieldNames kNumberFieldNames[] = {
    {dbLong, "PIntField", "dbLong"},       {dbBigInt, "PInt64Field", "dbBigInt"},
    {dbSingle, "PFloatField", "dbSingle"}, {dbDouble, "PDoubleField", "dbDouble"},
    {dbDate, "PTimeField", "dbDate"},
};

// The names of a number field's type code.
constexpr const NumberFieldNames& NumberNamesOf(uint16_t type) {
  for (const NumberFieldNames& names : kNumberFieldNames)
    if (names.type == type) return names;
  return kNumberFieldNames[0];
}

double NowOleDate() {
  return PTimeStamp().oleDate;
}

}  // namespace

// ---------------------------------------------------------------------------
// PSmallStr

PSmallStr::~PSmallStr() {
  if (text_ != inline_) std::free(text_);
}

PSmallStr& PSmallStr::operator=(const char* text) {
  if (text == nullptr) text = "";
  const size_t length = std::strlen(text);
  char* target = inline_;
  if (length + 1 > kInline) {
    target = static_cast<char*>(std::malloc(length + 1));
    if (target == nullptr) return *this;
  }
  std::memcpy(target, text, length + 1);
  if (text_ != inline_) std::free(text_);
  text_ = target;
  return *this;
}

// ---------------------------------------------------------------------------
// PField

const DynArray<unsigned char>& PField::GetRawData() const {
  static const DynArray<unsigned char> empty;
  return empty;
}

void PField::CopyAttributes(const PField& other) {
  type_ = other.type_;
  flags_ |= kModified;
  flags_ = (flags_ & ~kAssigned) | (other.flags_ & kAssigned);
}

void PField::GetSQLText(PStr& out) const {
  GetDisplayText(out);
}

void PField::EncodeText(PStr& out) const {
  GetDisplayText(out);
}

void PField::DecodeText(const char* text) {
  SetFromText(text);
}

void PField::GetTextCopy(PSmallStr& out) const {
  PStr text;
  GetDisplayText(text);
  out = text.c_str();
}

bool PField::TypeMismatch(const PField& other, const char* className) const {
  if (other.type_ == type_) return false;
  DbDefaultError("%s::operator=() : Field type mismatch", className);
  return true;
}

bool PField::MatchCode(int r, int code) {
  switch (code) {
    case kMatchEqual:
      return r == 0;
    case kMatchNotEqual:
      return r != 0;
    case kMatchLess:
      return r < 0;
    case kMatchLessOrEqual:
      return r <= 0;
    case kMatchGreater:
      return r > 0;
    case kMatchGreaterOrEqual:
      return r >= 0;
    default:
      return false;
  }
}

// A new empty field of one class.
template <typename Field>
PField* NewEmptyField() {
  return new Field();
}

PField* NewField(uint16_t type) {
  struct Maker {
    uint16_t type;
    PField* (*make)();
  };
  static constexpr Maker kMakers[] = {
      {dbLong, &NewEmptyField<PIntField>},      {dbSingle, &NewEmptyField<PFloatField>},
      {dbDouble, &NewEmptyField<PDoubleField>}, {dbDate, &NewEmptyField<PTimeField>},
      {dbText, &NewEmptyField<PStringField>},   {dbLongBinary, &NewEmptyField<PRawDataField>},
      {dbBigInt, &NewEmptyField<PInt64Field>},
  };
  for (const Maker& maker : kMakers)
    if (maker.type == type) return maker.make();
  return nullptr;
}

// ---------------------------------------------------------------------------
// The number fields

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
const char* PNumberField<Derived, T, kType, Get, Set>::ClassName() const {
  return NumberNamesOf(kType).className;
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
void PNumberField<Derived, T, kType, Get, Set>::GetTypeName(PStr& out) const {
  out = NumberNamesOf(kType).typeName;
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
void PNumberField<Derived, T, kType, Get, Set>::Store(T value) {
  if (value == value_) return;
  value_ = value;
  MarkChanged();
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
int PNumberField<Derived, T, kType, Get, Set>::Compare(const PField& other) const {
  return CompareValues((this->*Get)(), (other.*Get)());
}

// A date is matched against the value given; the other kinds against the
// text read as a value.
template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
bool PNumberField<Derived, T, kType, Get, Set>::Matches(const char* text, double value,
                                                        int code) const {
  Derived comparand(T{});
  if constexpr (kType == dbDate)
    comparand.SetDate(value);
  else
    comparand.SetFromText(text);
  return MatchCode(Compare(comparand), code);
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
PField& PNumberField<Derived, T, kType, Get, Set>::operator=(const PField& other) {
  if (TypeMismatch(other, ClassName())) return *this;
  (this->*Set)((other.*Get)());
  // The type code can be taken over from another class (CopyAttributes):
  // only a field of this class has the extras to copy.
  if (const auto* same = dynamic_cast<const Derived*>(&other))
    static_cast<Derived*>(this)->CopyExtras(*same);
  return *this;
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
PField* PNumberField<Derived, T, kType, Get, Set>::Clone() const {
  auto* copy = new Derived(value_);
  copy->CopyExtras(static_cast<const Derived&>(*this));
  return copy;
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
void PBinaryNumberField<Derived, T, kType, Get, Set>::EncodeText(PStr& out) const {
  EncodeBytes(out, &this->value_, sizeof this->value_);
}

template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
void PBinaryNumberField<Derived, T, kType, Get, Set>::DecodeText(const char* text) {
  DecodeBytes(text, &this->value_, sizeof this->value_);
}

// An empty text leaves the value as it is; one that does not scan is refused.
template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
bool PFormattedNumberField<Derived, T, kType, Get, Set>::SetFromText(const char* text) {
  T value = 0;
  const int read = ScanReal(text, value);
  if (read > 0) (this->*Set)(value);
  return read >= 0;
}

template class PNumberField<PIntField, int32_t, dbLong, &PField::GetLong, &PField::SetLong>;
template class PNumberField<PInt64Field, int64_t, dbBigInt, &PField::GetBigInt, &PField::SetBigInt>;
template class PNumberField<PFloatField, float, dbSingle, &PField::GetSingle, &PField::SetSingle>;
template class PNumberField<PDoubleField, double, dbDouble, &PField::GetDouble, &PField::SetDouble>;
template class PNumberField<PTimeField, double, dbDate, &PField::GetDate, &PField::SetDate>;
template class PBinaryNumberField<PFloatField, float, dbSingle, &PField::GetSingle,
                                  &PField::SetSingle>;
template class PBinaryNumberField<PDoubleField, double, dbDouble, &PField::GetDouble,
                                  &PField::SetDouble>;
template class PFormattedNumberField<PFloatField, float, dbSingle, &PField::GetSingle,
                                     &PField::SetSingle>;
template class PFormattedNumberField<PDoubleField, double, dbDouble, &PField::GetDouble,
                                     &PField::SetDouble>;
template class PBinaryNumberField<PTimeField, double, dbDate, &PField::GetDate, &PField::SetDate>;

// ---------------------------------------------------------------------------
// PIntField

bool PIntField::SetFromText(const char* text) {
  text = SkipBlanks(text);
  if (*text == 0) {
    SetLong(0);
    return true;
  }
  if (!IsIntegerText(text)) return false;
  SetLong(TextToInt(text));
  return true;
}

void PIntField::GetDisplayText(PStr& out) const {
  out.Format("%d", value_);
}

// ---------------------------------------------------------------------------
// PInt64Field

bool PInt64Field::SetFromText(const char* text) {
  text = SkipBlanks(text);
  long long value = 0;
  const bool scanned = *text == 0 || std::sscanf(text, "%lld", &value) == 1;
  if (!scanned) value = 0;
  SetBigInt(value);
  return scanned;
}

void PInt64Field::GetDisplayText(PStr& out) const {
  out.Format("%I64d", static_cast<long long>(value_));
}

// ---------------------------------------------------------------------------
// PFloatField

const char*& PFloatField::DefaultDisplayFormat() {
  static const char* format = "%.1f";
  return format;
}

void PFloatField::GetDisplayText(PStr& out) const {
  out.Format(displayFormat_, static_cast<double>(value_));
  char* text = out.Data();
  if (text == nullptr || std::strchr(text, '.') == nullptr) return;
  size_t length = std::strlen(text);
  while (length > 0 && text[length - 1] == '0')
    text[--length] = 0;
  if (length > 0 && text[length - 1] == '.') text[--length] = 0;
}

void PFloatField::GetSQLText(PStr& out) const {
  out.Format("%g", static_cast<double>(value_));
}

// ---------------------------------------------------------------------------
// PDoubleField

const char*& PDoubleField::DefaultDisplayFormat() {
  static const char* format = "%g";
  return format;
}

void PDoubleField::SetDateNow() {
  SetDate(NowOleDate());
}

void PDoubleField::GetDisplayText(PStr& out) const {
  out.Format(displayFormat_, value_);
  char* text = out.Data();
  if (text == nullptr) return;
  const size_t length = std::strlen(text);
  if (length >= 3 && text[length - 2] == '.' && text[length - 1] == '0') text[length - 2] = 0;
}

void PDoubleField::GetSQLText(PStr& out) const {
  out.Format("%.20f", value_);
}

// ---------------------------------------------------------------------------
// PTimeField

void PTimeField::SetDateNow() {
  SetDate(NowOleDate());
}

bool PTimeField::SetFromText(const char* text) {
  text = SkipBlanks(text);
  PTokens parts(text, " ");
  if (parts.Count() >= 1) {
    PTokens date(parts[0], "-");
    if (date.Count() == 3 && std::strlen(date[0]) == 4) {
      platform::SystemTime t;
      t.year = static_cast<uint16_t>(std::atoi(date[0]));
      t.month = static_cast<uint16_t>(std::atoi(date[1]));
      t.day = static_cast<uint16_t>(std::atoi(date[2]));
      if (parts.Count() >= 2) {
        PTokens time(parts[1], ":");
        if (time.Count() >= 1) t.hour = static_cast<uint16_t>(std::atoi(time[0]));
        if (time.Count() >= 2) t.minute = static_cast<uint16_t>(std::atoi(time[1]));
        if (time.Count() >= 3) t.second = static_cast<uint16_t>(std::atoi(time[2]));
      }
      double oleDate = 0;
      if (SystemTimeToOleDate(t, oleDate)) {
        SetDate(oleDate);
        return true;
      }
    }
  }
  // Any other form (an impossible calendar date included) means "now".
  SetDateNow();
  return true;
}

void PTimeField::GetDisplayText(PStr& out) const {
  PTimeStamp stamp(value_);
  out = stamp.UtcText(SecondLanguageSelected() ? 271 : 15);
}

void PTimeField::GetSQLText(PStr& out) const {
  out.Format("%.20f", value_);
}

// ---------------------------------------------------------------------------
// PStringField

PStringField::PStringField(const char* text) : PField(dbText, false) {
  inline_[0] = 0;
  if (text == nullptr) text = "";
  Store(text, std::strlen(text));
}

PStringField::~PStringField() {
  if (text_ != inline_) std::free(text_);
}

void PStringField::Store(const char* text, size_t length) {
  if (length <= std::strlen(text_)) {
    std::memmove(text_, text, length);
    text_[length] = 0;
    return;
  }
  char* target = inline_;
  if (length + 1 > kInline) {
    target = static_cast<char*>(std::malloc(length + 1));
    if (target == nullptr) return;
  }
  std::memcpy(target, text, length);
  target[length] = 0;
  if (text_ != inline_) std::free(text_);
  text_ = target;
}

void PStringField::SetText(const char* text) {
  if (text == nullptr) text = "";
  if (std::strcmp(text, text_) == 0) return;
  Store(text, std::strlen(text));
  MarkChanged();
}

bool PStringField::SetFromText(const char* text) {
  SetText(SkipBlanks(text));
  return true;
}

int PStringField::Compare(const PField& other) const {
  PStr mine, theirs;
  GetDisplayText(mine);
  other.GetDisplayText(theirs);
  const int r =
      std::strcmp(mine.IsNull() ? "" : mine.c_str(), theirs.IsNull() ? "" : theirs.c_str());
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool PStringField::Matches(const char* text, double value, int code) const {
  if (code < kMatchContains || code > kMatchNotContains) return false;
  if (text_ == nullptr) return false;
  std::string mine(text_);
  std::string theirs(text == nullptr ? "" : text);
  if (value == 0.0) {
    platform::UpperCaseAnsi(mine);
    platform::UpperCaseAnsi(theirs);
  }
  switch (code) {
    case kMatchContains:
      return mine.find(theirs) != std::string::npos;
    case kMatchTextEqual:
      return mine == theirs;
    case kMatchBeginsWith:
      return mine.compare(0, theirs.size(), theirs) == 0;
    default:
      return mine.find(theirs) == std::string::npos;
  }
}

PField& PStringField::operator=(const PField& other) {
  if (!TypeMismatch(other, "PStringField")) SetText(other.GetText());
  return *this;
}

PField* PStringField::Clone() const {
  return new PStringField(text_);
}

void PStringField::GetSQLText(PStr& out) const {
  out.Format("'%s'", text_);
}

void PStringField::EncodeText(PStr& out) const {
  std::string text(text_);
  for (char& c : text) {
    if (c == '\t')
      c = 0x01;
    else if (c == '\r')
      c = 0x02;
    else if (c == '\n')
      c = 0x03;
  }
  for (size_t i = 0; i < text.size() && text[i] == ' '; ++i)
    text[i] = 0x04;
  for (size_t i = text.size(); i > 0 && text[i - 1] == ' '; --i)
    text[i - 1] = 0x04;
  out = PStr(text.data(), text.size());
}

void PStringField::DecodeText(const char* text) {
  SetText(text);
  for (char* p = text_; *p; ++p) {
    switch (*p) {
      case 0x01:
        *p = '\t';
        break;
      case 0x02:
        *p = '\r';
        break;
      case 0x03:
        *p = '\n';
        break;
      case 0x04:
        *p = ' ';
        break;
      default:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// PRawDataField

PRawDataField::PRawDataField(uint32_t size, const void* data) : PField(dbLongBinary, false) {
  dataSize_ = size;
  if (size > 0 && data_.ResizeCount(size)) {
    if (data != nullptr) std::memcpy(data_.Data(), data, size);
    allocSize_ = size;
  }
}

void PRawDataField::SetRawData(uint32_t size, const void* data) {
  const uint32_t oldDataSize = dataSize_;
  dataSize_ = size;
  if (allocSize_ == size && oldDataSize == size &&
      (size == 0 || (data != nullptr && std::memcmp(data_.Data(), data, size) == 0)))
    return;
  MarkChanged();
  if (!data_.ResizeCount(size)) {
    // Memory refused: keep the array consistent with what it holds.
    dataSize_ = oldDataSize;
    return;
  }
  allocSize_ = size;
  if (size > 0) {
    if (data != nullptr)
      std::memcpy(data_.Data(), data, size);
    else
      std::memset(data_.Data(), 0, size);
  }
}

int PRawDataField::Compare(const PField& other) const {
  return CompareValues(static_cast<int>(type_), static_cast<int>(other.Type()));
}

PField& PRawDataField::operator=(const PField& other) {
  if (TypeMismatch(other, "PRawDataField")) return *this;
  const auto& source = static_cast<const PRawDataField&>(other);
  const uint32_t size = static_cast<uint32_t>(source.allocSize_);
  const bool same = dataSize_ == source.dataSize_ && allocSize_ == source.allocSize_ &&
                    (size == 0 || std::memcmp(data_.Data(), source.data_.Data(), size) == 0);
  dataSize_ = source.dataSize_;
  if (same) return *this;
  if (!data_.ResizeCount(size)) return *this;
  allocSize_ = size;
  if (size > 0) std::memcpy(data_.Data(), source.data_.Data(), size);
  MarkChanged();
  return *this;
}

PField* PRawDataField::Clone() const {
  auto* copy = new PRawDataField(static_cast<uint32_t>(allocSize_), data_.Data());
  static_cast<PField&>(*copy) = *this;
  copy->ClearFlags();
  return copy;
}

void PRawDataField::GetDisplayText(PStr& out) const {
  out.Format("<Raw data, size = %u, alloc'd size = %u>", dataSize_,
             static_cast<uint32_t>(allocSize_));
}
