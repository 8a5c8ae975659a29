// The dilated clock behind time.h, shared by every system. Each system gives
// its real monotonic clock in its own counts; the clock here keeps a base
// pair (real count, dilated elapsed count at that instant) and a scale.
// Changing the scale rebases the pair at the current instant, so the tick
// count and the performance counter never step back or jump when a test
// changes the scale mid-run.
#pragma once

#include <cstdint>
#include <mutex>

namespace platform {

// The system's side (posix/time.cpp, win32/time.cpp).
// The real monotonic clock, in counts of RealClockFrequency per second.
int64_t RealClockCount();
int64_t RealClockFrequency();
// Where the tick count and the performance counter start for a clock first
// used at real count `start`. The tick count never starts at 0, so that 0
// can serve callers as "not yet".
void ClockOrigin(int64_t start, uint32_t& startTick, int64_t& startCounter);

class DilatedClock {
 public:
  // The scale from NVDEVICES_TIME_SCALE (1 when unset or not a positive
  // number).
  DilatedClock();

  // Dilated counts since the clock was first used.
  int64_t Elapsed();
  double Scale();
  void SetScale(double scale);

  uint32_t StartTick() const { return startTick_; }
  int64_t StartCounter() const { return startCounter_; }

 private:
  int64_t ElapsedAt(int64_t now) const;

  std::mutex mutex_;
  int64_t baseReal_ = 0;
  int64_t baseDilated_ = 0;
  double scale_ = 1.0;
  uint32_t startTick_ = 1;
  int64_t startCounter_ = 0;
};

DilatedClock& Clock();

// Counts of `frequency` per second to whole milliseconds, without
// overflowing the product.
inline int64_t CountsToMs(int64_t counts, int64_t frequency) {
  return counts / frequency * 1000 + counts % frequency * 1000 / frequency;
}

}  // namespace platform
