#include "db/record.h"

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>

#include "base/format.h"
#include "base/log.h"
#include "base/numbers.h"
#include "base/options.h"
#include "base/per_thread.h"
#include "base/sync.h"
#include "db/database.h"

uint16_t MapColumnType(int32_t reportedType) {
  switch (reportedType) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
      return dbLong;
    case 10:
    case 12:
      return dbText;
    default:
      return static_cast<uint16_t>(reportedType);
  }
}

// ---------------------------------------------------------------------------
// PFieldInfo, PInfoMask

PFieldInfo::PFieldInfo(const MPFieldInfo& info)
    : name(info.name, strnlen(info.name, sizeof info.name)),
      type(MapColumnType(info.type)),
      reportedType(static_cast<uint32_t>(static_cast<uint16_t>(info.type))),
      size(info.size),
      flags(info.flags),
      ordinal(info.ordinal),
      attribute(static_cast<uint8_t>(info.attributes & 0xFF)) {}

PInfoMask::PInfoMask(uint32_t columns, bool all) : DynArray<unsigned char>((columns + 7) / 8) {
  for (uint32_t i = 0; i < columns; ++i)
    Set(i, all);
}

PInfoMask::PInfoMask(const PRecordSet& recordSet)
    : DynArray<unsigned char>((recordSet.ColumnCount() + 7) / 8) {
  for (uint32_t i = 0; i < recordSet.ColumnCount(); ++i)
    Set(i, recordSet.Column(i)->type != dbLongBinary);
}

bool PInfoMask::IsSet(uint32_t column) const {
  if (column / 8 >= Count()) return false;
  return ((*this)[column / 8] >> (column % 8) & 1) != 0;
}

void PInfoMask::Set(uint32_t column, bool on) {
  if (column / 8 >= Count()) return;
  unsigned char& byte = (*this)[column / 8];
  const unsigned char bit = static_cast<unsigned char>(1u << (column % 8));
  byte = on ? static_cast<unsigned char>(byte | bit) : static_cast<unsigned char>(byte & ~bit);
}

bool PInfoMask::Any() const {
  for (uint64_t i = 0; i < Count(); ++i)
    if ((*this)[i] != 0) return true;
  return false;
}

// ---------------------------------------------------------------------------
// PFieldsContainer, PRecord

PFieldsContainer::PFieldsContainer(uint32_t capacity)
    : PSContainer<PField>(capacity == 0 ? 1 : capacity, 0) {}

PRecord::PRecord(PRecordSet* recordSet)
    : PFieldsContainer(recordSet != nullptr ? recordSet->ColumnCount() : 1),
      recordSet_(recordSet) {}

PRecord::PRecord(PRecordSet* recordSet, bool load) : PRecord(recordSet) {
  isNew_ = !load;
  if (recordSet_ == nullptr) return;
  const uint32_t columns = recordSet_->ColumnCount();
  if (!load) {
    for (uint32_t i = 0; i < columns; ++i) {
      PField* field = NewField(static_cast<uint16_t>(recordSet_->Column(i)->type));
      if (field == nullptr) {
        recordSet_->Report("Internal error: Unknown field type in PRecord ctor");
        return;
      }
      Add(field);
    }
    return;
  }
  PInfoMask mask(*recordSet_);
  if (!mask.Any()) return;
  MSSQLInterface* backEnd = recordSet_->Interface();
  MSSQLDataBase* database = recordSet_->Database();
  if (backEnd == nullptr) return;
  uint32_t size = 0;
  if (!backEnd->GetRecordSize(recordSet_->Handle(), size, mask.Data(), mask.Length())) {
    if (database != nullptr) database->ReportError("Error in obtaining record size");
    return;
  }
  DynArray<unsigned char> buffer(size);
  if (!backEnd->GetRecordData(recordSet_->Handle(), buffer.Data(), mask.Data(), mask.Length(),
                              size)) {
    if (database != nullptr) database->ReportError("Error getting record data");
    return;
  }
  const size_t consumed = ParsePacked(buffer.Data(), size, mask);
  if (consumed > size || Count() != columns) recordSet_->Report("Error parsing record data");
}

