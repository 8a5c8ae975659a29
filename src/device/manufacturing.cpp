// The manufacturing-record lookup: the instrument's row in the Norvane table,
// found by its hardware identifier, checked against its serial number, and
// compared with the calibration block read back from the instrument.
#include "device/manufacturing.h"

#include <cstring>
#include <memory>
#include <vector>

#include "base/datetime.h"
#include "base/options.h"
#include "base/strings.h"
#include "base/sync.h"
#include "db/mysql/mysql_database.h"
#include "db/record.h"
#include "device/registry.h"
#include "ini/ini_stream.h"
#include "platform/system.h"

// The built-in connection comes from the build configuration (CMake cache
// variables NVD_DB_SCHEMA, NVD_DB_HOST, NVD_DB_PASSWORD); the defaults below
// are placeholders that reach no manufacturing server.
#ifndef NVD_DB_SCHEMA
#define NVD_DB_SCHEMA "nvmanufacture"
#endif
#ifndef NVD_DB_HOST
#define NVD_DB_HOST "127.0.0.1"
#endif
#ifndef NVD_DB_PASSWORD
#define NVD_DB_PASSWORD "change-me-00000"
#endif

namespace {

enum : uint32_t {
  kResultOk = 0,
  kResultNoDevice = 1,
  kResultNoConnection = 2,
  kResultNoRecord = 3,
  kResultSerialMismatch = 4,
  kResultNoCalibration = 5,
};

// "utf8" and quiet.
constexpr uint32_t kLookupDatabaseOptions = 136;
constexpr uint32_t kCalibrationBlockId = 0x203;
constexpr const char* kTable = "Norvane";
constexpr const char* kUser = "mysql";
constexpr uint32_t kPort = 3306;
// FILETIME of 1970-01-01 00:00:00.
constexpr uint64_t kFileTime1970 = 116444736000000000ull;

// Percent-encodes every byte of a URL part that is not unreserved, so that a
// password holding ":", "@" or "/" splits back to itself (the address is
// split with escape decoding).
std::string UrlEscaped(const char* text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    const unsigned char c = *p;
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.' || c == '_' || c == '~';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

// Time-outs of the lookup's connections, in seconds: reaching the server and
// its greeting, waiting for a reply, sending a statement. A server that
// accepts and never answers fails the lookup with 2 after them.
constexpr uint32_t kConnectTimeoutSeconds = 5;
constexpr uint32_t kReadTimeoutSeconds = 10;
constexpr uint32_t kWriteTimeoutSeconds = 10;

// Everything the lookup does with the database runs under this lock, one
// lookup at a time, and never under the export lock: the other exports do not
// wait for the server.
PSharedObject& DatabaseLock() {
  static Immortal<PSharedObject> lock("NVDevices::DatabaseLock");
  return lock.Get();
}

// The process-wide database: created by the first lookup that gets past the
// device check and kept until the library is unloaded, with the address and
// schema it was opened with (every thread opens its own connection with
// them). Guarded by DatabaseLock().
struct DatabaseKeeper {
  std::unique_ptr<MySQLDataBase> database;
  std::string url;
  std::string schema;
  ~DatabaseKeeper() {
    // A lookup still talking to the server on another thread ends first.
    PSharedObjectLocker hold(DatabaseLock());
    database.reset();
  }
};

// Built only once a connection stands, after everything that connecting
// brought to life (the client library's state, the database layer's own
// first-use objects), so that at unload it is destroyed before them and
// closes the connections while they still exist.
DatabaseKeeper& Keeper() {
  static DatabaseKeeper keeper;
  return keeper;
}
bool g_HaveDatabase = false;

// Opens the database on the calling thread's own connection.
bool OpenOnThisThread(MySQLDataBase& database, const std::string& url, const std::string& schema) {
  MSSQLInterface* backEnd = database.GetInterface();
  if (backEnd == nullptr) return false;
  backEnd->SetOptions(url.c_str(), kLookupDatabaseOptions);
  if (!database.OpenAtAddress(url.c_str(), schema.c_str())) return false;
  return database.IsOpen();
}

// The database, connected on the calling thread, connecting it first when
// there is none; null when it cannot be created or connected. A failed first
// connect keeps nothing (the next call reads the address again); a thread's
// failed connect to a kept database is tried again at its next call.
MySQLDataBase* ConnectedDatabase() {
  if (g_HaveDatabase) {
    DatabaseKeeper& keeper = Keeper();
    if (keeper.database == nullptr) return nullptr;  // the library is being unloaded
    if (keeper.database->IsOpen()) return keeper.database.get();
    return OpenOnThisThread(*keeper.database, keeper.url, keeper.schema) ? keeper.database.get()
                                                                         : nullptr;
  }
  const std::string url = ManufacturingDatabaseUrl();
  const std::string schema = ManufacturingDatabaseSchema();
  auto database = std::make_unique<MySQLDataBase>(schema.c_str(), kLookupDatabaseOptions);
  database->SetTimeouts(kConnectTimeoutSeconds, kReadTimeoutSeconds, kWriteTimeoutSeconds);
  if (!OpenOnThisThread(*database, url, schema)) return nullptr;
  DatabaseKeeper& keeper = Keeper();
  keeper.database = std::move(database);
  keeper.url = url;
  keeper.schema = schema;
  g_HaveDatabase = true;
  return keeper.database.get();
}

// The stored serial number must be the instrument's whole string: a stored
// value with a NUL inside is longer than the text loaded from it.
bool SameSerial(const char* stored, const std::string& storedBytes, const char* own) {
  if (stored == nullptr || own == nullptr) return stored == own;
  if (storedBytes.find('\0') != std::string::npos) return false;
  return std::strcmp(stored, own) == 0;
}

// What the lookup needs of the row, copied out of the record set.
struct RowValues {
  double programmed = 0;
  double calibrated = 0;
  std::string testResults;
  bool hasTestResults = false;
  std::vector<unsigned char> calibration;
};

// The database, the row of the hardware identifier, its serial
// number. kResultOk with the row's values, or the failure code.
uint32_t ReadRow(const uint32_t (&hardwareId)[3], const std::string& serial, RowValues& values) {
  PSharedObjectLocker hold(DatabaseLock());
  MySQLDataBase* database = ConnectedDatabase();
  if (database == nullptr) return kResultNoConnection;

  // The words are signed in the table, so a word of 0x80000000 or above is
  // a negative number there.
  PStr condition;
  condition.Format("HWIdLow=%d and HWIdMid=%d and HWIdHigh=%d", static_cast<int32_t>(hardwareId[0]),
                   static_cast<int32_t>(hardwareId[1]), static_cast<int32_t>(hardwareId[2]));
  PStr sql;
  sql.Format("select * from Norvane where %s", condition.c_str());
  PRecordSet records(database, kTable, PRecordSet::kModeReadOnly, sql.c_str(), 0);
  // A statement that failed (server gone, table or column missing) is not
  // "no record": the database could not be used.
  if (records.Handle() == nullptr) return kResultNoConnection;
  if (records.Count() == 0) return kResultNoRecord;
  PRecord* row = records[0];

  // The loaded text ends at a NUL byte; the stored value's bytes say whether
  // there was more.
  const char* storedSerial = row->GetFieldText("SerialNumber");
  std::string storedBytes;
  if (storedSerial != nullptr && std::strcmp(storedSerial, serial.c_str()) == 0) {
    PStr serialSql;
    serialSql.Format("select SerialNumber from Norvane where %s", condition.c_str());
    bool found = false;
    auto* backEnd = static_cast<MySQLInterface*>(database->GetInterface());
    if (!backEnd->QueryFirstValue(database->Connection(), serialSql.c_str(), storedBytes, found))
      return kResultNoConnection;
    if (!found) return kResultNoRecord;  // removed in between
  }
  if (!SameSerial(storedSerial, storedBytes, serial.c_str())) return kResultSerialMismatch;

  values.programmed = row->GetFieldDate("HomeProgrammingDate");
  values.calibrated = row->GetFieldDate("CalibrationDate");
  if (const char* text = row->GetFieldText("TestResults")) {
    values.testResults = text;
    values.hasTestResults = true;
  }
  if (const DynArray<unsigned char>* data = row->GetFieldRawData("CalibrationData"))
    values.calibration.assign(data->Data(), data->Data() + data->Count());
  return kResultOk;
}

}  // namespace

std::string ManufacturingDatabaseUrl() {
  const std::string fromEnvironment = platform::GetEnvironment(kDatabaseUrlVariable);
  if (!fromEnvironment.empty()) return fromEnvironment;
  return std::string("https://") + kUser + ":" + UrlEscaped(NVD_DB_PASSWORD) + "@" + NVD_DB_HOST +
         ":" + std::to_string(kPort);
}

std::string ManufacturingDatabaseSchema() {
  const std::string fromEnvironment = platform::GetEnvironment(kDatabaseSchemaVariable);
  return fromEnvironment.empty() ? std::string(NVD_DB_SCHEMA) : fromEnvironment;
}

uint32_t OleDateToUnixSeconds(double oleDate) {
  if (oleDate == 0.0) return 0;
  platform::SystemTime time;
  if (!OleDateToSystemTime(oleDate, time)) return 0;
  time.milliseconds = 0;  // whole seconds
  uint64_t fileTime = 0;
  if (!SystemTimeToFileTime(time, fileTime)) return 0;
  // Before 1970 the count would wrap to a date far in the future; 0 says
  // "no date" instead. Past 2106 it would wrap to an early date; the last
  // second the count can hold is the nearest true answer.
  if (fileTime < kFileTime1970) return 0;
  const uint64_t seconds = (fileTime - kFileTime1970) / 10000000u;
  return seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(seconds);
}

bool TestResultsPassed(const char* text) {
  if (text == nullptr || text[0] != '[') return false;
  // Plain INI text: no directive is looked at, whatever the text holds, and
  // a stream over memory is never written anywhere.
  INIStreamInMem results(text);
  PSContainer<SectionItem>& sections = results.Sections();
  if (sections.Count() == 0) return false;
  sections.Sort();
  const SectionItem* last = sections.Last();
  if (last == nullptr) return false;
  const INIItem* item = results.FindItem(last, "T");
  const char* value = item != nullptr ? item->Value() : "";
  return value == nullptr || value[0] == '\0';
}

bool CalibrationMatches(const unsigned char* stored, size_t storedSize, const unsigned char* block,
                        size_t blockSize) {
  // The first 4 bytes of both and the last 4 of the stored value are not
  // compared. A stored value shorter than 8 bytes has no room for them and
  // matches nothing (its compared range would run backwards).
  if (stored == nullptr || storedSize < 8) return false;
  if (blockSize != storedSize - 4) return false;
  const size_t compared = storedSize - 8;
  return compared == 0 || std::memcmp(block + 4, stored + 4, compared) == 0;
}

uint32_t LookUpManufacturingRecord(uint32_t id, uint8_t* testFlag, uint8_t* calibrationFlag,
                                   uint32_t* programmingDate, uint32_t* calibrationDate) {
  // 1. The device, with its serial number: what the query needs is copied
  // under the export lock, which is not held while the server is asked.
  std::string serial;
  uint32_t hardwareId[3] = {};
  {
    PSharedObjectLocker hold(DeviceExportLock());
    DeviceRegistry* registry = DeviceRegistry::Instance();
    if (registry == nullptr) return kResultNoDevice;  // the library is being unloaded
    const NVDevice* device = registry->Find(id);
    if (device == nullptr || device->SerialNumber.Text() == nullptr) return kResultNoDevice;
    serial = device->SerialNumber.Text();
    for (int word = 0; word < 3; ++word)
      hardwareId[word] = device->HardwareId[word];
  }

  // 2-5. The database, the row, the serial number and the row's values.
  RowValues row;
  if (const uint32_t failure = ReadRow(hardwareId, serial, row); failure != kResultOk)
    return failure;

  // 6. The instrument's calibration block, under the export lock again. An
  // instrument dropped by a listing in the meantime is no longer listed.
  std::vector<uint8_t> block;
  {
    PSharedObjectLocker hold(DeviceExportLock());
    DeviceRegistry* registry = DeviceRegistry::Instance();
    NVDevice* device = registry != nullptr ? registry->Find(id) : nullptr;
    if (device == nullptr) return kResultNoDevice;
    if (!device->ReadVirtualString(kCalibrationBlockId, block, false)) return kResultNoCalibration;
  }

  // 7-10. Everything is known: compute, then write the outputs together.
  const uint32_t programmedSeconds = OleDateToUnixSeconds(row.programmed);
  const uint32_t calibratedSeconds = OleDateToUnixSeconds(row.calibrated);
  const bool passed = row.hasTestResults && TestResultsPassed(row.testResults.c_str());
  const bool matches =
      !row.calibration.empty() && CalibrationMatches(row.calibration.data(), row.calibration.size(),
                                                     block.data(), block.size());

  // A host that passes null for an output it does not want gets the others;
  // it never makes the library write through a null pointer.
  if (programmingDate != nullptr) *programmingDate = programmedSeconds;
  if (calibrationDate != nullptr) *calibrationDate = calibratedSeconds;
  if (testFlag != nullptr) *testFlag = passed ? 1 : 0;
  if (calibrationFlag != nullptr) *calibrationFlag = matches ? 1 : 0;
  return kResultOk;
}
