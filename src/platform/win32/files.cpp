// Files and folders on Windows.
//
// Sharing is the system's own: streams are opened with _fsopen and its share
// codes, so an open that conflicts with another handle (of this process or of
// another one) fails with error 32, and MoveFileExA / DeleteFileA refuse a
// file that a handle holds without delete sharing. Errors are the numbers
// GetLastError reports.
#include "platform/files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>

// <windows.h> renames these to their "A" functions; the platform's own
// functions of the same names are defined below.
#undef CopyFile
#undef CreateDirectory
#undef MoveFile
#undef RemoveDirectory

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/errors.h"

namespace platform {

const char kPathSeparator = '\\';

namespace {

constexpr uint64_t kMaxPiece = 0x7FFFFFFF;

uint32_t Fail(uint32_t code) {
  SetLastError(code);
  return code;
}

// A Windows error as the platform's last error; 0 (a call that failed
// without saying why) becomes "general failure".
uint32_t FailWith(DWORD code) {
  return Fail(code != 0 ? static_cast<uint32_t>(code) : uint32_t{kErrorGenFailure});
}

uint32_t FailWithLastError() {
  return FailWith(::GetLastError());
}

bool HasWildcard(const char* path) {
  return std::strpbrk(path, "*?") != nullptr;
}

// Attributes of a path without wildcards; INVALID_FILE_ATTRIBUTES when there
// is no such entry.
DWORD AttributesOf(const char* path) {
  if (path == nullptr || *path == '\0' || HasWildcard(path)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesA(path);
}

// "X:" or "X:\" (or "X:/"): a drive given by its letter alone.
bool IsDriveLetterRoot(const char* path) {
  const size_t length = std::strlen(path);
  if (length < 2 || length > 3 || path[1] != ':') return false;
  const char letter = path[0];
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) return false;
  return length == 2 || IsPathSeparator(path[2]);
}

// A C mode text is valid when it starts with r, w or a; the letters after it
// are left to the runtime (which knows "+", "b", "t" and its own extras).
bool ValidMode(const char* mode) {
  return mode != nullptr && (mode[0] == 'r' || mode[0] == 'w' || mode[0] == 'a');
}

HANDLE StreamHandle(FILE* stream) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}

// Brings the descriptor's position to the stream's logical one, so that
// descriptor I/O continues where the stream stands.
void SyncDescriptor(FILE* stream) {
  const int64_t position = _ftelli64(stream);
  std::fflush(stream);
  if (position >= 0) _lseeki64(_fileno(stream), position, SEEK_SET);
}

// Puts the stream where the descriptor ended up. The descriptor's own
// position is used rather than start + bytes moved: a text-mode transfer
// moves more bytes in the file than it delivers, and an append-mode write
// lands at the end.
void ResyncStream(FILE* stream) {
  const int64_t position = _lseeki64(_fileno(stream), 0, SEEK_CUR);
  if (position >= 0) _fseeki64(stream, position, SEEK_SET);
}

}  // namespace

std::string CurrentDirectory() {
  char buffer[MAX_PATH + 1];
  const DWORD length = ::GetCurrentDirectoryA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return {};
  return std::string(buffer, length);
}

bool PathExists(const char* path) {
  return AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const char* path) {
  const DWORD attributes = AttributesOf(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t DriveType(const char* path) {
  if (path == nullptr || *path == '\0') return DRIVE_NO_ROOT_DIR;
  // GetDriveTypeA wants the root of the volume with a trailing backslash.
  if (IsDriveLetterRoot(path)) {
    const char root[4] = {path[0], ':', '\\', '\0'};
    return ::GetDriveTypeA(root);
  }
  char root[MAX_PATH + 1];
  if (!::GetVolumePathNameA(path, root, sizeof root)) return DRIVE_NO_ROOT_DIR;
  return ::GetDriveTypeA(root);
}

uint32_t CreateDirectory(const char* path) {
  if (path == nullptr || *path == '\0') return Fail(kErrorPathNotFound);
  return ::CreateDirectoryA(path, nullptr) ? 0 : FailWithLastError();
}

uint32_t RemoveDirectory(const char* path) {
  if (path == nullptr || *path == '\0') return Fail(kErrorPathNotFound);
  return ::RemoveDirectoryA(path) ? 0 : FailWithLastError();
}

uint32_t RemoveFile(const char* path) {
  if (path == nullptr || *path == '\0') return Fail(kErrorFileNotFound);
  return ::DeleteFileA(path) ? 0 : FailWithLastError();
}

uint32_t ClearReadOnly(const char* path) {
  if (path == nullptr || *path == '\0') return Fail(kErrorFileNotFound);
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FailWithLastError();
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return 0;
  if (!::SetFileAttributesA(path, attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY))) {
    return FailWithLastError();
  }
  return 0;
}

uint32_t ListDirectory(const char* path, const std::function<void(const DirectoryEntry&)>& visit) {
  if (path == nullptr || *path == '\0') return Fail(kErrorPathNotFound);
  std::string pattern = path;
  if (!IsPathSeparator(pattern.back())) pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found{};
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    // An existing folder without any entry (a drive root) is empty, not
    // missing.
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND && IsDirectory(path)) return 0;
    return FailWith(error);
  }
  DWORD error = 0;
  do {
    if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) {
      continue;
    }
    DirectoryEntry entry;
    entry.name = found.cFileName;
    entry.isDirectory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.readOnly = (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    visit(entry);
  } while (::FindNextFileA(search, &found));
  error = ::GetLastError();
  ::FindClose(search);
  return error == ERROR_NO_MORE_FILES ? 0 : FailWith(error);
}

