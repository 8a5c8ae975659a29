// The message-box hook on Windows: the default hook shows MessageBoxA without
// an owner window; tests install their own.
#include "platform/message_box.h"

#include <windows.h>

#include <cstdio>

#include "platform/message_box_common.h"

namespace platform {

int SystemMessageBox(const char* text, const char* caption, uint32_t style) {
  return MessageBoxA(nullptr, text != nullptr ? text : "", caption, style);
}

void ExitProcess(int code) {
  // The C runtime's buffered output is written first; the process then ends
  // as Windows ends it (exit code -1 is 0xFFFFFFFF).
  std::fflush(nullptr);
  ::ExitProcess(static_cast<UINT>(code));
}

}  // namespace platform
