// Error numbers on Windows: the thread's last error is the system's, texts
// come from the system's message table (in Windows' wording under Wine), and
// C runtime errno values are mapped to the nearest Windows error numbers.
#include "platform/errors.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

struct ErrorTextEntry {
  uint32_t code;
  const char* text;
};

// The English texts Windows gives for the numbers the library reports
// (FormatMessage, without the trailing line break). Wine words many of them
// differently ("File not found." for 2), so under Wine these are given in
// place of its own, and the library's messages read as on Windows.
constexpr ErrorTextEntry kErrorTexts[] = {
    {0, "The operation completed successfully."},
    {1, "Incorrect function."},
    {2, "The system cannot find the file specified."},
    {3, "The system cannot find the path specified."},
    {4, "The system cannot open the file."},
    {5, "Access is denied."},
    {6, "The handle is invalid."},
    {8, "Not enough memory resources are available to process this command."},
    {13, "The data is invalid."},
    {14, "Not enough memory resources are available to complete this operation."},
    {15, "The system cannot find the drive specified."},
    {17, "The system cannot move the file to a different disk drive."},
    {18, "There are no more files."},
    {19, "The media is write protected."},
    {21, "The device is not ready."},
    {22, "The device does not recognize the command."},
    {23, "Data error (cyclic redundancy check)."},
    {24, "The program issued a command but the command length is incorrect."},
    {29, "The system cannot write to the specified device."},
    {30, "The system cannot read from the specified device."},
    {31, "A device attached to the system is not functioning."},
    {32, "The process cannot access the file because it is being used by another process."},
    {33,
     "The process cannot access the file because another process has locked a portion of the "
     "file."},
    {38, "Reached the end of the file."},
    {39, "The disk is full."},
    {50, "The request is not supported."},
    {80, "The file exists."},
    {87, "The parameter is incorrect."},
    {109, "The pipe has been ended."},
    {110, "The system cannot open the device or file specified."},
    {112, "There is not enough space on the disk."},
    {121, "The semaphore timeout period has expired."},
    {122, "The data area passed to a system call is too small."},
    {123, "The filename, directory name, or volume label syntax is incorrect."},
    {126, "The specified module could not be found."},
    {127, "The specified procedure could not be found."},
    {145, "The directory is not empty."},
    {161, "The specified path is invalid."},
    {170, "The requested resource is in use."},
    {183, "Cannot create a file when that file already exists."},
    {206, "The filename or extension is too long."},
    {234, "More data is available."},
    {259, "No more data is available."},
    {267, "The directory name is invalid."},
    {995,
     "The I/O operation has been aborted because of either a thread exit or an application "
     "request."},
    {996, "Overlapped I/O event is not in a signaled state."},
    {997, "Overlapped I/O operation is in progress."},
    {998, "Invalid access to memory location."},
    {1117, "The request could not be performed because of an I/O device error."},
    {1167, "The device is not connected."},
    {1168, "Element not found."},
    {1460, "This operation returned because the timeout period expired."},
    {1784, "The supplied user buffer is not valid for the requested operation."},
};

// Whether the process runs under Wine (its ntdll exports wine_get_version).
bool IsWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Cuts trailing carriage returns and line feeds.
void TrimLineBreaks(std::string& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
}

}  // namespace

uint32_t LastError() {
  return GetLastError();
}

void SetLastError(uint32_t code) {
  ::SetLastError(code);
}

std::string ErrorText(uint32_t code) {
  // Asking for a text must not change the last error that callers report
  // next to it (FormatMessageA sets 317 for an unknown number, the Wine probe
  // 127 on Windows).
  const DWORD saved = GetLastError();
  std::string text;
  if (IsWine()) {
    for (const auto& entry : kErrorTexts) {
      if (entry.code == code) text = entry.text;
    }
  }
  if (text.empty()) {
    char buffer[1024];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    text.assign(buffer, length < sizeof buffer ? length : 0);
    TrimLineBreaks(text);
  }
  ::SetLastError(saved);
  return text;
}

int RuntimeErrno() {
  return errno;
}

std::string RuntimeErrorText(int err) {
  // The Microsoft C runtime keeps strerror's text per thread, so strerror is
  // safe here; it says "Unknown error" itself for numbers it does not know.
  const char* text = std::strerror(err);
  std::string result = text != nullptr ? text : "";
  TrimLineBreaks(result);
  if (result.empty()) return "Unknown error";
  return result;
}

uint32_t ErrorFromErrno(int err) {
  switch (err) {
    case 0:
      return kErrorSuccess;
    case ENOENT:
      return kErrorFileNotFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
      return kErrorAccessDenied;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOSPC:
#ifdef EDQUOT
    case EDQUOT:
#endif
      return kErrorDiskFull;
    case EBUSY:
      return kErrorBusy;
    case ETIMEDOUT:
      return kErrorSemTimeout;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case EINVAL:
    case EFBIG:
      return kErrorInvalidParameter;
    case EPIPE:
#ifdef ECONNRESET
    case ECONNRESET:
#endif
      return kErrorBrokenPipe;
    case EBADF:
      return kErrorInvalidHandle;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EROFS:
      return kErrorWriteProtect;
    case EXDEV:
      return kErrorNotSameDevice;
    case EIO:
      return kErrorIoDevice;
    case ENODEV:
    case ENXIO:
    case ENOTCONN:
      return kErrorDeviceNotConnected;
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case ENOSYS:
      return kErrorNotSupported;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return kErrorBusy;
    case EINTR:
    case ECANCELED:
      return kErrorOperationAborted;
    case EFAULT:
      return kErrorNoAccess;
    case ETXTBSY:
      return kErrorSharingViolation;
    default:
      return kErrorGenFailure;
  }
}

}  // namespace platform
