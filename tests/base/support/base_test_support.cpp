#include "base/support/base_test_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace fs = std::filesystem;

int BoxCapture::button = platform::kIdOk;

std::vector<ShownBox>& BoxCapture::Shown() {
  static std::vector<ShownBox> shown;
  return shown;
}

BoxCapture::BoxCapture(int answer)
    : previous_(platform::SetMessageBoxHook(
          [](const char* text, const char* caption, uint32_t style) -> int {
            Shown().push_back({text ? text : "", caption ? caption : "", style});
            return button;
          })) {
  Shown().clear();
  button = answer;
}

BoxCapture::~BoxCapture() {
  platform::SetMessageBoxHook(previous_);
}

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  path_ = (fs::path(platform::TempFolder()) /
           ("nvd_base_" + std::to_string(platform::CurrentProcessId()) + "_" +
            std::to_string(counter++)))
              .string();
  fs::remove_all(path_);
  fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string ScratchFolder::In(const std::string& name) const {
  return (fs::path(path_) / name).string();
}

DilatedClock::DilatedClock() : previous_(platform::TimeScale()) {
  platform::SetTimeScale(100);
}

DilatedClock::~DilatedClock() {
  platform::SetTimeScale(previous_);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}
