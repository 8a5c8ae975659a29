// The instrument's firmware side: its flash memory, the block checks of the
// target container (docs/firmware-format.md), the image CRC, and the staging
// memory that takes a firmware image in chunks before it is burnt.
//
// Written from the format document alone, not from the library's reader, so
// that a misread format fails a test instead of agreeing with itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nvsim {

// Flash status codes of the flash commands.
inline constexpr uint32_t kFlashOk = 0;
inline constexpr uint32_t kFlashInvAddr = 1;
inline constexpr uint32_t kFlashProg = 6;
inline constexpr uint32_t kFlashInitEr = 7;
inline constexpr uint32_t kFlashInvalidCrc = 9;
inline constexpr uint32_t kFlashInvalidSign = 11;
inline constexpr uint32_t kFlashInvalidAreaName = 12;

// Error words of FW_IMAGE_WRITE and FW_IMAGE_UPDATE (0: good).
enum ImageError : uint32_t {
  kImageOk = 0,
  kImageOffset = 1,          // WRITE: the offset is not the number of bytes held
  kImageSignature = 2,       // WRITE at offset > 0, UPDATE: not the staged image's signature
  kImageChunk = 3,           // WRITE: more data bytes than the chunk size
  kImageTooBig = 4,          // WRITE: the image would not fit the staging memory
  kImageLength = 5,          // WRITE: the frame does not carry exactly n data bytes
  kImageNothingStaged = 6,   // UPDATE: no bytes are held
  kImageNotClosed = 7,       // UPDATE: the closing write (n = 0) has not come
  kImageTargetIndex = 8,     // UPDATE: no such target in the staged container
  kImageInvalidFile = 9,     // UPDATE: the staged bytes are not a valid container
  kImageBlockRejected = 10,  // UPDATE: a block of the chosen target fails its checks
  kImageHostId = 11,         // UPDATE: the first parameter is not HOST_ID
};

// The image CRC: CRC-32, polynomial 0x04C11DB7, initial 0xFFFFFFFF, no
// reflection, no final xor, over little-endian 32-bit words fed most
// significant byte first; a 1-3 byte tail is a word with zero high bytes.
uint32_t ImageCrc(const uint8_t* data, size_t size);
inline uint32_t ImageCrc(const std::vector<uint8_t>& data) {
  return ImageCrc(data.data(), data.size());
}

// A firmware image the instrument holds in its staging memory. An image
// preloaded into the configuration stands for one left by an earlier,
// interrupted upload.
struct StagedImage {
  std::vector<uint8_t> bytes;  // the bytes held, from offset 0
  uint32_t signature = 0;      // the signature they were written with
  bool closed = false;         // the closing write (n = 0) has come

  // The first `count` bytes of a container file (all of it when count is
  // larger), with the file's own signature (offset 12); closed when whole.
  // badCrc flips a byte of what is held, so that the CRC the instrument
  // reports no longer matches the file's.
  static StagedImage Prefix(const std::vector<uint8_t>& file, size_t count, bool badCrc = false);
};

// One FW_IMAGE_WRITE as the instrument received it.
struct ImageWrite {
  uint32_t signature = 0;
  uint32_t offset = 0;
  uint32_t n = 0;      // data bytes announced; 0 for the closing write
  uint32_t error = 0;  // the error word it answered
};

// One write into flash: LOAD_TARGET, the block command, or a block burnt
// from a staged image (code FW_IMAGE_UPDATE).
struct FlashWrite {
  uint32_t code = 0;
  uint32_t address = 0;
  uint32_t length = 0;
  uint32_t status = 0;  // the flash status it answered (burnt blocks: 0)
};

// The instrument's flash: [base, base + size), erased to 0xFF. The memory is
// taken on the first write.
class Flash {
 public:
  Flash(uint32_t base, uint32_t size) : base_(base), size_(size) {}

  uint32_t Base() const { return base_; }
  uint32_t Size() const { return size_; }
  // Whether [address, address + length) lies inside the flash.
  bool Contains(uint32_t address, uint64_t length) const;
  // Writes the bytes; false (nothing written) when they do not fit.
  bool Write(uint32_t address, const uint8_t* data, size_t length);
  // The bytes at [address, address + length); empty when not inside.
  std::vector<uint8_t> Read(uint32_t address, uint32_t length) const;

 private:
  uint32_t base_;
  uint32_t size_;
  std::vector<uint8_t> memory_;  // empty until written: all 0xFF
};

// The checks the instrument makes on a block before it writes it (the block
// command, and each block of a burnt image): `data` is what follows W and L,
// round8(L) payload bytes and the 512-byte trailer. Returns the flash status:
// 11 when the data is not that long or the trailer's L and W differ from the
// command's, 9 when the trailer CRC is not that of the payload bytes, 1 when
// [W, W + L) is not inside the flash, else 0.
uint32_t CheckBlock(const Flash& flash, uint32_t w, uint32_t l, const uint8_t* data, size_t size);

// One block of a container: its flash address W, payload length L, and
// where its payload starts in the file (round8(L) bytes, then the trailer).
struct ContainerBlock {
  uint32_t w = 0;
  uint32_t l = 0;
  size_t payload = 0;
};

// What a container holds for one target.
struct ContainerTarget {
  uint32_t signature = 0;  // offset 12
  uint32_t targets = 0;    // 1 for a "Zandor" file, N for "Vorlinex"
  std::vector<ContainerBlock> blocks;
};

// Reads a container file and the blocks of target `index`. nullopt with the
// reason in `error` when the file is not a valid container (error
// kImageInvalidFile) or has no such target (kImageTargetIndex).
std::optional<ContainerTarget> ReadContainer(const std::vector<uint8_t>& file, uint32_t index,
                                             uint32_t& error, std::string& why);

}  // namespace nvsim
