#include "base/format.h"

#include <cstdlib>
#include <cstring>

// The library writes 64-bit conversions as "%I64u" / "%I64X" / "%I64d" on
// every system. glibc reads 'I' as a flag (locale digits), so formats that
// hold an 'I' after a '%' are rewritten before they reach the C library:
// "I64" becomes "ll", "I32" is dropped (int is 32-bit) and a lone "I" (size_t)
// becomes "z". Formats without such an 'I' are passed through untouched, which
// keeps the common case at the cost of two strchr scans.

namespace {

class MappedFormat {
 public:
  explicit MappedFormat(const char* format) : text_(format) {
    if (format == nullptr) return;
    const char* percent = std::strchr(format, '%');
    if (percent == nullptr || std::strchr(percent, 'I') == nullptr) return;
    Rewrite(format);
  }
  ~MappedFormat() { std::free(heap_); }
  MappedFormat(const MappedFormat&) = delete;
  MappedFormat& operator=(const MappedFormat&) = delete;

  const char* Text() const { return text_; }

 private:
  void Rewrite(const char* format) {
    // The rewritten format is never longer than the original.
    size_t length = std::strlen(format);
    char* out = stack_;
    if (length >= sizeof(stack_)) {
      heap_ = static_cast<char*>(std::malloc(length + 1));
      if (heap_ == nullptr) return;  // keep the original format
      out = heap_;
    }
    char* o = out;
    const char* p = format;
    while (*p != 0) {
      if (*p != '%') {
        *o++ = *p++;
        continue;
      }
      *o++ = *p++;
      if (*p == '%') {
        *o++ = *p++;
        continue;
      }
      // Flags, argument position, width and precision.
      while (*p != 0 && std::strchr("-+ #0'123456789.*$", *p) != nullptr)
        *o++ = *p++;
      if (*p == 'I') {
        if (p[1] == '6' && p[2] == '4') {
          *o++ = 'l';
          *o++ = 'l';
          p += 3;
        } else if (p[1] == '3' && p[2] == '2') {
          p += 3;
        } else {
          *o++ = 'z';
          ++p;
        }
      }
    }
    *o = 0;
    text_ = out;
  }

  const char* text_;
  char* heap_ = nullptr;
  char stack_[256];
};

// The per-thread formatting buffers. Two buffers are used in turn, so that the
// result of one Format may be an argument of the next Format on the same
// thread (Format("%s ...", Format(...))) without formatting a buffer into
// itself. The state is plain thread-local data with a separate cleaner: a
// Format called from a static destructor, after the thread's own
// thread-local objects are gone, still finds valid (empty) state and simply
// allocates again.
constexpr size_t kMinCapacity = 256;
// Storage above this size is released before the next use of the buffer, so
// that one huge text does not pin its memory for the life of the thread.
constexpr size_t kReleaseAbove = 0x100000;

struct ThreadBuffer {
  char* data;
  size_t capacity;
};

struct ThreadState {
  ThreadBuffer buffers[2];
  unsigned next;
  bool cleanerArmed;
  bool cleanedUp;
};

thread_local ThreadState t_state{};

struct ThreadCleaner {
  ~ThreadCleaner() {
    for (ThreadBuffer& b : t_state.buffers) {
      std::free(b.data);
      b.data = nullptr;
      b.capacity = 0;
    }
    t_state.cleanedUp = true;
  }
};

void ArmCleaner() {
  t_state.cleanerArmed = true;
  if (t_state.cleanedUp) return;  // the thread is ending: the storage is left to the system
  thread_local ThreadCleaner cleaner;
  (void)cleaner;
}

// Makes room for `capacity` bytes, discarding the old contents.
bool Reserve(ThreadBuffer& b, size_t capacity) {
  char* fresh = static_cast<char*>(std::malloc(capacity));
  if (fresh == nullptr) return false;
  std::free(b.data);
  b.data = fresh;
  b.capacity = capacity;
  if (!t_state.cleanerArmed) ArmCleaner();
  return true;
}

char g_emptyText[1] = {0};

}  // namespace

const char* VFormat(const char* format, va_list args) {
  if (format == nullptr) return "";
  MappedFormat mapped(format);
  ThreadBuffer& b = t_state.buffers[t_state.next];
  t_state.next ^= 1;
  if (b.capacity > kReleaseAbove) {
    std::free(b.data);
    b.data = nullptr;
    b.capacity = 0;
  }
  if (b.capacity < kMinCapacity && !Reserve(b, kMinCapacity)) return g_emptyText;

  va_list retry;
  va_copy(retry, args);
  int n = std::vsnprintf(b.data, b.capacity, mapped.Text(), args);
  if (n < 0) {
    b.data[0] = 0;
  } else if (static_cast<size_t>(n) >= b.capacity) {
    size_t capacity = b.capacity;
    while (capacity <= static_cast<size_t>(n))
      capacity *= 2;
    // On refused memory the truncated text already in the buffer stands.
    if (Reserve(b, capacity)) std::vsnprintf(b.data, b.capacity, mapped.Text(), retry);
  }
  va_end(retry);
  return b.data;
}

const char* Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = VFormat(format, args);
  va_end(args);
  return text;
}

int VFormatTo(char* buffer, size_t size, const char* format, va_list args) {
  if (format == nullptr) {
    if (buffer != nullptr && size > 0) buffer[0] = 0;
    return 0;
  }
  MappedFormat mapped(format);
  return std::vsnprintf(buffer, size, mapped.Text(), args);
}

int FormatTo(char* buffer, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = VFormatTo(buffer, size, format, args);
  va_end(args);
  return n;
}

int VPrintToStream(FILE* stream, const char* format, va_list args) {
  if (stream == nullptr || format == nullptr) return -1;
  MappedFormat mapped(format);
  return std::vfprintf(stream, mapped.Text(), args);
}

char* AppendFormat(char* text, const char* format, ...) {
  if (text == nullptr || format == nullptr) return text;
  MappedFormat mapped(format);
  va_list args;
  va_start(args, format);
  std::vsprintf(text + std::strlen(text), mapped.Text(), args);
  va_end(args);
  return text;
}

PFormatBuffer::PFormatBuffer(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Build(format, args);
  va_end(args);
}

PFormatBuffer::PFormatBuffer(const char* format, va_list args) {
  Build(format, args);
}

PFormatBuffer::~PFormatBuffer() {
  std::free(heap_);
}

void PFormatBuffer::Build(const char* format, va_list args) {
  inline_[0] = 0;
  if (format == nullptr) return;
  MappedFormat mapped(format);
  va_list retry;
  va_copy(retry, args);
  int n = std::vsnprintf(inline_, sizeof(inline_), mapped.Text(), args);
  if (n >= static_cast<int>(sizeof(inline_))) {
    heap_ = static_cast<char*>(std::malloc(static_cast<size_t>(n) + 1));
    if (heap_ != nullptr) {
      std::vsnprintf(heap_, static_cast<size_t>(n) + 1, mapped.Text(), retry);
      text_ = heap_;
    }
  } else if (n < 0) {
    inline_[0] = 0;
  }
  va_end(retry);
}
