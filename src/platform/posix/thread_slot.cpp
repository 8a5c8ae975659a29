// The system's per-thread storage on POSIX: pthread keys, whose destructor
// runs when a thread ends.
#include <pthread.h>

#include "platform/thread_slot.h"

namespace platform {

bool CreateThreadKey(void (*endOfThread)(void*), uintptr_t& key) {
  pthread_key_t created;
  if (pthread_key_create(&created, endOfThread) != 0) return false;
  key = created;
  return true;
}

void DeleteThreadKey(uintptr_t key) {
  // Calls no destructor: the slot releases what threads still hold.
  pthread_key_delete(static_cast<pthread_key_t>(key));
}

void* GetThreadKey(uintptr_t key) {
  return pthread_getspecific(static_cast<pthread_key_t>(key));
}

void SetThreadKey(uintptr_t key, void* value) {
  pthread_setspecific(static_cast<pthread_key_t>(key), value);
}

void ReleaseRunTimeState() {}

}  // namespace platform
