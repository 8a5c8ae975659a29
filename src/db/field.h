// Field values: one column value of one database record. PField is the
// abstract base with one table of virtual operations shared by all classes, so
// any field can be read, set, compared, printed or copied through the base;
// the seven concrete classes hold one value type each.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/containers.h"
#include "base/object.h"
#include "base/strings.h"

// Field type codes.
enum : uint16_t {
  dbLong = 4,
  dbSingle = 6,
  dbDouble = 7,
  dbDate = 8,
  dbText = 10,
  dbLongBinary = 11,
  dbBigInt = 16,
};

// Any field type (FindField).
inline constexpr int16_t kAnyFieldType = 32767;

// Comparison codes of Matches.
enum : int {
  kMatchEqual = 0,
  kMatchNotEqual = 1,
  kMatchLess = 2,
  kMatchLessOrEqual = 3,
  kMatchGreater = 4,
  kMatchGreaterOrEqual = 5,
  kMatchContains = 6,
  kMatchTextEqual = 7,
  kMatchBeginsWith = 8,
  kMatchNotContains = 9,
};

// A text with 20 inline bytes; longer texts live on the heap.
class PSmallStr {
 public:
  static constexpr size_t kInline = 20;
  PSmallStr() { inline_[0] = 0; }
  ~PSmallStr();
  PSmallStr(const PSmallStr&) = delete;
  PSmallStr& operator=(const PSmallStr&) = delete;
  PSmallStr& operator=(const char* text);
  const char* c_str() const { return text_; }
  operator const char*() const { return text_; }
  bool IsInline() const { return text_ == inline_; }

 private:
  char inline_[kInline];
  char* text_ = inline_;
};

class PField : public BaseObject {
 public:
  enum Flags : uint32_t { kModified = 0x1, kAssigned = 0x2, kReserved = 0x4 };

  ~PField() override = default;
  const char* ClassName() const override { return "PField"; }

  // Getters: a class answers only for its own form; the others give 0, "" or
  // the empty byte array.
  virtual int32_t GetLong() const { return 0; }
  virtual int64_t GetBigInt() const { return 0; }
  virtual float GetSingle() const { return 0; }
  virtual double GetDouble() const { return 0; }
  virtual double GetDate() const { return 0; }
  virtual const char* GetText() const { return ""; }
  virtual const DynArray<unsigned char>& GetRawData() const;
  // Setters: a setter that does not fit the class does nothing.
  virtual void SetLong(int32_t) {}
  virtual void SetBigInt(int64_t) {}
  virtual void SetSingle(float) {}
  virtual void SetDouble(double) {}
  virtual void SetDate(double) {}
  virtual void SetDateNow() {}
  virtual void SetText(const char*) {}
  virtual void SetRawData(uint32_t, const void*) {}
  virtual void* GetValuePtr() = 0;
  virtual bool SetFromText(const char* text) = 0;
  // -1, 0 or 1.
  virtual int Compare(const PField& other) const = 0;
  virtual bool Matches(const char* text, double value, int code) const = 0;
  virtual void CopyAttributes(const PField& other);
  virtual PField& operator=(const PField& other) = 0;
  virtual PField* Clone() const = 0;
  virtual void GetDisplayText(PStr& out) const = 0;
  virtual void GetSQLText(PStr& out) const;
  virtual void GetTypeName(PStr& out) const = 0;
  virtual void EncodeText(PStr& out) const;
  virtual void DecodeText(const char* text);
  virtual uint32_t Reserved1() const { return 0xFFFFFFFFu; }
  virtual void GetTextCopy(PSmallStr& out) const;
  virtual uint32_t Reserved2() const { return 0; }

  uint16_t Type() const { return type_; }
  uint32_t FlagsWord() const { return flags_; }
  bool IsModified() const { return (flags_ & kModified) != 0; }
  bool IsAssigned() const { return (flags_ & kAssigned) != 0; }
  void SetModified(bool on) {
    if (on) {
      flags_ |= kModified;
    } else {
      flags_ &= ~static_cast<uint32_t>(kModified);
    }
  }
  void ClearFlags() { flags_ = 0; }

