// The USB channel against the platform's raw driver calls, on a simulated
// instrument; and the cost of one enumeration of 64 present interfaces.
//
// Round trip: 10 000 exchanges of a 16-byte write and a 16-byte read, through
// ZdUSBDevice::Write/Read and through WriteDriver/ReadDriver on the same
// handle. Bulk: 64 MiB through Write with OutBufferSize 16384, and through
// WriteDriver in the same pieces. Both sides run alternately; the best of
// several repetitions counts. Enumeration: USBDeviceInfoList::Refresh with 64
// instruments plugged, the mean over many refreshes.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "bench_simulator.h"
#include "instrument.h"
#include "platform/driver.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "usb/channel.h"
#include "usb/enumeration.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kExchanges = 10000;
constexpr uint32_t kExchangeBytes = 16;
constexpr uint64_t kBulkBytes = 64ull << 20;
constexpr uint32_t kBulkPiece = 16384;
constexpr int kRepetitions = 5;
constexpr int kExchangeBlocks = 10;  // of kExchanges / kExchangeBlocks exchanges
constexpr int kBulkBlocks = 16;      // of kBulkBytes / kBulkBlocks bytes
constexpr int kInterfaces = 64;
constexpr int kRefreshes = 200;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A complete 16-byte command frame (length word 12); the instrument answers
// every command with 16 scripted bytes.
std::vector<uint8_t> ExchangeFrame() {
  std::vector<uint8_t> frame(kExchangeBytes, 0);
  frame[0] = 12;
  const uint32_t code = nvsim::command::kGetStatus;
  for (int i = 0; i < 4; ++i)
    frame[4 + i] = static_cast<uint8_t>(code >> (8 * i));
  return frame;
}

double ChannelRoundTrips(ZdUSBDevice& device, const std::vector<uint8_t>& frame) {
  uint8_t reply[kExchangeBytes];
  const auto start = Clock::now();
  for (int i = 0; i < kExchanges / kExchangeBlocks; ++i) {
    if (!device.Write(frame.data(), kExchangeBytes) || !device.Read(reply, kExchangeBytes, true)) {
      std::printf("channel exchange %d failed\n", i);
      return -1;
    }
  }
  return Seconds(start);
}

double RawRoundTrips(platform::DeviceHandle handle, const std::vector<uint8_t>& frame) {
  uint8_t reply[kExchangeBytes];
  const auto start = Clock::now();
  for (int i = 0; i < kExchanges / kExchangeBlocks; ++i) {
    uint32_t count = 0;
    if (!platform::WriteDriver(handle, frame.data(), kExchangeBytes, count)) return -1;
    uint32_t received = 0;
    while (received < kExchangeBytes) {
      if (!platform::ReadDriver(handle, reply + received, kExchangeBytes - received, count))
        return -1;
      received += count;
    }
  }
  return Seconds(start);
}

double ChannelBulk(ZdUSBDevice& device, const std::vector<uint8_t>& data) {
  const auto start = Clock::now();
  for (uint64_t sent = 0; sent < kBulkBytes / kBulkBlocks; sent += data.size()) {
    if (!device.Write(data.data(), static_cast<uint32_t>(data.size()))) return -1;
  }
  return Seconds(start);
}

double RawBulk(platform::DeviceHandle handle, const std::vector<uint8_t>& data) {
  const auto start = Clock::now();
  for (uint64_t sent = 0; sent < kBulkBytes / kBulkBlocks; sent += data.size()) {
    for (size_t offset = 0; offset < data.size(); offset += kBulkPiece) {
      uint32_t count = 0;
      if (!platform::WriteDriver(handle, data.data() + offset, kBulkPiece, count)) return -1;
    }
  }
  return Seconds(start);
}

