// The system's side of code-page names.
#pragma once

#include <string>

#include "platform/codepage.h"

namespace platform {

// The name of the ANSI character set when ResolveCodePage gives it no
// number (0): the locale's own name of it on POSIX.
std::string UnnumberedCodePageName();

}  // namespace platform
