// MySQL result sets: stored query results, their column descriptions and the
// loading of rows into records.
#include <mysql.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "base/format.h"
#include "base/numbers.h"
#include "db/mysql/mysql_database.h"
#include "platform/codepage.h"

namespace {

// Field type and size of a server column type; false for a type this back
// end does not know (it is then described as text).
bool MapServerType(const MYSQL_FIELD& column, int16_t& type, uint32_t& size) {
  switch (column.type) {
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_NEWDECIMAL:
      type = dbSingle, size = 4;
      return true;
    case MYSQL_TYPE_TINY:
      type = dbLong, size = 1;
      return true;
    case MYSQL_TYPE_SHORT:
      type = dbLong, size = 2;
      return true;
    case MYSQL_TYPE_LONG:
      type = dbLong, size = 4;
      return true;
    case MYSQL_TYPE_INT24:
      type = dbLong, size = 3;
      return true;
    case MYSQL_TYPE_LONGLONG:
      type = dbLong, size = 8;
      return true;
    case MYSQL_TYPE_BIT:
      // A BIT value is big-endian bytes; wider than 32 bits it needs 64.
      if (column.length > 32) {
        type = dbBigInt, size = 8;
      } else {
        type = dbLong, size = 1;
      }
      return true;
    case MYSQL_TYPE_NULL:
      type = dbLong, size = 0;
      return true;
    case MYSQL_TYPE_DOUBLE:
      type = dbDouble, size = 8;
      return true;
    case MYSQL_TYPE_TIMESTAMP:
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_TIME:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_YEAR:
    case MYSQL_TYPE_NEWDATE:
    case MYSQL_TYPE_TIMESTAMP2:
    case MYSQL_TYPE_DATETIME2:
    case MYSQL_TYPE_TIME2:
      type = dbDate, size = 0;
      return true;
    case MYSQL_TYPE_ENUM:
    case MYSQL_TYPE_SET:
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_GEOMETRY:
    case MYSQL_TYPE_JSON:
      type = dbText, size = 0;
      return true;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      // The binary flag alone also marks text with a binary collation (JSON
      // is LONGTEXT with utf8mb4_bin): only the binary character set (63)
      // makes raw bytes.
      type = (column.flags & kColumnBinary) && column.charsetnr == 63 ? dbLongBinary : dbText;
      size = 0;
      return true;
    default:
      type = dbText, size = 0;
      return false;
  }
}

// Unsigned big-endian value of a BIT column's bytes.
uint64_t BitValue(const char* value, unsigned long length) {
  uint64_t result = 0;
  for (unsigned long i = 0; i < length; ++i)
    result = result << 8 | static_cast<unsigned char>(value[i]);
  return result;
}

// The server's date-time text: "YYYY-MM-DD hh:mm:ss" (fraction ignored) and
// "YYYY-MM-DD" are read directly; any other text goes through the general
// parser.
double ServerDate(const char* text, unsigned long length) {
  auto digits = [&](size_t at, size_t n, uint16_t& out) {
    uint32_t v = 0;
    for (size_t k = at; k < at + n; ++k) {
      if (text[k] < '0' || text[k] > '9') return false;
      v = v * 10 + static_cast<uint32_t>(text[k] - '0');
    }
    out = static_cast<uint16_t>(v);
    return true;
  };
  platform::SystemTime t;
  const bool shape =
      length == 10 || (length >= 19 && text[10] == ' ' && text[13] == ':' && text[16] == ':');
  const bool date = shape && text[4] == '-' && text[7] == '-' && digits(0, 4, t.year) &&
                    digits(5, 2, t.month) && digits(8, 2, t.day);
  // The time is read only when the shape says it is there.
  const bool time = date && (length == 10 || (digits(11, 2, t.hour) && digits(14, 2, t.minute) &&
                                              digits(17, 2, t.second)));
  if (!time) return ParseDateTime(text);
  double oleDate = 0;
  return SystemTimeToOleDate(t, oleDate) ? oleDate : 0;
}

bool AnsiIsUtf8() {
  return platform::ResolveCodePage(platform::kCodePageAnsi) == platform::kCodePageUtf8;
}

}  // namespace

// ---------------------------------------------------------------------------
// MySQLRecordset

MySQLRecordset::MySQLRecordset(uint32_t flags, const char* table, MySQLInterface* owner)
    : flags(flags), table(table), infos(0, 32), owner(owner) {}

MySQLRecordset::~MySQLRecordset() {
  FreeResult();
}

