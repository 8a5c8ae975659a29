// The message-box hook, the same on every system; the default hook is the
// system's (SystemMessageBox).
#include <atomic>

#include "platform/message_box_common.h"

namespace platform {

namespace {

std::atomic<MessageBoxHook>& Hook() {
  static std::atomic<MessageBoxHook> hook{&SystemMessageBox};
  return hook;
}

}  // namespace

int ShowMessageBox(const char* text, const char* caption, uint32_t style) {
  return Hook().load()(text, caption, style);
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  return Hook().exchange(hook != nullptr ? hook : &SystemMessageBox);
}

}  // namespace platform
