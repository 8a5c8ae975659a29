// Files and folders.
//
// Windows refuses to open, move or delete a file that another handle holds
// without sharing; POSIX does not. Where the library's behaviour depends on it
// (the log's numbered names, the sharing retry of text files) the POSIX
// implementation emulates sharing with advisory locks: every stream opened here
// takes a shared lock, an open that denies others takes an exclusive one, and a
// move or delete fails with error 32 while anybody else holds a lock.
//
// Paths may separate their parts with backslashes or slashes on every system:
// the POSIX implementation reads a backslash in a path as a slash, so that a
// path written for Windows names the same file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// The separator this system's paths are built with ('\\' on Windows, '/'
// elsewhere). Path splitting accepts both everywhere.
extern const char kPathSeparator;
inline bool IsPathSeparator(char c) {
  return c == '\\' || c == '/';
}

// Current directory (at most 260 characters on Windows).
std::string CurrentDirectory();

// Whether a file-system entry exists (no wildcards).
bool PathExists(const char* path);
// Whether a path names an existing directory.
bool IsDirectory(const char* path);
// Drive type of a path ("X:" prefix on Windows): 1 no root dir, 2 removable,
// 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk. POSIX answers 3 for an existing
// root and 4 for a network file system.
uint32_t DriveType(const char* path);

// Each returns 0 or a Windows error number.
uint32_t CreateDirectory(const char* path);
uint32_t RemoveDirectory(const char* path);
uint32_t RemoveFile(const char* path);
uint32_t ClearReadOnly(const char* path);

struct DirectoryEntry {
  std::string name;  // without the folder; never "." or ".."
  bool isDirectory = false;
  bool readOnly = false;
};
// Calls `visit` for every entry of a folder; returns 0 or the error.
uint32_t ListDirectory(const char* path, const std::function<void(const DirectoryEntry&)>& visit);

enum MoveFlags : uint32_t {
  kMoveReplaceExisting = 1,  // MOVEFILE_REPLACE_EXISTING
  kMoveCopyAllowed = 2,      // MOVEFILE_COPY_ALLOWED
};
// MoveFileExA: 0 or the error (32 while another holder has the source open).
uint32_t MoveFile(const char* from, const char* to, uint32_t flags);
// CopyFileA: 0 or the error.
uint32_t CopyFile(const char* from, const char* to, bool failIfExists);

// The system temporary folder, with a trailing separator (GetTempPathA).
std::string TempFolder();
// Creates a new empty file with a unique name in `folder` (GetTempFileNameA
// with automatic numbering); returns its path, empty on failure.
std::string CreateTempFile(const char* folder, const char* prefix);

// Last-write time of a file as a FILETIME (100 ns since 1601, UTC); false
// when the file cannot be opened.
bool LastWriteTime(const char* path, uint64_t& fileTime);

// Windows share codes of _fsopen.
enum ShareCode : int {
  kShareDenyNone = 0x40,       // _SH_DENYNO
  kShareDenyReadWrite = 0x10,  // _SH_DENYRW
  kShareDenyWrite = 0x20,      // _SH_DENYWR
  kShareDenyRead = 0x30,       // _SH_DENYRD
};
// Opens a C stream with a C mode text ("w+t", "rb" ...; the 't' letter is
// accepted). A share code other than kShareDenyNone (or 0) denies others
// access: it fails with error 32 while another holder has the file open, and
// makes other opens fail with 32. Returns null and sets `error` on failure.
FILE* OpenStream(const char* path, const char* mode, int shareCode, uint32_t& error);

// Length of the file under an open stream, and in-place truncation or
// extension of it (the stream position is left at the new end).
int64_t StreamLength(FILE* stream);
bool ResizeStream(FILE* stream, uint64_t size);

// A read-write view of the first `length` bytes of the file under a stream
// (CreateFileMapping / MapViewOfFile); `capacity` extends the file first when
// larger than it is.
class FileView {
 public:
  FileView(FILE* stream, uint64_t capacity, uint64_t length);
  ~FileView();
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  bool IsValid() const { return data_ != nullptr; }
  char* Data() const { return data_; }
  uint64_t Length() const { return length_; }

 private:
  char* data_ = nullptr;
  uint64_t length_ = 0;
};

// Reads and writes through a stream's descriptor in pieces of at most
// 0x7FFFFFFF bytes; return the bytes transferred.
uint64_t ReadAll(FILE* stream, void* buffer, uint64_t length);
uint64_t WriteAll(FILE* stream, const void* buffer, uint64_t length);

// Holds a file open without sharing from a second process, as another program
// would, until destroyed (for tests).
class ForeignFileHold {
 public:
  explicit ForeignFileHold(const char* path);
  ~ForeignFileHold();
  ForeignFileHold(const ForeignFileHold&) = delete;
  ForeignFileHold& operator=(const ForeignFileHold&) = delete;
  bool IsHeld() const { return held_; }

 private:
  int pid_ = 0;
  bool held_ = false;
};

}  // namespace platform