// Runs both sides once to warm up; then, block by block, both alternately a
// few times, adding up the best time of each side per block (fine-grained
// alternation keeps bursts of load on the machine from favouring one side).
// False when a run failed.
template <typename Measured, typename Baseline>
bool SumOfBest(int blocks, Measured measured, Baseline baseline, double& total,
               double& totalBaseline) {
  total = totalBaseline = 0;
  if (measured() < 0 || baseline() < 0) return false;
  for (int block = 0; block < blocks; ++block) {
    double best = 1e9, bestBaseline = 1e9;
    for (int r = 0; r < kRepetitions; ++r) {
      const double a = measured();
      const double b = baseline();
      if (a < 0 || b < 0) return false;
      best = std::min(best, a);
      bestBaseline = std::min(bestBaseline, b);
    }
    total += best;
    totalBaseline += bestBaseline;
  }
  return true;
}

}  // namespace

int main() {
  // No log file and no device log lines: only the transfers are measured.
  SetLogBaseName(nullptr);
  SetDeviceOutputHooks(nullptr, nullptr);
  BenchSimulator bench("nvb", false);
  nvsim::Simulator& sim = bench.Sim();
  std::string error;
  if (!bench.Start()) return 1;
  nvsim::InstrumentConfig config;
  config.name = "bench";
  const nvsim::Simulator::Id id = sim.Add(config, true, &error);
  nvsim::Fault answer;
  answer.kind = nvsim::FaultKind::kRaw;
  answer.times = 0;  // every command
  answer.bytes.assign(kExchangeBytes, 0x5A);
  if (id == 0 || !sim.AddFault(id, answer)) {
    std::printf("instrument: %s\n", error.c_str());
    return 1;
  }

  ZdUSBDevice device(sim.DevicePath(id).c_str());
  if (!device.IsOpen()) {
    std::printf("cannot open the simulated instrument\n");
    return 1;
  }

  // Round trip.
  const std::vector<uint8_t> frame = ExchangeFrame();
  double channel = 0, raw = 0;
  if (!SumOfBest(
          kExchangeBlocks, [&] { return ChannelRoundTrips(device, frame); },
          [&] { return RawRoundTrips(device.Handle, frame); }, channel, raw)) {
    std::printf("round trip failed\n");
    return 1;
  }
  std::printf("round trip, ZdUSBDevice Write/Read: %.2f us per exchange\n",
              channel * 1e6 / kExchanges);
  std::printf("round trip, raw driver calls: %.2f us per exchange\n", raw * 1e6 / kExchanges);
  std::printf("round trip ratio: %.3f (goal <= 1.10)\n", channel / raw);

  // Bulk: no replies; bytes the instrument reads as noise.
  sim.ClearFaults(id);
  device.OutBufferSize = kBulkPiece;
  const std::vector<uint8_t> data(4 * kBulkPiece, 0xFF);
  if (!SumOfBest(
          kBulkBlocks, [&] { return ChannelBulk(device, data); },
          [&] { return RawBulk(device.Handle, data); }, channel, raw)) {
    std::printf("bulk write failed\n");
    return 1;
  }
  const double mib = static_cast<double>(kBulkBytes) / (1 << 20);
  std::printf("bulk 64 MiB, ZdUSBDevice Write (OutBufferSize 16384): %.1f MiB/s\n", mib / channel);
  std::printf("bulk 64 MiB, raw 16384-byte writes: %.1f MiB/s\n", mib / raw);
  std::printf("bulk ratio: %.3f (goal <= 1.05)\n", channel / raw);
  device.Close();
  sim.Remove(id);

  // Enumeration of 64 present interfaces.
  for (int i = 0; i < kInterfaces; ++i) {
    nvsim::InstrumentConfig entry;
    char name[16];
    std::snprintf(name, sizeof name, "nv%02d", i);
    entry.name = name;
    if (sim.Add(entry, true, &error) == 0) {
      std::printf("instrument %s: %s\n", name, error.c_str());
      return 1;
    }
  }
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  const uint32_t present = list.Count();
  const auto start = Clock::now();
  for (int i = 0; i < kRefreshes; ++i)
    list.Refresh();
  const double perRefresh = Seconds(start) / kRefreshes;
  std::printf("enumeration of %u present interfaces: %.1f us per Refresh\n", present,
              perRefresh * 1e6);

  return present == kInterfaces ? 0 : 1;
}