namespace {

// Reads little-endian values from a bounded buffer; a read past the end
// marks the reader as overrun and gives 0.
class PackedReader {
 public:
  PackedReader(const unsigned char* data, size_t size) : data_(data), size_(size) {}
  bool Has(size_t n) const { return !overrun_ && size_ - position_ >= n; }
  const unsigned char* Take(size_t n) {
    if (!Has(n)) {
      overrun_ = true;
      return nullptr;
    }
    const unsigned char* p = data_ + position_;
    position_ += n;
    return p;
  }
  template <typename T>
  T Read() {
    T value{};
    if (const unsigned char* p = Take(sizeof(T))) std::memcpy(&value, p, sizeof(T));
    return value;
  }
  bool Overrun() const { return overrun_; }
  size_t Position() const { return position_; }

 private:
  const unsigned char* data_;
  size_t size_;
  size_t position_ = 0;
  bool overrun_ = false;
};

}  // namespace

size_t PRecord::ParsePacked(const unsigned char* data, size_t size, const PInfoMask& mask) {
  PackedReader in(data, size);
  const uint8_t bookmarkLength = in.Read<uint8_t>();
  if (const unsigned char* bookmark = in.Take(bookmarkLength)) {
    bookmark_.ResizeCount(bookmarkLength);
    if (bookmarkLength > 0) std::memcpy(bookmark_.Data(), bookmark, bookmarkLength);
  }
  const uint32_t columns = recordSet_ != nullptr ? recordSet_->ColumnCount() : 0;
  for (uint32_t i = 0; i < columns && !in.Overrun(); ++i) {
    const bool present = mask.IsSet(i);
    std::unique_ptr<PField> field;
    switch (recordSet_->Column(i)->reportedType) {
      case 1:
      case 2:
        field = std::make_unique<PIntField>(present ? in.Read<uint8_t>() : 0);
        break;
      case 3:
        field = std::make_unique<PIntField>(present ? in.Read<int16_t>() : 0);
        break;
      case 4:
        field = std::make_unique<PIntField>(present ? in.Read<int32_t>() : 0);
        break;
      case 5:
        field = std::make_unique<PIntField>(present ? static_cast<int32_t>(in.Read<int64_t>()) : 0);
        break;
      case 6:
        field = std::make_unique<PFloatField>(present ? in.Read<float>() : 0.0f);
        break;
      case 7:
        field = std::make_unique<PDoubleField>(present ? in.Read<double>() : 0.0);
        break;
      case 8:
        field = std::make_unique<PTimeField>(present ? in.Read<double>() : 0.0);
        break;
      case 10:
      case 12: {
        std::string text;
        if (present) {
          const uint32_t length = in.Read<uint32_t>();
          if (const unsigned char* p = in.Take(length))
            text.assign(reinterpret_cast<const char*>(p),
                        strnlen(reinterpret_cast<const char*>(p), length));
        }
        field = std::make_unique<PStringField>(text.c_str());
        break;
      }
      case 11: {
        const uint32_t length = in.Read<uint32_t>();
        const unsigned char* bytes = present ? in.Take(length) : nullptr;
        auto raw = std::make_unique<PRawDataField>(bytes != nullptr ? length : 0, bytes);
        raw->SetDataSizeOnly(length);
        field = std::move(raw);
        break;
      }
      default:
        recordSet_->Report("Unknown field size in PRecord ctor");
        break;
    }
    if (field && !in.Overrun()) Add(field.release());
  }
  return in.Overrun() ? size + 1 : in.Position();
}

PField* PRecord::FieldByName(const char* name) {
  if (recordSet_ == nullptr) return nullptr;
  const int32_t index = recordSet_->ColumnIndex(name);
  if (index < 0 || static_cast<uint32_t>(index) >= Count()) return nullptr;
  return At(static_cast<uint32_t>(index));
}

