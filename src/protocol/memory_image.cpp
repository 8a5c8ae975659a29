// The memory image and its flush to a device's flash.
#include "protocol/memory_image.h"

#include <algorithm>
#include <cstring>

#include "protocol/real_usb_device.h"

namespace DebuggerNS {

namespace {

constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

}  // namespace

bool DataRecords::Add(uint32_t address, const uint8_t* bytes, uint32_t count) {
  if (count == 0) return true;
  const uint64_t start = address;
  const uint64_t end = start + count;
  if (end > kAddressSpace) return false;
  // The records that overlap or touch [start, end): every one from the first
  // that reaches start to the last that begins at or before end.
  auto first = std::partition_point(records_.begin(), records_.end(),
                                    [&](const DataRecord& r) { return r.End() < start; });
  auto last = std::partition_point(first, records_.end(),
                                   [&](const DataRecord& r) { return r.Start <= end; });
  if (first == last) {
    DataRecord record;
    record.Start = address;
    record.Data.assign(bytes, bytes + count);
    records_.insert(first, std::move(record));
    return true;
  }
  const uint64_t mergedStart = std::min<uint64_t>(first->Start, start);
  const uint64_t mergedEnd = std::max<uint64_t>((last - 1)->End(), end);
  if (last - first == 1 && first->Start <= start) {
    // One record grows over the new bytes (the usual case: data in order).
    first->Data.resize(mergedEnd - mergedStart);
    std::memcpy(first->Data.data() + (start - mergedStart), bytes, count);
    return true;
  }
  DataRecord merged;
  merged.Start = static_cast<uint32_t>(mergedStart);
  merged.Data.resize(mergedEnd - mergedStart);
  for (auto it = first; it != last; ++it)
    std::memcpy(merged.Data.data() + (it->Start - mergedStart), it->Data.data(), it->Data.size());
  std::memcpy(merged.Data.data() + (start - mergedStart), bytes, count);
  const auto at = records_.erase(first, last);
  records_.insert(at, std::move(merged));
  return true;
}

void DataRecords::Sort() {
  std::sort(records_.begin(), records_.end(),
            [](const DataRecord& a, const DataRecord& b) { return a.Start < b.Start; });
}

uint64_t DataRecords::TotalLength() const {
  uint64_t total = 0;
  for (const DataRecord& record : records_)
    total += record.Data.size();
  return total;
}

}  // namespace DebuggerNS

uint32_t SMemoryCache::ChunkSize(uint32_t outBufferSize) {
  return outBufferSize > 256 ? outBufferSize - 256 : outBufferSize;
}

bool SMemoryCache::Flush() {
  Sort();
  const uint32_t chunk = ChunkSize(device_.OutBufferSize);
  if (chunk == 0) {
    device_.Error("The instrument's output buffer size is 0: no flash data can be sent");
    return false;
  }
  const uint64_t total64 = TotalLength();
  const uint32_t total = total64 > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total64);
  uint64_t written = 0;
  for (const DebuggerNS::DataRecord& record : *this) {
    for (uint32_t offset = 0; offset < record.Length();) {
      const uint32_t n = std::min(chunk, record.Length() - offset);
      if (!device_.WriteFlash(record.Start + offset, n, record.Data.data() + offset)) return false;
      offset += n;
      written += n;
      device_.ReportProgress(total, static_cast<uint32_t>(std::min<uint64_t>(written, total)));
    }
  }
  return true;
}
