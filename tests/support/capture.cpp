#include "support/capture.h"

#include <cstdarg>
#include <mutex>

#include "base/format.h"
#include "base/log.h"
#include "platform/message_box.h"

namespace testsupport {

namespace {

struct CaptureState {
  std::mutex lock;
  std::string info;
  std::string errors;
  std::string log;
  std::vector<std::string> boxes;
};

CaptureState& Captured() {
  static CaptureState state;
  return state;
}

void CaptureInfo(const char* text) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().info += text != nullptr ? text : "";
}

void CaptureError(const char* text) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().errors += text != nullptr ? text : "";
  Captured().errors += '\n';
}

void CaptureLog(const char* format, va_list args) {
  const std::string text = VFormat(format, args);
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().log += text;
}

void DropLog(const char*, va_list) {}

int CaptureBox(const char* text, const char* caption, uint32_t /*style*/) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().boxes.push_back(std::string(caption) + ": " + text);
  return platform::kIdOk;
}

}  // namespace

void CaptureOutput(bool libraryLog) {
  SetDeviceOutputHooks(CaptureError, CaptureInfo);
  SetPrintHook(libraryLog ? CaptureLog : DropLog);
  platform::SetMessageBoxHook(CaptureBox);
  ClearCapture();
}

std::string InfoText() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().info;
}
std::string ErrorText() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().errors;
}
std::string LibraryLog() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().log;
}
std::vector<std::string> Boxes() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().boxes;
}
void ClearCapture() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().info.clear();
  Captured().errors.clear();
  Captured().log.clear();
  Captured().boxes.clear();
}

}  // namespace testsupport
