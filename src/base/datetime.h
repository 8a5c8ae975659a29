// Date and time: the flag-driven date/time formatter, the conversions between
// the Windows time representations (SYSTEMTIME, FILETIME, OLE automation date,
// DOS date/time, milliseconds since 1970) and the time-stamp record that holds
// one instant in all of them.
//
// The conversions are plain calendar arithmetic (proleptic Gregorian calendar);
// only the time-zone rules come from the platform layer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/strings.h"
#include "platform/time.h"

// Format flags of FormatDateTime (combinable).
enum DateTimeFlags : uint32_t {
  kDtDate = 0x0001,            // include the date
  kDtMonthName = 0x0002,       // month as a name instead of a number
  kDtTime = 0x0004,            // include hours and minutes
  kDtSeconds = 0x0008,         // include seconds
  kDtMilliseconds = 0x0010,    // include milliseconds
  kDtTwoDigitYear = 0x0020,    // year mod 100, "%02u"
  kDtNoYear = 0x0040,          // no year
  kDtIsoDate = 0x0080,         // "%04u-%02u-%02u"; overrides kDtMonthName
  kDtDayFirst = 0x0100,        // day before month (Russian month names)
  kDtDayTwoDigits = 0x0200,    // day "%02u"
  kDtFullMonth = 0x0400,       // full month names
  kDtDashToDot = 0x0800,       // replace every "-" by "." at the end
  kDtTimeDash = 0x1000,        // time separator "-" instead of ":"
  kDtDayBlankPadded = 0x2000,  // day "%2u"; wins over kDtDayTwoDigits
  kDtUtcToLocal = 0x4000,      // the given time is UTC: show it as local time
  kDtTenths = 0x8000,          // milliseconds as tenths of a second
};

// The time stamp's default: date, month name, time, seconds
// ("Dec 5, 2026  14:03:27").
inline constexpr uint32_t kDtDefault = 0x000F;

// Room FormatDateTime needs in its buffer (the longest text is far shorter).
inline constexpr size_t kDateTimeTextSize = 64;

// Writes the text of `t` under `flags` into `buffer` (at least
// kDateTimeTextSize characters) and returns the buffer. A month outside 1-12
// prints "?" as its name. The Russian month names (day-before-month forms) are
// emitted in Windows-1251.
char* FormatDateTime(char* buffer, const platform::SystemTime& t, uint32_t flags);
// The same into a new text.
PStr DateTimeText(const platform::SystemTime& t, uint32_t flags);

// Conversions. Each returns false (and leaves the output unchanged) for a value
// outside the target's range or an invalid calendar value.
//
// FILETIME: 100-ns intervals since 1601-01-01 (years 1601-30827).
bool SystemTimeToFileTime(const platform::SystemTime& t, uint64_t& fileTime);
bool FileTimeToSystemTime(uint64_t fileTime, platform::SystemTime& t);
// OLE automation date: days since 1899-12-30, the fraction being the time of
// day; before that day the integer part is negative and the fraction still
// counts forward from midnight (-1.25 is 1899-12-29 06:00). Years 100-9999;
// rounded to the millisecond.
bool SystemTimeToOleDate(const platform::SystemTime& t, double& oleDate);
bool OleDateToSystemTime(double oleDate, platform::SystemTime& t);
// DOS date/time packed as (date << 16) | time: date = (year - 1980) << 9 |
// month << 5 | day, time = hour << 11 | minute << 5 | second / 2. Years
// 1980-2107; the time has a resolution of two seconds.
bool SystemTimeToDosDateTime(const platform::SystemTime& t, uint32_t& dosDateTime);
bool DosDateTimeToSystemTime(uint32_t dosDateTime, platform::SystemTime& t);
// Milliseconds since 1970-01-01: (FILETIME - 116444736000000000) / 10000; 0
// for a FILETIME before 1970.
uint64_t FileTimeToUnixMilliseconds(uint64_t fileTime);
// Whether the fields form a valid calendar date and time of day.
bool IsValidSystemTime(const platform::SystemTime& t);
// Day of the week (0 = Sunday) of a valid date.
uint16_t DayOfWeek(uint32_t year, uint32_t month, uint32_t day);

// One instant in every representation at once. Every constructor fills all
// fields through one routine from the UTC SYSTEMTIME; a value that does not
// convert gives the zero time (FILETIME 0, 1601-01-01 00:00:00 UTC).
class PTimeStamp {
 public:
  // Now (system time).
  PTimeStamp();
  // From a SYSTEMTIME; isUtc false means the input is local time.
  PTimeStamp(const platform::SystemTime& t, bool isUtc);
  // From a packed DOS date/time.
  PTimeStamp(uint32_t dosDateTime, bool isUtc);
  // From an OLE date, taken as UTC.
  explicit PTimeStamp(double oleDate);
  // From a FILETIME.
  static PTimeStamp FromFileTime(uint64_t fileTime, bool isUtc);
  // From a file's last-write time; a file that cannot be opened gives the
  // zero time.
  static PTimeStamp FromFile(const char* path);

  // Re-formats the stored SYSTEMTIMEs with any flags. The text is kept in the
  // record (utcText / localText) until the next call.
  const char* LocalText(uint32_t flags = kDtDefault);
  const char* UtcText(uint32_t flags = kDtDefault);

  char utcText[kDateTimeTextSize] = {};
  char localText[kDateTimeTextSize] = {};
  platform::SystemTime utc{};
  platform::SystemTime local{};
  uint64_t utcFileTime = 0;
  uint64_t localFileTime = 0;
  uint32_t utcDos = 0;  // (DOS date << 16) | DOS time
  uint32_t localDos = 0;
  double oleDate = 0;            // of the UTC time
  uint64_t utcMilliseconds = 0;  // since 1970-01-01
  uint64_t localMilliseconds = 0;

 private:
  void Fill(const platform::SystemTime& utcTime);
  void Clear();
};

// OLE date to text: "2026-12-05" (dateOnly, flags 0x0081) or
// "2026-12-05 14:03:27" (flags 0x008D), runs of blanks collapsed to one and
// leading and trailing blanks removed. An OLE date that does not convert gives
// an empty text.
PStr VariantDateText(double oleDate, bool dateOnly);

// "2026-12-05 14:03:27" or "2026-12-05" (time "-" or ":" separated) to an OLE
// date; 0 when the text does not convert.
double ParseDateTime(const char* text);
