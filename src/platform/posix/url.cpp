// URL splitting: a plain parser with the results of InternetCrackUrlA.
#include "platform/url.h"

#include <strings.h>
#include <cctype>
#include <cstring>

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

int SchemeCode(const std::string& scheme) {
  static const struct {
    const char* name;
    int code;
  } kSchemes[] = {{"ftp", kUrlSchemeFtp},
                  {"gopher", kUrlSchemeGopher},
                  {"http", kUrlSchemeHttp},
                  {"https", kUrlSchemeHttps},
                  {"file", kUrlSchemeFile}};
  for (const auto& s : kSchemes)
    if (strcasecmp(scheme.c_str(), s.name) == 0) return s.code;
  return kUrlSchemeUnknown;
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

bool CrackUrl(const char* text, uint32_t flags, UrlParts& parts) {
  parts = UrlParts();
  if (text == nullptr) return false;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon == text) return false;
  const std::string scheme(text, static_cast<size_t>(colon - text));
  for (char c : scheme)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'))
      return false;
  parts.scheme = SchemeCode(scheme);
  const char* p = colon + 1;
  if (p[0] == '/' && p[1] == '/') p += 2;
  // The authority ends at the first "/", "?" or "#".
  const size_t authorityLength = std::strcspn(p, "/?#");
  const std::string authority(p, authorityLength);
  const char* rest = p + authorityLength;
  const size_t pathLength = std::strcspn(rest, "?#");
  parts.path.assign(rest, pathLength);
  parts.extra = rest + pathLength;

  std::string hostPort = authority;
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    const std::string userInfo = authority.substr(0, at);
    hostPort = authority.substr(at + 1);
    const size_t split = userInfo.find(':');
    parts.user = userInfo.substr(0, split);
    if (split != std::string::npos) parts.password = userInfo.substr(split + 1);
  }
  std::string portText;
  if (!hostPort.empty() && hostPort[0] == '[') {
    const size_t close = hostPort.find(']');
    if (close == std::string::npos) return false;
    parts.host = hostPort.substr(1, close - 1);
    if (close + 1 < hostPort.size()) {
      if (hostPort[close + 1] != ':') return false;
      portText = hostPort.substr(close + 2);
    }
  } else {
    const size_t split = hostPort.rfind(':');
    parts.host = hostPort.substr(0, split);
    if (split != std::string::npos) portText = hostPort.substr(split + 1);
  }
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
  if (parts.host.size() >= kUrlPartSize || parts.user.size() >= kUrlPartSize ||
      parts.password.size() >= kUrlPartSize || parts.path.size() >= kUrlPartSize ||
      parts.extra.size() >= kUrlExtraSize)
    return false;
  return true;
}

}  // namespace platform
