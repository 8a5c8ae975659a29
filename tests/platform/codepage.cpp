// Code-page conversions.
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"

namespace {

using platform::kCodePage1251;
using platform::kCodePageAnsi;
using platform::kCodePageUtf8;
using platform::ResolveCodePage;
using platform::UpperCaseAnsi;

const std::string kPrivetUtf8 = "Привет";
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

TEST(CodePage, Windows1251AndUtf8RoundTrip) {
  std::string out;
  ASSERT_TRUE(
      platform::Recode(kPrivetUtf8.data(), kPrivetUtf8.size(), kCodePageUtf8, kCodePage1251, out));
  EXPECT_EQ(out, kPrivet1251);
  std::string back;
  ASSERT_TRUE(platform::Recode(out.data(), out.size(), kCodePage1251, kCodePageUtf8, back));
  EXPECT_EQ(back, kPrivetUtf8);

  // The letters outside the А..я block and the micro sign used by the
  // decimal prefixes.
  const std::string special = "Ёё№µ";
  ASSERT_TRUE(platform::Recode(special.data(), special.size(), kCodePageUtf8, kCodePage1251, out));
  EXPECT_EQ(out, "\xA8\xB8\xB9\xB5");
}

TEST(CodePage, Windows1251MapsEveryCyrillicLetterBothWays) {
  // The whole А..я block, Ё/ё, the Ukrainian and Serbian letters, the euro
  // sign and the no-break space of Windows-1251's upper half.
  std::string all;
  for (int byte = 0xC0; byte <= 0xFF; ++byte)
    all += static_cast<char>(byte);
  all += "\xA8\xB8\xAA\xBA\xAF\xBF\xB2\xB3\x80\x88\xA0";
  std::u16string wide;
  ASSERT_TRUE(platform::ToWide(all.data(), all.size(), kCodePage1251, wide));
  ASSERT_EQ(wide.size(), all.size());
  for (size_t i = 0; i < 64; ++i)
    EXPECT_EQ(wide[i], 0x0410 + i) << i;
  EXPECT_EQ(wide.substr(64), u"ЁёЄєЇїІіЂ€\u00A0");
  std::string back;
  ASSERT_TRUE(platform::FromWide(wide.data(), wide.size(), kCodePage1251, back));
  EXPECT_EQ(back, all);
}

TEST(CodePage, WideConversionsKeepSurrogatePairs) {
  const std::string text = "a\xF0\x9F\x98\x80z";  // U+1F600 between two letters
  std::u16string wide;
  ASSERT_TRUE(platform::ToWide(text.data(), text.size(), kCodePageUtf8, wide));
  ASSERT_EQ(wide.size(), 4u);
  EXPECT_EQ(wide[1], 0xD83D);
  EXPECT_EQ(wide[2], 0xDE00);
  std::string back;
  ASSERT_TRUE(platform::FromWide(wide.data(), wide.size(), kCodePageUtf8, back));
  EXPECT_EQ(back, text);
}

TEST(CodePage, InvalidInputFailsCleanly) {
  std::u16string wide = u"stale";
  EXPECT_FALSE(platform::ToWide("\xC3\x28", 2, kCodePageUtf8, wide));
  EXPECT_FALSE(platform::ToWide("ab\xD0", 3, kCodePageUtf8, wide));  // cut in a character
  std::string out = "stale";
  EXPECT_FALSE(platform::Recode("\xFF\xFE", 2, kCodePageUtf8, kCodePage1251, out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(platform::ToWide("x", 1, 12345, wide));  // no such code page
}

TEST(CodePage, UnrepresentableCharactersBecomeReplacements) {
  std::string out;
  const std::u16string chinese = u"A\u4E2DB";
  ASSERT_TRUE(platform::FromWide(chinese.data(), chinese.size(), kCodePage1251, out));
  EXPECT_EQ(out, "A?B");
  const std::u16string pair = u"\U0001F600!";
  ASSERT_TRUE(platform::FromWide(pair.data(), pair.size(), kCodePage1251, out));
#if defined(_WIN32)
  // WideCharToMultiByte replaces each UTF-16 unit of the pair.
  EXPECT_EQ(out, std::string(2, '?') + "!");
#else
  EXPECT_EQ(out, "?!");  // one replacement for the whole pair
#endif
  const char16_t lone[] = {u'x', 0xD800, u'y'};
  ASSERT_TRUE(platform::FromWide(lone, 3, kCodePageUtf8, out));
  EXPECT_EQ(out, "x\xEF\xBF\xBDy");
}

TEST(CodePage, LongTextsConvertCompletely) {
  std::string utf8;
  for (int i = 0; i < 3000; ++i)
    utf8 += "Жx";
  std::string cp1251;
  ASSERT_TRUE(platform::Recode(utf8.data(), utf8.size(), kCodePageUtf8, kCodePage1251, cp1251));
  ASSERT_EQ(cp1251.size(), 6000u);
  EXPECT_EQ(cp1251.substr(5998), "\xC6x");
  std::u16string wide;
  ASSERT_TRUE(platform::ToWide(cp1251.data(), cp1251.size(), kCodePage1251, wide));
  EXPECT_EQ(wide.size(), 6000u);
  EXPECT_EQ(wide[0], u'Ж');
}

TEST(CodePage, EmptyTextConvertsToEmpty) {
  std::u16string wide = u"stale";
  EXPECT_TRUE(platform::ToWide("", 0, kCodePage1251, wide));
  EXPECT_TRUE(wide.empty());
  std::string out = "stale";
  EXPECT_TRUE(platform::FromWide(u"", 0, kCodePageUtf8, out));
  EXPECT_TRUE(out.empty());
}

TEST(CodePage, AnsiUpperCasingTakesCyrillicLetters) {
  // Windows-1251 text (not valid UTF-8) in a UTF-8 locale, or in a 1251 one:
  // a ya yo i yi short-u ghe-upturn, micro sign and Latin.
  if (ResolveCodePage(kCodePageAnsi) == kCodePageUtf8 ||
      ResolveCodePage(kCodePageAnsi) == kCodePage1251) {
    std::string text = "\xE0\xFF\xB8\xB3\xBF\xA2\xB4\xB5 az-\xC0";
    UpperCaseAnsi(text);
    EXPECT_EQ(text, "\xC0\xDF\xA8\xB2\xAF\xA1\xA5\xB5 AZ-\xC0");
  }
  if (ResolveCodePage(kCodePageAnsi) == kCodePageUtf8) {
    std::string text = "\xD0\xB0\xD1\x8F\xD1\x91 \xC3\xA9x";  // a ya yo, e-acute, x
    UpperCaseAnsi(text);
    EXPECT_EQ(text, "\xD0\x90\xD0\xAF\xD0\x81 \xC3\x89X");
  }
}

TEST(CodePage, NamesAndResolution) {
  EXPECT_EQ(platform::ResolveCodePage(kCodePage1251), 1251u);
  EXPECT_EQ(platform::CodePageName(kCodePage1251), "1251");
  EXPECT_EQ(platform::CodePageName(kCodePageUtf8), "UTF-8");
  const uint32_t ansi = platform::ResolveCodePage(platform::kCodePageAnsi);
  const uint32_t oem = platform::ResolveCodePage(platform::kCodePageOem);
#if defined(_WIN32)
  // Windows has an OEM code page of its own: the DOS one of the system's
  // language (866 beside 1251, 437 or 850 beside 1252), the same only when
  // both are UTF-8.
  if (ansi == 1251) {
    EXPECT_EQ(oem, 866u);
  }
  EXPECT_EQ(ansi == kCodePageUtf8, oem == kCodePageUtf8) << ansi << " " << oem;
  EXPECT_EQ(platform::CodePageName(platform::kCodePageOem),
            oem == kCodePageUtf8 ? "UTF-8" : std::to_string(oem));
#else
  EXPECT_EQ(oem, ansi == 1251 ? 866u : ansi);
#endif
  EXPECT_FALSE(platform::CodePageName(platform::kCodePageAnsi).empty());
  if (ansi == kCodePageUtf8) {
    // ANSI and UTF-8 are then the same: conversion is the identity.
    std::string out;
    ASSERT_TRUE(platform::Recode(kPrivetUtf8.data(), kPrivetUtf8.size(), platform::kCodePageAnsi,
                                 kCodePageUtf8, out));
    EXPECT_EQ(out, kPrivetUtf8);
  }
}

}  // namespace
