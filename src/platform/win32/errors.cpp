// Error numbers on Windows: the thread's last error is the system's, texts
// come from the system's message table (in Windows' wording under Wine).
#include "platform/errors.h"

#include <windows.h>

#include <cerrno>
#include <cstring>

#include "platform/errors_common.h"

namespace platform {

namespace {

// Whether the process runs under Wine (its ntdll exports wine_get_version).
bool IsWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

// Cuts trailing carriage returns and line feeds.
void TrimLineBreaks(std::string& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
    text.pop_back();
}

}  // namespace

uint32_t LastError() {
  return GetLastError();
}

void SetLastError(uint32_t code) {
  ::SetLastError(code);
}

std::string ErrorText(uint32_t code) {
  // Asking for a text must not change the last error that callers report
  // next to it (FormatMessageA sets 317 for an unknown number, the Wine probe
  // 127 on Windows).
  const DWORD saved = GetLastError();
  std::string text;
  // Wine words many of the texts differently ("File not found." for 2), so
  // under Wine Windows' own are given, and the library's messages read as on
  // Windows.
  if (IsWine()) {
    if (const char* known = WindowsErrorText(code); known != nullptr) text = known;
  }
  if (text.empty()) {
    char buffer[1024];
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                       MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    text.assign(buffer, length < sizeof buffer ? length : 0);
    TrimLineBreaks(text);
  }
  ::SetLastError(saved);
  return text;
}

int RuntimeErrno() {
  return errno;
}

std::string RuntimeErrorText(int err) {
  // The Microsoft C runtime keeps strerror's text per thread, so strerror is
  // safe here; it says "Unknown error" itself for numbers it does not know.
  const char* text = std::strerror(err);
  std::string result = text != nullptr ? text : "";
  TrimLineBreaks(result);
  if (result.empty()) return "Unknown error";
  return result;
}

}  // namespace platform
