#include "usb/io_buffer.h"

#include <cstring>

#include "platform/thread.h"

namespace {

constexpr uint64_t kMaxPosition = 0xFFFFFFFFu;  // positions are 32-bit offsets
constexpr uint64_t kThreadBufferGrowth = 32768;
constexpr uint32_t kThreadBufferInput = 1024;

}  // namespace

IOBuffer::IOBuffer(uint64_t inGrowBy, uint64_t outGrowBy)
    : InGrowBy(inGrowBy != 0 ? inGrowBy : 1), OutGrowBy(outGrowBy != 0 ? outGrowBy : 1) {}

IOBuffer::~IOBuffer() = default;

bool IOBuffer::GetData(void* destination, uint32_t count) {
  if (count == 0) return true;
  if (InEnd < InPos || InEnd - InPos < count) {
    ErrorText = "Cannot get input data beyond command buffer";
    if (destination != nullptr) std::memset(destination, 0, count);
    return false;
  }
  if (destination != nullptr) std::memcpy(destination, InData.Data() + InPos, count);
  InPos += count;
  return true;
}

IOBuffer& IOBuffer::PutBytes(const void* data, uint32_t count) {
  if (count == 0) return *this;
  const uint64_t used = OutPos;
  if (OutData.Size() - used < count) {
    // Grow to what is needed plus the growth step, keeping the contents.
    const uint64_t size = OutGrowBy + used + count;
    if (used + count > kMaxPosition || !OutData.Resize(size)) {
      ErrorText = "Cannot grow the output buffer";
      return *this;
    }
  }
  std::memcpy(OutData.Data() + used, data, count);
  OutPos += count;
  return *this;
}

IOBuffer& IOBuffer::PutU32(uint32_t value) {
  unsigned char bytes[4] = {
      static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
      static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
  return PutBytes(bytes, sizeof bytes);
}

IOBuffer& IOBuffer::GetU8(uint8_t& destination) {
  GetData(&destination, 1);
  return *this;
}

IOBuffer& IOBuffer::GetU16(uint16_t& destination) {
  unsigned char bytes[2];
  GetData(bytes, sizeof bytes);
  destination = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
  return *this;
}

IOBuffer& IOBuffer::GetU32(uint32_t& destination) {
  unsigned char bytes[4];
  GetData(bytes, sizeof bytes);
  destination = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  return *this;
}

unsigned char* IOBuffer::ReserveInput(uint32_t count) {
  const uint64_t used = InEnd;
  if (used + count > InData.Size()) {
    const uint64_t size = InGrowBy + used + count;
    if (used + count > kMaxPosition || !InData.Resize(size)) {
      ErrorText = "Cannot grow the input buffer";
      return nullptr;
    }
    InPos = 0;
  }
  unsigned char* room = InData.Data() + used;
  InEnd += count;
  return room;
}

USBDeviceBuffer::USBDeviceBuffer()
    : IOBuffer(kThreadBufferGrowth, kThreadBufferGrowth), ThreadId(platform::CurrentThreadId()) {
  ReserveInput(kThreadBufferInput);
  RewindInput();
}

USBDeviceBuffer::~USBDeviceBuffer() = default;
