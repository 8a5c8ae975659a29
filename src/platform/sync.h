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

// True (last error 183, "already exists") when a system-wide mutex of that
// name exists, i.e. another program holds it. Only looks: it creates nothing
// and takes nothing, so two programs asking at the same moment never see
// each other's question as the mutex, and a program taking the name
// meanwhile is never refused because of it.
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
