// The dilated clock and calendar conversions.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/system.h"
#include "platform/time.h"

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
