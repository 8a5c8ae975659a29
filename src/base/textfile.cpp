// File classes: PTextFile, PTextFileContainer, PBinaryFile, and reading a
// whole file into a buffer.

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "base/files.h"
#include "base/format.h"
#include "base/messages.h"
#include "base/sync.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/time.h"

namespace {

constexpr uint32_t kSharingFlags =
    PTextFile::kShared | PTextFile::kDenyRead | PTextFile::kRetryShared | PTextFile::kDenyWrite;
constexpr uint32_t kBufferFlags =
    PTextFile::kBuffer | PTextFile::kBuffer1M | PTextFile::kOwnBuffer | PTextFile::kBuffer16M;
constexpr uint32_t kRetryPeriodMs = 100;
constexpr uint32_t kRetryLimitMs = 4000;

// Removes every trailing "\n" and "\r".
void StripLineEnd(char* line) {
  size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r'))
    line[--n] = 0;
}

// fgets takes an int size.
int LineSize(size_t size) {
  return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
}

// The C runtime's text for a failed open. The open reports a Windows error
// number; the C runtime sets errno from it the same way (a sharing
// violation is EACCES there too).
PStr OpenFailureText(uint32_t error) {
  int err = 0;
  switch (error) {
    case platform::kErrorFileNotFound:
    case platform::kErrorPathNotFound:
    case platform::kErrorInvalidName:
      err = ENOENT;
      break;
    case platform::kErrorAccessDenied:
    case platform::kErrorSharingViolation:
    case platform::kErrorLockViolation:
    case platform::kErrorWriteProtect:
      err = EACCES;
      break;
    case platform::kErrorTooManyOpenFiles:
      err = EMFILE;
      break;
    case platform::kErrorFileExists:
    case platform::kErrorAlreadyExists:
      err = EEXIST;
      break;
    case platform::kErrorNotEnoughMemory:
      err = ENOMEM;
      break;
    case platform::kErrorInvalidParameter:
      err = EINVAL;
      break;
    case platform::kErrorDiskFull:
      err = ENOSPC;
      break;
    case platform::kErrorFilenameTooLong:
      err = ENAMETOOLONG;
      break;
    default:
      break;
  }
  if (err == 0) return PStr("Unknown error");
  std::string text = platform::RuntimeErrorText(err);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    text.pop_back();
  return PStr(text.empty() ? "Unknown error" : text.c_str());
}

}  // namespace

// ---------------------------------------------------------------------------
// ReadFileToBuffer

bool ReadFileToBuffer(DynArrayBase& buffer, const char* path, bool quiet, int64_t length) {
  buffer.Resize(0);
  if (!path || length < -1) return false;
  uint32_t error = 0;
  FILE* stream = platform::OpenStream(path, "rb", 0, error);
  if (!stream) {
    if (!quiet) Message("mf", 8385u, path, OpenFailureText(error).c_str());
    platform::SetLastError(error);
    return false;
  }
  if (length == -1) length = platform::StreamLength(stream);
  bool ok = length >= 0 && buffer.Resize(static_cast<uint64_t>(length) + 1);
  if (ok) {
    char* data = static_cast<char*>(buffer.Data());
    const uint64_t read = platform::ReadAll(stream, data, static_cast<uint64_t>(length));
    data[length] = 0;
    if (read != static_cast<uint64_t>(length)) {
      ok = false;
      if (platform::LastError() == 0) platform::SetLastError(platform::kErrorHandleEof);
    }
  } else {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
  }
  std::fclose(stream);
  if (!ok) {
    if (!quiet) Message("mef", 5280u, path);
    buffer.Resize(0);
  }
  return ok;
}

// ---------------------------------------------------------------------------
// PTextFile

PTextFile::PTextFile(const char* path, uint32_t flags) {
  Open(path, flags);
}

PTextFile::PTextFile(const char* path, const char* mode, bool quiet, const char* extraText,
                     bool safeWrite) {
  OpenWithMode(path, mode, quiet, extraText, safeWrite);
}

PTextFile::~PTextFile() {
  PTextFile::Close();
}

