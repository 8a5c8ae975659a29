// Format() against snprintf into a reused buffer, on the same texts.
//
// Format() formats into the calling thread's buffer and maps "%I64u" to the C
// library's "%llu"; the baseline is the plain C library call with formats
// already written for it. Rounds alternate the two sides; the median of the
// round ratios counts.
#include <cstdint>
#include <cstdio>

#include "base/format.h"
#include "bench_rounds.h"

namespace {

constexpr int kCalls = 10000;  // of each side per round, 8 formats each
constexpr int kRounds = 41;

volatile size_t g_sink;

struct Sample {
  const char* text;
  unsigned number;
  uint64_t big;
};

const Sample kSamples[] = {
    {"ZdUSBDevice::ReplyEvent", 17u, 1234567890123ull},
    {"GET_SERIAL", 0xDEADBEEFu, 42ull},
    {"Norvane", 5000u, 18446744073709551615ull},
    {"", 0u, 0ull},
};

// The Format() side; the 64-bit modifier written as the library writes it.
size_t RunFormat(const Sample& s) {
  size_t total = 0;
  total += *Format("Device %s opened, index %u", s.text, s.number) != 0;
  total += *Format("%08X-%08X-%08X", s.number, s.number + 1, s.number + 2) != 0;
  total += *Format("Read %I64u bytes from %s", s.big, s.text) != 0;
  total += *Format("Command 0x%08X (%s): length %u, total %I64u", s.number, s.text, s.number,
                   s.big) != 0;
  total += *Format("Waiting %u ms", 2000u) != 0;
  total += *Format("Plain text line without conversions at all") != 0;
  total += *Format("%s", s.text) != 0;
  total += *Format("Id %I64u, mask %I64X, serial %s", s.big, s.big, s.text) != 0;
  return total;
}

// The baseline: the same texts through snprintf into one reused buffer.
size_t RunSnprintf(const Sample& s, char* buffer, size_t size) {
  size_t total = 0;
  std::snprintf(buffer, size, "Device %s opened, index %u", s.text, s.number);
  total += *buffer != 0;
  std::snprintf(buffer, size, "%08X-%08X-%08X", s.number, s.number + 1, s.number + 2);
  total += *buffer != 0;
  std::snprintf(buffer, size, "Read %llu bytes from %s", static_cast<unsigned long long>(s.big),
                s.text);
  total += *buffer != 0;
  std::snprintf(buffer, size, "Command 0x%08X (%s): length %u, total %llu", s.number, s.text,
                s.number, static_cast<unsigned long long>(s.big));
  total += *buffer != 0;
  std::snprintf(buffer, size, "Waiting %u ms", 2000u);
  total += *buffer != 0;
  std::snprintf(buffer, size, "Plain text line without conversions at all");
  total += *buffer != 0;
  std::snprintf(buffer, size, "%s", s.text);
  total += *buffer != 0;
  std::snprintf(buffer, size, "Id %llu, mask %llX, serial %s",
                static_cast<unsigned long long>(s.big), static_cast<unsigned long long>(s.big),
                s.text);
  total += *buffer != 0;
  return total;
}

constexpr int kFormatsPerRun = 8;
constexpr int kSampleCount = sizeof(kSamples) / sizeof(kSamples[0]);

// Seconds of kCalls runs of one side.
template <typename Body>
double Run(Body body) {
  const BenchTimer timer;
  size_t total = 0;
  for (int i = 0; i < kCalls; ++i)
    total += body(kSamples[i % kSampleCount]);
  g_sink = total;
  return timer.Seconds();
}

}  // namespace

int main() {
  static char buffer[256];
  // Warm up both paths (the thread buffer, the C library's locale data).
  RunFormat(kSamples[0]);
  RunSnprintf(kSamples[0], buffer, sizeof(buffer));

  RatioRounds rounds;
  for (int round = 0; round < kRounds; ++round) {
    rounds.Run(
        [] { return Run([](const Sample& s) { return RunFormat(s); }); },
        [] { return Run([](const Sample& s) { return RunSnprintf(s, buffer, sizeof(buffer)); }); });
  }
  rounds.Report("format", "Format", "snprintf",
                BenchUnit{1e9 / (static_cast<double>(kCalls) * kFormatsPerRun), "ns/op", false, 0});
  return 0;
}
