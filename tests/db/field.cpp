#include "db/field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "db/support/db_test_support.h"
#include "platform/codepage.h"

namespace {

std::string Text(const PField& field, void (PField::*get)(PStr&) const) {
  PStr text;
  (field.*get)(text);
  return text.IsNull() ? "" : text.c_str();
}
std::string Display(const PField& field) {
  return Text(field, &PField::GetDisplayText);
}

}  // namespace

TEST(Field, FlagsOfConstructionSettersAndClone) {
  PIntField fresh;
  EXPECT_TRUE(fresh.IsModified());
  EXPECT_FALSE(fresh.IsAssigned());
  EXPECT_FALSE(PRawDataField().IsModified());

  // A value constructor clears Modified; a setter with the same value keeps
  // the flags; a new value sets Modified and Assigned.
  PIntField loaded(5);
  EXPECT_FALSE(loaded.IsModified());
  loaded.SetLong(5);
  EXPECT_FALSE(loaded.IsModified());
  loaded.SetLong(6);
  EXPECT_EQ(loaded.FlagsWord(), PField::kModified | PField::kAssigned);
  PStringField text("abc");
  text.SetText("abc");
  EXPECT_EQ(text.FlagsWord(), 0u);
  text.SetText(nullptr);
  EXPECT_STREQ(text.GetText(), "");
  EXPECT_TRUE(text.IsModified());

  // Clone clears every flag and keeps the value; a raw field that knows only
  // its column's length clones that length.
  std::unique_ptr<PField> copy(loaded.Clone());
  EXPECT_EQ(copy->GetLong(), 6);
  EXPECT_EQ(copy->FlagsWord(), 0u);
  PRawDataField pending(0, nullptr);
  pending.SetDataSizeOnly(100);
  std::unique_ptr<PField> clone(pending.Clone());
  EXPECT_EQ(static_cast<PRawDataField*>(clone.get())->DataSize(), 100u);
  EXPECT_EQ(static_cast<PRawDataField*>(clone.get())->AllocSize(), 0u);

  PRawDataField raw;
  const unsigned char bytes[] = {0, 255, 39, 92, 0};
  raw.SetRawData(sizeof bytes, bytes);
  EXPECT_TRUE(raw.IsModified());
  EXPECT_EQ(std::memcmp(raw.GetRawData().Data(), bytes, sizeof bytes), 0);
  raw.ClearFlags();
  raw.SetRawData(sizeof bytes, bytes);  // the same bytes
  EXPECT_FALSE(raw.IsModified());
  raw.SetRawData(0, nullptr);
  EXPECT_EQ(raw.AllocSize(), 0u);
  EXPECT_TRUE(raw.IsModified());
}

TEST(Field, GettersAndSettersAnswerOnlyForTheirOwnForm) {
  EXPECT_EQ(PInt64Field((int64_t{1} << 32) + 1).GetLong(), 1);
  EXPECT_EQ(PDoubleField(2.5).GetDate(), 2.5);  // a double answers as a date too
  EXPECT_EQ(PTimeField(3.25).GetDouble(), 0.0);
  PIntField small(77);
  EXPECT_EQ(small.GetBigInt(), 0);
  small.SetText("9");
  small.SetDouble(9.0);
  EXPECT_EQ(small.GetLong(), 77);
  EXPECT_FALSE(small.IsModified());
  PInt64Field widened(0);
  widened.SetLong(-2);
  EXPECT_EQ(widened.GetBigInt(), -2);
  for (uint16_t type : {dbLong, dbSingle, dbDouble, dbDate, dbText, dbLongBinary, dbBigInt})
    EXPECT_EQ(std::unique_ptr<PField>(NewField(type))->Type(), type);
  EXPECT_EQ(NewField(99), nullptr);
}

