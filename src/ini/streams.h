// Line streams of the configuration text: one interface (FInOut) over a text
// file (FileInOut), a growable byte array in memory (MemoryInOut) and a whole
// file read into memory at once (FastFileIn). The INI reader takes its lines
// from them and the INI writer writes its text to them; text written to a
// MemoryInOut can be read back after Close().
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "base/containers.h"
#include "base/files.h"

class FInOut {
 public:
  FInOut() = default;
  FInOut(const FInOut&) = delete;
  FInOut& operator=(const FInOut&) = delete;
  virtual ~FInOut() = default;

  // Formatted output; the count written, negative on failure.
  int Printf(const char* format, ...);
  virtual int VPrintf(const char* format, va_list args) = 0;
  // One line into buffer (at most size - 1 characters and a terminating
  // zero); false at the end of the text.
  virtual bool ReadLine(char* buffer, size_t size) = 0;
  // 0, or what closing the backing reports.
  virtual int Close() { return 0; }

  // Whether a line read so far was longer than its buffer (and so came back
  // in pieces).
  bool HadLongLine() const { return hadLongLine_; }

 protected:
  bool hadLongLine_ = false;
};

// A text file opened through the text-file layer.
class FileInOut : public FInOut, public PTextFile {
 public:
  FileInOut(const char* path, const char* mode, bool quiet = true) : PTextFile(path, mode, quiet) {}

  // The text written so far to the stream; negative when it could not be
  // written.
  int VPrintf(const char* format, va_list args) override;
  // False when the file is not open, size is below 2 (no room for a
  // character) or the file is in its error state; a line longer than size - 1
  // characters comes back in pieces. Trailing line feeds and carriage returns
  // are removed and the line is counted. A line of exactly size - 1
  // characters takes its line end along (no empty piece after it).
  bool ReadLine(char* buffer, size_t size) override;
  // Closes the text file (the text-file layer's Close).
  int Close() override { return PTextFile::Close(); }
};

// Lines from, and text into, a byte array that the stream uses but does not
// own. The array's size is the end of the readable data.
class MemoryInOut : public FInOut {
 public:
  explicit MemoryInOut(DynArray<unsigned char>* data, uint64_t growth = 256)
      : data_(data), growth_(growth) {}

  // Writes the text with its terminating zero at the position (growing the
  // array by the growth step when the room left is too small) and advances by
  // the text length, so the data always ends with a zero. The count written
  // including the zero; negative when the array could not grow.
  int VPrintf(const char* format, va_list args) override;
  // Takes bytes from the position: carriage returns are skipped, a line feed
  // ends the line, a zero ends the data (a line taken before it is returned
  // first), and so does the end of the array. A line never holds more than
  // size - 1 characters: the rest of a longer one comes back as the next
  // line. With size 0 or 1 an empty line (nothing stored for 0).
  bool ReadLine(char* buffer, size_t size) override;
  // Back to the start, so that text just written can be read.
  int Close() override {
    position_ = 0;
    return 0;
  }

  uint64_t Position() const { return position_; }
  void SetPosition(uint64_t position) { position_ = position; }
  DynArray<unsigned char>* Data() const { return data_; }

 protected:
  DynArray<unsigned char>* data_;
  uint64_t position_ = 0;
  uint64_t growth_;
};

// The image of one whole file, read at once when the file is at most 16 MiB;
// its lines are then read as from memory.
class FastFileIn : public MemoryInOut {
 public:
  static constexpr uint64_t kMaxWholeFile = 0x1000000;
  // How long an open refused by another process's hold is retried, and how
  // often.
  static constexpr uint32_t kShareRetryMs = 4000;
  static constexpr uint32_t kShareRetryStepMs = 100;

  explicit FastFileIn(const char* path);

  bool IsWholeFileRead() const { return wholeFileRead_; }
  bool OpenFailed() const { return openFailed_; }
  // The Windows error number of a failed open (0 otherwise).
  uint32_t OpenError() const { return openError_; }
  // The file's size when it was opened.
  uint64_t FileSize() const { return fileSize_; }

 private:
  DynArray<unsigned char> image_;
  uint64_t fileSize_ = 0;
  uint32_t openError_ = 0;
  bool wholeFileRead_ = false;
  bool openFailed_ = false;
};
