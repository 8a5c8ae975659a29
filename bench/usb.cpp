// The USB channel against the platform's raw driver calls, on a simulated
// instrument; and one enumeration of 64 present interfaces against the plain
// floor of the same finding.
//
// Round trip: exchanges of a 16-byte write and a 16-byte read, through
// ZdUSBDevice::Write/Read and through WriteDriver/ReadDriver on the same
// handle. Bulk: 4 MiB per round through Write with OutBufferSize 16384, and
// through WriteDriver in the same pieces. Enumeration: USBDeviceInfoList::
// Refresh with 64 instruments plugged (the Kalto check, the listing, the
// entries with their properties and the service filter) against one readdir
// of the class folder with lstat and read of each properties file
// (support/bench_floor.h). Every figure alternates its sides round by round;
// the median of the round ratios counts.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "bench_floor.h"
#include "bench_rounds.h"
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

constexpr int kExchangesPerRound = 200;
constexpr int kExchangeRounds = 41;
constexpr uint32_t kExchangeBytes = 16;
constexpr uint64_t kBulkBytesPerRound = 4ull << 20;
constexpr int kBulkRounds = 21;
constexpr uint32_t kBulkPiece = 16384;
constexpr int kInterfaces = 64;
constexpr int kRefreshesPerRound = 5;
constexpr int kRefreshRounds = 41;

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
  for (int i = 0; i < kExchangesPerRound; ++i) {
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
  for (int i = 0; i < kExchangesPerRound; ++i) {
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
  for (uint64_t sent = 0; sent < kBulkBytesPerRound; sent += data.size()) {
    if (!device.Write(data.data(), static_cast<uint32_t>(data.size()))) return -1;
  }
  return Seconds(start);
}

double RawBulk(platform::DeviceHandle handle, const std::vector<uint8_t>& data) {
  const auto start = Clock::now();
  for (uint64_t sent = 0; sent < kBulkBytesPerRound; sent += data.size()) {
    for (size_t offset = 0; offset < data.size(); offset += kBulkPiece) {
      uint32_t count = 0;
      if (!platform::WriteDriver(handle, data.data() + offset, kBulkPiece, count)) return -1;
    }
  }
  return Seconds(start);
}

// Runs both sides once to warm up, then `rounds` alternating rounds; false
// when a run failed.
template <typename Measured, typename Baseline>
bool Alternate(int rounds, Measured measured, Baseline baseline, RatioRounds& figure) {
  if (measured() < 0 || baseline() < 0) return false;
  for (int round = 0; round < rounds; ++round)
    if (!figure.Run(measured, baseline)) return false;
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
  RatioRounds roundTrip;
  if (!Alternate(
          kExchangeRounds, [&] { return ChannelRoundTrips(device, frame); },
          [&] { return RawRoundTrips(device.Handle, frame); }, roundTrip)) {
    std::printf("round trip failed\n");
    return 1;
  }
  roundTrip.Report("round trip", "ZdUSBDevice Write/Read", "raw driver calls",
                   BenchUnit{1e6 / kExchangesPerRound, "us per exchange", false, 2}, "1.10");

  // Bulk: no replies; bytes the instrument reads as noise.
  sim.ClearFaults(id);
  device.OutBufferSize = kBulkPiece;
  const std::vector<uint8_t> data(4 * kBulkPiece, 0xFF);
  RatioRounds bulk;
  if (!Alternate(
          kBulkRounds, [&] { return ChannelBulk(device, data); },
          [&] { return RawBulk(device.Handle, data); }, bulk)) {
    std::printf("bulk write failed\n");
    return 1;
  }
  bulk.Report("bulk", "ZdUSBDevice Write (OutBufferSize 16384)", "raw 16384-byte writes",
              BenchUnit{static_cast<double>(kBulkBytesPerRound) / (1 << 20), "MiB/s", true, 1},
              "1.05");
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
  EnumerationFloor floor;
  RatioRounds enumeration;
  if (!Alternate(
          kRefreshRounds,
          [&] {
            const BenchTimer timer;
            for (int i = 0; i < kRefreshesPerRound; ++i)
              list.Refresh();
            return list.Count() == kInterfaces ? timer.Seconds() : -1.0;
          },
          [&] {
            const BenchTimer timer;
            for (int i = 0; i < kRefreshesPerRound; ++i)
              if (floor.Run() != kInterfaces) return -1.0;
            return timer.Seconds();
          },
          enumeration)) {
    std::printf("enumeration did not find the %d interfaces\n", kInterfaces);
    return 1;
  }
  enumeration.Report("enumeration, 64 interfaces", "Refresh", "readdir+lstat+read floor",
                     BenchUnit{1e6 / kRefreshesPerRound, "us"});
  return 0;
}
