// The image CRC, eight bytes per step.
//
// Feeding a little-endian word most significant byte first is feeding the
// word's value as a big-endian number, so a whole word is xor-ed into the
// register as loaded and then shifted out through four tables at once
// (the classic slicing method for a non-reflected CRC).
#include "protocol/crc32.h"

#include <array>
#include <cstring>

namespace {

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// Table k gives the register change of a byte followed by k zero bytes.
constexpr Tables BuildTables() {
  Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i << 24;
    for (int bit = 0; bit < 8; ++bit)
      value = (value & 0x80000000u) != 0 ? (value << 1) ^ kImageCrcPolynomial : value << 1;
    tables[0][i] = value;
  }
  for (size_t k = 1; k < tables.size(); ++k)
    for (uint32_t i = 0; i < 256; ++i)
      tables[k][i] = (tables[k - 1][i] << 8) ^ tables[0][tables[k - 1][i] >> 24];
  return tables;
}

constexpr Tables kTables = BuildTables();

// The word at p as little-endian.
uint32_t LoadWord(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// One word through the register.
uint32_t FeedWord(uint32_t crc, uint32_t word) {
  const uint32_t x = crc ^ word;
  return kTables[3][x >> 24] ^ kTables[2][(x >> 16) & 0xFF] ^ kTables[1][(x >> 8) & 0xFF] ^
         kTables[0][x & 0xFF];
}

}  // namespace

uint32_t ImageCrc32(const void* data, size_t size) {
  const auto* p = static_cast<const unsigned char*>(data);
  uint32_t crc = kImageCrcInitial;
  for (; size >= 8; size -= 8, p += 8) {
    const uint32_t x = crc ^ LoadWord(p);
    const uint32_t y = LoadWord(p + 4);
    crc = kTables[7][x >> 24] ^ kTables[6][(x >> 16) & 0xFF] ^ kTables[5][(x >> 8) & 0xFF] ^
          kTables[4][x & 0xFF] ^ kTables[3][y >> 24] ^ kTables[2][(y >> 16) & 0xFF] ^
          kTables[1][(y >> 8) & 0xFF] ^ kTables[0][y & 0xFF];
  }
  if (size >= 4) {
    crc = FeedWord(crc, LoadWord(p));
    size -= 4;
    p += 4;
  }
  if (size != 0) {
    unsigned char tail[4] = {};
    std::memcpy(tail, p, size);
    crc = FeedWord(crc, LoadWord(tail));
  }
  return crc;
}
