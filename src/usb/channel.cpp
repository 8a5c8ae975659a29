#include "usb/channel.h"

#include <cstdarg>
#include <memory>
#include <string>

#include "base/format.h"
#include "base/log.h"
#include "base/messages.h"
#include "base/options.h"
#include "platform/errors.h"
#include "platform/thread.h"
#include "platform/time.h"

bool g_OverlappedIo = true;

namespace {

void PutU32(unsigned char* p, uint32_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
  p[2] = static_cast<unsigned char>(value >> 16);
  p[3] = static_cast<unsigned char>(value >> 24);
}

}  // namespace

ZdUSBDevice::ZdUSBDevice(const char* path)
    : ExchangeLocker("ZdUSBDevice::ExchangeLocker"),
      ReplyEvent(false),
      ErrorEvent(false),
      DevicePath(path),
      threadBuffers_(8, 0) {
  Init();
  AttachHandle(OpenDevice(path));
}

ZdUSBDevice::~ZdUSBDevice() {
  LogClosing();
  ReleaseHandles();
}

void ZdUSBDevice::Init() {
  DefaultTimeout = kDefaultTimeout;
  Timeout = 0;
  InBufferSize = kDefaultBufferSize;
  OutBufferSize = kDefaultBufferSize;
  WasError = false;
  InCommand = false;
  Traced = false;
  SkipChecks = false;
  LastError = "";
  Handle = platform::kInvalidDeviceHandle;
}

void ZdUSBDevice::LogClosing() {
  if (Handle != platform::kInvalidDeviceHandle && g_TraceLevel >= 1) Log("Closing device\n");
}

void ZdUSBDevice::ReleaseHandles() {
  // The handle list holds the device handle only: the overlapped machinery
  // belongs to the platform's handle.
  if (Handle != 0 && Handle != platform::kInvalidDeviceHandle) {
    if (!platform::CloseDriverHandle(Handle)) {
      const PStr reason = LastErrorText();
      Log("Error closing handle 0x%X: %s", static_cast<uint32_t>(Handle), reason.c_str());
    }
  }
  Handle = 0;
}

void ZdUSBDevice::Close() {
  LogClosing();
  ReleaseHandles();
}

platform::DeviceHandle ZdUSBDevice::OpenDevice(const char* path) {
  Log("Opening device \"%s\"...", path != nullptr ? path : "");
  const platform::DeviceHandle handle = platform::OpenDriverHandle(path, g_OverlappedIo);
  if (handle == platform::kInvalidDeviceHandle) {
    // The report may change the last error; the caller still finds the open's.
    const uint32_t error = platform::LastError();
    const PStr reason = LastErrorText();
    Log("Failed: %s\n", reason.c_str());
    platform::SetLastError(error);
    return platform::kInvalidDeviceHandle;
  }
  unsigned char status[4] = {};
  uint32_t returned = 0;
  // A failed status request counts as success: only the one status value is
  // known to mean anything.
  if (platform::DriverControl(handle, platform::kIoctlGetHandleStatus, nullptr, 0, status,
                              sizeof status, returned) &&
      returned >= 4) {
    const uint32_t value =
        static_cast<uint32_t>(status[0]) | static_cast<uint32_t>(status[1]) << 8 |
        static_cast<uint32_t>(status[2]) << 16 | static_cast<uint32_t>(status[3]) << 24;
    if (value == platform::kStatusInvalidHandle) {
      platform::CloseDriverHandle(handle);
      Log("Failed: Handle already in use?\n");
      return platform::kInvalidDeviceHandle;
    }
  }
  Log("Ok\n");
  return handle;
}

void ZdUSBDevice::AttachHandle(platform::DeviceHandle handle) {
  Handle = handle;
  if (handle == platform::kInvalidDeviceHandle) return;
  Log("Device handle opened ok\n");
  ReplyEvent.Set();
  ReplyEvent.SetName("ZdUSBDevice::ReplyEvent");
  ErrorEvent.SetName("ZdUSBDevice::ErrorEvent");

  // The version text: what the driver returned, cut at its NUL; nothing when
  // it returned nothing.
  char version[platform::kDriverVersionSize] = {};
  if (IoControl(platform::kIoctlGetDriverVersion, nullptr, 0, version, sizeof version)) {
    if (BytesTransferred < sizeof version) version[BytesTransferred] = 0;
  } else {
    version[0] = 0;
  }
  version[sizeof version - 1] = 0;
  Log("Driver version: %s\n", version);

  Timeout = DefaultTimeout;
  PurgeInput();
}

