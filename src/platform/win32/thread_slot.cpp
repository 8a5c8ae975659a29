// The system's per-thread storage on Windows: fiber-local storage, whose
// callback runs when a thread ends. FlsFree also calls it for the values
// still set; the slot tells those apart (they are released only once).
//
// Also the two pieces of the C++ run-time that would otherwise leave
// thread-library state behind at every unload. The library links the C++
// and thread run-times statically, and mingw's versions of both keep their
// state in the thread library (winpthreads), which gives nothing back when
// the DLL that holds it is unloaded:
// - thread_local variables (ours and the run-time's own, such as the
//   exception globals) go through __emutls_get_address, whose per-thread
//   blocks sit under a thread-library key; the first use on a thread makes
//   the thread library's record of that thread (a TLS index, an event and a
//   duplicate of the thread handle, and memory);
// - the guards of function-local statics (__cxa_guard_*) wait on a
//   thread-library condition variable (two semaphores) under a
//   thread-library mutex.
// (The C++ run-time's emergency memory for exceptions, 73 KiB, is given back
// by its own __gnu_cxx::__freeres at the same time.)
// Both are defined here on the system's own primitives instead: the
// thread-local blocks live in a fiber-local slot (a thread's block goes
// when the thread ends, every block at unload, after the thread slots
// closed), and the guards use a slim reader/writer lock and a condition
// variable, which need neither handles nor clean-up. The linker takes these
// definitions and leaves the run-time's out.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "platform/thread_slot.h"

namespace platform {

bool CreateThreadKey(void (*endOfThread)(void*), uintptr_t& key) {
  const DWORD index = FlsAlloc(reinterpret_cast<PFLS_CALLBACK_FUNCTION>(endOfThread));
  if (index == FLS_OUT_OF_INDEXES) return false;
  key = index;
  return true;
}

void DeleteThreadKey(uintptr_t key) {
  FlsFree(static_cast<DWORD>(key));
}

void* GetThreadKey(uintptr_t key) {
  return FlsGetValue(static_cast<DWORD>(key));
}

void SetThreadKey(uintptr_t key, void* value) {
  FlsSetValue(static_cast<DWORD>(key), value);
}

}  // namespace platform

// ---------------------------------------------------------------------------
// thread_local variables

namespace {

// The compiler's record of one thread_local variable (libgcc's layout).
struct EmutlsObject {
  uintptr_t size;
  uintptr_t align;
  union {
    uintptr_t index;  // 1-based once the variable has been used
    void* pointer;
  } loc;
  const void* initial;  // the initial bytes, null for zeros
};

// One thread's variables, indexed by the variables' numbers - 1; linked into
// the list of every thread's block.
struct EmutlsBlock {
  EmutlsBlock* previous;
  EmutlsBlock* next;
  uintptr_t count;
  void** values;
};

// All constant-initialised: thread_locals are used from the first static
// initialiser on. Everything below is guarded by g_EmutlsLock.
SRWLOCK g_EmutlsLock = SRWLOCK_INIT;
uintptr_t g_EmutlsVariables = 0;  // numbers handed out
DWORD g_EmutlsSlot = FLS_OUT_OF_INDEXES;
EmutlsBlock* g_EmutlsBlocks = nullptr;

// Frees one thread's block (its thread ended, or the slot is freed).
void WINAPI ReleaseEmutlsBlock(void* value) {
  auto* block = static_cast<EmutlsBlock*>(value);
  if (block == nullptr) return;
  AcquireSRWLockExclusive(&g_EmutlsLock);
  if (block->previous != nullptr)
    block->previous->next = block->next;
  else
    g_EmutlsBlocks = block->next;
  if (block->next != nullptr) block->next->previous = block->previous;
  ReleaseSRWLockExclusive(&g_EmutlsLock);
  for (uintptr_t i = 0; i < block->count; ++i)
    _aligned_free(block->values[i]);
  std::free(block->values);
  std::free(block);
}

[[noreturn]] void OutOfMemory() {
  std::abort();
}

// The variable's number, handed out on its first use.
uintptr_t VariableIndex(EmutlsObject* object) {
  uintptr_t index = __atomic_load_n(&object->loc.index, __ATOMIC_ACQUIRE);
  if (index != 0) return index;
  AcquireSRWLockExclusive(&g_EmutlsLock);
  index = object->loc.index;
  if (index == 0) {
    index = ++g_EmutlsVariables;
    __atomic_store_n(&object->loc.index, index, __ATOMIC_RELEASE);
  }
  ReleaseSRWLockExclusive(&g_EmutlsLock);
  return index;
}

// The calling thread's block with room for `count` variables.
EmutlsBlock* ThreadBlock(uintptr_t count) {
  DWORD slot = __atomic_load_n(&g_EmutlsSlot, __ATOMIC_ACQUIRE);
  if (slot == FLS_OUT_OF_INDEXES) {
    AcquireSRWLockExclusive(&g_EmutlsLock);
    if (g_EmutlsSlot == FLS_OUT_OF_INDEXES) {
      const DWORD made = FlsAlloc(ReleaseEmutlsBlock);
      if (made == FLS_OUT_OF_INDEXES) OutOfMemory();
      __atomic_store_n(&g_EmutlsSlot, made, __ATOMIC_RELEASE);
    }
    slot = g_EmutlsSlot;
    ReleaseSRWLockExclusive(&g_EmutlsLock);
  }
  auto* block = static_cast<EmutlsBlock*>(FlsGetValue(slot));
  if (block == nullptr) {
    block = static_cast<EmutlsBlock*>(std::calloc(1, sizeof(EmutlsBlock)));
    if (block == nullptr) OutOfMemory();
    AcquireSRWLockExclusive(&g_EmutlsLock);
    block->next = g_EmutlsBlocks;
    if (g_EmutlsBlocks != nullptr) g_EmutlsBlocks->previous = block;
    g_EmutlsBlocks = block;
    ReleaseSRWLockExclusive(&g_EmutlsLock);
    FlsSetValue(slot, block);
  }
  if (block->count < count) {
    // Grown under the lock: the unload may walk the block meanwhile.
    const uintptr_t grown = count + 16;
    void** values = static_cast<void**>(std::calloc(grown, sizeof(void*)));
    if (values == nullptr) OutOfMemory();
    AcquireSRWLockExclusive(&g_EmutlsLock);
    if (block->count != 0) std::memcpy(values, block->values, block->count * sizeof(void*));
    std::free(block->values);
    block->values = values;
    block->count = grown;
    ReleaseSRWLockExclusive(&g_EmutlsLock);
  }
  return block;
}

}  // namespace

