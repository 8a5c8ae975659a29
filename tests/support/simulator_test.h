// A test fixture on a private simulator (private_simulator.h) with the
// library's output captured (capture.h). Kept apart from the simulator so
// that tests that load the library link none of its objects.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "support/private_simulator.h"

namespace testsupport {

// A test against a private simulator, with the library's output captured
// (capture.h). The trace level and option word are put back afterwards.
class SimulatorTest : public ::testing::Test {
 protected:
  SimulatorTest(const char* prefix, double timeScale, bool libraryLog)
      : prefix_(prefix), timeScale_(timeScale), libraryLog_(libraryLog) {}
  void SetUp() override;
  void TearDown() override;

  // Adds and plugs an instrument, named "nv<n>" when it has no name.
  nvsim::Simulator::Id AddInstrument(nvsim::InstrumentConfig config = {});
  std::string Path(nvsim::Simulator::Id id) const { return sim_->DevicePath(id); }
  nvsim::Simulator::InstrumentState State(nvsim::Simulator::Id id) const {
    return sim_->StateOf(id);
  }

  std::string root_;
  std::unique_ptr<PrivateSimulator> sim_;

 private:
  const char* prefix_;
  double timeScale_;
  bool libraryLog_;
  int savedTrace_ = 0;
  uint64_t savedOptions_ = 0;
  uint32_t names_ = 0;
};

}  // namespace testsupport
