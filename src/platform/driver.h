// Driver I/O: the instrument's kernel driver, opened by device-interface path.
//
// A device is opened exclusively (a second open fails with error 32, sharing
// violation). Transfers are synchronous from the caller's view: a read returns
// the bytes the driver delivered, or fails with error 121 and no bytes when
// the driver's own time-out (set with kIoctlSetTimeout) passes first. Windows
// does this with overlapped ReadFile/WriteFile and DeviceIoControl; that is a
// detail of the Windows implementation. On POSIX the driver is the stand-in of
// docs/driver-stand-in.md: a Unix socket per device, served by the simulator.
//
// Every function reports failure by its result and the calling thread's last
// error (LastError, a Windows error number): 2 no such device, 5 access
// denied, 6 not a handle, 32 already open, 121 read time-out, 1167 the device
// is gone (unplugged, or the driver sent something that cannot be read; every
// later request on that handle fails the same way until it is closed).
//
// A handle may be used from any thread; requests on one handle are carried
// out one at a time. Closing a handle while another thread waits in a read on
// it ends that read with error 995.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A driver handle. kInvalidDeviceHandle (all bits set) is what a failed open
// returns; 0 is never a valid handle either.
using DeviceHandle = uintptr_t;
inline constexpr DeviceHandle kInvalidDeviceHandle = ~static_cast<DeviceHandle>(0);

// CTL_CODE(deviceType, function, method, access).
constexpr uint32_t DriverControlCode(uint32_t deviceType, uint32_t function, uint32_t method,
                                     uint32_t access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}
inline constexpr uint32_t kFileDeviceUnknown = 0x22;
inline constexpr uint32_t kMethodBuffered = 0;
inline constexpr uint32_t kFileAnyAccess = 0;

// The driver's four control requests.
// Output: up to 512 bytes of NUL-terminated version text.
inline constexpr uint32_t kIoctlGetDriverVersion =
    DriverControlCode(kFileDeviceUnknown, 0x803, kMethodBuffered, kFileAnyAccess);
// Input: u32 time-out in ms (0xFFFFFFFF: none). No output.
inline constexpr uint32_t kIoctlSetTimeout =
    DriverControlCode(kFileDeviceUnknown, 0x804, kMethodBuffered, kFileAnyAccess);
// Output: u32 handle status.
inline constexpr uint32_t kIoctlGetHandleStatus =
    DriverControlCode(kFileDeviceUnknown, 0x807, kMethodBuffered, kFileAnyAccess);
// Input: u32 0. No output.
inline constexpr uint32_t kIoctlResetChannel =
    DriverControlCode(kFileDeviceUnknown, 0x808, kMethodBuffered, kFileAnyAccess);
static_assert(kIoctlGetDriverVersion == 0x0022200C && kIoctlSetTimeout == 0x00222010 &&
              kIoctlGetHandleStatus == 0x0022201C && kIoctlResetChannel == 0x00222020);

inline constexpr uint32_t kDriverVersionSize = 512;
// Handle status values.
inline constexpr uint32_t kStatusSuccess = 0;
inline constexpr uint32_t kStatusInvalidHandle = 0xC0000008;  // the handle is already in use

// Opens a device path for reading and writing without sharing. `overlapped`
// asks for a handle that transfers with overlapped I/O where the system has
// it. kInvalidDeviceHandle on failure.
DeviceHandle OpenDriverHandle(const char* path, bool overlapped);

// Hands `count` bytes to the driver; `written` receives the count accepted.
bool WriteDriver(DeviceHandle handle, const void* data, uint32_t count, uint32_t& written);

// Reads at most `count` bytes. True with the bytes delivered (possibly 0 for a
// count of 0); false with `received` 0 and error 121 when the driver's
// time-out passed with no data, or another error.
bool ReadDriver(DeviceHandle handle, void* buffer, uint32_t count, uint32_t& received);

// One control request (DeviceIoControl without overlapping): `returned`
// receives the output bytes written. Fails with the driver's error (1 for an
// unknown code, 87 for too little input, 122 for too little output room).
bool DriverControl(DeviceHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                   void* output, uint32_t outputSize, uint32_t& returned);

// True while the handle's connection to the driver still stands, found out
// without a request to the driver and without waiting: false for a handle
// that is not open (error 6), one that met an error 1167 before, or one whose
// device has gone (unplugged) since the last request. It never takes or
// disturbs bytes the driver has delivered; bytes waiting to be read mean the
// connection stands. On POSIX the socket is peeked at without blocking: the
// end of the stream (or a reset) means the device is gone. Windows has no
// such look at a driver handle without a call into the driver; there the
// honest check is a handle-status request (kIoctlGetHandleStatus) that fails
// with 1167 once the device has been removed.
bool DriverConnectionAlive(DeviceHandle handle);

// DriverConnectionAlive for `count` handles at once: alive[i] tells of
// handles[i], exactly as DriverConnectionAlive would. On POSIX one poll()
// looks at every socket and only those with something to read are peeked
// at; elsewhere each handle is checked in turn. The last error stays as it
// was.
void DriverConnectionsAlive(const DeviceHandle* handles, size_t count, bool* alive);

// Closes a handle (CloseHandle). False with error 6 for a value that is not
// an open handle (0, kInvalidDeviceHandle, or one closed before).
bool CloseDriverHandle(DeviceHandle handle);

}  // namespace platform
