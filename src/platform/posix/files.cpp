// Files and folders on POSIX, with Windows sharing emulated by flock.
//
// Every stream opened by OpenStream holds a lock on its file: a shared one for
// "deny none", an exclusive one for the deny codes. A conflicting lock makes
// the open fail with error 32. Moving or deleting a file first probes it with
// an exclusive lock taken through a fresh descriptor, so any holder, in this
// process or another, makes the move or delete fail with 32, as a Windows
// handle opened without delete sharing does.
#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/errors.h"

namespace platform {

const char kPathSeparator = '/';

namespace {

constexpr uint64_t kMaxPiece = 0x7FFFFFFF;
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ull;

std::string NativePath(const char* path) {
  std::string result = path != nullptr ? path : "";
  for (char& c : result) {
    if (c == '\\') c = '/';
  }
  return result;
}

bool ParentExists(const std::string& path) {
  std::string parent = path;
  while (!parent.empty() && parent.back() == '/')
    parent.pop_back();
  const size_t slash = parent.rfind('/');
  if (slash == std::string::npos) return true;  // relative to the current folder
  parent.resize(slash == 0 ? 1 : slash);
  struct stat st {};
  return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The Windows error for a failed call on `path`: a missing file whose folder
// is missing too is "path not found" (3), as Windows reports it.
uint32_t PathError(int err, const std::string& path) {
  if (err == ENOENT && !ParentExists(path)) return kErrorPathNotFound;
  return ErrorFromErrno(err);
}

uint32_t Fail(uint32_t code) {
  SetLastError(code);
  return code;
}

// Whether a regular file is open through OpenStream (or held by another
// program) anywhere: an exclusive lock cannot be taken on it.
bool IsHeld(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat st {};
  bool held = false;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) held = errno == EWOULDBLOCK;
  }
  close(fd);
  return held;
}

// Copies the bytes, the permission bits and the last-write time of a regular
// file; replaces the target unless failIfExists.
uint32_t CopyRegularFile(const std::string& from, const std::string& to, bool failIfExists) {
  const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return PathError(errno, from);
  struct stat st {};
  if (fstat(in, &st) != 0) {
    const uint32_t error = ErrorFromErrno(errno);
    close(in);
    return error;
  }
  if (S_ISDIR(st.st_mode)) {
    close(in);
    return kErrorAccessDenied;
  }
  // Reading the source needs read sharing: an exclusive holder refuses it.
  if (flock(in, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(in);
    return kErrorSharingViolation;
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : 0);
  const int out = open(to.c_str(), flags, (st.st_mode & 07777) | S_IWUSR);
  if (out < 0) {
    const int err = errno;
    close(in);
    return err == EEXIST ? kErrorFileExists : PathError(err, to);
  }
  if (flock(out, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(in);
    close(out);
    return kErrorSharingViolation;
  }
  uint32_t error = 0;
  if (ftruncate(out, 0) != 0) error = ErrorFromErrno(errno);
  std::vector<char> buffer(1 << 16);
  while (error == 0) {
    const ssize_t got = read(in, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      error = ErrorFromErrno(errno);
      break;
    }
    if (got == 0) break;
    ssize_t done = 0;
    while (done < got) {
      const ssize_t put = write(out, buffer.data() + done, static_cast<size_t>(got - done));
      if (put < 0) {
        if (errno == EINTR) continue;
        error = ErrorFromErrno(errno);
        break;
      }
      done += put;
    }
  }
  if (error == 0) {
    fchmod(out, st.st_mode & 07777);
    const timespec times[2] = {st.st_atim, st.st_mtim};
    futimens(out, times);
  }
  close(in);
  if (close(out) != 0 && error == 0) error = ErrorFromErrno(errno);
  return error;
}

struct OpenMode {
  int flags = 0;
  bool truncate = false;
  bool valid = false;
  std::string cMode;  // the mode for fdopen, without Windows-only letters
};

OpenMode ParseMode(const char* mode) {
  OpenMode result;
  if (mode == nullptr) return result;
  const char kind = mode[0];
  bool update = false;
  bool binary = false;
  bool exclusive = false;
  for (const char* p = mode + 1; *p != '\0'; ++p) {
    if (*p == '+') update = true;
    if (*p == 'b') binary = true;
    if (*p == 'x') exclusive = true;
    if (*p == ',') break;  // ",ccs=..." of the Windows runtime
  }
  switch (kind) {
    case 'r':
      result.flags = update ? O_RDWR : O_RDONLY;
      break;
    case 'w':
      result.flags = (update ? O_RDWR : O_WRONLY) | O_CREAT;
      result.truncate = true;
      break;
    case 'a':
      result.flags = (update ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
      break;
    default:
      return result;
  }
  if (exclusive && kind != 'r') result.flags |= O_EXCL;
  result.cMode = kind;
  if (update) result.cMode += '+';
  if (binary) result.cMode += 'b';
  result.valid = true;
  return result;
}

// Brings the descriptor's offset to the stream's logical position, so that
// descriptor I/O continues where the stream stands; returns that position, or
// -1 for an unseekable stream.
off_t SyncDescriptor(FILE* stream) {
  const off_t position = ftello(stream);
  fflush(stream);
  if (position < 0) return -1;
  if (lseek(fileno(stream), position, SEEK_SET) < 0) return -1;
  return position;
}

void ResyncStream(FILE* stream, off_t start, uint64_t moved) {
  if (start >= 0) fseeko(stream, start + static_cast<off_t>(moved), SEEK_SET);
}

// Closes every descriptor from 3 up except `keep`, in a forked child: the
// child must not keep the parent's open files (and so their locks) alive
// after the parent closes them. Async-signal-safe.
void CloseOtherDescriptors(int keep, int limit) {
#ifdef SYS_close_range
  const bool lowClosed =
      keep <= 3 || syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u) == 0;
  if (lowClosed && syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) == 0) {
    return;
  }
#endif
  for (int fd = 3; fd < limit; ++fd) {
    if (fd != keep) close(fd);
  }
}

}  // namespace

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool PathExists(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty() || native.find_first_of("*?") != std::string::npos) return false;
  struct stat st {};
  return lstat(native.c_str(), &st) == 0;
}

