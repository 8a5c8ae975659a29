// Code-page conversion (MultiByteToWideChar / WideCharToMultiByte).
//
// The "ANSI" code page is the locale's: on Windows the system ANSI code page,
// on POSIX the locale's character set (UTF-8 on a modern system), so ANSI and
// UTF-8 convert as the identity there. Windows-1251 is Windows-1251 on every
// system. POSIX has no OEM code page of its own: kCodePageOem is CP866 when
// the ANSI code page is 1251 (as on a Russian Windows), else the ANSI one. The
// C/POSIX locale's ASCII counts as UTF-8 there, its superset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

enum CodePage : uint32_t {
  kCodePageAnsi = 0,  // CP_ACP
  kCodePageOem = 1,   // CP_OEMCP
  kCodePage1251 = 1251,
  kCodePageUtf8 = 65001,
};

// Narrow text to UTF-16; false when the text is not valid in that code page.
bool ToWide(const char* text, size_t length, uint32_t codePage, std::u16string& out);
// UTF-16 to narrow text; characters without a representation become '?'.
bool FromWide(const char16_t* text, size_t length, uint32_t codePage, std::string& out);
// Both steps at once.
bool Recode(const char* text, size_t length, uint32_t from, uint32_t to, std::string& out);

// Upper-cases narrow text in the ANSI code page, in place, as CharUpperBuffA
// does: letters whose capital the code page holds become that capital, every
// other byte stays. On Windows CharUpperBuffA itself. On POSIX the ANSI code
// page is the locale's: a single-byte one is upper-cased byte by byte; in a
// UTF-8 locale valid UTF-8 text is upper-cased by character (ASCII, the Latin
// letters of U+00C0-U+00FF and Cyrillic), and text that is not valid UTF-8 is
// taken as Windows-1251, the 8-bit text of the library's own messages.
void UpperCaseAnsi(std::string& text);

// The effective number of a code page (kCodePageAnsi resolves to the ANSI code
// page, 65001 for UTF-8 locales) and its name ("UTF-8", "1251").
uint32_t ResolveCodePage(uint32_t codePage);
std::string CodePageName(uint32_t codePage);

}  // namespace platform
