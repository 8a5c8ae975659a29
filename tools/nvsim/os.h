// The simulator's own thin layer over the operating system: the sockets of
// its service thread and the files of its device tree. POSIX builds serve
// each entry on a Unix socket and on loopback TCP; Windows builds (run under
// Wine, which has no Unix sockets) serve on loopback TCP only and mark the
// entry with a plain <name>.sock file, which is all a Windows client looks
// for when it lists the class folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace nvsim::os {

// A socket: a descriptor on POSIX, a SOCKET on Windows.
using Socket = intptr_t;
inline constexpr Socket kNoSocket = -1;

// Whether this build serves entries on Unix sockets (false on Windows).
bool HasUnixSockets();

// Readies the socket library (WSAStartup on Windows); safe to call often.
bool StartSockets(std::string* error);

// A non-blocking listener on 127.0.0.1 at a port the system picks.
Socket ListenOnLoopback(uint16_t& port, std::string* error);
// A non-blocking Unix listener bound at tmpPath, then renamed to path so that
// it appears complete. kNoSocket with the error on failure (or on Windows).
Socket ListenUnix(const std::string& tmpPath, const std::string& path, std::string* error);
// A blocking client connection to 127.0.0.1:port, kNoSocket when refused.
Socket ConnectLoopback(uint16_t port);

// The next waiting connection of a listener, non-blocking; kNoSocket when
// none waits.
Socket Accept(Socket listener);
// Small frames leave at once rather than after the peer's delayed ack.
void SetNoDelay(Socket socket);

// Sends what the socket takes now: the bytes taken, 0 when it has no room,
// -1 when the stream is broken.
long SendSome(Socket socket, const void* data, size_t size);
// Sends all of it, waiting for room; false when the stream is broken.
bool SendAll(Socket socket, const void* data, size_t size);
// Waits up to timeoutMs until the socket has room for more bytes.
void WaitWritable(Socket socket, int timeoutMs);
// Receives what is there now: the bytes read, 0 when nothing waits, -1 when
// the peer has ended the stream or it is broken.
long ReceiveSome(Socket socket, void* buffer, size_t size);
// Waits up to timeoutMs for bytes and receives them (as ReceiveSome, with 0
// on time-out).
long ReceiveWithin(Socket socket, void* buffer, size_t size, int timeoutMs);

// Ends a stream at once for the peer (shutdown, then close): closing alone
// would leave it open while the service thread still polls it.
void EndStream(Socket socket);
// Stops a listener at once: later connects are refused and connections
// still in its backlog end before their greeting. Sets it to kNoSocket.
void CloseListener(Socket& listener);
void Close(Socket socket);

// One socket to watch; the result flags are set by Poll.
struct PollItem {
  Socket socket = kNoSocket;
  bool wantWrite = false;
  bool readable = false;  // bytes, a connection to accept, the end or an error
  bool writable = false;
};
// Waits up to timeoutMs (real) until one of the sockets is ready.
void Poll(std::vector<PollItem>& items, int timeoutMs);

// Wakes a thread that waits in Poll: a pipe on POSIX, a loopback datagram
// socket connected to itself on Windows.
class Waker {
 public:
  Waker() = default;
  ~Waker();
  Waker(const Waker&) = delete;
  Waker& operator=(const Waker&) = delete;
  bool Open(std::string* error);
  void Close();
  Socket Watched() const { return read_; }  // readable after Signal
  void Signal();
  void Drain();

 private:
  Socket read_ = kNoSocket;
  Socket write_ = kNoSocket;
};

// Creates a folder and every missing parent; parts may be separated by '/'
// or (on Windows) '\'. True when it exists as a folder afterwards.
bool MakeFolders(const std::string& path, std::string* error);
// Writes text to tmpPath and renames it over path, so that readers see the
// whole file or none.
bool WriteFileAtomically(const std::string& tmpPath, const std::string& path,
                         const std::string& text, std::string* error);
// Deletes a file; no error when it is not there.
void RemoveFile(const std::string& path);

// The text of the last socket or file error, after what.
std::string LastErrorText(const std::string& what);

}  // namespace nvsim::os
