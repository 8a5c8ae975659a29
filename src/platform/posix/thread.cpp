// Threads and processes on Linux: kernel thread ids, as Windows thread ids are
// system-wide numbers too.
#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/thread_slot.h"

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

// Another thread may take over what an ended thread leaves behind (its
// channel buffer, its database connection) once IsThreadRunning says it has
// ended. That answer comes from the kernel, which the language's memory
// model does not see; so every thread that asked for its id counts itself
// out here when it ends (a release), and IsThreadRunning reads the count
// (an acquire) before it answers "ended". The thread's last writes are then
// ordered before whatever the other thread does with them.
std::atomic<uint32_t> g_threadEnds{0};
std::atomic<bool> g_endMarksGone{false};

void CountThreadEnd(void* /*value*/) {
  g_threadEnds.fetch_add(1, std::memory_order_release);
}

struct EndMarks {
  platform::ThreadSlot slot{CountThreadEnd};
  ~EndMarks() { g_endMarksGone.store(true, std::memory_order_relaxed); }
};

// Called once per thread: its slot value makes the slot's thread-exit
// clean-up count the thread out.
void MarkThreadForItsEnd() {
  if (g_endMarksGone.load(std::memory_order_relaxed)) return;
  static EndMarks marks;
  marks.slot.Set(&g_threadEnds);
}

}  // namespace

uint32_t CurrentThreadId() {
  if (t_threadId == 0) {
    t_threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    MarkThreadForItsEnd();
  }
  return t_threadId;
}

bool IsThreadRunning(uint32_t threadId) {
  g_threadEnds.load(std::memory_order_acquire);
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
