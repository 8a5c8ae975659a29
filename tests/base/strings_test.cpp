#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace {

TEST(PStr, CopyAssignAppendAndFree) {
  PStr null;
  EXPECT_TRUE(null.IsNull());
  EXPECT_EQ(null.Length(), 0u);
  null.Append(nullptr);
  EXPECT_TRUE(null.IsNull());
  null.Append("abc");  // appending to null copies
  EXPECT_STREQ(null, "abc");

  PStr s("hello");
  s.Append(", world").Append(nullptr);
  EXPECT_STREQ(s, "hello, world");
  EXPECT_EQ(s.Length(), 12u);
  s.Append(s.c_str() + 7);  // appending a part of itself survives the reallocation
  EXPECT_STREQ(s, "hello, worldworld");
  s = s.c_str() + 7;  // assigning a part of itself
  EXPECT_STREQ(s, "worldworld");
  s = nullptr;
  EXPECT_TRUE(s.IsNull());

  PStr a("x");
  PStr b(a);
  PStr c(std::move(a));
  EXPECT_STREQ(b, "x");
  EXPECT_STREQ(c, "x");
  EXPECT_TRUE(a.IsNull());
  c.Free();
  EXPECT_TRUE(c.IsNull());
  EXPECT_STREQ(PStr("abcdef", 3), "abc");
}

TEST(PStr, FormatReplacesAndAppends) {
  PStr s("old");
  s.Format("%s=%I64u", "n", 18446744073709551615ull);
  EXPECT_STREQ(s, "n=18446744073709551615");
  s.AppendFormat(" %08X", 0xBEEFu);
  EXPECT_STREQ(s, "n=18446744073709551615 0000BEEF");
  EXPECT_STREQ(FormatStr("%d-%d", 1, 2), "1-2");
  char* owned = s.Release();
  EXPECT_TRUE(s.IsNull());
  std::free(owned);
}

TEST(Istr, EqualityAndOrdering) {
  Istr null1, null2;
  EXPECT_FALSE(null1.IsEqual(&null2));
  EXPECT_FALSE(null1.IsEqual(&null1));  // a null text is not even equal to itself
  EXPECT_FALSE(null1.IsGreater(&null2));

  Istr abc("abc"), ABC("ABC"), abd("abd");
  EXPECT_FALSE(abc.IsEqual(&ABC));
  EXPECT_TRUE(abc.IsEqual(&abc));
  EXPECT_TRUE(abd.IsGreater(&abc));
  EXPECT_FALSE(abc.IsGreater(&abd));
  EXPECT_FALSE(abc.IsGreater(&null1));

  NCIstr nabc("abc"), nABC("ABC"), nabd("ABD");
  EXPECT_TRUE(nabc.IsEqual(&nABC));
  EXPECT_TRUE(nabd.IsGreater(&nabc));
  EXPECT_FALSE(nABC.IsGreater(&nabc));
  // Letters are folded to lower case (as _stricmp): "A" sorts after "_".
  NCIstr underscore("_"), letter("A");
  EXPECT_TRUE(letter.IsGreater(&underscore));
  EXPECT_FALSE(underscore.IsGreater(&letter));

  Istr copy(abc);
  EXPECT_TRUE(copy.IsEqual(&abc));
  copy = "zz";
  EXPECT_EQ(copy.Length(), 2u);
  Istr& alias = copy;
  copy = alias;  // self-assignment keeps the text
  EXPECT_STREQ(copy.Text(), "zz");
}

TEST(Istr, Describe) {
  Istr text("abc");
  PStr out;
  text.Describe(out, 0);
  EXPECT_STREQ(out, "\"abc\"");
  out.Free();
  text.Describe(out, 1);
  EXPECT_STREQ(out, "\"Istr\", \"abc\"");

  out.Free();
  text.Describe(out, 2);
  char expected[64];
  std::snprintf(expected, sizeof(expected), "this = %llX, \"abc\"",
                static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&text)));
  EXPECT_STREQ(out, expected);

  DIstr data("key", 255);
  out.Free();
  data.Describe(out, 1);
  EXPECT_STREQ(out, "\"DIstr\", \"key\", Data = 255 (0xFF)");
}

TEST(MLCString, SplitsAtTheFirstBar) {
  MLCString both("Error|Ошибка|x", 7);
  EXPECT_STREQ(both.FirstPart(), "Error");
  EXPECT_STREQ(both.SecondPart(), "Ошибка|x");
  EXPECT_EQ(both.Id(), 7u);
  EXPECT_STREQ(both.Text(), "Error|Ошибка|x");

  MLCString emptySecond("Error|");
  EXPECT_STREQ(emptySecond.FirstPart(), "Error");
  ASSERT_NE(emptySecond.SecondPart(), nullptr);
  EXPECT_STREQ(emptySecond.SecondPart(), "");

  MLCString noBar("Error");
  EXPECT_STREQ(noBar.FirstPart(), "Error");
  EXPECT_EQ(noBar.SecondPart(), nullptr);

  MLCString copy(both);
  copy = noBar;
  EXPECT_STREQ(copy.FirstPart(), "Error");
  EXPECT_EQ(copy.SecondPart(), nullptr);

  MLCString null;
  EXPECT_EQ(null.FirstPart(), nullptr);
}

