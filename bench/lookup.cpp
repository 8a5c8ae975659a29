// The manufacturing lookup: what GetDeviceDatabaseInfo costs for one listed
// instrument against the work it cannot avoid, measured in the same run.
//
// Lookup: GetDeviceDatabaseInfo on a listed simulated instrument whose row
// matches in full (the process-wide connection is made before timing).
// Baseline: the same select through a plain Connector/C connection (query,
// stored result, first row fetched with its lengths) plus one RD_VIRT_STRING
// exchange of the calibration block, written and read as raw driver
// transfers on a second, identical instrument (the library holds the first
// one exclusively). The two sides are interleaved call by call, alternating
// which goes first; each pair of calls gives a ratio and the median of those
// counts.
//
// The parts, timed call by call in turn in the same way, explain the
// figure: the ping the database layer sends before every statement, the
// select on a plain and on a compressed connection (the library's client
// flags), the record set (ping, compressed select, typed fields), the second
// statement that checks the whole stored serial number, the test-results
// INI text, and the exchange raw and through the library (which also writes
// its trace line to the log).
//
// Needs the private test server (scripts/testdb start, then the variables of
// scripts/testdb env). Without it the benchmark says so and exits 0, except
// under CI=true, where that is a failure.
#include <mysql.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "base/sync.h"
#include "bench_rounds.h"
#include "bench_simulator.h"
#include "db/mysql/mysql_database.h"
#include "device/manufacturing.h"
#include "device/registry.h"
#include "instrument.h"
#include "nvdevices/NVDevices.h"
#include "platform/driver.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

constexpr int kCalls = 1000;     // of each side, interleaved
constexpr int kPartCalls = 300;  // of each part, in turn
constexpr uint32_t kCalibrationBlock = 0x203;
constexpr uint32_t kBlockSize = 64;
constexpr uint32_t kWords[3] = {0x00B00001, 0x00B00002, 0x80B00003};
constexpr const char* kSerial = "NV2-BENCH1";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Condition() {
  char text[96];
  std::snprintf(text, sizeof(text), "HWIdLow=%d and HWIdMid=%d and HWIdHigh=%d",
                static_cast<int32_t>(kWords[0]), static_cast<int32_t>(kWords[1]),
                static_cast<int32_t>(kWords[2]));
  return text;
}

std::vector<uint8_t> Block() {
  std::vector<uint8_t> block(kBlockSize);
  for (uint32_t i = 0; i < kBlockSize; ++i)
    block[i] = static_cast<uint8_t>(i * 7 + 3);
  return block;
}

bool Query(MYSQL* connection, const std::string& sql) {
  if (mysql_real_query(connection, sql.data(), sql.size()) != 0) {
    std::printf("statement failed: %s\n", mysql_error(connection));
    return false;
  }
  return true;
}

// The row of the benchmark instrument: full match, two dates, test results
// of two runs, calibration data with the instrument's block inside.
bool PutRow(MYSQL* connection) {
  const std::vector<uint8_t> block = Block();
  std::string hex = "X'00000044";
  char pair[3];
  for (size_t i = 4; i < block.size(); ++i) {
    std::snprintf(pair, sizeof(pair), "%02X", block[i]);
    hex += pair;
  }
  hex += "DEADBEEF'";  // a 4-byte header, bytes 4-63 of the block, a 4-byte trailer
  return Query(connection, "delete from Norvane where " + Condition()) &&
         Query(connection,
               "insert into Norvane (HWIdLow, HWIdMid, HWIdHigh, SerialNumber, "
               "HomeProgrammingDate, CalibrationDate, TestResults, CalibrationData) values (" +
                   std::to_string(static_cast<int32_t>(kWords[0])) + ", " +
                   std::to_string(static_cast<int32_t>(kWords[1])) + ", " +
                   std::to_string(static_cast<int32_t>(kWords[2])) + ", '" + kSerial +
                   "', '2024-01-17 09:30:00', '2025-01-20 14:05:00', "
                   "'[Run 1]\\nT=E4\\nU=3.3\\n[Run 2]\\nT=\\nU=3.3\\n', " +
                   hex + ")");
}

// The baseline's select: the whole result stored and its first row fetched.
bool PlainSelect(MYSQL* connection, const std::string& sql) {
  if (mysql_real_query(connection, sql.data(), sql.size()) != 0) return false;
  MYSQL_RES* result = mysql_store_result(connection);
  if (result == nullptr) return false;
  const bool row = mysql_fetch_row(result) != nullptr && mysql_fetch_lengths(result) != nullptr;
  mysql_free_result(result);
  return row;
}

