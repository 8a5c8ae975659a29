// Container target files: the header, the target table of multi-target
// files, the masked blocks of each target's data, and a writer.
//
// All numbers are little-endian. A file starts with an 8-byte maker
// signature: "Zandor" and two NULs (one target, whose data runs from the
// header length H to the end of the file) or "Vorlinex" (N targets described
// by a table of 264-byte entries at H: a NUL-ended name and, at offset 260,
// the length of the target's data; the data follow the table in table
// order). A target's data are blocks: u32 payload offset P (>= 12), u32
// payload length L ^ kBlockLengthMask, u32 flash address W ^ kBlockWordMask,
// then at P the payload padded with 0xFF to a multiple of 8, then a 512-byte
// trailer (CRC of the padded payload, L, W, zeros). The next block starts
// P + round8(L) + 512 bytes later.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/memory_image.h"

inline constexpr size_t kContainerHeadSize = 52;
inline constexpr uint32_t kTargetEntrySize = 264;
inline constexpr uint32_t kTargetNameSize = 260;
inline constexpr uint32_t kBlockHeadSize = 12;
inline constexpr uint32_t kBlockTrailerSize = 512;
inline constexpr uint32_t kBlockLengthMask = 0x5A17C3E9;
inline constexpr uint32_t kBlockWordMask = 0xA5E8193C;
inline constexpr uint32_t kContainerVersionOffset = 36;  // minor, then major
inline constexpr uint32_t kContainerSignatureOffset = 12;

enum class ContainerKind { kNone, kZandor, kVorlinex };

// The kind named by the first 8 bytes (kNone for fewer bytes or any other
// signature).
ContainerKind MakerSignatureKind(const uint8_t* data, size_t size);

struct ContainerTarget {
  std::string Name;     // empty for a single-target file
  uint64_t Offset = 0;  // of the target's data in the file
  uint64_t Length = 0;  // of the target's data
};

struct ContainerInfo {
  ContainerKind Kind = ContainerKind::kNone;
  uint32_t HeaderLength = 0;
  uint32_t Signature = 0;  // DOS date (high 16 bits) and time of the build
  std::string Product;
  uint8_t VersionMinor = 0;
  uint8_t VersionMajor = 0;
  bool HasVersion = false;  // H >= 36: the version is meaningful
  std::vector<ContainerTarget> Targets;
};

// Reads the header and the target table of a whole file in memory. False,
// with the reason, when the file is no container or its header or table do
// not fit the file. Nothing is sized beyond what the file holds.
bool ParseContainer(const uint8_t* data, size_t size, ContainerInfo& info, std::string& reason);

struct ContainerBlock {
  uint32_t PayloadOffset = 0;  // P, from the block start
  uint32_t Length = 0;         // L, unmasked
  uint32_t Word = 0;           // W, unmasked: the flash address of the payload
  uint64_t Size = 0;           // P + round8(L) + 512: to the next block
  uint64_t SendSize() const { return Size - PayloadOffset; }  // payload and trailer
};

enum class BlockCheck {
  kGood,
  kOvershoot,        // the block (or its 12-byte head) runs past the data
  kBadPayloadOffset  // P below 12
};

// Reads the block at `at`, with `remaining` bytes of the target's data left
// from there. kOvershoot gives the bytes it would run past them.
BlockCheck ReadContainerBlock(const uint8_t* at, uint64_t remaining, ContainerBlock& block,
                              uint64_t& overshoot);

// Checks every block of one target; false with the reason at the first bad
// one. `blocks` counts the good blocks.
bool CheckContainerTarget(const uint8_t* data, const ContainerTarget& target, std::string& reason,
                          uint32_t& blocks);

// Writing a container.
struct PackTarget {
  std::string Name;              // Vorlinex only: up to 259 characters
  DebuggerNS::DataRecords Data;  // what goes to flash
};
struct PackSettings {
  ContainerKind Kind = ContainerKind::kZandor;
  uint32_t Signature = 0;
  std::string Product;  // up to 20 characters
  uint8_t VersionMajor = 0;
  uint8_t VersionMinor = 0;
  uint32_t MaxPayload = 1024;  // payload bytes per block, 1 ... 1 MiB
};
// Builds the file: a 52-byte header, the table (Vorlinex), then each
// target's records cut into blocks of at most MaxPayload bytes. False with
// the reason for settings or targets the format cannot hold (a Zandor file
// holds exactly one target, a Vorlinex file one or more).
bool PackContainer(const PackSettings& settings, const std::vector<PackTarget>& targets,
                   std::vector<uint8_t>& file, std::string& reason);
