#include "protocol/support/harness.h"

#include "base/log.h"
#include "base/options.h"
#include "platform/system.h"

namespace prototest {

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

void ProtocolTest::SetUp() {
  testsupport::CaptureOutput(false);  // no log file in tests
  g_TraceLevel = 0;
  g_OptionWord = 0;
  sim_ = testsupport::StartPrivateSimulator("/tmp/nvp", kTimeScale);
  ASSERT_NE(sim_, nullptr);
  root_ = sim_->Root();
}

void ProtocolTest::TearDown() {
  sim_.reset();
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", nullptr);
  g_TraceLevel = 0;
  g_OptionWord = 0;
}

nvsim::Simulator::Id ProtocolTest::AddInstrument(nvsim::InstrumentConfig config) {
  if (config.name.empty()) config.name = "nv" + std::to_string(++nameCounter_);
  return sim_->AddPlugged(std::move(config));
}

std::unique_ptr<RealUSBDevice> ProtocolTest::Open(nvsim::Simulator::Id id) {
  auto device = std::make_unique<RealUSBDevice>(sim_->DevicePath(id).c_str());
  EXPECT_TRUE(device->IsOpen()) << LogText();
  ClearLog();
  return device;
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

}  // namespace prototest
