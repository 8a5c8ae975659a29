#include "db/field.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "base/datetime.h"
#include "db/support/db_test_support.h"

namespace {

std::string Display(const PField& field) {
  PStr text;
  field.GetDisplayText(text);
  return text.IsNull() ? "" : text.c_str();
}

std::string Sql(const PField& field) {
  PStr text;
  field.GetSQLText(text);
  return text.IsNull() ? "" : text.c_str();
}

std::string Encoded(const PField& field) {
  PStr text;
  field.EncodeText(text);
  return text.IsNull() ? "" : text.c_str();
}

}  // namespace

TEST(Field, FlagsOfConstructionAndSetters) {
  PIntField fresh;
  EXPECT_EQ(fresh.GetLong(), 0);
  EXPECT_TRUE(fresh.IsModified());
  EXPECT_FALSE(fresh.IsAssigned());
  PRawDataField raw;
  EXPECT_FALSE(raw.IsModified());

  // A value constructor clears Modified; a setter with the same value keeps
  // the flags; a new value sets Modified and Assigned.
  PIntField loaded(5);
  EXPECT_FALSE(loaded.IsModified());
  loaded.SetLong(5);
  EXPECT_FALSE(loaded.IsModified());
  loaded.SetLong(6);
  EXPECT_TRUE(loaded.IsModified());
  EXPECT_TRUE(loaded.IsAssigned());

  PStringField text("abc");
  text.SetText("abc");
  EXPECT_EQ(text.FlagsWord(), 0u);
  text.SetText(nullptr);
  EXPECT_STREQ(text.GetText(), "");
  EXPECT_TRUE(text.IsModified());

  // Clone clears every flag and keeps the value.
  std::unique_ptr<PField> copy(loaded.Clone());
  EXPECT_EQ(copy->GetLong(), 6);
  EXPECT_EQ(copy->FlagsWord(), 0u);
}

TEST(Field, GettersAnswerOnlyForTheirOwnForm) {
  PInt64Field big((int64_t{1} << 32) + 1);
  EXPECT_EQ(big.GetLong(), 1);
  EXPECT_EQ(big.GetBigInt(), (int64_t{1} << 32) + 1);
  PIntField small(77);
  EXPECT_EQ(small.GetBigInt(), 0);
  EXPECT_EQ(small.GetDouble(), 0.0);
  EXPECT_STREQ(small.GetText(), "");
  EXPECT_EQ(small.GetRawData().Count(), 0u);
  PDoubleField number(2.5);
  EXPECT_EQ(number.GetDate(), 2.5);  // a double answers as a date too
  PTimeField date(3.25);
  EXPECT_EQ(date.GetDouble(), 0.0);
  // Setters that do not fit do nothing.
  small.SetText("9");
  small.SetDouble(9.0);
  EXPECT_EQ(small.GetLong(), 77);
  EXPECT_FALSE(small.IsModified());
  PInt64Field widened(0);
  widened.SetLong(-2);
  EXPECT_EQ(widened.GetBigInt(), -2);
}

TEST(Field, DisplayAndSqlTexts) {
  EXPECT_EQ(Display(PDoubleField(12)), "12");
  EXPECT_EQ(Display(PDoubleField(12.5)), "12.5");
  EXPECT_EQ(Display(PFloatField(2.5f)), "2.5");
  EXPECT_EQ(Display(PFloatField(3.0f)), "3");
  EXPECT_EQ(Display(PInt64Field(-5000000000)), "-5000000000");
  EXPECT_EQ(Display(PRawDataField(3, "abc")), "<Raw data, size = 3, alloc'd size = 3>");
  EXPECT_EQ(Display(PTimeField(OleDate(2021, 3, 4, 5, 6, 7))), "Mar 4, 2021  05:06:07");

  EXPECT_EQ(Sql(PFloatField(2.5f)), "2.5");
  EXPECT_EQ(Sql(PDoubleField(0.5)), "0.50000000000000000000");
  EXPECT_EQ(Sql(PStringField("it's")), "'it's'");  // no escaping at this level
  EXPECT_EQ(Sql(PIntField(-3)), "-3");

  PSmallStr copy;
  PStringField longText("a text longer than twenty bytes");
  longText.GetTextCopy(copy);
  EXPECT_STREQ(copy.c_str(), "a text longer than twenty bytes");
  EXPECT_FALSE(copy.IsInline());
  PIntField(42).GetTextCopy(copy);
  EXPECT_STREQ(copy.c_str(), "42");
  EXPECT_TRUE(copy.IsInline());
}

