#include "base/numbers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(NumberTexts, GroupedHexAndDecHex) {
  const struct {
    uint64_t value;
    const char *grouped, *hex, *decHex;
  } cases[] = {
      {0, "0", "0", "0"},
      {255, "255", "0xFF", "255 (0xFF)"},
      {1000, "1,000", "0x3E8", "1000 (0x3E8)"},
      {1234567, "1,234,567", "0x12D687", "1234567 (0x12D687)"},
      {4294967295u, "4,294,967,295", "0xFFFFFFFF", "4294967295 (0xFFFFFFFF)"},
      {0x100000000ull, nullptr, "0x100000000", "4294967296 (0x100000000)"},
      {UINT64_MAX, nullptr, "0xFFFFFFFFFFFFFFFF", nullptr},
  };
  for (const auto& c : cases) {
    if (c.grouped) {
      EXPECT_STREQ(GroupThousands(static_cast<uint32_t>(c.value)), c.grouped);
    }
    EXPECT_STREQ(HexText(c.value), c.hex);
    if (c.decHex) {
      EXPECT_STREQ(DecHexText(c.value), c.decHex);
    }
  }
}

TEST(NumberTexts, HexDigitsAtMostEight) {
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_STREQ(HexDigits(buffer, 12, 0x1234), "00001234");
  EXPECT_EQ(buffer[9], '#');  // nothing written past the ninth character
  EXPECT_STREQ(HexDigits(buffer, 4, 0xABCDEF), "CDEF");
  EXPECT_STREQ(HexDigits(buffer, 0, 0x12), "");
}

TEST(NumberParsing, ParseUInt64AndTextToInt) {
  const struct {
    const char* text;
    uint64_t unsigned64;
    int32_t integer;
  } cases[] = {
      {nullptr, 0, 0},
      {"", 0, 0},
      {"0x", 0, 0},
      {"0X1f", 31, 31},
      {"123abc", 123, 123},
      {"010", 10, 10},                    // not octal
      {"4294967295", 4294967295u, -1},    // the unsigned bit pattern
      {"99999999999", 99999999999u, -1},  // saturates at 0xFFFFFFFF
      {"18446744073709551615", UINT64_MAX, -1},
      {"0xFFFFFFFFFFFFFFFF", UINT64_MAX, -1},
  };
  for (const auto& c : cases) {
    const std::string shown = c.text ? c.text : "(null)";
    EXPECT_EQ(ParseUInt64(c.text), c.unsigned64) << shown;
    EXPECT_EQ(TextToInt(c.text), c.integer) << shown;
  }
  EXPECT_EQ(TextToInt("-12"), -12);
  EXPECT_EQ(TextToInt("-99999999999"), INT32_MIN);
  EXPECT_EQ(TextToInt("2147483647"), INT32_MAX);
}

TEST(DecodeEscape, ValuesAndHowFarTheyRead) {
  const char* const simple = "ntvbrf\\'\"0";
  const char decoded[] = {'\n', '\t', '\v', '\b', '\r', '\f', '\\', '\'', '"', '\0'};
  for (int i = 0; i < 10; ++i) {
    const char* p = simple + i;
    EXPECT_EQ(DecodeEscape(p), decoded[i]) << i;
    EXPECT_EQ(p, simple + i + 1);
  }
  // Hex never passes the end; a digit starts a decimal run of nine digits at
  // most, read as octal up to the first 8 or 9 and consumed whole; unknown
  // escapes do not advance.
  const struct {
    const char* text;
    int value;
    size_t used;
  } cases[] = {{"x41B", 'A', 3},
               {"x4", 4, 2},
               {"x", 0, 1},
               {"101x", 'A', 3},
               {"18", 1, 2},
               {"9", 0, 1},
               {"98", 0, 2},
               {"1019", 'A', 4},
               {"q", 'q', 0},
               {"", 0, 0},
               {"8a", 0, 1},
               {"000000101", 0, 1},
               {"1111111111", 0111111111 & 0xFF, 9},
               {"1234567891", 01234567 & 0xFF, 9}};
  for (const auto& c : cases) {
    const char* p = c.text;
    const char value = DecodeEscape(p);
    if (c.value >= 0) {
      EXPECT_EQ(value, static_cast<char>(c.value)) << c.text;
    }
    EXPECT_EQ(static_cast<size_t>(p - c.text), c.used) << c.text;
  }
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
