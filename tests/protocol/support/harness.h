// Test support for the command protocol: devices on simulated instruments of
// a private simulator (tests/support) at 100 dilated ms per real ms, with the
// device log captured and the trace level and option word at 0.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protocol/real_usb_device.h"
#include "support/capture.h"
#include "support/simulator_test.h"

namespace prototest {

using nvsim::FaultKind;
using testsupport::DilatedSince;
using testsupport::ErrorText;
inline constexpr auto LogText = testsupport::InfoText;  // device log lines
inline constexpr auto ClearLog = testsupport::ClearCapture;
size_t CountOf(const std::string& text, const std::string& needle);

class ProtocolTest : public testsupport::SimulatorTest {
 protected:
  ProtocolTest() : testsupport::SimulatorTest("/tmp/nvp", 100, false) {}
  void SetUp() override;

  // Adds an instrument (id_), opens a device on it and clears the log.
  std::unique_ptr<RealUSBDevice> Start(nvsim::InstrumentConfig config = {});
  // Same, the instrument failing the next `times` commands of `code` with `kind`.
  std::unique_ptr<RealUSBDevice> StartFaulty(FaultKind kind, uint32_t code, uint32_t times = 1);
  // Command words the instrument received with this code, oldest first.
  std::vector<uint32_t> Received(uint32_t code) const;
  // Replaces the reply to the next command `code` of `device` by `payload`.
  void NextReply(const RealUSBDevice& device, uint32_t code, const std::vector<uint8_t>& payload);

  nvsim::Simulator::Id id_ = 0;
};

// A fault for the next `times` commands of `code`; kRaw replies with `bytes`.
nvsim::Fault FaultOf(FaultKind kind, uint32_t code, uint32_t times = 1,
                     std::vector<uint8_t> bytes = {});
void AppendU32(std::vector<uint8_t>& bytes, uint32_t value);

}  // namespace prototest
