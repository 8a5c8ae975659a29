// Simulated instruments for the tests of the device-facing layers (usb,
// protocol, device) and the end-to-end tests: a simulator on a device root of
// its own, on the dilated clock.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "simulator.h"

namespace testsupport {

// A simulator on HostTimeScale(timeScale) and on a private device root
// "<prefix><process id>_<counter>" (short, because device paths must fit a
// socket address; on Windows a "/tmp/" prefix stands for the system's
// temporary folder). The root is created empty and named in
// NVDEVICES_DEVICE_ROOT, which the library reads at every enumeration,
// before the simulator is built. Call Start() next.
class PrivateSimulator : public nvsim::Simulator {
 public:
  PrivateSimulator(const char* prefix, double timeScale);
  // Stops serving and removes the root; NVDEVICES_DEVICE_ROOT still names
  // it, so a later enumeration finds nothing rather than a shared root.
  ~PrivateSimulator();

  // Adds and plugs an instrument; 0 and a test failure when it cannot.
  Id AddPlugged(nvsim::InstrumentConfig config);
  // The instrument's state; an empty one and a test failure when unknown.
  InstrumentState StateOf(Id id) const;
};

// The time scale to use on this host for a test written for `timeScale`:
// the same on POSIX; under Wine, whose sockets and thread switches are
// slower and less even, a smaller one, so that the margins the tests leave
// between dilated times stay wider than its delays.
double HostTimeScale(double timeScale);

// Puts the library's clock on `timeScale` dilated ms per real ms and starts a
// private simulator on the same scale. Null and a test failure when it
// cannot start.
std::unique_ptr<PrivateSimulator> StartPrivateSimulator(const char* prefix, double timeScale);

// Dilated milliseconds on the library's tick count since `startTick`.
uint32_t DilatedSince(uint32_t startTick);

}  // namespace testsupport