bool IsDirectory(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty() || native.find_first_of("*?") != std::string::npos) return false;
  struct stat st {};
  return stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint32_t DriveType(const char* path) {
  const std::string native = NativePath(path);
  struct statfs fs {};
  if (native.empty() || statfs(native.c_str(), &fs) != 0) return 1;
  switch (static_cast<uint64_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x5346414F:  // AFS
    case 0x73757245:  // Coda
    case 0x00C36400:  // Ceph
      return 4;
    case 0x9660:  // ISO 9660
      return 5;
    default:
      return 3;
  }
}

uint32_t CreateDirectory(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty()) return Fail(kErrorPathNotFound);
  if (mkdir(native.c_str(), 0777) != 0) {
    if (errno == ENOENT) return Fail(kErrorPathNotFound);
    return Fail(PathError(errno, native));
  }
  return 0;
}

uint32_t RemoveDirectory(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty()) return Fail(kErrorPathNotFound);
  if (rmdir(native.c_str()) != 0) {
    if (errno == ENOTDIR) return Fail(kErrorDirectory);
    if (errno == EEXIST) return Fail(kErrorDirNotEmpty);
    return Fail(PathError(errno, native));
  }
  return 0;
}

uint32_t RemoveFile(const char* path) {
  const std::string native = NativePath(path);
  if (native.empty()) return Fail(kErrorFileNotFound);
  struct stat st {};
  if (lstat(native.c_str(), &st) != 0) return Fail(PathError(errno, native));
  if (S_ISDIR(st.st_mode)) return Fail(kErrorAccessDenied);
  if (S_ISREG(st.st_mode) && IsHeld(native)) return Fail(kErrorSharingViolation);
  if (unlink(native.c_str()) != 0) return Fail(PathError(errno, native));
  return 0;
}

