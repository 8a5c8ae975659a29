// The device registry: what GetDeviceList costs when nothing has changed, as
// the number of known instruments grows, and what accepting new instruments
// costs.
//
// Steady state, with N simulated instruments listed (N = 1, 16, 64, 256 where
// the benchmark serves them itself; 16 from an external simulator):
// GetDeviceList (drop failed devices, the Kalto check, enumerate, log the
// listing to the log file in the benchmark's private folder, look at every
// listed device's connection, match the paths, add nothing) against the
// plain floor of the same finding (support/bench_floor.h: one readdir of the
// class folder, lstat and read of each properties file). The sides alternate
// round by round; the median of the round ratios counts. Timed in the same
// rounds, to explain the figure: the library's bare enumeration (Refresh)
// and the connection checks of the N devices (and GetDeviceList less them).
//
// Acceptance (only where the benchmark plugs instruments itself): an
// instrument appears and the next GetDeviceList opens, sets up and
// identifies it; the median over several arrivals, split into the protocol's
// fixed waits (each input drain ends with one read that waits out the 100 ms
// drain time-out: the channel drains when it opens and SET_EXCHANGE drains
// again; SET_EXCHANGE waits 10 ms before reading its reply) and the rest.
// Then several arriving at once, which are identified one after another.
//
// The steady-state instruments are accepted on a dilated clock (library and
// simulator alike), so that listing 256 of them takes seconds, not the
// design's 213 ms each; nothing in the steady state waits on a clock.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "base/log.h"
#include "base/sync.h"
#include "bench_floor.h"
#include "bench_instruments.h"
#include "bench_rounds.h"
#include "device/registry.h"
#include "nvdevices/NVDevices.h"
#include "platform/driver.h"
#include "platform/time.h"
#include "usb/channel.h"
#include "usb/enumeration.h"

namespace {

constexpr int kRounds = 41;
constexpr int kSizes[] = {1, 16, 64, 256};
constexpr int kExternalSize = 16;  // what scripts/bench serves to the Windows build
constexpr double kAcceptScale = 100;
constexpr int kArrivals = 7;
constexpr int kTogether = 8;
constexpr uint32_t kSetExchangeReplyDelayMs = 10;

// Input drains seen in the device log: each sets the 100 ms drain time-out.
int g_Drains = 0;
void CountingInfoHook(const char* text) {
  if (text != nullptr && std::strstr(text, "Setting timeout = 100 ms") != nullptr) ++g_Drains;
  DeviceInfoHook(text);
}

BenchInstrument Instrument(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "nv%03d", i);
  return {name, std::string("NV2-") + name};
}

// Lets the process hold the simulator's and the library's sockets of 256
// instruments.
void RaiseDescriptorLimit() {
#ifndef _WIN32
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
#endif
}

// One row of the table.
struct Row {
  int listed = 0;
  RatioRounds rounds;
  double refresh = 0;  // median seconds of one bare enumeration
  double checks = 0;   // median seconds of the connection checks of all devices
  // Per round: GetDeviceList less the checks of the same round, to the floor.
  std::vector<double> lessChecks;
};

// The devices' handles, as GetDeviceList's connection check sees them.
std::vector<platform::DeviceHandle> ListedHandles() {
  PSharedObjectLocker hold(DeviceExportLock());
  DeviceRegistry* registry = DeviceRegistry::Instance();
  std::vector<platform::DeviceHandle> handles;
  for (uint32_t d = 0; d < registry->Count(); ++d)
    handles.push_back(registry->At(d)->Handle);
  return handles;
}

