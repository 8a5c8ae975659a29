#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// winsock2.h before windows.h.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "os.h"

namespace nvsim::os {

namespace {

SOCKET Sock(Socket socket) {
  return static_cast<SOCKET>(socket);
}

Socket FromSock(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<Socket>(socket);
}

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  return addr;
}

// Whether a failed call only found nothing to do on a non-blocking socket.
bool WouldBlock() {
  const int error = ::WSAGetLastError();
  return error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAEINPROGRESS;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A move over a file that a reader holds open may fail for a moment.
bool Transient(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
         error == ERROR_LOCK_VIOLATION;
}

}  // namespace

// Windows has no Unix sockets (and Wine none that a Windows program reaches).
bool HasUnixSockets() {
  return false;
}

// WSAStartup once per process; the result is kept.
bool StartSockets(std::string* error) {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data;
    result = ::WSAStartup(MAKEWORD(2, 2), &data);
  });
  if (result != 0 && error) *error = "WSAStartup failed: " + std::to_string(result);
  return result == 0;
}

// A listening TCP socket on 127.0.0.1 at a port the system picks.
Socket ListenOnLoopback(uint16_t& port, std::string* error) {
  if (!StartSockets(error)) return kNoSocket;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in addr = Loopback(0);
  int length = sizeof addr;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(s, 8) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
      !SetNonBlocking(s)) {
    if (error) *error = LastErrorText("tcp listener on 127.0.0.1");
    if (s != INVALID_SOCKET) ::closesocket(s);
    return kNoSocket;
  }
  port = ntohs(addr.sin_port);
  return FromSock(s);
}

// Not available: entries are marked with a plain file instead.
Socket ListenUnix(const std::string&, const std::string& path, std::string* error) {
  if (error) *error = "socket " + path + ": no Unix sockets on this system";
  return kNoSocket;
}

// A blocking connection to 127.0.0.1:port.
Socket ConnectLoopback(uint16_t port) {
  if (!StartSockets(nullptr)) return kNoSocket;
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return kNoSocket;
  const sockaddr_in addr = Loopback(port);
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    ::closesocket(s);
    return kNoSocket;
  }
  return FromSock(s);
}

// The next waiting connection, made non-blocking.
Socket Accept(Socket listener) {
  const SOCKET s = ::accept(Sock(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return kNoSocket;
  SetNonBlocking(s);
  return FromSock(s);
}

// Turns off Nagle's algorithm.
void SetNoDelay(Socket socket) {
  const BOOL on = TRUE;
  ::setsockopt(Sock(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
               sizeof on);
}

// One send of at most 1 GiB (send takes an int).
long SendSome(Socket socket, const void* data, size_t size) {
  const int chunk = static_cast<int>(size < (1u << 30) ? size : (1u << 30));
  const int n = ::send(Sock(socket), static_cast<const char*>(data), chunk, 0);
  if (n >= 0) return n;
  return WouldBlock() ? 0 : -1;
}

// Waits up to timeoutMs until the socket takes more bytes.
void WaitWritable(Socket socket, int timeoutMs) {
  WSAPOLLFD item{Sock(socket), POLLWRNORM, 0};
  ::WSAPoll(&item, 1, timeoutMs);
}

// One receive; the end of the stream and every hard error give -1.
long ReceiveSome(Socket socket, void* buffer, size_t size) {
  const int chunk = static_cast<int>(size < (1u << 30) ? size : (1u << 30));
  const int n = ::recv(Sock(socket), static_cast<char*>(buffer), chunk, 0);
  if (n > 0) return n;
  if (n == 0) return -1;
  return WouldBlock() ? 0 : -1;
}

// Waits for the socket to turn readable, then receives (without blocking).
long ReceiveWithin(Socket socket, void* buffer, size_t size, int timeoutMs) {
  WSAPOLLFD item{Sock(socket), POLLRDNORM, 0};
  if (::WSAPoll(&item, 1, timeoutMs) <= 0) return 0;
  u_long on = 1;
  ::ioctlsocket(Sock(socket), FIONBIO, &on);
  return ReceiveSome(socket, buffer, size);
}

// shutdown first, so that the peer sees the end at once.
void EndStream(Socket socket) {
  if (socket == kNoSocket) return;
  ::shutdown(Sock(socket), SD_BOTH);
  ::closesocket(Sock(socket));
}

// Ends whatever waits in the backlog, then closes: from then on connects
// are refused.
void CloseListener(Socket& listener) {
  if (listener == kNoSocket) return;
  for (Socket c; (c = Accept(listener)) != kNoSocket;)
    EndStream(c);
  ::closesocket(Sock(listener));
  listener = kNoSocket;
}

// closesocket without a shutdown.
void Close(Socket socket) {
  if (socket != kNoSocket) ::closesocket(Sock(socket));
}

// WSAPoll over the items; a hang-up or error counts as readable.
void Poll(std::vector<PollItem>& items, int timeoutMs) {
  std::vector<WSAPOLLFD> fds;
  fds.reserve(items.size());
  for (const PollItem& item : items) {
    const SHORT events = static_cast<SHORT>(POLLRDNORM | (item.wantWrite ? POLLWRNORM : 0));
    fds.push_back({Sock(item.socket), events, 0});
  }
  if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs) == SOCKET_ERROR) {
    ::Sleep(static_cast<DWORD>(timeoutMs > 10 ? 10 : timeoutMs));  // no busy loop on failure
  }
  for (size_t i = 0; i < items.size(); ++i) {
    items[i].readable = (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) != 0;
    items[i].writable = (fds[i].revents & POLLWRNORM) != 0;
  }
}

Waker::~Waker() {
  Close();
}

// A non-blocking UDP socket on 127.0.0.1 connected to itself: a Signal sends
// it one datagram.
bool Waker::Open(std::string* error) {
  if (!StartSockets(error)) return false;
  const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in addr = Loopback(0);
  int length = sizeof addr;
  if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &length) != 0 ||
      ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || !SetNonBlocking(s)) {
    if (error) *error = LastErrorText("wake socket");
    if (s != INVALID_SOCKET) ::closesocket(s);
    return false;
  }
  read_ = write_ = FromSock(s);
  return true;
}

