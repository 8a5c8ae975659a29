// Files and folders: the path object and its parts, the program folder rule,
// existence and directory tests, directory trees, moving files, temporary
// files, and the file classes PTextFile (a C stream with open flags, sharing,
// retry and safe writing), PTextFileContainer (a text file read as lines) and
// PBinaryFile (a whole file read into memory).
//
// Nothing here throws; failures give false/null/0 and, unless quiet, a message
// box through Message().
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/containers.h"
#include "base/strings.h"

// A path of at most 519 characters, split into drive ("X:"), directory (with
// its trailing separator), name and extension (without its dot). Both '\\'
// and '/' separate; joining inserts platform::kPathSeparator.
class PFilePath {
 public:
  static constexpr size_t kMaxPath = 520;

  PFilePath();
  PFilePath(const char* path);
  // A copy never inherits the delete-on-destruction flag.
  PFilePath(const PFilePath& other);
  PFilePath& operator=(const PFilePath& other);
  PFilePath& operator=(const char* path);
  // Removes the file or tree when the delete flag is set (see PTempFile).
  virtual ~PFilePath();

  // Copies the text (cut at kMaxPath - 1 characters), removes one trailing
  // separator and splits the parts. Null gives the empty path.
  void Set(const char* path);

  const char* Path() const { return path_; }
  operator const char*() const { return path_; }
  bool IsEmpty() const { return path_[0] == 0; }
  size_t Length() const;

  // The parts.
  const char* Drive() const { return drive_; }
  const char* Dir() const { return dir_; }
  const char* Name() const { return name_; }
  const char* Ext() const { return ext_; }

  // Drive + directory ("C:\\a\\" of "C:\\a\\b.txt").
  PStr Directory() const;
  // Name + "." + extension ("b.txt"); just the name without an extension.
  PStr NameExt() const;

  // Replaces the extension (a leading dot of `ext` is ignored; null or empty
  // removes it).
  void SetExtension(const char* ext);
  // Replaces the name, keeping directory and extension; one leading separator
  // of the new name is dropped.
  void SetName(const char* name);
  // base + separator (unless base is empty) + relative without one leading
  // separator.
  PFilePath& Join(const char* base, const char* relative);
  // The same with the path itself as the base.
  PFilePath& Append(const char* component);

  bool Exists() const;

  void SetDeleteOnDestroy(bool on) { deleteOnDestroy_ = on; }
  bool DeleteOnDestroy() const { return deleteOnDestroy_; }

 protected:
  void Split();

  char path_[kMaxPath] = {};
  // The four parts, each zero-terminated, one after the other.
  char parts_[kMaxPath + 4] = {};
  const char* drive_ = parts_;
  const char* dir_ = parts_;
  const char* name_ = parts_;
  const char* ext_ = parts_;
  bool deleteOnDestroy_ = false;
};

// The program folder: the environment variable "*SystemPath*" when it is set
// and not empty, else the folder of the host executable; with a final
// separator.
PStr ProgramFolder();
// Program folder + subfolder + name + extension ("." added when missing):
// ProgramFile("Patches", "ini") or ProgramFile("Patches.ini").
PStr ProgramFile(const char* name, const char* extension = nullptr,
                 const char* subfolder = nullptr);

// A drive root ("X:" or "X:\\") exists when its drive type is not "no root
// directory"; any other path when an entry of that name (other than "." or
// "..") is found. Null and empty paths do not exist.
bool Exists(const char* path);
// False when the path holds "*" or "?"; drive roots as for Exists; otherwise
// whether the entry is a directory.
bool IsDirectory(const char* path);
// Case-insensitive comparison after removing one trailing separator from b.
bool SamePath(const char* a, const char* b);

// Creates every missing folder of the path: 2 when it already is a directory
// (or is a single character), 1 when created, 0 when a level could not be
// created. An empty path does nothing and gives 0.
int CreateDirectories(const char* path);
// Removes a directory with everything below it (read-only entries included);
// 1 when the directory is gone, 0 for a path that is not a directory or a
// tree that could not be removed completely. The entries are collected in a
// list of the call's own, so concurrent calls are safe.
int DeleteTree(const char* path);
// Moves (or copies and deletes across volumes) a file; `replace` overwrites
// an existing target. False for an empty source or a failure.
bool MoveFile(const char* from, const char* to, bool replace);

// Reads `length` bytes of a file (-1: the whole file) into `buffer`, which
// receives length + 1 bytes, the last one zero. On failure (message 8385 when
// the open fails, 5280 on a short read; none when quiet) the buffer is
// emptied and false returned.
bool ReadFileToBuffer(DynArrayBase& buffer, const char* path, bool quiet, int64_t length = -1);

// A new empty file in the system temporary folder; with the delete flag set
// (the default) destruction removes it again (a directory by DeleteTree).
class PTempFile : public PFilePath {
 public:
  explicit PTempFile(bool deleteOnDestroy = true);
};