TEST(Field, DisplaySqlAndCopyTexts) {
  // Strings are not escaped at this level ("" marks a text not checked).
  PDoubleField twelve(12), twelveHalf(12.5), half(0.5);
  PFloatField twoHalf(2.5f), three(3.0f);
  PInt64Field big(-5000000000);
  PIntField minus(-3);
  PStringField quote("it's");
  PRawDataField raw(3, "abc");
  PTimeField date(OleDate(2021, 3, 4, 5, 6, 7));
  const struct {
    const PField& field;
    const char *display, *sql;
  } cases[] = {{twelve, "12", ""},
               {twelveHalf, "12.5", ""},
               {half, "", "0.50000000000000000000"},
               {twoHalf, "2.5", "2.5"},
               {three, "3", ""},
               {big, "-5000000000", ""},
               {minus, "-3", "-3"},
               {quote, "it's", "'it's'"},
               {raw, "<Raw data, size = 3, alloc'd size = 3>", ""},
               {date, "Mar 4, 2021  05:06:07", ""}};
  for (const auto& c : cases) {
    EXPECT_TRUE(!*c.display || Display(c.field) == c.display) << Display(c.field);
    EXPECT_TRUE(!*c.sql || Text(c.field, &PField::GetSQLText) == c.sql) << c.sql;
  }

  // Texts across the 19-byte inline limit, in copies and in the field.
  PSmallStr copy;
  PStringField("a text longer than twenty bytes").GetTextCopy(copy);
  EXPECT_STREQ(copy.c_str(), "a text longer than twenty bytes");
  PIntField(42).GetTextCopy(copy);
  EXPECT_STREQ(copy.c_str(), "42");
  PStringField field(std::string(19, 'x').c_str());
  for (const std::string& text :
       {std::string(20, 'y'), std::string("short"), std::string(300, 'z')}) {
    field.SetText(text.c_str());
    EXPECT_EQ(field.GetText(), text);
  }
}

TEST(Field, SetFromText) {
  PIntField i(7);
  PInt64Field b(1);
  PDoubleField d(1.5);
  PTimeField t(0.0);
  // A refused text keeps the value, except in a 64-bit field; an empty
  // text keeps a double's value.
  const double date = OleDate(2021, 3, 4, 5, 6, 7), day = OleDate(2021, 3, 4);
  const struct {
    PField& field;
    const char* text;
    bool accepted;
    double value;  // after the call
  } cases[] = {{i, "  0x1F ", true, 31},   {i, "010", true, 10},
               {i, "-12", true, -12},      {i, "12abc", false, -12},
               {i, "", true, 0},           {b, "9000000000", true, 9e9},
               {b, "nonsense", false, 0},  {d, "", true, 1.5},
               {d, "x", false, 1.5},       {d, " 2.25", true, 2.25},
               {t, "2021-3-4", true, day}, {t, "2021-03-04 05:06:07", true, date}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.field.SetFromText(c.text), c.accepted) << c.text;
    const double value = c.field.Type() == dbLong     ? c.field.GetLong()
                         : c.field.Type() == dbBigInt ? static_cast<double>(c.field.GetBigInt())
                                                      : c.field.GetDate();
    EXPECT_DOUBLE_EQ(value, c.value) << c.text;
  }
  EXPECT_TRUE(t.SetFromText("21-03-04"));  // a two-digit year: the current time
  EXPECT_NEAR(t.GetDate(), PTimeStamp().oleDate, 1.0 / 24 / 60);
  PRawDataField raw(2, "ab");
  EXPECT_TRUE(raw.SetFromText("zz"));
  EXPECT_EQ(raw.GetRawData()[0], 'a');
}

