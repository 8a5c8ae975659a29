// The system's per-thread storage on Windows: fiber-local storage, whose
// callback runs when a thread ends. FlsFree also calls it for the values
// still set; the slot tells those apart (they are released only once).
#include <windows.h>

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
