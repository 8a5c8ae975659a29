// Command and reply buffers: cursors, growth and shortage reporting.
#include "usb/io_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "platform/thread.h"

namespace {

constexpr const char* kShortage = "Cannot get input data beyond command buffer";

// Puts `bytes` into the input as if the device had delivered them.
void Receive(IOBuffer& buffer, const std::vector<uint8_t>& bytes) {
  buffer.RewindInput();
  unsigned char* room = buffer.ReserveInput(static_cast<uint32_t>(bytes.size()));
  ASSERT_NE(room, nullptr);
  std::memcpy(room, bytes.data(), bytes.size());
}

TEST(IOBuffer, TakesFieldsInOrderAndStopsAtTheEnd) {
  IOBuffer buffer(16, 16);
  Receive(buffer, {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xAA, 0xBB});
  uint8_t u8 = 0;
  uint16_t u16 = 0;
  uint32_t u32 = 0;
  buffer.GetU8(u8).GetU16(u16).GetU32(u32);
  EXPECT_EQ(u8, 0x01);
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u32, 0x12345678u);
  EXPECT_EQ(buffer.ErrorText.Text(), nullptr);

  // Exactly the remaining bytes: fine, and nothing is left.
  unsigned char rest[2] = {};
  EXPECT_TRUE(buffer.GetData(rest, 2));
  EXPECT_EQ(rest[0], 0xAA);
  EXPECT_EQ(rest[1], 0xBB);
  EXPECT_EQ(buffer.InPos, buffer.InEnd);

  // One more: false, zero-filled, cursor unchanged, reason kept.
  Receive(buffer, {1, 2, 3});
  unsigned char four[4] = {9, 9, 9, 9};
  EXPECT_FALSE(buffer.GetData(four, 4));
  EXPECT_EQ(std::memcmp(four, "\0\0\0\0", 4), 0);
  EXPECT_EQ(buffer.InPos, 0u);
  EXPECT_STREQ(buffer.ErrorText.Text(), kShortage);
  // The chained form reads zero on a shortage.
  u32 = 7;
  buffer.GetU32(u32);
  EXPECT_EQ(u32, 0u);
  EXPECT_EQ(buffer.InPending(), 3u);
}

TEST(IOBuffer, CountZeroSucceedsOnAnEmptyBuffer) {
  IOBuffer buffer(1, 1);
  EXPECT_TRUE(buffer.GetData(nullptr, 0));
  EXPECT_EQ(buffer.ErrorText.Text(), nullptr);
}

TEST(IOBuffer, OutputGrowsOnlyWhenItLacksRoom) {
  IOBuffer buffer(100, 100);
  buffer.PutU32(0x11223344);
  // First growth: growth step + used (0) + 4.
  EXPECT_EQ(buffer.OutCapacity(), 104u);
  for (int i = 0; i < 24; ++i)
    buffer.PutU32(static_cast<uint32_t>(i));
  EXPECT_EQ(buffer.OutLength(), 100u);
  // Exactly 4 bytes left: no growth.
  buffer.PutU32(0xDEADBEEF);
  EXPECT_EQ(buffer.OutCapacity(), 104u);
  EXPECT_EQ(buffer.OutLength(), 104u);
  // None left: grows to step + used + 4, keeping the contents.
  buffer.PutU32(0xCAFEF00D);
  EXPECT_EQ(buffer.OutCapacity(), 100u + 104u + 4u);
  const unsigned char* out = buffer.OutBegin();
  EXPECT_EQ(out[0], 0x44);
  EXPECT_EQ(out[3], 0x11);
  EXPECT_EQ(out[100], 0xEF);
  EXPECT_EQ(out[107], 0xCA);

  // With 3 bytes left a 4-byte put grows to step + used + 4.
  IOBuffer three(8, 8);
  three.PutBytes("abcdefghijk", 9);  // capacity 8 + 9 = 17
  ASSERT_EQ(three.OutCapacity(), 17u);
  three.PutBytes("lmnopq", 5);  // 14 used, 3 left
  three.PutU32(1);
  EXPECT_EQ(three.OutCapacity(), 8u + 14u + 4u);
  EXPECT_EQ(std::memcmp(three.OutBegin(), "abcdefghilmnop", 14), 0);
}

TEST(IOBuffer, GrowthZeroMeansOneByte) {
  IOBuffer buffer(0, 0);
  EXPECT_EQ(buffer.InGrowBy, 1u);
  EXPECT_EQ(buffer.OutGrowBy, 1u);
  buffer.PutU32(5);
  EXPECT_EQ(buffer.OutCapacity(), 5u);
  buffer.ReserveInput(10);
  EXPECT_EQ(buffer.InCapacity(), 11u);
}

TEST(IOBuffer, InputReservationKeepsWhatWasReceived) {
  IOBuffer buffer(4, 4);
  unsigned char* first = buffer.ReserveInput(4);
  std::memcpy(first, "\x01\x02\x03\x04", 4);
  // The next reservation grows the array; the first bytes move with it.
  EXPECT_EQ(buffer.InCapacity(), 8u);
  unsigned char* second = buffer.ReserveInput(6);
  std::memcpy(second, "\x05\x06\x07\x08\x09\x0A", 6);
  EXPECT_EQ(buffer.InEnd, 10u);
  EXPECT_EQ(buffer.InCapacity(), 4u + 4u + 6u);
  uint32_t a = 0, b = 0;
  buffer.GetU32(a).GetU32(b);
  EXPECT_EQ(a, 0x04030201u);
  EXPECT_EQ(b, 0x08070605u);
}

TEST(USBDeviceBuffer, StartsEmptyWithInputRoomAndItsThread) {
  USBDeviceBuffer buffer;
  EXPECT_EQ(buffer.ThreadId, platform::CurrentThreadId());
  EXPECT_GE(buffer.InCapacity(), 1024u);
  EXPECT_EQ(buffer.InPending(), 0u);
  EXPECT_EQ(buffer.OutLength(), 0u);
  uint8_t value = 1;
  buffer.GetU8(value);
  EXPECT_EQ(value, 0);
  EXPECT_STREQ(buffer.ErrorText.Text(), kShortage);

  uint32_t other = 0;
  std::thread([&] { other = USBDeviceBuffer().ThreadId; }).join();
  EXPECT_NE(other, buffer.ThreadId);
}

}  // namespace
