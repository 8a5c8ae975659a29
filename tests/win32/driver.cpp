// The Windows driver channel above its table of device functions, driven by a
// fake driver: overlapped completion, time-outs, cancellation and the
// mapping of the driver's errors onto what platform/driver.h promises.
#include "platform/driver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/errors.h"
#include "platform/win32/device_calls.h"

namespace {

using namespace platform;
using platform::win32::DeviceCalls;

const HANDLE kFakeFile = reinterpret_cast<HANDLE>(uintptr_t{0x4321});

// What the fake driver does with the next transfer.
struct Answer {
  bool pending = false;  // return 997 and complete later (or never)
  DWORD error = 0;       // the request's error, 0 for success
  DWORD bytes = 0;       // the count it reports
};

// The fake driver: one device, one request at a time, like the real one.
struct FakeDriver {
  DWORD openError = 0;
  DWORD openAccess = 0, openShare = 0xFFFF, openFlags = 0;
  Answer next;               // for ReadFile, WriteFile and DeviceIoControl
  std::vector<DWORD> codes;  // control codes seen
  DWORD lastOutSize = 0;
  int transfers = 0;  // ReadFile, WriteFile and DeviceIoControl calls
  int cancels = 0;
  int closes = 0;
  // The request in flight.
  std::atomic<LPOVERLAPPED> inFlight{nullptr};
  Answer outcome;
  std::atomic<bool> done{true};

  // Ends the request in flight as the driver's completion does.
  void Complete(DWORD error, DWORD bytes) {
    LPOVERLAPPED io = inFlight.load();
    if (io == nullptr) return;
    outcome.error = error;
    outcome.bytes = bytes;
    done = true;
    ::SetEvent(io->hEvent);
  }
} g_driver;

BOOL Start(LPOVERLAPPED io, LPDWORD count) {
  ++g_driver.transfers;
  const Answer answer = g_driver.next;
  g_driver.outcome = answer;
  g_driver.done = !answer.pending;
  g_driver.inFlight = io;
  if (answer.pending) {
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  if (io != nullptr) ::SetEvent(io->hEvent);
  if (count != nullptr) *count = answer.bytes;
  ::SetLastError(answer.error);
  return answer.error == 0;
}

HANDLE WINAPI FakeCreateFile(LPCSTR, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD,
                             DWORD flags, HANDLE) {
  g_driver.openAccess = access;
  g_driver.openShare = share;
  g_driver.openFlags = flags;
  if (g_driver.openError != 0) {
    ::SetLastError(g_driver.openError);
    return INVALID_HANDLE_VALUE;
  }
  return kFakeFile;
}

BOOL WINAPI FakeReadFile(HANDLE, LPVOID, DWORD, LPDWORD count, LPOVERLAPPED io) {
  return Start(io, count);
}

BOOL WINAPI FakeWriteFile(HANDLE, LPCVOID, DWORD, LPDWORD count, LPOVERLAPPED io) {
  return Start(io, count);
}

BOOL WINAPI FakeDeviceIoControl(HANDLE, DWORD code, LPVOID, DWORD, LPVOID, DWORD outSize,
                                LPDWORD count, LPOVERLAPPED io) {
  g_driver.codes.push_back(code);
  g_driver.lastOutSize = outSize;
  return Start(io, count);
}

BOOL WINAPI FakeGetOverlappedResult(HANDLE, LPOVERLAPPED io, LPDWORD count, BOOL wait) {
  if (!g_driver.done) {
    if (!wait) {
      ::SetLastError(ERROR_IO_INCOMPLETE);
      return FALSE;
    }
    while (!g_driver.done)
      ::WaitForSingleObject(io->hEvent, INFINITE);
  }
  *count = g_driver.outcome.bytes;
  ::SetLastError(g_driver.outcome.error);
  return g_driver.outcome.error == 0;
}

BOOL WINAPI FakeCancelIo(HANDLE) {
  ++g_driver.cancels;
  if (!g_driver.done) g_driver.Complete(ERROR_OPERATION_ABORTED, 0);
  return TRUE;
}

BOOL WINAPI FakeCloseHandle(HANDLE) {
  ++g_driver.closes;
  // Closing the last handle makes the driver end what is pending on it.
  if (!g_driver.done) g_driver.Complete(ERROR_OPERATION_ABORTED, 0);
  return TRUE;
}

const DeviceCalls kFakeCalls = [] {
  DeviceCalls calls = win32::SystemDeviceCalls();
  calls.CreateFileA = &FakeCreateFile;
  calls.ReadFile = &FakeReadFile;
  calls.WriteFile = &FakeWriteFile;
  calls.DeviceIoControl = &FakeDeviceIoControl;
  calls.GetOverlappedResult = &FakeGetOverlappedResult;
  calls.CancelIo = &FakeCancelIo;
  calls.CloseHandle = &FakeCloseHandle;
  return calls;
}();

class Win32DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_driver.~FakeDriver();
    new (&g_driver) FakeDriver();
    previous_ = win32::InstallDeviceCalls(&kFakeCalls);
    handle_ = OpenDriverHandle("\\\\?\\usb#fake", true);
    ASSERT_NE(handle_, kInvalidDeviceHandle);
  }
  void TearDown() override {
    CloseDriverHandle(handle_);
    win32::InstallDeviceCalls(previous_);
  }
  bool Read(uint32_t count, uint32_t& received) {
    std::vector<char> buffer(count);
    return ReadDriver(handle_, buffer.data(), count, received);
  }
  bool SetTimeout(uint32_t ms) {
    uint32_t returned = 0;
    return DriverControl(handle_, kIoctlSetTimeout, &ms, 4, nullptr, 0, returned);
  }

