#include "firmware.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace nvsim {
namespace {

constexpr uint32_t kLengthMask = 0x5A17C3E9;
constexpr uint32_t kWordMask = 0xA5E8193C;
constexpr size_t kTrailerSize = 512;
constexpr size_t kEntrySize = 264;
constexpr size_t kEntryLengthOffset = 260;
constexpr uint8_t kZandor[8] = {'Z', 'a', 'n', 'd', 'o', 'r', 0, 0};
constexpr uint8_t kVorlinex[8] = {'V', 'o', 'r', 'l', 'i', 'n', 'e', 'x'};

uint32_t Load32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t Round8(uint32_t n) {
  return (static_cast<uint64_t>(n) + 7) & ~uint64_t{7};
}

// The most-significant-bit-first table of polynomial 0x04C11DB7.
const std::array<uint32_t, 256>& CrcTable() {
  static const std::array<uint32_t, 256> table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i << 24;
      for (int bit = 0; bit < 8; ++bit)
        c = (c & 0x80000000u) != 0 ? (c << 1) ^ 0x04C11DB7u : c << 1;
      t[i] = c;
    }
    return t;
  }();
  return table;
}

// The blocks of one target's data, [begin, end) of the file; false with the
// reason when a block runs past the end.
bool ReadBlocks(const std::vector<uint8_t>& file, size_t begin, size_t end,
                std::vector<ContainerBlock>& blocks, std::string& why) {
  size_t pos = begin;
  while (pos < end) {
    if (end - pos < 12) {
      why = "block header at " + std::to_string(pos) + " runs past the target's data";
      return false;
    }
    const uint32_t p = Load32(&file[pos]);
    const uint32_t l = Load32(&file[pos + 4]) ^ kLengthMask;
    const uint32_t w = Load32(&file[pos + 8]) ^ kWordMask;
    if (p < 12) {
      why = "block at " + std::to_string(pos) + " has payload offset " + std::to_string(p);
      return false;
    }
    const uint64_t size = p + Round8(l) + kTrailerSize;
    if (size > end - pos) {
      why = "block at " + std::to_string(pos) + " runs " + std::to_string(size - (end - pos)) +
            " bytes past the target's data";
      return false;
    }
    blocks.push_back({w, l, pos + p});
    pos += size;
  }
  return true;
}

}  // namespace

uint32_t ImageCrc(const uint8_t* data, size_t size) {
  const auto& table = CrcTable();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; i += 4) {
    uint8_t word[4] = {0, 0, 0, 0};
    std::memcpy(word, data + i, std::min<size_t>(4, size - i));
    for (int k = 3; k >= 0; --k)
      crc = (crc << 8) ^ table[(crc >> 24) ^ word[k]];
  }
  return crc;
}

StagedImage StagedImage::Prefix(const std::vector<uint8_t>& file, size_t count, bool badCrc) {
  StagedImage image;
  const size_t n = std::min(count, file.size());
  image.bytes.assign(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
  image.signature = file.size() >= 16 ? Load32(&file[12]) : 0;
  image.closed = n == file.size();
  if (badCrc && !image.bytes.empty()) image.bytes.back() ^= 0xFF;
  return image;
}

bool Flash::Contains(uint32_t address, uint64_t length) const {
  return address >= base_ && address - base_ <= size_ && length <= size_ - (address - base_);
}

bool Flash::Write(uint32_t address, const uint8_t* data, size_t length) {
  if (!Contains(address, length)) return false;
  if (length == 0) return true;
  if (memory_.empty()) memory_.assign(size_, 0xFF);
  std::memcpy(&memory_[address - base_], data, length);
  return true;
}

std::vector<uint8_t> Flash::Read(uint32_t address, uint32_t length) const {
  if (!Contains(address, length)) return {};
  if (memory_.empty()) return std::vector<uint8_t>(length, 0xFF);
  const auto from = memory_.begin() + (address - base_);
  return std::vector<uint8_t>(from, from + length);
}

uint32_t CheckBlock(const Flash& flash, uint32_t w, uint32_t l, const uint8_t* data, size_t size) {
  const uint64_t payload = Round8(l);
  if (size != payload + kTrailerSize) return kFlashInvalidSign;
  const uint8_t* trailer = data + payload;
  if (Load32(trailer + 4) != l || Load32(trailer + 8) != w) return kFlashInvalidSign;
  if (Load32(trailer) != ImageCrc(data, payload)) return kFlashInvalidCrc;
  if (!flash.Contains(w, l)) return kFlashInvAddr;
  return kFlashOk;
}

std::optional<ContainerTarget> ReadContainer(const std::vector<uint8_t>& file, uint32_t index,
                                             uint32_t& error, std::string& why) {
  error = kImageInvalidFile;
  if (file.size() < 16) {
    why = "shorter than a container header";
    return std::nullopt;
  }
  const bool zandor = std::memcmp(file.data(), kZandor, 8) == 0;
  const bool vorlinex = std::memcmp(file.data(), kVorlinex, 8) == 0;
  if (!zandor && !vorlinex) {
    why = "no maker signature";
    return std::nullopt;
  }
  const uint32_t h = Load32(&file[8]);
  if (h > file.size() || h < (zandor ? 16u : 46u) || file.size() < (zandor ? 16u : 46u)) {
    why = "header length " + std::to_string(h) + " does not fit";
    return std::nullopt;
  }
  ContainerTarget target;
  target.signature = Load32(&file[12]);
  size_t begin = h;
  size_t end = file.size();
  if (zandor) {
    target.targets = 1;
  } else {
    const uint32_t n = Load32(&file[38]);
    const uint64_t tableEnd = h + static_cast<uint64_t>(n) * kEntrySize;
    if (n == 0 || tableEnd > file.size()) {
      why = "target table of " + std::to_string(n) + " entries does not fit";
      return std::nullopt;
    }
    uint64_t total = 0;
    uint64_t before = 0;
    for (uint32_t i = 0; i < n; ++i) {
      const uint32_t length = Load32(&file[h + i * kEntrySize + kEntryLengthOffset]);
      if (i < index) before += length;
      if (i == index) end = static_cast<size_t>(tableEnd + before + length);
      total += length;
    }
    if (total > file.size() - tableEnd) {
      why = "target lengths add up to " + std::to_string(total) + " bytes, " +
            std::to_string(file.size() - tableEnd) + " follow the table";
      return std::nullopt;
    }
    target.targets = n;
    begin = static_cast<size_t>(tableEnd + before);
  }
  if (index >= target.targets) {
    error = kImageTargetIndex;
    why = "target " + std::to_string(index) + " of " + std::to_string(target.targets);
    return std::nullopt;
  }
  if (!ReadBlocks(file, begin, end, target.blocks, why)) return std::nullopt;
  error = kImageOk;
  return target;
}

}  // namespace nvsim
