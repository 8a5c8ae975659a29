#include "base/numbers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(NumberTexts, GroupThousands) {
  EXPECT_STREQ(GroupThousands(0), "0");
  EXPECT_STREQ(GroupThousands(999), "999");
  EXPECT_STREQ(GroupThousands(1000), "1,000");
  EXPECT_STREQ(GroupThousands(100000), "100,000");
  EXPECT_STREQ(GroupThousands(1234567), "1,234,567");
  EXPECT_STREQ(GroupThousands(4294967295u), "4,294,967,295");
}

TEST(NumberTexts, Hex) {
  EXPECT_STREQ(HexText(9), "9");
  EXPECT_STREQ(HexText(10), "0xA");
  EXPECT_STREQ(HexText(0x1F), "0x1F");
  EXPECT_STREQ(HexText(UINT64_MAX), "0xFFFFFFFFFFFFFFFF");
  EXPECT_STREQ(DecHexText(9), "9");
  EXPECT_STREQ(DecHexText(255), "255 (0xFF)");
  EXPECT_STREQ(DecHexText(0x100000000ull), "4294967296 (0x100000000)");
}

TEST(NumberTexts, HexDigitsAtMostEight) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_STREQ(HexDigits(buffer, 12, 0x1234), "00001234");
  EXPECT_EQ(buffer[9], '#');  // nothing written past the ninth character
  EXPECT_STREQ(HexDigits(buffer, 4, 0xABCDEF), "CDEF");
  EXPECT_STREQ(HexDigits(buffer, 8, 0xFFFFFFFFu), "FFFFFFFF");
  EXPECT_STREQ(HexDigits(buffer, 0, 0x12), "");
}

TEST(NumberParsing, ParseUInt64) {
  EXPECT_EQ(ParseUInt64("0x1F"), 31u);
  EXPECT_EQ(ParseUInt64("0X1f"), 31u);
  EXPECT_EQ(ParseUInt64("123abc"), 123u);
  EXPECT_EQ(ParseUInt64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ParseUInt64("0xFFFFFFFFFFFFFFFF"), UINT64_MAX);
  EXPECT_EQ(ParseUInt64("abc"), 0u);
  EXPECT_EQ(ParseUInt64("0x"), 0u);
  EXPECT_EQ(ParseUInt64(""), 0u);
  EXPECT_EQ(ParseUInt64(nullptr), 0u);
}

TEST(NumberParsing, TextToInt) {
  EXPECT_EQ(TextToInt(nullptr), 0);
  EXPECT_EQ(TextToInt(""), 0);
  EXPECT_EQ(TextToInt("7"), 7);
  EXPECT_EQ(TextToInt("x"), 0);
  EXPECT_EQ(TextToInt("007"), 7);
  EXPECT_EQ(TextToInt("010"), 10);  // not octal
  EXPECT_EQ(TextToInt("000"), 0);
  EXPECT_EQ(TextToInt("-12"), -12);
  EXPECT_EQ(TextToInt("0x10"), 16);
  EXPECT_EQ(TextToInt("0X1f"), 31);
  EXPECT_EQ(TextToInt("12abc"), 12);
  EXPECT_EQ(TextToInt("4294967295"), -1);   // the unsigned bit pattern
  EXPECT_EQ(TextToInt("99999999999"), -1);  // saturates at 0xFFFFFFFF
  EXPECT_EQ(TextToInt("-99999999999"), INT32_MIN);
  EXPECT_EQ(TextToInt("2147483647"), INT32_MAX);
}

TEST(DecodeEscape, SimpleEscapes) {
  const char* const kIn = "ntvbrf\\'\"0";
  const char kOut[] = {'\n', '\t', '\v', '\b', '\r', '\f', '\\', '\'', '"', '\0'};
  for (int i = 0; i < 10; ++i) {
    const char* p = kIn + i;
    EXPECT_EQ(DecodeEscape(p), kOut[i]) << i;
    EXPECT_EQ(p, kIn + i + 1);
  }
}

TEST(DecodeEscape, HexNeverPassesTheEnd) {
  const char* text = "x41B";
  const char* p = text;
  EXPECT_EQ(DecodeEscape(p), 'A');
  EXPECT_EQ(p, text + 3);
  text = "x4";
  p = text;
  EXPECT_EQ(DecodeEscape(p), 4);
  EXPECT_EQ(p, text + 2);
  EXPECT_EQ(*p, 0);
  text = "x";
  p = text;
  EXPECT_EQ(DecodeEscape(p), 0);
  EXPECT_EQ(p, text + 1);
  EXPECT_EQ(*p, 0);
}

TEST(DecodeEscape, OctalAndOthers) {
  const char* text = "101x";
  const char* p = text;
  EXPECT_EQ(DecodeEscape(p), 'A');
  EXPECT_EQ(p, text + 3);
  text = "18";  // 8 ends the octal number
  p = text;
  EXPECT_EQ(DecodeEscape(p), 1);
  EXPECT_EQ(p, text + 1);
  text = "1111111111";  // nine digits at most
  p = text;
  DecodeEscape(p);
  EXPECT_EQ(p, text + 9);
  text = "q";
  p = text;
  EXPECT_EQ(DecodeEscape(p), 'q');
  EXPECT_EQ(p, text);  // unknown escapes do not advance
  text = "";
  p = text;
  EXPECT_EQ(DecodeEscape(p), 0);
  EXPECT_EQ(p, text);
}

TEST(Random, PerThreadSequence) {
  SeedRandom(0);
  EXPECT_EQ(NextRandom(), 0u);    // state 1
  EXPECT_EQ(NextRandom(), 346u);  // state 22695478
  SeedRandom(12345);
  const uint32_t first = NextRandom();
  uint32_t other = 0;
  std::thread([&] { other = NextRandom(); }).join();  // a new thread starts at 0
  EXPECT_EQ(other, 0u);
  const uint32_t second = NextRandom();
  SeedRandom(12345);
  EXPECT_EQ(NextRandom(), first);
  EXPECT_EQ(NextRandom(), second);
  for (int i = 0; i < 1000; ++i)
    EXPECT_LE(NextRandom(), 32767u);
}

}  // namespace
