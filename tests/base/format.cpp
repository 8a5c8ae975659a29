#include "base/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace {

TEST(Format, SixtyFourBitModifierIsMapped) {
  const uint64_t big = 0x123456789ABCDEF0ull;
  EXPECT_STREQ(Format("%I64u", big), "1311768467463790320");
  EXPECT_STREQ(Format("%I64X", big), "123456789ABCDEF0");
  EXPECT_STREQ(Format("%I64x", big), "123456789abcdef0");
  EXPECT_STREQ(Format("%I64d", static_cast<int64_t>(-5)), "-5");
  EXPECT_STREQ(Format("%I64i", static_cast<int64_t>(-9000000000ll)), "-9000000000");
  EXPECT_STREQ(Format("%I64o", static_cast<uint64_t>(8)), "10");
  EXPECT_STREQ(Format("[%020I64X]", big), "[0000123456789ABCDEF0]");
  EXPECT_STREQ(Format("[%-6I64u|%+I64d]", static_cast<uint64_t>(7), static_cast<int64_t>(7)),
               "[7     |+7]");
  // Arguments after a mapped conversion are still read at the right place.
  EXPECT_STREQ(Format("%I64u %s %u", big, "x", 3u), "1311768467463790320 x 3");
  // Text and escapes around an 'I' are left alone.
  EXPECT_STREQ(Format("ID %%I64u %s I64", "I"), "ID %I64u I I64");
  EXPECT_STREQ(Format("%I32u|%Iu", 5u, static_cast<size_t>(6)), "5|6");
  EXPECT_STREQ(Format(nullptr), "");
}

TEST(Format, AFormatBufferWhoseTextChangesIsReadAfresh) {
  // What a format needs is remembered per address; the text decides.
  char format[32];
  std::strcpy(format, "%I64u|");
  EXPECT_STREQ(Format(format, 5ull), "5|");
  std::strcpy(format, "plain");
  EXPECT_STREQ(Format(format), "plain");
  std::strcpy(format, "%u+%I64X");
  EXPECT_STREQ(Format(format, 7u, 255ull), "7+FF");
  std::strcpy(format, "%d Items");  // an 'I' in the text only
  EXPECT_STREQ(Format(format, 3), "3 Items");
  EXPECT_STREQ(Format(format, 4), "4 Items");
  std::strcpy(format, "%I64d");
  EXPECT_STREQ(Format(format, -2ll), "-2");
}

TEST(Format, LongFormatsAreMappedToo) {
  std::string format(400, '.');
  format += "%I64u";
  std::string expected(400, '.');
  expected += "18446744073709551615";
  EXPECT_EQ(std::string(Format(format.c_str(), UINT64_MAX)), expected);
}

TEST(Format, LongResultsAndResultsAsArguments) {
  const std::string long300(300, 'a');
  const char* first = Format("%s", long300.c_str());
  EXPECT_EQ(std::string(first), long300);
  // A result may be an argument of the next format, however long.
  EXPECT_EQ(std::string(Format("<%s>", first)), "<" + long300 + ">");
  const char* grown = Format("%s", std::string(1000, 'b').c_str());
  EXPECT_EQ(std::strlen(Format("%s%s", grown, grown)), 2000u);
  const std::string huge(100000, 'h');
  EXPECT_EQ(std::strlen(Format("%s%s", huge.c_str(), huge.c_str())), 200000u);
  // A slot that held 3 MiB starts again small; the text is still right.
  EXPECT_EQ(std::strlen(Format("%s", std::string(3 * 1024 * 1024, 'L').c_str())), 3u << 20);
  (void)Format("x");
  EXPECT_STREQ(Format("%s", "small"), "small");
}

TEST(Format, EachThreadHasItsOwnBuffer) {
  const char* mine = Format("main %d", 1);
  std::string other;
  std::thread worker([&] {
    const char* theirs = Format("worker %d", 2);
    other = theirs;
    EXPECT_NE(theirs, mine);
  });
  worker.join();
  EXPECT_STREQ(mine, "main 1");
  EXPECT_EQ(other, "worker 2");
}

TEST(FormatTo, TruncatesAndAppends) {
  char buffer[8];
  EXPECT_EQ(FormatTo(buffer, sizeof(buffer), "%I64u", 1234567890123ull), 13);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(FormatTo(buffer, sizeof(buffer), nullptr), 0);
  EXPECT_STREQ(buffer, "");
  char text[64] = "n=";
  EXPECT_EQ(AppendFormat(text, "%I64d;", static_cast<int64_t>(-1)), text);
  AppendFormat(text, "%s", "end");
  EXPECT_STREQ(text, "n=-1;end");
}

TEST(PFormatBuffer, InlineAndHeap) {
  EXPECT_STREQ(PFormatBuffer("%s %I64X", "id", 0xFFull).Text(), "id FF");
  for (size_t size : {255u, 256u, 500u}) {
    const std::string text(size, 'e');
    EXPECT_EQ(std::string(PFormatBuffer("%s", text.c_str())), text);
  }
}

}  // namespace
