#include "usb/support/harness.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <mutex>
#include <thread>

#include "base/files.h"
#include "base/format.h"
#include "base/log.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace usbtest {

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

int CaptureBox(const char* text, const char* caption, uint32_t /*style*/) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().boxes.push_back(std::string(caption) + ": " + text);
  return platform::kIdOk;
}

std::atomic<uint32_t> g_RootCounter{0};

}  // namespace

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

uint32_t DilatedSince(uint32_t startTick) {
  return platform::TickCount() - startTick;
}

void SimulatorTest::SetUp() {
  platform::SetTimeScale(kTimeScale);
  SetDeviceOutputHooks(CaptureError, CaptureInfo);
  SetPrintHook(CaptureLog);
  platform::SetMessageBoxHook(CaptureBox);
  ClearCapture();
  // A short private root: device paths must fit a socket address.
  root_ = "/tmp/nvu" + std::to_string(platform::CurrentProcessId()) + "_" +
          std::to_string(g_RootCounter++);
  DeleteTree(root_.c_str());
  platform::CreateDirectory(root_.c_str());
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", root_.c_str());
  nvsim::Simulator::Options options;
  options.root = root_;
  options.timeScale = kTimeScale;
  sim_ = std::make_unique<nvsim::Simulator>(options);
  std::string error;
  ASSERT_TRUE(sim_->Start(&error)) << error;
}

void SimulatorTest::TearDown() {
  if (sim_ != nullptr) sim_->Stop();
  sim_.reset();
  DeleteTree(root_.c_str());
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", nullptr);
}

nvsim::Simulator::Id SimulatorTest::AddInstrument(const std::string& name,
                                                  void (*edit)(nvsim::InstrumentConfig&)) {
  nvsim::InstrumentConfig config;
  config.name = name;
  if (edit != nullptr) edit(config);
  return AddInstrument(std::move(config));
}

nvsim::Simulator::Id SimulatorTest::AddInstrument(nvsim::InstrumentConfig config) {
  std::string error;
  const nvsim::Simulator::Id id = sim_->Add(std::move(config), true, &error);
  EXPECT_NE(id, 0u) << error;
  return id;
}

nvsim::Simulator::InstrumentState SimulatorTest::State(nvsim::Simulator::Id id) const {
  auto state = sim_->State(id);
  EXPECT_TRUE(state.has_value());
  return state.value_or(nvsim::Simulator::InstrumentState{});
}

std::string SimulatorTest::ClassFolder() const {
  return root_ + "/{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
}

std::unique_ptr<platform::NamedMutexHolder> HoldKalto() {
  for (int attempt = 0;; ++attempt) {
    auto holder = std::make_unique<platform::NamedMutexHolder>("Kalto");
    if (holder->IsHeld() || attempt == 200) return holder;
    holder.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<uint8_t> CommandFrame(uint32_t code) {
  std::vector<uint8_t> frame = {4, 0, 0, 0};
  for (int i = 0; i < 4; ++i)
    frame.push_back(static_cast<uint8_t>(code >> (8 * i)));
  return frame;
}

nvsim::ScriptStep RawReply(std::vector<uint8_t> bytes, uint32_t parts, uint32_t gapMs) {
  nvsim::ScriptStep step;
  nvsim::Fault raw;
  raw.kind = nvsim::FaultKind::kRaw;
  raw.bytes = std::move(bytes);
  step.faults.push_back(raw);
  if (parts > 1) {
    nvsim::Fault split;
    split.kind = nvsim::FaultKind::kSplit;
    split.value = parts;
    split.gapMs = gapMs;
    step.faults.push_back(split);
  }
  return step;
}

}  // namespace usbtest
