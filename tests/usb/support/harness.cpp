#include "usb/support/harness.h"

#include <chrono>
#include <thread>

namespace usbtest {

nvsim::Simulator::Id SimulatorTest::AddInstrument(const std::string& name,
                                                  void (*edit)(nvsim::InstrumentConfig&)) {
  nvsim::InstrumentConfig config;
  config.name = name;
  if (edit != nullptr) edit(config);
  return AddInstrument(std::move(config));
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
  return {4,
          0,
          0,
          0,
          static_cast<uint8_t>(code),
          static_cast<uint8_t>(code >> 8),
          static_cast<uint8_t>(code >> 16),
          static_cast<uint8_t>(code >> 24)};
}

nvsim::ScriptStep RawReply(std::vector<uint8_t> bytes, uint32_t parts, uint32_t gapMs) {
  nvsim::ScriptStep step;
  step.faults.push_back({});
  step.faults[0].kind = nvsim::FaultKind::kRaw;
  step.faults[0].bytes = std::move(bytes);
  if (parts > 1) {
    step.faults.push_back({});
    step.faults[1].kind = nvsim::FaultKind::kSplit;
    step.faults[1].value = parts;
    step.faults[1].gapMs = gapMs;
  }
  return step;
}

}  // namespace usbtest
