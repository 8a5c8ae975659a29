// What both systems' CrackUrl do once the address is split: the port and
// the decoding of the parts.
#pragma once

#include <cstdint>
#include <string>

#include "platform/url.h"

namespace platform {

// Sets parts.port from the port text written in the address ("" when none:
// the scheme's default port) and, with kUrlDecode in `flags`, decodes %XX
// sequences in each part (a "%" without two hex digits stays as written).
// False when the port text is not a number from 0 to 65535.
bool FinishUrlParts(const std::string& portText, uint32_t flags, UrlParts& parts);

}  // namespace platform
