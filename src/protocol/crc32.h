// The image CRC of target files and staged firmware images: CRC-32 with the
// polynomial 0x04C11DB7, initial value 0xFFFFFFFF, no reflection and no final
// xor, fed with the data as little-endian 32-bit words, each word most
// significant byte first; a tail of 1-3 bytes is a word whose missing high
// bytes are zero.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kImageCrcPolynomial = 0x04C11DB7;
inline constexpr uint32_t kImageCrcInitial = 0xFFFFFFFF;

// The CRC of `size` bytes (slicing by eight words of the table at a time).
uint32_t ImageCrc32(const void* data, size_t size);
