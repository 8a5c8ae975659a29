#include "base/format.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/options.h"
#include "base/per_thread.h"

// The library writes 64-bit conversions as "%I64u" / "%I64X" / "%I64d" on
// every system. glibc reads 'I' as a flag (locale digits), so conversions with
// an 'I' length modifier are rewritten before they reach the C library: "I64"
// becomes "ll", "I32" is dropped (int is 32-bit) and a lone "I" (size_t)
// becomes "z".
//
// Cost matters: every log line is formatted. What a format needs is worked
// out once per thread and kept in a small per-thread cache keyed by the
// format's address (formats are nearly always literals); a hit is confirmed
// by comparing the text, so a format buffer whose contents change is never
// served a stale answer. Formats longer than 240 characters are worked out
// on every use.

namespace {

// Characters that may stand between '%' and the length modifier: flags,
// argument position, width and precision.
constexpr std::array<bool, 256> kSpecChars = [] {
  std::array<bool, 256> table{};
  for (char c : std::string_view("-+ #0'123456789.*$"))
    table[static_cast<unsigned char>(c)] = true;
  return table;
}();

// Per-thread state: the formatting buffers and the cache of rewritten
// formats, kept in a per-thread slot (released when the thread ends or the
// library is unloaded). A Format called late in a thread's end, after its
// state was released, finds none and simply starts a fresh one.
struct ThreadBuffer {
  char* data;
  size_t capacity;
};

// What a format needs: nothing (kAsIs), the rewrite, or no formatting at all
// (kPlain: no conversion, the text is its own result).
enum class FormatKind : uint8_t { kAsIs, kRewritten, kPlain };

// One cached format: `block` holds the original text and its zero, followed
// by the rewritten text for kRewritten.
struct CachedFormat {
  const char* key;
  char* block;
  size_t length;
  FormatKind kind;
};

constexpr size_t kCacheSlots = 128;
constexpr size_t kCacheableLength = 240;

struct ThreadState {
  ThreadState() = default;
  ThreadState(const ThreadState&) = delete;
  ThreadState& operator=(const ThreadState&) = delete;
  ~ThreadState() {
    for (ThreadBuffer& b : buffers)
      std::free(b.data);
    for (CachedFormat& c : cache)
      std::free(c.block);
  }

  // Two buffers used in turn, so that the result of one Format may be an
  // argument of the next Format on the same thread (Format("%s ...",
  // Format(...))) without formatting a buffer into itself.
  ThreadBuffer buffers[2] = {};
  CachedFormat cache[kCacheSlots] = {};
  unsigned next = 0;
};

ThreadState& State() {
  static Immortal<PerThread<ThreadState>> states;
  return states.Get().Get();
}

// Writes the format with every 'I' length modifier mapped into `out` (room
// for the format's length + 1: the result is never longer). False when the
// format has no such modifier; `out` is then unused.
bool Rewrite(const char* format, char* out) {
  char* o = out;
  const char* copied = format;  // start of the part not yet copied
  for (const char* p = std::strchr(format, '%'); p != nullptr; p = std::strchr(p, '%')) {
    ++p;
    if (*p == '%') {
      ++p;
      continue;
    }
    while (kSpecChars[static_cast<unsigned char>(*p)])
      ++p;
    if (*p != 'I') continue;
    std::memcpy(o, copied, static_cast<size_t>(p - copied));
    o += p - copied;
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
    copied = p;
  }
  if (copied == format) return false;
  std::memcpy(o, copied, std::strlen(copied) + 1);
  return true;
}

class MappedFormat {
 public:
  // `state` holds the cache of the calling thread; formatting without a
  // thread buffer passes none and asks for it only when the format is not
  // "%s".
  explicit MappedFormat(const char* format, ThreadState* state = nullptr) : text_(format) {
    if (format == nullptr) return;
    if (format[0] == '%' && format[1] == 's' && format[2] == 0) {
      oneString_ = true;
      return;
    }
    const uintptr_t address = reinterpret_cast<uintptr_t>(format);
    if (state == nullptr) state = &State();
    CachedFormat& cached = state->cache[((address >> 4) ^ (address >> 12)) % kCacheSlots];
    if (cached.key == format && std::strcmp(cached.block, format) == 0) {
      plain_ = cached.kind == FormatKind::kPlain;
      if (cached.kind == FormatKind::kRewritten) text_ = cached.block + cached.length + 1;
      return;
    }
    Classify(format, cached);
  }
  ~MappedFormat() {
    if (heap_ != nullptr) std::free(heap_);
  }
  MappedFormat(const MappedFormat&) = delete;
  MappedFormat& operator=(const MappedFormat&) = delete;

