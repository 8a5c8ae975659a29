// The cost of the command exchange against the bare channel: GET_STATUS
// exchanges through RealUSBDevice::Exchange (frame, index, lock, events,
// reply checks, payload) against raw write + read round trips of the same
// frames through the platform's driver calls, on the same simulated
// instrument and the same handle. Two figures: at trace level 0, and at trace
// level 1, where every exchange writes its two trace lines to the library's
// log file (in the benchmark's private folder) through the hooks a host
// has. Each figure is taken in rounds that alternate the measured side and
// the raw baseline; the median ratio over the rounds counts.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/log.h"
#include "bench_instruments.h"
#include "bench_rounds.h"
#include "platform/driver.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr int kRounds = 51;
constexpr int kPerRound = 200;  // exchanges of one side in one round
constexpr int kWarmUp = 200;

// n exchanges through the protocol: their seconds, -1 on the first failure.
double RunExchanges(RealUSBDevice& device, int n) {
  const BenchTimer timer;
  for (int i = 0; i < n; ++i) {
    device.BeginCommand(GET_STATUS).Exchange();
    uint32_t status = 0;
    if (device.WasError || !device.TakeU32(status)) return -1;
  }
  return timer.Seconds();
}

double RunTraced(RealUSBDevice& device, int n) {
  g_TraceLevel = 1;
  const double seconds = RunExchanges(device, n);
  g_TraceLevel = 0;
  return seconds;
}

// n raw round trips of the same frames (the index advancing as the
// exchange's does) on the device's own handle.
double RunRaw(RealUSBDevice& device, int n) {
  unsigned char frame[8] = {4, 0, 0, 0, 0x05, 0x00, 0x00, 0x80};
  std::vector<unsigned char> reply(device.InBufferSize);
  uint8_t index = 0;
  const BenchTimer timer;
  for (int i = 0; i < n; ++i) {
    frame[7] = static_cast<unsigned char>(0x80 | index);
    index = static_cast<uint8_t>((index + 1) & 0x1F);
    uint32_t written = 0;
    uint32_t received = 0;
    if (!platform::WriteDriver(device.Handle, frame, sizeof frame, written)) return -1;
    if (!platform::ReadDriver(device.Handle, reply.data(), static_cast<uint32_t>(reply.size()),
                              received) ||
        received < 12)
      return -1;
  }
  return timer.Seconds();
}

uint64_t LogLines() {
  std::ifstream log(LogPath(), std::ios::binary);
  uint64_t lines = 0;
  for (char c; log.get(c);)
    lines += c == '\n';
  return lines;
}

void Report(const char* figure, const RatioRounds& rounds, const char* goal) {
  rounds.Report(std::string("Exchange/raw at ") + figure, "Exchange", "raw write+read",
                BenchUnit{1e6 / kPerRound, "us per exchange", false, 2}, goal);
}

}  // namespace

int main() {
  BenchInstruments instruments("nvbx", true);
  if (!instruments.Start({{"bench", "NV2-BENCH"}})) return 1;
  auto device = std::make_unique<RealUSBDevice>(instruments.DevicePath("bench").c_str());
  bool ok = device->IsOpen() && device->SetExchange();
  // Warm-up of every path; the log file is opened (its header written) here.
  ok = ok && RunTraced(*device, kWarmUp) >= 0 && RunExchanges(*device, kWarmUp) >= 0 &&
       RunRaw(*device, kWarmUp) >= 0;
  const uint64_t linesBefore = ok ? LogLines() : 0;

  RatioRounds plain, traced;
  auto raw = [&] { return RunRaw(*device, kPerRound); };
  for (int round = 0; ok && round < kRounds; ++round) {
    ok = plain.Run([&] { return RunExchanges(*device, kPerRound); }, raw) &&
         traced.Run([&] { return RunTraced(*device, kPerRound); }, raw);
  }
  if (!ok) {
    std::printf("exchange failed: %s\n", device->LastError.Text());
    return 1;
  }
  const uint64_t traceLines = LogLines() - linesBefore;
  device.reset();

  std::printf("instruments: %s\n", instruments.Way().c_str());
  std::printf("GET_STATUS exchanges: %d rounds of %d through Exchange and %d raw round trips\n",
              kRounds, kPerRound, kPerRound);
  Report("trace level 0", plain, "1.25");
  std::printf("trace level 1: %llu log lines written (the command and reply of each exchange)\n",
              static_cast<unsigned long long>(traceLines));
  Report("trace level 1", traced, nullptr);
  return 0;
}
