// The dilated clock and calendar conversions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/system.h"
#include "platform/time.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

int64_t RealMsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class DilatedClock : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetTimeScale(1.0); }
};

TEST_F(DilatedClock, SleepTakesScaledRealTimeWhileCountersAdvanceFully) {
  platform::SetTimeScale(100.0);
  const uint32_t tick0 = platform::TickCount();
  const int64_t counter0 = platform::PerformanceCounter();
  const auto start = Clock::now();
  platform::Sleep(2000);
  const int64_t realMs = RealMsSince(start);
  const uint32_t ticks = platform::TickCount() - tick0;
  const int64_t counts = platform::PerformanceCounter() - counter0;

  EXPECT_GE(realMs, 19);
  EXPECT_LT(realMs, 1000);  // generous for a loaded machine, far below 2000
  EXPECT_GE(ticks, 2000u);
  EXPECT_GE(counts, 2000 * platform::PerformanceFrequency() / 1000);
  EXPECT_EQ(platform::PerformanceFrequency(), 10000000);
}

TEST_F(DilatedClock, ScaleChangesKeepCountersMonotonicWithoutJumps) {
  platform::SetTimeScale(1000.0);
  platform::Sleep(1000);  // 1 ms real
  const int64_t before = platform::PerformanceCounter();
  const uint32_t tickBefore = platform::TickCount();
  platform::SetTimeScale(1.0);
  const int64_t after = platform::PerformanceCounter();
  const uint32_t tickAfter = platform::TickCount();
  EXPECT_GE(after, before);
  EXPECT_GE(tickAfter - tickBefore, 0u);
  EXPECT_LT(tickAfter - tickBefore, 100u);  // no step of the elapsed dilated time
  platform::SetTimeScale(1000.0);
  EXPECT_GE(platform::PerformanceCounter(), after);
  EXPECT_DOUBLE_EQ(platform::TimeScale(), 1000.0);
}

TEST_F(DilatedClock, InvalidScaleMeansRealTime) {
  platform::SetTimeScale(0.0);
  EXPECT_DOUBLE_EQ(platform::TimeScale(), 1.0);
  platform::SetTimeScale(-5.0);
  EXPECT_DOUBLE_EQ(platform::TimeScale(), 1.0);
}

TEST_F(DilatedClock, RealMillisecondsRoundsUpAndKeepsSpecialValues) {
  platform::SetTimeScale(100.0);
  EXPECT_EQ(platform::RealMilliseconds(2000), 20u);
  EXPECT_EQ(platform::RealMilliseconds(2001), 21u);
  EXPECT_EQ(platform::RealMilliseconds(1), 1u);  // never shortened to a poll
  EXPECT_EQ(platform::RealMilliseconds(0), 0u);
  EXPECT_EQ(platform::RealMilliseconds(platform::kInfinite), platform::kInfinite);
}

TEST_F(DilatedClock, TickCountIsNeverZeroAtStart) {
  EXPECT_NE(platform::TickCount(), 0u);
}