  const DeviceCalls* previous_ = nullptr;
  DeviceHandle handle_ = kInvalidDeviceHandle;
};

TEST_F(Win32DriverTest, OpensExclusivelyAndMapsCreateFileErrors) {
  EXPECT_EQ(g_driver.openAccess, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(g_driver.openShare, 0u);
  EXPECT_EQ(g_driver.openFlags, 0x40000080u);  // FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL
  const DeviceHandle plain = OpenDriverHandle("x", false);
  EXPECT_EQ(g_driver.openFlags, 0x80u);
  EXPECT_TRUE(CloseDriverHandle(plain));

  const struct {
    DWORD system;
    uint32_t reported;
  } cases[] = {
      {ERROR_FILE_NOT_FOUND, kErrorFileNotFound},
      {ERROR_PATH_NOT_FOUND, kErrorFileNotFound},
      {ERROR_DEVICE_NOT_CONNECTED, kErrorFileNotFound},
      {ERROR_DEVICE_REMOVED, kErrorFileNotFound},
      {ERROR_ACCESS_DENIED, kErrorAccessDenied},
      {ERROR_SHARING_VIOLATION, kErrorSharingViolation},
      {ERROR_NO_SYSTEM_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
  };
  for (const auto& c : cases) {
    g_driver.openError = c.system;
    EXPECT_EQ(OpenDriverHandle("x", true), kInvalidDeviceHandle);
    EXPECT_EQ(LastError(), c.reported) << "CreateFileA error " << c.system;
  }
}

TEST_F(Win32DriverTest, TransfersReportWhatTheDriverCompleted) {
  uint32_t count = 0;
  // Fewer bytes than asked, at once and after pending.
  g_driver.next = {false, 0, 3};
  EXPECT_TRUE(Read(10, count));
  EXPECT_EQ(count, 3u);
  g_driver.next = {true, 0, 0};
  std::thread driver([] {
    ::Sleep(30);
    g_driver.Complete(0, 7);
  });
  EXPECT_TRUE(Read(10, count));
  driver.join();
  EXPECT_EQ(count, 7u);
  // A write the driver accepts only in part reports the part.
  g_driver.next = {false, 0, 2};
  const char data[5] = {};
  EXPECT_TRUE(WriteDriver(handle_, data, 5, count));
  EXPECT_EQ(count, 2u);
  // The driver's own errors pass unchanged and leave the handle usable.
  g_driver.next = {false, ERROR_SEM_TIMEOUT, 0};
  EXPECT_FALSE(Read(10, count));
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  g_driver.next = {false, ERROR_INSUFFICIENT_BUFFER, 0};
  char version[4];
  EXPECT_FALSE(DriverControl(handle_, kIoctlGetDriverVersion, nullptr, 0, version, 4, count));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  EXPECT_EQ(g_driver.lastOutSize, 4u);
  g_driver.next = {false, 0, 1};
  EXPECT_TRUE(Read(10, count));
}

TEST_F(Win32DriverTest, MoreBytesThanAskedForLeavesTheHandleGone) {
  uint32_t count = 99;
  g_driver.next = {false, 0, 11};
  EXPECT_FALSE(Read(10, count));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  EXPECT_EQ(count, 0u);
  // Every later request fails the same way without reaching the driver.
  const int transfers = g_driver.transfers;
  g_driver.next = {false, 0, 1};
  EXPECT_FALSE(WriteDriver(handle_, "x", 1, count));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  EXPECT_FALSE(DriverConnectionAlive(handle_));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  EXPECT_EQ(g_driver.transfers, transfers);
  // A control reply larger than its room is the same fault.
  const DeviceHandle second = OpenDriverHandle("x", true);
  g_driver.next = {false, 0, 5};
  uint32_t status = 0;
  EXPECT_FALSE(DriverControl(second, kIoctlGetHandleStatus, nullptr, 0, &status, 4, count));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  EXPECT_TRUE(CloseDriverHandle(second));
}

TEST_F(Win32DriverTest, ReadThatNeverCompletesIsCancelledAfterTheTimeout) {
  g_driver.next = {false, 0, 0};
  ASSERT_TRUE(SetTimeout(50));
  EXPECT_EQ(g_driver.codes.back(), kIoctlSetTimeout);
  g_driver.next = {true, 0, 0};
  uint32_t count = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Read(10, count));
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(g_driver.cancels, 1);
  EXPECT_GE(waited, std::chrono::milliseconds(50));
  EXPECT_LT(waited, std::chrono::milliseconds(2000));
  // The handle stays usable.
  g_driver.next = {false, 0, 4};
  EXPECT_TRUE(Read(10, count));
  EXPECT_EQ(count, 4u);
}

TEST_F(Win32DriverTest, DeviceRemovedDuringAReadIsGoneForGood) {
  for (const DWORD error :
       {DWORD{ERROR_DEVICE_NOT_CONNECTED}, DWORD{ERROR_DEVICE_REMOVED}, DWORD{ERROR_BAD_COMMAND}}) {
    const DeviceHandle handle = OpenDriverHandle("x", true);
    g_driver.next = {true, 0, 0};
    std::thread unplug([error] {
      ::Sleep(30);
      g_driver.Complete(error, 0);
    });
    char buffer[8];
    uint32_t count = 0;
    EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
    const uint32_t reported = LastError();  // before the join, which may change it
    unplug.join();
    EXPECT_EQ(reported, kErrorDeviceNotConnected) << "driver error " << error;
    EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_TRUE(CloseDriverHandle(handle));
  }
}

TEST_F(Win32DriverTest, ConnectionCheckIsAHandleStatusRequest) {
  g_driver.next = {false, 0, 4};
  EXPECT_TRUE(DriverConnectionAlive(handle_));
  EXPECT_EQ(g_driver.codes.back(), kIoctlGetHandleStatus);
  EXPECT_EQ(g_driver.lastOutSize, 4u);
  // A driver that answers, even with an error, is there.
  g_driver.next = {false, ERROR_INVALID_FUNCTION, 0};
  EXPECT_TRUE(DriverConnectionAlive(handle_));
  g_driver.next = {false, ERROR_DEVICE_REMOVED, 0};
  EXPECT_FALSE(DriverConnectionAlive(handle_));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
}

TEST_F(Win32DriverTest, ClosingEndsAWaitingReadAndRefusesTheHandle) {
  g_driver.next = {true, 0, 0};
  uint32_t count = 0;
  std::atomic<uint32_t> error{0};
  std::thread reader([&] {
    char buffer[8];
    uint32_t got = 0;
    if (!ReadDriver(handle_, buffer, sizeof buffer, got)) error = LastError();
  });
  ::Sleep(50);
  EXPECT_TRUE(CloseDriverHandle(handle_));
  reader.join();
  EXPECT_EQ(error.load(), kErrorOperationAborted);
  EXPECT_EQ(g_driver.closes, 1);
  for (const DeviceHandle handle : {handle_, DeviceHandle{0}, kInvalidDeviceHandle}) {
    EXPECT_FALSE(CloseDriverHandle(handle));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    EXPECT_FALSE(WriteDriver(handle, "x", 1, count));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
  }
}

}  // namespace
