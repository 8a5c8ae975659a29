// Per-thread values that do not keep the library loaded: the bookkeeping
// shared by every system. The system's per-thread storage itself is in
// posix/ and win32/.
#include "platform/thread_slot.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace platform {

struct ThreadSlot::Entries {
  std::mutex lock;
  std::unordered_set<Entry*> live;
  std::vector<void*> late;  // values given after Close, kept until the slot goes
};

namespace {

// Every slot of the process, to be closed at unload. Slots may be made and
// used during static destruction, so the list is given back only by the
// last act below.
struct SlotList {
  std::mutex lock;
  std::vector<ThreadSlot*> slots;
};
SlotList* g_SlotList = nullptr;
SlotList& Slots() {
  static SlotList* list = g_SlotList = new SlotList;
  return *list;
}

// Built before any other static object of the library (the earliest
// initialisation priority), so destroyed after all of them, even after the
// foundation's Immortal objects (their destroyer is built right after this
// one): the slots still open are closed when nothing of the library can use
// them any more, and then the list goes too, and the run-time's own state last.
struct SlotCloser {
  SlotCloser() { Slots(); }
  ~SlotCloser() {
    CloseThreadSlots();
    delete g_SlotList;
    g_SlotList = nullptr;
    ReleaseRunTimeState();
  }
};
__attribute__((init_priority(101))) SlotCloser g_SlotCloser;

}  // namespace

ThreadSlot::ThreadSlot(Release release) : release_(release), entries_(new Entries) {
  open_ = CreateThreadKey(EndOfThread, key_);
  SlotList& list = Slots();
  std::lock_guard<std::mutex> hold(list.lock);
  list.slots.push_back(this);
}

ThreadSlot::~ThreadSlot() {
  Close();
  if (g_SlotList != nullptr) {
    std::lock_guard<std::mutex> hold(g_SlotList->lock);
    std::erase(g_SlotList->slots, this);
  }
  for (void* value : entries_->late)
    release_(value);
  delete entries_;
}

void ThreadSlot::Set(void* value) {
  if (!open_) {
    std::lock_guard<std::mutex> hold(entries_->lock);
    entries_->late.push_back(value);
    return;
  }
  auto* old = static_cast<Entry*>(GetThreadKey(key_));
  auto* entry = new Entry{this, value};
  {
    std::lock_guard<std::mutex> hold(entries_->lock);
    entries_->live.insert(entry);
  }
  SetThreadKey(key_, entry);
  if (old != nullptr) Retire(old);
}

bool ThreadSlot::Retire(Entry* entry) {
  {
    std::lock_guard<std::mutex> hold(entries_->lock);
    if (entries_->live.erase(entry) == 0) return false;  // Close released it
  }
  release_(entry->value);
  delete entry;
  return true;
}

void ThreadSlot::EndOfThread(void* entry) {
  auto* e = static_cast<Entry*>(entry);
  e->owner->Retire(e);
}

void ThreadSlot::Close() {
  if (!open_) return;
  open_ = false;
  // Given back first, so no thread-exit call can come after the values
  // below are released (one already under way finds its entry gone).
  DeleteThreadKey(key_);
  std::unordered_set<Entry*> left;
  {
    std::lock_guard<std::mutex> hold(entries_->lock);
    left.swap(entries_->live);
  }
  for (Entry* entry : left) {
    release_(entry->value);
    delete entry;
  }
}

void CloseThreadSlots() {
  SlotList& list = Slots();
  std::vector<ThreadSlot*> slots;
  {
    std::lock_guard<std::mutex> hold(list.lock);
    slots = list.slots;
  }
  for (ThreadSlot* slot : slots)
    slot->Close();
}

}  // namespace platform
