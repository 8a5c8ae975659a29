// Code-page conversion on Windows: MultiByteToWideChar and
// WideCharToMultiByte. The code-page numbers of the header are Windows' own
// (0 CP_ACP, 1 CP_OEMCP, 1251, 65001 CP_UTF8), so they are passed as they are.
#include "platform/codepage.h"

#include <windows.h>

#include <algorithm>
#include <climits>

#include "platform/codepage_common.h"

namespace platform {

bool ToWide(const char* text, size_t length, uint32_t codePage, std::u16string& out) {
  out.clear();
  if (length == 0) return true;
  if (text == nullptr || length > INT_MAX) return false;
  // Invalid sequences fail the conversion rather than turning into U+FFFD.
  const int inLength = static_cast<int>(length);
  const int needed =
      MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, inLength, nullptr, 0);
  if (needed <= 0) return false;
  std::u16string buffer(static_cast<size_t>(needed), u'\0');
  const int written = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text, inLength,
                                          reinterpret_cast<wchar_t*>(buffer.data()), needed);
  if (written <= 0) return false;
  buffer.resize(static_cast<size_t>(written));
  out = std::move(buffer);
  return true;
}

bool FromWide(const char16_t* text, size_t length, uint32_t codePage, std::string& out) {
  out.clear();
  if (length == 0) return true;
  if (text == nullptr || length > INT_MAX) return false;
  // No default character of our own: the code page's ('?') stands for what
  // it cannot represent, U+FFFD for broken surrogates in UTF-8.
  const int inLength = static_cast<int>(length);
  const wchar_t* wide = reinterpret_cast<const wchar_t*>(text);
  const int needed = WideCharToMultiByte(codePage, 0, wide, inLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  std::string buffer(static_cast<size_t>(needed), '\0');
  const int written =
      WideCharToMultiByte(codePage, 0, wide, inLength, buffer.data(), needed, nullptr, nullptr);
  if (written <= 0) return false;
  buffer.resize(static_cast<size_t>(written));
  out = std::move(buffer);
  return true;
}

void UpperCaseAnsi(std::string& text) {
  // CharUpperBuffA takes a DWORD length; longer text goes in pieces.
  size_t done = 0;
  while (done < text.size()) {
    const size_t piece = std::min<size_t>(text.size() - done, 0x40000000u);
    CharUpperBuffA(text.data() + done, static_cast<DWORD>(piece));
    done += piece;
  }
}

uint32_t ResolveCodePage(uint32_t codePage) {
  if (codePage == kCodePageAnsi) return GetACP();
  if (codePage == kCodePageOem) return GetOEMCP();
  return codePage;
}

// Every Windows code page has a number: ResolveCodePage never gives 0 here.
std::string UnnumberedCodePageName() {
  return "0";
}

}  // namespace platform