extern "C" void* __emutls_get_address(EmutlsObject* object) {
  const uintptr_t index = VariableIndex(object);
  EmutlsBlock* block = ThreadBlock(index);
  void*& value = block->values[index - 1];
  if (value == nullptr) {
    const uintptr_t align = object->align > sizeof(void*) ? object->align : sizeof(void*);
    void* made = _aligned_malloc(object->size != 0 ? object->size : 1, align);
    if (made == nullptr) OutOfMemory();
    if (object->initial != nullptr)
      std::memcpy(made, object->initial, object->size);
    else
      std::memset(made, 0, object->size);
    value = made;
  }
  return value;
}

extern "C" void __emutls_register_common(EmutlsObject* object, uintptr_t size, uintptr_t align,
                                         const void* initial) {
  if (object->size < size) {
    object->size = size;
    object->initial = nullptr;
  }
  if (object->align < align) object->align = align;
  if (initial != nullptr && size == object->size) object->initial = initial;
}

// The C++ run-time's release of its emergency exception memory (made for
// memory checkers; not in its headers).
namespace __gnu_cxx {
void __freeres();
}

namespace platform {

void ReleaseRunTimeState() {
  __gnu_cxx::__freeres();
  AcquireSRWLockExclusive(&g_EmutlsLock);
  const DWORD slot = g_EmutlsSlot;
  g_EmutlsSlot = FLS_OUT_OF_INDEXES;
  ReleaseSRWLockExclusive(&g_EmutlsLock);
  // Freeing the slot calls ReleaseEmutlsBlock for every thread's block.
  if (slot != FLS_OUT_OF_INDEXES) FlsFree(slot);
  for (;;) {
    AcquireSRWLockExclusive(&g_EmutlsLock);
    EmutlsBlock* block = g_EmutlsBlocks;
    ReleaseSRWLockExclusive(&g_EmutlsLock);
    if (block == nullptr) break;
    ReleaseEmutlsBlock(block);
  }
}

}  // namespace platform

// ---------------------------------------------------------------------------
// Guards of function-local statics (the Itanium C++ ABI's: byte 0 of the
// guard is set once the object is built; here byte 1 marks a construction
// under way and bytes 4-7 hold the constructing thread)

namespace {

SRWLOCK g_GuardLock = SRWLOCK_INIT;
CONDITION_VARIABLE g_GuardDone = CONDITION_VARIABLE_INIT;

struct GuardBytes {
  unsigned char built;
  unsigned char underWay;
  unsigned char unused[2];
  DWORD thread;
};
static_assert(sizeof(GuardBytes) == 8);

}  // namespace

extern "C" int __cxa_guard_acquire(int64_t* guard) {
  auto* bytes = reinterpret_cast<GuardBytes*>(guard);
  if (__atomic_load_n(&bytes->built, __ATOMIC_ACQUIRE) != 0) return 0;
  const DWORD self = GetCurrentThreadId();
  AcquireSRWLockExclusive(&g_GuardLock);
  for (;;) {
    if (__atomic_load_n(&bytes->built, __ATOMIC_RELAXED) != 0) {
      ReleaseSRWLockExclusive(&g_GuardLock);
      return 0;
    }
    if (bytes->underWay == 0) {
      bytes->underWay = 1;
      bytes->thread = self;
      ReleaseSRWLockExclusive(&g_GuardLock);
      return 1;
    }
    // A static whose construction needs itself would wait for ever.
    if (bytes->thread == self) {
      ReleaseSRWLockExclusive(&g_GuardLock);
      std::terminate();
    }
    SleepConditionVariableSRW(&g_GuardDone, &g_GuardLock, INFINITE, 0);
  }
}

extern "C" void __cxa_guard_release(int64_t* guard) {
  auto* bytes = reinterpret_cast<GuardBytes*>(guard);
  AcquireSRWLockExclusive(&g_GuardLock);
  bytes->underWay = 0;
  bytes->thread = 0;
  __atomic_store_n(&bytes->built, 1, __ATOMIC_RELEASE);
  ReleaseSRWLockExclusive(&g_GuardLock);
  WakeAllConditionVariable(&g_GuardDone);
}

extern "C" void __cxa_guard_abort(int64_t* guard) {
  auto* bytes = reinterpret_cast<GuardBytes*>(guard);
  AcquireSRWLockExclusive(&g_GuardLock);
  bytes->underWay = 0;
  bytes->thread = 0;
  ReleaseSRWLockExclusive(&g_GuardLock);
  WakeAllConditionVariable(&g_GuardDone);
}
