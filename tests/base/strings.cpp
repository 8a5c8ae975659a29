#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/codepage.h"

namespace {

TEST(PStr, AppendAssignAndFormat) {
  PStr s;
  s.Append(nullptr);
  EXPECT_TRUE(s.IsNull());
  s.Append("hello").Append(", world").Append(nullptr);  // appending to null copies
  s.Append(s.c_str() + 7);  // a part of itself survives the reallocation
  EXPECT_STREQ(s, "hello, worldworld");
  s = s.c_str() + 7;  // assigning a part of itself
  EXPECT_STREQ(s, "worldworld");
  PStr moved(std::move(s));
  EXPECT_TRUE(s.IsNull());
  EXPECT_STREQ(PStr("abcdef", 3), "abc");
  moved.Format("%s=%I64u", "n", 18446744073709551615ull);
  moved.AppendFormat(" %08X", 0xBEEFu);
  EXPECT_STREQ(moved, "n=18446744073709551615 0000BEEF");
}

TEST(Istr, EqualityOrderingAndDescription) {
  Istr null, abc("abc"), ABC("ABC"), abd("abd");
  EXPECT_FALSE(null.IsEqual(&null));  // a null text is not even equal to itself
  EXPECT_FALSE(null.IsGreater(&abc) || abc.IsGreater(&null));
  EXPECT_FALSE(abc.IsEqual(&ABC));
  EXPECT_TRUE(abd.IsGreater(&abc));
  EXPECT_FALSE(abc.IsGreater(&abd));
  // Case-insensitive items fold letters to lower case (as _stricmp): "A"
  // sorts after "_".
  NCIstr nabc("abc"), nABC("ABC"), underscore("_");
  EXPECT_TRUE(nabc.IsEqual(&nABC));
  EXPECT_TRUE(nABC.IsGreater(&underscore));
  Istr& alias = abc;
  abc = alias;  // self-assignment keeps the text
  EXPECT_STREQ(abc.Text(), "abc");

  PStr out;
  abc.Describe(out, 1);
  EXPECT_STREQ(out, "\"Istr\", \"abc\"");
  out.Free();
  DIstr("key", 255).Describe(out, 1);
  EXPECT_STREQ(out, "\"DIstr\", \"key\", Data = 255 (0xFF)");
}

TEST(MLCString, SplitsAtTheFirstBar) {
  MLCString both("Error|Ошибка|x", 7);
  EXPECT_STREQ(both.FirstPart(), "Error");
  EXPECT_STREQ(both.SecondPart(), "Ошибка|x");
  EXPECT_STREQ(MLCString("Error|").SecondPart(), "");
  both = MLCString("Error");
  EXPECT_STREQ(both.FirstPart(), "Error");
  EXPECT_EQ(both.SecondPart(), nullptr);
  EXPECT_EQ(MLCString().FirstPart(), nullptr);
}

// The fields of a split, joined by "|".
std::string Fields(const PTokens& tokens) {
  std::string out;
  for (uint32_t i = 0; i < tokens.Count(); ++i)
    out += (i ? "|" : "") + std::string(tokens.Field(i));
  return out;
}

TEST(PTokens, DelimitersFlagsAndEmptyFields) {
  const struct {
    const char* text;
    const char* delimiters;
    uint32_t flags;
    const char* fields;
    uint32_t count;
  } cases[] = {{"a,,b", ",", 0, "a|b", 2},
               {"a,,b", ",", PTokens::kKeepEmpty, "a||b", 3},
               {"a;", ";", PTokens::kKeepEmpty, "a|", 2},
               {";;a;;", ";", 0, "a", 1},
               {"", ",", 0, "", 0},
               {nullptr, ",", 0, "", 0},
               {"k=v; w", "=; ", 0, "k|v|w", 3},
               {"\"x y\" z", " ", PTokens::kQuotes, "x y|z", 2},
               {"a\"b,c\"d,e", ",", PTokens::kQuotes, "ab,cd|e", 2},
               {"\"x y\" z", " ", 0, "\"x|y\"|z", 3},
               {" a ,\tb  , c", ",", PTokens::kTrim, "a|b|c", 3}};
  for (const auto& c : cases) {
    PTokens tokens(c.text, c.delimiters, c.flags);
    EXPECT_EQ(tokens.Count(), c.count) << (c.text ? c.text : "(null)");
    EXPECT_EQ(Fields(tokens), c.fields) << (c.text ? c.text : "(null)");
    EXPECT_EQ(tokens.Field(c.count), nullptr);
  }
  const char multi[] = "one\0two words\0\0ignored";
  EXPECT_EQ(Fields(PTokens(multi, nullptr, PTokens::kMultiString)), "one|two words");
}

TEST(PTokens, ManyFieldsAndLongText) {
  std::string text;
  for (int i = 0; i < 70; ++i)
    text += (i ? "," : "") + std::to_string(i * 11);
  PTokens fields(text.c_str(), ",");
  ASSERT_EQ(fields.Count(), 70u);
  EXPECT_STREQ(fields.Field(63), "693");
  EXPECT_STREQ(fields[64], "704");
  EXPECT_STREQ(fields.Field(69), "759");

  // A text longer than the inline buffer is copied to the heap, and the
  // caller's text is left as it was.
  std::string longText(600, 'x');
  longText[300] = ' ';
  const std::string original = longText;
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

  EXPECT_TRUE(IsDigit('7') && IsHexDigit('f') && IsHexDigit('C') && IsSpace('\v') && IsAlnum('Z'));
  EXPECT_FALSE(IsDigit('a') || IsHexDigit('g') || IsSpace('x') || IsAlnum('_'));
  for (int c = 128; c < 256; ++c) {
    EXPECT_FALSE(IsDigit(c) || IsSpace(c) || IsHexDigit(c) || IsAlnum(c)) << c;
    EXPECT_FALSE(IsAlnum(static_cast<char>(c))) << c;  // negative chars too
  }
}

TEST(Text, CodePages) {
  PStr cp1251 = To1251("Ошибка");
  EXPECT_STREQ(cp1251, "\xCE\xF8\xE8\xE1\xEA\xE0");
  EXPECT_TRUE(To1251(nullptr).IsNull());
  EXPECT_STREQ(Recode(cp1251, platform::kCodePage1251, platform::kCodePageUtf8), "Ошибка");
  EXPECT_EQ(RecodeBuffer("a\0\xC0", 3, platform::kCodePage1251, platform::kCodePageUtf8),
            std::string("a\0\xD0\x90", 4));

  wstr wide("Abc");
  EXPECT_EQ(wide.Length(), 3u);
  EXPECT_EQ(wide.Text()[0], u'A');
  EXPECT_EQ(wstr(nullptr).Text(), nullptr);
  EXPECT_STREQ(NarrowFromWide(u"Жук", platform::kCodePageUtf8), "Жук");
  EXPECT_TRUE(NarrowFromWide(nullptr, platform::kCodePageUtf8).IsNull());
}

}  // namespace
