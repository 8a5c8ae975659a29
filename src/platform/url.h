// Splitting an address of URL form into its parts (InternetCrackUrlA).
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Scheme codes as InternetCrackUrlA reports them.
enum UrlScheme : int {
  kUrlSchemeUnknown = -1,
  kUrlSchemeFtp = 1,
  kUrlSchemeGopher = 2,
  kUrlSchemeHttp = 3,
  kUrlSchemeHttps = 4,
  kUrlSchemeFile = 5,
};

// Decode %XX escape sequences in the parts (ICU_DECODE).
inline constexpr uint32_t kUrlDecode = 0x80000000u;

// Room of each part, the terminating NUL included; a longer part makes the
// split fail.
inline constexpr size_t kUrlPartSize = 256;
inline constexpr size_t kUrlExtraSize = 1024;

struct UrlParts {
  int scheme = kUrlSchemeUnknown;
  std::string host;
  std::string user;
  std::string password;
  std::string path;   // "" when the address has none
  std::string extra;  // "?query#fragment"
  // The port written in the address, else the scheme's default (80 http,
  // 443 https, 21 ftp, 70 gopher), else 0.
  uint16_t port = 0;
};

// "scheme://[user[:password]@]host[:port][/path][?query][#fragment]".
// False when the text has no scheme, a part does not fit or the port is not
// a number from 0 to 65535.
bool CrackUrl(const char* text, uint32_t flags, UrlParts& parts);

}  // namespace platform
