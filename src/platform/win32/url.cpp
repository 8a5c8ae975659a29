// URL splitting on Windows: InternetCrackUrlA with room for every part but
// the scheme text.
//
// Wine 8's wininet, on which the Windows build is tested, differs from Windows
// in ways that matter to the database address: its InternetCrackUrlA decodes
// nothing for ICU_DECODE, accepts any port text ("99999" wraps, "12x" is 12),
// gives no default port for gopher or for an empty port ("h:/") and keeps the
// brackets of an IPv6 host. So the system splits the address, and the
// promises of url.h are kept here on top of it: the parts are decoded one by
// one after the split (so that "%40" in a password never splits it), the port
// text is checked, a missing port is the scheme's, and a bracketed host is
// given without its brackets.
#include "platform/url.h"

#include <windows.h>
#include <wininet.h>

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

uint16_t DefaultPort(int scheme) {
  switch (scheme) {
    case kUrlSchemeFtp:
      return INTERNET_DEFAULT_FTP_PORT;
    case kUrlSchemeGopher:
      return INTERNET_DEFAULT_GOPHER_PORT;
    case kUrlSchemeHttp:
      return INTERNET_DEFAULT_HTTP_PORT;
    case kUrlSchemeHttps:
      return INTERNET_DEFAULT_HTTPS_PORT;
    default:
      return 0;
  }
}

// The port text written in the address's authority ("scheme://...host:port");
// false when the address writes no port.
bool FindPortText(const char* text, std::string& portText) {
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr || colon[1] != '/' || colon[2] != '/') return false;
  const char* authority = colon + 3;
  const std::string hostPort = [&] {
    const std::string all(authority, std::strcspn(authority, "/?#"));
    const size_t at = all.rfind('@');
    return at == std::string::npos ? all : all.substr(at + 1);
  }();
  size_t hostEnd = 0;
  if (!hostPort.empty() && hostPort[0] == '[') {
    hostEnd = hostPort.find(']');
    if (hostEnd == std::string::npos) return false;
  }
  const size_t split = hostPort.rfind(':');
  if (split == std::string::npos || split < hostEnd) return false;
  portText = hostPort.substr(split + 1);
  return true;
}

}  // namespace

bool CrackUrl(const char* text, uint32_t flags, UrlParts& parts) {
  parts = UrlParts();
  if (text == nullptr) return false;
  char host[kUrlPartSize] = {};
  char user[kUrlPartSize] = {};
  char password[kUrlPartSize] = {};
  char path[kUrlPartSize] = {};
  char extra[kUrlExtraSize] = {};
  URL_COMPONENTSA components{};
  components.dwStructSize = sizeof components;
  components.lpszHostName = host;
  components.dwHostNameLength = sizeof host;
  components.lpszUserName = user;
  components.dwUserNameLength = sizeof user;
  components.lpszPassword = password;
  components.dwPasswordLength = sizeof password;
  components.lpszUrlPath = path;
  components.dwUrlPathLength = sizeof path;
  components.lpszExtraInfo = extra;
  components.dwExtraInfoLength = sizeof extra;
  // Length 0: the text is NUL-terminated. Decoding is done below, per part.
  if (!InternetCrackUrlA(text, 0, flags & ~kUrlDecode, &components)) return false;
  // On success each length is that of the part written, without the NUL.
  parts.scheme = components.nScheme;
  parts.host.assign(host, components.dwHostNameLength);
  parts.user.assign(user, components.dwUserNameLength);
  parts.password.assign(password, components.dwPasswordLength);
  parts.path.assign(path, components.dwUrlPathLength);
  parts.extra.assign(extra, components.dwExtraInfoLength);
  if (parts.host.size() >= 2 && parts.host.front() == '[' && parts.host.back() == ']') {
    parts.host = parts.host.substr(1, parts.host.size() - 2);
  }

  std::string portText;
  if (FindPortText(text, portText) && !portText.empty()) {
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
