// The message-box hook on POSIX: no window system is assumed, so the default
// hook writes "caption: text" to standard error and answers OK.
#include "platform/message_box.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace platform {

namespace {

int DefaultMessageBox(const char* text, const char* caption, uint32_t /*style*/) {
  std::fprintf(stderr, "%s: %s\n", caption != nullptr ? caption : "", text != nullptr ? text : "");
  std::fflush(stderr);
  return kIdOk;
}

std::atomic<MessageBoxHook>& Hook() {
  static std::atomic<MessageBoxHook> hook{&DefaultMessageBox};
  return hook;
}

}  // namespace

int ShowMessageBox(const char* text, const char* caption, uint32_t style) {
  return Hook().load()(text, caption, style);
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  return Hook().exchange(hook != nullptr ? hook : &DefaultMessageBox);
}

void ExitProcess(int code) {
  std::fflush(nullptr);
  _exit(code);  // -1 gives the exit status 255
}

}  // namespace platform
