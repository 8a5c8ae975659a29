// The memory image: target data collected by address before it is written to
// flash (Intel HEX files are read into it), and SMemoryCache, the image bound
// to a device, whose flush writes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class RealUSBDevice;

namespace DebuggerNS {

// One run of consecutive bytes starting at Start.
struct DataRecord {
  uint32_t Start = 0;
  uint32_t ElementSize = 1;  // bytes per element; the image holds bytes
  std::vector<uint8_t> Data;

  uint32_t Length() const { return static_cast<uint32_t>(Data.size()); }
  // One past the last address (up to 2^32).
  uint64_t End() const { return static_cast<uint64_t>(Start) + Data.size(); }
};

// Address-ordered records that neither overlap nor touch: adding bytes that
// overlap or touch records merges them into one, the new bytes overwriting
// the old ones at the same addresses.
class DataRecords {
 public:
  // Adds `count` bytes at `address`; false (nothing added) when they would
  // run past address 0xFFFFFFFF.
  bool Add(uint32_t address, const uint8_t* bytes, uint32_t count);
  // Puts the records in address order (they are kept in it; kept for
  // callers that rely on the step).
  void Sort();
  void Clear() { records_.clear(); }

  size_t Count() const { return records_.size(); }
  const DataRecord& At(size_t index) const { return records_[index]; }
  // Sum of the record lengths.
  uint64_t TotalLength() const;
  std::vector<DataRecord>::const_iterator begin() const { return records_.begin(); }
  std::vector<DataRecord>::const_iterator end() const { return records_.end(); }

 private:
  std::vector<DataRecord> records_;
};

}  // namespace DebuggerNS

// The memory image of one device. Flush writes every record with WriteFlash
// in chunks of the device's output-buffer size less 256 bytes (the whole
// output size when it is 256 or less), reporting progress after each chunk.
class SMemoryCache : public DebuggerNS::DataRecords {
 public:
  explicit SMemoryCache(RealUSBDevice& device) : device_(device) {}
  // True when every chunk was written; stops at the first failed one.
  bool Flush();
  // The chunk size Flush uses for an output-buffer size.
  static uint32_t ChunkSize(uint32_t outBufferSize);

 private:
  RealUSBDevice& device_;
};