  const char* Text() const { return text_; }
  // The format holds no conversion at all: it is its own result.
  bool IsPlain() const { return plain_; }
  // The format is exactly "%s".
  bool IsOneString() const { return oneString_; }

 private:
  // Works out what the format needs and remembers it in the cache slot.
  void Classify(const char* format, CachedFormat& cached) {
    FormatKind kind = FormatKind::kAsIs;
    const char* percent = std::strchr(format, '%');
    if (percent == nullptr) {
      plain_ = true;
      kind = FormatKind::kPlain;
    }
    const size_t length = std::strlen(format);
    char* out = nullptr;
    if (percent != nullptr && std::strchr(percent, 'I') != nullptr) {
      out = stack_;
      if (length >= sizeof(stack_)) {
        heap_ = static_cast<char*>(std::malloc(length + 1));
        if (heap_ == nullptr) return;  // keep the original format
        out = heap_;
      }
      if (Rewrite(format, out)) {
        text_ = out;
        kind = FormatKind::kRewritten;
      }
    }
    if (length > kCacheableLength) return;
    const size_t blockSize = kind == FormatKind::kRewritten ? 2 * (length + 1) : length + 1;
    char* block = static_cast<char*>(std::malloc(blockSize));
    if (block == nullptr) return;
    std::memcpy(block, format, length + 1);
    if (kind == FormatKind::kRewritten) std::memcpy(block + length + 1, out, length + 1);
    std::free(cached.block);
    cached = CachedFormat{format, block, length, kind};
  }

  const char* text_;
  char* heap_ = nullptr;
  bool plain_ = false;
  bool oneString_ = false;
  char stack_[256];
};

constexpr size_t kMinCapacity = 256;
// Storage above this size is released before the next use of the buffer, so
// that one huge text does not pin its memory for the life of the thread.
constexpr size_t kReleaseAbove = 0x100000;

// Makes room for `capacity` bytes, discarding the old contents.
bool Reserve(ThreadBuffer& b, size_t capacity) {
  char* fresh = static_cast<char*>(std::malloc(capacity));
  if (fresh == nullptr) return false;
  std::free(b.data);
  b.data = fresh;
  b.capacity = capacity;
  return true;
}

char g_emptyText[1] = {0};

// The body of Format and VFormat.
const char* FormatToThreadBuffer(const char* format, va_list args) {
  if (format == nullptr) return "";
  ThreadState& state = State();
  MappedFormat mapped(format, &state);
  ThreadBuffer& b = state.buffers[state.next];
  state.next ^= 1;
  if (b.capacity > kReleaseAbove) {
    std::free(b.data);
    b.data = nullptr;
    b.capacity = 0;
  }
  if (b.capacity < kMinCapacity && !Reserve(b, kMinCapacity)) return g_emptyText;

  // Texts without conversions and the log's "%s" are copied as they are.
  if (mapped.IsPlain() || mapped.IsOneString()) {
    const char* text = format;
    if (mapped.IsOneString()) {
      text = va_arg(args, const char*);
      if (text == nullptr) text = "(null)";  // as the C library prints it
    }
    size_t size = std::strlen(text) + 1;
    if (size > b.capacity) {
      size_t capacity = b.capacity;
      while (capacity < size)
        capacity *= 2;
      if (!Reserve(b, capacity)) {
        b.data[0] = 0;
        return b.data;
      }
    }
    std::memmove(b.data, text, size);
    return b.data;
  }

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

}  // namespace

const char* VFormat(const char* format, va_list args) {
  return FormatToThreadBuffer(format, args);
}

const char* Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = FormatToThreadBuffer(format, args);
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
