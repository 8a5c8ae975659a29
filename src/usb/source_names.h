// The names of the library's source modules ("DevList" for the USB
// transport), for diagnostics. Each module adds its name from a start-up
// entry (priority 100); the list is built on first use.
#pragma once

#include <cstdint>

void AddSourceName(const char* name);
uint32_t SourceNameCount();
// Null past the count.
const char* SourceNameAt(uint32_t index);
