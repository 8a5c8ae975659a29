// Constants of the driver stand-in (docs/driver-stand-in.md): the enumeration
// tree and the framed messages on a device's socket.
#pragma once

#include <cstdint>
#include <string>

namespace nvsim {

inline constexpr const char* kUsbInterfaceClass = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
inline constexpr const char* kDefaultDeviceRoot = "/tmp/nvdevices";
inline constexpr const char* kSocketSuffix = ".sock";
inline constexpr const char* kPropsSuffix = ".props";
inline constexpr size_t kMaxEntryName = 48;
inline constexpr size_t kMaxSocketPath = 107;

// Frame: u32 size (bytes after the word), u16 type, u16 reserved, fields.
inline constexpr uint32_t kFrameHeader = 8;
inline constexpr uint32_t kMaxFrameSize = 0x110000;
inline constexpr uint32_t kMaxReadBytes = 0x100000;
inline constexpr uint32_t kStandInVersion = 1;

enum MessageType : uint16_t {
  kHello = 0x0001,
  kBusy = 0x0002,
  kWrite = 0x0010,
  kWriteDone = 0x0011,
  kRead = 0x0012,
  kReadDone = 0x0013,
  kControl = 0x0014,
  kControlDone = 0x0015,
};

// Driver control codes.
inline constexpr uint32_t kIoctlGetDriverVersion = 0x0022200C;
inline constexpr uint32_t kIoctlSetTimeout = 0x00222010;
inline constexpr uint32_t kIoctlGetHandleStatus = 0x0022201C;
inline constexpr uint32_t kIoctlResetChannel = 0x00222020;

// Windows error numbers carried in replies.
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorSharingViolation = 32;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorSemTimeout = 121;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;

inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusInvalidHandle = 0xC0000008;

inline constexpr uint32_t kDefaultChannelTimeout = 5000;
inline constexpr uint32_t kInfiniteTimeout = 0xFFFFFFFF;

// Faults of the driver itself (not of the instrument): the server answers a
// request, or greets a new connection, with a frame that breaks the stream.
// The request that meets the fault is not carried out (a WRITE's bytes do not
// reach the instrument, a READ takes nothing from the queue); the connection
// stays open and later requests are served normally, so a client that waits
// for more bytes instead of giving up hangs visibly.
enum class TransportFaultKind {
  kNone,
  // Requests (READ, WRITE, CONTROL):
  kOversizeFrame,   // only a header: size `value` (default 0x7FFFFFFF), the matching _DONE type
  kUndersizeFrame,  // only a header: size `value` (0..3, default 0), the matching _DONE type
  kUnknownType,     // a frame of type `value` (default 0x7777) with error 0, count 0
  kWrongType,       // a well-formed _DONE of another type (`value`; default WRITE_DONE, or
                    // READ_DONE in answer to a WRITE) with error 0, count 0
  kShortFrame,      // the matching _DONE type, size 8: the error word and no count
  // READ and CONTROL only:
  kCountAboveMax,     // count = maxBytes / outMax + `value` (default 16), with that many bytes
                      // (outMax above 1 MiB: count 0xFFFFFFFF and no bytes)
  kCountBeyondFrame,  // count `value` (default 16) and no bytes after it
  // Connections (the greeting):
  kNoGreeting,           // accepted, nothing is ever sent; it does not hold the device
  kBadGreeting,          // a frame of type `value` (default WRITE_DONE) instead of HELLO
  kCloseBeforeGreeting,  // accepted and closed at once
};

struct TransportFault {
  TransportFaultKind kind = TransportFaultKind::kNone;
  uint16_t request = 0;  // kWrite, kRead or kControl; 0: any request (greeting kinds: unused)
  uint32_t skip = 0;     // matching requests (connections) served normally first
  uint32_t times = 1;    // matching requests (connections) it applies to; 0: all of them
  uint32_t value = 0;    // see the kinds
};

// One request as the server received it (the instrument's request log).
struct StandInRequest {
  uint16_t type = 0;   // kWrite, kRead or kControl
  uint32_t value = 0;  // WRITE: bytes; READ: maxBytes as sent; CONTROL: the control code
  uint32_t param = 0;  // CONTROL: its first input word (0 without one)
};

const char* TransportFaultKindName(TransportFaultKind kind);
bool ParseTransportFaultKind(const std::string& text, TransportFaultKind& kind);

// Device root from NVDEVICES_DEVICE_ROOT, else the default.
std::string DeviceRootFromEnvironment();

}  // namespace nvsim
