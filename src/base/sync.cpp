#include "base/sync.h"

#include <cstdarg>

#include "base/containers.h"
#include "base/format.h"
#include "platform/time.h"

// ---------------------------------------------------------------------------
// The process-wide list of live synchronisation objects.
//
// A non-owning container guarded by its own PSharedObject. That guard is itself
// a synchronisation object; it is built Unlisted, so constructing the list
// never re-enters it. The list is a function-local static; an object that
// outlives it (destroyed later during unload) finds the "gone" flag set and
// leaves the list alone.

namespace {

bool g_liveListGone = false;

struct LiveList {
  PSharedObject guard{PSyncObject::Unlisted{}};
  SContainer items{32, SContainer::kNotOwner};
  ~LiveList() { g_liveListGone = true; }
};

LiveList& Live() {
  static LiveList list;
  return list;
}

}  // namespace

uint32_t LiveSyncObjectCount() {
  if (g_liveListGone) return 0;
  LiveList& list = Live();
  PSharedObjectLocker lock(list.guard);
  return list.items.Count();
}

PSyncObject::PSyncObject() : description_("") {
  if (g_liveListGone) return;
  LiveList& list = Live();
  PSharedObjectLocker lock(list.guard);
  listed_ = list.items.Add(this);
}

PSyncObject::PSyncObject(Unlisted) : description_("") {}

PSyncObject::~PSyncObject() {
  if (!listed_ || g_liveListGone) return;
  LiveList& list = Live();
  PSharedObjectLocker lock(list.guard);
  // Objects usually die in the reverse order of their birth: search from the end.
  for (uint32_t i = list.items.Count(); i-- > 0;) {
    if (list.items.At(i) == this) {
      list.items.Detach(i);
      break;
    }
  }
}

void PSyncObject::SetName(const char* format, ...) {
  va_list args;
  va_start(args, format);
  name_ = VFormat(format, args);
  va_end(args);
  description_ = "";
}

// ---------------------------------------------------------------------------
// PSharedObject and its holders

PSharedObject::PSharedObject() : lock_(std::make_unique<platform::RecursiveLock>()) {}

PSharedObject::PSharedObject(const char* name) : PSharedObject() {
  SetName("%s", name);
}

PSharedObject::PSharedObject(Unlisted)
    : PSyncObject(Unlisted{}), lock_(std::make_unique<platform::RecursiveLock>()) {}

PSharedObject::~PSharedObject() = default;

void PSharedObject::Lock() {
  if (lock_) lock_->Lock();
}

void PSharedObject::Unlock() {
  if (lock_) lock_->Unlock();
}

PSharedObjectLocker::PSharedObjectLocker(PSharedObject* object) : object_(object) {
  locked_ = object_ != nullptr && object_->HasLock();
  if (locked_) object_->Lock();
}

NVD_NO_SANITIZE_VPTR PSharedObjectLocker::PSharedObjectLocker(const SContainer* container)
    : PSharedObjectLocker(container != nullptr ? container->Guard() : nullptr) {}

PSharedObjectLocker::~PSharedObjectLocker() {
  if (locked_) {
    locked_ = false;
    object_->Unlock();
  }
}

// ---------------------------------------------------------------------------
// PEvent

PEvent::PEvent(bool initialState) : event_(std::make_unique<platform::Event>(true, initialState)) {}

PEvent::~PEvent() = default;

bool PEvent::Set() {
  if (!event_) return false;
  event_->Set();
  return true;
}

bool PEvent::Reset() {
  if (!event_) return false;
  event_->Reset();
  return true;
}

bool PEvent::Wait(uint32_t milliseconds) {
  return event_ && event_->Wait(milliseconds);
}

bool IsNamedMutexPresent(const char* name) {
  return name != nullptr && platform::IsNamedMutexPresent(name);
}

// ---------------------------------------------------------------------------
// Timers

PTickTimeout::PTickTimeout(uint32_t period, bool expiredNow, bool autoRestart)
    : period(period), autoRestart(autoRestart) {
  start = platform::TickCount();
  deadline = expiredNow ? 0 : start + period;
}

bool PTickTimeout::IsExpired() {
  uint32_t now = platform::TickCount();
  // Compared as elapsed time, so that a tick count wrapping between start and
  // deadline (every 49.7 days, sooner on a dilated test clock) still expires
  // on time. A deadline of 0 means "expired from the start".
  bool expired = deadline == 0 || now - start > deadline - start;
  if (expired && autoRestart) {
    if (now == 0) now = platform::TickCount();
    start = now;
    deadline = now + period;
  }
  return expired;
}

uint32_t PTickTimeout::Elapsed() const {
  return platform::TickCount() - start;
}

void PTickTimeout::Restart() {
  start = platform::TickCount();
  deadline = start + period;
}

namespace {

// Performance-counter counts in `microseconds`; 0 for no interval.
int64_t CountsFor(int64_t microseconds) {
  if (microseconds <= 0) return 0;
  const int64_t frequency = platform::PerformanceFrequency();
  if (frequency <= 0) return 0;
  // frequency * microseconds / 1 000 000 without overflowing the product.
  const int64_t whole = microseconds / 1000000;
  const int64_t part = microseconds % 1000000;
  return whole * frequency + part * frequency / 1000000;
}

}  // namespace

PIntervalTimerMCS::PIntervalTimerMCS(int64_t periodMicroseconds) : period(periodMicroseconds) {
  Restart(0);
}

void PIntervalTimerMCS::Restart(int64_t count) {
  startCount = count != 0 ? count : platform::PerformanceCounter();
  dueCount = platform::PerformanceFrequency() > 0 ? startCount + CountsFor(period) : 0;
}

void PIntervalTimerMCS::WaitDue(bool restartFirst) {
  if (restartFirst) Restart(0);
  int64_t now = platform::PerformanceCounter();
  // A timer without an interval never waits.
  while (period > 0 && now <= dueCount) {
    platform::Sleep(0);
    now = platform::PerformanceCounter();
  }
  Restart(now);
}

void PStopWatchMCS::Start() {
  start_ = platform::PerformanceCounter();
}

int64_t PStopWatchMCS::ElapsedMCS() const {
  const int64_t frequency = platform::PerformanceFrequency();
  if (frequency <= 0) return 0;
  const int64_t elapsed = platform::PerformanceCounter() - start_;
  // elapsed * 1 000 000 / frequency, split so that long runs do not overflow.
  return elapsed / frequency * 1000000 + elapsed % frequency * 1000000 / frequency;
}
