// Clocks on Windows: a dilated view of the performance counter, and calendar
// time from the system.
//
// As on POSIX, the dilated clock is kept as a base pair (real count, dilated
// elapsed count at that instant) and a scale; changing the scale rebases the
// pair at the current instant, so the tick count and the performance counter
// never step back or jump when a test changes the scale mid-run. The counts
// are the system's own performance-counter units (QueryPerformanceFrequency),
// so the counter starts where QueryPerformanceCounter stood and the tick count
// where GetTickCount stood when the clock was first used.
#include "platform/time.h"

#include <windows.h>

#include <cmath>
#include <cstdlib>

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

// Counts to whole milliseconds without overflowing the product.
int64_t CountsToMs(int64_t counts, int64_t frequency) {
  return counts / frequency * 1000 + counts % frequency * 1000 / frequency;
}

double ScaleFromEnvironment() {
  // The process environment as Windows keeps it (the C runtime's copy is not
  // updated by SetEnvironmentVariable).
  char text[64];
  const DWORD length = GetEnvironmentVariableA("NVDEVICES_TIME_SCALE", text, sizeof text);
  if (length == 0 || length >= sizeof text) return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0) return 1.0;
  return value;
}

class DilatedClock {
 public:
  DilatedClock() : baseReal_(RealCounts()), scale_(ScaleFromEnvironment()) {
    // Never 0, so that 0 can serve callers as "not yet".
    const DWORD tick = GetTickCount();
    startTick_ = tick == 0 ? 1u : static_cast<uint32_t>(tick);
    startCounter_ = baseReal_;
  }

  // Dilated counts since the clock was first used.
  int64_t Elapsed() {
    AcquireSRWLockShared(&lock_);
    const int64_t elapsed = ElapsedAt(RealCounts());
    ReleaseSRWLockShared(&lock_);
    return elapsed;
  }

  double Scale() {
    AcquireSRWLockShared(&lock_);
    const double scale = scale_;
    ReleaseSRWLockShared(&lock_);
    return scale;
  }

  void SetScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0.0) scale = 1.0;
    AcquireSRWLockExclusive(&lock_);
    const int64_t now = RealCounts();
    baseDilated_ = ElapsedAt(now);
    baseReal_ = now;
    scale_ = scale;
    ReleaseSRWLockExclusive(&lock_);
  }

  uint32_t StartTick() const { return startTick_; }
  int64_t StartCounter() const { return startCounter_; }

 private:
  int64_t ElapsedAt(int64_t now) const {
    const double delta = static_cast<double>(now - baseReal_) * scale_;
    return baseDilated_ + static_cast<int64_t>(delta);
  }

  SRWLOCK lock_ = SRWLOCK_INIT;
  int64_t baseReal_ = 0;
  int64_t baseDilated_ = 0;
  double scale_ = 1.0;
  uint32_t startTick_ = 1;
  int64_t startCounter_ = 0;
};

DilatedClock& Clock() {
  static DilatedClock clock;
  return clock;
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

uint32_t TickCount() {
  DilatedClock& clock = Clock();
  const int64_t ms = CountsToMs(clock.Elapsed(), RealFrequency());
  return static_cast<uint32_t>(clock.StartTick() + static_cast<uint64_t>(ms));  // wraps at 2^32
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
                            static_cast<double>(RealFrequency()) / 1000.0 / Clock().Scale();
  SleepUntilCount(RealCounts() + static_cast<int64_t>(std::ceil(realCounts)));
}

double TimeScale() {
  return Clock().Scale();
}

void SetTimeScale(double scale) {
  Clock().SetScale(scale);
}

uint32_t RealMilliseconds(uint32_t dilatedMilliseconds) {
  if (dilatedMilliseconds == kInfinite || dilatedMilliseconds == 0) return dilatedMilliseconds;
  // Rounded up: a wait never ends before its dilated time has passed.
  const double real = std::ceil(static_cast<double>(dilatedMilliseconds) / Clock().Scale());
  if (real >= static_cast<double>(kInfinite)) return kInfinite - 1;
  return real < 1.0 ? 1u : static_cast<uint32_t>(real);
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
