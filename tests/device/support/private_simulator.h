// A simulator on a device root of its own, for the tests that talk to
// instruments through the device registry or the loaded library: the root is
// created and named in NVDEVICES_DEVICE_ROOT (the library reads it at every
// enumeration) before the simulator starts, and removed with it.
#pragma once

#include <string>

#include "simulator.h"

namespace devicetest {

class PrivateSimulator : public nvsim::Simulator {
 public:
  // Root "<prefix><process id>_<counter>": short, because device paths must
  // fit a socket address. Call Start() next.
  PrivateSimulator(const char* prefix, double timeScale);
  // Stops serving and removes the root.
  ~PrivateSimulator();
};

}  // namespace devicetest
