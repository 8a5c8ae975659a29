#include "support/simulator_test.h"

#include "base/log.h"
#include "base/options.h"
#include "platform/system.h"
#include "support/capture.h"

namespace testsupport {

void SimulatorTest::SetUp() {
  savedTrace_ = g_TraceLevel;
  savedOptions_ = g_OptionWord;
  CaptureOutput(libraryLog_);
  sim_ = StartPrivateSimulator(prefix_, timeScale_);
  ASSERT_NE(sim_, nullptr);
  root_ = sim_->Root();
}

void SimulatorTest::TearDown() {
  sim_.reset();
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", nullptr);
  g_TraceLevel = savedTrace_;
  g_OptionWord = savedOptions_;
}

nvsim::Simulator::Id SimulatorTest::AddInstrument(nvsim::InstrumentConfig config) {
  if (config.name.empty()) config.name = "nv" + std::to_string(++names_);
  return sim_->AddPlugged(std::move(config));
}

}  // namespace testsupport
