#include "base/datetime.h"

#include <gtest/gtest.h>

#include <string>

#include "base/files.h"
#include "platform/time.h"

namespace {

using platform::SystemTime;

SystemTime Make(uint16_t y, uint16_t mo, uint16_t d, uint16_t h = 0, uint16_t mi = 0,
                uint16_t s = 0, uint16_t ms = 0) {
  return {y, mo, 0, d, h, mi, s, ms};
}

std::string Text(const SystemTime& t, uint32_t flags) {
  char buffer[kDateTimeTextSize];
  return FormatDateTime(buffer, t, flags);
}

std::string Cp1251(const char* utf8) {
  return To1251(utf8).c_str();
}

const SystemTime kSample = Make(2026, 12, 5, 14, 3, 27, 7);

TEST(FormatDateTime, EveryFlag) {
  const SystemTime may = Make(2026, 5, 1), late = Make(2026, 12, 5, 14, 3, 27, 999);
  const SystemTime longest = Make(65535, 9, 30, 23, 59, 59, 999);
  const SystemTime month13 = Make(2026, 13, 5), month0 = Make(2026, 0, 5);
  const std::string dek = Cp1251("5 Дек 2026"), maya = Cp1251("1 мая 2026");
  // Day before month (0x100) gives the Russian names as Windows-1251 bytes;
  // blank padding (0x2000) wins over zeros; ISO (0x80) overrides the name;
  // the longest text fits.
  const struct {
    const SystemTime& time;
    uint32_t flags;
    std::string expected;
  } cases[] = {{kSample, 0x0003, "Dec 5, 2026"},
               {kSample, 0x0403, "December 5, 2026"},
               {kSample, 0x0203, "Dec 05, 2026"},
               {kSample, 0x2203, "Dec  5, 2026"},
               {kSample, 0x0043, "Dec 5"},
               {kSample, 0x0103, dek},
               {may, 0x0503, maya},
               {month13, 0x0003, "? 5, 2026"},
               {month0, 0x0103, "5 ? 2026"},
               {kSample, 0x0001, "12-05-2026"},
               {kSample, 0x0121, "05-12-26"},
               {kSample, 0x0083, "2026-12-05"},
               {kSample, 0x0881, "2026.12.05"},
               {kSample, 0x0905, "05.12.2026  14:03"},
               {kSample, 0x0004, "14:03"},
               {kSample, 0x001C, "14:03:27:007"},
               {late, 0x801C, "14:03:27:9"},
               {kSample, 0x101C, "14-03-27-007"},
               {kSample, 0x181C, "14.03.27.007"},
               {kSample, 0x000F, "Dec 5, 2026  14:03:27"},
               {kSample, 0x0000, ""},
               {longest, 0x041F, "September 30, 65535  23:59:59:999"}};
  for (const auto& c : cases)
    EXPECT_EQ(Text(c.time, c.flags), c.expected) << std::hex << c.flags;
  EXPECT_EQ(Text(kSample, 0x0103).size(), 10u);  // one byte per letter

  SystemTime local;  // 0x4000: the time is UTC, shown as local time
  ASSERT_TRUE(platform::UtcToLocal(kSample, local));
  EXPECT_EQ(Text(kSample, 0x408D), Text(local, 0x008D));
}

TEST(TimeConversions, FileTimeOleDateAndDosTime) {
  uint64_t ft = 0;
  ASSERT_TRUE(SystemTimeToFileTime(Make(1970, 1, 1), ft));
  EXPECT_EQ(ft, 116444736000000000ull);
  ASSERT_TRUE(SystemTimeToFileTime(Make(2024, 2, 29, 23, 59, 59, 999), ft));
  EXPECT_EQ(ft, 133537247999990000ull);
  SystemTime back;
  ASSERT_TRUE(FileTimeToSystemTime(ft + 9999, back));  // sub-millisecond ticks drop
  EXPECT_EQ(Text(back, 0x009D), "2024-02-29  23:59:59:999");
  EXPECT_EQ(back.dayOfWeek, 4);  // Thursday
  EXPECT_FALSE(SystemTimeToFileTime(Make(1600, 12, 31), ft));
  EXPECT_FALSE(SystemTimeToFileTime(Make(2023, 2, 29), ft));
  EXPECT_FALSE(SystemTimeToFileTime(Make(2026, 1, 1, 24), ft));
  EXPECT_FALSE(FileTimeToSystemTime(0x8000000000000000ull, back));
  EXPECT_EQ(FileTimeToUnixMilliseconds(116444736000000000ull + 12345678), 1234u);
  EXPECT_EQ(FileTimeToUnixMilliseconds(5), 0u);

  double ole = -1;
  ASSERT_TRUE(SystemTimeToOleDate(Make(1899, 12, 30), ole));
  EXPECT_EQ(ole, 0.0);
  // Before 1899-12-30 the fraction still counts forward from midnight.
  ASSERT_TRUE(SystemTimeToOleDate(Make(1899, 12, 29, 6), ole));
  EXPECT_EQ(ole, -1.25);
  ASSERT_TRUE(OleDateToSystemTime(-0.5, back));
  EXPECT_EQ(Text(back, 0x008D), "1899-12-30  12:00:00");
  // A fraction that rounds to a whole day moves to the next midnight.
  ASSERT_TRUE(OleDateToSystemTime(45351.9999999999, back));
  EXPECT_EQ(Text(back, 0x009D), "2024-03-01  00:00:00:000");
  ASSERT_TRUE(SystemTimeToOleDate(Make(2024, 2, 29, 12, 30, 15, 250), ole));
  ASSERT_TRUE(OleDateToSystemTime(ole, back));
  EXPECT_EQ(Text(back, 0x009D), "2024-02-29  12:30:15:250");
  EXPECT_FALSE(SystemTimeToOleDate(Make(99, 12, 31), ole));
  EXPECT_FALSE(SystemTimeToOleDate(Make(10000, 1, 1), ole));
  for (double outside : {3e6, -7e5, 0.0 / 0.0})
    EXPECT_FALSE(OleDateToSystemTime(outside, back)) << outside;

  uint32_t dos = 0;
  ASSERT_TRUE(SystemTimeToDosDateTime(Make(2024, 2, 29, 13, 45, 59), dos));
  EXPECT_EQ(dos, 0x585D6DBDu);  // odd seconds go down to the two-second step
  ASSERT_TRUE(DosDateTimeToSystemTime(dos, back));
  EXPECT_EQ(Text(back, 0x008D), "2024-02-29  13:45:58");
  EXPECT_FALSE(SystemTimeToDosDateTime(Make(1979, 12, 31), dos));
  EXPECT_FALSE(SystemTimeToDosDateTime(Make(2108, 1, 1), dos));
  EXPECT_FALSE(DosDateTimeToSystemTime(0, back));                          // month 0
  EXPECT_FALSE(DosDateTimeToSystemTime(0x00210000u | (24u << 11), back));  // hour 24
}

TEST(PTimeStamp, FillsEveryRepresentation) {
  PTimeStamp stamp(Make(2026, 12, 5, 14, 3, 27, 7), true);
  EXPECT_STREQ(stamp.utcText, "Dec 5, 2026  14:03:27");
  EXPECT_EQ(stamp.utcFileTime, 1796479407007u * 10000 + 116444736000000000ull);
  EXPECT_EQ(stamp.utc.dayOfWeek, 6);
  SystemTime local;
  ASSERT_TRUE(platform::UtcToLocal(stamp.utc, local));
  EXPECT_STREQ(stamp.localText, Text(local, 0x000F).c_str());
  // The same instant from its other representations.
  EXPECT_EQ(PTimeStamp(stamp.oleDate).utcMilliseconds, 1796479407007u);
  EXPECT_EQ(PTimeStamp::FromFileTime(stamp.utcFileTime, true).utcMilliseconds, 1796479407007u);
  EXPECT_EQ(PTimeStamp(stamp.local, false).utcFileTime, stamp.utcFileTime);
  EXPECT_EQ(PTimeStamp(stamp.utcDos, true).utcMilliseconds, 1796479406000u);

  // A file's time; a missing file gives the zero time.
  PTimeStamp missing = PTimeStamp::FromFile("/nonexistent/nvdevices/file.txt");
  EXPECT_EQ(missing.utcFileTime, 0u);
  EXPECT_EQ(missing.utc.year, 1601);
  PTempFile temp;
  const int64_t age = static_cast<int64_t>(PTimeStamp().utcMilliseconds) -
                      static_cast<int64_t>(PTimeStamp::FromFile(temp).utcMilliseconds);
  EXPECT_LT(age < 0 ? -age : age, 60000);
}

TEST(DateTexts, ParseAndVariantTexts) {
  double expected = 0;
  ASSERT_TRUE(SystemTimeToOleDate(Make(2026, 12, 5, 14, 3, 27), expected));
  EXPECT_STREQ(VariantDateText(expected, true), "2026-12-05");
  EXPECT_STREQ(VariantDateText(expected, false), "2026-12-05 14:03:27");
  EXPECT_STREQ(VariantDateText(1e9, false), "");
  for (const char* text :
       {"2026-12-05 14:03:27", "2026-12-05 14-03-27", "  2026-12-05   14:03:27 "})
    EXPECT_EQ(ParseDateTime(text), expected) << text;
  // Two time fields give midnight; leading zeros are decimal.
  ASSERT_TRUE(SystemTimeToOleDate(Make(2026, 12, 5), expected));
  for (const char* text : {"2026-12-05", "2026-12-05 14:03", "2026-012-05"})
    EXPECT_EQ(ParseDateTime(text), expected) << text;
  for (const char* text : {"05.12.2026", "2026-13-05", "2026-02-29", "2026-12-05 25:00:00",
                           "-1-12-05", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(ParseDateTime(text), 0.0) << (text ? text : "(null)");
}

}  // namespace
