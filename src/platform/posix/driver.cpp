// Driver I/O on POSIX: the client half of the driver stand-in
// (docs/driver-stand-in.md). A device path is a listening Unix stream socket;
// an open handle is one connection to it, over which framed requests (WRITE,
// READ, CONTROL) go out and exactly one reply comes back for each.
//
// The server keeps the channel time-out and answers a READ with error 121
// when it passes, so reads are not timed here. The client only guards against
// a server that stops answering altogether: a reply that has not come a good
// while after it was due counts as the device being gone.
#include "platform/driver.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/errors.h"
#include "platform/handle_table.h"
#include "platform/stand_in_common.h"
#include "platform/time.h"

namespace platform {

namespace {

using namespace stand_in;

constexpr size_t kMaxSocketPath = sizeof(sockaddr_un{}.sun_path) - 1;  // 107

using SteadyClock = std::chrono::steady_clock;

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

struct Connection;

// The connections of this process, for the fork handlers. Constant-
// initialised, never destroyed.
struct ConnectionList {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  Connection* head = nullptr;
};
ConnectionList g_Connections;

void ListConnection(Connection* connection);
void UnlistConnection(Connection* connection);

// One open handle: a connection to the device's socket.
struct Connection {
  explicit Connection(int descriptor) : fd(descriptor) { ListConnection(this); }
  ~Connection() {
    UnlistConnection(this);
    if (fd >= 0) ::close(fd);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd;                           // -1 once forgotten
  std::atomic<bool> closed{false};  // the handle was closed (maybe while in use)
  // In a forked child: the connection is the parent's. The child's copy of
  // the socket is closed (without shutdown, which would end the parent's
  // connection too) and every request fails as on a device that is gone.
  std::atomic<bool> forgotten{false};
  Connection* previous = nullptr;  // the list of connections
  Connection* next = nullptr;
  std::mutex requestLock;           // one request at a time; guards what follows
  std::atomic<bool> broken{false};  // the device is gone for this handle
  uint32_t timeout = kInitialTimeout;
  ReceiveBuffer received;

  // Gives up on the stream: every later request fails with 1167.
  void Break() {
    if (!broken) {
      broken = true;
      ::shutdown(fd, SHUT_RDWR);
    }
  }

  // Waits until `count` unread bytes are buffered, or the deadline passes
  // (no deadline when `forever`).
  Wait Need(size_t count, bool forever, SteadyClock::time_point deadline) {
    while (received.Buffered() < count) {
      if (closed.load()) return Wait::kClosed;
      received.Reserve(count);
      if (!forever) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
        if (left.count() <= 0) return Wait::kTimedOut;
        pollfd item{fd, POLLIN, 0};
        const int ready =
            ::poll(&item, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
        if (ready < 0 && errno != EINTR) return Wait::kEnded;
        if (ready <= 0) continue;
      }
      const ssize_t got = ::recv(fd, received.Room(), received.RoomSize(), 0);
      if (got > 0) {
        received.Added(static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        return closed.load() ? Wait::kClosed : Wait::kEnded;
      }
    }
    return Wait::kOk;
  }

  // Sends the pieces in full.
  bool SendAll(iovec* pieces, int count) {
    while (count > 0) {
      msghdr message{};
      message.msg_iov = pieces;
      message.msg_iovlen = static_cast<size_t>(count);
      const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      size_t left = static_cast<size_t>(sent);
      while (count > 0 && left >= pieces->iov_len) {
        left -= pieces->iov_len;
        ++pieces;
        --count;
      }
      if (count > 0) {
        pieces->iov_base = static_cast<uint8_t*>(pieces->iov_base) + left;
        pieces->iov_len -= left;
      }
    }
    return true;
  }
};

void HoldConnectionsForFork();
void ReleaseConnectionsInParent();
void ForgetConnectionsInChild();

void ListConnection(Connection* connection) {
  static const bool forkHandlersSet [[maybe_unused]] =
      pthread_atfork(HoldConnectionsForFork, ReleaseConnectionsInParent,
                     ForgetConnectionsInChild) == 0;
  pthread_mutex_lock(&g_Connections.mutex);
  connection->next = g_Connections.head;
  if (g_Connections.head != nullptr) g_Connections.head->previous = connection;
  g_Connections.head = connection;
  pthread_mutex_unlock(&g_Connections.mutex);
}

void UnlistConnection(Connection* connection) {
  pthread_mutex_lock(&g_Connections.mutex);
  if (connection->previous != nullptr) connection->previous->next = connection->next;
  if (connection->next != nullptr) connection->next->previous = connection->previous;
  if (g_Connections.head == connection) g_Connections.head = connection->next;
  pthread_mutex_unlock(&g_Connections.mutex);
}

void HoldConnectionsForFork() {
  pthread_mutex_lock(&g_Connections.mutex);
}

void ReleaseConnectionsInParent() {
  pthread_mutex_unlock(&g_Connections.mutex);
}

// A forked child leaves the parent's instruments alone: a child that merely
// exits would otherwise close them at its unload and end the parent's
// connections. Its request locks may be held by threads that do not exist
// here, so they are never taken again.
void ForgetConnectionsInChild() {
  for (Connection* connection = g_Connections.head; connection != nullptr;
       connection = connection->next) {
    connection->forgotten = true;
    connection->broken = true;
    connection->closed = true;
    if (connection->fd >= 0) ::close(connection->fd);
    connection->fd = -1;
  }
  pthread_mutex_init(&g_Connections.mutex, nullptr);
}

// Takes one frame off the stream.
Received ReceiveFrame(Connection& connection, bool forever, SteadyClock::time_point deadline,
                      Frame& frame) {
  return connection.received.ReceiveFrame(
      [&](size_t count) { return connection.Need(count, forever, deadline); }, frame);
}

HandleTable<Connection>& Handles() {
  return platform::Handles<Connection, 0x1000>();
}

std::shared_ptr<Connection> FindConnection(DeviceHandle handle) {
  return Handles().Find(handle);
}

uint32_t ConnectError(int err) {
  switch (err) {
    case ENOENT:
    case ECONNREFUSED:
    case ENOTSOCK:
      return kErrorFileNotFound;
    case EACCES:
    case EPERM:
      return kErrorAccessDenied;
    default:
      return kErrorGenFailure;
  }
}

// Runs one request: sends it, receives the reply of `replyType` with at least
// 8 bytes of fields (error, count). The caller holds the request lock.
// `forever`/`waitMs`: how long the reply may take (real ms, beyond the grace).
bool Exchange(Connection& connection, iovec* pieces, int count, uint16_t replyType, bool forever,
              int64_t waitMs, Frame& reply) {
  if (connection.broken) return Fail(kErrorDeviceNotConnected);
  if (!connection.SendAll(pieces, count)) {
    if (connection.closed.load()) return Fail(kErrorOperationAborted);
    connection.Break();
    return Fail(kErrorDeviceNotConnected);
  }
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(waitMs + kReplyGraceMs);
  switch (ReceiveFrame(connection, forever, deadline, reply)) {
    case Received::kOk:
      break;
    case Received::kClosed:
      return Fail(kErrorOperationAborted);
    default:  // ended, malformed, or a server that stopped answering
      connection.Break();
      return Fail(kErrorDeviceNotConnected);
  }
  if (reply.type != replyType || reply.length < 8) {
    connection.Break();
    return Fail(kErrorDeviceNotConnected);
  }
  return true;
}

}  // namespace

DeviceHandle OpenDriverHandle(const char* path, bool /*overlapped*/) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return kInvalidDeviceHandle;
  }
  const size_t length = std::strlen(path);
  if (length > kMaxSocketPath) {
    SetLastError(kErrorBadPathname);
    return kInvalidDeviceHandle;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetLastError(ErrorFromErrno(errno));
    return kInvalidDeviceHandle;
  }
  auto connection = std::make_shared<Connection>(fd);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, length);
  int result;
  do {
    result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    SetLastError(ConnectError(errno));
    return kInvalidDeviceHandle;
  }