uint32_t MoveFile(const char* from, const char* to, uint32_t flags) {
  if (from == nullptr || *from == '\0' || to == nullptr || *to == '\0') {
    return Fail(kErrorInvalidParameter);
  }
  // The header's flags are MoveFileExA's own values.
  const DWORD native = flags & (MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
  return ::MoveFileExA(from, to, native) ? 0 : FailWithLastError();
}

uint32_t CopyFile(const char* from, const char* to, bool failIfExists) {
  if (from == nullptr || *from == '\0' || to == nullptr || *to == '\0') {
    return Fail(kErrorInvalidParameter);
  }
  return ::CopyFileA(from, to, failIfExists ? TRUE : FALSE) ? 0 : FailWithLastError();
}

std::string TempFolder() {
  char buffer[MAX_PATH + 2];
  const DWORD length = ::GetTempPathA(sizeof buffer, buffer);
  if (length == 0 || length >= sizeof buffer) return {};
  std::string folder(buffer, length);
  if (!IsPathSeparator(folder.back())) folder += kPathSeparator;
  return folder;
}

std::string CreateTempFile(const char* folder, const char* prefix) {
  const char* base = folder != nullptr && *folder != '\0' ? folder : ".";
  // GetTempFileNameA takes at most three letters of the prefix and, with a
  // unique number of 0, numbers the name itself and creates the empty file.
  char buffer[MAX_PATH + 1];
  if (::GetTempFileNameA(base, prefix != nullptr ? prefix : "", 0, buffer) == 0) {
    FailWithLastError();
    return {};
  }
  return buffer;
}

bool LastWriteTime(const char* path, uint64_t& fileTime) {
  // The attribute query reads the time without opening the file's data, so
  // a file that another program holds without sharing still answers.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path == nullptr || *path == '\0' || HasWildcard(path)) {
    Fail(kErrorInvalidName);
    return false;
  }
  if (!::GetFileAttributesExA(path, GetFileExInfoStandard, &data)) {
    FailWithLastError();
    return false;
  }
  fileTime = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
             data.ftLastWriteTime.dwLowDateTime;
  return true;
}

FILE* OpenStream(const char* path, const char* mode, int shareCode, uint32_t& error) {
  error = 0;
  if (path == nullptr || *path == '\0') {
    error = Fail(kErrorFileNotFound);
    return nullptr;
  }
  if (!ValidMode(mode)) {
    error = Fail(kErrorInvalidParameter);
    return nullptr;
  }
  // 0 means "deny none" here; _fsopen itself would refuse it.
  int share = _SH_DENYNO;
  switch (shareCode) {
    case kShareDenyReadWrite:
    case kShareDenyWrite:
    case kShareDenyRead:
      share = shareCode;
      break;
    default:
      break;
  }
  // The runtime keeps the Windows error of the failed CreateFile in
  // _doserrno; errno alone would say EACCES for both "access denied" and
  // "sharing violation".
  _doserrno = 0;
  errno = 0;
  FILE* stream = _fsopen(path, mode, share);
  if (stream == nullptr) {
    const unsigned long dosError = _doserrno;
    error = Fail(dosError != 0 ? static_cast<uint32_t>(dosError) : ErrorFromErrno(errno));
  }
  return stream;
}

