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

TEST(Format, BufferGrowsAndIsReused) {
  std::string long300(300, 'a');
  const char* first = Format("%s", long300.c_str());
  EXPECT_EQ(std::string(first), long300);
  (void)Format("%d", 1);  // the other buffer of the pair
  // A later format on the same thread reuses the grown buffer.
  const char* again = Format("%s!", long300.c_str());
  EXPECT_EQ(again, first);
  EXPECT_EQ(std::strlen(again), 301u);

  std::string huge(100000, 'h');
  EXPECT_EQ(std::strlen(Format("%s%s", huge.c_str(), huge.c_str())), 200000u);
}

TEST(Format, ResultMayBeAnArgumentOfTheNextFormat) {
  const char* inner = Format("%s-%u", "abc", 12u);
  EXPECT_STREQ(Format("<%s>", inner), "<abc-12>");
  std::string big(1000, 'b');
  const char* grown = Format("%s", big.c_str());
  EXPECT_EQ(std::strlen(Format("%s%s", grown, grown)), 2000u);
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

TEST(Format, LargeStorageIsReleasedBeforeTheNextUse) {
  std::string big(3 * 1024 * 1024, 'L');
  const char* large = Format("%s", big.c_str());
  EXPECT_EQ(std::strlen(large), big.size());
  (void)Format("x");
  // The slot that held 3 MiB starts again small; the text is still right.
  EXPECT_STREQ(Format("%s", "small"), "small");
}

TEST(FormatTo, TruncatesAndReportsTheFullLength) {
  char buffer[8];
  EXPECT_EQ(FormatTo(buffer, sizeof(buffer), "%I64u", 1234567890123ull), 13);
  EXPECT_STREQ(buffer, "1234567");
  EXPECT_EQ(FormatTo(buffer, sizeof(buffer), nullptr), 0);
  EXPECT_STREQ(buffer, "");
}

TEST(AppendFormat, AppendsAtTheTerminatingZero) {
  char text[64] = "n=";
  EXPECT_EQ(AppendFormat(text, "%I64d;", static_cast<int64_t>(-1)), text);
  AppendFormat(text, "%s", "end");
  EXPECT_STREQ(text, "n=-1;end");
}

TEST(PFormatBuffer, InlineAndHeap) {
  PFormatBuffer shortText("%s %I64X", "id", 0xFFull);
  EXPECT_STREQ(shortText.Text(), "id FF");
  std::string long500(500, 'z');
  PFormatBuffer longText("%s|%I64u", long500.c_str(), 42ull);
  EXPECT_EQ(std::string(longText), long500 + "|42");
  std::string exactly255(255, 'e');
  EXPECT_EQ(std::string(PFormatBuffer("%s", exactly255.c_str())), exactly255);
  std::string exactly256(256, 'e');
  EXPECT_EQ(std::string(PFormatBuffer("%s", exactly256.c_str())), exactly256);
}

TEST(VPrintToStream, WritesMappedFormats) {
  FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  auto print = [stream](const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = VPrintToStream(stream, format, args);
    va_end(args);
    return n;
  };
  EXPECT_EQ(print("%I64u:%s", 99ull, "ok"), 5);
  std::rewind(stream);
  char line[32] = {};
  ASSERT_NE(std::fgets(line, sizeof(line), stream), nullptr);
  EXPECT_STREQ(line, "99:ok");
  std::fclose(stream);
}

}  // namespace
