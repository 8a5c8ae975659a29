// The pointer container SContainer, the early-container table and the fatal
// index check.
#include "base/containers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/format.h"
#include "base/sync.h"
#include "platform/message_box.h"
#include "platform/system.h"

[[noreturn]] void FatalIndexError(int64_t index, uint64_t count) {
  std::string path = platform::HostExecutablePath();
  platform::ShowMessageBox(
      Format("Internal error in \"%s\": Invalid array index %d (Count = %u), "
             "exiting. Please contact technical support.",
             path.c_str(), static_cast<int>(index), static_cast<unsigned>(count)),
      "Error", platform::kMbIconHand | platform::kMbSystemModal);
  platform::ExitProcess(-1);
}

// ---------------------------------------------------------------------------
// Containers used before their constructor ran.
//
// The team prefers function-local statics for process-wide registries, and
// new code should use them. A container with static storage that other
// static initialisers may fill before its own constructor runs still works:
// its storage starts zero-filled, the first operation sets it up (delta 32,
// default routines) and enters it here, and its StaticInit constructor keeps
// what was added. The table is plain constant-initialised data, so it is
// usable at any point of static initialisation.

namespace {

constexpr uint32_t kEarlyTableSize = 64;
SContainer* g_earlyContainers[kEarlyTableSize] = {};
uint32_t g_earlyCount = 0;

NVD_NO_SANITIZE_VPTR void ForgetEarly(SContainer* container) {
  for (uint32_t i = 0; i < g_earlyCount; ++i) {
    if (g_earlyContainers[i] == container) {
      g_earlyContainers[i] = g_earlyContainers[--g_earlyCount];
      g_earlyContainers[g_earlyCount] = nullptr;
      return;
    }
  }
}

constexpr uint32_t kDefaultDelta = 32;
constexpr uint64_t kFullLimit = 0x1FFFFE00;
constexpr uint32_t kDeltaDoublingLimit = 0x100000;

// The item routine's answers. With the default routine the items' virtual
// operations are asked directly, in the order that needs the fewest calls;
// the answers are the routine's own.
inline bool ItemsEqual(ItemCompare compare, const BaseObject* a, const BaseObject* b) {
  return compare == SContainer::DefaultCompare ? a->IsEqual(b) : compare(a, b) == 0;
}

inline bool ItemGreater(ItemCompare compare, const BaseObject* a, const BaseObject* b) {
  return compare == SContainer::DefaultCompare ? a->IsGreater(b) && !a->IsEqual(b)
                                               : compare(a, b) > 0;
}

}  // namespace

NVD_NO_SANITIZE_VPTR void ReleaseEarlyContainers() {
  // Clearing can destroy items that own containers of their own; take each
  // entry out of the table before clearing it.
  while (g_earlyCount > 0) {
    SContainer* container = g_earlyContainers[--g_earlyCount];
    g_earlyContainers[g_earlyCount] = nullptr;
    container->Clear();
  }
}

uint32_t EarlyContainerCount() {
  return g_earlyCount;
}

NVD_NO_SANITIZE_VPTR void SContainer::InitialiseEarly() {
  delta_ = kDefaultDelta;
  compare_ = DefaultCompare;
  valid_ = true;
  if (g_earlyCount < kEarlyTableSize) g_earlyContainers[g_earlyCount++] = this;
}

NVD_NO_SANITIZE_VPTR int SContainer::DefaultCompare(const BaseObject* a, const BaseObject* b) {
  if (a->IsEqual(b)) return 0;
  return a->IsGreater(b) ? 1 : -1;
}

// ---------------------------------------------------------------------------
// Construction and destruction

NVD_NO_SANITIZE_VPTR SContainer::SContainer() : SContainer(kDefaultDelta, 0) {}

NVD_NO_SANITIZE_VPTR SContainer::SContainer(uint32_t delta, uint32_t flags)
    : items_(nullptr),
      count_(0),
      capacity_(0),
      delta_(delta),
      flags_(flags),
      compare_(DefaultCompare),
      tail_(0),
      sorted_(false),
      valid_(true),
      guard_(nullptr) {
  if (delta_ == 0) {
    platform::ShowMessageBox("SContainer: delta == 0!", "Error", platform::kMbIconHand);
    delta_ = kDefaultDelta;
  }
  if (flags_ & kThreadSafe) guard_ = new PSharedObject();
}

// Only for containers with static storage: the fields are not initialised
// here, so that entries added before this constructor ran are kept.
NVD_NO_SANITIZE_VPTR SContainer::SContainer(StaticInit, uint32_t flags) {
  if (!valid_) {
    items_ = nullptr;
    count_ = capacity_ = 0;
    delta_ = kDefaultDelta;
    compare_ = DefaultCompare;
    tail_ = 0;
    sorted_ = false;
    guard_ = nullptr;
    valid_ = true;
  }
  flags_ = flags;
  if ((flags_ & kThreadSafe) && guard_ == nullptr) guard_ = new PSharedObject();
}

