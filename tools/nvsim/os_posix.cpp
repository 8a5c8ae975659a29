#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os.h"

namespace nvsim::os {

namespace {

int Fd(Socket socket) {
  return static_cast<int>(socket);
}

bool WouldBlock() {
  return errno == EAGAIN || errno == EWOULDBLOCK;
}

}  // namespace

// POSIX serves entries on Unix sockets as well.
bool HasUnixSockets() {
  return true;
}

// Nothing to ready on POSIX.
bool StartSockets(std::string*) {
  return true;
}

// A listening TCP socket on 127.0.0.1 at a port the kernel picks.
Socket ListenOnLoopback(uint16_t& port, std::string* error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t length = sizeof addr;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 8) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    if (error) *error = LastErrorText("tcp listener on 127.0.0.1");
    if (fd >= 0) ::close(fd);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return fd;
}

// Binds under a temporary name and renames, so that the socket file appears
// only once it accepts connections.
Socket ListenUnix(const std::string& tmpPath, const std::string& path, std::string* error) {
  sockaddr_un addr{};
  if (tmpPath.size() >= sizeof addr.sun_path) {
    if (error) *error = "socket path too long: " + tmpPath;
    return kNoSocket;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, tmpPath.c_str(), tmpPath.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(fd, 8) != 0 || ::rename(tmpPath.c_str(), path.c_str()) != 0) {
    if (error) *error = LastErrorText("socket " + path);
    if (fd >= 0) ::close(fd);
    ::unlink(tmpPath.c_str());
    return kNoSocket;
  }
  return fd;
}

// A blocking connection to 127.0.0.1:port.
Socket ConnectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return kNoSocket;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return kNoSocket;
  }
  return fd;
}

// The next waiting connection, non-blocking and closed on exec.
Socket Accept(Socket listener) {
  const int fd = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  return fd >= 0 ? fd : kNoSocket;
}

// Turns off Nagle's algorithm (meaningless, and harmless, on Unix sockets).
void SetNoDelay(Socket socket) {
  const int on = 1;
  ::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One non-blocking send, retried when interrupted.
long SendSome(Socket socket, const void* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(Fd(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    return WouldBlock() ? 0 : -1;
  }
}

// Waits up to timeoutMs until the socket takes more bytes.
void WaitWritable(Socket socket, int timeoutMs) {
  pollfd item{Fd(socket), POLLOUT, 0};
  ::poll(&item, 1, timeoutMs);
}

// One non-blocking receive, retried when interrupted.
long ReceiveSome(Socket socket, void* buffer, size_t size) {
  for (;;) {
    const ssize_t n = ::recv(Fd(socket), buffer, size, MSG_DONTWAIT);
    if (n > 0) return static_cast<long>(n);
    if (n == 0) return -1;
    if (errno == EINTR) continue;
    return WouldBlock() ? 0 : -1;
  }
}

// Waits for the socket to turn readable, then receives.
long ReceiveWithin(Socket socket, void* buffer, size_t size, int timeoutMs) {
  pollfd item{Fd(socket), POLLIN, 0};
  if (::poll(&item, 1, timeoutMs) <= 0) return 0;
  return ReceiveSome(socket, buffer, size);
}

// shutdown first: the peer sees the end even while another poll holds it.
void EndStream(Socket socket) {
  if (socket == kNoSocket) return;
  ::shutdown(Fd(socket), SHUT_RDWR);
  ::close(Fd(socket));
}

// Shuts the listener down and ends whatever waits in its backlog.
void CloseListener(Socket& listener) {
  if (listener == kNoSocket) return;
  ::shutdown(Fd(listener), SHUT_RDWR);
  for (int c; (c = ::accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
    EndStream(c);
  ::close(Fd(listener));
  listener = kNoSocket;
}

// Closes without ending the stream first.
void Close(Socket socket) {
  if (socket != kNoSocket) ::close(Fd(socket));
}

// poll(2) over the items; a hang-up or error counts as readable.
void Poll(std::vector<PollItem>& items, int timeoutMs) {
  std::vector<pollfd> fds;
  fds.reserve(items.size());
  for (const PollItem& item : items)
    fds.push_back(
        {Fd(item.socket), static_cast<short>(POLLIN | (item.wantWrite ? POLLOUT : 0)), 0});
  ::poll(fds.data(), fds.size(), timeoutMs);
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].readable = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    items[i].writable = (fds[i].revents & POLLOUT) != 0;
  }
}

Waker::~Waker() {
  Close();
}

// A non-blocking pipe.
bool Waker::Open(std::string* error) {
  int fds[2];
  if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
    if (error) *error = LastErrorText("pipe");
    return false;
  }
  read_ = fds[0];
  write_ = fds[1];
  return true;
}

// Closes both ends.
void Waker::Close() {
  for (Socket* end : {&read_, &write_}) {
    if (*end != kNoSocket) ::close(Fd(*end));
    *end = kNoSocket;
  }
}

// One byte into the pipe (a full pipe wakes the reader anyway).
void Waker::Signal() {
  if (write_ == kNoSocket) return;
  const char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(Fd(write_), &byte, 1);
}

// Empties the pipe.
void Waker::Drain() {
  char drain[64];
  while (read_ != kNoSocket && ::read(Fd(read_), drain, sizeof drain) > 0) {
  }
}

// mkdir for every prefix ending at a '/', then for the whole path.
bool MakeFolders(const std::string& path, std::string* error) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (::mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) {
      if (error) *error = LastErrorText("mkdir " + part);
      return false;
    }
  }
  return true;
}

// open, write, close, rename.
bool WriteFileAtomically(const std::string& tmpPath, const std::string& path,
                         const std::string& text, std::string* error) {
  const int file = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file < 0) {
    if (error) *error = LastErrorText("create " + tmpPath);
    return false;
  }
  const bool written = ::write(file, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  ::close(file);
  if (!written || ::rename(tmpPath.c_str(), path.c_str()) != 0) {
    if (error) *error = LastErrorText("write " + path);
    ::unlink(tmpPath.c_str());
    return false;
  }
  return true;
}

// unlink, ignoring a missing file.
void RemoveFile(const std::string& path) {
  ::unlink(path.c_str());
}

// strerror of errno.
std::string LastErrorText(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace nvsim::os
