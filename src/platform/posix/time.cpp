// Clocks on POSIX: the dilated clock (time_common.cpp) counts the
// nanoseconds of CLOCK_MONOTONIC; calendar time from the C library.
#include "platform/time.h"

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cmath>

#include "platform/time_common.h"

namespace platform {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

int64_t RealNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

void SleepRealNanoseconds(int64_t ns) {
  if (ns <= 0) return;
  timespec request{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  timespec remaining{};
  while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
    request = remaining;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool ToTm(const SystemTime& st, tm& out) {
  if (st.month < 1 || st.month > 12 || st.day < 1 || st.day > 31 || st.hour > 23 ||
      st.minute > 59 || st.second > 59 || st.milliseconds > 999) {
    return false;
  }
  out = tm{};
  out.tm_year = st.year - 1900;
  out.tm_mon = st.month - 1;
  out.tm_mday = st.day;
  out.tm_hour = st.hour;
  out.tm_min = st.minute;
  out.tm_sec = st.second;
  out.tm_isdst = -1;
  return true;
}

SystemTime FromTm(const tm& t, uint16_t milliseconds) {
  SystemTime st;
  st.year = static_cast<uint16_t>(t.tm_year + 1900);
  st.month = static_cast<uint16_t>(t.tm_mon + 1);
  st.dayOfWeek = static_cast<uint16_t>(t.tm_wday);
  st.day = static_cast<uint16_t>(t.tm_mday);
  st.hour = static_cast<uint16_t>(t.tm_hour);
  st.minute = static_cast<uint16_t>(t.tm_min);
  st.second = static_cast<uint16_t>(t.tm_sec);
  st.milliseconds = milliseconds;
  return st;
}

}  // namespace

int64_t RealClockCount() {
  return RealNanoseconds();
}

int64_t RealClockFrequency() {
  return kNsPerSecond;
}

void ClockOrigin(int64_t start, uint32_t& startTick, int64_t& startCounter) {
  // The tick count starts at the machine's uptime, as on Windows.
  const uint64_t uptimeMs = static_cast<uint64_t>(start / kNsPerMs);
  startTick = static_cast<uint32_t>(uptimeMs) == 0 ? 1u : static_cast<uint32_t>(uptimeMs);
  startCounter = start / 100 + 1;
}

int64_t PerformanceCounter() {
  DilatedClock& clock = Clock();
  return clock.StartCounter() + clock.Elapsed() / 100;
}

int64_t PerformanceFrequency() {
  return 10000000;
}

void Sleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    sched_yield();
    return;
  }
  if (milliseconds == kInfinite) {
    for (;;)
      SleepRealNanoseconds(3600 * kNsPerSecond);
  }
  const double realNs = static_cast<double>(milliseconds) * kNsPerMs / TimeScale();
  SleepRealNanoseconds(static_cast<int64_t>(std::ceil(realNs)));
}

SystemTime NowUtc() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  gmtime_r(&ts.tv_sec, &t);
  return FromTm(t, static_cast<uint16_t>(ts.tv_nsec / kNsPerMs));
}

uint64_t NowFileTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  // 11644473600 s between 1601-01-01 and 1970-01-01.
  return (static_cast<uint64_t>(ts.tv_sec) + 11644473600ull) * 10000000ull +
         static_cast<uint64_t>(ts.tv_nsec) / 100;
}

bool UtcToLocal(const SystemTime& utc, SystemTime& local) {
  tm t{};
  if (!ToTm(utc, t)) return false;
  const int64_t days = DaysFromCivil(utc.year, utc.month, utc.day);
  const time_t seconds =
      static_cast<time_t>(days * 86400 + utc.hour * 3600 + utc.minute * 60 + utc.second);
  tm out{};
  tzset();  // localtime_r alone need not notice a changed TZ
  if (localtime_r(&seconds, &out) == nullptr) return false;
  local = FromTm(out, utc.milliseconds);
  return true;
}

bool LocalToUtc(const SystemTime& local, SystemTime& utc) {
  tm t{};
  if (!ToTm(local, t)) return false;
  const time_t seconds = mktime(&t);
  if (seconds == static_cast<time_t>(-1) && !(t.tm_year == 69 && t.tm_mon == 11)) return false;
  tm out{};
  if (gmtime_r(&seconds, &out) == nullptr) return false;
  utc = FromTm(out, local.milliseconds);
  return true;
}

}  // namespace platform
