// The cost of the command exchange against the bare channel: GET_STATUS
// exchanges through RealUSBDevice::Exchange (frame, index, lock, events,
// reply checks, payload) against raw write + read round trips of the same
// frames through the platform's driver calls, on the same simulated
// instrument and the same handle. The two sides take turns in rounds, so that
// drift of the machine hits both alike. Also the exchange with trace level 1
// (both trace lines built and handed to a sink that only counts them).
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "bench_simulator.h"
#include "platform/driver.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr int kExchanges = 10000;
constexpr int kRounds = 10;  // each side runs kExchanges / kRounds per round

using Clock = std::chrono::steady_clock;

uint64_t g_Lines = 0;
void CountLine(const char*) {
  ++g_Lines;
}
void DropPrint(const char*, va_list) {}

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// n exchanges through the protocol; false on the first failure.
bool RunExchanges(RealUSBDevice& device, int n, double& seconds) {
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    device.BeginCommand(GET_STATUS).Exchange();
    uint32_t status = 0;
    if (device.WasError || !device.TakeU32(status)) return false;
  }
  seconds += Seconds(Clock::now() - start);
  return true;
}

// n raw round trips of the same frames (the index advancing as the
// exchange's does) on the device's own handle.
bool RunRaw(RealUSBDevice& device, int n, double& seconds) {
  unsigned char frame[8] = {4, 0, 0, 0, 0x05, 0x00, 0x00, 0x80};
  std::vector<unsigned char> reply(device.InBufferSize);
  uint8_t index = 0;
  const auto start = Clock::now();
  for (int i = 0; i < n; ++i) {
    frame[7] = static_cast<unsigned char>(0x80 | index);
    index = static_cast<uint8_t>((index + 1) & 0x1F);
    uint32_t written = 0;
    uint32_t received = 0;
    if (!platform::WriteDriver(device.Handle, frame, sizeof frame, written)) return false;
    if (!platform::ReadDriver(device.Handle, reply.data(), static_cast<uint32_t>(reply.size()),
                              received) ||
        received < 12)
      return false;
  }
  seconds += Seconds(Clock::now() - start);
  return true;
}

}  // namespace

int main() {
  SetPrintHook(DropPrint);
  SetDeviceOutputHooks(CountLine, CountLine);
  BenchSimulator bench("nvbx", false);
  nvsim::Simulator& sim = bench.Sim();
  int result = 1;
  {
    std::string error;
    nvsim::InstrumentConfig config;
    config.name = "bench";
    nvsim::Simulator::Id id = 0;
    if (!bench.Start() || (id = sim.Add(config, true, &error)) == 0) {
      std::fprintf(stderr, "simulator: %s\n", error.c_str());
    } else {
      auto device = std::make_unique<RealUSBDevice>(sim.DevicePath(id).c_str());
      double exchange = 0, raw = 0, traced = 0;
      bool ok = device->IsOpen() && device->SetExchange();
      // Warm-up of both paths.
      double warm = 0;
      ok = ok && RunExchanges(*device, 200, warm) && RunRaw(*device, 200, warm);
      const int perRound = kExchanges / kRounds;
      for (int round = 0; ok && round < kRounds; ++round) {
        g_TraceLevel = 0;
        ok = RunExchanges(*device, perRound, exchange) && RunRaw(*device, perRound, raw);
        g_TraceLevel = 1;
        ok = ok && RunExchanges(*device, perRound, traced);
        g_TraceLevel = 0;
      }
      if (!ok) {
        std::fprintf(stderr, "exchange failed: %s\n", device->LastError.Text());
      } else {
        const double us = 1e6 / kExchanges;
        std::printf("GET_STATUS exchanges: %d through Exchange vs raw write+read round trips\n",
                    kExchanges);
        std::printf("Exchange, trace level 0: %.2f us per exchange\n", exchange * us);
        std::printf("raw write+read: %.2f us per round trip\n", raw * us);
        std::printf("ratio Exchange/raw at trace level 0: %.3f (goal <= 1.25)\n", exchange / raw);
        std::printf("Exchange, trace level 1: %.2f us per exchange (%llu trace lines)\n",
                    traced * us, static_cast<unsigned long long>(g_Lines));
        std::printf("ratio Exchange/raw at trace level 1: %.3f\n", traced / raw);
        result = 0;
      }
      device.reset();
    }
  }
  return result;
}
