// URL splitting: the port and decoding rules shared by every system.
#include "platform/url_common.h"

namespace platform {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes %XX sequences; a "%" without two hex digits stays as written.
std::string Decode(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

uint16_t DefaultPort(int scheme) {
  switch (scheme) {
    case kUrlSchemeFtp:
      return 21;
    case kUrlSchemeGopher:
      return 70;
    case kUrlSchemeHttp:
      return 80;
    case kUrlSchemeHttps:
      return 443;
    default:
      return 0;
  }
}

}  // namespace

bool FinishUrlParts(const std::string& portText, uint32_t flags, UrlParts& parts) {
  if (!portText.empty()) {
    uint32_t port = 0;
    for (char c : portText) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<uint32_t>(c - '0');
      if (port > 65535) return false;
    }
    parts.port = static_cast<uint16_t>(port);
  } else {
    parts.port = DefaultPort(parts.scheme);
  }
  if (flags & kUrlDecode) {
    parts.host = Decode(parts.host);
    parts.user = Decode(parts.user);
    parts.password = Decode(parts.password);
    parts.path = Decode(parts.path);
    parts.extra = Decode(parts.extra);
  }
  return true;
}

}  // namespace platform
