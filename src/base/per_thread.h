// One value per thread, for process-wide per-thread state (message rings,
// scratch buffers). Use it instead of a thread_local with a destructor: such
// a thread_local keeps the library loaded for as long as any thread that
// touched it lives, so the library could never be unloaded. A PerThread
// keeps its values in a platform thread slot: each is released when its
// thread ends, or when the library is unloaded.
//
// Keep a PerThread in Immortal storage (a function-local static): its
// values may be asked for during static destruction.
#pragma once

#include <memory>

#include "platform/thread_slot.h"

template <typename T>
class PerThread {
 public:
  PerThread() : slot_(Release) {}

  // The calling thread's value, made (value-initialised) on first use.
  T& Get() {
    if (void* value = slot_.Get()) return *static_cast<T*>(value);
    auto made = std::make_unique<T>();
    T& result = *made;
    slot_.Set(made.release());
    return result;
  }

 private:
  static void Release(void* value) { delete static_cast<T*>(value); }

  platform::ThreadSlot slot_;
};