PField* PRecord::FindField(const char* name, int16_t type, bool quiet) {
  PField* field = FieldByName(name);
  if (field == nullptr) {
    if (!quiet && recordSet_ != nullptr)
      recordSet_->Report("PFieldsContainer: Cannot find field named '%s'", name);
    return nullptr;
  }
  const int32_t own = field->Type();
  if (own == type || type == kAnyFieldType || (type == dbDate && own == dbDouble)) return field;
  if (recordSet_ != nullptr)
    recordSet_->Report("PFieldsContainer: Field '%s' type mismatch (got %u, expected %u)", name,
                       static_cast<uint32_t>(own), static_cast<uint32_t>(type));
  return nullptr;
}

const char* PRecord::GetFieldText(const char* name) {
  PField* field = FindField(name, dbText, false);
  return field != nullptr ? field->GetText() : "";
}

double PRecord::GetFieldDate(const char* name) {
  PField* field = FindField(name, dbDate, false);
  return field != nullptr ? field->GetDate() : 0.0;
}

const DynArray<unsigned char>* PRecord::GetFieldRawData(const char* name) {
  PField* field = FindField(name, dbLongBinary, false);
  return field != nullptr ? &field->GetRawData() : nullptr;
}

void PRecord::SetFieldLong(const char* name, int32_t value) {
  if (PField* field = FindField(name, dbLong, false)) field->SetLong(value);
}

// ---------------------------------------------------------------------------
// PRecordSet

PRecordSet::PRecordSet(MSSQLDataBase* database, const char* table, uint32_t mode, const char* sql,
                       uint32_t flags)
    : PSContainer<PRecord>(64, SContainer::kDoublingDelta),
      database_(database),
      infos_(32, 0),
      flags_(flags),
      table_(table),
      updatable_(mode != kModeReadOnly) {
  if (table == nullptr || *table == 0) flags_ |= kNoTable;
  Open(mode, sql, (flags_ & kNoLoad) == 0);
}

PRecordSet::~PRecordSet() {
  if (handle_ != nullptr) {
    MSSQLInterface* backEnd = Interface();
    if (backEnd == nullptr || !backEnd->DestroyRecordSet(handle_)) {
      if (database_ != nullptr)
        database_->ReportError("PRecordSet(this=%X): Cannot destroy record set",
                               static_cast<uint32_t>(reinterpret_cast<uintptr_t>(this)));
      LogPrint("SQL error at:\n%s\n", "");
    }
    handle_ = nullptr;
  }
  // The records and the column descriptions go with their containers.
  DeleteAll();
}

MSSQLInterface* PRecordSet::Interface() const {
  return database_ != nullptr ? database_->GetInterface() : nullptr;
}

