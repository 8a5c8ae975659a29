// The driver stand-in (docs/driver-stand-in.md) as both of its clients read
// it: the POSIX one over Unix sockets (posix/driver.cpp, posix/enumeration.cpp)
// and the Windows one over TCP on loopback (win32/stand_in.cpp). Here are the
// rules of the device root's folders and entries, the frames on a
// connection; how folders are listed, files
// read and bytes moved is each system's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/enumeration.h"

namespace platform::stand_in {

// ---------------------------------------------------------------------------
// The folder tree.

inline constexpr const char* kDefaultDeviceRoot = "/tmp/nvdevices";
inline constexpr const char* kSocketSuffix = ".sock";
inline constexpr const char* kPropertiesSuffix = ".props";
// Properties files are a few short lines; more than this is not read.
inline constexpr size_t kMaxPropertiesBytes = 0x10000;

// An entry's properties (<name>.props): lines "key=value".
struct Properties {
  std::optional<std::string> service;
  std::optional<std::string> location;
  std::optional<std::string> description;
  uint16_t tcpPort = 0;  // `tcp`, for clients that cannot reach the socket; 0: none

  // The text of a registry property (kPropertyService ...), or null when the
  // entry does not have it.
  const std::optional<std::string>* Find(uint32_t property) const;
};

// A CR before the LF is dropped, the first occurrence of a key counts, lines
// without "=" and unknown keys are ignored. `tcp` is a port from 1 to 65535
// in decimal digits, else 0.
Properties ParseProperties(const std::string& text);

// The class folder of an interface class under a device root.
std::string ClassFolder(const std::string& root, const Guid& interfaceClass);

// The present entries' names among a class folder's file names: each
// <name>.sock whose name is a valid entry name (at most 48 of A-Z a-z 0-9
// _ - ., not starting with "."), in ascending byte order.
std::vector<std::string> EntryNames(const std::vector<std::string>& files);

// An entry's device path (<folder>/<name>.sock).
std::string DevicePath(const std::string& folder, const std::string& name);

// The properties file beside a device path (<name>.sock gives <name>.props);
// false when the path does not name a socket entry.
bool PropertiesPath(const std::string& devicePath, std::string& propertiesPath);

// ---------------------------------------------------------------------------
// Frames: a little-endian u32 `size` (the bytes after it), u16 type, u16 0,
// then the type's fields.

enum : uint16_t {
  kHello = 0x0001,
  kBusy = 0x0002,
  kWrite = 0x0010,
  kWriteDone = 0x0011,
  kRead = 0x0012,
  kReadDone = 0x0013,
  kControl = 0x0014,
  kControlDone = 0x0015,
};

inline constexpr uint32_t kMaxFrameSize = 0x110000;            // largest `size` field
inline constexpr uint32_t kMaxReadSize = 0x100000;             // largest READ the server serves
inline constexpr uint32_t kMaxWritePiece = kMaxFrameSize - 4;  // payload of one WRITE frame
inline constexpr uint32_t kMaxControlInput = kMaxFrameSize - 16;
inline constexpr uint32_t kInitialTimeout = 5000;  // of a new connection
// Channel time-outs from this value on are waited for without limit.
inline constexpr uint32_t kEndlessTimeoutFrom = 0x7FFFFFFF;

// Time allowed for the greeting (5000 dilated ms, but never less than half a
// real second), and real time allowed for a reply beyond the time it is due
// (a WRITE or CONTROL reply is due at once, a READ reply after the channel
// time-out). A working server answers within milliseconds; these only keep a
// stuck one from hanging the caller for ever.
inline constexpr uint32_t kGreetingWaitMs = 5000;
inline constexpr uint32_t kGreetingWaitRealMinimumMs = 500;
inline constexpr uint32_t kReplyGraceMs = 10000;

// The real time the greeting may take.
uint32_t GreetingWaitMs();

inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void PutU32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

void PutHeader(uint8_t* p, uint32_t size, uint16_t type);

// A received frame, valid until the next receive on its connection.
struct Frame {
  uint16_t type = 0;
  const uint8_t* body = nullptr;  // the fields after the 8-byte header
  uint32_t length = 0;            // bytes at body
};

// The error of an open that got `greeting`: 0 for HELLO, 32 for BUSY, 2 for
// anything else.
uint32_t GreetingError(const Frame& greeting);

// Outcome of waiting for bytes, and of receiving a frame.
enum class Wait { kOk, kTimedOut, kEnded, kClosed };
enum class Received { kOk, kTimedOut, kEnded, kClosed, kMalformed };

// The bytes received on a connection and not yet taken off as frames.
struct ReceiveBuffer {
  std::vector<uint8_t> rx = std::vector<uint8_t>(0x10000);
  size_t rxBegin = 0;
  size_t rxEnd = 0;

  size_t Buffered() const { return rxEnd - rxBegin; }
  // Makes room after the buffered bytes for `count` of them in all.
  void Reserve(size_t count);
  uint8_t* Room() { return rx.data() + rxEnd; }
  size_t RoomSize() const { return rx.size() - rxEnd; }
  void Added(size_t count) { rxEnd += count; }

  // Takes one frame off the stream; `need(count)` waits until `count` bytes
  // are buffered. The size field is checked before anything is read or sized
  // from it.
  template <typename Need>
  Received ReceiveFrame(Need need, Frame& frame) {
    Wait wait = need(4);
    if (wait != Wait::kOk) return Outcome(wait);
    const uint32_t size = GetU32(rx.data() + rxBegin);
    if (size < 4 || size > kMaxFrameSize) return Received::kMalformed;
    wait = need(4 + static_cast<size_t>(size));
    if (wait != Wait::kOk) return Outcome(wait);
    TakeFrame(size, frame);
    return Received::kOk;
  }

 private:
  static Received Outcome(Wait wait);
  void TakeFrame(uint32_t size, Frame& frame);
};

}  // namespace platform::stand_in
