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

// Device root from NVDEVICES_DEVICE_ROOT, else the default.
std::string DeviceRootFromEnvironment();

}  // namespace nvsim
