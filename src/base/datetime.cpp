// Date/time texts and the conversions between the time representations.

#include "base/datetime.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/numbers.h"
#include "platform/files.h"

namespace {

using platform::SystemTime;

constexpr int64_t kMsPerDay = 86400000;
constexpr int64_t kTicksPerMs = 10000;
// Days from 1601-01-01 to 1970-01-01 and from 1899-12-30 to 1970-01-01.
constexpr int64_t kDays1601To1970 = 134774;
constexpr int64_t kDays1899To1970 = 25569;
constexpr uint64_t kFileTime1970 = 116444736000000000ull;
// FILETIME values above this do not convert (as on Windows).
constexpr uint64_t kMaxFileTime = 0x7FFFFFFFFFFFFFFFull;
// OLE dates of 0100-01-01 and of the end of 9999-12-31.
constexpr double kMinOleDate = -657434.0;
constexpr double kMaxOleDate = 2958466.0;

bool IsLeapYear(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

uint32_t DaysInMonth(int64_t y, uint32_t m) {
  static const uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 0;
  return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (negative before).
int64_t DaysFromCivil(int64_t y, uint32_t m, uint32_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, uint32_t& m, uint32_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<uint32_t>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<uint32_t>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

int64_t MsOfDay(const SystemTime& t) {
  return ((t.hour * 60 + t.minute) * 60 + t.second) * 1000ll + t.milliseconds;
}

// Fills a SYSTEMTIME from days since 1970 and milliseconds of the day.
void FromDaysAndMs(int64_t days, int64_t ms, SystemTime& t) {
  int64_t y;
  uint32_t m, d;
  CivilFromDays(days, y, m, d);
  t.year = static_cast<uint16_t>(y);
  t.month = static_cast<uint16_t>(m);
  t.day = static_cast<uint16_t>(d);
  t.dayOfWeek = static_cast<uint16_t>(((days % 7) + 7 + 4) % 7);  // 1970-01-01: Thursday
  t.hour = static_cast<uint16_t>(ms / 3600000);
  t.minute = static_cast<uint16_t>(ms / 60000 % 60);
  t.second = static_cast<uint16_t>(ms / 1000 % 60);
  t.milliseconds = static_cast<uint16_t>(ms % 1000);
}

// Month names. The day-before-month forms are Russian and are emitted in
// Windows-1251; they are converted once from their UTF-8 spelling here.
const char* MonthName(uint32_t month, bool dayFirst, bool full) {
  static const char* const kShort[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  static const char* const kFull[12] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
  static const char* const kRuShortUtf8[12] = {"Янв", "Фев", "Мар", "Апр", "Май", "Июн",
                                               "Июл", "Авг", "Сен", "Окт", "Ноя", "Дек"};
  static const char* const kRuFullUtf8[12] = {"января",   "февраля", "марта",  "апреля",
                                              "мая",      "июня",    "июля",   "августа",
                                              "сентября", "октября", "ноября", "декабря"};
  struct Russian {
    PStr shortNames[12];
    PStr fullNames[12];
    Russian() {
      for (int i = 0; i < 12; ++i) {
        shortNames[i] = To1251(kRuShortUtf8[i]);
        fullNames[i] = To1251(kRuFullUtf8[i]);
      }
    }
  };
  if (month < 1 || month > 12) return "?";
  if (!dayFirst) return full ? kFull[month - 1] : kShort[month - 1];
  static const Russian russian;
  const PStr& name = full ? russian.fullNames[month - 1] : russian.shortNames[month - 1];
  return name.IsNull() ? "?" : name.c_str();
}

// Appends formatted text to a bounded buffer.
class TextBuilder {
 public:
  TextBuilder(char* buffer, size_t size) : buffer_(buffer), size_(size) { buffer_[0] = 0; }
  void Add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (used_ + 1 >= size_) return;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buffer_ + used_, size_ - used_, format, args);
    va_end(args);
    if (n > 0) used_ = std::min(size_ - 1, used_ + static_cast<size_t>(n));
  }

 private:
  char* buffer_;
  size_t size_;
  size_t used_ = 0;
};

}  // namespace

char* FormatDateTime(char* buffer, const SystemTime& time, uint32_t flags) {
  SystemTime t = time;
  if (flags & kDtUtcToLocal) {
    SystemTime local;
    if (platform::UtcToLocal(time, local)) t = local;
  }
  TextBuilder text(buffer, kDateTimeTextSize);
  const bool dayFirst = (flags & kDtDayFirst) != 0;
  bool dateWritten = false;
  if (flags & kDtDate) {
    dateWritten = true;
    if (flags & kDtIsoDate) {
      text.Add("%04u-%02u-%02u", t.year, t.month, t.day);
    } else if (flags & kDtMonthName) {
      const char* name = MonthName(t.month, dayFirst, (flags & kDtFullMonth) != 0);
      char day[8];
      if (flags & kDtDayBlankPadded)
        std::snprintf(day, sizeof day, "%2u", t.day);
      else if (flags & kDtDayTwoDigits)
        std::snprintf(day, sizeof day, "%02u", t.day);
      else
        std::snprintf(day, sizeof day, "%u", t.day);
      if (dayFirst)
        text.Add("%s %s", day, name);
      else
        text.Add("%s %s", name, day);
      if (!(flags & kDtNoYear)) {
        if (!dayFirst) text.Add(",");
        if (flags & kDtTwoDigitYear)
          text.Add(" %02u", t.year % 100u);
        else
          text.Add(" %u", t.year);
      }
    } else {
      if (dayFirst)
        text.Add("%02u-%02u-", t.day, t.month);
      else
        text.Add("%02u-%02u-", t.month, t.day);
      if (!(flags & kDtNoYear)) {
        if (flags & kDtTwoDigitYear)
          text.Add("%02u", t.year % 100u);
        else
          text.Add("%u", t.year);
      }
    }
  }
  if (flags & kDtTime) {
    const char separator = (flags & kDtTimeDash) ? '-' : ':';
    text.Add("%s%02u%c%02u", dateWritten ? "  " : "", t.hour, separator, t.minute);
    if (flags & kDtSeconds) text.Add("%c%02u", separator, t.second);
    if (flags & kDtMilliseconds) {
      if (flags & kDtTenths)
        text.Add("%c%u", separator, t.milliseconds / 100u);
      else
        text.Add("%c%03u", separator, t.milliseconds);
    }
  }
  if (flags & kDtDashToDot) {
    for (char* p = buffer; *p; ++p)
      if (*p == '-') *p = '.';
  }
  return buffer;
}

PStr DateTimeText(const SystemTime& t, uint32_t flags) {
  char buffer[kDateTimeTextSize];
  return PStr(FormatDateTime(buffer, t, flags));
}

bool IsValidSystemTime(const SystemTime& t) {
  return t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= DaysInMonth(t.year, t.month) &&
         t.hour < 24 && t.minute < 60 && t.second < 60 && t.milliseconds < 1000;
}

uint16_t DayOfWeek(uint32_t year, uint32_t month, uint32_t day) {
  const int64_t days = DaysFromCivil(year, month, day);
  return static_cast<uint16_t>(((days % 7) + 7 + 4) % 7);
}

bool SystemTimeToFileTime(const SystemTime& t, uint64_t& fileTime) {
  if (!IsValidSystemTime(t) || t.year < 1601 || t.year > 30827) return false;
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDays1601To1970;
  fileTime = static_cast<uint64_t>(days * kMsPerDay + MsOfDay(t)) * kTicksPerMs;
  return true;
}

bool FileTimeToSystemTime(uint64_t fileTime, SystemTime& t) {
  if (fileTime > kMaxFileTime) return false;
  const uint64_t ms = fileTime / kTicksPerMs;
  SystemTime result;
  FromDaysAndMs(static_cast<int64_t>(ms / kMsPerDay) - kDays1601To1970,
                static_cast<int64_t>(ms % kMsPerDay), result);
  t = result;
  return true;
}

bool SystemTimeToOleDate(const SystemTime& t, double& oleDate) {
  if (!IsValidSystemTime(t) || t.year < 100 || t.year > 9999) return false;
  const int64_t days = DaysFromCivil(t.year, t.month, t.day) + kDays1899To1970;
  const double fraction = static_cast<double>(MsOfDay(t)) / kMsPerDay;
  // Before 1899-12-30 the integer part counts backwards while the fraction
  // still counts forward from midnight.
  oleDate = days >= 0 ? days + fraction : days - fraction;
  return true;
}

bool OleDateToSystemTime(double oleDate, SystemTime& t) {
  if (!std::isfinite(oleDate) || oleDate <= kMinOleDate - 1.0 || oleDate >= kMaxOleDate)
    return false;
  int64_t days = static_cast<int64_t>(std::trunc(oleDate));
  int64_t ms = std::llround(std::fabs(oleDate - static_cast<double>(days)) * kMsPerDay);
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    ++days;
  }
  SystemTime result;
  FromDaysAndMs(days - kDays1899To1970, ms, result);
  if (result.year < 100 || result.year > 9999) return false;
  t = result;
  return true;
}

bool SystemTimeToDosDateTime(const SystemTime& t, uint32_t& dosDateTime) {
  if (!IsValidSystemTime(t) || t.year < 1980 || t.year > 2107) return false;
  const uint32_t date = (uint32_t(t.year - 1980) << 9) | (uint32_t(t.month) << 5) | t.day;
  const uint32_t time = (uint32_t(t.hour) << 11) | (uint32_t(t.minute) << 5) | (t.second / 2u);
  dosDateTime = (date << 16) | time;
  return true;
}

bool DosDateTimeToSystemTime(uint32_t dosDateTime, SystemTime& t) {
  const uint32_t date = dosDateTime >> 16;
  const uint32_t time = dosDateTime & 0xFFFF;
  SystemTime result;
  result.year = static_cast<uint16_t>(1980 + (date >> 9));
  result.month = static_cast<uint16_t>((date >> 5) & 0x0F);
  result.day = static_cast<uint16_t>(date & 0x1F);
  result.hour = static_cast<uint16_t>(time >> 11);
  result.minute = static_cast<uint16_t>((time >> 5) & 0x3F);
  result.second = static_cast<uint16_t>((time & 0x1F) * 2);
  if (!IsValidSystemTime(result)) return false;
  result.dayOfWeek = DayOfWeek(result.year, result.month, result.day);
  t = result;
  return true;
}

uint64_t FileTimeToUnixMilliseconds(uint64_t fileTime) {
  return fileTime < kFileTime1970 ? 0 : (fileTime - kFileTime1970) / kTicksPerMs;
}

// ---------------------------------------------------------------------------
// PTimeStamp

PTimeStamp::PTimeStamp() {
  Fill(platform::NowUtc());
}

PTimeStamp::PTimeStamp(const SystemTime& t, bool isUtc) {
  SystemTime utcTime;
  if (isUtc) {
    Fill(t);
  } else if (IsValidSystemTime(t) && platform::LocalToUtc(t, utcTime)) {
    Fill(utcTime);
  } else {
    Clear();
  }
}

PTimeStamp::PTimeStamp(uint32_t dosDateTime, bool isUtc) {
  SystemTime t;
  if (DosDateTimeToSystemTime(dosDateTime, t)) {
    *this = PTimeStamp(t, isUtc);
  } else {
    Clear();
  }
}

PTimeStamp::PTimeStamp(double ole) {
  SystemTime t;
  if (OleDateToSystemTime(ole, t))
    Fill(t);
  else
    Clear();
}

PTimeStamp PTimeStamp::FromFileTime(uint64_t fileTime, bool isUtc) {
  SystemTime t;
  if (!FileTimeToSystemTime(fileTime, t)) t = SystemTime{};
  return PTimeStamp(t, isUtc);
}

PTimeStamp PTimeStamp::FromFile(const char* path) {
  uint64_t fileTime = 0;
  if (!path || !platform::LastWriteTime(path, fileTime)) fileTime = 0;
  return FromFileTime(fileTime, true);
}

void PTimeStamp::Clear() {
  SystemTime zero;
  FileTimeToSystemTime(0, zero);
  Fill(zero);
}

void PTimeStamp::Fill(const SystemTime& utcTime) {
  utc = utcTime;
  if (!SystemTimeToFileTime(utc, utcFileTime)) {
    // Not a valid instant: the zero time.
    utcFileTime = 0;
    FileTimeToSystemTime(0, utc);
  }
  utc.dayOfWeek = DayOfWeek(utc.year, utc.month, utc.day);
  if (!platform::UtcToLocal(utc, local)) local = utc;
  if (!SystemTimeToFileTime(local, localFileTime)) localFileTime = utcFileTime;
  if (!SystemTimeToDosDateTime(utc, utcDos)) utcDos = 0;
  if (!SystemTimeToDosDateTime(local, localDos)) localDos = 0;
  if (!SystemTimeToOleDate(utc, oleDate)) oleDate = 0;
  utcMilliseconds = FileTimeToUnixMilliseconds(utcFileTime);
  localMilliseconds = FileTimeToUnixMilliseconds(localFileTime);
  FormatDateTime(utcText, utc, kDtDefault);
  FormatDateTime(localText, local, kDtDefault);
}

const char* PTimeStamp::LocalText(uint32_t flags) {
  // The stored local time is already local: never convert it again.
  return FormatDateTime(localText, local, flags & ~uint32_t{kDtUtcToLocal});
}

const char* PTimeStamp::UtcText(uint32_t flags) {
  return FormatDateTime(utcText, utc, flags);
}

// ---------------------------------------------------------------------------
// OLE date texts

PStr VariantDateText(double oleDate, bool dateOnly) {
  SystemTime t;
  if (!OleDateToSystemTime(oleDate, t)) return PStr("");
  char buffer[kDateTimeTextSize];
  FormatDateTime(buffer, t, dateOnly ? 0x0081 : 0x008D);
  // Collapse runs of blanks, drop leading and trailing ones.
  std::string out;
  for (const char* p = buffer; *p; ++p) {
    if (*p == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += *p;
  }
  while (!out.empty() && out.back() == ' ')
    out.pop_back();
  return PStr(out.c_str());
}

namespace {

std::vector<std::string> SplitText(const std::string& text, const char* delimiters,
                                   bool skipEmpty) {
  std::vector<std::string> fields;
  std::string field;
  for (char c : text) {
    if (std::strchr(delimiters, c)) {
      if (!skipEmpty || !field.empty()) fields.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (!skipEmpty || !field.empty()) fields.push_back(field);
  return fields;
}

bool ToField(const std::string& text, uint16_t& field) {
  const int32_t value = TextToInt(text.c_str());
  if (value < 0 || value > 0xFFFF) return false;
  field = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

double ParseDateTime(const char* text) {
  if (!text) return 0;
  const std::vector<std::string> fields = SplitText(text, " ", true);
  if (fields.empty()) return 0;
  SystemTime t;
  const std::vector<std::string> date = SplitText(fields[0], "-", false);
  if (date.size() == 3 &&
      !(ToField(date[0], t.year) && ToField(date[1], t.month) && ToField(date[2], t.day)))
    return 0;
  if (fields.size() > 1) {
    const std::vector<std::string> time = SplitText(fields[1], ":-", false);
    if (time.size() == 3 &&
        !(ToField(time[0], t.hour) && ToField(time[1], t.minute) && ToField(time[2], t.second)))
      return 0;
  }
  double oleDate = 0;
  return SystemTimeToOleDate(t, oleDate) ? oleDate : 0;
}
