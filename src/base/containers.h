// Containers: byte-addressed dynamic arrays for values, and the pointer
// container SContainer for BaseObject-derived items.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/object.h"

class PSharedObject;

// Marks code that may run on a static container before its constructor ran
// (see SContainer::StaticInit), which the sanitizer's vptr check would report.
#if defined(__GNUC__) || defined(__clang__)
#define NVD_NO_SANITIZE_VPTR __attribute__((no_sanitize("vptr")))
#else
#define NVD_NO_SANITIZE_VPTR
#endif

// Ends the process after the "Invalid array index" message (exit code -1).
[[noreturn]] void FatalIndexError(int64_t index, uint64_t count);

// Size from which blocks live on the local heap: 4 GiB. Tests lower it to
// exercise the switch between the two heaps; returns the previous value.
uint64_t SetLocalHeapThreshold(uint64_t bytes);

// A storage block: below 4 GiB from the C runtime heap (grown part zero
// filled), from 4 GiB on from the local heap (on POSIX plain calloc/free).
// Failures are shown in an error box captioned with the host program's name
// and leave the block unchanged.
class DynArrayBase {
 public:
  DynArrayBase() = default;
  explicit DynArrayBase(uint64_t bytes) { Resize(bytes); }
  DynArrayBase(const DynArrayBase&) = delete;
  DynArrayBase& operator=(const DynArrayBase&) = delete;
  virtual ~DynArrayBase();

  // 0 frees the block. False (block unchanged) when memory is refused.
  bool Resize(uint64_t bytes);
  void* Data() const { return data_; }
  uint64_t Size() const { return size_; }
  bool InLocalHeap() const { return inLocalHeap_; }

 protected:
  void* data_ = nullptr;
  uint64_t size_ = 0;
  bool inLocalHeap_ = false;
};

template <typename T>
class DynArray : public DynArrayBase {
 public:
  DynArray() = default;
  explicit DynArray(uint64_t count) : DynArrayBase(count * sizeof(T)) {}
  T* Data() const { return static_cast<T*>(data_); }
  uint64_t Count() const { return size_ / sizeof(T); }
  bool ResizeCount(uint64_t count) { return Resize(count * sizeof(T)); }
  T& operator[](uint64_t i) const { return Data()[i]; }
};

// A vector of fixed-size elements.
class PArrayAsVector : public DynArrayBase {
 public:
  PArrayAsVector(uint64_t initialCount, uint64_t delta, uint32_t elementSize);

  // Appends n elements copied from data (zero-filled when data is null).
  bool Append(const void* data, uint64_t n);
  // Address of element index; an index not below the count is fatal.
  void* At(uint64_t index) const;
  uint64_t Count() const { return count_; }
  void SetCount(uint64_t count) { count_ = count; }
  uint64_t Delta() const { return delta_; }
  uint32_t ElementSize() const { return elementSize_; }
  // Makes room for at least `count` elements without changing the count.
  bool Reserve(uint64_t count);
  uint64_t Capacity() const { return size_ / elementSize_; }
  void Clear() { count_ = 0; }

  bool textMode = false;  // holds zero-terminated text (used by lstr)

 protected:
  uint64_t count_ = 0;
  uint64_t delta_;
  uint32_t elementSize_;
};

template <typename T>
class FPArrayAsVector : public PArrayAsVector {
 public:
  explicit FPArrayAsVector(uint64_t initialCount = 0, uint64_t delta = 32)
      : PArrayAsVector(initialCount, delta, sizeof(T)) {}
  T& operator[](uint64_t index) const { return *static_cast<T*>(At(index)); }
  T* Data() const { return static_cast<T*>(data_); }
  bool Add(const T& value) { return Append(&value, 1); }
};

// Text operations over a character vector.
class lstr : public FPArrayAsVector<char> {
 public:
  explicit lstr(uint64_t delta = 256) : FPArrayAsVector<char>(0, delta) {}
  lstr& Append(const char* text);
  lstr& AppendFormat(const char* format, ...);
  size_t Length() const;
  const char* Text() const;  // "" when empty
  void Clear();
};

// Item routine: 0 when equal, 1 when a is greater, -1 otherwise.
using ItemCompare = int (*)(const BaseObject* a, const BaseObject* b);

