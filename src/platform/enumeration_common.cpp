// Device enumeration: the GUID helpers every system shares.
#include <cstring>

#include "platform/enumeration.h"

namespace platform {

namespace {

char HexDigit(unsigned value) {
  return "0123456789ABCDEF"[value & 15];
}

void AppendHex(std::string& text, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i)
    text += HexDigit(static_cast<unsigned>(value >> (i * 4)));
}

}  // namespace

bool operator==(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

std::string GuidRegistryText(const Guid& guid) {
  std::string text = "{";
  AppendHex(text, guid.data1, 8);
  text += '-';
  AppendHex(text, guid.data2, 4);
  text += '-';
  AppendHex(text, guid.data3, 4);
  text += '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += '-';
    AppendHex(text, guid.data4[i], 2);
  }
  text += '}';
  return text;
}

}  // namespace platform
