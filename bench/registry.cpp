// The device registry: what GetDeviceList costs when nothing has changed,
// and what accepting one new instrument costs.
//
// Steady state: 16 simulated instruments already listed; GetDeviceList
// (which drops failed devices, enumerates, logs the listing to the log file
// in the benchmark's private folder, checks every listed device's connection
// and adds nothing) against one bare enumeration Refresh of the same 16
// interfaces. The rounds alternate the two sides; the median ratio over the
// rounds counts.
//
// Acceptance (only where the benchmark plugs instruments itself, the Linux
// build's in-process simulator): an instrument appears and the next
// GetDeviceList opens, sets up and identifies it; the median over several
// arrivals. Part of that time is the protocol's own fixed waits: each input
// drain ends with one read that waits out the 100 ms drain time-out (the
// channel drains when it opens and SET_EXCHANGE drains again), and
// SET_EXCHANGE waits 10 ms before reading its reply. The drains are counted
// from the device log.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/sync.h"
#include "bench_instruments.h"
#include "bench_rounds.h"
#include "device/registry.h"
#include "nvdevices/NVDevices.h"
#include "usb/channel.h"
#include "usb/enumeration.h"

namespace {

constexpr int kListed = 16;
constexpr int kRounds = 31;
constexpr int kCallsPerRound = 20;
constexpr int kArrivals = 7;
constexpr uint32_t kSetExchangeReplyDelayMs = 10;

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
  BenchInstruments instruments("nvbr", true);
  std::vector<BenchInstrument> listed;
  for (int i = 0; i < kListed; ++i)
    listed.push_back({Name(i), "NV2-" + Name(i)});
  if (!instruments.Start(listed)) return 1;
  std::printf("instruments: %s\n", instruments.Way().c_str());
  std::vector<uint32_t> ids(kListed + 8);
  if (GetDeviceList(ids.data()) != kListed) {
    std::printf("the %d instruments were not all listed\n", kListed);
    return 1;
  }

  // Steady state, the two sides alternating. Each round also times the part
  // of the call that is the connection check of every listed device (on
  // Linux a look at each connection; on Windows, which cannot look at a
  // handle without asking the driver, a handle-status request).
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  DeviceRegistry* registry = DeviceRegistry::Instance();
  auto checkAll = [&] {
    PSharedObjectLocker hold(DeviceExportLock());
    const BenchTimer timer;
    for (int i = 0; i < kCallsPerRound; ++i)
      for (uint32_t d = 0; d < registry->Count(); ++d)
        if (!registry->At(d)->StillAttached()) return -1.0;
    return timer.Seconds();
  };
  RatioRounds steady;
  std::vector<double> checks, withoutChecks;
  for (int round = 0; round < kRounds; ++round) {
    const bool ok = steady.Run(
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < kCallsPerRound; ++i)
            if (GetDeviceList(ids.data()) != kListed) return -1.0;
          return timer.Seconds();
        },
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < kCallsPerRound; ++i)
            list.Refresh();
          return list.Count() == kListed ? timer.Seconds() : -1.0;
        });
    if (!ok) {
      std::printf("GetDeviceList lost an instrument, or Refresh found %u interfaces\n",
                  list.Count());
      return 1;
    }
    const double check = checkAll();
    if (check < 0) {
      std::printf("a listed instrument does not answer\n");
      return 1;
    }
    checks.push_back(check);
    withoutChecks.push_back((steady.LastMeasured() - check) / steady.LastBaseline());
  }
  const double perList = steady.Measured() / kCallsPerRound;
  const double perRefresh = steady.Baseline() / kCallsPerRound;
  const double perChecks = RatioRounds::Median(checks) / kCallsPerRound;
  std::printf("GetDeviceList, %d instruments listed, nothing new: %.1f us per call\n", kListed,
              perList * 1e6);
  std::printf("bare enumeration Refresh, %d interfaces: %.1f us per call\n", kListed,
              perRefresh * 1e6);
  std::printf("GetDeviceList/Refresh over %zu rounds: lowest %.2f, highest %.2f\n", steady.Rounds(),
              steady.Lowest(), steady.Highest());
  std::printf("GetDeviceList / Refresh ratio: %.2f (goal <= 1.5)\n", steady.Ratio());
  std::printf("of which the connection checks of the %d listed devices: %.1f us\n", kListed,
              perChecks * 1e6);
  std::printf("GetDeviceList without them / Refresh ratio: %.2f\n",
              RatioRounds::Median(withoutChecks));

  // Acceptance of one new instrument.
  if (!instruments.CanPlug()) {
    std::printf(
        "acceptance of one new instrument: not measured (the %s plugs none at run time; the "
        "Linux build measures it)\n",
        instruments.Way().c_str());
    return 0;
  }
  SetDeviceOutputHooks(DeviceErrorHook, CountingInfoHook);
  if (!instruments.AddUnplugged({"nv-new", "NV2-NEW"})) return 1;
  std::vector<double> times;
  std::vector<int> drains;
  for (int arrival = 0; arrival < kArrivals; ++arrival) {
    instruments.Plug("nv-new");
    g_Drains = 0;
    const BenchTimer timer;
    const uint32_t count = GetDeviceList(ids.data());
    times.push_back(timer.Seconds());
    drains.push_back(g_Drains);
    if (count != kListed + 1) {
      std::printf("the new instrument was not accepted\n");
      return 1;
    }
    instruments.Unplug("nv-new");
    GetDeviceList(ids.data());  // forgets it again
  }
  const double median = RatioRounds::Median(times);
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