  // Exactly one greeting frame: HELLO opens, BUSY refuses.
  Frame greeting;
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(GreetingWaitMs());
  switch (ReceiveFrame(*connection, false, deadline, greeting)) {
    case Received::kOk:
      break;
    case Received::kTimedOut:
      SetLastError(kErrorGenFailure);
      return kInvalidDeviceHandle;
    default:
      SetLastError(kErrorFileNotFound);
      return kInvalidDeviceHandle;
  }
  if (const uint32_t error = GreetingError(greeting); error != kErrorSuccess) {
    SetLastError(error);
    return kInvalidDeviceHandle;
  }

  const DeviceHandle handle = Handles().Add(std::move(connection));
  SetLastError(kErrorSuccess);
  return handle;
}

bool WriteDriver(DeviceHandle handle, const void* data, uint32_t count, uint32_t& written) {
  written = 0;
  if (data == nullptr && count != 0) return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Connection> connection = FindConnection(handle);
  if (connection == nullptr) return Fail(kErrorInvalidHandle);
  if (connection->forgotten) return Fail(kErrorDeviceNotConnected);
  std::lock_guard<std::mutex> guard(connection->requestLock);
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Frames carry at most kMaxWritePiece bytes; larger writes go as several.
  // A write of 0 bytes is still one (empty) request.
  uint32_t left = count;
  do {
    const uint32_t piece = std::min(left, kMaxWritePiece);
    uint8_t header[8];
    PutHeader(header, 4 + piece, kWrite);
    iovec pieces[2] = {{header, sizeof header}, {const_cast<uint8_t*>(bytes), piece}};
    Frame reply;
    if (!Exchange(*connection, pieces, piece != 0 ? 2 : 1, kWriteDone, false, 0, reply))
      return false;
    const uint32_t error = GetU32(reply.body);
    const uint32_t accepted = GetU32(reply.body + 4);
    if (error != 0) return Fail(error);
    if (accepted > piece) {
      connection->Break();
      return Fail(kErrorDeviceNotConnected);
    }
    written += accepted;
    bytes += piece;
    left -= piece;
  } while (left != 0);
  SetLastError(kErrorSuccess);
  return true;
}

