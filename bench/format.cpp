// Format() against snprintf into a reused buffer, on the same texts.
//
// Format() formats into the calling thread's buffer and maps "%I64u" to the C
// library's "%llu"; the baseline is the plain C library call with formats
// already written for it. Best of several repetitions, steady clock.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>

#include "base/format.h"

namespace {

constexpr int kRounds = 50000;
constexpr int kRepetitions = 25;

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

template <typename Body>
double NanosPerFormat(Body body) {
  auto start = std::chrono::steady_clock::now();
  size_t total = 0;
  for (int i = 0; i < kRounds; ++i)
    total += body(kSamples[i % kSampleCount]);
  auto end = std::chrono::steady_clock::now();
  g_sink = total;
  double ns = std::chrono::duration<double, std::nano>(end - start).count();
  return ns / (static_cast<double>(kRounds) * kFormatsPerRun);
}

}  // namespace

int main() {
  static char buffer[256];
  // Warm up both paths (the thread buffer, the C library's locale data).
  RunFormat(kSamples[0]);
  RunSnprintf(kSamples[0], buffer, sizeof(buffer));

  // The two sides take turns, so that a busy moment of the machine does not
  // fall on one side only; the best round of each counts.
  double viaSnprintf = 1e30;
  double viaFormat = 1e30;
  for (int rep = 0; rep < kRepetitions; ++rep) {
    viaSnprintf = std::min(viaSnprintf, NanosPerFormat([](const Sample& s) {
                             return RunSnprintf(s, buffer, sizeof(buffer));
                           }));
    viaFormat = std::min(viaFormat, NanosPerFormat([](const Sample& s) { return RunFormat(s); }));
  }
  std::printf("format: ratio %.2f (Format %.0f ns/op, snprintf %.0f ns/op)\n",
              viaFormat / viaSnprintf, viaFormat, viaSnprintf);
  return 0;
}