bool ZdUSBDevice::IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                            uint32_t outputSize) {
  if (Handle == platform::kInvalidDeviceHandle) return false;
  uint32_t returned = 0;
  const bool ok =
      platform::DriverControl(Handle, code, input, inputSize, output, outputSize, returned);
  BytesTransferred = returned;
  return ok;
}

bool ZdUSBDevice::ResetChannel() {
  unsigned char zero[4] = {};
  return IoControl(platform::kIoctlResetChannel, zero, sizeof zero, nullptr, 0);
}

bool ZdUSBDevice::SetTimeout(uint32_t milliseconds) {
  if (Handle == platform::kInvalidDeviceHandle) return false;
  const uint32_t value = IsOptionOn(kOptEndlessUsbTimeout) ? kEndlessTimeout : milliseconds;
  if (g_TraceLevel >= 1) Log("Setting timeout = %u ms\n", value);
  Timeout = value;
  unsigned char input[4];
  PutU32(input, value);
  return IoControl(platform::kIoctlSetTimeout, input, sizeof input, nullptr, 0);
}

void ZdUSBDevice::Yield() {
  platform::Sleep(0);
}

void ZdUSBDevice::EndWrite() {}

bool ZdUSBDevice::BeginWrite(const void* /*data*/, uint32_t /*count*/) {
  return true;
}

bool ZdUSBDevice::WriteFlash(uint32_t /*address*/, uint32_t /*length*/, const void* /*data*/) {
  return true;
}

void ZdUSBDevice::OnReadWait() {}

void ZdUSBDevice::PurgeInput() {
  const uint32_t remembered = Timeout;
  const bool endless = IsOptionOn(kOptEndlessUsbTimeout);
  g_OptionWord &= ~static_cast<uint64_t>(kOptEndlessUsbTimeout);
  SetTimeout(kPurgeTimeout);

  const auto scratch = std::make_unique<unsigned char[]>(kPurgeScratchSize);
  for (uint32_t attempt = 0; attempt < kPurgeAttempts; ++attempt) {
    uint32_t received = 0;
    // Data or another error ends the attempt; the driver's time-out with
    // nothing pending ends the purge.
    if (!platform::ReadDriver(Handle, scratch.get(), kPurgeReadSize, received) &&
        platform::LastError() == platform::kErrorSemTimeout)
      break;
  }

  WasError = false;
  // "et" goes back on before the time-out is restored, so that the driver
  // gets the endless time-out the option stands for.
  if (endless) g_OptionWord |= kOptEndlessUsbTimeout;
  SetTimeout(remembered);
}

bool ZdUSBDevice::Read(void* buffer, uint32_t count, bool waitAll) {
  if (WasError) {
    Log("Read %u bytes: Skipped because of WasError\n", count);
    BytesTransferred = 0;
    return false;
  }
  unsigned char* bytes = static_cast<unsigned char*>(buffer);
  const uint32_t timeout = Timeout;
  // The elapsed time is compared, not a deadline tick: the tick count wraps.
  const PTickTimeout deadline(timeout);
  uint32_t received = 0;
  // At least one read, also with a time-out of 0 (a poll of the driver).
  for (bool first = true; first || deadline.Elapsed() < timeout; first = false) {
    uint32_t got = 0;
    if (!platform::ReadDriver(Handle, bytes + received, count - received, got)) {
      const uint32_t error = platform::LastError();
      // The driver's time-out with nothing delivered is an empty read.
      if (error != platform::kErrorSemTimeout) {
        const PStr reason = SystemErrorText(error);
        Log("\nError %u: %s\n", error, reason.c_str());
        Log("\nReading data from driver failed, got only %u bytes\n", received);
        WasError = true;
        BytesTransferred = received;
        return false;
      }
      got = 0;
    }
    received += got;
    if (received >= count || !waitAll) {
      BytesTransferred = received;
      WasError = false;
      return true;
    }
    OnReadWait();
  }
  FailureText =
      PFormatBuffer("\nReading data from driver failed: Timeout. Expected %u bytes, got %u\n",
                    count, received)
          .Text();
  Log("%s", FailureText.Text());
  WasError = true;
  BytesTransferred = received;
  return false;
}

bool ZdUSBDevice::WriteRaw(const void* data, uint32_t count) {
  uint32_t written = 0;
  const bool ok = platform::WriteDriver(Handle, data, count, written);
  if (!ok) {
    const PStr reason = LastErrorText();
    Log("\n%s\n", reason.c_str());
  }
  WasError = !ok;
  if (!ok) {
    Log("\nSending data to driver failed\n");
    return false;
  }
  return true;
}