void MySQLRecordset::FreeResult() {
  if (result != nullptr) mysql_free_result(result);
  result = nullptr;
  row = nullptr;
}

// ---------------------------------------------------------------------------
// MySQLInterface: result sets

MySQLRecordset* MySQLInterface::FindRecordSet(void* handle) const {
  if (handle == nullptr) return nullptr;
  for (uint32_t i = 0; i < recordSets_.Count(); ++i)
    if (recordSets_.At(i) == handle) return recordSets_.At(i);
  return nullptr;
}

void* MySQLInterface::OpenRecordSet(void* connection, const char* table, uint32_t mode,
                                    const char* sql, uint32_t flags, MPFieldInfo* infos,
                                    uint32_t& count) {
  auto recordSet = std::make_unique<MySQLRecordset>(flags, table, this);
  PStr statement;
  if (mode == PRecordSet::kModeTable) {
    statement.Format("select * from %s", table != nullptr ? table : "");
  } else {
    statement = sql != nullptr ? sql : "";
  }
  if (!ExecuteSQL(connection, statement.c_str())) {
    SetMySQLError("query");
    return nullptr;
  }
  recordSet->result = mysql_store_result(connection_);
  pendingResult_ = false;
  if (recordSet->result == nullptr) {
    SetMySQLError("mysql_store_result()");
    return nullptr;
  }
  recordSet->rowCount = static_cast<uint32_t>(mysql_num_rows(recordSet->result));
  recordSet->columnCount = mysql_num_fields(recordSet->result);
  if (recordSet->columnCount > count) {
    // The caller's description buffer is the limit of a result's width.
    SetError("Result has %u columns, more than %u", recordSet->columnCount, count);
    return nullptr;
  }
  MYSQL_FIELD* columns = nullptr;
  if (recordSet->columnCount > 0) {
    columns = mysql_fetch_fields(recordSet->result);
    if (columns == nullptr) {
      SetMySQLError("mysql_fetch_fields()");
      return nullptr;
    }
  }
  recordSet->serverTypes.resize(recordSet->columnCount);
  recordSet->infos.Reserve(recordSet->columnCount);
  for (uint32_t i = 0; i < recordSet->columnCount; ++i) {
    const MYSQL_FIELD& column = columns[i];
    MPFieldInfo info{};
    // A name that clashes with an earlier column's gets "_1", "_2", ...;
    // names are compared as they are kept (at most 63 characters), and a
    // suffix shortens the column's own name so that it survives the cut.
    // Suffixed names of different counters differ, so the loop ends after
    // at most i + 1 tries.
    const size_t room = sizeof info.name - 1;
    const std::string own(column.name != nullptr ? column.name : "");
    std::string name = own.substr(0, room);
    for (uint32_t counter = 1;; ++counter) {
      bool clash = false;
      for (uint32_t j = 0; j < i && !clash; ++j)
        clash = name == recordSet->infos[j].name;
      if (!clash) break;
      const std::string suffix = Format("_%u", counter);
      name = own.substr(0, room - suffix.size()) + suffix;
    }
    std::memcpy(info.name, name.c_str(), name.size() + 1);
    if (!MapServerType(column, info.type, info.size))
      SetMySQLError("MySQL database: Unknown field type %u in response",
                    static_cast<uint32_t>(column.type));
    info.flags = column.flags;
    info.ordinal = static_cast<uint16_t>(i);
    recordSet->serverTypes[i] = column.type;
    recordSet->infos.Add(info);
    infos[i] = info;
  }
  count = recordSet->columnCount;
  MySQLRecordset* handle = recordSet.release();
  recordSets_.Add(handle);
  return handle;
}

bool MySQLInterface::DestroyRecordSet(void* handle) {
  for (uint32_t i = 0; i < recordSets_.Count(); ++i) {
    if (recordSets_.At(i) == handle) {
      recordSets_.Delete(i);
      return true;
    }
  }
  SetError("DestroyRecordSet: Invalid record set parameter");
  return false;
}

int MySQLInterface::Move(void* handle, int how) {
  MySQLRecordset* recordSet = FindRecordSet(handle);
  if (recordSet == nullptr) {
    SetErrorText("Invalid record set parameter");
    return 2;
  }
  if (recordSet->result == nullptr || recordSet->rowCount == 0) return 0;
  switch (how) {
    case 0:
      mysql_data_seek(recordSet->result, 0);
      break;
    case 1:
      mysql_data_seek(recordSet->result, recordSet->rowCount - 1);
      return 1;
    case 2:
      break;
    default:
      return 2;
  }
  recordSet->row = mysql_fetch_row(recordSet->result);
  return recordSet->row != nullptr ? 1 : 0;
}