NVD_NO_SANITIZE_VPTR SContainer::~SContainer() {
  Clear();
  ForgetEarly(this);
  delete guard_;
  guard_ = nullptr;
  valid_ = false;
}

NVD_NO_SANITIZE_VPTR void SContainer::SetOwnsItems(bool owns) {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (owns) {
    flags_ &= ~static_cast<uint32_t>(kNotOwner);
  } else {
    flags_ |= kNotOwner;
  }
}

// ---------------------------------------------------------------------------
// Adding

NVD_NO_SANITIZE_VPTR bool SContainer::Grow() {
  if (static_cast<uint64_t>(delta_) + count_ >= kFullLimit) return false;
  if ((flags_ & kDoublingDelta) && count_ > 0 && delta_ < kDeltaDoublingLimit) delta_ *= 2;
  uint32_t capacity = count_ + delta_;
  void* grown = std::realloc(items_, static_cast<size_t>(capacity) * sizeof(BaseObject*));
  if (grown == nullptr) return false;
  items_ = static_cast<BaseObject**>(grown);
  capacity_ = capacity;
  return true;
}

NVD_NO_SANITIZE_VPTR bool SContainer::Add(BaseObject* item) {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (flags_ & kUnique) {
    int32_t found = -1;
    if (flags_ & kSortedTail) {
      found = Find(item);
    } else if (item != nullptr) {
      for (uint32_t i = 0; i < count_; ++i) {
        if (ItemsEqual(compare_, items_[i], item)) {
          found = static_cast<int32_t>(i);
          break;
        }
      }
    }
    if (found >= 0) {
      // The container destroys only what it owns: a non-owning container
      // leaves both items to their owner.
      const bool owns = (flags_ & kNotOwner) == 0;
      if (flags_ & kDropDuplicate) {
        if (owns && item != items_[found]) delete item;
      } else if (flags_ & kReplaceDuplicate) {
        BaseObject* held = items_[found];
        items_[found] = item;
        if (owns && held != item) delete held;
      }
      return true;
    }
  }
  if (count_ == capacity_ && !Grow()) return false;
  items_[count_++] = item;
  if (g_ObjectCheckHook) g_ObjectCheckHook(item);
  sorted_ = false;
  if (flags_ & kSortedTail) {
    if (++tail_ >= kTailLimit) SortInTail();
  }
  return true;
}

NVD_NO_SANITIZE_VPTR bool SContainer::InsertAt(BaseObject* item, uint32_t index) {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (index > count_) return false;
  const uint32_t before = count_;
  if (!Add(item)) return false;
  if (count_ == before) return true;  // an equal item was found
  // Sorting the tail in may have moved the item: look for it from the end.
  uint32_t at = count_;
  while (at > 0 && items_[at - 1] != item)
    --at;
  if (at == 0) return true;
  --at;
  if (at > index) {
    std::memmove(items_ + index + 1, items_ + index, (at - index) * sizeof(BaseObject*));
  } else if (at < index) {
    std::memmove(items_ + at, items_ + at + 1, (index - at) * sizeof(BaseObject*));
  }
  items_[index] = item;
  sorted_ = false;
  return true;
}

// ---------------------------------------------------------------------------
// Sorting and searching
//
// Items are ordered by "a before b" = compare(b, a) > 0, which stays
// irreflexive even for items that are never equal to anything (null texts),
// so the sort cannot be led astray. The sort is stable: equal items keep the
// order in which they were added, and the search finds the first of them.

namespace {

struct Before {
  ItemCompare compare;
  bool operator()(const BaseObject* a, const BaseObject* b) const {
    return ItemGreater(compare, b, a);
  }
};

}  // namespace

NVD_NO_SANITIZE_VPTR void SContainer::Sort() {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (count_ > 1) {
    std::stable_sort(items_, items_ + count_, Before{compare_});
    if (flags_ & kDescending) std::reverse(items_, items_ + count_);
  }
  sorted_ = true;
  tail_ = 0;
}

// Merges the unsorted tail into the sorted head. The result is the one a
// stable sort of the whole array gives, at the cost of sorting 128 items and
// moving the head once.
NVD_NO_SANITIZE_VPTR void SContainer::SortInTail() {
  const uint32_t n = tail_;
  if ((flags_ & kDescending) || n == 0 || n > count_) {
    Sort();
    return;
  }
  const Before before{compare_};
  BaseObject** tail = items_ + (count_ - n);
  std::stable_sort(tail, tail + n, before);
  BaseObject* pending[256];  // the tail counter is 8-bit
  std::memcpy(pending, tail, n * sizeof(BaseObject*));
  uint32_t headEnd = count_ - n;
  uint32_t write = count_;
  for (uint32_t i = n; i-- > 0;) {
    // Head items that sort after pending[i] move behind it.
    uint32_t pos = static_cast<uint32_t>(
        std::upper_bound(items_, items_ + headEnd, pending[i], before) - items_);
    uint32_t moving = headEnd - pos;
    write -= moving;
    if (moving > 0) std::memmove(items_ + write, items_ + pos, moving * sizeof(BaseObject*));
    items_[--write] = pending[i];
    headEnd = pos;
  }
  sorted_ = true;
  tail_ = 0;
}

