// Container target files: reading the header, table and blocks, and writing.
#include "protocol/container.h"

#include <algorithm>
#include <cstring>

#include "base/format.h"
#include "protocol/crc32.h"

namespace {

constexpr unsigned char kZandor[8] = {'Z', 'a', 'n', 'd', 'o', 'r', 0, 0};
constexpr unsigned char kVorlinex[8] = {'V', 'o', 'r', 'l', 'i', 'n', 'e', 'x'};
constexpr uint32_t kZandorMinHeader = 16;    // up to the signature
constexpr uint32_t kVorlinexMinHeader = 46;  // up to N and the entry size
constexpr uint32_t kProductOffset = 16;
constexpr uint32_t kProductSize = 20;
constexpr uint32_t kCountOffset = 38;
constexpr uint32_t kEntrySizeOffset = 42;
constexpr uint32_t kWrittenPayloadOffset = 16;
constexpr uint32_t kMaxPackPayload = 1u << 20;

uint32_t LoadU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void StoreU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t Round8(uint64_t n) {
  return (n + 7) & ~uint64_t{7};
}

// Text of up to `size` bytes, ended by the first NUL.
std::string FieldText(const uint8_t* p, size_t size) {
  const auto* nul = static_cast<const uint8_t*>(std::memchr(p, 0, size));
  return std::string(reinterpret_cast<const char*>(p), nul != nullptr ? nul - p : size);
}

// Reads the header fields; false with the reason.
bool ReadHeader(const uint8_t* data, size_t size, ContainerInfo& info, std::string& reason) {
  if (size < kZandorMinHeader) {
    reason = PFormatBuffer("the file (%I64u bytes) is shorter than a container header",
                           static_cast<uint64_t>(size))
                 .Text();
    return false;
  }
  info.HeaderLength = LoadU32(data + 8);
  const uint32_t least =
      info.Kind == ContainerKind::kVorlinex ? kVorlinexMinHeader : kZandorMinHeader;
  if (info.HeaderLength > size) {
    reason = PFormatBuffer("header length %u runs past the end of the file (%I64u bytes)",
                           info.HeaderLength, static_cast<uint64_t>(size))
                 .Text();
    return false;
  }
  if (info.HeaderLength < least) {
    reason = PFormatBuffer("header length %u is below %u", info.HeaderLength, least).Text();
    return false;
  }
  info.Signature = LoadU32(data + kContainerSignatureOffset);
  const size_t productEnd = std::min<size_t>(size, kProductOffset + kProductSize);
  info.Product = FieldText(data + kProductOffset, productEnd - kProductOffset);
  info.HasVersion = info.HeaderLength >= kContainerVersionOffset;
  if (size >= kContainerVersionOffset + 2) {
    info.VersionMinor = data[kContainerVersionOffset];
    info.VersionMajor = data[kContainerVersionOffset + 1];
  }
  return true;
}

// Reads the target table of a multi-target file; false with the reason.
bool ReadTable(const uint8_t* data, size_t size, ContainerInfo& info, std::string& reason) {
  const uint32_t count = LoadU32(data + kCountOffset);
  if (count == 0) {
    reason = "the target table is empty (N = 0)";
    return false;
  }
  const uint64_t tableEnd = uint64_t{info.HeaderLength} + uint64_t{kTargetEntrySize} * count;
  if (tableEnd > size) {
    reason = PFormatBuffer(
                 "the target table of %u entries runs past the end of the file "
                 "(%I64u bytes)",
                 count, static_cast<uint64_t>(size))
                 .Text();
    return false;
  }
  uint64_t offset = tableEnd;
  info.Targets.reserve(count);  // bounded by the file: the table fits in it
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* entry = data + info.HeaderLength + uint64_t{kTargetEntrySize} * i;
    ContainerTarget target;
    target.Name = FieldText(entry, kTargetNameSize);
    target.Offset = offset;
    target.Length = LoadU32(entry + kTargetNameSize);
    offset += target.Length;
    info.Targets.push_back(std::move(target));
  }
  if (offset > size) {
    reason = PFormatBuffer(
                 "the targets' data (%I64u bytes) run past the end of the file "
                 "(%I64u bytes after the table)",
                 offset - tableEnd, static_cast<uint64_t>(size) - tableEnd)
                 .Text();
    info.Targets.clear();
    return false;
  }
  return true;
}

}  // namespace

