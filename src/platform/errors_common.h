// Error texts shared by the systems' implementations of errors.h.
#pragma once

#include <cstdint>

#include "platform/errors.h"

namespace platform {

// The English text Windows gives for a number the library reports
// (FormatMessage, without the trailing line break); null for other numbers.
// POSIX has no texts of its own for them, and Wine words many differently.
const char* WindowsErrorText(uint32_t code);

}  // namespace platform
