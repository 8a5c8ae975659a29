// The system's side of the message-box hook.
#pragma once

#include <cstdint>

#include "platform/message_box.h"

namespace platform {

// The default hook: MessageBoxA on Windows, "caption: text" on standard
// error (answering OK) on POSIX.
int SystemMessageBox(const char* text, const char* caption, uint32_t style);

}  // namespace platform
