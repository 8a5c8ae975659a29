// URL splitting on Windows: InternetCrackUrlA with room for every part but
// the scheme text.
#include "platform/url.h"

#include <windows.h>
#include <wininet.h>

namespace platform {

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
  // Length 0: the text is NUL-terminated.
  if (!InternetCrackUrlA(text, 0, flags, &components)) return false;
  // On success each length is that of the part written, without the NUL.
  parts.scheme = components.nScheme;
  parts.host.assign(host, components.dwHostNameLength);
  parts.user.assign(user, components.dwUserNameLength);
  parts.password.assign(password, components.dwPasswordLength);
  parts.path.assign(path, components.dwUrlPathLength);
  parts.extra.assign(extra, components.dwExtraInfoLength);
  parts.port = components.nPort;
  return true;
}

}  // namespace platform
