// The message-box hook on POSIX: no window system is assumed, so the default
// hook writes "caption: text" to standard error and answers OK.
#include "platform/message_box.h"

#include <unistd.h>

#include <cstdio>

#include "platform/message_box_common.h"

namespace platform {

int SystemMessageBox(const char* text, const char* caption, uint32_t /*style*/) {
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stderr);
  return kIdOk;
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  _exit(code);  // -1 gives the exit status 255
}

}  // namespace platform
