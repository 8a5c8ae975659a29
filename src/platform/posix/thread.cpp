// Threads and processes on Linux: kernel thread ids, as Windows thread ids are
// system-wide numbers too.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

namespace platform {

namespace {

// A thread's id never changes, so it is asked of the kernel once per thread
// (the channel and the log ask for it several times per exchange). A forked
// child's only thread has a new id: the fork handler forgets the copy.
thread_local uint32_t t_threadId = 0;

void ForgetThreadIdInChild() {
  t_threadId = 0;
}

[[maybe_unused]] const bool g_forkHandlerSet =
    pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild) == 0;

}  // namespace

uint32_t CurrentThreadId() {
  if (t_threadId == 0) t_threadId = static_cast<uint32_t>(syscall(SYS_gettid));
  return t_threadId;
}

bool IsThreadRunning(uint32_t threadId) {
  if (threadId == 0) return false;
  // A thread of this process is listed under /proc/self/task while it exists;
  // an exited (zombie) main thread is still listed, so look at its state too.
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%u/stat", threadId);
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return false;
  char buffer[512] = {};
  const size_t length = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[length] = '\0';
  // "pid (comm) S ..." — the command may hold blanks and parentheses, so the
  // state follows the last ')'.
  const char* close = nullptr;
  for (const char* p = buffer; *p != '\0'; ++p) {
    if (*p == ')') close = p;
  }
  if (close == nullptr || close[1] != ' ') return true;
  const char state = close[2];
  return state != 'Z' && state != 'X' && state != 'x';
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

}  // namespace platform
