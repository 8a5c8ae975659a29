// Clocks on Windows: the dilated clock (time_common.cpp) counts in the
// system's own performance-counter units (QueryPerformanceFrequency), so the
// counter starts where QueryPerformanceCounter stood and the tick count where
// GetTickCount stood when the clock was first used; calendar time from the
// system.
#include "platform/time.h"

#include <windows.h>

#include <cmath>

#include "platform/time_common.h"

namespace platform {

namespace {

int64_t RealCounts() {
  LARGE_INTEGER count;
  QueryPerformanceCounter(&count);
  return count.QuadPart;
}

int64_t RealFrequency() {
  // Fixed at boot; always available from Windows XP on.
  static const int64_t frequency = [] {
    LARGE_INTEGER value;
    if (!QueryPerformanceFrequency(&value) || value.QuadPart <= 0) return int64_t{1000};
    return static_cast<int64_t>(value.QuadPart);
  }();
  return frequency;
}

// Sleeps until the performance counter passes the deadline. Whole
// milliseconds are slept; the last fraction of one is spent yielding, so that
// the strongly shortened sleeps of a dilated clock neither end early nor grow
// to a full millisecond or timer tick.
void SleepUntilCount(int64_t deadline) {
  const int64_t frequency = RealFrequency();
  for (;;) {
    const int64_t remaining = deadline - RealCounts();
    if (remaining <= 0) return;
    const int64_t remainingMs = CountsToMs(remaining, frequency);
    ::Sleep(remainingMs >= 1 ? static_cast<DWORD>(remainingMs) : 0);
  }
}

bool IsValid(const SystemTime& st) {
  return st.month >= 1 && st.month <= 12 && st.day >= 1 && st.day <= 31 && st.hour <= 23 &&
         st.minute <= 59 && st.second <= 59 && st.milliseconds <= 999;
}

SYSTEMTIME ToWindows(const SystemTime& st) {
  SYSTEMTIME out{};
  out.wYear = st.year;
  out.wMonth = st.month;
  out.wDayOfWeek = st.dayOfWeek;
  out.wDay = st.day;
  out.wHour = st.hour;
  out.wMinute = st.minute;
  out.wSecond = st.second;
  out.wMilliseconds = st.milliseconds;
  return out;
}

SystemTime FromWindows(const SYSTEMTIME& st) {
  SystemTime out;
  out.year = st.wYear;
  out.month = st.wMonth;
  out.dayOfWeek = st.wDayOfWeek;
  out.day = st.wDay;
  out.hour = st.wHour;
  out.minute = st.wMinute;
  out.second = st.wSecond;
  out.milliseconds = st.wMilliseconds;
  return out;
}

}  // namespace

int64_t RealClockCount() {
  return RealCounts();
}

int64_t RealClockFrequency() {
  return RealFrequency();
}

void ClockOrigin(int64_t start, uint32_t& startTick, int64_t& startCounter) {
  const DWORD tick = GetTickCount();
  startTick = tick == 0 ? 1u : static_cast<uint32_t>(tick);
  startCounter = start;
}

int64_t PerformanceCounter() {
  DilatedClock& clock = Clock();
  return clock.StartCounter() + clock.Elapsed();
}

int64_t PerformanceFrequency() {
  return RealFrequency();
}

void Sleep(uint32_t milliseconds) {
  if (milliseconds == 0) {
    ::Sleep(0);  // gives up the rest of the time slice
    return;
  }
  if (milliseconds == kInfinite) {
    for (;;)
      ::Sleep(INFINITE);
  }
  const double realCounts = static_cast<double>(milliseconds) *
                            static_cast<double>(RealFrequency()) / 1000.0 / TimeScale();
  SleepUntilCount(RealCounts() + static_cast<int64_t>(std::ceil(realCounts)));
}

SystemTime NowUtc() {
  SYSTEMTIME st;
  GetSystemTime(&st);
  return FromWindows(st);
}

uint64_t NowFileTime() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return static_cast<uint64_t>(ft.dwHighDateTime) << 32 | ft.dwLowDateTime;
}

bool UtcToLocal(const SystemTime& utc, SystemTime& local) {
  if (!IsValid(utc)) return false;
  const SYSTEMTIME in = ToWindows(utc);
  SYSTEMTIME out;
  // A null zone means the current zone with its current rules.
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &in, &out)) return false;
  local = FromWindows(out);
  return true;
}

bool LocalToUtc(const SystemTime& local, SystemTime& utc) {
  if (!IsValid(local)) return false;
  const SYSTEMTIME in = ToWindows(local);
  SYSTEMTIME out;
  if (!TzSpecificLocalTimeToSystemTime(nullptr, &in, &out)) return false;
  utc = FromWindows(out);
  return true;
}

}  // namespace platform