 protected:
  PField(uint16_t type, bool modified)
      : type_(type), flags_(modified ? static_cast<uint32_t>(kModified) : 0u) {}
  PField(const PField&) = delete;
  void MarkChanged() { flags_ |= kModified | kAssigned; }
  // Reports the class's assignment mismatch; true when the types differ.
  bool TypeMismatch(const PField& other, const char* className) const;
  // Comparison code applied to r (codes 0 to 5).
  static bool MatchCode(int r, int code);

  uint16_t type_;
  uint32_t flags_;
};

// What the number fields share: the value, a setter that marks a change,
// comparison, matching, assignment from a field of the same type and
// cloning. `Get` and `Set` are the PField accessors of the kind (GetLong and
// SetLong for dbLong ...), through which values are compared and assigned.
// The members are defined in field.cpp for the five number classes.
template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
class PNumberField : public PField {
 public:
  // A new field is modified; one made with a value (loaded) is not.
  PNumberField() : PField(kType, true) {}
  explicit PNumberField(T value) : PField(kType, false), value_(value) {}
  const char* ClassName() const override;
  void GetTypeName(PStr& out) const override;
  void* GetValuePtr() override { return &value_; }
  int Compare(const PField& other) const override;
  bool Matches(const char* text, double value, int code) const override;
  PField& operator=(const PField& other) override;
  PField* Clone() const override;

 protected:
  // Keeps a new value; a different one marks the field changed and assigned.
  void Store(T value);

  T value_ = 0;

 public:
  // Takes over what a copy or an assignment keeps besides the value.
  void CopyExtras(const Derived&) {}
};

// A number field whose exchange text is its value's bytes in memory order as
// "%02X" pairs (EncodeText / DecodeText), for the floating-point kinds.
template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
class PBinaryNumberField : public PNumberField<Derived, T, kType, Get, Set> {
 public:
  using PNumberField<Derived, T, kType, Get, Set>::PNumberField;
  void EncodeText(PStr& out) const override;
  void DecodeText(const char* text) override;
};

// A floating-point field with a printf display format (shared text, kept by
// copies and assignments); new fields take the class's default.
template <typename Derived, typename T, uint16_t kType, T (PField::*Get)() const,
          void (PField::*Set)(T)>
class PFormattedNumberField : public PBinaryNumberField<Derived, T, kType, Get, Set> {
 public:
  using PBinaryNumberField<Derived, T, kType, Get, Set>::PBinaryNumberField;
  const char* DisplayFormat() const { return displayFormat_; }
  void SetDisplayFormat(const char* format) { displayFormat_ = format; }
  // A copy or an assignment keeps the display format.
  void CopyExtras(const Derived& other) { displayFormat_ = other.displayFormat_; }
  // Reads a decimal floating-point text.
  bool SetFromText(const char* text) override;

 protected:
  const char* displayFormat_ = Derived::DefaultDisplayFormat();
};

class PIntField
    : public PNumberField<PIntField, int32_t, dbLong, &PField::GetLong, &PField::SetLong> {
 public:
  using PNumberField::PNumberField;
  int32_t GetLong() const override { return value_; }
  void SetLong(int32_t value) override { Store(value); }
  bool SetFromText(const char* text) override;
  void GetDisplayText(PStr& out) const override;
};

class PInt64Field
    : public PNumberField<PInt64Field, int64_t, dbBigInt, &PField::GetBigInt, &PField::SetBigInt> {
 public:
  using PNumberField::PNumberField;
  int32_t GetLong() const override { return static_cast<int32_t>(value_); }
  int64_t GetBigInt() const override { return value_; }
  void SetLong(int32_t value) override { SetBigInt(value); }
  void SetBigInt(int64_t value) override { Store(value); }
  // Always sets the value (0 for text that does not scan); true when the text
  // scanned.
  bool SetFromText(const char* text) override;
  void GetDisplayText(PStr& out) const override;
};

