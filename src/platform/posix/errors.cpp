// Error numbers on POSIX: a thread-local last error, and the Windows texts of
// the numbers the library uses (errors_common.cpp).
#include "platform/errors.h"

#include <cerrno>
#include <cstring>

#include "platform/errors_common.h"

namespace platform {

namespace {

thread_local uint32_t tLastError = 0;

}  // namespace

uint32_t LastError() {
  return tLastError;
}

void SetLastError(uint32_t code) {
  tLastError = code;
}

std::string ErrorText(uint32_t code) {
  const char* text = WindowsErrorText(code);
  return text != nullptr ? text : "";
}

int RuntimeErrno() {
  return errno;
}

std::string RuntimeErrorText(int err) {
  // strerror is not thread-safe; the GNU strerror_r returns the text pointer.
  char buffer[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* text = strerror_r(err, buffer, sizeof buffer);
#else
  const char* text = strerror_r(err, buffer, sizeof buffer) == 0 ? buffer : nullptr;
#endif
  if (text == nullptr || *text == '\0') return "Unknown error";
  return text;
}

}  // namespace platform
