// Locks and events.
#pragma once

#include <cstdint>
#include <memory>

namespace platform {

// A re-entrant lock (a Windows critical section): the owning thread may take it
// again; each Lock is matched by one Unlock.
class RecursiveLock {
 public:
  RecursiveLock();
  ~RecursiveLock();
  RecursiveLock(const RecursiveLock&) = delete;
  RecursiveLock& operator=(const RecursiveLock&) = delete;

  void Lock();
  bool TryLock();
  void Unlock();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A Windows event: manual reset stays signalled until Reset; auto reset
// releases one waiter and resets itself.
class Event {
 public:
  Event(bool manualReset, bool initialState);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // True when the event is (or becomes) signalled within the dilated time;
  // 0 polls, kInfinite waits for ever.
  bool Wait(uint32_t milliseconds);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Creates a system-wide mutex of that name, initially owned, and closes it at
// once: true when it already existed (error 183), i.e. another program holds
// it. Leaves nothing behind.
bool IsNamedMutexPresent(const char* name);

// Holds a system-wide named mutex until destroyed, as another program would
// (for tests and the simulator).
class NamedMutexHolder {
 public:
  explicit NamedMutexHolder(const char* name);
  ~NamedMutexHolder();
  NamedMutexHolder(const NamedMutexHolder&) = delete;
  NamedMutexHolder& operator=(const NamedMutexHolder&) = delete;
  bool IsHeld() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace platform
