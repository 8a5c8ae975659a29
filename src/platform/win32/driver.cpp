// Driver I/O on Windows: the instrument's kernel driver through CreateFileA,
// overlapped ReadFile/WriteFile/DeviceIoControl and GetOverlappedResult.
//
// Every device function is called through the table of device_calls.h (the
// system's functions, or the driver stand-in's under NVDEVICES_DEVICE_ROOT);
// this file also holds that table. Each open handle remembers the table it
// was opened with and is served by it until it is closed.
//
// A DeviceHandle is a number of this file's handle table, not the Windows
// handle itself: each open device keeps its own overlapped structure and
// auto-reset event, the time-out last sent to the driver, a lock that keeps
// one request at a time on the handle, and whether the device is gone. A read
// waits for the driver's completion a short grace beyond the time-out the
// driver holds; a driver that has not completed it by then has the read
// cancelled (CancelIo), and the read fails with 121 as the driver's own
// time-out would. Writes and control requests wait without limit, as the
// driver completes them at once.
#include "platform/driver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/errors.h"
#include "platform/handle_table.h"
#include "platform/time.h"
#include "platform/win32/device_calls.h"

namespace platform {

namespace win32 {

namespace {

std::atomic<const DeviceCalls*> g_installedCalls{nullptr};

// The table chosen by the environment, once.
const DeviceCalls& DefaultDeviceCalls() {
  static const DeviceCalls* const chosen = [] {
    char first[2];
    // A non-zero length: the variable is set and not empty (a value that
    // does not fit the buffer reports its size, also non-zero).
    const DWORD length = ::GetEnvironmentVariableA("NVDEVICES_DEVICE_ROOT", first, sizeof first);
    return length != 0 ? &StandInDeviceCalls() : &SystemDeviceCalls();
  }();
  return *chosen;
}

}  // namespace

const DeviceCalls& SystemDeviceCalls() {
  // The addresses of imported functions are known only at run time.
  static const DeviceCalls calls = {
      &::SetupDiGetClassDevsA,
      &::SetupDiEnumDeviceInfo,
      &::SetupDiEnumDeviceInterfaces,
      &::SetupDiGetDeviceInterfaceDetailA,
      &::SetupDiGetDeviceRegistryPropertyA,
      &::SetupDiDestroyDeviceInfoList,
      &::CreateFileA,
      &::DeviceIoControl,
      &::ReadFile,
      &::WriteFile,
      &::GetOverlappedResult,
      &::CancelIo,
      &::CloseHandle,
  };
  return calls;
}

const DeviceCalls& DeviceFunctions() {
  const DeviceCalls* installed = g_installedCalls.load();
  return installed != nullptr ? *installed : DefaultDeviceCalls();
}

const DeviceCalls* InstallDeviceCalls(const DeviceCalls* calls) {
  const DeviceCalls* previous = g_installedCalls.exchange(calls);
  return previous != nullptr ? previous : &DefaultDeviceCalls();
}

}  // namespace win32

namespace {

using win32::DeviceCalls;

constexpr uint32_t kInitialTimeout = 5000;  // what a driver holds for a new handle
// Real time a read may take beyond the driver's time-out before it is
// cancelled: the driver's own completion with 121 normally comes first.
constexpr DWORD kReadGraceMs = 250;
// Time-outs from this value on are waited for without limit (0xFFFFFFFF is
// the driver's "none"; 0x7FFFFFFF, about 24.8 days, is as good as endless).
constexpr uint32_t kEndlessTimeoutFrom = 0x7FFFFFFF;

// ERROR_NO_SUCH_DEVICE, which mingw-w64's headers lack.
constexpr DWORD kErrorNoSuchDevice = 433;

bool Fail(uint32_t error) {
  SetLastError(error);
  return false;
}

// Errors with which Windows drivers and the USB stack fail requests on a
// device that has been removed: ERROR_BAD_COMMAND, ERROR_DEV_NOT_EXIST,
// ERROR_NO_SUCH_DEVICE, ERROR_DEVICE_NOT_CONNECTED, ERROR_DEVICE_REMOVED.
// Each is reported as 1167, and the handle stays gone.
bool IsDeviceGoneError(DWORD error) {
  switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_DEV_NOT_EXIST:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

// The error of a failed CreateFileA as the open reports it: a device path
// that names nothing (any more) is "no such device" (2); access denied (5)
// and the sharing violation of an exclusive open (32) stay; the rest is
// passed on as the system reported it.
uint32_t OpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case kErrorNoSuchDevice:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return kErrorFileNotFound;
    default:
      return error;
  }
}

// One open device.
struct Device {
  Device(const DeviceCalls* table, HANDLE handle, bool isOverlapped, HANDLE completion)
      : calls(table), file(handle), overlapped(isOverlapped), event(completion) {}
  ~Device() {
    if (event != nullptr) ::CloseHandle(event);
  }
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  const DeviceCalls* const calls;  // the table the handle was opened with
  const HANDLE file;
  const bool overlapped;
  const HANDLE event;               // auto-reset; signalled by each completion
  std::atomic<bool> closed{false};  // the handle was closed (maybe while in use)
  std::atomic<bool> broken{false};  // the device is gone for this handle
  std::mutex requestLock;           // one request at a time; guards what follows
  OVERLAPPED io{};
  uint32_t timeout = kInitialTimeout;

