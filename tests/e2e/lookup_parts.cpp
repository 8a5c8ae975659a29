// The lookup's pieces on their own (date conversion, test flag, calibration
// comparison), with inputs the manufacturing table cannot hold, and the
// statement the lookup sends, read from the "tsql" trace line. Linked with
// the device layer rather than loading the library, so that the pieces and
// the option word are within reach.
#include <gtest/gtest.h>

#include <cstdarg>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "base/format.h"
#include "base/log.h"
#include "base/options.h"
#include "device/manufacturing.h"
#include "lookup_database.h"
#include "nvdevices/NVDevices.h"
#include "platform/time.h"
#include "support/private_simulator.h"

namespace {

double OleDate(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s,
               uint16_t ms = 0) {
  platform::SystemTime t;
  t.year = y, t.month = mo, t.day = d, t.hour = h, t.minute = mi, t.second = s;
  t.milliseconds = ms;
  double value = 0;
  EXPECT_TRUE(SystemTimeToOleDate(t, value));
  return value;
}

TEST(LookupDates, OleDatesBecomeWholeSecondsSince1970) {
  EXPECT_EQ(OleDateToUnixSeconds(0.0), 0u);
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(1970, 1, 1, 0, 0, 0)), 0u);
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(1970, 1, 1, 0, 0, 1)), 1u);
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(2024, 5, 6, 7, 8, 9, 999)),
            lookuptest::UnixSeconds(2024, 5, 6, 7, 8, 9));  // the fraction is dropped
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(2106, 2, 7, 6, 28, 15)), 0xFFFFFFFFu);
  // Dates the count cannot hold do not wrap around into wrong dates.
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(1969, 12, 31, 23, 59, 59)), 0u);
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(2106, 2, 7, 6, 28, 16)), 0xFFFFFFFFu);
  EXPECT_EQ(OleDateToUnixSeconds(OleDate(9999, 12, 31, 23, 59, 59)), 0xFFFFFFFFu);
  // Values that are no date at all.
  EXPECT_EQ(OleDateToUnixSeconds(1e300), 0u);
  EXPECT_EQ(OleDateToUnixSeconds(-1e300), 0u);
}

TEST(LookupTestFlag, TextsTheTableCannotHold) {
  EXPECT_FALSE(TestResultsPassed(nullptr));
  // Far beyond a TEXT column, with the passing section last by name.
  std::string huge;
  for (int i = 0; i < 40000; ++i)
    huge += "[Run " + std::to_string(100000 + i) + "]\nT=E\nNote=" + std::string(20, 'n') + "\n";
  EXPECT_FALSE(TestResultsPassed(huge.c_str()));
  EXPECT_TRUE(TestResultsPassed((huge + "[Run 999999]\nT=\n").c_str()));
  // One line of 4 MB.
  const std::string line = "[" + std::string(4 << 20, 'x');
  EXPECT_TRUE(TestResultsPassed(line.c_str()));
  // Directives are text in a plain stream: nothing is included, defined or
  // made conditional.
  EXPECT_TRUE(TestResultsPassed("[A]\n#include \"/dev/zero\"\n#define T failed\n#if 0\nT=\n"));
  EXPECT_TRUE(TestResultsPassed("[A]\n#error stop\nT=\n"));
  // Nesting: the top-level sections decide; subsections go with their parent.
  EXPECT_TRUE(TestResultsPassed("[A]\nT=E\n[B]\nT=\n[[B1]]\nT=E\n"));
  // Invalid nesting ends the parse; what came before it stays.
  EXPECT_TRUE(TestResultsPassed("[A]\n[[[A1]]]\nT=E\n"));
  EXPECT_FALSE(TestResultsPassed("[[[A1]]]\n[A]\nT=\n"));
}

TEST(LookupCalibration, ComparesOnlyWithinBothBlocks) {
  const unsigned char stored[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const unsigned char block[8] = {0xF0, 0xF1, 0xF2, 0xF3, 4, 5, 6, 7};
  EXPECT_TRUE(CalibrationMatches(stored, 12, block, 8));
  EXPECT_FALSE(CalibrationMatches(stored, 12, block, 7));
  EXPECT_FALSE(CalibrationMatches(stored, 12, block, 9));
  const unsigned char other[8] = {0xF0, 0xF1, 0xF2, 0xF3, 4, 5, 6, 0xFF};
  EXPECT_FALSE(CalibrationMatches(stored, 12, other, 8));
  // 8 stored bytes and a 4-byte block: nothing to compare, a match.
  EXPECT_TRUE(CalibrationMatches(stored, 8, block, 4));
  // Shorter stored values have no bytes between their framing words. Each
  // block is exactly as large as the rule asks (S - 4), in its own
  // allocation, so that a read past either end is caught by the sanitizer.
  for (size_t size = 0; size < 8; ++size) {
    auto storedCopy = std::make_unique<unsigned char[]>(size);
    const size_t blockSize = size >= 4 ? size - 4 : 0;
    auto blockCopy = std::make_unique<unsigned char[]>(blockSize);
    EXPECT_FALSE(CalibrationMatches(storedCopy.get(), size, blockCopy.get(), blockSize)) << size;
  }
  EXPECT_FALSE(CalibrationMatches(nullptr, 0, block, 8));
}

// The statement, through the export, from the trace line the "tsql" option
// writes.
std::string g_Log;
void CaptureLog(const char* format, va_list args) {
  g_Log += VFormat(format, args);
}

TEST(LookupStatement, HardwareWordsAboveTheSignedRangeAreNegative) {
  lookuptest::Server server;
  LOOKUP_REQUIRE_SERVER(server);
  lookuptest::UseServer(server);
  constexpr double kTimeScale = 50;
  platform::SetTimeScale(testsupport::HostTimeScale(kTimeScale));
  testsupport::PrivateSimulator sim("/tmp/nvl", kTimeScale);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  nvsim::InstrumentConfig config;
  config.name = "lk-sql";
  config.publicArea.prodSerNumber = "NV3-L00031";
  config.hwId[0] = 0x80000000;
  config.hwId[1] = 0x7FFFFFFF;
  config.hwId[2] = 0xFFFFFFFF;
  ASSERT_NE(sim.Add(config), 0u);
  uint32_t id = 0;
  ASSERT_EQ(GetDeviceList(&id), 1u);

  const PrintHookFn previous = SetPrintHook(CaptureLog);
  g_OptionWord |= kOptTraceSql;
  g_Log.clear();
  uint8_t test = 0, calibration = 0;
  uint32_t programmed = 0, calibrated = 0;
  EXPECT_EQ(GetDeviceDatabaseInfo(id, &test, &calibration, &programmed, &calibrated),
            NVD_DB_NO_RECORD);
  g_OptionWord &= ~static_cast<uint64_t>(kOptTraceSql);
  SetPrintHook(previous);
  EXPECT_NE(g_Log.find("select * from Norvane where HWIdLow=-2147483648 and "
                       "HWIdMid=2147483647 and HWIdHigh=-1\n"),
            std::string::npos)
      << g_Log;
}

}  // namespace