TEST(Field, StringStorageInlineAndHeap) {
  PStringField field(std::string(19, 'x').c_str());
  EXPECT_TRUE(field.IsInline());
  field.SetText(std::string(20, 'y').c_str());
  EXPECT_FALSE(field.IsInline());
  EXPECT_EQ(std::string(field.GetText()), std::string(20, 'y'));
  // A shorter text is copied in place.
  field.SetText("short");
  EXPECT_STREQ(field.GetText(), "short");
  field.SetText(std::string(300, 'z').c_str());
  EXPECT_EQ(std::strlen(field.GetText()), 300u);
}

TEST(Field, SetFromText) {
  PIntField i(7);
  EXPECT_TRUE(i.SetFromText("  0x1F "));
  EXPECT_EQ(i.GetLong(), 31);
  EXPECT_TRUE(i.SetFromText("010"));
  EXPECT_EQ(i.GetLong(), 10);
  EXPECT_TRUE(i.SetFromText("-12"));
  EXPECT_EQ(i.GetLong(), -12);
  EXPECT_FALSE(i.SetFromText("12abc"));
  EXPECT_EQ(i.GetLong(), -12);
  EXPECT_TRUE(i.SetFromText(""));
  EXPECT_EQ(i.GetLong(), 0);

  PInt64Field b(1);
  b.SetFromText("9000000000");
  EXPECT_EQ(b.GetBigInt(), 9000000000);
  b.SetFromText("nonsense");
  EXPECT_EQ(b.GetBigInt(), 0);

  PDoubleField d(1.5);
  EXPECT_TRUE(d.SetFromText(""));
  EXPECT_EQ(d.GetDouble(), 1.5);
  EXPECT_FALSE(d.SetFromText("x"));
  EXPECT_TRUE(d.SetFromText(" 2.25"));
  EXPECT_EQ(d.GetDouble(), 2.25);

  PTimeField t(0.0);
  EXPECT_TRUE(t.SetFromText("2021-03-04 05:06:07"));
  EXPECT_DOUBLE_EQ(t.GetDate(), OleDate(2021, 3, 4, 5, 6, 7));
  EXPECT_TRUE(t.SetFromText("2021-3-4"));
  EXPECT_DOUBLE_EQ(t.GetDate(), OleDate(2021, 3, 4, 0, 0, 0));
  const double now = PTimeStamp().oleDate;
  EXPECT_TRUE(t.SetFromText("21-03-04"));
  EXPECT_NEAR(t.GetDate(), now, 1.0 / 24 / 60);  // the current time

  PRawDataField raw(2, "ab");
  EXPECT_TRUE(raw.SetFromText("zz"));
  EXPECT_EQ(raw.GetRawData()[0], 'a');
}

TEST(Field, CompareAndMatches) {
  PIntField five(5);
  EXPECT_TRUE(five.Matches("5", 0, kMatchLessOrEqual));
  EXPECT_FALSE(five.Matches("x", 0, kMatchLessOrEqual));  // comparand 0
  EXPECT_TRUE(five.Matches("x", 0, kMatchGreater));
  EXPECT_FALSE(five.Matches("5", 0, 17));

  PStringField abc("ABC");
  EXPECT_TRUE(abc.Matches("abc", 0.0, kMatchTextEqual));
  EXPECT_FALSE(abc.Matches("abc", 1.0, kMatchTextEqual));
  EXPECT_TRUE(abc.Matches("b", 0.0, kMatchContains));
  EXPECT_TRUE(abc.Matches("AB", 1.0, kMatchBeginsWith));
  EXPECT_TRUE(abc.Matches("x", 1.0, kMatchNotContains));
  EXPECT_FALSE(abc.Matches("ABC", 1.0, kMatchEqual));  // numeric codes do not apply

  PTimeField date(100.5);
  EXPECT_TRUE(date.Matches("ignored", 100.5, kMatchEqual));
  EXPECT_TRUE(date.Matches("ignored", 200.0, kMatchLess));

  EXPECT_EQ(PRawDataField(1, "a").Compare(PRawDataField(1, "b")), 0);
  EXPECT_FALSE(PRawDataField(1, "a").Matches("a", 0, kMatchEqual));
  EXPECT_EQ(PStringField("b").Compare(PStringField("\xE9")), -1);  // unsigned bytes
  EXPECT_EQ(PDoubleField(1).Compare(PDoubleField(0.5)), 1);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(PDoubleField(nan).Compare(PDoubleField(nan)), -1);
}

