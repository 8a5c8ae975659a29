// The Windows texts of the error numbers the library reports, and the
// mapping of C runtime errno values to Windows error numbers: the same on
// every system.
#include <cerrno>

#include "platform/errors_common.h"

namespace platform {

namespace {

struct ErrorTextEntry {
  uint32_t code;
  const char* text;
};

// The English texts Windows gives for these numbers (FormatMessage, without
// the trailing line break).
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

}  // namespace

const char* WindowsErrorText(uint32_t code) {
  for (const auto& entry : kErrorTexts) {
    if (entry.code == code) return entry.text;
  }
  return nullptr;
}

// Not every C runtime has every errno value (Microsoft's lacks EDQUOT).
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
