// printf-style formatting.
//
// Formats are the C library's, with the 64-bit length modifier written "I64"
// ("%I64u", "%I64X", "%I64d") on every system; the formatting layer maps it to
// the modifier of the C library it runs on. Never pass a format from outside
// the library without "%s".
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Formats into the calling thread's formatting buffer (from 256 bytes,
// doubled until the text fits; storage above 1 MiB is released before the
// next use, smaller storage is kept). Each thread has two such buffers used in
// turn, so the result of one Format may be passed to the next; a text stays
// valid until the second-next Format on the same thread. Copy it (PStr) to
// keep it. A null format gives "".
const char* Format(const char* format, ...);
const char* VFormat(const char* format, va_list args);

// vsnprintf / vfprintf with the "I64" mapping. VFormatTo returns what
// vsnprintf returns (the full length, even when truncated).
int VFormatTo(char* buffer, size_t size, const char* format, va_list args);
int FormatTo(char* buffer, size_t size, const char* format, ...);
int VPrintToStream(FILE* stream, const char* format, va_list args);

// Appends formatted text at the terminating zero of a plain character array
// (no bound: the caller guarantees the room).
char* AppendFormat(char* text, const char* format, ...);

// One-shot formatting: a 256-character inline array, and a heap block that
// takes over for longer results.
class PFormatBuffer {
 public:
  PFormatBuffer(const char* format, ...);
  PFormatBuffer(const char* format, va_list args);
  ~PFormatBuffer();
  PFormatBuffer(const PFormatBuffer&) = delete;
  PFormatBuffer& operator=(const PFormatBuffer&) = delete;

  const char* Text() const { return text_; }
  operator const char*() const { return text_; }

 private:
  void Build(const char* format, va_list args);
  char inline_[256];
  char* heap_ = nullptr;
  const char* text_ = inline_;
};
