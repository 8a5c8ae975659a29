// Code pages: what is built on each system's conversions and numbers alone.
#include "platform/codepage_common.h"

namespace platform {

bool Recode(const char* text, size_t length, uint32_t from, uint32_t to, std::string& out) {
  out.clear();
  std::u16string wide;
  if (!ToWide(text, length, from, wide)) return false;
  return FromWide(wide.data(), wide.size(), to, out);
}

std::string CodePageName(uint32_t codePage) {
  const uint32_t resolved = ResolveCodePage(codePage);
  if (resolved == kCodePageUtf8) return "UTF-8";
  if (resolved == 0) return UnnumberedCodePageName();
  return std::to_string(resolved);
}

}  // namespace platform
