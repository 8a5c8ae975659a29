// Threads and processes.
#pragma once

#include <cstdint>

namespace platform {

// Id of the calling thread (non-zero, unique among the process's live threads).
uint32_t CurrentThreadId();
// Whether a thread of this process with that id still runs.
bool IsThreadRunning(uint32_t threadId);
uint32_t CurrentProcessId();

}  // namespace platform