bool ReadDriver(DeviceHandle handle, void* buffer, uint32_t count, uint32_t& received) {
  received = 0;
  if (buffer == nullptr && count != 0) return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Connection> connection = FindConnection(handle);
  if (connection == nullptr) return Fail(kErrorInvalidHandle);
  if (connection->forgotten) return Fail(kErrorDeviceNotConnected);
  std::lock_guard<std::mutex> guard(connection->requestLock);
  const uint32_t maxBytes = std::min(count, kMaxReadSize);
  uint8_t request[12];
  PutHeader(request, 8, kRead);
  PutU32(request + 8, maxBytes);
  iovec pieces[1] = {{request, sizeof request}};
  // The server answers when data comes or its time-out passes; 0xFFFFFFFF
  // and values from 0x7FFFFFFF on are waited for without limit.
  const uint32_t timeout = connection->timeout;
  const bool forever = timeout >= kEndlessTimeoutFrom && maxBytes != 0;
  Frame reply;
  if (!Exchange(*connection, pieces, 1, kReadDone, forever, RealMilliseconds(timeout), reply))
    return false;
  const uint32_t error = GetU32(reply.body);
  const uint32_t delivered = GetU32(reply.body + 4);
  if (error != 0) return Fail(error);
  if (delivered > maxBytes || delivered > reply.length - 8) {
    connection->Break();
    return Fail(kErrorDeviceNotConnected);
  }
  if (delivered != 0) std::memcpy(buffer, reply.body + 8, delivered);
  received = delivered;
  SetLastError(kErrorSuccess);
  return true;
}

