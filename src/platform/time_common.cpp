// The dilated clock and what is computed from it alone, on every system.
#include "platform/time_common.h"

#include <cmath>
#include <cstdlib>
#include <string>

#include "platform/system.h"
#include "platform/time.h"

namespace platform {

namespace {

double ScaleFromEnvironment() {
  const std::string text = GetEnvironment("NVDEVICES_TIME_SCALE");
  if (text.empty()) return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || !std::isfinite(value) || value <= 0.0) return 1.0;
  return value;
}

}  // namespace

DilatedClock::DilatedClock() : baseReal_(RealClockCount()), scale_(ScaleFromEnvironment()) {
  ClockOrigin(baseReal_, startTick_, startCounter_);
}

int64_t DilatedClock::Elapsed() {
  std::lock_guard<std::mutex> guard(mutex_);
  return ElapsedAt(RealClockCount());
}

double DilatedClock::Scale() {
  std::lock_guard<std::mutex> guard(mutex_);
  return scale_;
}

void DilatedClock::SetScale(double scale) {
  if (!std::isfinite(scale) || scale <= 0.0) scale = 1.0;
  std::lock_guard<std::mutex> guard(mutex_);
  const int64_t now = RealClockCount();
  baseDilated_ = ElapsedAt(now);
  baseReal_ = now;
  scale_ = scale;
}

int64_t DilatedClock::ElapsedAt(int64_t now) const {
  const double delta = static_cast<double>(now - baseReal_) * scale_;
  return baseDilated_ + static_cast<int64_t>(delta);
}

DilatedClock& Clock() {
  static DilatedClock clock;
  return clock;
}

uint32_t TickCount() {
  DilatedClock& clock = Clock();
  const int64_t ms = CountsToMs(clock.Elapsed(), RealClockFrequency());
  return static_cast<uint32_t>(clock.StartTick() + static_cast<uint64_t>(ms));  // wraps at 2^32
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

}  // namespace platform
