// Code-page conversion on POSIX through iconv.
//
// Code pages are named to iconv as "UTF-8", "CP1251", "CP866" ... The ANSI
// code page is the character set of the locale the environment selects
// (LC_ALL / LC_CTYPE / LANG, read without changing the process's own locale).
// The C/POSIX locale's ASCII is taken as UTF-8, its superset, so that
// non-ASCII text still converts. There is no separate OEM code page on POSIX:
// it is CP866 when the ANSI code page is 1251 (as on a Russian Windows) and
// the ANSI code page otherwise.
#include "platform/codepage.h"

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/codepage_common.h"

namespace platform {

namespace {

struct KnownCodePage {
  uint32_t number;
  const char* iconvName;
};

constexpr KnownCodePage kKnownCodePages[] = {
    {65001, "UTF-8"},      {1250, "CP1250"},      {1251, "CP1251"},       {1252, "CP1252"},
    {1253, "CP1253"},      {1254, "CP1254"},      {1255, "CP1255"},       {1256, "CP1256"},
    {1257, "CP1257"},      {1258, "CP1258"},      {866, "CP866"},         {437, "CP437"},
    {850, "CP850"},        {20866, "KOI8-R"},     {21866, "KOI8-U"},      {28591, "ISO-8859-1"},
    {28592, "ISO-8859-2"}, {28595, "ISO-8859-5"}, {28605, "ISO-8859-15"}, {932, "SHIFT_JIS"},
    {936, "GBK"},          {949, "CP949"},        {950, "BIG5"},          {54936, "GB18030"},
};

bool SameName(std::string_view a, std::string_view b) {
  // Compare ignoring case and the punctuation that varies between spellings
  // ("UTF-8" / "utf8", "ISO-8859-5" / "ISO8859-5").
  auto next = [](std::string_view s, size_t& i) -> int {
    while (i < s.size() && (s[i] == '-' || s[i] == '_'))
      ++i;
    if (i >= s.size()) return -1;
    const char c = s[i++];
    return (c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c;
  };
  size_t i = 0, j = 0;
  for (;;) {
    const int x = next(a, i);
    const int y = next(b, j);
    if (x != y) return false;
    if (x < 0) return true;
  }
}

struct AnsiCodePage {
  std::string codeset;    // the locale's own name of its character set
  std::string iconvName;  // what conversions use
  uint32_t number = 65001;
};

const AnsiCodePage& Ansi() {
  static const AnsiCodePage ansi = [] {
    AnsiCodePage result;
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    const char* codeset = nullptr;
    if (locale != static_cast<locale_t>(nullptr)) {
      codeset = nl_langinfo_l(CODESET, locale);
      if (codeset != nullptr) result.codeset = codeset;
      freelocale(locale);
    }
    if (result.codeset.empty()) result.codeset = "ANSI_X3.4-1968";
    if (SameName(result.codeset, "ANSI_X3.4-1968") || SameName(result.codeset, "ASCII")) {
      result.iconvName = "UTF-8";
      result.number = 65001;
      return result;
    }
    result.iconvName = result.codeset;
    result.number = 0;  // a character set without a code-page number
    for (const auto& known : kKnownCodePages) {
      if (SameName(known.iconvName, result.codeset) ||
          (known.number == 1251 && SameName(result.codeset, "WINDOWS-1251")) ||
          (known.number == 866 && SameName(result.codeset, "IBM866"))) {
        result.number = known.number;
        result.iconvName = known.iconvName;
        break;
      }
    }
    return result;
  }();
  return ansi;
}

// The iconv name of a code page; empty when unknown.
std::string IconvName(uint32_t codePage) {
  if (codePage == kCodePageAnsi) return Ansi().iconvName;
  if (codePage == kCodePageOem) {
    return Ansi().number == 1251 ? std::string("CP866") : Ansi().iconvName;
  }
  for (const auto& known : kKnownCodePages) {
    if (known.number == codePage) return known.iconvName;
  }
  return "CP" + std::to_string(codePage);
}

const char* Utf16Name() {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  return "UTF-16BE";
#else
  return "UTF-16LE";
#endif
}

class Converter {
 public:
  Converter(const std::string& to, const char* from) : handle_(iconv_open(to.c_str(), from)) {}
  ~Converter() {
    if (IsValid()) iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool IsValid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Handle() const { return handle_; }

 private:
  iconv_t handle_;
};

}  // namespace

bool ToWide(const char* text, size_t length, uint32_t codePage, std::u16string& out) {
  out.clear();
  if (length == 0) return true;
  if (text == nullptr) return false;
  const std::string from = IconvName(codePage);
  Converter converter(Utf16Name(), from.c_str());
  if (!converter.IsValid()) return false;
  // At most one UTF-16 unit per input byte, plus room for a final pair.
  std::u16string buffer(length + 2, u'\0');
  char* in = const_cast<char*>(text);
  size_t inLeft = length;
  char* outPtr = reinterpret_cast<char*>(buffer.data());
  size_t outLeft = buffer.size() * sizeof(char16_t);
  if (iconv(converter.Handle(), &in, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
    return false;  // invalid or incomplete sequence
  }
  buffer.resize(buffer.size() - outLeft / sizeof(char16_t));
  out = std::move(buffer);
  return true;
}

bool FromWide(const char16_t* text, size_t length, uint32_t codePage, std::string& out) {
  out.clear();
  if (length == 0) return true;
  if (text == nullptr) return false;
  const std::string to = IconvName(codePage);
  Converter converter(to, Utf16Name());
  if (!converter.IsValid()) return false;
  // Unrepresentable characters (and broken surrogates) become '?', or U+FFFD
  // in UTF-8, as Windows writes them.
  const char* replacement = SameName(to, "UTF-8") ? "\xEF\xBF\xBD" : "?";
  std::string result;
  result.reserve(length * 2);
  char chunk[1024];
  char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text));
  size_t inLeft = length * sizeof(char16_t);
  while (inLeft > 0) {
    char* outPtr = chunk;
    size_t outLeft = sizeof chunk;
    const size_t rc = iconv(converter.Handle(), &in, &inLeft, &outPtr, &outLeft);
    result.append(chunk, sizeof chunk - outLeft);
    if (rc != static_cast<size_t>(-1)) continue;
    if (errno == E2BIG) continue;
    if (errno != EILSEQ && errno != EINVAL) return false;
    // Skip the offending character: a whole surrogate pair when it is one.
    size_t skip = sizeof(char16_t);
    char16_t unit = 0;
    std::memcpy(&unit, in, sizeof unit);
    if (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 2 * sizeof(char16_t)) {
      char16_t low = 0;
      std::memcpy(&low, in + sizeof(char16_t), sizeof low);
      if (low >= 0xDC00 && low <= 0xDFFF) skip = 2 * sizeof(char16_t);
    }
    if (skip > inLeft) skip = inLeft;
    in += skip;
    inLeft -= skip;
    result += replacement;
    iconv(converter.Handle(), nullptr, nullptr, nullptr, nullptr);  // reset the shift state
  }
  // Flush any shift state of stateful targets.
  char* outPtr = chunk;
  size_t outLeft = sizeof chunk;
  iconv(converter.Handle(), nullptr, nullptr, &outPtr, &outLeft);
  result.append(chunk, sizeof chunk - outLeft);
  out = std::move(result);
  return true;
}

namespace {

// The capital of a character among those UpperCaseAnsi knows; the character
// itself otherwise.
char16_t UpperOf(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;                                           // y with diaeresis
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);  // Cyrillic a to ya
  if (c >= 0x450 && c <= 0x45F)
    return static_cast<char16_t>(c - 0x50);  // Cyrillic ie grave to dzhe
  if (c == 0x491) return 0x490;              // Cyrillic ghe with upturn
  return c;
}

// Byte by byte through a single-byte code page; a capital the code page
// cannot hold leaves the byte as it was.
void UpperCaseBytes(std::string& text, uint32_t codePage) {
  std::u16string wide;
  std::string narrow;
  for (char& byte : text) {
    if (static_cast<unsigned char>(byte) < 0x80) {
      if (byte >= 'a' && byte <= 'z') byte = static_cast<char>(byte - 0x20);
      continue;
    }
    if (!ToWide(&byte, 1, codePage, wide) || wide.size() != 1) continue;
    const char16_t upper = UpperOf(wide[0]);
    if (upper == wide[0]) continue;
    if (FromWide(&upper, 1, codePage, narrow) && narrow.size() == 1 && narrow[0] != '?')
      byte = narrow[0];
  }
}

}  // namespace

void UpperCaseAnsi(std::string& text) {
  const uint32_t ansi = ResolveCodePage(kCodePageAnsi);
  if (ansi != kCodePageUtf8) {
    UpperCaseBytes(text, ansi);
    return;
  }
  std::u16string wide;
  if (!ToWide(text.data(), text.size(), kCodePageUtf8, wide)) {
    UpperCaseBytes(text, kCodePage1251);
    return;
  }
  for (char16_t& c : wide)
    c = UpperOf(c);
  std::string upper;
  if (FromWide(wide.data(), wide.size(), kCodePageUtf8, upper)) text = std::move(upper);
}

uint32_t ResolveCodePage(uint32_t codePage) {
  if (codePage == kCodePageAnsi) return Ansi().number;
  if (codePage == kCodePageOem) return Ansi().number == 1251 ? 866u : Ansi().number;
  return codePage;
}

std::string UnnumberedCodePageName() {
  return Ansi().codeset;  // a locale character set without a number
}

}  // namespace platform