uint32_t ClearReadOnly(const char* path) {
  const std::string native = NativePath(path);
  struct stat st {};
  if (stat(native.c_str(), &st) != 0) return Fail(PathError(errno, native));
  if ((st.st_mode & S_IWUSR) != 0) return 0;
  if (chmod(native.c_str(), (st.st_mode & 07777) | S_IWUSR) != 0) {
    return Fail(ErrorFromErrno(errno));
  }
  return 0;
}

uint32_t ListDirectory(const char* path, const std::function<void(const DirectoryEntry&)>& visit) {
  const std::string native = NativePath(path);
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(native.c_str()), &closedir);
  if (dir == nullptr) {
    if (errno == ENOTDIR) return Fail(kErrorDirectory);
    // Windows lists a folder through the pattern "folder\*", whose path is
    // not found when the folder is missing, whether its parent exists or not.
    if (errno == ENOENT) return Fail(kErrorPathNotFound);
    return Fail(PathError(errno, native));
  }
  const std::string prefix = native.empty() || native.back() == '/' ? native : native + "/";
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    DirectoryEntry item;
    item.name = entry->d_name;
    struct stat st {};
    const std::string full = prefix + item.name;
    if (stat(full.c_str(), &st) == 0 || lstat(full.c_str(), &st) == 0) {
      item.isDirectory = S_ISDIR(st.st_mode);
      item.readOnly = (st.st_mode & S_IWUSR) == 0;
    }
    visit(item);
  }
  const int err = errno;
  return err != 0 ? Fail(ErrorFromErrno(err)) : 0;
}

uint32_t MoveFile(const char* from, const char* to, uint32_t flags) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  if (source.empty() || target.empty()) return Fail(kErrorInvalidParameter);
  struct stat sourceStat {};
  if (lstat(source.c_str(), &sourceStat) != 0) return Fail(PathError(errno, source));
  if (S_ISREG(sourceStat.st_mode) && IsHeld(source)) return Fail(kErrorSharingViolation);

  struct stat targetStat {};
  const bool targetExists = lstat(target.c_str(), &targetStat) == 0;
  const bool sameFile = targetExists && targetStat.st_dev == sourceStat.st_dev &&
                        targetStat.st_ino == sourceStat.st_ino;
  if (targetExists && !sameFile) {
    if ((flags & kMoveReplaceExisting) == 0) return Fail(kErrorAlreadyExists);
    if (S_ISDIR(targetStat.st_mode)) return Fail(kErrorAccessDenied);
    // A target in use cannot be replaced.
    if (S_ISREG(targetStat.st_mode) && IsHeld(target)) return Fail(kErrorAccessDenied);
  }

  int rc = 0;
  if ((flags & kMoveReplaceExisting) == 0 && !sameFile) {
    rc = renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      rc = rename(source.c_str(), target.c_str());  // file system without no-replace
    }
  } else {
    rc = rename(source.c_str(), target.c_str());
  }
  if (rc == 0) return 0;
  const int err = errno;
  if (err == EEXIST) return Fail(kErrorAlreadyExists);
  if (err != EXDEV) return Fail(PathError(err, err == ENOENT ? target : source));
  if ((flags & kMoveCopyAllowed) == 0 || !S_ISREG(sourceStat.st_mode)) {
    return Fail(kErrorNotSameDevice);
  }
  const uint32_t error = CopyRegularFile(source, target, (flags & kMoveReplaceExisting) == 0);
  if (error != 0) return Fail(error == kErrorFileExists ? kErrorAlreadyExists : error);
  if (unlink(source.c_str()) != 0) return Fail(ErrorFromErrno(errno));
  return 0;
}