void PTextFile::Open(const char* path, uint32_t flags) {
  path_ = path ? path : "";
  flags_ = flags;
  quiet_ = (flags & kQuiet) != 0;
  error_ = false;
  openError_ = 0;

  // The mode text: w or r, "+" for update, b or t.
  char* m = mode_;
  *m++ = (flags & kWrite) ? 'w' : 'r';
  if (flags & kUpdate) *m++ = '+';
  *m++ = (flags & (kBinary | kOwnBuffer)) ? 'b' : 't';
  *m = 0;

  if (!(flags & kSharingFlags)) {
    const bool safeWrite = (flags & kSafeWrite) && (flags & kWrite);
    OpenWithMode(path, mode_, quiet_, nullptr, safeWrite);
    flags_ = flags;
    if (stream_ && (flags & kBufferFlags)) {
      const size_t size = (flags & kBuffer16M)  ? (16u << 20)
                          : (flags & kBuffer1M) ? (1u << 20)
                                                : (64u << 10);
      if (buffer_.ResizeCount(size)) {
        bufferSize_ = size;
        if (!(flags & kOwnBuffer)) std::setvbuf(stream_, buffer_.Data(), _IOFBF, size);
      }
    }
    return;
  }

  // The sharing-aware path.
  const int share = (flags & kDenyRead)    ? platform::kShareDenyRead
                    : (flags & kDenyWrite) ? platform::kShareDenyWrite
                                           : 0;
  uint32_t error = 0;
  stream_ = path ? platform::OpenStream(path, mode_, share, error)
                 : (error = platform::kErrorInvalidParameter, nullptr);
  if (!stream_ && (flags & kRetryShared) && error == platform::kErrorSharingViolation) {
    PTickTimeout timeout(kRetryLimitMs);
    while (!stream_ && error == platform::kErrorSharingViolation) {
      // A file that stays locked is reported even for a quiet open.
      quiet_ = false;
      if (timeout.IsExpired()) break;
      platform::Sleep(kRetryPeriodMs);
      stream_ = platform::OpenStream(path, mode_, share, error);
    }
  }
  if (!stream_) {
    error_ = true;
    openError_ = error;
    if (!quiet_) {
      platform::SetLastError(error);
      const bool readOpen = mode_[0] == 'r' && !std::strchr(mode_, '+');
      Message("sfe", readOpen ? "Cannot open file '%s'" : "Cannot create file '%s'", path_.c_str());
    }
  }
}

void PTextFile::OpenWithMode(const char* path, const char* mode, bool quiet, const char* extraText,
                             bool safeWrite) {
  path_ = path ? path : "";
  quiet_ = quiet;
  extraText_ = extraText;
  error_ = false;
  openError_ = 0;
  if (mode_ != mode) {
    std::strncpy(mode_, mode ? mode : "r", sizeof mode_ - 1);
    mode_[sizeof mode_ - 1] = 0;
  }
  flags_ = 0;
  if (quiet) flags_ |= kQuiet;
  if (mode_[0] == 'w' || mode_[0] == 'a') flags_ |= kWrite;
  if (std::strchr(mode_, '+')) flags_ |= kUpdate;
  if (std::strchr(mode_, 'b')) flags_ |= kBinary;
  if (safeWrite) flags_ |= kSafeWrite;
  if (!path) {
    error_ = true;
    openError_ = platform::kErrorInvalidParameter;
    return;
  }

  uint32_t error = 0;
  // Safe write replaces the whole target, so it only serves a "w" open (an
  // append or update open needs the target's own content).
  if (safeWrite && mode_[0] == 'w' && platform::DriveType(path) == 4) {
    const std::string folder = platform::TempFolder();
    const std::string temp = platform::CreateTempFile(folder.c_str(), "");
    if (!temp.empty()) {
      tempPath_ = temp.c_str();
      stream_ = platform::OpenStream(temp.c_str(), mode_, 0, error);
      if (!stream_) {
        platform::RemoveFile(temp.c_str());
        tempPath_.Free();
      }
    }
  }
  if (!stream_) stream_ = platform::OpenStream(path, mode_, 0, error);
  if (!stream_) {
    error_ = true;
    openError_ = error;
    if (!quiet_) Message("sf", "%s", OpenErrorText(error).c_str());
  }
}

PStr PTextFile::OpenErrorText(uint32_t error) const {
  const bool readOpen = mode_[0] == 'r' && !std::strchr(mode_, '+');
  PStr text;
  text.Format(readOpen ? "Cannot open file '%s'" : "Cannot create file '%s'", path_.c_str());
  text.Append(": ");
  const PStr reason = SystemErrorText(error);
  std::string flat;
  for (const char* c = reason.IsNull() ? "" : reason.c_str(); *c; ++c)
    if (*c != '\r' && *c != '\n') flat += *c;
  text.Append(flat.c_str());
  if (flat.empty() || flat.back() != '.') text.Append(".");
  if (!extraText_.IsEmpty()) text.Append("\n").Append(extraText_.c_str());
  return text;
}

bool PTextFile::WriteOwnBuffer() {
  if (!stream_ || bufferUsed_ == 0) return true;
  std::fflush(stream_);
  const uint64_t written = platform::WriteAll(stream_, buffer_.Data(), bufferUsed_);
  const bool ok = written == bufferUsed_;
  bufferUsed_ = 0;
  if (!ok) error_ = true;
  return ok;
}

