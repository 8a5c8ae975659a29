// URL splitting: a plain parser with the results of InternetCrackUrlA.
#include "platform/url.h"

#include <strings.h>
#include <cctype>
#include <cstring>

#include "platform/url_common.h"

namespace platform {

namespace {

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
  if (!FinishUrlParts(portText, flags, parts)) return false;
  if (parts.host.size() >= kUrlPartSize || parts.user.size() >= kUrlPartSize ||
      parts.password.size() >= kUrlPartSize || parts.path.size() >= kUrlPartSize ||
      parts.extra.size() >= kUrlExtraSize)
    return false;
  return true;
}

}  // namespace platform
