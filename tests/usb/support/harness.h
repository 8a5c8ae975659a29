// Test support for the USB transport: a simulator serving instruments on a
// private device root, on the dilated clock (tests/support), and capture of
// everything the transport reports.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "simulator.h"
#include "support/capture.h"
#include "support/private_simulator.h"

namespace usbtest {

// Dilated milliseconds per real millisecond in these tests.
inline constexpr double kTimeScale = 50;

// What the transport reported since the last ClearCapture (device log and
// error lines, library log, message boxes).
using testsupport::Boxes;
using testsupport::ClearCapture;
using testsupport::DilatedSince;
using testsupport::ErrorText;
using testsupport::InfoText;
using testsupport::LibraryLog;

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Adds and plugs an instrument with the default configuration, changed by
  // `edit` first.
  nvsim::Simulator::Id AddInstrument(const std::string& name,
                                     void (*edit)(nvsim::InstrumentConfig&) = nullptr);
  nvsim::Simulator::Id AddInstrument(nvsim::InstrumentConfig config) {
    return sim_->AddPlugged(std::move(config));
  }
  std::string Path(nvsim::Simulator::Id id) const { return sim_->DevicePath(id); }
  nvsim::Simulator::InstrumentState State(nvsim::Simulator::Id id) const {
    return sim_->StateOf(id);
  }
  // The class folder of the USB device interface class under the root.
  std::string ClassFolder() const;

  std::string root_;
  std::unique_ptr<testsupport::PrivateSimulator> sim_;
};

// Holds the named mutex "Kalto" as the running application would. Retries
// for a while: another test process may probe or hold it at the same moment.
std::unique_ptr<platform::NamedMutexHolder> HoldKalto();

// A complete command frame (length word 4, the code) that makes the
// instrument answer; faults given to the simulator then shape the answer.
std::vector<uint8_t> CommandFrame(uint32_t code);
// A script step that answers the next command with exactly `bytes`, split
// into `parts` transfers when above 1.
nvsim::ScriptStep RawReply(std::vector<uint8_t> bytes, uint32_t parts = 1, uint32_t gapMs = 0);

}  // namespace usbtest