ContainerKind MakerSignatureKind(const uint8_t* data, size_t size) {
  if (size < 8) return ContainerKind::kNone;
  if (std::memcmp(data, kZandor, 8) == 0) return ContainerKind::kZandor;
  if (std::memcmp(data, kVorlinex, 8) == 0) return ContainerKind::kVorlinex;
  return ContainerKind::kNone;
}

bool ParseContainer(const uint8_t* data, size_t size, ContainerInfo& info, std::string& reason) {
  info = ContainerInfo();
  info.Kind = MakerSignatureKind(data, size);
  if (info.Kind == ContainerKind::kNone) {
    reason = "no maker signature";
    return false;
  }
  if (!ReadHeader(data, size, info, reason)) return false;
  if (info.Kind == ContainerKind::kVorlinex) return ReadTable(data, size, info, reason);
  ContainerTarget target;
  target.Offset = info.HeaderLength;
  target.Length = size - info.HeaderLength;
  info.Targets.push_back(std::move(target));
  return true;
}

BlockCheck ReadContainerBlock(const uint8_t* at, uint64_t remaining, ContainerBlock& block,
                              uint64_t& overshoot) {
  block = ContainerBlock();
  overshoot = 0;
  if (remaining < kBlockHeadSize) {
    overshoot = kBlockHeadSize - remaining;
    return BlockCheck::kOvershoot;
  }
  block.PayloadOffset = LoadU32(at);
  block.Length = LoadU32(at + 4) ^ kBlockLengthMask;
  block.Word = LoadU32(at + 8) ^ kBlockWordMask;
  if (block.PayloadOffset < kBlockHeadSize) return BlockCheck::kBadPayloadOffset;
  block.Size = uint64_t{block.PayloadOffset} + Round8(block.Length) + kBlockTrailerSize;
  if (block.Size > remaining) {
    overshoot = block.Size - remaining;
    return BlockCheck::kOvershoot;
  }
  return BlockCheck::kGood;
}

bool CheckContainerTarget(const uint8_t* data, const ContainerTarget& target, std::string& reason,
                          uint32_t& blocks) {
  blocks = 0;
  uint64_t remaining = target.Length;
  const uint8_t* at = data + target.Offset;
  while (remaining != 0) {
    ContainerBlock block;
    uint64_t overshoot = 0;
    switch (ReadContainerBlock(at, remaining, block, overshoot)) {
      case BlockCheck::kGood:
        break;
      case BlockCheck::kOvershoot:
        reason =
            PFormatBuffer("block %u runs %I64u bytes past the target's data", blocks, overshoot)
                .Text();
        return false;
      case BlockCheck::kBadPayloadOffset:
        reason =
            PFormatBuffer("block %u has payload offset %u (below 12)", blocks, block.PayloadOffset)
                .Text();
        return false;
    }
    at += block.Size;
    remaining -= block.Size;
    ++blocks;
  }
  return true;
}