  // Prepares the overlapped structure for a new request.
  LPOVERLAPPED Begin() {
    io = OVERLAPPED{};
    io.hEvent = event;
    return &io;
  }
};

// Waits for the request just started on `device` (`started`: what the call
// returned) and gives its error, 0 for success, with its byte count. `waitMs`
// is real time or INFINITE; when it passes, the request is cancelled and
// waited for, since its buffers are in use until it ends, and `cancelled` is
// set. For a handle without overlapped I/O the call has already ended.
DWORD Complete(Device& device, BOOL started, DWORD waitMs, DWORD& bytes, bool& cancelled) {
  cancelled = false;
  if (!device.overlapped) return started ? 0 : ::GetLastError();
  bytes = 0;
  if (!started) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_PENDING) return error;
  }
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    // Completed, failed, or still running (996). The event may also carry a
    // signal left from an earlier request, so its state alone proves nothing.
    if (device.calls->GetOverlappedResult(device.file, &device.io, &bytes, FALSE)) return 0;
    const DWORD error = ::GetLastError();
    if (error != ERROR_IO_INCOMPLETE) return error;
    DWORD left = INFINITE;
    if (waitMs != INFINITE) {
      const ULONGLONG elapsed = ::GetTickCount64() - start;
      if (elapsed >= waitMs) break;
      left = static_cast<DWORD>(waitMs - elapsed);
    }
    ::WaitForSingleObject(device.event, left);
  }
  cancelled = true;
  device.calls->CancelIo(device.file);
  // Data that came before the cancellation took effect still counts.
  if (device.calls->GetOverlappedResult(device.file, &device.io, &bytes, TRUE)) return 0;
  return ::GetLastError();
}

// Reports a request's outcome: `delivered` bytes of at most `limit` on
// success. A driver that claims more than it was given room for, or an error
// of a removed device, leaves the handle gone.
bool Finish(Device& device, DWORD error, DWORD delivered, uint32_t limit, uint32_t& count) {
  count = 0;
  if (error == 0) {
    if (delivered > limit) {
      device.broken = true;
      return Fail(kErrorDeviceNotConnected);
    }
    count = delivered;
    SetLastError(kErrorSuccess);
    return true;
  }
  if (device.closed.load()) return Fail(kErrorOperationAborted);
  if (IsDeviceGoneError(error)) {
    device.broken = true;
    return Fail(kErrorDeviceNotConnected);
  }
  return Fail(error);
}

// One control request; the caller holds the request lock.
bool Control(Device& device, uint32_t code, const void* input, uint32_t inputSize, void* output,
             uint32_t outputSize, uint32_t& returned) {
  if (device.broken) return Fail(kErrorDeviceNotConnected);
  DWORD bytes = 0;
  bool cancelled = false;
  const LPOVERLAPPED io = device.overlapped ? device.Begin() : nullptr;
  const BOOL started = device.calls->DeviceIoControl(device.file, code, const_cast<void*>(input),
                                                     inputSize, output, outputSize, &bytes, io);
  const DWORD error = Complete(device, started, INFINITE, bytes, cancelled);
  if (!Finish(device, error, bytes, outputSize, returned)) return false;
  // The driver now holds this time-out; reads wait for it.
  if (code == kIoctlSetTimeout && inputSize >= 4) {
    const uint8_t* value = static_cast<const uint8_t*>(input);
    device.timeout = static_cast<uint32_t>(value[0]) | static_cast<uint32_t>(value[1]) << 8 |
                     static_cast<uint32_t>(value[2]) << 16 | static_cast<uint32_t>(value[3]) << 24;
  }
  return true;
}

HandleTable<Device>& Handles() {
  return platform::Handles<Device, 0x1000>();
}

std::shared_ptr<Device> FindDevice(DeviceHandle handle) {
  return Handles().Find(handle);
}

}  // namespace

DeviceHandle OpenDriverHandle(const char* path, bool overlapped) {
  if (path == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return kInvalidDeviceHandle;
  }
  const DeviceCalls& calls = win32::DeviceFunctions();
  HANDLE event = nullptr;
  if (overlapped) {
    event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (event == nullptr) {
      SetLastError(::GetLastError());
      return kInvalidDeviceHandle;
    }
  }
  // Share mode 0: a second open of the same device fails with 32.
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
  const HANDLE file = calls.CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const uint32_t error = OpenError(::GetLastError());
    if (event != nullptr) ::CloseHandle(event);
    SetLastError(error);
    return kInvalidDeviceHandle;
  }
  auto device = std::make_shared<Device>(&calls, file, overlapped, event);

  const DeviceHandle handle = Handles().Add(std::move(device));
  SetLastError(kErrorSuccess);
  return handle;
}