// One socket serves both ends.
void Waker::Close() {
  if (read_ != kNoSocket) ::closesocket(Sock(read_));
  read_ = write_ = kNoSocket;
}

// One datagram to itself.
void Waker::Signal() {
  if (write_ == kNoSocket) return;
  const char byte = 1;
  ::send(Sock(write_), &byte, 1, 0);
}

// Takes every waiting datagram.
void Waker::Drain() {
  char drain[64];
  while (read_ != kNoSocket && ::recv(Sock(read_), drain, sizeof drain, 0) > 0) {
  }
}

// CreateDirectoryA for every prefix ending at a separator (a drive such as
// "C:" is skipped), then for the whole path.
bool MakeFolders(const std::string& path, std::string* error) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/' && path[pos] != '\\') continue;
    const std::string part = path.substr(0, pos);
    if (part.back() == ':' || part.back() == '/' || part.back() == '\\') continue;
    if (!::CreateDirectoryA(part.c_str(), nullptr) && !IsFolder(part)) {
      if (error) *error = LastErrorText("mkdir " + part);
      return false;
    }
  }
  return true;
}

// CreateFile, WriteFile, then MoveFileEx over the old file (retried for a
// moment while a reader holds it without delete sharing).
bool WriteFileAtomically(const std::string& tmpPath, const std::string& path,
                         const std::string& text, std::string* error) {
  const HANDLE file = ::CreateFileA(tmpPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    if (error) *error = LastErrorText("create " + tmpPath);
    return false;
  }
  DWORD written = 0;
  const bool ok = text.empty() || (::WriteFile(file, text.data(), static_cast<DWORD>(text.size()),
                                               &written, nullptr) &&
                                   written == text.size());
  ::CloseHandle(file);
  bool moved = ok;
  for (int attempt = 0; moved; ++attempt) {
    if (::MoveFileExA(tmpPath.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) break;
    if (attempt == 100 || !Transient(::GetLastError())) moved = false;
    if (moved) ::Sleep(1);
  }
  if (!moved) {
    if (error) *error = LastErrorText("write " + path);
    ::DeleteFileA(tmpPath.c_str());
    return false;
  }
  return true;
}

// DeleteFileA, ignoring a missing file.
void RemoveFile(const std::string& path) {
  ::DeleteFileA(path.c_str());
}

// The system's message for GetLastError (which also holds Winsock's error).
std::string LastErrorText(const std::string& what) {
  const DWORD code = ::GetLastError();
  char text[256] = {};
  const DWORD length = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
    message.pop_back();
  return what + ": error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

}  // namespace nvsim::os
