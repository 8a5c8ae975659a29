#include "usb/support/harness.h"

#include <chrono>
#include <thread>

#include "platform/system.h"

namespace usbtest {

void SimulatorTest::SetUp() {
  testsupport::CaptureOutput(true);
  sim_ = testsupport::StartPrivateSimulator("/tmp/nvu", kTimeScale);
  ASSERT_NE(sim_, nullptr);
  root_ = sim_->Root();
}

void SimulatorTest::TearDown() {
  sim_.reset();
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", nullptr);
}

nvsim::Simulator::Id SimulatorTest::AddInstrument(const std::string& name,
                                                  void (*edit)(nvsim::InstrumentConfig&)) {
  nvsim::InstrumentConfig config;
  config.name = name;
  if (edit != nullptr) edit(config);
  return AddInstrument(std::move(config));
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