int64_t StreamLength(FILE* stream) {
  if (stream == nullptr) return -1;
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(StreamHandle(stream), &size)) return -1;
  return size.QuadPart;
}

bool ResizeStream(FILE* stream, uint64_t size) {
  if (stream == nullptr || size > static_cast<uint64_t>(INT64_MAX)) return false;
  std::fflush(stream);
  // SetEndOfFile cuts or extends the file at the handle's position; the
  // stream is then put at the new end, which also resets its buffer.
  HANDLE handle = StreamHandle(stream);
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(size);
  if (!::SetFilePointerEx(handle, position, nullptr, FILE_BEGIN) || !::SetEndOfFile(handle)) {
    FailWithLastError();
    return false;
  }
  return _fseeki64(stream, 0, SEEK_END) == 0;
}

FileView::FileView(FILE* stream, uint64_t capacity, uint64_t length) {
  if (stream == nullptr || length == 0) return;
  std::fflush(stream);
  HANDLE file = StreamHandle(stream);
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(file, &size)) {
    FailWithLastError();
    return;
  }
  // A mapping larger than the file extends it to that size first.
  const uint64_t mappingSize =
      capacity > static_cast<uint64_t>(size.QuadPart) ? capacity : size.QuadPart;
  if (length > mappingSize || length > static_cast<uint64_t>(SIZE_MAX)) {
    SetLastError(kErrorInvalidParameter);
    return;
  }
  // A read-only stream's handle cannot carry a read-write mapping: the
  // mapping fails with error 5.
  HANDLE mapping =
      ::CreateFileMappingA(file, nullptr, PAGE_READWRITE, static_cast<DWORD>(mappingSize >> 32),
                           static_cast<DWORD>(mappingSize), nullptr);
  if (mapping == nullptr) {
    FailWithLastError();
    return;
  }
  void* data =
      ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, static_cast<SIZE_T>(length));
  if (data == nullptr) FailWithLastError();
  // The view keeps the mapping object alive until it is unmapped.
  ::CloseHandle(mapping);
  if (data == nullptr) return;
  data_ = static_cast<char*>(data);
  length_ = length;
}

FileView::~FileView() {
  if (data_ != nullptr) ::UnmapViewOfFile(data_);
}

uint64_t ReadAll(FILE* stream, void* buffer, uint64_t length) {
  if (stream == nullptr || buffer == nullptr) return 0;
  SyncDescriptor(stream);
  const int fd = _fileno(stream);
  uint64_t done = 0;
  while (done < length) {
    const uint64_t piece = length - done < kMaxPiece ? length - done : kMaxPiece;
    _doserrno = 0;  // only a failed system call sets it
    const int got = _read(fd, static_cast<char*>(buffer) + done, static_cast<unsigned>(piece));
    if (got < 0) SetLastError(_doserrno != 0 ? _doserrno : ErrorFromErrno(errno));
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  ResyncStream(stream);
  return done;
}

uint64_t WriteAll(FILE* stream, const void* buffer, uint64_t length) {
  if (stream == nullptr || buffer == nullptr) return 0;
  SyncDescriptor(stream);
  const int fd = _fileno(stream);
  uint64_t done = 0;
  while (done < length) {
    const uint64_t piece = length - done < kMaxPiece ? length - done : kMaxPiece;
    _doserrno = 0;
    const int put =
        _write(fd, static_cast<const char*>(buffer) + done, static_cast<unsigned>(piece));
    if (put < 0) SetLastError(_doserrno != 0 ? _doserrno : ErrorFromErrno(errno));
    if (put <= 0) break;
    done += static_cast<uint64_t>(put);
  }
  ResyncStream(stream);
  return done;
}

// On Windows sharing is decided per handle, not per process: a handle opened
// here without any sharing keeps every other open, move and delete out, this
// process's own included, exactly as another program's handle would. The
// handle lives in pid_: Windows handles are 32-bit values even in 64-bit
// processes (the system guarantees that truncating and sign-extending them
// is safe), and the class keeps its layout on every system.
ForeignFileHold::ForeignFileHold(const char* path) {
  if (path == nullptr || *path == '\0') return;
  HANDLE handle =
      ::CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  pid_ = static_cast<int>(reinterpret_cast<intptr_t>(handle));
  held_ = true;
}

ForeignFileHold::~ForeignFileHold() {
  if (held_) ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<intptr_t>(pid_)));
}

}  // namespace platform