// The steady state with `listed` instruments: false (with the reason
// printed) when an instrument went missing.
bool MeasureSteadyState(Row& row) {
  const int calls = std::max(1, 64 / row.listed);
  std::vector<uint32_t> ids(row.listed + 8);
  EnumerationFloor floor;
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  const std::vector<platform::DeviceHandle> handles = ListedHandles();
  std::unique_ptr<bool[]> alive(new bool[handles.size()]);
  std::vector<double> refreshes, checks;
  const uint32_t expected = static_cast<uint32_t>(row.listed);
  for (int round = 0; round < kRounds; ++round) {
    const bool ok = row.rounds.Run(
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < calls; ++i)
            if (GetDeviceList(ids.data()) != expected) return -1.0;
          return timer.Seconds() / calls;
        },
        [&] {
          const BenchTimer timer;
          for (int i = 0; i < calls; ++i)
            if (floor.Run() != row.listed) return -1.0;
          return timer.Seconds() / calls;
        });
    const BenchTimer refreshTimer;
    for (int i = 0; i < calls; ++i)
      list.Refresh();
    refreshes.push_back(refreshTimer.Seconds() / calls);
    const BenchTimer checkTimer;
    for (int i = 0; i < calls; ++i)
      platform::DriverConnectionsAlive(handles.data(), handles.size(), alive.get());
    checks.push_back(checkTimer.Seconds() / calls);
    row.lessChecks.push_back((row.rounds.LastMeasured() - checks.back()) /
                             row.rounds.LastBaseline());
    if (!ok || list.Count() != expected ||
        std::count(alive.get(), alive.get() + handles.size(), true) != row.listed) {
      std::printf("with %d instruments: one was lost (GetDeviceList, the floor or a check)\n",
                  row.listed);
      return false;
    }
  }
  row.refresh = RatioRounds::Median(refreshes);
  row.checks = RatioRounds::Median(checks);
  return true;
}

// Serves and lists instruments up to `listed`, accepting the new ones on the
// dilated clock.
bool ListUpTo(BenchInstruments& instruments, int& served, int listed) {
  std::vector<BenchInstrument> more;
  for (; served < listed; ++served)
    more.push_back(Instrument(served));
  if (!instruments.Start(more)) return false;
  platform::SetTimeScale(BenchInstruments::kCanPlug ? kAcceptScale : 1);
  const uint32_t count = GetDeviceList(nullptr);
  platform::SetTimeScale(1);
  if (count == static_cast<uint32_t>(listed)) return true;
  std::printf("%u of the %d instruments were listed\n", count, listed);
  return false;
}

void PrintTable(const std::vector<Row>& rows) {
  std::printf("\nGetDeviceList with N instruments listed, nothing new (us per call, medians):\n");
  std::printf("%6s %14s %10s %8s %17s %12s %10s %12s\n", "N", "GetDeviceList", "floor", "ratio",
              "lowest..highest", "enumeration", "checks", "less checks");
  for (const Row& row : rows) {
    std::printf("%6d %14.1f %10.1f %8.2f %8.2f..%-8.2f %12.1f %10.1f %12.2f\n", row.listed,
                row.rounds.Measured() * 1e6, row.rounds.Baseline() * 1e6, row.rounds.Ratio(),
                row.rounds.Lowest(), row.rounds.Highest(), row.refresh * 1e6, row.checks * 1e6,
                RatioRounds::Median(row.lessChecks));
  }
  std::printf("\n");
}

// The Kalto check alone, as every enumeration makes it.
void ReportKaltoCheck() {
  constexpr int kChecks = 2000;
  const BenchTimer timer;
  int running = 0;
  for (int i = 0; i < kChecks; ++i)
    running += IsKaltoRunning() ? 1 : 0;
  std::printf("of every enumeration, the Kalto check: %.2f us%s\n", timer.Seconds() / kChecks * 1e6,
              running != 0 ? " (Kalto is running here)" : "");
}

// One GetDeviceList that accepts the instruments just plugged: its seconds,
// and the input drains it made; -1 when not all were accepted.
double TimeAcceptance(uint32_t expected, int& drains) {
  std::vector<uint32_t> ids(expected + 8);
  g_Drains = 0;
  const BenchTimer timer;
  const uint32_t count = GetDeviceList(ids.data());
  const double seconds = timer.Seconds();
  drains = g_Drains;
  return count == expected ? seconds : -1;
}