class PFloatField : public PFormattedNumberField<PFloatField, float, dbSingle, &PField::GetSingle,
                                                 &PField::SetSingle> {
 public:
  using PFormattedNumberField::PFormattedNumberField;
  float GetSingle() const override { return value_; }
  double GetDouble() const override { return value_; }
  void SetSingle(float value) override { Store(value); }
  void SetDouble(double value) override { SetSingle(static_cast<float>(value)); }
  void GetDisplayText(PStr& out) const override;
  void GetSQLText(PStr& out) const override;
  // The process-wide default for new fields ("%.1f"); the text must outlive
  // the fields.
  static const char*& DefaultDisplayFormat();
};

class PDoubleField : public PFormattedNumberField<PDoubleField, double, dbDouble,
                                                  &PField::GetDouble, &PField::SetDouble> {
 public:
  using PFormattedNumberField::PFormattedNumberField;
  float GetSingle() const override { return static_cast<float>(value_); }
  double GetDouble() const override { return value_; }
  double GetDate() const override { return value_; }
  void SetSingle(float value) override { SetDouble(value); }
  void SetDouble(double value) override { Store(value); }
  void SetDate(double value) override { SetDouble(value); }
  void SetDateNow() override;
  void GetDisplayText(PStr& out) const override;
  void GetSQLText(PStr& out) const override;
  // The process-wide default for new fields ("%g").
  static const char*& DefaultDisplayFormat();
};

class PTimeField
    : public PBinaryNumberField<PTimeField, double, dbDate, &PField::GetDate, &PField::SetDate> {
 public:
  using PBinaryNumberField::PBinaryNumberField;
  double GetDate() const override { return value_; }
  void SetDate(double value) override { Store(value); }
  void SetDateNow() override;
  bool SetFromText(const char* text) override;
  void GetDisplayText(PStr& out) const override;
  void GetSQLText(PStr& out) const override;
};

class PStringField : public PField {
 public:
  static constexpr size_t kInline = 20;
  PStringField() : PField(dbText, true) { inline_[0] = 0; }
  explicit PStringField(const char* text);
  ~PStringField() override;
  const char* ClassName() const override { return "PStringField"; }
  const char* GetText() const override { return text_; }
  void SetText(const char* text) override;
  void* GetValuePtr() override { return text_; }
  bool SetFromText(const char* text) override;
  int Compare(const PField& other) const override;
  bool Matches(const char* text, double value, int code) const override;
  PField& operator=(const PField& other) override;
  PField* Clone() const override;
  void GetDisplayText(PStr& out) const override { out = text_; }
  void GetSQLText(PStr& out) const override;
  void GetTypeName(PStr& out) const override { out = "dbText"; }
  void EncodeText(PStr& out) const override;
  void DecodeText(const char* text) override;
  void GetTextCopy(PSmallStr& out) const override { out = text_; }

  bool IsInline() const { return text_ == inline_; }

 private:
  // Stores the text without comparing (the caller compared already).
  void Store(const char* text, size_t length);
  char* text_ = inline_;
  char inline_[kInline];
};

class PRawDataField : public PField {
 public:
  PRawDataField() : PField(dbLongBinary, false) {}
  PRawDataField(uint32_t size, const void* data);
  const char* ClassName() const override { return "PRawDataField"; }
  const DynArray<unsigned char>& GetRawData() const override { return data_; }
  void SetRawData(uint32_t size, const void* data) override;
  void* GetValuePtr() override { return data_.Data(); }
  bool SetFromText(const char*) override { return true; }
  int Compare(const PField& other) const override;
  bool Matches(const char*, double, int) const override { return false; }
  PField& operator=(const PField& other) override;
  PField* Clone() const override;
  void GetDisplayText(PStr& out) const override;
  void GetTypeName(PStr& out) const override { out = "dbLongBinary"; }
  void DecodeText(const char*) override {}

  uint64_t AllocSize() const { return allocSize_; }
  uint32_t DataSize() const { return dataSize_; }
  // Only the column's length is known; the bytes come later (QueryRawData).
  void SetDataSizeOnly(uint32_t size) { dataSize_ = size; }

 private:
  DynArray<unsigned char> data_;
  uint64_t allocSize_ = 0;
  uint32_t dataSize_ = 0;
};

// A new empty field of a type code (default constructor); null for an unknown
// code.
PField* NewField(uint16_t type);
