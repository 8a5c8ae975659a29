#include "ini/streams.h"

#include <cstring>

#include "base/format.h"
#include "base/sync.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/time.h"

int FInOut::Printf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int n = VPrintf(format, args);
  va_end(args);
  return n;
}

// ---------------------------------------------------------------------------
// FileInOut

int FileInOut::VPrintf(const char* format, va_list args) {
  if (!IsOpen() || format == nullptr) return -1;
  va_list copy;
  va_copy(copy, args);
  const int n = VFormatTo(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0 || !VPrint(format, args)) return -1;
  return n;
}

bool FileInOut::ReadLine(char* buffer, size_t size) {
  if (!IsOpen() || buffer == nullptr || size < 2 || HasError()) return false;
  if (ReadLineInto(buffer, size) == nullptr) return false;
  if (std::strlen(buffer) == size - 1) {
    // A full buffer: the line either ends right here (take its line end
    // along) or goes on in the next piece.
    FILE* stream = Stream();
    int c = std::fgetc(stream);
    while (c == '\r')
      c = std::fgetc(stream);
    if (c != '\n' && c != EOF) {
      std::ungetc(c, stream);
      hadLongLine_ = true;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// MemoryInOut

int MemoryInOut::VPrintf(const char* format, va_list args) {
  if (data_ == nullptr || format == nullptr) return -1;
  va_list copy;
  va_copy(copy, args);
  const uint64_t size = data_->Count();
  const uint64_t room = position_ < size ? size - position_ : 0;
  int n = VFormatTo(room > 0 ? reinterpret_cast<char*>(data_->Data() + position_) : nullptr, room,
                    format, args);
  if (n < 0) {
    va_end(copy);
    return -1;
  }
  const uint64_t needed = static_cast<uint64_t>(n) + 1;
  if (needed > room) {
    // Too little room: grow by the growth step beyond what this text needs,
    // then format again.
    if (!data_->ResizeCount(growth_ + position_ + needed)) {
      va_end(copy);
      return -1;
    }
    n = VFormatTo(reinterpret_cast<char*>(data_->Data() + position_), needed, format, copy);
  }
  va_end(copy);
  if (n < 0) return -1;
  position_ += static_cast<uint64_t>(n);
  return n + 1;
}

bool MemoryInOut::ReadLine(char* buffer, size_t size) {
  if (data_ == nullptr || buffer == nullptr) return false;
  const uint64_t end = data_->Count();
  if (position_ >= end) return false;
  if (size <= 1) {
    if (size == 1) buffer[0] = 0;
    return true;
  }
  const char* const base = reinterpret_cast<const char*>(data_->Data());
  const char* p = base + position_;
  const char* const limit = base + end;
  // The line's bytes run to the first line feed or zero, or to the end.
  const char* stop = static_cast<const char*>(std::memchr(p, '\n', limit - p));
  if (stop == nullptr) stop = limit;
  const char* zero = static_cast<const char*>(std::memchr(p, 0, stop - p));
  if (zero != nullptr) stop = zero;

  const size_t room = size - 1;
  size_t stored = 0;
  const char* cr = static_cast<const char*>(std::memchr(p, '\r', stop - p));
  if (cr == nullptr) {
    stored = static_cast<size_t>(stop - p) < room ? static_cast<size_t>(stop - p) : room;
    std::memcpy(buffer, p, stored);
    p += stored;
  } else {
    while (p < stop && stored < room) {
      if (*p != '\r') buffer[stored++] = *p;
      ++p;
    }
  }
  buffer[stored] = 0;
  // A full buffer may leave carriage returns before the line's end.
  while (p < stop && *p == '\r')
    ++p;
  if (p < stop) {
    // Longer than the buffer: the rest is the next line.
    position_ = static_cast<uint64_t>(p - base);
    hadLongLine_ = true;
    return true;
  }
  if (p < limit && *p == '\n') {
    position_ = static_cast<uint64_t>(p - base) + 1;
    return true;
  }
  position_ = static_cast<uint64_t>(p - base);
  if (p < limit && *p == 0) {
    // The zero ends the data; the position stays on it.
    return stored > 0;
  }
  return true;
}

// ---------------------------------------------------------------------------
// FastFileIn

FastFileIn::FastFileIn(const char* path) : MemoryInOut(&image_, 256) {
  uint32_t error = 0;
  FILE* stream = nullptr;
  PTickTimeout timeout(kShareRetryMs);
  for (;;) {
    stream = platform::OpenStream(path, "rb", platform::kShareDenyWrite, error);
    if (stream != nullptr || error != platform::kErrorSharingViolation ||
        timeout.Elapsed() >= kShareRetryMs) {
      break;
    }
    platform::Sleep(kShareRetryStepMs);
  }
  if (stream == nullptr) {
    openFailed_ = true;
    openError_ = error;
    return;
  }
  const int64_t length = platform::StreamLength(stream);
  if (length >= 0) fileSize_ = static_cast<uint64_t>(length);
  if (length >= 0 && fileSize_ <= kMaxWholeFile) {
    if (fileSize_ == 0) {
      wholeFileRead_ = true;
    } else if (image_.ResizeCount(fileSize_)) {
      wholeFileRead_ = platform::ReadAll(stream, image_.Data(), fileSize_) == fileSize_;
      if (!wholeFileRead_) image_.Resize(0);
    }
  }
  std::fclose(stream);
}
