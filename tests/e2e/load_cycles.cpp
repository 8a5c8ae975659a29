// A Windows host that loads and unloads NVDevices.dll again and again with
// instruments attached: every load lists them all (so the unload before it
// closed every instrument), every unload really unloads the module, and the
// process's handles and memory stay flat. Run under Wine against the Linux
// simulator by load_cycles.sh.
//   load_cycles.exe DLL INSTRUMENTS CYCLES [SYSTEM-DLL ...]
// The system DLLs named after the counts (those the library imports) are
// loaded first and stay loaded, as in any real host: what Wine itself keeps
// of a system DLL loaded and unloaded again is not the library's.
#include <windows.h>
// (psapi after windows.h)
#include <psapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "load_cycle_calls.h"
#include "nvdevices/NVDevices.h"

namespace {

struct Usage {
  uintptr_t nextHandle = 0;
  SIZE_T committedBytes = 0;
};

// The value a new handle gets: the system hands out the lowest free one, so
// handles left open by the cycles push it up (Wine counts no handles, but
// allocates them the same way). Committed memory is the process's pagefile
// usage.
Usage Measure() {
  Usage usage;
  HANDLE probe = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  usage.nextHandle = reinterpret_cast<uintptr_t>(probe);
  CloseHandle(probe);
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
    usage.committedBytes = counters.PagefileUsage;
  return usage;
}

// One load, listing and unload; false with a message on the first fault.
bool Cycle(const char* path, uint32_t expected, int cycle) {
  HMODULE module = LoadLibraryA(path);
  if (module == nullptr) {
    std::printf("cycle %d: LoadLibrary failed with %lu\n", cycle, GetLastError());
    return false;
  }
  auto list = reinterpret_cast<decltype(&GetDeviceList)>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetDeviceList")));
  auto serial = reinterpret_cast<decltype(&GetDeviceSerial)>(
      reinterpret_cast<void*>(GetProcAddress(module, "GetDeviceSerial")));
  bool ok = ListAndReadSerials(cycle, list, serial, expected);
  FreeLibrary(module);
  if (GetModuleHandleA("NVDevices.dll") != nullptr) {
    std::printf("cycle %d: the library is still loaded after FreeLibrary\n", cycle);
    ok = false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::printf("usage: load_cycles DLL INSTRUMENTS CYCLES [SYSTEM-DLL ...]\n");
    return 2;
  }
  for (int i = 4; i < argc; ++i)
    LoadLibraryA(argv[i]);
  const uint32_t expected = static_cast<uint32_t>(std::atoi(argv[2]));
  const int cycles = std::atoi(argv[3]);
  // The first cycles settle what the system keeps after a first load
  // (Wine's and the run-time's own caches); growth is measured after them.
  const int settle = cycles / 10;
  Usage base{};
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (!Cycle(argv[1], expected, cycle)) return 1;
    if (cycle == settle) base = Measure();
  }
  const Usage end = Measure();
  // Handle values step by 4.
  const long handleGrowth =
      (static_cast<long>(end.nextHandle) - static_cast<long>(base.nextHandle)) / 4;
  const double memoryGrowthKiB =
      (static_cast<double>(end.committedBytes) - static_cast<double>(base.committedBytes)) / 1024;
  std::printf("load cycles: %d, next handle %#llx -> %#llx, committed memory %+.0f KiB\n", cycles,
              static_cast<unsigned long long>(base.nextHandle),
              static_cast<unsigned long long>(end.nextHandle), memoryGrowthKiB);
  // An unload gives everything back: no handle grows, and memory stays
  // within the heap's own page steps (Wine commits 64 KiB at a time; the
  // thread library's records of the few std::mutex objects, a few hundred
  // bytes per cycle, are what still stays). One handle, or one block of the
  // library's static state, per cycle would show far above these bounds.
  if (handleGrowth > 2 || memoryGrowthKiB > 256) {
    std::printf("FAIL: handles or memory grow with the cycles\n");
    return 1;
  }
  std::printf("1 passed, 0 failed\n");
  return 0;
}
