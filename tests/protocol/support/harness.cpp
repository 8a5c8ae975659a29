#include "protocol/support/harness.h"

#include "base/log.h"
#include "base/options.h"

namespace prototest {

// Length word, reply word, payload.
static std::vector<uint8_t> ReplyFrame(uint32_t word, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame;
  AppendU32(frame, static_cast<uint32_t>(payload.size() + 4));
  AppendU32(frame, word);
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

void ProtocolTest::SetUp() {
  testsupport::SimulatorTest::SetUp();
  g_TraceLevel = 0;
  g_OptionWord = 0;
}

std::unique_ptr<RealUSBDevice> ProtocolTest::Start(nvsim::InstrumentConfig config) {
  id_ = AddInstrument(std::move(config));
  auto device = std::make_unique<RealUSBDevice>(Path(id_).c_str());
  EXPECT_TRUE(device->IsOpen()) << LogText();
  ClearLog();
  return device;
}

std::unique_ptr<RealUSBDevice> ProtocolTest::StartFaulty(FaultKind kind, uint32_t code,
                                                         uint32_t times) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(kind, code, times));
  return Start(std::move(config));
}

std::vector<uint32_t> ProtocolTest::Received(uint32_t code) const {
  std::vector<uint32_t> words;
  for (const nvsim::TraceEntry& entry : State(id_).history)
    if ((entry.commandWord & kReplyCodeMask) == code) words.push_back(entry.commandWord);
  return words;
}

void ProtocolTest::NextReply(const RealUSBDevice& device, uint32_t code,
                             const std::vector<uint8_t>& payload) {
  const uint32_t word = code | device.CurrentIndex() << kIndexShift;
  ASSERT_TRUE(sim_->AddFault(id_, FaultOf(FaultKind::kRaw, code, 1, ReplyFrame(word, payload))));
}

void AppendU32(std::vector<uint8_t>& bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

nvsim::Fault FaultOf(FaultKind kind, uint32_t code, uint32_t times, std::vector<uint8_t> bytes) {
  nvsim::Fault fault;
  fault.kind = kind;
  fault.code = code;
  fault.times = times;
  fault.bytes = std::move(bytes);
  return fault;
}

}  // namespace prototest
