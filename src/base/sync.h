// Locks, events and timers.
#pragma once

#include <cstdint>
#include <memory>

#include "base/object.h"
#include "base/strings.h"
#include "platform/sync.h"

class SContainer;

// Base of waitable objects; every instance is listed in a process-wide list of
// live synchronisation objects while it exists.
class PSyncObject : public BaseObject {
 public:
  PSyncObject();
  ~PSyncObject() override;
  PSyncObject(const PSyncObject&) = delete;
  PSyncObject& operator=(const PSyncObject&) = delete;
  // Tag for an object kept out of the live list (the list's own guard).
  struct Unlisted {};
  const char* ClassName() const override { return "PSyncObject"; }
  virtual void* GetHandle() = 0;

  // Sets the name from a format and empties the description.
  void SetName(const char* format, ...);
  const char* Name() const { return name_.Text(); }

 protected:
  explicit PSyncObject(Unlisted);

  Istr name_;
  Istr description_;

 private:
  bool listed_ = false;
};

// Number of live synchronisation objects (for leak checks).
uint32_t LiveSyncObjectCount();

// A re-entrant lock (a critical section with spin count 1024).
class PSharedObject : public PSyncObject {
 public:
  PSharedObject();
  explicit PSharedObject(const char* name);
  ~PSharedObject() override;
  const char* ClassName() const override { return "PSharedObject"; }

  void Lock();
  void Unlock();
  bool HasLock() const { return lock_ != nullptr; }
  void* GetHandle() override { return this; }

  // The guard of the live list: kept out of the list it guards.
  explicit PSharedObject(Unlisted);

 private:
  std::unique_ptr<platform::RecursiveLock> lock_;
};

// Scoped holder of a PSharedObject or of a container's optional guard.
class PSharedObjectLocker : public BaseObject {
 public:
  explicit PSharedObjectLocker(PSharedObject* object);
  explicit PSharedObjectLocker(PSharedObject& object) : PSharedObjectLocker(&object) {}
  explicit PSharedObjectLocker(const SContainer* container);
  ~PSharedObjectLocker() override;
  PSharedObjectLocker(const PSharedObjectLocker&) = delete;
  PSharedObjectLocker& operator=(const PSharedObjectLocker&) = delete;

 private:
  PSharedObject* object_ = nullptr;
  bool locked_ = false;
};

// Releases a lock taken explicitly when the scope is left without Release().
// The owner (the USB channel) locks first, then builds the Unlocker.
class Unlocker {
 public:
  explicit Unlocker(PSharedObject& lock) : lock_(lock) {}
  ~Unlocker() {
    if (!released_) {
      released_ = true;
      lock_.Unlock();
    }
  }
  // Unlocks now.
  void Release() {
    if (!released_) {
      released_ = true;
      lock_.Unlock();
    }
  }
  Unlocker(const Unlocker&) = delete;
  Unlocker& operator=(const Unlocker&) = delete;

 private:
  PSharedObject& lock_;
  bool released_ = false;
};

// An unnamed manual-reset event. Set/Reset/Wait give false when the event
// could not be created.
class PEvent : public PSyncObject {
 public:
  explicit PEvent(bool initialState);
  ~PEvent() override;
  const char* ClassName() const override { return "PEvent"; }
  bool Set();
  bool Reset();
  // True when signalled within the time; 0 polls.
  bool Wait(uint32_t milliseconds);
  void* GetHandle() override { return event_.get(); }

 private:
  std::unique_ptr<platform::Event> event_;
};

bool IsNamedMutexPresent(const char* name);

// Millisecond time-out on the tick count.
class PTickTimeout {
 public:
  PTickTimeout(uint32_t period, bool expiredNow = false, bool autoRestart = false);
  bool IsExpired();
  uint32_t Elapsed() const;
  void Restart();

  uint32_t start;
  uint32_t deadline;
  uint32_t period;
  bool autoRestart;
};

// Microsecond interval timer on the performance counter. A period of 0 or
// less means no minimum interval: WaitDue then returns at once.
class PIntervalTimerMCS {
 public:
  explicit PIntervalTimerMCS(int64_t periodMicroseconds = -1);
  void Restart(int64_t count = 0);
  void WaitDue(bool restartFirst);

  int64_t startCount = 0;
  int64_t dueCount = 0;
  int64_t period;
};

// Microsecond stopwatch.
class PStopWatchMCS {
 public:
  PStopWatchMCS() { Start(); }
  void Start();
  int64_t ElapsedMCS() const;

 private:
  int64_t start_ = 0;
};
