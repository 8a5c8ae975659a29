// Trace options (bits of the process-wide option word) and the start-up and
// exit function lists.
#pragma once

#include <cstdint>
#include <memory>

#include "base/object.h"

// One trace option: a short key, one bit of the option word, a two-language
// help text ("English|second language").
struct TracerEx {
  const char* key;
  uint64_t mask;
  const char* help;
};

// Registers a trace option (duplicate keys and masks are reported and
// skipped); returns the record.
TracerEx* RegisterTracerEx(TracerEx* record, const char* key, uint64_t mask, const char* help);
// The registered options in registration order.
uint32_t TracerExCount();
const TracerEx* TracerExAt(uint32_t index);     // null past the count
const TracerEx* FindTracerEx(const char* key);  // null when not registered

// The process-wide option word (0 at load) and the option test.
extern uint64_t g_OptionWord;
inline bool IsOptionOn(uint64_t mask) {
  return (g_OptionWord & mask) != 0;
}

// The masks by name.
enum : uint64_t {
  kOptForceTargetUpload = 2,     // ftu
  kOptDebugOn = 8,               // dbg
  kOptDebugOff = 16,             // ndbg
  kOptTraceSql = 32,             // tsql
  kOptSkipTargetUpload = 128,    // ntu
  kOptNoKaltoCheck = 256,        // klt
  kOptLogTimestamps = 512,       // tlog
  kOptEndlessUsbTimeout = 1024,  // et
  kOptNoFirmwareImage = 2048,    // nfw
  kOptFullCommandTrace = 4096,   // fct
};

// Start-up and exit lists of {function, priority}. Both are built on first
// use, so registrations from any static initialiser survive. The library's
// start-up (startup.cpp) runs the start-up list once, as the last step of its
// static initialisation; static registrations (NVD_STATIC_REGISTRATION below)
// all come before it. A function registered after that run is called at once
// instead of being left behind.
using StartupFunction = void (*)();
void RegisterStartupFunction(StartupFunction function, int32_t priority);
void RegisterExitFunction(StartupFunction function, int32_t priority);
// Sorts the pending start-up entries by ascending priority (equal priorities
// in registration order) and calls every one.
void RunStartupFunctions();
// Runs the exit functions of one phase (priority below 33, or 33 and above),
// highest priority first; each function runs once.
void RunExitFunctions(bool highPhase);
uint32_t PendingStartupFunctionCount();
bool StartupFunctionsRan();

// Priorities used by the library.
enum : int32_t {
  kExitPriorityEarlyContainers = 10,  // empties the early static containers
  kStartupPriorityDeferred = 100,     // source names, protocol tables
};

// A static registration with the lists above: the body runs during static
// initialisation, before every initialiser of default priority, and so before
// the library's start-up (startup.cpp) whatever the link order and however
// the system orders initialisers of different files. Every registration made
// from a static initialiser is written with this macro:
//   NVD_STATIC_REGISTRATION(g_ItemTableStep) {
//     RegisterStartupStep(StartupStep::kVirtualItems, BuildItemTable);
//   }
// The body may use only what is built on first use (the lists and other
// function-local statics) or constant-initialised.
class StaticRegistration {
 public:
  explicit StaticRegistration(void (*body)()) { body(); }
  StaticRegistration(const StaticRegistration&) = delete;
  StaticRegistration& operator=(const StaticRegistration&) = delete;
};
// 101 is the first priority left to programs; the C++ run-time uses lower.
#define NVD_REGISTRATION_PRIORITY 200
#define NVD_STATIC_REGISTRATION(name)                                         \
  static void name##Body();                                                   \
  [[maybe_unused]] static const StaticRegistration name                       \
      __attribute__((init_priority(NVD_REGISTRATION_PRIORITY))) (name##Body); \
  static void name##Body()

// The steps of the library's start-up that upper layers fill in. Each layer
// registers its function from a static initialiser of its own; the start-up
// calls the functions of a step, in registration order, at that step:
//   kDeviceRegistry  - step 1, before the foundation's objects: build the
//                      device registry;
//   kProtocolEntries - step 4, after the hooks: register the protocol's
//                      deferred start-up entries (RegisterStartupFunction with
//                      kStartupPriorityDeferred);
//   kVirtualItems    - step 5, before the first trace options: build the
//                      virtual-item table;
//   kTransportEntries - step 6, after the first trace options: register the
//                      transport's deferred start-up entry (so that it runs
//                      after the protocol's ones of the same priority).
// A function registered after its step has passed is called at once.
enum class StartupStep {
  kDeviceRegistry = 1,
  kProtocolEntries = 4,
  kVirtualItems = 5,
  kTransportEntries = 6
};
void RegisterStartupStep(StartupStep step, StartupFunction function);
// Calls the functions registered for a step (the start-up does this).
void RunStartupStep(StartupStep step);

// Storage for a process-wide object that is built on first use (a
// function-local static of this type) and outlives every other static object
// of the library: the exit phases run from atexit while static destruction
// is under way, and whatever they or a late log line touch must still be
// there. Each object enlists itself once built; the library's last static
// destructor (ImmortalLink::DestroyAll, at unload and at process exit alike)
// destroys them all in reverse order of construction, after the exit phases
// and every other static destructor, so that unloading the library gives
// everything back. Nothing of the library may run after that.
class ImmortalLink {
 public:
  ImmortalLink(const ImmortalLink&) = delete;
  ImmortalLink& operator=(const ImmortalLink&) = delete;

  // Destroys every enlisted object, the newest first (one built meanwhile
  // too). Called once, by the last static destructor.
  static void DestroyAll();

 protected:
  using Destroy = void (*)(ImmortalLink* link);
  ImmortalLink() = default;
  ~ImmortalLink() = default;
  // Puts the object, just built, at the head of the process-wide list.
  void Enlist(Destroy destroy);

 private:
  ImmortalLink* next_ = nullptr;
  Destroy destroy_ = nullptr;
};

template <typename T>
class Immortal : private ImmortalLink {
 public:
  template <typename... Args>
  explicit Immortal(Args&&... args) {
    std::construct_at(&value_, static_cast<Args&&>(args)...);
    Enlist(DestroyValue);
  }
  // The value is destroyed by ImmortalLink::DestroyAll, never here.
  ~Immortal() {}
  Immortal(const Immortal&) = delete;
  Immortal& operator=(const Immortal&) = delete;
  T& Get() { return value_; }

 private:
  static void DestroyValue(ImmortalLink* link) {
    std::destroy_at(&static_cast<Immortal*>(link)->value_);
  }

  union {
    T value_;
  };
};