bool ZdUSBDevice::Write(const void* data, uint32_t count) {
  if (WasError) {
    Log("Write %u bytes: Skipped because of WasError\n", count);
    return false;
  }
  if (OutBufferSize == 0) {
    Log("Write %u bytes: Skipped because of OutBufferSize == 0\n", count);
    return false;
  }
  if (!BeginWrite(data, count)) return false;
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  const uint32_t piece = OutBufferSize;
  for (uint32_t n = count / piece; n != 0; --n) {
    if (!WriteRaw(bytes, piece)) return false;
    bytes += piece;
  }
  const uint32_t rest = count % piece;
  if (rest != 0 && !WriteRaw(bytes, rest)) return false;
  EndWrite();
  return true;
}

void ZdUSBDevice::DumpInput() {
  do {
    Log("Reading data from USB...\n");
    USBDeviceBuffer* buffer = GetThreadBuffer();
    unsigned char* room = nullptr;
    if (buffer != nullptr) {
      // Room for a whole read: InBufferSize may exceed what the buffer has.
      buffer->RewindInput();
      room = buffer->ReserveInput(InBufferSize);
      buffer->RewindInput();
    }
    bool ok = false;
    if (room != nullptr) {
      ok = Read(room, InBufferSize, false);
      buffer->InEnd = BytesTransferred;
    } else {
      BytesTransferred = 0;
    }
    if (!ok) Log("\nFailed to read data from USB\n");
    Log("Bytes read: %u =", BytesTransferred);
    std::string bytes;
    bytes.reserve(static_cast<size_t>(BytesTransferred) * 3 + 1);
    for (uint32_t i = 0; i < BytesTransferred; ++i) {
      char hex[4];
      FormatTo(hex, sizeof hex, " %02X", room[i]);
      bytes += hex;
    }
    bytes += '\n';
    Log("%s", bytes.c_str());
  } while (BytesTransferred != 0);
}

USBDeviceBuffer* ZdUSBDevice::GetThreadBuffer() {
  PSharedObjectLocker locker(threadBuffersLock_);
  const uint32_t self = platform::CurrentThreadId();
  for (uint32_t i = 0; i < threadBuffers_.Count(); ++i) {
    USBDeviceBuffer* buffer = threadBuffers_.At(i);
    if (buffer->ThreadId == self) return buffer;
  }
  // A thread asks for the first time: reclaim the buffers of ended threads.
  for (uint32_t i = threadBuffers_.Count(); i-- > 0;) {
    if (!platform::IsThreadRunning(threadBuffers_.At(i)->ThreadId)) threadBuffers_.Delete(i);
  }
  auto buffer = std::make_unique<USBDeviceBuffer>();
  if (!threadBuffers_.Add(buffer.get())) return nullptr;
  return buffer.release();
}

uint32_t ZdUSBDevice::ThreadBufferCount() {
  PSharedObjectLocker locker(threadBuffersLock_);
  return threadBuffers_.Count();
}

void ZdUSBDevice::Log(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const PFormatBuffer text(format, args);
  va_end(args);
  DeviceInfoOutput(text.Text());
}

void ZdUSBDevice::LogHighlighted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const PFormatBuffer text(format, args);
  va_end(args);
  Log("%s", text.Text());
}

void ZdUSBDevice::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const PFormatBuffer text(format, args);
  va_end(args);
  const PFormatBuffer name(DeviceName.Length() != 0 ? "\"%s\" " : "", DeviceName.Text());
  const PFormatBuffer line("%sDevice %serror: %s", "", name.Text(), text.Text());
  LastError = line.Text();
  DeviceErrorOutput(line.Text());
}

void ZdUSBDevice::ReportError(const char* format, ...) {
  const uint32_t error = platform::LastError();
  va_list args;
  va_start(args, format);
  const PFormatBuffer text(format, args);
  va_end(args);
  const PStr reason = SystemErrorText(error);
  const PFormatBuffer line("Device error: %s [%s]", text.Text(), reason.c_str());
  DeviceErrorOutput(line.Text());
}

void ZdUSBDevice::Message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const PFormatBuffer text(format, args);
  va_end(args);
  DeviceInfoOutput(text.Text());
}

bool IsKaltoRunning() {
  return IsNamedMutexPresent("Kalto");
}