// Ordered collection of BaseObject pointers, with optional ownership,
// uniqueness, sorting and lock.
class SContainer : public BaseObject {
 public:
  enum Flags : uint32_t {
    kSorted = 0x01,
    kNotOwner = 0x02,
    kUnique = 0x04,
    kDropDuplicate = 0x08,
    kReplaceDuplicate = 0x10,
    kSortedTail = 0x20,
    kDescending = 0x40,
    kDoublingDelta = 0x80,
    kThreadSafe = 0x100,
  };
  static constexpr uint32_t kTailLimit = 128;

  SContainer();
  SContainer(uint32_t delta, uint32_t flags);
  // For a container with static storage that may have been used (and so
  // initialised itself) before its constructor ran: keeps the entries already
  // added and sets only the flags. Relies on zero-filled storage: use it only
  // for namespace-scope statics. New process-wide registries should prefer a
  // function-local static, which is ready before its first use by
  // construction.
  struct StaticInit {};
  SContainer(StaticInit, uint32_t flags);
  ~SContainer() override;
  SContainer(const SContainer&) = delete;
  SContainer& operator=(const SContainer&) = delete;
  const char* ClassName() const override { return "SContainer"; }

  bool Add(BaseObject* item);
  bool InsertAt(BaseObject* item, uint32_t index);
  int32_t Find(const BaseObject* item);
  BaseObject* FindItem(const BaseObject* item);
  BaseObject* Detach(uint32_t index);
  bool Delete(uint32_t index);
  BaseObject* DetachLast();
  BaseObject* Last() const;
  void DeleteAll();
  void Clear();
  void Sort();
  void SetOwnsItems(bool owns);

  // Item at index; an index not below the count is fatal.
  BaseObject* At(uint32_t index) const;
  BaseObject* operator[](uint32_t index) const { return At(index); }
  uint32_t Count() const { return count_; }
  uint32_t Capacity() const { return capacity_; }
  uint32_t Delta() const { return delta_; }
  uint32_t GetFlags() const { return flags_; }
  bool IsSortedNow() const { return sorted_; }
  uint32_t UnsortedTail() const { return tail_; }
  NVD_NO_SANITIZE_VPTR PSharedObject* Guard() const { return guard_; }

  void SetCompare(ItemCompare compare) { compare_ = compare; }
  // The default item routine: 0 when a->IsEqual(b), 1 when a->IsGreater(b),
  // -1 otherwise.
  static int DefaultCompare(const BaseObject* a, const BaseObject* b);

 protected:
  // A container whose constructor has not run yet (zero-filled static
  // storage) sets itself up on first use and enters the early table.
  NVD_NO_SANITIZE_VPTR void EnsureInitialised() {
    if (!valid_) InitialiseEarly();
  }
  void InitialiseEarly();
  void SortInTail();
  int32_t SearchSorted(const BaseObject* item, uint32_t end) const;
  bool Grow();

  // No default member initialisers: the StaticInit constructor must leave
  // the fields of an early-initialised container as they are; the other
  // constructors set every field.
  BaseObject** items_;
  uint32_t count_;
  uint32_t capacity_;
  uint32_t delta_;
  uint32_t flags_;
  ItemCompare compare_;
  uint8_t tail_;
  bool sorted_;
  bool valid_;
  PSharedObject* guard_;
};

// Empties every container that initialised itself before its constructor ran
// (destroying owned items) and releases its array. Run by the exit function
// of priority 10.
void ReleaseEarlyContainers();
// Number of containers in that table (at most 64).
uint32_t EarlyContainerCount();

template <typename T>
class PSContainer : public SContainer {
 public:
  using SContainer::SContainer;
  T* At(uint32_t index) const { return static_cast<T*>(SContainer::At(index)); }
  T* operator[](uint32_t index) const { return At(index); }
  T* Last() const { return static_cast<T*>(SContainer::Last()); }
  T* Detach(uint32_t index) { return static_cast<T*>(SContainer::Detach(index)); }
  T* FindItem(const BaseObject* item) { return static_cast<T*>(SContainer::FindItem(item)); }
};

class Istr;
using IstrContainer = PSContainer<Istr>;