bool MySQLInterface::LoadRecords(PRecordSet* recordSet) {
  MySQLRecordset* own = recordSet != nullptr ? FindRecordSet(recordSet->Handle()) : nullptr;
  if (own == nullptr) {
    SetErrorText("Invalid record set parameter");
    return false;
  }
  // MoveNext of the record set, without looking this interface up again
  // for every row.
  int moved;
  while ((moved = Move(own, 2)) == 1) {
    auto record = std::make_unique<PRecord>(recordSet, false);
    FillRow(own, record.get());
    recordSet->Add(record.release());
  }
  if (moved == 2 && recordSet->Database() != nullptr)
    recordSet->Database()->ReportError("Error PRecordSet::MoveNext()");
  own->FreeResult();
  return true;
}

bool MySQLInterface::FillRecord(PRecord* record) {
  if (record == nullptr || record->RecordSet() == nullptr) return false;
  MySQLRecordset* own = FindRecordSet(record->RecordSet()->Handle());
  if (own == nullptr) return false;
  return FillRow(own, record);
}

bool MySQLInterface::FillRow(MySQLRecordset* own, PRecord* record) {
  if (own->result == nullptr || own->row == nullptr) return false;
  record->SetNew(false);
  const unsigned long* lengths = mysql_fetch_lengths(own->result);
  const uint32_t columns = std::min(own->columnCount, record->Count());
  const bool utf8 = (EffectiveOptions() & kMySQLUtf8) != 0 && !AnsiIsUtf8();
  for (uint32_t i = 0; i < columns; ++i) {
    PField* field = record->At(i);
    const char* value = own->row[i];
    const unsigned long length = lengths != nullptr ? lengths[i] : 0;
    const bool isBit = own->serverTypes[i] == MYSQL_TYPE_BIT;
    switch (own->infos[i].type) {
      case dbLong:
        if (value == nullptr) {
          field->SetLong(0);
        } else if (isBit) {
          field->SetLong(static_cast<int32_t>(static_cast<uint32_t>(BitValue(value, length))));
        } else if (own->infos[i].size == 1 && length > 0 &&
                   static_cast<signed char>(value[0]) < 2) {
          field->SetLong(static_cast<signed char>(value[0]));
        } else {
          field->SetLong(TextToInt(value));
        }
        break;
      case dbSingle: {
        float f = 0;
        if (value == nullptr || std::sscanf(value, "%g", &f) != 1) f = 0;
        field->SetSingle(f);
        break;
      }
      case dbDouble: {
        double d = 0;
        if (value == nullptr || std::sscanf(value, "%lg", &d) != 1) d = 0;
        field->SetDouble(d);
        break;
      }
      case dbDate:
        field->SetDate(value != nullptr ? ServerDate(value, length) : 0.0);
        break;
      case dbText:
        if (value == nullptr) {
          field->SetText("");
        } else if (utf8) {
          const std::string converted =
              RecodeBuffer(value, length, platform::kCodePageUtf8, platform::kCodePageAnsi);
          field->SetText(converted.c_str());
        } else {
          field->SetText(value);
        }
        break;
      case dbLongBinary:
        field->SetRawData(value != nullptr ? static_cast<uint32_t>(length) : 0, value);
        break;
      case dbBigInt:
        if (value == nullptr) {
          field->SetBigInt(0);
        } else if (isBit) {
          field->SetBigInt(static_cast<int64_t>(BitValue(value, length)));
        } else {
          field->SetBigInt(static_cast<int64_t>(ParseUInt64(value)));
        }
        break;
      default:
        break;
    }
    field->SetModified(false);
  }
  return true;
}

void MySQLInterface::QueryRawData(void* connection, PRawDataField* field, const char* sql) {
  if (field == nullptr || field->AllocSize() == field->DataSize()) return;
  if (!ExecuteSQL(connection, sql)) return;
  MYSQL_RES* result = StoreSingleValue();
  if (result == nullptr) return;
  MYSQL_ROW row = mysql_fetch_row(result);
  const unsigned long* lengths = mysql_fetch_lengths(result);
  if (row != nullptr && lengths != nullptr)
    field->SetRawData(row[0] != nullptr ? static_cast<uint32_t>(lengths[0]) : 0, row[0]);
  mysql_free_result(result);
}