namespace {

// Appends one block: head, payload padded with 0xFF, trailer.
void AppendBlock(std::vector<uint8_t>& file, uint32_t address, const uint8_t* bytes,
                 uint32_t count) {
  const uint64_t padded = Round8(count);
  const size_t start = file.size();
  file.resize(start + kWrittenPayloadOffset + padded + kBlockTrailerSize, 0);
  uint8_t* block = file.data() + start;
  StoreU32(block, kWrittenPayloadOffset);
  StoreU32(block + 4, count ^ kBlockLengthMask);
  StoreU32(block + 8, address ^ kBlockWordMask);
  uint8_t* payload = block + kWrittenPayloadOffset;
  std::memcpy(payload, bytes, count);
  std::memset(payload + count, 0xFF, padded - count);
  uint8_t* trailer = payload + padded;
  StoreU32(trailer, ImageCrc32(payload, padded));
  StoreU32(trailer + 4, count);
  StoreU32(trailer + 8, address);
}

// The blocks of one target; false when its data would exceed 4 GiB.
bool AppendTarget(std::vector<uint8_t>& file, const PackTarget& target, uint32_t maxPayload,
                  uint64_t& length) {
  const size_t start = file.size();
  for (const DebuggerNS::DataRecord& record : target.Data)
    for (uint32_t offset = 0; offset < record.Length(); offset += maxPayload) {
      const uint32_t n = std::min(maxPayload, record.Length() - offset);
      AppendBlock(file, record.Start + offset, record.Data.data() + offset, n);
    }
  length = file.size() - start;
  return length <= UINT32_MAX;
}

// The settings and targets the format can hold; false with the reason.
bool CheckPackInput(const PackSettings& settings, const std::vector<PackTarget>& targets,
                    std::string& reason) {
  if (settings.Kind == ContainerKind::kNone) {
    reason = "no container kind";
  } else if (settings.Kind == ContainerKind::kZandor && targets.size() != 1) {
    reason = "a single-target file holds exactly one target";
  } else if (targets.empty()) {
    reason = "a multi-target file needs at least one target";
  } else if (settings.Product.size() > kProductSize) {
    reason = "the product name is longer than 20 characters";
  } else if (settings.MaxPayload == 0 || settings.MaxPayload > kMaxPackPayload) {
    reason = "the payload per block must be 1 to 1048576 bytes";
  } else {
    for (const PackTarget& target : targets)
      if (target.Name.size() >= kTargetNameSize || target.Name.find('\0') != std::string::npos) {
        reason = "a target name must be a text of at most 259 characters";
        return false;
      }
    return true;
  }
  return false;
}

}  // namespace

bool PackContainer(const PackSettings& settings, const std::vector<PackTarget>& targets,
                   std::vector<uint8_t>& file, std::string& reason) {
  file.clear();
  if (!CheckPackInput(settings, targets, reason)) return false;
  const bool multi = settings.Kind == ContainerKind::kVorlinex;
  const size_t tableSize = multi ? size_t{kTargetEntrySize} * targets.size() : 0;
  file.assign(kContainerHeadSize + tableSize, 0);
  std::memcpy(file.data(), multi ? kVorlinex : kZandor, 8);
  StoreU32(file.data() + 8, kContainerHeadSize);
  StoreU32(file.data() + kContainerSignatureOffset, settings.Signature);
  std::memcpy(file.data() + kProductOffset, settings.Product.data(), settings.Product.size());
  file[kContainerVersionOffset] = settings.VersionMinor;
  file[kContainerVersionOffset + 1] = settings.VersionMajor;
  StoreU32(file.data() + kCountOffset, multi ? static_cast<uint32_t>(targets.size()) : 0);
  StoreU32(file.data() + kEntrySizeOffset, multi ? kTargetEntrySize : 0);
  for (size_t i = 0; i < targets.size(); ++i) {
    uint64_t length = 0;
    if (!AppendTarget(file, targets[i], settings.MaxPayload, length)) {
      reason = "a target's data exceed 4 GiB";
      file.clear();
      return false;
    }
    if (multi) {
      uint8_t* entry = file.data() + kContainerHeadSize + kTargetEntrySize * i;
      std::memcpy(entry, targets[i].Name.data(), targets[i].Name.size());
      StoreU32(entry + kTargetNameSize, static_cast<uint32_t>(length));
    }
  }
  return true;
}
