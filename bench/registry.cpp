// The device registry: what GetDeviceList costs when nothing has changed,
// and what accepting one new instrument costs.
//
// Steady state: 16 simulated instruments already listed; GetDeviceList
// (which drops failed devices, enumerates, logs the listing, checks every
// listed device's connection and adds nothing) against one bare
// enumeration Refresh of the same 16 interfaces. Both run in turns; the
// best mean of several rounds counts.
//
// Acceptance: an instrument appears and the next GetDeviceList opens,
// sets up and identifies it; the median over several arrivals. Part of that
// time is the protocol's own fixed waits: each input drain ends with one
// read that waits out the 100 ms drain time-out (the channel drains when it
// opens and SET_EXCHANGE drains again), and SET_EXCHANGE waits 10 ms before
// reading its reply. The drains are counted from the device log.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "base/sync.h"
#include "bench_simulator.h"
#include "device/registry.h"
#include "nvdevices/NVDevices.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "usb/channel.h"
#include "usb/enumeration.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListed = 16;
constexpr int kRounds = 7;
constexpr int kCallsPerRound = 100;
constexpr int kArrivals = 7;
constexpr uint32_t kSetExchangeReplyDelayMs = 10;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Input drains seen in the device log: each sets the 100 ms drain time-out.
int g_Drains = 0;
void CountingInfoHook(const char* text) {
  if (text != nullptr && std::strstr(text, "Setting timeout = 100 ms") != nullptr) ++g_Drains;
  DeviceInfoHook(text);
}

std::string Name(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "nv%02d", i);
  return name;
}

}  // namespace

int main() {
  // The library log stays on (writing the listing is part of the call), in
  // the private folder.
  BenchSimulator bench("nvbr", true);
  nvsim::Simulator& sim = bench.Sim();
  std::string error;
  if (!bench.Start()) return 1;
  for (int i = 0; i < kListed; ++i) {
    nvsim::InstrumentConfig config;
    config.name = Name(i);
    config.publicArea.prodSerNumber = "NV2-" + Name(i);
    if (sim.Add(config, true, &error) == 0) {
      std::printf("instrument %s: %s\n", config.name.c_str(), error.c_str());
      return 1;
    }
  }
  std::vector<uint32_t> ids(kListed + 8);
  if (GetDeviceList(ids.data()) != kListed) {
    std::printf("the %d instruments were not all listed\n", kListed);
    return 1;
  }

  // Steady state, in turns.
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  double bestList = 1e9, bestRefresh = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i) {
      if (GetDeviceList(ids.data()) != kListed) {
        std::printf("GetDeviceList lost an instrument\n");
        return 1;
      }
    }
    bestList = std::min(bestList, Seconds(start) / kCallsPerRound);
    start = Clock::now();
    for (int i = 0; i < kCallsPerRound; ++i)
      list.Refresh();
    bestRefresh = std::min(bestRefresh, Seconds(start) / kCallsPerRound);
  }
  if (list.Count() != kListed) {
    std::printf("Refresh found %u interfaces\n", list.Count());
    return 1;
  }
  std::printf("GetDeviceList, %d instruments listed, nothing new: %.1f us per call\n", kListed,
              bestList * 1e6);
  std::printf("bare enumeration Refresh, %d interfaces: %.1f us per call\n", kListed,
              bestRefresh * 1e6);
  std::printf("GetDeviceList / Refresh ratio: %.2f (goal <= 1.5)\n", bestList / bestRefresh);

  // The part of the call that is the connection check of every listed
  // device (a look at each connection, no request to the driver).
  double bestChecks = 1e9;
  {
    PSharedObjectLocker hold(DeviceExportLock());
    DeviceRegistry* registry = DeviceRegistry::Instance();
    for (int round = 0; round < kRounds; ++round) {
      const auto start = Clock::now();
      for (int i = 0; i < kCallsPerRound; ++i)
        for (uint32_t d = 0; d < registry->Count(); ++d)
          if (!registry->At(d)->StillAttached()) {
            std::printf("a listed instrument does not answer\n");
            return 1;
          }
      bestChecks = std::min(bestChecks, Seconds(start) / kCallsPerRound);
    }
  }
  std::printf("of which the connection checks of the %d listed devices: %.1f us\n", kListed,
              bestChecks * 1e6);
  std::printf("GetDeviceList without them / Refresh ratio: %.2f\n",
              (bestList - bestChecks) / bestRefresh);

  // Acceptance of one new instrument.
  SetDeviceOutputHooks(DeviceErrorHook, CountingInfoHook);
  nvsim::InstrumentConfig config;
  config.name = "nv-new";
  config.publicArea.prodSerNumber = "NV2-NEW";
  const nvsim::Simulator::Id fresh = sim.Add(config, false, &error);
  if (fresh == 0) {
    std::printf("instrument nv-new: %s\n", error.c_str());
    return 1;
  }
  std::vector<double> times;
  std::vector<int> drains;
  for (int arrival = 0; arrival < kArrivals; ++arrival) {
    sim.Plug(fresh);
    g_Drains = 0;
    const auto start = Clock::now();
    const uint32_t count = GetDeviceList(ids.data());
    times.push_back(Seconds(start));
    drains.push_back(g_Drains);
    if (count != kListed + 1) {
      std::printf("the new instrument was not accepted\n");
      return 1;
    }
    sim.Unplug(fresh);
    GetDeviceList(ids.data());  // forgets it again
  }
  std::vector<double> sorted = times;
  std::sort(sorted.begin(), sorted.end());
  const double median = sorted[sorted.size() / 2];
  const int drainCount = drains[std::find(times.begin(), times.end(), median) - times.begin()];
  const double fixedMs =
      drainCount * static_cast<double>(ZdUSBDevice::kPurgeTimeout) + kSetExchangeReplyDelayMs;
  std::printf("acceptance of one new instrument: %.1f ms (median of %d)\n", median * 1e3,
              kArrivals);
  std::printf(
      "of which the protocol's fixed waits: %.0f ms (%d input drains x %u ms, %u ms "
      "SET_EXCHANGE reply delay)\n",
      fixedMs, drainCount, ZdUSBDevice::kPurgeTimeout, kSetExchangeReplyDelayMs);
  std::printf("of which the exchanges and the rest: %.1f ms\n", median * 1e3 - fixedMs);

  return 0;
}