// Arrivals of new instruments, on the real clock, in a folder of their own.
bool MeasureAcceptance() {
  BenchInstruments instruments("nvba", true);
  if (!instruments.Start({})) return false;
  SetDeviceOutputHooks(DeviceErrorHook, CountingInfoHook);
  if (GetDeviceList(nullptr) != 0 || !instruments.AddUnplugged({"nv-new", "NV2-NEW"})) return false;
  std::vector<double> times;
  std::vector<int> drains;
  for (int arrival = 0; arrival < kArrivals; ++arrival) {
    instruments.Plug("nv-new");
    int drained = 0;
    times.push_back(TimeAcceptance(1, drained));
    drains.push_back(drained);
    instruments.Unplug("nv-new");
    if (times.back() < 0 || GetDeviceList(nullptr) != 0) {
      std::printf("the new instrument was not accepted, or not forgotten\n");
      return false;
    }
  }
  const double median = RatioRounds::Median(times);
  const size_t at = std::min_element(times.begin(), times.end(),
                                     [&](double a, double b) {
                                       return std::abs(a - median) < std::abs(b - median);
                                     }) -
                    times.begin();
  const double fixedMs =
      drains[at] * static_cast<double>(ZdUSBDevice::kPurgeTimeout) + kSetExchangeReplyDelayMs;
  std::printf("acceptance of one new instrument: %.1f ms (median of %d)\n", median * 1e3,
              kArrivals);
  std::printf(
      "of which the protocol's fixed waits: %.0f ms (%d input drains x %u ms, %u ms "
      "SET_EXCHANGE reply delay)\n",
      fixedMs, drains[at], ZdUSBDevice::kPurgeTimeout, kSetExchangeReplyDelayMs);
  std::printf("of which the exchanges and the rest: %.1f ms\n", median * 1e3 - fixedMs);

  for (int i = 0; i < kTogether; ++i)
    if (!instruments.AddUnplugged(Instrument(900 + i))) return false;
  for (int i = 0; i < kTogether; ++i)
    instruments.Plug(Instrument(900 + i).name);
  int drained = 0;
  const double together = TimeAcceptance(kTogether, drained);
  if (together < 0) {
    std::printf("the %d new instruments were not all accepted\n", kTogether);
    return false;
  }
  std::printf(
      "acceptance of %d instruments that arrive together: %.2f s (%.1f ms each, one after "
      "another; %d input drains)\n",
      kTogether, together, together * 1e3 / kTogether, drained);
  return true;
}

}  // namespace

int main() {
  RaiseDescriptorLimit();
  std::vector<Row> rows;
  {
    // The library log stays on (writing the listing is part of the call), in
    // the private folder.
    BenchInstruments instruments("nvbr", true, kAcceptScale);
    std::printf("instruments: %s\n", instruments.Way().c_str());
    std::vector<int> sizes(std::begin(kSizes), std::end(kSizes));
    if (!BenchInstruments::kCanPlug) sizes = {kExternalSize};
    int served = 0;
    for (const int listed : sizes) {
      Row& row = rows.emplace_back();
      row.listed = listed;
      if (!ListUpTo(instruments, served, listed) || !MeasureSteadyState(row)) return 1;
      row.rounds.Report("GetDeviceList/floor, " + std::to_string(listed) + " listed",
                        "GetDeviceList", "readdir+lstat+read floor", BenchUnit{1e6, "us"},
                        listed == 16    ? "1.5"
                        : listed == 256 ? "3"
                                        : nullptr);
      // Where a connection check is a driver request (Windows), this is the
      // figure that compares like with like.
      if (listed == kExternalSize)
        std::printf("ratio GetDeviceList less its connection checks/floor, %d listed: %.3f\n",
                    listed, RatioRounds::Median(row.lessChecks));
    }
    PrintTable(rows);
    ReportKaltoCheck();
  }

  if (!BenchInstruments::kCanPlug) {
    std::printf(
        "acceptance of new instruments: not measured (an external simulator plugs none at run "
        "time; the Linux build measures it)\n");
    return 0;
  }
  return MeasureAcceptance() ? 0 : 1;
}
