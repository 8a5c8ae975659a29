// MySQL writes: field values as MySQL literals, saving one record (insert or
// update by primary key) and saving all records through LOAD DATA.
#include <mysql.h>

#include <errmsg.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "base/files.h"
#include "base/format.h"
#include "base/log.h"
#include "db/mysql/mysql_database.h"
#include "platform/codepage.h"

namespace {

// The client library's escaping; without a client handle, the escaping that
// assumes no character set.
std::string Escape(MYSQL* client, const char* bytes, size_t length) {
  std::string buffer(2 * length + 1, '\0');
  unsigned long n;
  if (client != nullptr) {
    n = mysql_real_escape_string(client, buffer.data(), bytes, static_cast<unsigned long>(length));
  } else {
    n = mysql_escape_string(buffer.data(), bytes, static_cast<unsigned long>(length));
  }
  buffer.resize(n == static_cast<unsigned long>(-1) ? 0 : n);
  return buffer;
}

// The client library's local-file handler. The server names the file it
// wants in its answer to any statement, so a hostile or impersonated server
// could read any file of the process; only the file of the bulk load in
// progress is sent, every other request is refused and logged.
struct LocalFileRead {
  std::FILE* file = nullptr;
  std::string error;
};

int LocalFileInit(void** state, const char* name, void* owner) {
  *state = nullptr;
  try {
    auto read = std::make_unique<LocalFileRead>();
    if (name == nullptr) name = "";
    const auto* backEnd = static_cast<const MySQLInterface*>(owner);
    if (backEnd == nullptr || !backEnd->LocalFileAllowed(name)) {
      LogPrint("MySQL: refused the server's request for the local file \"%s\"\n", name);
      read->error = Format("Refused the server's request for the local file '%s'", name);
    } else {
      read->file = std::fopen(name, "rb");
      if (read->file == nullptr) read->error = Format("Cannot open file '%s'", name);
    }
    const bool ok = read->file != nullptr;
    *state = read.release();
    return ok ? 0 : 1;
  } catch (...) {
    return 1;
  }
}

int LocalFileReadBlock(void* state, char* buffer, unsigned int length) {
  auto* read = static_cast<LocalFileRead*>(state);
  if (read == nullptr || read->file == nullptr) return -1;
  const size_t n = std::fread(buffer, 1, length, read->file);
  if (n == 0 && std::ferror(read->file)) {
    read->error = "Cannot read the bulk-load file";
    return -1;
  }
  return static_cast<int>(n);
}

void LocalFileEnd(void* state) {
  std::unique_ptr<LocalFileRead> read(static_cast<LocalFileRead*>(state));
  if (read != nullptr && read->file != nullptr) std::fclose(read->file);
}

int LocalFileError(void* state, char* text, unsigned int size) {
  const auto* read = static_cast<const LocalFileRead*>(state);
  const std::string error = read != nullptr ? read->error : "Local file request failed";
  if (size > 0) {
    const size_t n = std::min<size_t>(error.size(), size - 1);
    std::memcpy(text, error.data(), n);
    text[n] = 0;
  }
  return CR_UNKNOWN_ERROR;
}

}  // namespace

void MySQLInterface::GuardLocalFiles() {
  if (client_ != nullptr)
    mysql_set_local_infile_handler(client_, LocalFileInit, LocalFileReadBlock, LocalFileEnd,
                                   LocalFileError, this);
}

bool MySQLInterface::LocalFileAllowed(const char* name) const {
  return !allowedLocalFile_.empty() && name != nullptr && allowedLocalFile_ == name;
}

PStr MySQLInterface::FormatValue(const PField& field) {
  PStr out;
  switch (field.Type()) {
    case dbDate:
      out.Format("'%s'", VariantDateText(field.GetDate(), false).c_str());
      break;
    case dbText: {
      const char* text = field.GetText();
      std::string source(text != nullptr ? text : "");
      if ((EffectiveOptions() & kMySQLUtf8) &&
          platform::ResolveCodePage(platform::kCodePageAnsi) != platform::kCodePageUtf8)
        source = RecodeBuffer(source.data(), source.size(), platform::kCodePageAnsi,
                              platform::kCodePageUtf8);
      const std::string escaped = Escape(client_, source.data(), source.size());
      out = "'";
      out.Append(escaped.data(), escaped.size());
      out.Append("'");
      break;
    }
    case dbLongBinary: {
      const auto& raw = static_cast<const PRawDataField&>(field);
      if (raw.AllocSize() == 0) {
        out = "''";
        break;
      }
      const std::string escaped =
          Escape(client_, reinterpret_cast<const char*>(raw.GetRawData().Data()), raw.AllocSize());
      out = "'";
      out.Append(escaped.data(), escaped.size());
      out.Append("'");
      break;
    }
    // Enough digits for the stored value to come back unchanged ("%g" keeps
    // six significant digits, "%.20f" loses small magnitudes).
    case dbSingle:
      out.Format("%.9g", static_cast<double>(field.GetSingle()));
      break;
    case dbDouble:
      out.Format("%.17g", field.GetDouble());
      break;
    default:
      field.GetSQLText(out);
      break;
  }
  if (out.IsNull()) out = "";
  return out;
}

