// The test host: loads the built library at run time, exactly as a host
// program does, and serves simulated instruments on a private device root.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "nvdevices/NVDevices.h"
#include "support/private_simulator.h"

namespace e2e {

// Dilated milliseconds per real millisecond, for the library and the
// simulator alike.
inline constexpr double kTimeScale = 50;

// The library's four functions. The library is loaded once per process,
// after the time scale is in the environment.
struct Exports {
  decltype(&GetDeviceList) getDeviceList = nullptr;
  decltype(&GetDeviceSerial) getDeviceSerial = nullptr;
  decltype(&GetDeviceMCUId) getDeviceMCUId = nullptr;
  decltype(&GetDeviceDatabaseInfo) getDeviceDatabaseInfo = nullptr;
};
const Exports& Library();

// One GetDeviceDatabaseInfo call's result and outputs; the outputs start as
// a pattern that no answer writes, so that "nothing written" can be seen.
struct Answer {
  uint32_t code = 0xFFFFFFFF;
  uint8_t test = 0x7F;
  uint8_t calibration = 0x7F;
  uint32_t programmed = 0x7F7F7F7F;
  uint32_t calibrated = 0x7F7F7F7F;

  bool Untouched() const {
    return test == 0x7F && calibration == 0x7F && programmed == 0x7F7F7F7F &&
           calibrated == 0x7F7F7F7F;
  }
};
Answer Look(uint32_t id);

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The current list, read as a careful host reads it (count first, then
  // the ids into an array with room to spare); checks that nothing is
  // written past the count.
  std::vector<uint32_t> List();
  std::optional<std::string> Serial(uint32_t id);
  std::optional<std::array<uint8_t, 12>> HardwareId(uint32_t id);

  nvsim::Simulator::Id Add(nvsim::InstrumentConfig config) {
    return sim_->AddPlugged(std::move(config));
  }
  nvsim::Simulator::InstrumentState State(nvsim::Simulator::Id id) const {
    return sim_->StateOf(id);
  }

  std::unique_ptr<testsupport::PrivateSimulator> sim_;
};

// A healthy instrument with this entry name and serial (and hardware id
// words low, middle, high when given).
nvsim::InstrumentConfig Instrument(const std::string& name, const std::string& serial);
nvsim::InstrumentConfig Instrument(const std::string& name, const std::string& serial,
                                   const std::array<uint32_t, 3>& hardwareId);

}  // namespace e2e