TEST(PTokens, DelimitersAndEmptyFields) {
  PTokens plain("a,,b", ",");
  ASSERT_EQ(plain.Count(), 2u);
  EXPECT_STREQ(plain.Field(0), "a");
  EXPECT_STREQ(plain.Field(1), "b");
  EXPECT_EQ(plain.Field(2), nullptr);

  PTokens keep("a,,b", ",", PTokens::kKeepEmpty);
  ASSERT_EQ(keep.Count(), 3u);
  EXPECT_STREQ(keep.Field(1), "");
  EXPECT_STREQ(keep.Field(2), "b");

  PTokens trailing("a;", ";", PTokens::kKeepEmpty);
  ASSERT_EQ(trailing.Count(), 2u);
  EXPECT_STREQ(trailing.Field(1), "");
  EXPECT_EQ(PTokens(";;a;;", ";").Count(), 1u);
  EXPECT_EQ(PTokens("", ",").Count(), 0u);
  EXPECT_EQ(PTokens(nullptr, ",").Count(), 0u);

  PTokens several("k=v; w", "=; ");
  ASSERT_EQ(several.Count(), 3u);
  EXPECT_STREQ(several[2], "w");
}

TEST(PTokens, QuotesTrimAndMultiString) {
  PTokens quoted("\"x y\" z", " ", PTokens::kQuotes);
  ASSERT_EQ(quoted.Count(), 2u);
  EXPECT_STREQ(quoted.Field(0), "x y");
  EXPECT_STREQ(quoted.Field(1), "z");

  PTokens inner("a\"b,c\"d,e", ",", PTokens::kQuotes);
  ASSERT_EQ(inner.Count(), 2u);
  EXPECT_STREQ(inner.Field(0), "ab,cd");

  PTokens unquoted("\"x y\" z", " ");
  EXPECT_EQ(unquoted.Count(), 3u);

  PTokens trimmed(" a ,\tb  , c", ",", PTokens::kTrim);
  ASSERT_EQ(trimmed.Count(), 3u);
  EXPECT_STREQ(trimmed.Field(0), "a");
  EXPECT_STREQ(trimmed.Field(1), "b");
  EXPECT_STREQ(trimmed.Field(2), "c");

  const char multi[] = "one\0two words\0\0ignored";
  PTokens strings(multi, nullptr, PTokens::kMultiString);
  ASSERT_EQ(strings.Count(), 2u);
  EXPECT_STREQ(strings.Field(1), "two words");
}

TEST(PTokens, ManyFieldsAndLongText) {
  std::string text;
  for (int i = 0; i < 70; ++i)
    text += (i ? "," : "") + std::to_string(i * 11);
  PTokens fields(text.c_str(), ",");
  ASSERT_EQ(fields.Count(), 70u);
  EXPECT_STREQ(fields.Field(0), "0");
  EXPECT_STREQ(fields.Field(63), "693");
  EXPECT_STREQ(fields.Field(64), "704");
  EXPECT_STREQ(fields.Field(69), "759");
  EXPECT_EQ(fields.Field(70), nullptr);

  // A text longer than the inline buffer is copied to the heap, and the
  // caller's text is left as it was.
  std::string longText(600, 'x');
  longText[300] = ' ';
  std::string original = longText;
  PTokens halves(longText.c_str(), " ");
  ASSERT_EQ(halves.Count(), 2u);
  EXPECT_EQ(std::strlen(halves.Field(1)), 299u);
  EXPECT_EQ(longText, original);
}

TEST(Text, TrimAndCharacterClasses) {
  char text[] = " \t\r\n value \t ";
  EXPECT_STREQ(Trim(text), "value \t");  // trailing: blanks only
  char blank[] = "   ";
  EXPECT_STREQ(Trim(blank), "");
  EXPECT_EQ(Trim(nullptr), nullptr);

  EXPECT_TRUE(IsDigit('7'));
  EXPECT_FALSE(IsDigit('a'));
  EXPECT_TRUE(IsHexDigit('f'));
  EXPECT_TRUE(IsHexDigit('C'));
  EXPECT_FALSE(IsHexDigit('g'));
  EXPECT_TRUE(IsSpace('\v'));
  EXPECT_FALSE(IsSpace('x'));
  EXPECT_TRUE(IsAlnum('Z'));
  EXPECT_FALSE(IsAlnum('_'));
  for (int c = 128; c < 256; ++c) {
    EXPECT_FALSE(IsDigit(c) || IsSpace(c) || IsHexDigit(c) || IsAlnum(c)) << c;
    EXPECT_FALSE(IsAlnum(static_cast<char>(c))) << c;  // negative chars too
  }
}

TEST(Text, CodePages) {
  PStr cp1251 = To1251("Ошибка");
  ASSERT_FALSE(cp1251.IsNull());
  EXPECT_STREQ(cp1251, "\xCE\xF8\xE8\xE1\xEA\xE0");
  EXPECT_TRUE(To1251(nullptr).IsNull());
  EXPECT_STREQ(Recode(cp1251, platform::kCodePage1251, platform::kCodePageUtf8), "Ошибка");

  std::string buffer = RecodeBuffer("a\0\xC0", 3, platform::kCodePage1251, platform::kCodePageUtf8);
  EXPECT_EQ(buffer, std::string("a\0\xD0\x90", 4));

  wstr wide("Abc");
  ASSERT_NE(wide.Text(), nullptr);
  EXPECT_EQ(wide.Length(), 3u);
  EXPECT_EQ(wide.Text()[0], u'A');
  EXPECT_EQ(wstr(nullptr).Text(), nullptr);
  EXPECT_STREQ(NarrowFromWide(u"Жук", platform::kCodePageUtf8), "Жук");
  EXPECT_TRUE(NarrowFromWide(nullptr, platform::kCodePageUtf8).IsNull());
}

}  // namespace