bool WriteDriver(DeviceHandle handle, const void* data, uint32_t count, uint32_t& written) {
  written = 0;
  if (data == nullptr && count != 0) return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Device> device = FindDevice(handle);
  if (device == nullptr) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> guard(device->requestLock);
  if (device->broken) return Fail(kErrorDeviceNotConnected);
  DWORD bytes = 0;
  bool cancelled = false;
  const LPOVERLAPPED io = device->overlapped ? device->Begin() : nullptr;
  const BOOL started =
      device->calls->WriteFile(device->file, data, count, io != nullptr ? nullptr : &bytes, io);
  const DWORD error = Complete(*device, started, INFINITE, bytes, cancelled);
  return Finish(*device, error, bytes, count, written);
}

bool ReadDriver(DeviceHandle handle, void* buffer, uint32_t count, uint32_t& received) {
  received = 0;
  if (buffer == nullptr && count != 0) return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Device> device = FindDevice(handle);
  if (device == nullptr) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> guard(device->requestLock);
  if (device->broken) return Fail(kErrorDeviceNotConnected);
  DWORD waitMs = INFINITE;
  if (device->timeout < kEndlessTimeoutFrom) {
    const DWORD real = RealMilliseconds(device->timeout);
    waitMs = std::min<DWORD>(real, INFINITE - 1 - kReadGraceMs) + kReadGraceMs;
  }
  DWORD bytes = 0;
  bool cancelled = false;
  const LPOVERLAPPED io = device->overlapped ? device->Begin() : nullptr;
  const BOOL started =
      device->calls->ReadFile(device->file, buffer, count, io != nullptr ? nullptr : &bytes, io);
  DWORD error = Complete(*device, started, waitMs, bytes, cancelled);
  // A read cancelled for its time-out ends as the driver's time-out would.
  if (cancelled && error == ERROR_OPERATION_ABORTED && !device->closed.load())
    error = ERROR_SEM_TIMEOUT;
  return Finish(*device, error, bytes, count, received);
}

bool DriverControl(DeviceHandle handle, uint32_t code, const void* input, uint32_t inputSize,
                   void* output, uint32_t outputSize, uint32_t& returned) {
  returned = 0;
  if ((input == nullptr && inputSize != 0) || (output == nullptr && outputSize != 0))
    return Fail(kErrorInvalidParameter);
  const std::shared_ptr<Device> device = FindDevice(handle);
  if (device == nullptr) return Fail(kErrorInvalidHandle);
  std::lock_guard<std::mutex> guard(device->requestLock);
  return Control(*device, code, input, inputSize, output, outputSize, returned);
}

bool DriverConnectionAlive(DeviceHandle handle) {
  const std::shared_ptr<Device> device = FindDevice(handle);
  if (device == nullptr) return Fail(kErrorInvalidHandle);
  if (device->closed.load() || device->broken.load()) return Fail(kErrorDeviceNotConnected);
  // A request running on the handle will itself find out whether the device
  // is gone; the check does not wait for it.
  std::unique_lock<std::mutex> guard(device->requestLock, std::try_to_lock);
  if (!guard.owns_lock()) {
    SetLastError(kErrorSuccess);
    return true;
  }
  // Windows cannot look at a driver handle without asking the driver: the
  // handle-status request fails with 1167 once the device has been removed.
  // Any answer of the driver, an error included, means it is still there.
  uint8_t status[4] = {};
  uint32_t returned = 0;
  if (Control(*device, kIoctlGetHandleStatus, nullptr, 0, status, sizeof status, returned))
    return true;
  const uint32_t error = LastError();
  if (error == kErrorDeviceNotConnected || error == kErrorOperationAborted ||
      error == kErrorInvalidHandle)
    return false;
  SetLastError(kErrorSuccess);
  return true;
}

void DriverConnectionsAlive(const DeviceHandle* handles, size_t count, bool* alive) {
  // A driver handle cannot be looked at without a request: one each.
  const uint32_t error = LastError();
  for (size_t i = 0; i < count; ++i)
    alive[i] = DriverConnectionAlive(handles[i]);
  SetLastError(error);
}

bool CloseDriverHandle(DeviceHandle handle) {
  const std::shared_ptr<Device> device = Handles().Remove(handle);
  if (device == nullptr) return Fail(kErrorInvalidHandle);
  // Closing the last handle makes the driver end the requests still pending
  // on it (995); a thread waiting for one wakes up and reports that. Its
  // overlapped structure and event live on until it lets go of the device.
  device->closed.store(true);
  if (!device->calls->CloseHandle(device->file)) return Fail(::GetLastError());
  SetLastError(kErrorSuccess);
  return true;
}

}  // namespace platform