// The scale is read from the environment on the clock's first use, so each
// case runs in a freshly started copy of this test program.
TEST(TimeScaleDeathTest, ComesFromTheEnvironmentOnFirstUse) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  platform::SetEnvironment("NVDEVICES_TIME_SCALE", "50");
  EXPECT_EXIT(std::exit(platform::TimeScale() == 50.0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
  platform::SetEnvironment("NVDEVICES_TIME_SCALE", "fast");
  EXPECT_EXIT(std::exit(platform::TimeScale() == 1.0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
  platform::SetEnvironment("NVDEVICES_TIME_SCALE", "-3");
  EXPECT_EXIT(std::exit(platform::TimeScale() == 1.0 ? 0 : 1), ::testing::ExitedWithCode(0), "");
  platform::SetEnvironment("NVDEVICES_TIME_SCALE", nullptr);
}

#if defined(_WIN32)

// Windows converts with the system's time zone, which a process cannot choose
// for itself (TZ reaches the C runtime only). The conversions are checked
// against that zone, with calendar arithmetic of the test's own.
class LocalTime : public ::testing::Test {};

platform::SystemTime Make(int year, int month, int day, int hour, int minute, int second, int ms) {
  platform::SystemTime t;
  t.year = static_cast<uint16_t>(year);
  t.month = static_cast<uint16_t>(month);
  t.day = static_cast<uint16_t>(day);
  t.hour = static_cast<uint16_t>(hour);
  t.minute = static_cast<uint16_t>(minute);
  t.second = static_cast<uint16_t>(second);
  t.milliseconds = static_cast<uint16_t>(ms);
  return t;
}

// Days since 1970-01-01 of a civil date, and back.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t MsSinceEpoch(const platform::SystemTime& t) {
  const int64_t days = DaysFromCivil(t.year, t.month, t.day);
  return ((days * 24 + t.hour) * 60 + t.minute) * 60000 + t.second * 1000 + t.milliseconds;
}

platform::SystemTime FromMs(int64_t ms) {
  int64_t days = ms / 86400000;
  int64_t rest = ms % 86400000;
  if (rest < 0) {
    rest += 86400000;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  platform::SystemTime t = Make(
      static_cast<int>(yoe + era * 400 + (month <= 2)), static_cast<int>(month),
      static_cast<int>(day), static_cast<int>(rest / 3600000), static_cast<int>(rest / 60000 % 60),
      static_cast<int>(rest / 1000 % 60), static_cast<int>(rest % 1000));
  t.dayOfWeek = static_cast<uint16_t>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
  return t;
}

std::string Text(const platform::SystemTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u day %u", t.year, t.month,
                t.day, t.hour, t.minute, t.second, t.milliseconds, t.dayOfWeek);
  return text;
}

TEST_F(LocalTime, ConvertsBothWaysAcrossMidnightWithDayOfWeek) {
  // The zone's offset in December, which must be one the zone's rules give.
  const platform::SystemTime noon = Make(2026, 12, 5, 12, 0, 0, 0);
  platform::SystemTime local;
  ASSERT_TRUE(platform::UtcToLocal(noon, local));
  const int64_t offsetMs = MsSinceEpoch(local) - MsSinceEpoch(noon);
  TIME_ZONE_INFORMATION zone{};
  ASSERT_NE(GetTimeZoneInformation(&zone), TIME_ZONE_ID_INVALID);
  const int64_t standardMs = -(zone.Bias + zone.StandardBias) * 60000LL;
  const int64_t daylightMs = -(zone.Bias + zone.DaylightBias) * 60000LL;
  EXPECT_TRUE(offsetMs == standardMs || (zone.DaylightDate.wMonth != 0 && offsetMs == daylightMs))
      << offsetMs;

  // A local time on the other side of midnight from its UTC time (in a zone
  // with an offset): 00:30 on Sunday east of Greenwich, 23:30 on Saturday
  // west of it.
  const platform::SystemTime wanted = FromMs(MsSinceEpoch(
      offsetMs >= 0 ? Make(2026, 12, 6, 0, 30, 15, 250) : Make(2026, 12, 5, 23, 30, 15, 250)));
  const platform::SystemTime utc = FromMs(MsSinceEpoch(wanted) - offsetMs);
  ASSERT_TRUE(platform::UtcToLocal(utc, local));
  EXPECT_EQ(Text(local), Text(wanted));
  platform::SystemTime back;
  ASSERT_TRUE(platform::LocalToUtc(local, back));
  EXPECT_EQ(Text(back), Text(utc));
}

#else

class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = platform::GetEnvironment("TZ");
    hadTz_ = platform::HasEnvironment("TZ");
    platform::SetEnvironment("TZ", "MSK-3");  // UTC+3, no daylight saving
  }
  void TearDown() override { platform::SetEnvironment("TZ", hadTz_ ? saved_.c_str() : nullptr); }
  std::string saved_;
  bool hadTz_ = false;
};

TEST_F(LocalTime, ConvertsBothWaysAcrossMidnightWithDayOfWeek) {
  platform::SystemTime utc;
  utc.year = 2026;
  utc.month = 12;
  utc.day = 5;
  utc.hour = 22;
  utc.minute = 30;
  utc.second = 15;
  utc.milliseconds = 250;
  platform::SystemTime local;
  ASSERT_TRUE(platform::UtcToLocal(utc, local));
  EXPECT_EQ(local.year, 2026);
  EXPECT_EQ(local.month, 12);
  EXPECT_EQ(local.day, 6);
  EXPECT_EQ(local.hour, 1);
  EXPECT_EQ(local.minute, 30);
  EXPECT_EQ(local.second, 15);
  EXPECT_EQ(local.milliseconds, 250);
  EXPECT_EQ(local.dayOfWeek, 0);  // a Sunday

  platform::SystemTime back;
  ASSERT_TRUE(platform::LocalToUtc(local, back));
  EXPECT_EQ(back.day, 5);
  EXPECT_EQ(back.hour, 22);
  EXPECT_EQ(back.dayOfWeek, 6);
  EXPECT_EQ(back.milliseconds, 250);
}

#endif

TEST_F(LocalTime, RejectsImpossibleDates) {
  platform::SystemTime bad;
  bad.year = 2026;
  bad.month = 13;
  bad.day = 1;
  platform::SystemTime out;
  EXPECT_FALSE(platform::UtcToLocal(bad, out));
  EXPECT_FALSE(platform::LocalToUtc(bad, out));
}

TEST(WallClock, FileTimeAndSystemTimeAgree) {
  const platform::SystemTime now = platform::NowUtc();
  const uint64_t fileTime = platform::NowFileTime();
  // Days since 1601 from the file time, compared with the calendar year.
  const uint64_t years = fileTime / 10000000ull / 86400ull / 365ull;
  EXPECT_NEAR(static_cast<double>(1601 + years), now.year, 1.0);
  EXPECT_GE(now.month, 1);
  EXPECT_LE(now.month, 12);
  EXPECT_LE(now.dayOfWeek, 6);
}

}  // namespace
