// A POSIX host that loads and unloads libNVDevices.so again and again with
// instruments attached: every load lists them all (so the unload before it
// closed every instrument), every unload really takes the library out of the
// process, and the process's open files and heap stay flat. Run against the
// simulator program by load_cycles.sh.
//   load_cycles_posix LIBRARY INSTRUMENTS CYCLES
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "load_cycle_calls.h"
#include "nvdevices/NVDevices.h"

// Under a sanitizer the heap is the sanitizer's own (mallinfo2 does not see
// it); the address sanitizer's leak check at exit reports whatever the
// cycles left behind instead, so the heap figure is compared only without
// one.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define NVD_HEAP_MEASURED 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define NVD_HEAP_MEASURED 0
#endif
#endif
#ifndef NVD_HEAP_MEASURED
#define NVD_HEAP_MEASURED 1
#endif

namespace {

struct Usage {
  long openFiles = 0;
  long long heapBytes = 0;  // in use: arena chunks and mapped blocks
};

Usage Measure() {
  Usage usage;
  if (DIR* folder = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(folder))
      if (entry->d_name[0] != '.') ++usage.openFiles;
    closedir(folder);
    --usage.openFiles;  // the listing's own descriptor
  }
  const struct mallinfo2 info = mallinfo2();
  usage.heapBytes = static_cast<long long>(info.uordblks + info.hblkhd);
  return usage;
}

// True while any mapping of the process comes from the library's file.
bool Mapped(const char* name) {
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return false;
  char line[4096];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, maps) != nullptr)
    found = std::strstr(line, name) != nullptr;
  std::fclose(maps);
  return found;
}

// One load, listing and unload; false with a message on the first fault.
bool Cycle(const char* path, const char* name, uint32_t expected, int cycle) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("cycle %d: dlopen failed: %s\n", cycle, dlerror());
    return false;
  }
  auto list = reinterpret_cast<decltype(&GetDeviceList)>(dlsym(module, "GetDeviceList"));
  auto serial = reinterpret_cast<decltype(&GetDeviceSerial)>(dlsym(module, "GetDeviceSerial"));
  bool ok = ListAndReadSerials(cycle, list, serial, expected);
  if (dlclose(module) != 0) {
    std::printf("cycle %d: dlclose failed: %s\n", cycle, dlerror());
    ok = false;
  }
  if (Mapped(name)) {
    std::printf("cycle %d: the library is still mapped after dlclose\n", cycle);
    ok = false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::printf("usage: load_cycles_posix LIBRARY INSTRUMENTS CYCLES\n");
    return 2;
  }
  const char* path = argv[1];
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  const uint32_t expected = static_cast<uint32_t>(std::atoi(argv[2]));
  const int cycles = std::atoi(argv[3]);
  // The first half settles what the process keeps after a first load (the
  // loader's and the C library's own caches, the allocator's per-size
  // caches, which count as in use); growth is measured over the second.
  const int settle = cycles / 2;
  Usage base{};
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    if (!Cycle(path, name, expected, cycle)) return 1;
    if (cycle == settle) base = Measure();
  }
  const Usage end = Measure();
  const long fileGrowth = end.openFiles - base.openFiles;
  const double heapGrowthKiB = static_cast<double>(end.heapBytes - base.heapBytes) / 1024;
  std::printf("load cycles: %d, open files %ld -> %ld, heap in use %+.1f KiB%s\n", cycles,
              base.openFiles, end.openFiles, heapGrowthKiB,
              NVD_HEAP_MEASURED ? "" : " (not measured under a sanitizer)");
  // One descriptor left per cycle would show as 50 here, and the library's
  // static state left behind (16 KiB a load) as 800 KiB; the allocator's own
  // caches move the figure by a few KiB either way, so a leak shows from
  // about 160 bytes a cycle.
  bool ok = fileGrowth <= 0;
  if (NVD_HEAP_MEASURED && heapGrowthKiB > 8) ok = false;
  if (!ok) {
    std::printf("FAIL: open files or heap grow with the cycles\n");
    return 1;
  }
  std::printf("1 passed, 0 failed\n");
  return 0;
}