int PTextFile::Close() {
  if (!stream_) return 0;
  WriteOwnBuffer();
  int result = std::fclose(stream_);
  stream_ = nullptr;
  bufferUsed_ = 0;
  if (!tempPath_.IsNull()) {
    const uint32_t error = platform::CopyFile(tempPath_.c_str(), path_.c_str(), false);
    if (error != 0) {
      error_ = true;
      result = EOF;
      if (!quiet_) Message("sf", "%s", OpenErrorText(error).c_str());
    }
    platform::RemoveFile(tempPath_.c_str());
    tempPath_.Free();
  }
  return result;
}

size_t PTextFile::Read(void* buffer, size_t n) {
  if (!stream_ || !buffer) return 0;
  return std::fread(buffer, 1, n, stream_);
}

const char* PTextFile::ReadLine(size_t maxLength) {
  if (!stream_ || maxLength < 2) return nullptr;
  if (line_.Count() < maxLength && !line_.ResizeCount(maxLength)) return nullptr;
  char* line = line_.Data();
  if (!std::fgets(line, LineSize(maxLength), stream_)) return nullptr;
  StripLineEnd(line);
  ++lineCount_;
  return line;
}

bool PTextFile::ReadBlock(void* buffer, size_t n) {
  const bool binaryReadOnly =
      mode_[0] == 'r' && std::strchr(mode_, 'b') && !std::strchr(mode_, '+');
  if (!stream_ || !binaryReadOnly || (!buffer && n)) {
    error_ = true;
    return false;
  }
  if (std::fread(buffer, 1, n, stream_) != n) {
    error_ = true;
    return false;
  }
  return true;
}

void PTextFile::Reset() {
  if (!stream_) return;
  WriteOwnBuffer();
  std::rewind(stream_);
  lineCount_ = 0;
  bufferUsed_ = 0;
  error_ = false;
}

char* PTextFile::ReadLineInto(char* buffer, size_t size) {
  if (!stream_ || !buffer || size < 2 || std::strchr(mode_, 'b')) return nullptr;
  if (!std::fgets(buffer, LineSize(size), stream_)) return nullptr;
  StripLineEnd(buffer);
  ++lineCount_;
  return buffer;
}

bool PTextFile::Write(const void* data, size_t n) {
  if (!stream_ || (!data && n)) return false;
  if (!(flags_ & kOwnBuffer) || bufferSize_ == 0) {
    const bool ok = std::fwrite(data, 1, n, stream_) == n;
    if (!ok) error_ = true;
    return ok;
  }
  if (bufferUsed_ + n > bufferSize_ && !WriteOwnBuffer()) return false;
  if (n >= bufferSize_) {
    // Larger than the whole buffer: straight through.
    std::fflush(stream_);
    const bool ok = platform::WriteAll(stream_, data, n) == n;
    if (!ok) error_ = true;
    return ok;
  }
  std::memcpy(buffer_.Data() + bufferUsed_, data, n);
  bufferUsed_ += n;
  return true;
}

bool PTextFile::VPrint(const char* format, va_list args) {
  if (!stream_ || !format) return false;
  if (!(flags_ & kOwnBuffer) || bufferSize_ == 0) {
    const bool ok = VPrintToStream(stream_, format, args) >= 0;
    if (!ok) error_ = true;
    return ok;
  }
  const char* text = VFormat(format, args);
  return Write(text, std::strlen(text));
}

bool PTextFile::Print(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const bool ok = VPrint(format, args);
  va_end(args);
  return ok;
}

bool PTextFile::Flush() {
  if (!stream_) return false;
  const bool ok = WriteOwnBuffer();
  return std::fflush(stream_) == 0 && ok;
}

// ---------------------------------------------------------------------------
// PTextFileContainer

PTextFileContainer::PTextFileContainer(const char* path, bool keepEmptyLines) {
  OpenWithMode(path, "rt", true, nullptr, false);
  if (!IsOpen()) return;
  DynArray<char> line(kMaxLine + 1);
  if (!line.Data()) {
    Close();
    return;
  }
  while (ReadLineInto(line.Data(), kMaxLine + 1)) {
    const char* text = line.Data();
    while (*text && IsSpace(static_cast<unsigned char>(*text)))
      ++text;
    if (!*text && !keepEmptyLines) continue;
    auto item = std::make_unique<Istr>(text);
    if (Add(item.get())) item.release();
  }
  Close();
}

// ---------------------------------------------------------------------------
// PBinaryFile

PBinaryFile::PBinaryFile(const char* path, bool quiet) : path_(path) {
  loaded_ = ReadFileToBuffer(*this, path, quiet, -1);
  dataSize_ = loaded_ && Size() > 0 ? Size() - 1 : 0;
}
