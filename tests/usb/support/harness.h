// Test support for the USB transport: instruments on a private simulator
// (tests/support) at 50 dilated ms per real ms, everything reported captured.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "support/capture.h"
#include "support/simulator_test.h"

namespace usbtest {

using namespace testsupport;

class SimulatorTest : public testsupport::SimulatorTest {
 protected:
  SimulatorTest() : testsupport::SimulatorTest("/tmp/nvu", 50, true) {}
  using testsupport::SimulatorTest::AddInstrument;
  // Adds an instrument named `name`, its default configuration changed by `edit`.
  nvsim::Simulator::Id AddInstrument(const std::string& name,
                                     void (*edit)(nvsim::InstrumentConfig&) = nullptr);
};

// Holds the named mutex "Kalto" as the running application would; retries,
// since another test process may hold it for a moment.
std::unique_ptr<platform::NamedMutexHolder> HoldKalto();

// A command frame that makes the instrument answer; a script step shapes it.
std::vector<uint8_t> CommandFrame(uint32_t code);
// A script step that answers with exactly `bytes`, in `parts` transfers.
nvsim::ScriptStep RawReply(std::vector<uint8_t> bytes, uint32_t parts = 1, uint32_t gapMs = 0);

}  // namespace usbtest
