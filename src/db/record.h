// Records and record sets: column descriptions, the load mask, records (an
// ordered list of typed fields, one per column) and the record set that runs
// one query through a database's back end and loads its rows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/containers.h"
#include "base/strings.h"
#include "db/field.h"

class MSSQLDataBase;
class MSSQLInterface;
class PRecordSet;

// One column description as a back end reports it.
struct MPFieldInfo {
  char name[64];
  int16_t type;  // a field type code or one of the back-end codes 1, 2, 3, 5, 12
  uint32_t size;
  uint32_t flags;  // the back end's own column attribute bits
  uint16_t ordinal;
  uint32_t attributes;  // the record set copies the low byte
  uint32_t reserved;
};

// Column flags the MySQL back end reports (the server's).
enum : uint32_t {
  kColumnPrimaryKey = 0x2,
  kColumnBinary = 0x80,
  kColumnAutoIncrement = 0x200,
};

// Room a record set offers for column descriptions.
inline constexpr uint32_t kMaxColumns = 1024;

// Field type code of a reported column type: 1-5 are integers, 10 and 12 text.
uint16_t MapColumnType(int32_t reportedType);

// The record set's copy of a column description.
class PFieldInfo : public BaseObject {
 public:
  explicit PFieldInfo(const MPFieldInfo& info);
  ~PFieldInfo() override = default;
  const char* ClassName() const override { return "PFieldInfo"; }

  PStr name;
  uint32_t type;          // field type code, after mapping
  uint32_t reportedType;  // as the back end gave it
  uint32_t size;
  uint32_t flags;
  uint32_t ordinal;
  uint8_t attribute;
};

// Bit i selects column i (least significant bit first).
class PInfoMask : public DynArray<unsigned char> {
 public:
  // Selects every column that is not long binary.
  explicit PInfoMask(const PRecordSet& recordSet);
  PInfoMask(uint32_t columns, bool all);
  bool IsSet(uint32_t column) const;
  void Set(uint32_t column, bool on);
  uint32_t Length() const { return static_cast<uint32_t>(Count()); }
  bool Any() const;
};

class PFieldsContainer : public PSContainer<PField> {
 public:
  explicit PFieldsContainer(uint32_t capacity);
  ~PFieldsContainer() override = default;
  const char* ClassName() const override { return "PFieldsContainer"; }
  virtual PField* FindField(const char* name, int16_t type, bool quiet) = 0;
  virtual PField* FieldByName(const char* name) = 0;
};

class PRecord : public PFieldsContainer {
 public:
  PRecord(PRecordSet* recordSet, bool load);
  // An empty record (no fields, not new) for the packed loader.
  explicit PRecord(PRecordSet* recordSet);
  ~PRecord() override = default;
  const char* ClassName() const override { return "PRecord"; }

  PField* FindField(const char* name, int16_t type, bool quiet) override;
  PField* FieldByName(const char* name) override;

  const char* GetFieldText(const char* name);
  double GetFieldDate(const char* name);
  const DynArray<unsigned char>* GetFieldRawData(const char* name);
  void SetFieldLong(const char* name, int32_t value);

  // Parses one packed record from data (at most size bytes) with the mask;
  // returns the bytes consumed (0 when nothing could be read).
  size_t ParsePacked(const unsigned char* data, size_t size, const PInfoMask& mask);

  PRecordSet* RecordSet() const { return recordSet_; }
  const DynArray<unsigned char>& Bookmark() const { return bookmark_; }
  bool IsNew() const { return isNew_; }
  void SetNew(bool on) { isNew_ = on; }

 private:
  PRecordSet* recordSet_;
  DynArray<unsigned char> bookmark_;
  bool isNew_ = false;
};

class PRecordSet : public PSContainer<PRecord> {
 public:
  enum Flags : uint32_t {
    kNoTable = 0x01,
    kNoLoad = 0x02,
    kNoLock = 0x10,
    kColumnsOnly = 0x20,
  };
  enum Mode : uint32_t { kModeTable = 1, kModeReadOnly = 4 };

  PRecordSet(MSSQLDataBase* database, const char* table, uint32_t mode, const char* sql,
             uint32_t flags);
  ~PRecordSet() override;
  const char* ClassName() const override { return "PRecordSet"; }

  // 0 no row, 1 row, 2 error.
  int MoveFirst();
  int MoveNext();
  bool GetRecordsData();

  // A record-set report: to the database's ErrorOutput as is, or to the
  // process-wide error output without a database.
  void Report(const char* format, ...);

  MSSQLDataBase* Database() const { return database_; }
  MSSQLInterface* Interface() const;
  void* Handle() const { return handle_; }
  uint32_t ColumnCount() const { return infos_.Count(); }
  PFieldInfo* Column(uint32_t index) const { return infos_.At(index); }
  uint32_t LoadTime() const { return loadTime_; }
  void SetLoadTime(uint32_t microseconds) { loadTime_ = microseconds; }
  uint32_t FlagsWord() const { return flags_; }
  const char* TableName() const { return table_.c_str(); }
  bool IsUpdatable() const { return updatable_; }
  // Index of the first column with exactly that name, -1 when none.
  int32_t ColumnIndex(const char* name) const;

 private:
  void Open(uint32_t mode, const char* sql, bool load);

  MSSQLDataBase* database_;
  void* handle_ = nullptr;
  PSContainer<PFieldInfo> infos_;
  uint32_t loadTime_ = 0;
  uint32_t flags_;
  PStr table_;
  bool updatable_;
};
