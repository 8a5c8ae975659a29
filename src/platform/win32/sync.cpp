// Locks, events and named mutexes on Windows: critical sections, event
// objects and named mutex objects.
#include "platform/sync.h"

#include <windows.h>

#include <mutex>
#include <set>
#include <string>

#include "platform/errors.h"
#include "platform/time.h"

namespace platform {

// ---- RecursiveLock ---------------------------------------------------------

struct RecursiveLock::Impl {
  CRITICAL_SECTION section;
};

RecursiveLock::RecursiveLock() : impl_(std::make_unique<Impl>()) {
  // Spin 1024 times before blocking, with the event pre-allocated (the high
  // bit; later Windows versions ignore it and never fail here).
  InitializeCriticalSectionAndSpinCount(&impl_->section, 0x80000400);
}

RecursiveLock::~RecursiveLock() {
  DeleteCriticalSection(&impl_->section);
}

void RecursiveLock::Lock() {
  EnterCriticalSection(&impl_->section);
}

bool RecursiveLock::TryLock() {
  return TryEnterCriticalSection(&impl_->section) != FALSE;
}

void RecursiveLock::Unlock() {
  LeaveCriticalSection(&impl_->section);
}

// ---- Event -----------------------------------------------------------------

struct Event::Impl {
  HANDLE handle = nullptr;
};

Event::Event(bool manualReset, bool initialState) : impl_(std::make_unique<Impl>()) {
  impl_->handle = CreateEventA(nullptr, manualReset, initialState, nullptr);
}

Event::~Event() {
  if (impl_->handle != nullptr) CloseHandle(impl_->handle);
}

void Event::Set() {
  if (impl_->handle != nullptr) SetEvent(impl_->handle);
}

void Event::Reset() {
  if (impl_->handle != nullptr) ResetEvent(impl_->handle);
}

bool Event::Wait(uint32_t milliseconds) {
  if (impl_->handle == nullptr) return false;
  if (milliseconds == 0 || milliseconds == kInfinite) {
    return WaitForSingleObject(impl_->handle, milliseconds) == WAIT_OBJECT_0;
  }
  // The wait is measured on the dilated performance counter: a system wait
  // may end a little before its real time-out, and a dilated wait must never
  // end before its dilated time, so a time-out that comes early waits again
  // for the rest.
  const int64_t frequency = PerformanceFrequency();
  const int64_t deadline =
      PerformanceCounter() + (static_cast<int64_t>(milliseconds) * frequency + 999) / 1000;
  for (;;) {
    const int64_t remaining = deadline - PerformanceCounter();
    if (remaining <= 0) return WaitForSingleObject(impl_->handle, 0) == WAIT_OBJECT_0;
    const int64_t remainingMs =
        (remaining / frequency) * 1000 + (remaining % frequency) * 1000 / frequency;
    const uint32_t dilatedMs =
        remainingMs >= kInfinite - 1 ? kInfinite - 1 : static_cast<uint32_t>(remainingMs) + 1;
    const DWORD result = WaitForSingleObject(impl_->handle, RealMilliseconds(dilatedMs));
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_TIMEOUT) return false;
  }
}

// ---- Named mutexes ---------------------------------------------------------

bool IsNamedMutexPresent(const char* name) {
  if (name == nullptr) return false;
  // Opened, never created: creating one to ask would make a second program
  // asking at the same moment find it and report the name held. A mutex we
  // may not open exists all the same.
  HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
  const DWORD error = GetLastError();
  if (mutex != nullptr) CloseHandle(mutex);
  if (mutex == nullptr && error != ERROR_ACCESS_DENIED) return false;
  SetLastError(kErrorAlreadyExists);
  return true;
}

struct NamedMutexHolder::Impl {
  HANDLE mutex = nullptr;
  std::string name;
};

namespace {

// The names this process holds. A Windows mutex may be taken again by the
// thread that owns it, so ownership alone cannot refuse a second holder in
// this process; this list does. Never destroyed: holders may end during
// static destruction.
struct HeldNames {
  std::mutex lock;
  std::set<std::string> names;
};
HeldNames& ProcessHeldNames() {
  static HeldNames* held = new HeldNames;
  return *held;
}

// Takes `mutex`, which existed already, when nobody owns it: it may only be
// open in a program that is looking (IsNamedMutexPresent opens it for a
// moment).
bool TakeExisting(HANDLE mutex) {
  const DWORD waited = WaitForSingleObject(mutex, 0);
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

}  // namespace

NamedMutexHolder::NamedMutexHolder(const char* name) : impl_(std::make_unique<Impl>()) {
  if (name == nullptr) return;
  HeldNames& held = ProcessHeldNames();
  std::lock_guard<std::mutex> guard(held.lock);
  if (held.names.count(name) != 0) return;
  HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  if (mutex == nullptr) return;
  // It existed: initial ownership was not granted.
  if (GetLastError() == ERROR_ALREADY_EXISTS && !TakeExisting(mutex)) {
    CloseHandle(mutex);
    return;
  }
  impl_->mutex = mutex;
  impl_->name = name;
  held.names.insert(name);
}

NamedMutexHolder::~NamedMutexHolder() {
  if (impl_->mutex == nullptr) return;
  {
    HeldNames& held = ProcessHeldNames();
    std::lock_guard<std::mutex> guard(held.lock);
    held.names.erase(impl_->name);
  }
  // Only the owning thread can release it; from any other thread closing the
  // last handle still removes the mutex.
  ReleaseMutex(impl_->mutex);
  CloseHandle(impl_->mutex);
}

bool NamedMutexHolder::IsHeld() const {
  return impl_->mutex != nullptr;
}

}  // namespace platform