// The baseline's exchange: the RD_VIRT_STRING frame written, the whole reply
// read (length word first, then the rest).
bool RawReadVirtualString(platform::DeviceHandle handle, uint32_t index) {
  uint8_t frame[12];
  auto put = [&](size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
      frame[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  put(0, 8);
  put(4, nvsim::command::kRdVirtString | ((index & 0x1F) << 24));
  put(8, kCalibrationBlock);
  uint32_t count = 0;
  if (!platform::WriteDriver(handle, frame, sizeof(frame), count) || count != sizeof(frame))
    return false;
  uint8_t reply[1024];
  uint32_t received = 0;
  uint32_t expected = 4;
  while (received < expected) {
    if (!platform::ReadDriver(handle, reply + received, sizeof(reply) - received, count))
      return false;
    received += count;
    if (received >= 4) {
      expected =
          4 + (reply[0] | reply[1] << 8 | reply[2] << 16 | static_cast<uint32_t>(reply[3]) << 24);
      if (expected > sizeof(reply)) return false;
    }
  }
  return received == 4 + 4 + 4 + 4 + kBlockSize;  // length, word, available, size, bytes
}

}  // namespace

int main() {
  const bool ci = Env("CI") == "true";
  const std::string host = Env("NVD_TEST_DB_HOST");
  const std::string port = Env("NVD_TEST_DB_PORT");
  const std::string user = Env("NVD_TEST_DB_USER");
  const std::string password = Env("NVD_TEST_DB_PASSWORD");
  const std::string schema = Env("NVD_TEST_DB_NAME");
  if (host.empty() || port.empty() || user.empty() || schema.empty()) {
    std::printf(
        "lookup benchmark: no test database server (NVD_TEST_DB_* unset): start it with "
        "scripts/testdb start and export the output of scripts/testdb env; %s\n",
        ci ? "failed" : "skipped");
    return ci ? 1 : 0;
  }

  MYSQL* plain = mysql_init(nullptr);
  if (plain == nullptr ||
      mysql_real_connect(plain, host.c_str(), user.c_str(), password.c_str(), schema.c_str(),
                         static_cast<unsigned>(std::atoi(port.c_str())), nullptr, 0) == nullptr) {
    std::printf("lookup benchmark: cannot connect to the test server: %s; %s\n",
                plain != nullptr ? mysql_error(plain) : "mysql_init failed",
                ci ? "failed" : "skipped");
    if (plain != nullptr) mysql_close(plain);
    return ci ? 1 : 0;
  }
  if (!PutRow(plain)) return 1;

  const std::string url = "https://" + user + ":" + password + "@" + host + ":" + port;
  platform::SetEnvironment("NVDEVICES_DATABASE_URL", url.c_str());
  platform::SetEnvironment("NVDEVICES_DATABASE_SCHEMA", schema.c_str());
  // The library log stays on (the exchange's trace line is part of the
  // call), in the private folder.
  BenchSimulator bench("nvbl", true);
  nvsim::Simulator& sim = bench.Sim();
  std::string error;
  if (!bench.Start()) return 1;
  nvsim::InstrumentConfig config;
  config.name = "nv-lookup";
  config.publicArea.prodSerNumber = kSerial;
  std::copy(std::begin(kWords), std::end(kWords), config.hwId);
  config.strings.push_back({kCalibrationBlock, Block()});
  if (sim.Add(config, true, &error) == 0) {
    std::printf("instrument: %s\n", error.c_str());
    return 1;
  }
  uint32_t id = 0;
  if (GetDeviceList(&id) != 1) {
    std::printf("the instrument was not listed\n");
    return 1;
  }
  // The twin for the raw exchanges, plugged after the listing so that the
  // library does not open it.
  config.name = "nv-twin";
  const nvsim::Simulator::Id twin = sim.Add(config, true, &error);
  if (twin == 0) {
    std::printf("twin: %s\n", error.c_str());
    return 1;
  }
  const platform::DeviceHandle handle =
      platform::OpenDriverHandle(sim.DevicePath(twin).c_str(), true);
  const uint32_t timeout = 5000;
  uint32_t returned = 0;
  if (handle == platform::kInvalidDeviceHandle ||
      !platform::DriverControl(handle, platform::kIoctlSetTimeout, &timeout, sizeof(timeout),
                               nullptr, 0, returned)) {
    std::printf("cannot open the twin instrument\n");
    return 1;
  }

  uint8_t testFlag = 0, calibrationFlag = 0;
  uint32_t programmed = 0, calibrated = 0;
  auto lookUp = [&] {
    return GetDeviceDatabaseInfo(id, &testFlag, &calibrationFlag, &programmed, &calibrated);
  };
  // Connects, and checks that the row matches in full.
  const uint32_t first = lookUp();
  if (first != NVD_DB_OK || testFlag != 1 || calibrationFlag != 1 || programmed == 0) {
    std::printf("the lookup answered %u (test %u, calibration %u)\n", first, testFlag,
                calibrationFlag);
    return 1;
  }
  const std::string sql = "select * from Norvane where " + Condition();
  uint32_t index = 0;
  if (!PlainSelect(plain, sql) || !RawReadVirtualString(handle, index++)) {
    std::printf("the baseline failed\n");
    return 1;
  }

  // GetDeviceDatabaseInfo against the baseline, call by call.
  RatioRounds lookup;
  for (int call = 0; call < kCalls; ++call) {
    const bool ok = lookup.Run(
        [&] {
          const BenchTimer timer;
          return lookUp() == NVD_DB_OK ? timer.Seconds() : -1.0;
        },
        [&] {
          const BenchTimer timer;
          return PlainSelect(plain, sql) && RawReadVirtualString(handle, index++) ? timer.Seconds()
                                                                                  : -1.0;
        });
    if (!ok) {
      std::printf("a lookup or a baseline call failed\n");
      return 1;
    }
  }
  lookup.Report("GetDeviceDatabaseInfo/baseline", "GetDeviceDatabaseInfo",
                "plain select + raw RD_VIRT_STRING", BenchUnit{1e6, "us"}, "1.5");

  // The parts, each timed call by call in turn.
  MYSQL* compressed = mysql_init(nullptr);
  if (compressed == nullptr ||
      mysql_real_connect(compressed, host.c_str(), user.c_str(), password.c_str(), schema.c_str(),
                         static_cast<unsigned>(std::atoi(port.c_str())), nullptr,
                         kMySQLClientFlags) == nullptr) {
    std::printf("cannot connect with the library's client flags\n");
    return 1;
  }
  MySQLDataBase own(schema.c_str(), 136);
  own.GetInterface()->SetOptions(url.c_str(), 136);
  if (!own.OpenAtAddress(url.c_str(), schema.c_str())) {
    std::printf("cannot open a database of the library's kind\n");
    return 1;
  }
  auto* backEnd = static_cast<MySQLInterface*>(own.GetInterface());
  const std::string serialSql = "select SerialNumber from Norvane where " + Condition();
  const std::string testResults = "[Run 1]\nT=E4\nU=3.3\n[Run 2]\nT=\nU=3.3\n";
  std::vector<uint8_t> data;
  NVDevice* device = nullptr;
  {
    PSharedObjectLocker hold(DeviceExportLock());
    device = DeviceRegistry::Instance()->Find(id);
  }
  struct Part {
    const char* name;
    std::function<bool()> call;
    std::vector<double> seconds;
  };
  Part parts[] = {
      {"ping", [&] { return mysql_ping(plain) == 0; }, {}},
      {"plain select", [&] { return PlainSelect(plain, sql); }, {}},
      {"select, compressed protocol", [&] { return PlainSelect(compressed, sql); }, {}},
      {"PRecordSet (ping, compressed select, typed fields)",
       [&] { return PRecordSet(&own, "Norvane", 4, sql.c_str(), 0).Count() == 1; },
       {}},
      {"whole-serial check (ping, select SerialNumber)",
       [&] {
         std::string stored;
         bool found = false;
         return backEnd->QueryFirstValue(own.Connection(), serialSql.c_str(), stored, found) &&
                found;
       },
       {}},
      {"test results as INI text", [&] { return TestResultsPassed(testResults.c_str()); }, {}},
      {"raw RD_VIRT_STRING exchange", [&] { return RawReadVirtualString(handle, index++); }, {}},
      {"RealUSBDevice::ReadVirtualString (with its trace line)",
       [&] {
         PSharedObjectLocker hold(DeviceExportLock());
         return device != nullptr && device->ReadVirtualString(kCalibrationBlock, data, false);
       },
       {}},
  };
  for (int call = 0; call < kPartCalls; ++call) {
    for (Part& part : parts) {
      const BenchTimer timer;
      if (!part.call()) {
        std::printf("%s failed\n", part.name);
        return 1;
      }
      part.seconds.push_back(timer.Seconds());
    }
  }
  for (const Part& part : parts)
    std::printf("part: %s: %.1f us per call (median)\n", part.name,
                RatioRounds::Median(part.seconds) * 1e6);
  mysql_close(compressed);

  platform::CloseDriverHandle(handle);
  Query(plain, "delete from Norvane where " + Condition());
  mysql_close(plain);
  return 0;
}