bool DriverControl(DeviceHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                   void* output, uint32_t outputSize, uint32_t& returned) {
  returned = 0;
  if ((input == nullptr && inputSize != 0) || (output == nullptr && outputSize != 0) ||
      inputSize > kMaxControlInput)
    return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Connection> connection = FindConnection(handle);
  if (connection == nullptr) return Fail(kErrorInvalidHandle);
  if (connection->forgotten) return Fail(kErrorDeviceNotConnected);
  std::lock_guard<std::mutex> guard(connection->requestLock);
  uint8_t request[20];
  PutHeader(request, 16 + inputSize, kControl);
  PutU32(request + 8, code);
  PutU32(request + 12, outputSize);
  PutU32(request + 16, inputSize);
  iovec pieces[2] = {{request, sizeof request}, {const_cast<void*>(input), inputSize}};
  Frame reply;
  if (!Exchange(*connection, pieces, inputSize != 0 ? 2 : 1, kControlDone, false, 0, reply))
    return false;
  const uint32_t error = GetU32(reply.body);
  const uint32_t count = GetU32(reply.body + 4);
  if (error != 0) return Fail(error);
  if (count > outputSize || count > reply.length - 8) {
    connection->Break();
    return Fail(kErrorDeviceNotConnected);
  }
  if (count != 0) std::memcpy(output, reply.body + 8, count);
  returned = count;
  // The server now holds this time-out; the reply guard follows it.
  if (code == kIoctlSetTimeout && inputSize >= 4)
    connection->timeout = GetU32(static_cast<const uint8_t*>(input));
  SetLastError(kErrorSuccess);
  return true;
}

bool DriverConnectionAlive(DeviceHandle handle) {
  const std::shared_ptr<Connection> connection = FindConnection(handle);
  if (connection == nullptr) return Fail(kErrorInvalidHandle);
  if (connection->closed.load() || connection->broken.load()) return Fail(kErrorDeviceNotConnected);
  // Between requests the server sends nothing, so a readable socket means
  // either the end of the stream (the device was unplugged) or a reply still
  // waiting for its reader. Peeking keeps that reply where it is; no request
  // lock is needed, since nothing is taken off the stream.
  for (;;) {
    char byte;
    const ssize_t got = ::recv(connection->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (got > 0) break;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return Fail(kErrorDeviceNotConnected);  // end of stream, reset, or another error
  }
  SetLastError(kErrorSuccess);
  return true;
}

void DriverConnectionsAlive(const DeviceHandle* handles, size_t count, bool* alive) {
  // The sockets of the handles still open, and whose each one is.
  std::vector<std::shared_ptr<Connection>> open;
  std::vector<pollfd> items;
  std::vector<size_t> owners;
  open.reserve(count);
  items.reserve(count);
  owners.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    alive[i] = false;
    std::shared_ptr<Connection> connection = FindConnection(handles[i]);
    if (connection == nullptr || connection->closed.load() || connection->broken.load() ||
        connection->forgotten.load() || connection->fd < 0)
      continue;
    items.push_back({connection->fd, POLLIN, 0});
    owners.push_back(i);
    open.push_back(std::move(connection));
  }
  if (items.empty()) return;
  const uint32_t error = LastError();
  int ready = -1;
  do {
    ready = ::poll(items.data(), static_cast<nfds_t>(items.size()), 0);
  } while (ready < 0 && errno == EINTR);
  // Between requests the server sends nothing: a socket with nothing to
  // read and no hang-up stands. The others (and all, if poll failed) are
  // told apart by the single check, which peeks.
  for (size_t k = 0; k < items.size(); ++k)
    alive[owners[k]] =
        (ready >= 0 && items[k].revents == 0) || DriverConnectionAlive(handles[owners[k]]);
  SetLastError(error);
}

bool CloseDriverHandle(DeviceHandle handle) {
  const std::shared_ptr<Connection> connection = Handles().Remove(handle);
  if (connection == nullptr) return Fail(kErrorInvalidHandle);
  // The server sees the end of the stream at once; a thread still waiting on
  // the connection wakes up and fails. The socket itself is closed when the
  // last user lets go of it.
  connection->closed.store(true);
  if (!connection->forgotten) ::shutdown(connection->fd, SHUT_RDWR);
  SetLastError(kErrorSuccess);
  return true;
}

}  // namespace platform