bool MySQLInterface::SaveRecord(PRecordSet* recordSet, PRecord* record) {
  MySQLRecordset* own = recordSet != nullptr ? FindRecordSet(recordSet->Handle()) : nullptr;
  if (own == nullptr || record == nullptr) {
    SetErrorText("Invalid record set parameter");
    return false;
  }
  const uint32_t columns = std::min(static_cast<uint32_t>(own->infos.Count()), record->Count());
  const char* table = recordSet->TableName() != nullptr ? recordSet->TableName() : "";
  PStr sql;
  const char* autoIncrement = nullptr;
  const bool update = !record->IsNew();
  if (update) {
    PStr key("");
    for (uint32_t i = 0; i < columns; ++i) {
      if (!(own->infos[i].flags & kColumnPrimaryKey)) continue;
      if (!key.IsEmpty()) key.Append(" AND ");
      key.AppendFormat("%s=%s", own->infos[i].name, FormatValue(*record->At(i)).c_str());
    }
    if (key.IsEmpty()) {
      SetError("No primary keys in table %s, cannot update row", table);
      return false;
    }
    sql.Format("update %s set ", table);
    for (uint32_t i = 0; i < columns; ++i) {
      if (!record->At(i)->IsModified() || (own->infos[i].flags & kColumnPrimaryKey)) continue;
      sql.AppendFormat("%s=%s,", own->infos[i].name, FormatValue(*record->At(i)).c_str());
    }
    const size_t length = sql.Length();
    if (length > 0 && sql.c_str()[length - 1] == ',') sql.Data()[length - 1] = 0;
    sql.AppendFormat(" where %s", key.c_str());
  } else {
    sql.Format("insert into %s(", table);
    bool first = true;
    for (uint32_t i = 0; i < columns; ++i) {
      if (own->infos[i].flags & kColumnAutoIncrement) {
        autoIncrement = own->infos[i].name;
        continue;
      }
      sql.AppendFormat(first ? "%s" : ",%s", own->infos[i].name);
      first = false;
    }
    sql.Append(") values(");
    first = true;
    for (uint32_t i = 0; i < columns; ++i) {
      if (own->infos[i].flags & kColumnAutoIncrement) continue;
      if (!first) sql.Append(",");
      sql.Append(FormatValue(*record->At(i)).c_str());
      first = false;
    }
    sql.Append(")");
  }
  if (!ExecuteSQL(connection_, sql.c_str())) return false;
  if (!update && autoIncrement != nullptr) {
    const uint64_t id = mysql_insert_id(connection_);
    if (id != 0) record->SetFieldLong(autoIncrement, static_cast<int32_t>(id));
  }
  record->SetNew(false);
  return true;
}

void MySQLInterface::AppendBulkLine(std::string& line, const PRecord& record, uint32_t columns) {
  for (uint32_t i = 0; i < columns; ++i) {
    if (i > 0) line.push_back('\r');
    if (i >= record.Count()) continue;
    const PStr value = FormatValue(*record.At(i));
    const char* text = value.c_str();
    size_t length = value.Length();
    if (length > 0 && text[0] == '\'') ++text, --length;
    if (length > 0 && text[length - 1] == '\'') --length;
    line.append(text, length);
  }
  line.push_back('\n');
}

bool MySQLInterface::SaveAllRecords(PRecordSet* recordSet) {
  MySQLRecordset* own = recordSet != nullptr ? FindRecordSet(recordSet->Handle()) : nullptr;
  if (own == nullptr) {
    SetErrorText("Invalid record set parameter");
    return false;
  }
  if (recordSet->Count() == 0) return true;
  PTempFile path;  // removed again when this function returns
  {
    PTextFile file(path.Path(), PTextFile::kWrite | PTextFile::kBinary | PTextFile::kBuffer);
    if (!file.IsOpen()) {
      SetError("Cannot create file '%s'", path.Path());
      return false;
    }
    const uint32_t columns = own->columnCount;
    std::string line;
    for (uint32_t r = 0; r < recordSet->Count(); ++r) {
      PRecord* record = recordSet->At(r);
      line.clear();
      AppendBulkLine(line, *record, columns);
      if (!file.Write(line.data(), line.size())) {
        SetError("Cannot write file '%s'", path.Path());
        return false;
      }
    }
    if (file.Close() != 0) {
      SetError("Cannot write file '%s'", path.Path());
      return false;
    }
  }
  const char* table = recordSet->TableName() != nullptr ? recordSet->TableName() : "";
  const bool lock = (recordSet->FlagsWord() & PRecordSet::kNoLock) == 0;
  if (lock) {
    PStr sql;
    sql.Format("lock tables %s write", table);
    if (!ExecuteSQL(connection_, sql.c_str())) return false;
  }
  std::string fileName(path.Path());
  for (char& c : fileName)
    if (c == '\\') c = '/';
  const std::string quoted = Escape(client_, fileName.data(), fileName.size());
  PStr sql;
  sql.Format(
      "LOAD DATA LOCAL INFILE '%s' into table %s FIELDS TERMINATED BY '\r' LINES "
      "TERMINATED BY '\n'",
      quoted.c_str(), table);
  allowedLocalFile_ = fileName;  // the one file this statement may send
  const bool loaded = ExecuteSQL(connection_, sql.c_str());
  allowedLocalFile_.clear();
  if (loaded) {
    for (uint32_t r = 0; r < recordSet->Count(); ++r)
      recordSet->At(r)->SetNew(false);
  }
  const PStr kept(ErrorText());
  if (lock && !ExecuteSQL(connection_, "unlock tables")) return false;
  errorText_ = kept;
  return loaded;
}
