// Command and reply buffers. An IOBuffer holds one outgoing command (the
// output array, appended to at OutPos) and one incoming reply (the input
// array, taken from InPos up to InEnd). A USBDeviceBuffer is the IOBuffer of
// one thread; the channel keeps one per calling thread.
//
// Positions are byte offsets from the start of their array, so growing an
// array never leaves a cursor pointing at freed storage. One buffer holds less
// than 4 GiB each way.
#pragma once

#include <cstdint>

#include "base/containers.h"
#include "base/object.h"
#include "base/strings.h"

class IOBuffer {
 public:
  IOBuffer(uint64_t inGrowBy, uint64_t outGrowBy);
  virtual ~IOBuffer();
  IOBuffer(const IOBuffer&) = delete;
  IOBuffer& operator=(const IOBuffer&) = delete;

  // Copies `count` bytes from InPos and advances it. When fewer are pending:
  // ErrorText "Cannot get input data beyond command buffer", the destination
  // zero-filled, InPos unchanged, false.
  virtual bool GetData(void* destination, uint32_t count);

  // Appends at OutPos, growing the output array first when it lacks room.
  // When the array cannot grow nothing is appended and ErrorText says so.
  IOBuffer& PutU32(uint32_t value);
  IOBuffer& PutBytes(const void* data, uint32_t count);

  // GetData of 1, 2 or 4 bytes (little-endian values); a shortage shows in
  // ErrorText and leaves the destination 0.
  IOBuffer& GetU8(uint8_t& destination);
  IOBuffer& GetU16(uint16_t& destination);
  IOBuffer& GetU32(uint32_t& destination);

  // Makes room for `count` more received bytes after InEnd and moves InEnd
  // past them; returns the start of that room (null, nothing reserved, when
  // the array cannot grow). Callers reserve with InPos at the start.
  unsigned char* ReserveInput(uint32_t count);

  // Cursor helpers.
  void RewindOutput() { OutPos = 0; }
  void RewindInput() { InPos = InEnd = 0; }
  unsigned char* OutBegin() const { return OutData.Data(); }
  uint32_t OutLength() const { return OutPos; }
  uint64_t OutCapacity() const { return OutData.Size(); }
  unsigned char* InBegin() const { return InData.Data(); }
  uint32_t InPending() const { return InEnd - InPos; }
  uint64_t InCapacity() const { return InData.Size(); }

  DynArray<unsigned char> OutData;
  uint32_t OutPos = 0;  // bytes of command built so far
  DynArray<unsigned char> InData;
  uint32_t InPos = 0;  // next byte to take
  uint32_t InEnd = 0;  // end of the received (or reserved) input
  uint64_t InGrowBy;   // at least 1
  uint64_t OutGrowBy;  // at least 1
  Istr ErrorText;
};

// The I/O buffer of one thread.
class USBDeviceBuffer : public BaseObject, public IOBuffer {
 public:
  // Growth 32768 both ways, at least 1024 bytes of input room, no pending
  // input, owned by the calling thread.
  USBDeviceBuffer();
  ~USBDeviceBuffer() override;
  const char* ClassName() const override { return "USBDeviceBuffer"; }

  uint32_t ThreadId;
};
