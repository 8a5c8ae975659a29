// Per-thread values that do not keep the library loaded.
//
// A C++ thread_local with a destructor pins the module that holds it until
// every thread that touched it has ended (its destructor must stay callable),
// so neither dlclose nor FreeLibrary would ever unload the library. A
// ThreadSlot keeps its values in the system's own per-thread storage with
// the system's thread-exit clean-up (a pthread key, a fiber-local slot) and
// remembers every value it handed out: a value is released when its thread
// ends, and when the library is unloaded every slot is closed, which
// releases the values of the threads that still run and leaves no
// thread-exit call pointing into the library.
//
// A slot destroyed closes itself. The library's slots live in Immortal
// storage (function-local), which is destroyed just before the platform's
// own last act at unload and at process exit: closing every slot still open.
#pragma once

#include <cstdint>

namespace platform {

class ThreadSlot {
 public:
  using Release = void (*)(void* value);
  explicit ThreadSlot(Release release);
  ~ThreadSlot();
  ThreadSlot(const ThreadSlot&) = delete;
  ThreadSlot& operator=(const ThreadSlot&) = delete;

  // The calling thread's value; null until Set on this thread.
  void* Get() const;
  // Gives the calling thread a value (one it had before is released). A
  // value given after the slot was closed is kept until the slot is
  // destroyed.
  void Set(void* value);

  // Releases every value and gives the per-thread storage back (at unload).
  void Close();

  // One entry per thread and value, held in the system's per-thread storage.
  struct Entry {
    ThreadSlot* owner;
    void* value;
  };
  // Called by the system's thread-exit clean-up with a thread's entry.
  static void EndOfThread(void* entry);

 private:
  bool Retire(Entry* entry);

  Release release_;
  uintptr_t key_ = 0;  // the system's per-thread storage index
  bool open_ = false;
  struct Entries;
  Entries* entries_;  // the values handed out, with their lock
};

// Closes every slot of the process (the library's last act, at unload and
// at process exit).
void CloseThreadSlots();

// The system's per-thread storage, for ThreadSlot: an index whose values
// get `endOfThread` called when their thread ends (not when the index is
// freed).
bool CreateThreadKey(void (*endOfThread)(void*), uintptr_t& key);
void DeleteThreadKey(uintptr_t key);
void* GetThreadKey(uintptr_t key);
void SetThreadKey(uintptr_t key, void* value);

// Gives back what the run-time linked into the library keeps for each load
// (on Windows: every thread's thread_local variables, kept apart from the
// module by mingw's emulated thread-local storage, and the C++ run-time's
// emergency exception memory); the library's very last act, after the slots
// closed. Nothing on POSIX, where the C library gives a module's
// thread-local storage back itself and the C++ run-time is shared.
void ReleaseRunTimeState();

// Inline: per-thread state is asked for on hot paths (every Format).
inline void* ThreadSlot::Get() const {
  if (!open_) return nullptr;
  const auto* entry = static_cast<const Entry*>(GetThreadKey(key_));
  return entry != nullptr ? entry->value : nullptr;
}

}  // namespace platform
