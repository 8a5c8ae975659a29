// The simulator's dilated clock.
//
// Every duration the simulator deals in (reply delays, channel time-outs,
// re-enumeration delays, trace time stamps) is a dilated duration: with a time
// scale of N, d dilated milliseconds take d / N milliseconds of real time. The
// scale comes from NVDEVICES_TIME_SCALE unless a test sets it.
#pragma once

#include <chrono>
#include <cstdint>

namespace nvsim {

using RealClock = std::chrono::steady_clock;

class DilatedClock {
 public:
  // scale <= 0 takes the scale from the environment.
  explicit DilatedClock(double scale = 0);

  double Scale() const { return scale_; }
  // Real time that a dilated duration takes.
  RealClock::duration RealFor(uint64_t dilatedMs) const;
  // The real instant at which a dilated duration from now ends.
  RealClock::time_point After(uint64_t dilatedMs) const {
    return RealClock::now() + RealFor(dilatedMs);
  }
  // Dilated milliseconds since the clock was made.
  uint64_t NowMs() const;

 private:
  double scale_;
  RealClock::time_point start_;
};

// NVDEVICES_TIME_SCALE: a positive number; anything else means 1.
double TimeScaleFromEnvironment();

}  // namespace nvsim