int32_t PRecordSet::ColumnIndex(const char* name) const {
  if (name == nullptr) return -1;
  for (uint32_t i = 0; i < infos_.Count(); ++i) {
    const char* own = infos_.At(i)->name.c_str();
    if (own != nullptr && std::strcmp(own, name) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

void PRecordSet::Report(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PStr text;
  text.VFormat(format, args);
  va_end(args);
  if (database_ == nullptr) {
    DbDefaultError("%s", text.c_str());
    return;
  }
  DbFormatMessage("%s", text.c_str());
  if (database_->ErrorOutput != nullptr) database_->ErrorOutput();
}

namespace {

// The room for the column descriptions a back end fills when a record set
// opens: one zeroed block per thread, made on first use and reused, so that
// opening does not allocate and clear room for kMaxColumns descriptions
// every time. The descriptions are copied out before anything else on the
// thread can open a record set.
MPFieldInfo* DescriptionRoom() {
  static Immortal<PerThread<std::unique_ptr<MPFieldInfo[]>>> rooms;
  std::unique_ptr<MPFieldInfo[]>& room = rooms.Get().Get();
  if (!room) room = std::make_unique<MPFieldInfo[]>(kMaxColumns);
  return room.get();
}

}  // namespace

void PRecordSet::Open(uint32_t mode, const char* sql, bool load) {
  MSSQLInterface* backEnd = Interface();
  if (backEnd == nullptr) {
    if (database_ != nullptr) database_->ReportError("Cannot create recordset");
    return;
  }
  MPFieldInfo* descriptions = DescriptionRoom();
  uint32_t count = kMaxColumns;
  // The caller's text is passed as it is; only the columns-only statement
  // is made here.
  PStr columnsOnly;
  if (flags_ & kColumnsOnly) columnsOnly.Format("select * from %s where 0", TableName());
  const char* statement = (flags_ & kColumnsOnly) ? columnsOnly.c_str() : sql;
  handle_ = backEnd->OpenRecordSet(database_->Connection(), TableName(), mode, statement, flags_,
                                   descriptions, count);
  if (handle_ == nullptr) {
    std::memset(static_cast<void*>(descriptions), 0, sizeof(MPFieldInfo) * kMaxColumns);
    database_->ReportError("Cannot create recordset");
    return;
  }
  if (count > kMaxColumns) count = kMaxColumns;
  for (uint32_t i = 0; i < count; ++i)
    infos_.Add(new PFieldInfo(descriptions[i]));
  // Back to zeros for the next open, so that no back end ever sees the
  // descriptions of an earlier result.
  std::memset(static_cast<void*>(descriptions), 0, sizeof(MPFieldInfo) * count);
  if (!load) return;
  if (Count() != 0) {
    Report("GetRecordsData(): Recordset is not empty");
    return;
  }
  if (!backEnd->Capable(MSSQLInterface::kBulk)) {
    PStopWatchMCS watch;
    int r = MoveFirst();
    while (r != 0 && r != 2) {
      auto record = std::make_unique<PRecord>(this, true);
      if (record->Count() != ColumnCount()) break;
      Add(record.release());
      r = backEnd->Move(handle_, 2);
      if (r == 2) {
        database_->ReportError("Error PRecordSet::MoveNext()");
        break;
      }
      if (r != 1) break;
    }
    loadTime_ = static_cast<uint32_t>(watch.ElapsedMCS());
  } else {
    GetRecordsData();
  }
  if (IsOptionOn(kOptTraceSql)) LogPrint("%s mcs\n", GroupThousands(loadTime_).c_str());
}

int PRecordSet::MoveFirst() {
  MSSQLInterface* backEnd = Interface();
  if (backEnd == nullptr) return 2;
  const int r = backEnd->Move(handle_, 0);
  if (r == 2 && database_ != nullptr) database_->ReportError("Error PRecordSet::MoveFirst()");
  return r;
}

int PRecordSet::MoveNext() {
  MSSQLInterface* backEnd = Interface();
  if (backEnd == nullptr) return 2;
  const int r = backEnd->Move(handle_, 2);
  if (r == 2 && database_ != nullptr) database_->ReportError("Error PRecordSet::MoveNext()");
  return r;
}

bool PRecordSet::GetRecordsData() {
  PStopWatchMCS watch;
  MSSQLInterface* backEnd = Interface();
  if (backEnd == nullptr) return false;
  if (backEnd->Capable(MSSQLInterface::kSelfLoading)) {
    const bool result = backEnd->LoadRecords(this);
    loadTime_ = static_cast<uint32_t>(watch.ElapsedMCS());
    return result;
  }
  PInfoMask mask(*this);
  uint32_t size = 0;
  if (!backEnd->GetAllRecordsSize(handle_, size, mask.Data(), mask.Length())) {
    database_->ReportError("Error in obtaining record size");
    return false;
  }
  DynArray<unsigned char> buffer(size);
  if (!backEnd->GetAllRecordsData(handle_, buffer.Data(), mask.Data(), mask.Length(), size)) {
    database_->ReportError("Error getting record data");
    return false;
  }
  size_t total = 0;
  while (total < size) {
    auto record = std::make_unique<PRecord>(this);
    const size_t consumed = record->ParsePacked(buffer.Data() + total, size - total, mask);
    if (consumed == 0 || consumed > size - total) {
      database_->ReportError("Error parsing record data");
      break;
    }
    total += consumed;
    Add(record.release());
  }
  loadTime_ = static_cast<uint32_t>(watch.ElapsedMCS());
  return true;
}
