// What each load cycle asks of the freshly loaded library, shared by the
// POSIX and Windows load-cycle hosts (which differ only in how they load,
// unload and measure).
#pragma once

#include <cstdint>
#include <cstdio>

#include "nvdevices/NVDevices.h"

// Lists the instruments and reads each one's serial number through the
// looked-up exports; false (with a line saying why) when an export is
// missing, the count differs from `expected` or a serial number is missing.
inline bool ListAndReadSerials(int cycle, decltype(&GetDeviceList) list,
                               decltype(&GetDeviceSerial) serial, uint32_t expected) {
  bool ok = list != nullptr && serial != nullptr;
  uint32_t ids[64] = {};
  const uint32_t count = ok ? list(ids) : 0;
  if (count != expected) {
    std::printf("cycle %d: %u instruments listed, %u expected\n", cycle, count, expected);
    ok = false;
  }
  for (uint32_t i = 0; ok && i < count; ++i) {
    char text[64] = {};
    if (serial(ids[i], text) == 0) {
      std::printf("cycle %d: no serial number for id %u\n", cycle, ids[i]);
      ok = false;
    }
  }
  return ok;
}
