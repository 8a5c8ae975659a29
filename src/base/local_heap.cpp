// Storage blocks (DynArrayBase), the local heap, vectors and lstr.
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/containers.h"
#include "base/format.h"
#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/system.h"

namespace {

uint64_t g_localHeapThreshold = 0x100000000ull;

// Caption of the memory error boxes: the host program's file name without
// folder and extension.
std::string HostProgramName() {
  std::string path = platform::HostExecutablePath();
  size_t slash = path.find_last_of("/\\");
  if (slash != std::string::npos) path.erase(0, slash + 1);
  size_t dot = path.find_last_of('.');
  if (dot != std::string::npos && dot > 0) path.erase(dot);
  return path;
}

// Shows the message, ":", a line break and the system's text for the last
// error.
void MemoryErrorBox(const char* message) {
  std::string text = message;
  text += ":\n";
  text += platform::ErrorText(platform::LastError());
  std::string caption = HostProgramName();
  platform::ShowMessageBox(text.c_str(), caption.c_str(), platform::kMbIconHand);
}

// The local heap. On Windows the process heap switched to the low-fragmentation
// heap; here the C runtime's calloc/realloc/free, which zero-fill where the
// local heap does. A refused allocation sets the last error to "not enough
// memory" so that the box explains it.
void* LocalHeapAlloc(uint64_t bytes) {
  void* block = std::calloc(1, bytes);
  if (block == nullptr) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    // The sizes are shown in full (64-bit): blocks here are 4 GiB or more.
    MemoryErrorBox(Format("Unable to allocate %I64u bytes of memory from the local heap",
                          static_cast<unsigned long long>(bytes)));
  }
  return block;
}

void* LocalHeapRealloc(void* block, uint64_t oldBytes, uint64_t newBytes) {
  void* grown = std::realloc(block, newBytes);
  if (grown == nullptr) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    MemoryErrorBox(Format(
        "Unable to reallocate a local heap memory block: Old size = %I64u, New "
        "size = %I64u",
        static_cast<unsigned long long>(oldBytes), static_cast<unsigned long long>(newBytes)));
    return nullptr;
  }
  if (newBytes > oldBytes)
    std::memset(static_cast<char*>(grown) + oldBytes, 0, newBytes - oldBytes);
  return grown;
}

void LocalHeapFree(void* block) {
  std::free(block);
}

// The runtime heap: realloc with the grown part zero-filled.
void* RuntimeRealloc(void* block, uint64_t oldBytes, uint64_t newBytes) {
  void* grown = std::realloc(block, newBytes);
  if (grown != nullptr && newBytes > oldBytes) {
    std::memset(static_cast<char*>(grown) + oldBytes, 0, newBytes - oldBytes);
  }
  return grown;
}

}  // namespace

uint64_t SetLocalHeapThreshold(uint64_t bytes) {
  uint64_t previous = g_localHeapThreshold;
  g_localHeapThreshold = bytes == 0 ? 0x100000000ull : bytes;
  return previous;
}

DynArrayBase::~DynArrayBase() {
  Resize(0);
}

bool DynArrayBase::Resize(uint64_t bytes) {
  if (bytes == size_) return true;
  if (bytes == 0) {
    if (inLocalHeap_) {
      LocalHeapFree(data_);
    } else {
      std::free(data_);
    }
    data_ = nullptr;
    size_ = 0;
    inLocalHeap_ = false;
    return true;
  }
  const bool toLocal = bytes >= g_localHeapThreshold;
  if (data_ == nullptr) {
    void* block = toLocal ? LocalHeapAlloc(bytes) : std::calloc(1, bytes);
    if (block == nullptr) return false;
    data_ = block;
    size_ = bytes;
    inLocalHeap_ = toLocal;
    return true;
  }
  if (toLocal == inLocalHeap_) {
    void* block =
        toLocal ? LocalHeapRealloc(data_, size_, bytes) : RuntimeRealloc(data_, size_, bytes);
    if (block == nullptr) return false;
    data_ = block;
    size_ = bytes;
    return true;
  }
  // The block changes sides: take a new one, copy, release the old one.
  void* block;
  if (toLocal) {
    block = LocalHeapAlloc(bytes);
    if (block == nullptr) return false;
    std::memcpy(block, data_, size_);  // growing: the old size
    std::free(data_);
  } else {
    block = std::malloc(bytes);
    if (block == nullptr) {
      platform::SetLastError(platform::kErrorNotEnoughMemory);
      MemoryErrorBox(Format("Unable to allocate %I64u bytes of memory from the heap",
                            static_cast<unsigned long long>(bytes)));
      return false;
    }
    std::memcpy(block, data_, bytes);  // shrinking: the new size
    LocalHeapFree(data_);
  }
  data_ = block;
  size_ = bytes;
  inLocalHeap_ = toLocal;
  return true;
}

// ---------------------------------------------------------------------------
// PArrayAsVector

PArrayAsVector::PArrayAsVector(uint64_t initialCount, uint64_t delta, uint32_t elementSize)
    : delta_(delta), elementSize_(elementSize == 0 ? 1 : elementSize) {
  if (initialCount > 0) Resize(initialCount * elementSize_);
}

bool PArrayAsVector::Append(const void* data, uint64_t n) {
  if (n == 0) return true;
  const uint64_t used = count_ * elementSize_;
  const uint64_t bytes = n * elementSize_;
  if (size_ - used < bytes) {
    const uint64_t step = delta_ * elementSize_;
    if (!Resize(used + (bytes > step ? bytes : step))) return false;
  }
  char* end = static_cast<char*>(data_) + used;
  if (data != nullptr) {
    std::memmove(end, data, bytes);
  } else {
    std::memset(end, 0, bytes);
  }
  count_ += n;
  return true;
}

void* PArrayAsVector::At(uint64_t index) const {
  if (index >= count_) FatalIndexError(static_cast<int64_t>(index), count_);
  return static_cast<char*>(data_) + index * elementSize_;
}

bool PArrayAsVector::Reserve(uint64_t count) {
  if (count <= Capacity()) return true;
  return Resize(count * elementSize_);
}

// ---------------------------------------------------------------------------
// lstr

lstr& lstr::Append(const char* text) {
  if (text == nullptr) return *this;
  // Drop the existing terminating zero first.
  if (count_ > 0) {
    const char* data = static_cast<const char*>(data_);
    if (textMode) {
      const void* zero = std::memchr(data, 0, count_);
      if (zero != nullptr) count_ = static_cast<const char*>(zero) - data;
    } else if (data[count_ - 1] == 0) {
      --count_;
    }
  }
  size_t length = std::strlen(text);
  // `text` may point into our own storage, which Append can move.
  const char* data = static_cast<const char*>(data_);
  if (data != nullptr && text >= data && text < data + size_) {
    std::string copy(text, length);
    PArrayAsVector::Append(copy.c_str(), length + 1);
  } else {
    PArrayAsVector::Append(text, length + 1);
  }
  return *this;
}

lstr& lstr::AppendFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const char* text = VFormat(format, args);
  va_end(args);
  return Append(text);
}

size_t lstr::Length() const {
  if (count_ == 0) return 0;
  const char* data = static_cast<const char*>(data_);
  const void* zero = std::memchr(data, 0, count_);
  return zero == nullptr ? count_ : static_cast<size_t>(static_cast<const char*>(zero) - data);
}

const char* lstr::Text() const {
  if (count_ == 0 || data_ == nullptr) return "";
  return static_cast<const char*>(data_);
}

void lstr::Clear() {
  count_ = 0;
}
