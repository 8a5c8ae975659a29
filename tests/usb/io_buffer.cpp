// Command and reply buffers: cursors, growth and shortage reporting.
#include "usb/io_buffer.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

void Receive(IOBuffer& buffer, const std::vector<uint8_t>& bytes) {
  buffer.RewindInput();
  unsigned char* room = buffer.ReserveInput(static_cast<uint32_t>(bytes.size()));
  ASSERT_NE(room, nullptr);
  std::memcpy(room, bytes.data(), bytes.size());
}

TEST(IOBuffer, TakesFieldsInOrderAndStopsAtTheEnd) {
  IOBuffer buffer(16, 16);
  EXPECT_TRUE(buffer.GetData(nullptr, 0));  // count 0 on an empty buffer
  Receive(buffer, {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB});
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  buffer.GetU8(u8).GetU16(u16).GetU32(u32);
  EXPECT_EQ(u8, 0x01);
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u32, 0x12345678u);
  unsigned char rest[2] = {};
  EXPECT_TRUE(buffer.GetData(rest, 2));  // exactly what is left
  EXPECT_EQ(rest[1], 0xBB);
  EXPECT_EQ(buffer.ErrorText.Text(), nullptr);

  // One byte too many: false, zero-filled, cursor unchanged, reason kept.
  Receive(buffer, {1, 2, 3});
  unsigned char four[4] = {9, 9, 9, 9};
  EXPECT_FALSE(buffer.GetData(four, 4));
  EXPECT_EQ(std::memcmp(four, "\0\0\0\0", 4), 0);
  EXPECT_STREQ(buffer.ErrorText.Text(), "Cannot get input data beyond command buffer");
  u32 = 7;
  buffer.GetU32(u32);
  EXPECT_EQ(u32, 0u);
  EXPECT_EQ(buffer.InPending(), 3u);
}

TEST(IOBuffer, GrowsOnlyWhenItLacksRoomAndKeepsTheContents) {
  for (const uint32_t step : {0u, 1u, 100u}) {  // a step of 0 grows by 1
    IOBuffer buffer(step, step);
    for (uint32_t i = 0; i < 60; ++i)
      buffer.PutU32(i * 0x01010101u);
    ASSERT_EQ(buffer.OutLength(), 240u);
    EXPECT_LE(buffer.OutCapacity(), 240u + std::max(step, 1u) + 4u);
    for (uint32_t i = 0; i < 240; ++i)
      ASSERT_EQ(buffer.OutBegin()[i], i / 4) << step;

    unsigned char* first = buffer.ReserveInput(4);
    std::memcpy(first, "\x01\x02\x03\x04", 4);
    std::memcpy(buffer.ReserveInput(6), "\x05\x06\x07\x08\x09\x0A", 6);
    uint32_t a = 0, b = 0;
    buffer.GetU32(a).GetU32(b);
    EXPECT_EQ(a, 0x04030201u);
    EXPECT_EQ(b, 0x08070605u);
  }
  // Exactly 4 bytes left take a 4-byte put without growing.
  IOBuffer buffer(100, 100);
  for (int i = 0; i < 26; ++i)
    buffer.PutU32(1);
  EXPECT_EQ(buffer.OutCapacity(), 104u);
}

}  // namespace
