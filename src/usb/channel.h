// The byte channel to one instrument over its kernel driver.
//
// ZdUSBDevice opens the device-interface path that enumeration found, moves
// raw bytes to and from the driver, sends the driver's control requests, keeps
// the read time-out the same in the driver and in itself, and reports what it
// does through the device output hooks (base/log.h): log lines through the
// information hook, error lines through the error hook. It knows nothing of
// command frames: the command protocol derives from it and drives it.
//
// Threads: any thread may call the channel, but Read, WriteRaw, Write,
// PurgeInput and DumpInput must not run on one channel at the same time (the
// protocol layer holds ExchangeLocker around every exchange). GetThreadBuffer
// is the only operation that locks.
#pragma once

#include <cstdint>

#include "base/containers.h"
#include "base/strings.h"
#include "base/sync.h"
#include "platform/driver.h"
#include "usb/io_buffer.h"

// Process-wide switch for overlapped handles and transfers; on from start-up.
// With it off every transfer is synchronous.
extern bool g_OverlappedIo;

class ZdUSBDevice : public BaseObject {
 public:
  static constexpr uint32_t kDefaultTimeout = 5000;
  static constexpr uint32_t kEndlessTimeout = 0x7FFFFFFF;  // used with the "et" option
  static constexpr uint32_t kDefaultBufferSize = 1024;
  static constexpr uint32_t kPurgeTimeout = 100;
  static constexpr uint32_t kPurgeAttempts = 16;
  static constexpr uint32_t kPurgeReadSize = 32767;
  static constexpr uint32_t kPurgeScratchSize = 65535;

  // Copies the path, runs Init, opens the path and attaches the result.
  // Never fails: when the open fails the handle stays invalid (IsOpen false).
  explicit ZdUSBDevice(const char* path);
  // Logs "Closing device\n" like Close and releases the handles.
  ~ZdUSBDevice() override;
  ZdUSBDevice(const ZdUSBDevice&) = delete;
  ZdUSBDevice& operator=(const ZdUSBDevice&) = delete;
  const char* ClassName() const override { return "ZdUSBDevice"; }

  // Virtual operations, in their fixed order after those of BaseObject.
  // Releases every handle of the handle list (the handle becomes 0).
  virtual void Close();
  // Adopts an opened handle: names the events, signals ReplyEvent, logs the
  // driver version, sets DefaultTimeout and purges the input.
  virtual void AttachHandle(platform::DeviceHandle handle);
  // Opens the path exclusively and checks the handle status with the driver;
  // the invalid handle on failure.
  virtual platform::DeviceHandle OpenDevice(const char* path);
  virtual bool ResetChannel();
  virtual void Yield();
  // Hooks around Write: BeginWrite false ends the write with false.
  virtual void EndWrite();
  virtual bool BeginWrite(const void* data, uint32_t count);
  virtual bool WriteFlash(uint32_t address, uint32_t length, const void* data);
  // Hook between the partial reads of one Read.
  virtual void OnReadWait();
  // One control request; false without a call while the handle is invalid.
  // BytesTransferred receives the output count.
  virtual bool IoControl(uint32_t code, const void* input, uint32_t inputSize, void* output,
                         uint32_t outputSize);
  // Drains the driver's input with a 100 ms time-out in at most 16 reads,
  // clears WasError and restores the time-out.
  virtual void PurgeInput();
  // Reads `count` bytes (waitAll) or what the first read returns (!waitAll)
  // before Timeout passes. BytesTransferred holds the bytes placed in buffer.
  virtual bool Read(void* buffer, uint32_t count, bool waitAll);
  // One transfer of `count` bytes.
  virtual bool WriteRaw(const void* data, uint32_t count);
  // Sets the time-out in the driver and in Timeout (0x7FFFFFFF with "et").
  virtual bool SetTimeout(uint32_t milliseconds);

  // Defaults of a new channel; the handle becomes invalid (it is not closed:
  // Init belongs to construction).
  void Init();
  // Sends `count` bytes in pieces of OutBufferSize.
  bool Write(const void* data, uint32_t count);
  // Diagnostic: reads and logs whatever the driver delivers until a read
  // brings nothing.
  void DumpInput();
  // The calling thread's buffer, created on first use; buffers of threads
  // that have ended are reclaimed then.
  USBDeviceBuffer* GetThreadBuffer();

  // Formatted text to the information hook, unchanged (callers add "\n").
  void Log(const char* format, ...);
  void LogHighlighted(const char* format, ...);
  // "Device error: <text>" (with the quoted DeviceName when set) into
  // LastError and to the error hook.
  void Error(const char* format, ...);
  // "Device error: <text> [<system text of the last error>]" to the error hook.
  static void ReportError(const char* format, ...);
  // Formatted text to the information hook.
  static void Message(const char* format, ...);

  bool IsOpen() const { return Handle != platform::kInvalidDeviceHandle && Handle != 0; }
  // True while the handle is open and its driver connection still stands
  // (platform::DriverConnectionAlive): no request goes to the driver, so the
  // check is cheap; a device unplugged since the last transfer fails it.
  bool IsConnectionAlive() const { return IsOpen() && platform::DriverConnectionAlive(Handle); }
  uint32_t ThreadBufferCount();

  // The device handle: invalid while nothing is open, 0 after Close.
  platform::DeviceHandle Handle = platform::kInvalidDeviceHandle;
  PSharedObject ExchangeLocker;
  PEvent ReplyEvent;
  PEvent ErrorEvent;
  uint32_t InBufferSize = kDefaultBufferSize;   // asked for per read by DumpInput
  uint32_t OutBufferSize = kDefaultBufferSize;  // largest piece of one WriteRaw
  uint32_t Timeout = 0;                         // last set; 0 until a handle is adopted
  uint32_t DefaultTimeout = kDefaultTimeout;
  uint32_t BytesTransferred = 0;  // by the last Read, or output of the last IoControl
  bool WasError = false;          // a read or write failed: Read and Write refuse
  Istr DevicePath;
  Istr FailureText;  // the last read time-out (the protocol's failure texts too)
  Istr LastError;    // the last line built by Error
  Istr DeviceName;   // display name in error lines; empty until set

  // Exchange state that the command protocol keeps here; Init clears the
  // flags.
  bool InCommand = false;
  bool Traced = false;
  bool SkipChecks = false;
  uint32_t ReplyDelay = 0;
  uint32_t CommandCode = 0;
  uint32_t CommandWord = 0;
  uint32_t ReplyCode = 0;
  uint32_t ReplyLength = 0;
  uint32_t LastBytesReturned = 0;
  uint32_t ExchangeStartTick = 0;
  uint32_t ReplyTick = 0;
  bool IndexingEnabled = true;
  bool RetryEnabled = true;
  bool NoDebugTraceOnError = false;

 private:
  void ReleaseHandles();
  void LogClosing();

  PSContainer<USBDeviceBuffer> threadBuffers_;
  PSharedObject threadBuffersLock_;
};

// True when the in-house programming application Kalto is running (it holds
// the named mutex "Kalto").
bool IsKaltoRunning();