// Index of the first item equal to `item` in the sorted range [0, end), or -1.
NVD_NO_SANITIZE_VPTR int32_t SContainer::SearchSorted(const BaseObject* item, uint32_t end) const {
  BaseObject* const* first = items_;
  BaseObject* const* last = items_ + end;
  BaseObject* const* at;
  if (flags_ & kDescending) {
    at = std::lower_bound(first, last, item, [this](const BaseObject* held, const BaseObject* key) {
      return ItemGreater(compare_, held, key);
    });
  } else {
    at = std::lower_bound(first, last, item, [this](const BaseObject* held, const BaseObject* key) {
      return ItemGreater(compare_, key, held);
    });
  }
  if (at != last && ItemsEqual(compare_, *at, item)) return static_cast<int32_t>(at - first);
  return -1;
}

NVD_NO_SANITIZE_VPTR int32_t SContainer::Find(const BaseObject* item) {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (item == nullptr || count_ == 0) return -1;
  if (flags_ & kSortedTail) {
    const uint32_t head = count_ - (tail_ <= count_ ? tail_ : count_);
    for (uint32_t i = head; i < count_; ++i) {
      if (ItemsEqual(compare_, items_[i], item)) return static_cast<int32_t>(i);
    }
    return SearchSorted(item, head);
  }
  if (flags_ & kSorted) {
    if (!sorted_) Sort();
    return SearchSorted(item, count_);
  }
  for (uint32_t i = 0; i < count_; ++i) {
    if (ItemsEqual(compare_, items_[i], item)) return static_cast<int32_t>(i);
  }
  return -1;
}

NVD_NO_SANITIZE_VPTR BaseObject* SContainer::FindItem(const BaseObject* item) {
  PSharedObjectLocker lock(this);
  int32_t index = Find(item);
  return index >= 0 ? items_[index] : nullptr;
}

// ---------------------------------------------------------------------------
// Removing

NVD_NO_SANITIZE_VPTR BaseObject* SContainer::Detach(uint32_t index) {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  if (index >= count_) return nullptr;
  BaseObject* item = items_[index];
  if (tail_ > 0 && index >= count_ - tail_) --tail_;
  --count_;
  std::memmove(items_ + index, items_ + index + 1, (count_ - index) * sizeof(BaseObject*));
  if (capacity_ - count_ >= delta_) {
    capacity_ -= delta_;
    if (capacity_ == 0) {
      std::free(items_);
      items_ = nullptr;
    } else {
      void* shrunk = std::realloc(items_, static_cast<size_t>(capacity_) * sizeof(BaseObject*));
      if (shrunk != nullptr) items_ = static_cast<BaseObject**>(shrunk);
    }
  }
  return item;
}

NVD_NO_SANITIZE_VPTR bool SContainer::Delete(uint32_t index) {
  PSharedObjectLocker lock(this);
  BaseObject* item = Detach(index);
  if (item == nullptr) return false;
  if ((flags_ & kNotOwner) == 0) delete item;
  return true;
}

NVD_NO_SANITIZE_VPTR BaseObject* SContainer::DetachLast() {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  return count_ > 0 ? Detach(count_ - 1) : nullptr;
}

NVD_NO_SANITIZE_VPTR BaseObject* SContainer::Last() const {
  PSharedObjectLocker lock(this);
  return count_ > 0 ? items_[count_ - 1] : nullptr;
}

NVD_NO_SANITIZE_VPTR void SContainer::DeleteAll() {
  EnsureInitialised();
  PSharedObjectLocker lock(this);
  // Items are taken out before they are destroyed: a destructor may look at
  // this container again.
  while (count_ > 0) {
    BaseObject* item = items_[--count_];
    if ((flags_ & kNotOwner) == 0) delete item;
  }
  tail_ = 0;
  sorted_ = false;
}

NVD_NO_SANITIZE_VPTR void SContainer::Clear() {
  if (!valid_) return;
  PSharedObjectLocker lock(this);
  DeleteAll();
  std::free(items_);
  items_ = nullptr;
  capacity_ = 0;
}

NVD_NO_SANITIZE_VPTR BaseObject* SContainer::At(uint32_t index) const {
  if (index >= count_) FatalIndexError(static_cast<int32_t>(index), count_);
  return items_[index];
}
