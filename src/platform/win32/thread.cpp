// Threads and processes on Windows.
#include "platform/thread.h"

#include <windows.h>

namespace platform {

uint32_t CurrentThreadId() {
  return GetCurrentThreadId();
}

bool IsThreadRunning(uint32_t threadId) {
  if (threadId == 0) return false;
  // Opened for information query (0x40); the thread runs while its exit code
  // is still STILL_ACTIVE (259). A thread id is system-wide, so one that now
  // names a thread of another process does not count.
  HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
  if (thread == nullptr) return false;
  DWORD exitCode = 0;
  const bool running = GetExitCodeThread(thread, &exitCode) && exitCode == STILL_ACTIVE &&
                       GetProcessIdOfThread(thread) == GetCurrentProcessId();
  CloseHandle(thread);
  return running;
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

}  // namespace platform
