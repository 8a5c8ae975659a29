#include "clock.h"

#include <cmath>
#include <cstdlib>

namespace nvsim {

double TimeScaleFromEnvironment() {
  const char* text = std::getenv("NVDEVICES_TIME_SCALE");
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || !std::isfinite(value) || value <= 0) return 1.0;
  return value;
}

DilatedClock::DilatedClock(double scale)
    : scale_(scale > 0 && std::isfinite(scale) ? scale : TimeScaleFromEnvironment()),
      start_(RealClock::now()) {}

RealClock::duration DilatedClock::RealFor(uint64_t dilatedMs) const {
  const double ns = static_cast<double>(dilatedMs) * 1e6 / scale_;
  // Far beyond any test; keeps the time point arithmetic from overflowing.
  constexpr double kLimitNs = 1e17;
  return std::chrono::duration_cast<RealClock::duration>(
      std::chrono::nanoseconds(static_cast<int64_t>(ns < kLimitNs ? ns : kLimitNs)));
}

uint64_t DilatedClock::NowMs() const {
  const auto real = std::chrono::duration_cast<std::chrono::nanoseconds>(RealClock::now() - start_);
  return static_cast<uint64_t>(static_cast<double>(real.count()) * scale_ / 1e6);
}

}  // namespace nvsim
