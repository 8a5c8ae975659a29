// Error numbers and texts. Every platform call reports failure with a Windows
// error number, on every system, so that the library's algorithms can test the
// numbers its behaviour is defined by.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

enum : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,
  kErrorPathNotFound = 3,
  kErrorTooManyOpenFiles = 4,
  kErrorAccessDenied = 5,
  kErrorInvalidHandle = 6,
  kErrorNotEnoughMemory = 8,
  kErrorNotReady = 21,
  kErrorWriteFault = 29,
  kErrorReadFault = 30,
  kErrorGenFailure = 31,
  kErrorSharingViolation = 32,
  kErrorLockViolation = 33,
  kErrorHandleEof = 38,
  kErrorNotSupported = 50,
  kErrorFileExists = 80,
  kErrorInvalidParameter = 87,
  kErrorBrokenPipe = 109,
  kErrorDiskFull = 112,
  kErrorInsufficientBuffer = 122,
  kErrorSemTimeout = 121,
  kErrorInvalidName = 123,
  kErrorProcNotFound = 127,
  kErrorDirNotEmpty = 145,
  kErrorBusy = 170,
  kErrorAlreadyExists = 183,
  kErrorModNotFound = 126,
  kErrorOperationAborted = 995,
  kErrorIoIncomplete = 996,
  kErrorIoPending = 997,
  kErrorNoAccess = 998,
  kErrorDeviceNotConnected = 1167,
  kErrorTimeout = 1460,
  kErrorInvalidFunction = 1,
  kErrorInvalidData = 13,
  kErrorNotSameDevice = 17,
  kErrorNoMoreFiles = 18,
  kErrorWriteProtect = 19,
  kErrorBadCommand = 22,
  kErrorFilenameTooLong = 206,
  kErrorDirectory = 267,
  kErrorIoDevice = 1117,
  kErrorNotFound = 1168,
  kErrorBadPathname = 161,
  kErrorNoMoreItems = 259,
};

// The calling thread's last error, as GetLastError / SetLastError.
uint32_t LastError();
void SetLastError(uint32_t code);

// The system's text for an error number, without trailing line breaks
// ("The system cannot find the file specified." for 2). Unknown numbers give
// an empty text.
std::string ErrorText(uint32_t code);

// The C runtime's errno and its text ("Unknown error" when there is none).
int RuntimeErrno();
std::string RuntimeErrorText(int err);

// The Windows error number nearest to a C runtime errno value (ENOENT 2,
// EACCES 5, EEXIST 183, ENOSPC 112 ...); 0 for 0, 31 for what has no twin.
uint32_t ErrorFromErrno(int err);

}  // namespace platform
