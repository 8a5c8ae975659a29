// Trace options and the start-up and exit function lists.
//
// Every list here is constructed on first use (a function-local static), so a
// registration made by any static initialiser survives whatever order the
// initialisers of the library's translation units run in.
#include "base/options.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "base/messages.h"

// The start-up code lives in startup.cpp; every user of the option and
// start-up lists needs it linked in, so this reference pulls it out of the
// static library together with this file.
extern const int g_FoundationStartupAnchor;
[[maybe_unused]] static const int* const kStartupAnchor = &g_FoundationStartupAnchor;

uint64_t g_OptionWord = 0;

namespace {

// The enlisted Immortal objects, newest first. Constant-initialised, so an
// object built by any static initialiser finds the list.
constinit std::atomic<ImmortalLink*> g_ImmortalHead{nullptr};

// The library's last act but one, at unload and at process exit: built
// right after the thread slots' closer (priority 101, platform/thread_slot.cpp)
// and before anything else of the library, so its destructor runs after the
// exit phases and every other static destructor, and just before the slots
// are closed. The Immortal objects go first, while the slots still work
// (the per-thread values an object's destructor asks for, and the slots kept
// in Immortal storage, are released as usual); the slots still open close
// last.
struct ImmortalReaper {
  ~ImmortalReaper() { ImmortalLink::DestroyAll(); }
};
__attribute__((init_priority(102))) ImmortalReaper g_ImmortalReaper;

std::vector<TracerEx*>& TracerRegistry() {
  static Immortal<std::vector<TracerEx*>> registry;
  return registry.Get();
}

struct FunctionEntry {
  StartupFunction function;
  int32_t priority;
};

struct FunctionList {
  std::recursive_mutex lock;
  std::vector<FunctionEntry> entries;
  bool ran = false;  // the start-up run has happened
};

FunctionList& StartupList() {
  static Immortal<FunctionList> list;
  return list.Get();
}

struct StepList {
  std::recursive_mutex lock;
  std::vector<std::pair<StartupStep, StartupFunction>> entries;
  std::vector<StartupStep> done;
};

StepList& Steps() {
  static Immortal<StepList> steps;
  return steps.Get();
}

FunctionList& ExitList() {
  static Immortal<FunctionList> list;
  return list.Get();
}

// Stable ascending order by priority: equal priorities keep their
// registration order.
void SortByPriority(std::vector<FunctionEntry>& entries) {
  std::stable_sort(
      entries.begin(), entries.end(),
      [](const FunctionEntry& a, const FunctionEntry& b) { return a.priority < b.priority; });
}

}  // namespace

void ImmortalLink::Enlist(Destroy destroy) {
  destroy_ = destroy;
  next_ = g_ImmortalHead.load(std::memory_order_relaxed);
  while (!g_ImmortalHead.compare_exchange_weak(next_, this, std::memory_order_release,
                                               std::memory_order_relaxed)) {
  }
}

void ImmortalLink::DestroyAll() {
  // Taken one at a time: a destructor may build another object, which then
  // goes next.
  for (;;) {
    ImmortalLink* link = g_ImmortalHead.load(std::memory_order_acquire);
    while (link != nullptr &&
           !g_ImmortalHead.compare_exchange_weak(link, link->next_, std::memory_order_acquire))
      ;
    if (link == nullptr) return;
    link->destroy_(link);
  }
}

TracerEx* RegisterTracerEx(TracerEx* record, const char* key, uint64_t mask, const char* help) {
  if (record == nullptr) return record;
  record->key = key;
  record->mask = mask;
  record->help = help;
  if (key == nullptr) return record;
  auto& registry = TracerRegistry();
  for (const TracerEx* item : registry) {
    if (item->key != nullptr && std::strcmp(item->key, key) == 0) {
      ErrorBox("Duplicate TracerEx item '%s'", key);
      return record;
    }
    if (item->mask == mask) {
      ErrorBox("Duplicate TracerEx mask for item '%s'", key);
      return record;
    }
  }
  registry.push_back(record);
  return record;
}

uint32_t TracerExCount() {
  return static_cast<uint32_t>(TracerRegistry().size());
}

const TracerEx* TracerExAt(uint32_t index) {
  auto& registry = TracerRegistry();
  return index < registry.size() ? registry[index] : nullptr;
}

const TracerEx* FindTracerEx(const char* key) {
  if (key == nullptr) return nullptr;
  for (const TracerEx* item : TracerRegistry())
    if (std::strcmp(item->key, key) == 0) return item;
  return nullptr;
}

void RegisterStartupFunction(StartupFunction function, int32_t priority) {
  if (function == nullptr) return;
  FunctionList& list = StartupList();
  bool runNow = false;
  {
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    if (list.ran)
      runNow = true;
    else
      list.entries.push_back({function, priority});
  }
  // Registered after the run (a static initialiser that ran late): call it at
  // once rather than never.
  if (runNow) function();
}

void RegisterStartupStep(StartupStep step, StartupFunction function) {
  if (function == nullptr) return;
  StepList& steps = Steps();
  bool runNow = false;
  {
    std::lock_guard<std::recursive_mutex> guard(steps.lock);
    runNow = std::find(steps.done.begin(), steps.done.end(), step) != steps.done.end();
    if (!runNow) steps.entries.emplace_back(step, function);
  }
  if (runNow) function();
}

void RunStartupStep(StartupStep step) {
  StepList& steps = Steps();
  std::vector<StartupFunction> functions;
  {
    std::lock_guard<std::recursive_mutex> guard(steps.lock);
    steps.done.push_back(step);
    for (auto it = steps.entries.begin(); it != steps.entries.end();) {
      if (it->first == step) {
        functions.push_back(it->second);
        it = steps.entries.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (StartupFunction function : functions)
    function();
}

void RegisterExitFunction(StartupFunction function, int32_t priority) {
  if (function == nullptr) return;
  FunctionList& list = ExitList();
  std::lock_guard<std::recursive_mutex> guard(list.lock);
  list.entries.push_back({function, priority});
}

void RunStartupFunctions() {
  FunctionList& list = StartupList();
  std::vector<FunctionEntry> pending;
  {
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    list.ran = true;
    pending.swap(list.entries);
  }
  SortByPriority(pending);
  for (const FunctionEntry& entry : pending)
    entry.function();
}

void RunExitFunctions(bool highPhase) {
  FunctionList& list = ExitList();
  std::vector<FunctionEntry> phase;
  {
    std::lock_guard<std::recursive_mutex> guard(list.lock);
    SortByPriority(list.entries);
    // Take this phase's entries out of the list so that each runs once.
    std::vector<FunctionEntry> rest;
    for (const FunctionEntry& entry : list.entries) {
      if ((entry.priority >= 33) == highPhase)
        phase.push_back(entry);
      else
        rest.push_back(entry);
    }
    list.entries.swap(rest);
  }
  // Highest priority first.
  for (auto it = phase.rbegin(); it != phase.rend(); ++it)
    it->function();
}

uint32_t PendingStartupFunctionCount() {
  FunctionList& list = StartupList();
  std::lock_guard<std::recursive_mutex> guard(list.lock);
  return static_cast<uint32_t>(list.entries.size());
}

bool StartupFunctionsRan() {
  FunctionList& list = StartupList();
  std::lock_guard<std::recursive_mutex> guard(list.lock);
  return list.ran;
}