// A C stream with open flags.
class PTextFile {
 public:
  enum Flags : uint32_t {
    kWrite = 0x0001,        // mode w, else r
    kBinary = 0x0004,       // mode b, else t
    kUpdate = 0x0008,       // "+" after the first letter
    kSafeWrite = 0x0010,    // with kWrite: on a network drive write a local
                            // temporary file and copy it over at Close
    kShared = 0x0020,       // open through the sharing-aware path
    kQuiet = 0x0040,        // no message box on failure
    kBuffer = 0x0080,       // stream buffer of 64 KiB
    kBuffer1M = 0x0100,     // stream buffer of 1 MiB
    kDenyRead = 0x0200,     // sharing code 0x30
    kRetryShared = 0x0400,  // retry every 100 ms for 4 s while another
                            // process holds the file
    kOwnBuffer = 0x0800,    // buffer held by the object (forces binary)
    kBuffer16M = 0x1000,    // stream buffer of 16 MiB
    kDenyWrite = 0x2000,    // sharing code 0x20 (without kDenyRead)
  };

  PTextFile(const char* path, uint32_t flags);
  // Plain integer flags (a literal 0 would otherwise also match a mode text).
  PTextFile(const char* path, int flags) : PTextFile(path, static_cast<uint32_t>(flags)) {}
  // With a C mode text ("rt", "w+b", "a" ...).
  PTextFile(const char* path, const char* mode, bool quiet = false, const char* extraText = nullptr,
            bool safeWrite = false);
  virtual ~PTextFile();
  PTextFile(const PTextFile&) = delete;
  PTextFile& operator=(const PTextFile&) = delete;

  // Writes what the own buffer holds, closes the stream and, when a local
  // substitute was written, copies it over the target. The fclose result (0
  // when nothing was open; EOF when the copy failed).
  virtual int Close();
  // fread of up to n bytes; the bytes read.
  virtual size_t Read(void* buffer, size_t n);

  bool IsOpen() const { return stream_ != nullptr; }
  // The C stream. With kOwnBuffer, write through Write/Print only (or Flush
  // before using the stream directly).
  FILE* Stream() const { return stream_; }
  const char* Path() const { return path_.c_str(); }
  uint32_t OpenFlags() const { return flags_; }
  const char* Mode() const { return mode_; }
  uint32_t LineCount() const { return lineCount_; }
  bool HasError() const { return error_; }
  bool IsQuiet() const { return quiet_; }
  // The Windows error number of a failed open (0 otherwise).
  uint32_t OpenError() const { return openError_; }

  // Reads one line of up to maxLength - 1 characters into the object's line
  // buffer, removes its trailing "\n" and "\r", counts it; null at the end of
  // the file. Valid until the next read.
  const char* ReadLine(size_t maxLength = 4096);
  // Binary read of exactly n bytes (binary read-only files only); false and
  // the error flag otherwise.
  bool ReadBlock(void* buffer, size_t n);
  // Rewinds; zeroes the line count and the error flag.
  void Reset();
  // One line into the caller's buffer (text mode only), trailing "\n" and
  // "\r" removed, counted; null at the end of the file or in binary mode.
  char* ReadLineInto(char* buffer, size_t size);

  // Writing (through the own buffer with kOwnBuffer). False on failure.
  bool Write(const void* data, size_t n);
  bool Print(const char* format, ...);
  bool VPrint(const char* format, va_list args);
  // Writes the own buffer and flushes the stream.
  bool Flush();

  // The open-error text: "Cannot open file '%s'" (read mode without "+") or
  // "Cannot create file '%s'", ": " and the error text without line breaks,
  // "." unless it ends with one, then "\n" and the extra text when there is
  // one.
  PStr OpenErrorText(uint32_t error) const;

 protected:
  // For derived classes that open later.
  PTextFile() = default;
  void Open(const char* path, uint32_t flags);
  void OpenWithMode(const char* path, const char* mode, bool quiet, const char* extraText,
                    bool safeWrite);
  bool WriteOwnBuffer();

  FILE* stream_ = nullptr;
  uint32_t lineCount_ = 0;
  PStr path_;
  uint32_t flags_ = 0;
  DynArray<char> buffer_;  // own buffer, or the stream buffer
  size_t bufferSize_ = 0;
  size_t bufferUsed_ = 0;  // bytes held in the own buffer
  char mode_[8] = {};
  PStr extraText_;
  PStr tempPath_;  // local substitute of a network target
  bool quiet_ = false;
  bool error_ = false;
  uint32_t openError_ = 0;
  DynArray<char> line_;  // ReadLine's buffer
};

// The lines of a text file as Istr items: each line (at most 32760
// characters, trailing "\n"/"\r" removed, leading white space skipped) is an
// item; empty lines are kept only when asked. LineCount() counts every line
// read. A missing file gives an empty container.
class PTextFileContainer : public PTextFile, public IstrContainer {
 public:
  static constexpr size_t kMaxLine = 32760;
  explicit PTextFileContainer(const char* path, bool keepEmptyLines = false);
  const char* ClassName() const override { return "PTextFileContainer"; }
};

// A whole file read into memory (with a terminating zero after the data).
class PBinaryFile : public DynArray<unsigned char> {
 public:
  explicit PBinaryFile(const char* path, bool quiet = false);
  uint64_t DataSize() const { return dataSize_; }
  bool IsLoaded() const { return loaded_; }
  const char* Path() const { return path_.c_str(); }

 private:
  uint64_t dataSize_ = 0;
  bool loaded_ = false;
  PStr path_;
};