TEST(Field, CompareAndMatches) {
  PIntField five(5);
  PStringField abc("ABC");
  PTimeField date(100.5);
  // A text that is no number compares as 0; numeric codes do not apply to
  // texts; for texts the value 0 selects case-insensitive comparison.
  const struct {
    const PField& field;
    const char* text;
    double value;
    int code;
    bool matches;
  } cases[] = {
      {five, "5", 0, kMatchLessOrEqual, true},     {five, "x", 0, kMatchLessOrEqual, false},
      {five, "x", 0, kMatchGreater, true},         {five, "5", 0, 17, false},
      {abc, "abc", 0, kMatchTextEqual, true},      {abc, "abc", 1, kMatchTextEqual, false},
      {abc, "b", 0, kMatchContains, true},         {abc, "AB", 1, kMatchBeginsWith, true},
      {abc, "x", 1, kMatchNotContains, true},      {abc, "ABC", 1, kMatchEqual, false},
      {date, "ignored", 100.5, kMatchEqual, true}, {date, "ignored", 200, kMatchLess, true}};
  for (const auto& c : cases)
    EXPECT_EQ(c.field.Matches(c.text, c.value, c.code), c.matches) << c.text << " " << c.code;
    // Case-insensitive matching upper-cases Windows-1251 Cyrillic as well. Yo
    // (0xB8) has its capital only in code page 1251: Windows upper-cases in its
    // own ANSI code page (1252 under Wine here), POSIX takes text that is not
    // UTF-8 as 1251.
#if defined(_WIN32)
  const bool ansiIs1251 = platform::ResolveCodePage(platform::kCodePageAnsi) == 1251;
#else
  const bool ansiIs1251 = true;
#endif
  const PStringField cyrillic("\xC0\xC1\xC2 \xA8\xC6");  // "ABV YoZh" in capitals
  EXPECT_TRUE(cyrillic.Matches("\xE0\xE1\xE2", 0, kMatchBeginsWith));
  EXPECT_EQ(cyrillic.Matches("\xE0\xE1\xE2 \xB8\xE6", 0, kMatchTextEqual), ansiIs1251);
  EXPECT_EQ(cyrillic.Matches("\xB8\xE6", 0, kMatchContains), ansiIs1251);
  EXPECT_FALSE(cyrillic.Matches("\xE0\xE1\xE2 \xB8\xE6", 1, kMatchTextEqual));
  EXPECT_FALSE(cyrillic.Matches("\xE0\xE1", 0, kMatchNotContains));
  EXPECT_FALSE(PRawDataField(1, "a").Matches("a", 0, kMatchEqual));
  EXPECT_EQ(PRawDataField(1, "a").Compare(PRawDataField(1, "b")), 0);
  EXPECT_EQ(PStringField("b").Compare(PStringField("\xE9")), -1);  // unsigned bytes
  EXPECT_EQ(PDoubleField(1).Compare(PDoubleField(0.5)), 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(PDoubleField(nan).Compare(PDoubleField(nan)), -1);
}

TEST(Field, EncodeDecodeRoundTrips) {
  PStringField text("  a\tb ");
  EXPECT_EQ(Text(text, &PField::EncodeText),
            "\x04\x04"
            "a\x01"
            "b\x04");
  EXPECT_EQ(Text(PStringField("x\r\ny"), &PField::EncodeText), "x\x02\x03y");
  EXPECT_EQ(Text(PDoubleField(1.0), &PField::EncodeText), "000000000000F03F");
  PStringField s("");
  PDoubleField d(0.0);
  PFloatField f(0.0f);
  PTimeField t(0.0);
  PInt64Field i(0);
  const struct {
    std::unique_ptr<PField> original;
    PField& decoded;
  } cases[] = {{std::make_unique<PStringField>("  a\tb\r\n"), s},
               {std::make_unique<PDoubleField>(1.0), d},
               {std::make_unique<PFloatField>(-2.5f), f},
               {std::make_unique<PTimeField>(44000.125), t},
               {std::make_unique<PInt64Field>(-77), i}};
  for (const auto& c : cases) {
    c.decoded.DecodeText(Text(*c.original, &PField::EncodeText).c_str());
    EXPECT_EQ(c.decoded.Compare(*c.original), 0) << Display(*c.original);
    EXPECT_EQ(Display(c.decoded), Display(*c.original));
  }
  EXPECT_FALSE(d.IsModified());  // binary decoding does not touch the flags
}

TEST(Field, AssignmentAndCopyAttributes) {
  CaptureDefaultErrors capture;
  PIntField target(1);
  static_cast<PField&>(target) = PStringField("x");
  EXPECT_EQ(target.GetLong(), 1);
  PRawDataField raw(0, nullptr);
  static_cast<PField&>(raw) = PIntField(3);
  EXPECT_EQ(CapturedMessages(),
            (std::vector<std::string>{"PIntField::operator=() : Field type mismatch",
                                      "PRawDataField::operator=() : Field type mismatch"}));

  PDoubleField d(1.0), other(2.0);
  other.SetDisplayFormat("%.3f");
  static_cast<PField&>(d) = other;
  EXPECT_EQ(d.GetDouble(), 2.0);
  EXPECT_TRUE(d.IsModified());
  EXPECT_EQ(Display(d), "2.000");

  PStringField attributes("a"), assigned("b");
  assigned.SetText("c");
  attributes.CopyAttributes(assigned);
  EXPECT_EQ(attributes.FlagsWord(), PField::kModified | PField::kAssigned);

  // A field of another class that took a floating-point type code from
  // CopyAttributes passes the type check; the value is assigned, the display
  // format (which it does not have) is kept, and nothing is read beyond it.
  auto impostor = std::make_unique<PIntField>(7);
  impostor->CopyAttributes(PDoubleField(0.0));
  PDoubleField formatted(1.0);
  formatted.SetDisplayFormat("%.2f");
  static_cast<PField&>(formatted) = *impostor;
  EXPECT_EQ(formatted.GetDouble(), 0.0);  // an int field answers 0 as a double
  EXPECT_STREQ(formatted.DisplayFormat(), "%.2f");
}
