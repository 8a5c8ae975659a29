// Test support for the command protocol: simulated instruments on a private
// device root and the dilated clock (tests/support), a device opened on one
// of them, and the device log captured through the output hooks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/real_usb_device.h"
#include "simulator.h"
#include "support/capture.h"
#include "support/private_simulator.h"

namespace prototest {

// Dilated milliseconds per real millisecond.
inline constexpr double kTimeScale = 100;

// Device log and device error lines since the last ClearLog.
inline std::string LogText() {
  return testsupport::InfoText();
}
using testsupport::ErrorText;
inline void ClearLog() {
  testsupport::ClearCapture();
}
// Occurrences of `needle` in `text`.
size_t CountOf(const std::string& text, const std::string& needle);

class ProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Adds and plugs an instrument (default configuration changed by `config`).
  nvsim::Simulator::Id AddInstrument(nvsim::InstrumentConfig config);
  nvsim::Simulator::Id AddInstrument() { return AddInstrument(nvsim::InstrumentConfig{}); }
  // Opens a device on the instrument; the log is cleared afterwards.
  std::unique_ptr<RealUSBDevice> Open(nvsim::Simulator::Id id);
  nvsim::Simulator::InstrumentState State(nvsim::Simulator::Id id) const {
    return sim_->StateOf(id);
  }
  // Command words the instrument received with this code, oldest first.
  std::vector<uint32_t> Received(nvsim::Simulator::Id id, uint32_t code) const;

  std::string root_;
  std::unique_ptr<testsupport::PrivateSimulator> sim_;
  uint32_t nameCounter_ = 0;
};

// A reply frame: length word, reply word, payload.
std::vector<uint8_t> ReplyFrame(uint32_t word, const std::vector<uint8_t>& payload);
void AppendU32(std::vector<uint8_t>& bytes, uint32_t value);
// Fault that replaces the reply to the next command of `code` by `bytes`.
nvsim::Fault RawReply(uint32_t code, std::vector<uint8_t> bytes);
nvsim::Fault FaultOf(nvsim::FaultKind kind, uint32_t code, uint32_t times = 1);
// The reply word the device expects for its next command of `code`.
uint32_t NextWord(const RealUSBDevice& device, uint32_t code);
using testsupport::DilatedSince;

}  // namespace prototest