TEST(Field, EncodeDecodeRoundTrips) {
  PStringField text("  a\tb ");
  const std::string encoded = Encoded(text);
  EXPECT_EQ(encoded, std::string("\x04\x04"
                                 "a\x01"
                                 "b\x04"));
  PStringField back;
  back.DecodeText(encoded.c_str());
  EXPECT_STREQ(back.GetText(), "  a\tb ");
  PStringField lines("x\r\ny");
  EXPECT_EQ(Encoded(lines), std::string("x\x02\x03y"));

  PDoubleField d(1.0);
  EXPECT_EQ(Encoded(d), "000000000000F03F");
  PDoubleField d2(0.0);
  d2.DecodeText("000000000000F03F");
  EXPECT_EQ(d2.GetDouble(), 1.0);
  EXPECT_FALSE(d2.IsModified());  // decoding does not touch the flags
  PFloatField f(-2.5f);
  PFloatField f2(0.0f);
  f2.DecodeText(Encoded(f).c_str());
  EXPECT_EQ(f2.GetSingle(), -2.5f);
  PTimeField t(44000.125);
  PTimeField t2(0.0);
  t2.DecodeText(Encoded(t).c_str());
  EXPECT_EQ(t2.GetDate(), 44000.125);
  PInt64Field i(-77);
  PInt64Field i2(0);
  i2.DecodeText(Encoded(i).c_str());
  EXPECT_EQ(i2.GetBigInt(), -77);
}

TEST(Field, AssignmentCopyAttributesAndClone) {
  CaptureDefaultErrors capture;
  PIntField target(1);
  PStringField source("x");
  static_cast<PField&>(target) = source;
  EXPECT_EQ(target.GetLong(), 1);
  ASSERT_EQ(CapturedMessages().size(), 1u);
  EXPECT_EQ(CapturedMessages()[0], "PIntField::operator=() : Field type mismatch");

  PRawDataField raw(0, nullptr);
  static_cast<PField&>(raw) = PIntField(3);
  EXPECT_EQ(CapturedMessages().back(), "PRawDataField::operator=() : Field type mismatch");

  PDoubleField d(1.0);
  PDoubleField other(2.0);
  other.SetDisplayFormat("%.3f");
  static_cast<PField&>(d) = other;
  EXPECT_EQ(d.GetDouble(), 2.0);
  EXPECT_TRUE(d.IsModified());
  EXPECT_EQ(Display(d), "2.000");

  PStringField attributes("a");
  PStringField assigned("b");
  assigned.SetText("c");
  attributes.CopyAttributes(assigned);
  EXPECT_TRUE(attributes.IsModified());
  EXPECT_TRUE(attributes.IsAssigned());

  // A raw field that knows only its column's length clones that length.
  PRawDataField pending(0, nullptr);
  pending.SetDataSizeOnly(100);
  std::unique_ptr<PField> clone(pending.Clone());
  auto* rawClone = static_cast<PRawDataField*>(clone.get());
  EXPECT_EQ(rawClone->DataSize(), 100u);
  EXPECT_EQ(rawClone->AllocSize(), 0u);
  EXPECT_EQ(clone->FlagsWord(), 0u);
}

TEST(Field, RawDataSetter) {
  PRawDataField raw;
  const unsigned char bytes[] = {0, 255, 39, 92, 0};
  raw.SetRawData(sizeof bytes, bytes);
  EXPECT_TRUE(raw.IsModified());
  EXPECT_EQ(raw.AllocSize(), sizeof bytes);
  EXPECT_EQ(std::memcmp(raw.GetRawData().Data(), bytes, sizeof bytes), 0);
  raw.ClearFlags();
  raw.SetRawData(sizeof bytes, bytes);
  EXPECT_FALSE(raw.IsModified());
  raw.SetRawData(0, nullptr);
  EXPECT_EQ(raw.AllocSize(), 0u);
  EXPECT_TRUE(raw.IsModified());
  for (uint16_t type : {dbLong, dbSingle, dbDouble, dbDate, dbText, dbLongBinary, dbBigInt}) {
    std::unique_ptr<PField> field(NewField(type));
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->Type(), type);
  }
  EXPECT_EQ(NewField(99), nullptr);
}
