#include "protocol/support/harness.h"

#include <atomic>
#include <mutex>

#include "base/files.h"
#include "base/log.h"
#include "base/options.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace prototest {

namespace {

struct Capture {
  std::mutex lock;
  std::string log;
  std::string errors;
};

Capture& Captured() {
  static Capture capture;
  return capture;
}

void CaptureInfo(const char* text) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().log += text != nullptr ? text : "";
}

void CaptureError(const char* text) {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().errors += text != nullptr ? text : "";
  Captured().errors += '\n';
}

// Library log entries (not device lines) are dropped: no log file in tests.
void DropPrint(const char*, va_list) {}

std::atomic<uint32_t> g_RootCounter{0};

}  // namespace

std::string LogText() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().log;
}

std::string ErrorText() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  return Captured().errors;
}

void ClearLog() {
  std::lock_guard<std::mutex> guard(Captured().lock);
  Captured().log.clear();
  Captured().errors.clear();
}

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

void ProtocolTest::SetUp() {
  platform::SetTimeScale(kTimeScale);
  SetDeviceOutputHooks(CaptureError, CaptureInfo);
  SetPrintHook(DropPrint);
  g_TraceLevel = 0;
  g_OptionWord = 0;
  ClearLog();
  root_ = "/tmp/nvp" + std::to_string(platform::CurrentProcessId()) + "_" +
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

void ProtocolTest::TearDown() {
  if (sim_ != nullptr) sim_->Stop();
  sim_.reset();
  DeleteTree(root_.c_str());
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", nullptr);
  g_TraceLevel = 0;
  g_OptionWord = 0;
}

nvsim::Simulator::Id ProtocolTest::AddInstrument(nvsim::InstrumentConfig config) {
  if (config.name.empty()) config.name = "nv" + std::to_string(++nameCounter_);
  std::string error;
  const nvsim::Simulator::Id id = sim_->Add(std::move(config), true, &error);
  EXPECT_NE(id, 0u) << error;
  return id;
}

std::unique_ptr<RealUSBDevice> ProtocolTest::Open(nvsim::Simulator::Id id) {
  auto device = std::make_unique<RealUSBDevice>(sim_->DevicePath(id).c_str());
  EXPECT_TRUE(device->IsOpen()) << LogText();
  ClearLog();
  return device;
}

nvsim::Simulator::InstrumentState ProtocolTest::State(nvsim::Simulator::Id id) const {
  auto state = sim_->State(id);
  EXPECT_TRUE(state.has_value());
  return state.value_or(nvsim::Simulator::InstrumentState{});
}

std::vector<uint32_t> ProtocolTest::Received(nvsim::Simulator::Id id, uint32_t code) const {
  std::vector<uint32_t> words;
  for (const nvsim::TraceEntry& entry : State(id).history)
    if ((entry.commandWord & kReplyCodeMask) == code) words.push_back(entry.commandWord);
  return words;
}

void AppendU32(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

std::vector<uint8_t> ReplyFrame(uint32_t word, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame;
  AppendU32(frame, static_cast<uint32_t>(payload.size() + 4));
  AppendU32(frame, word);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

nvsim::Fault RawReply(uint32_t code, std::vector<uint8_t> bytes) {
  nvsim::Fault fault;
  fault.kind = nvsim::FaultKind::kRaw;
  fault.code = code;
  fault.bytes = std::move(bytes);
  return fault;
}

nvsim::Fault FaultOf(nvsim::FaultKind kind, uint32_t code, uint32_t times) {
  nvsim::Fault fault;
  fault.kind = kind;
  fault.code = code;
  fault.times = times;
  return fault;
}

uint32_t NextWord(const RealUSBDevice& device, uint32_t code) {
  return code | device.CurrentIndex() << kIndexShift;
}

uint32_t DilatedSince(uint32_t startTick) {
  return platform::TickCount() - startTick;
}

}  // namespace prototest
