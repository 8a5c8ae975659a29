// The manufacturing-record lookup: the instrument's row in the Norvane table,
// found by its hardware identifier, checked against its serial number, and
// compared with the calibration block read back from the instrument.
#include "device/manufacturing.h"

#include <cstring>
#include <memory>
#include <vector>

#include "base/datetime.h"
#include "base/strings.h"
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

// The process-wide database: created by the first lookup that gets past the
// device check and kept until the library is unloaded. Not guarded: the
// exports run one at a time under the export lock.
MySQLDataBase* g_Database = nullptr;

// Owns the database. It is built only once a connection stands, after
// everything that connecting brought to life (the client library's state,
// the database layer's own first-use objects), so that at unload it is
// destroyed before them and closes the connection while they still exist.
struct DatabaseKeeper {
  std::unique_ptr<MySQLDataBase> database;
  ~DatabaseKeeper() {
    g_Database = nullptr;
    database.reset();
  }
};

void KeepDatabase(std::unique_ptr<MySQLDataBase> database) {
  static DatabaseKeeper keeper;
  keeper.database = std::move(database);
  g_Database = keeper.database.get();
}

// The connected database, connecting it first when there is none; null when
// it cannot be created or connected (nothing is kept then, so the next call
// tries again).
MySQLDataBase* ConnectedDatabase() {
  if (g_Database != nullptr) return g_Database;
  const std::string url = ManufacturingDatabaseUrl();
  const std::string schema = ManufacturingDatabaseSchema();
  auto database = std::make_unique<MySQLDataBase>(schema.c_str(), kLookupDatabaseOptions);
  MSSQLInterface* backEnd = database->GetInterface();
  if (backEnd == nullptr) return nullptr;
  backEnd->SetOptions(url.c_str(), kLookupDatabaseOptions);
  if (!database->OpenAtAddress(url.c_str(), schema.c_str())) return nullptr;
  if (!database->IsOpen()) return nullptr;
  KeepDatabase(std::move(database));
  return g_Database;
}

bool SameSerial(const char* stored, const char* own) {
  if (stored == nullptr || own == nullptr) return stored == own;
  return std::strcmp(stored, own) == 0;
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

uint32_t LookUpManufacturingRecord(DeviceRegistry& registry, uint32_t id, uint8_t* testFlag,
                                   uint8_t* calibrationFlag, uint32_t* programmingDate,
                                   uint32_t* calibrationDate) {
  // 1. The device, with its serial number.
  NVDevice* device = registry.Find(id);
  if (device == nullptr || device->SerialNumber.Text() == nullptr) return kResultNoDevice;

  // 2. The database.
  MySQLDataBase* database = ConnectedDatabase();
  if (database == nullptr) return kResultNoConnection;

  // 3. The row of the hardware identifier; the words are signed in the
  // table, so a word of 0x80000000 or above is a negative number there.
  PStr condition;
  condition.Format(
      "HWIdLow=%d and HWIdMid=%d and HWIdHigh=%d", static_cast<int32_t>(device->HardwareId[0]),
      static_cast<int32_t>(device->HardwareId[1]), static_cast<int32_t>(device->HardwareId[2]));
  PStr sql;
  sql.Format("select * from Norvane where %s", condition.c_str());
  PRecordSet records(database, kTable, PRecordSet::kModeReadOnly, sql.c_str(), 0);
  if (records.Count() == 0) return kResultNoRecord;
  PRecord* row = records[0];

  // 4. The serial number, byte for byte.
  if (!SameSerial(row->GetFieldText("SerialNumber"), device->SerialNumber.Text()))
    return kResultSerialMismatch;

  // 5. The rest of the row.
  const double programmed = row->GetFieldDate("HomeProgrammingDate");
  const double calibrated = row->GetFieldDate("CalibrationDate");
  const char* testResults = row->GetFieldText("TestResults");
  const DynArray<unsigned char>* storedCalibration = row->GetFieldRawData("CalibrationData");

  // 6. The instrument's calibration block.
  std::vector<uint8_t> block;
  if (!device->ReadVirtualString(kCalibrationBlockId, block, false)) return kResultNoCalibration;

  // 7-10. Everything is known: compute, then write the outputs together.
  const uint32_t programmedSeconds = OleDateToUnixSeconds(programmed);
  const uint32_t calibratedSeconds = OleDateToUnixSeconds(calibrated);
  const bool passed = TestResultsPassed(testResults);
  const bool matches =
      storedCalibration != nullptr && storedCalibration->Count() > 0 &&
      CalibrationMatches(storedCalibration->Data(), static_cast<size_t>(storedCalibration->Count()),
                         block.data(), block.size());

  // A host that passes null for an output it does not want gets the others;
  // it never makes the library write through a null pointer.
  if (programmingDate != nullptr) *programmingDate = programmedSeconds;
  if (calibrationDate != nullptr) *calibrationDate = calibratedSeconds;
  if (testFlag != nullptr) *testFlag = passed ? 1 : 0;
  if (calibrationFlag != nullptr) *calibrationFlag = matches ? 1 : 0;
  return kResultOk;
}
