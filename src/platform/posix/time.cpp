// Clocks on POSIX: a dilated view of CLOCK_MONOTONIC, and calendar time.
//
// The dilated clock is kept as a base pair (real instant, dilated elapsed time
// at that instant) and a scale. Changing the scale rebases the pair at the
// current instant, so the tick count and the performance counter never step
// back or jump when a test changes the scale mid-run.
#include "platform/time.h"

#include <sched.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <mutex>

namespace platform {

namespace {

constexpr int64_t kNsPerMs = 1000000;
constexpr int64_t kNsPerSecond = 1000000000;

int64_t RealNanoseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

double ScaleFromEnvironment() {
  const char* text = std::getenv("NVDEVICES_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0.0) return 1.0;
  return value;
}

class DilatedClock {
 public:
  DilatedClock() : baseReal_(RealNanoseconds()), scale_(ScaleFromEnvironment()) {
    // Start the tick count at the machine's uptime, as Windows does, but never
    // at 0 so that 0 can serve callers as "not yet".
    const uint64_t uptimeMs = static_cast<uint64_t>(baseReal_ / kNsPerMs);
    startTick_ = static_cast<uint32_t>(uptimeMs) == 0 ? 1u : static_cast<uint32_t>(uptimeMs);
    startCounter_ = baseReal_ / 100 + 1;
  }

  // Dilated nanoseconds since the clock was first used.
  int64_t Elapsed() {
    std::lock_guard<std::mutex> guard(mutex_);
    return ElapsedLocked(RealNanoseconds());
  }

  double Scale() {
    std::lock_guard<std::mutex> guard(mutex_);
    return scale_;
  }

  void SetScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0.0) scale = 1.0;
    std::lock_guard<std::mutex> guard(mutex_);
    const int64_t now = RealNanoseconds();
    baseDilated_ = ElapsedLocked(now);
    baseReal_ = now;
    scale_ = scale;
  }

  uint32_t StartTick() const { return startTick_; }
  int64_t StartCounter() const { return startCounter_; }

 private:
  int64_t ElapsedLocked(int64_t now) const {
    const double delta = static_cast<double>(now - baseReal_) * scale_;
    return baseDilated_ + static_cast<int64_t>(delta);
  }

  std::mutex mutex_;
  int64_t baseReal_ = 0;
  int64_t baseDilated_ = 0;
  double scale_ = 1.0;
  uint32_t startTick_ = 1;
  int64_t startCounter_ = 1;
};

DilatedClock& Clock() {
  static DilatedClock clock;
  return clock;
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

uint32_t TickCount() {
  DilatedClock& clock = Clock();
  const uint64_t ms = static_cast<uint64_t>(clock.Elapsed() / kNsPerMs);
  return static_cast<uint32_t>(clock.StartTick() + ms);  // wraps at 2^32
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
  const double realNs = static_cast<double>(milliseconds) * kNsPerMs / Clock().Scale();
  SleepRealNanoseconds(static_cast<int64_t>(std::ceil(realNs)));
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
