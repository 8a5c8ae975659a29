// The user-message hook. Windows shows MessageBoxA; POSIX has no window, so
// the default hook writes the caption and text to standard error and returns
// IDOK. Tests install their own hook and assert on what was shown.
#pragma once

#include <cstdint>

namespace platform {

enum : uint32_t {
  kMbOk = 0,
  kMbIconHand = 0x10,
  kMbIconQuestion = 0x20,
  kMbIconExclamation = 0x30,
  kMbIconAsterisk = 0x40,
  kMbSystemModal = 0x1000,
  kMbSetForeground = 0x10000,
  kMbTopmost = 0x40000,
};
enum : int { kIdOk = 1, kIdCancel = 2 };

using MessageBoxHook = int (*)(const char* text, const char* caption, uint32_t style);

// Shows a message through the current hook; returns the button pressed.
int ShowMessageBox(const char* text, const char* caption, uint32_t style);
// Replaces the hook (null restores the default); returns the previous one.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Ends the process at once with the exit code (after a fatal message).
[[noreturn]] void ExitProcess(int code);

}  // namespace platform
