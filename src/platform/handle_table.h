// The table of open driver handles of a back end: a DeviceHandle is a number
// of the table, each naming one shared connection (a stand-in's socket, a
// Windows device handle with its overlapped state). Numbers go from the
// table's first on in steps of 4, wrap before 0x7FFFFFF0 and are never 0 or
// kInvalidDeviceHandle.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

namespace platform {

template <typename Connection>
class HandleTable {
 public:
  explicit HandleTable(uintptr_t first) : first_(first), next_(first) {}

  // A new handle for the connection.
  uintptr_t Add(std::shared_ptr<Connection> connection) {
    std::lock_guard<std::mutex> guard(lock_);
    uintptr_t handle;
    do {
      handle = next_;
      next_ += 4;
      if (next_ >= 0x7FFFFFF0) next_ = first_;
    } while (open_.count(handle) != 0);
    open_.emplace(handle, std::move(connection));
    return handle;
  }

  // The connection of a handle, or null.
  std::shared_ptr<Connection> Find(uintptr_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = open_.find(handle);
    return found == open_.end() ? nullptr : found->second;
  }

  // Takes the handle out of the table: its connection, or null.
  std::shared_ptr<Connection> Remove(uintptr_t handle) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto found = open_.find(handle);
    if (found == open_.end()) return nullptr;
    std::shared_ptr<Connection> connection = std::move(found->second);
    open_.erase(found);
    // The table itself is never destroyed: once the last handle is closed
    // (as at every unload) it gives its bucket array back too.
    if (open_.empty()) decltype(open_)().swap(open_);
    return connection;
  }

 private:
  std::mutex lock_;
  std::unordered_map<uintptr_t, std::shared_ptr<Connection>> open_;
  const uintptr_t first_;
  uintptr_t next_;
};

// The process's table for one kind of connection. It is never destroyed:
// devices held by static objects are closed during static destruction.
template <typename Connection, uintptr_t kFirst>
HandleTable<Connection>& Handles() {
  alignas(HandleTable<Connection>) static unsigned char storage[sizeof(HandleTable<Connection>)];
  static HandleTable<Connection>* table = ::new (storage) HandleTable<Connection>(kFirst);
  return *table;
}

}  // namespace platform