uint32_t CopyFile(const char* from, const char* to, bool failIfExists) {
  const std::string source = NativePath(from);
  const std::string target = NativePath(to);
  if (source.empty() || target.empty()) return Fail(kErrorInvalidParameter);
  struct stat a {
  }, b{};
  if (stat(source.c_str(), &a) == 0 && stat(target.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    // Copying a file onto itself would empty it.
    return Fail(failIfExists ? kErrorFileExists : kErrorSharingViolation);
  }
  const uint32_t error = CopyRegularFile(source, target, failIfExists);
  return error != 0 ? Fail(error) : 0;
}

std::string TempFolder() {
  std::string folder;
  const char* tmp = std::getenv("TMPDIR");
  struct stat st {};
  if (tmp != nullptr && *tmp != '\0' && stat(tmp, &st) == 0 && S_ISDIR(st.st_mode)) {
    folder = tmp;
  } else {
    folder = "/tmp";
  }
  if (folder.back() != '/') folder += '/';
  return folder;
}

std::string CreateTempFile(const char* folder, const char* prefix) {
  std::string base = NativePath(folder);
  if (base.empty()) base = ".";
  if (base.back() != '/') base += '/';
  // As GetTempFileName: at most three letters of the prefix, then a
  // hexadecimal number, then ".tmp".
  const std::string letters = std::string(prefix != nullptr ? prefix : "").substr(0, 3);
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned start = static_cast<unsigned>(now.tv_nsec / 1000 ^ getpid() ^ now.tv_sec) & 0xFFFF;
  for (unsigned i = 0; i < 0x10000; ++i) {
    unsigned number = (start + i) & 0xFFFF;
    if (number == 0) continue;
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%04X.tmp", number);
    const std::string path = base + letters + suffix;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    if (errno != EEXIST) {
      SetLastError(PathError(errno, path));
      return {};
    }
  }
  SetLastError(kErrorFileExists);
  return {};
}

bool LastWriteTime(const char* path, uint64_t& fileTime) {
  const std::string native = NativePath(path);
  struct stat st {};
  if (native.empty() || stat(native.c_str(), &st) != 0) {
    SetLastError(PathError(errno, native));
    return false;
  }
  const int64_t seconds = st.st_mtim.tv_sec;
  fileTime = kUnixEpochInFileTime + static_cast<uint64_t>(seconds) * 10000000ull +
             static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return true;
}

FILE* OpenStream(const char* path, const char* mode, int shareCode, uint32_t& error) {
  error = 0;
  const std::string native = NativePath(path);
  const OpenMode parsed = ParseMode(mode);
  if (native.empty() || !parsed.valid) {
    error = Fail(native.empty() ? kErrorFileNotFound : kErrorInvalidParameter);
    return nullptr;
  }
  // Truncation waits until the lock is held: a "w" open must not empty a file
  // that another holder keeps.
  const int fd = open(native.c_str(), parsed.flags | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    const int err = errno;
    error = Fail(err == EEXIST ? kErrorFileExists : PathError(err, native));
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    close(fd);
    error = Fail(kErrorAccessDenied);
    return nullptr;
  }
  const bool denyNone = shareCode == 0 || shareCode == kShareDenyNone;
  if (flock(fd, (denyNone ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    const int err = errno;
    close(fd);
    error = Fail(err == EWOULDBLOCK ? kErrorSharingViolation : ErrorFromErrno(err));
    return nullptr;
  }
  if (parsed.truncate && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0) {
    const int err = errno;
    close(fd);
    error = Fail(ErrorFromErrno(err));
    return nullptr;
  }
  FILE* stream = fdopen(fd, parsed.cMode.c_str());
  if (stream == nullptr) {
    const int err = errno;
    close(fd);
    error = Fail(ErrorFromErrno(err));
    return nullptr;
  }
  return stream;
}

int64_t StreamLength(FILE* stream) {
  if (stream == nullptr) return -1;
  struct stat st {};
  if (fstat(fileno(stream), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool ResizeStream(FILE* stream, uint64_t size) {
  if (stream == nullptr || size > static_cast<uint64_t>(INT64_MAX)) return false;
  fflush(stream);
  if (ftruncate(fileno(stream), static_cast<off_t>(size)) != 0) {
    SetLastError(ErrorFromErrno(errno));
    return false;
  }
  return fseeko(stream, 0, SEEK_END) == 0;
}

FileView::FileView(FILE* stream, uint64_t capacity, uint64_t length) {
  if (stream == nullptr || length == 0) return;
  fflush(stream);
  const int fd = fileno(stream);
  const int accessMode = fcntl(fd, F_GETFL) & O_ACCMODE;
  if (accessMode != O_RDWR) {
    SetLastError(kErrorAccessDenied);
    return;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) return;
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (capacity > size) {
    if (ftruncate(fd, static_cast<off_t>(capacity)) != 0) {
      SetLastError(ErrorFromErrno(errno));
      return;
    }
    size = capacity;
  }
  // A view beyond the end of the file would fault on access.
  if (length > size || length > static_cast<uint64_t>(SIZE_MAX)) {
    SetLastError(kErrorInvalidParameter);
    return;
  }
  void* data =
      mmap(nullptr, static_cast<size_t>(length), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    SetLastError(ErrorFromErrno(errno));
    return;
  }
  data_ = static_cast<char*>(data);
  length_ = length;
}

FileView::~FileView() {
  if (data_ != nullptr) munmap(data_, static_cast<size_t>(length_));
}

uint64_t ReadAll(FILE* stream, void* buffer, uint64_t length) {
  if (stream == nullptr || buffer == nullptr) return 0;
  const off_t start = SyncDescriptor(stream);
  const int fd = fileno(stream);
  uint64_t done = 0;
  while (done < length) {
    const uint64_t piece = length - done < kMaxPiece ? length - done : kMaxPiece;
    const ssize_t got = read(fd, static_cast<char*>(buffer) + done, static_cast<size_t>(piece));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) SetLastError(ErrorFromErrno(errno));
    if (got <= 0) break;
    done += static_cast<uint64_t>(got);
  }
  ResyncStream(stream, start, done);
  return done;
}

uint64_t WriteAll(FILE* stream, const void* buffer, uint64_t length) {
  if (stream == nullptr || buffer == nullptr) return 0;
  const off_t start = SyncDescriptor(stream);
  const int fd = fileno(stream);
  uint64_t done = 0;
  while (done < length) {
    const uint64_t piece = length - done < kMaxPiece ? length - done : kMaxPiece;
    const ssize_t put =
        write(fd, static_cast<const char*>(buffer) + done, static_cast<size_t>(piece));
    if (put < 0 && errno == EINTR) continue;
    if (put < 0) SetLastError(ErrorFromErrno(errno));
    if (put <= 0) break;
    done += static_cast<uint64_t>(put);
  }
  // In append mode the data went to the end, not to `start`.
  if ((fcntl(fd, F_GETFL) & O_APPEND) != 0) {
    fseeko(stream, 0, SEEK_END);
  } else {
    ResyncStream(stream, start, done);
  }
  return done;
}

ForeignFileHold::ForeignFileHold(const char* path) {
  const std::string native = NativePath(path);
  int channel[2];
  if (native.empty() || pipe2(channel, O_CLOEXEC) != 0) return;
  const long openMax = sysconf(_SC_OPEN_MAX);
  const int limit = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) : 65536;
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    return;
  }
  if (child == 0) {
    // Only async-signal-safe calls from here: the parent may have threads.
    CloseOtherDescriptors(channel[1], limit);
    const int fd = open(native.c_str(), O_RDONLY | O_NOCTTY);
    char status = '0';
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) status = '1';
    ssize_t written;
    do {
      written = write(channel[1], &status, 1);
    } while (written < 0 && errno == EINTR);
    if (status != '1') _exit(1);
    for (;;)
      pause();
  }
  close(channel[1]);
  pid_ = static_cast<int>(child);
  char status = '0';
  ssize_t got;
  do {
    got = read(channel[0], &status, 1);
  } while (got < 0 && errno == EINTR);
  close(channel[0]);
  held_ = got == 1 && status == '1';
}

ForeignFileHold::~ForeignFileHold() {
  if (pid_ <= 0) return;
  kill(static_cast<pid_t>(pid_), SIGKILL);
  int status = 0;
  while (waitpid(static_cast<pid_t>(pid_), &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace platform
