// Clocks and sleeps.
//
// All waiting in the library goes through these functions, so that tests can
// run them on a dilated clock: with a time scale of N, a Sleep(2000) waits
// 2000/N ms of real time while the tick count and the performance counter
// advance N times faster than real time. The library's behaviour and its log
// lines stay as they are; only the wall-clock cost shrinks. The scale comes
// from the environment variable NVDEVICES_TIME_SCALE (default 1) when first
// needed, or from SetTimeScale.
#pragma once

#include <cstdint>

namespace platform {

// A calendar instant as Windows' SYSTEMTIME holds it.
struct SystemTime {
  uint16_t year = 0;
  uint16_t month = 0;      // 1..12
  uint16_t dayOfWeek = 0;  // 0 = Sunday
  uint16_t day = 0;
  uint16_t hour = 0;
  uint16_t minute = 0;
  uint16_t second = 0;
  uint16_t milliseconds = 0;
};

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Milliseconds since an arbitrary start, wrapping at 2^32 (GetTickCount).
uint32_t TickCount();
// High-resolution counter and its frequency in counts per second
// (QueryPerformanceCounter / QueryPerformanceFrequency).
int64_t PerformanceCounter();
int64_t PerformanceFrequency();
// Sleeps for the given (dilated) time; 0 yields the processor.
void Sleep(uint32_t milliseconds);

double TimeScale();
void SetTimeScale(double scale);
// Converts a dilated duration to the real time it takes (for waits on
// operating-system objects inside the platform layer).
uint32_t RealMilliseconds(uint32_t dilatedMilliseconds);

// Current wall-clock time in UTC (not dilated).
SystemTime NowUtc();
// 100-ns intervals since 1601-01-01 UTC (FILETIME) for "now".
uint64_t NowFileTime();
// Time-zone conversions with the current rules of the local zone.
bool UtcToLocal(const SystemTime& utc, SystemTime& local);
bool LocalToUtc(const SystemTime& local, SystemTime& utc);

}  // namespace platform
