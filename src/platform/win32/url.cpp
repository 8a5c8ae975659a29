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

#include "platform/url_common.h"

namespace platform {

namespace {

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

  std::string portText;  // stays "" when the address writes no port
  FindPortText(text, portText);
  return FinishUrlParts(portText, flags, parts);
}

}  // namespace platform
