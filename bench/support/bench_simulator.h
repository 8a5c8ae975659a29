// A private device root served by an in-process simulator, for the benchmarks
// that talk to simulated instruments. The library is pointed at the root
// and, when asked, keeps its log file there; the destructor stops the
// simulator, switches the log off and removes the folder.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "base/files.h"
#include "base/log.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "simulator.h"

class BenchSimulator {
 public:
  // `timeScale` dilates the simulator's clock (its read time-outs); the
  // library's own clock is the caller's to set alike (platform::SetTimeScale).
  BenchSimulator(const char* prefix, bool logInRoot, double timeScale = 1)
      : root_(std::string("/tmp/") + prefix + std::to_string(platform::CurrentProcessId())),
        logInRoot_(logInRoot) {
    DeleteTree(root_.c_str());
    platform::CreateDirectory(root_.c_str());
    platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", root_.c_str());
    if (logInRoot_) {
      const std::string logPath = root_ + "/NVDevices.log";
      SetLogBaseName(logPath.c_str());
    }
    nvsim::Simulator::Options options;
    options.root = root_;
    options.timeScale = timeScale;
    sim_ = std::make_unique<nvsim::Simulator>(options);
  }
  ~BenchSimulator() {
    sim_->Stop();
    if (logInRoot_) {
      // Devices still log their closing at exit: the log must not keep the
      // folder alive.
      SetLogBaseName(nullptr);
      CloseLog();
    }
    DeleteTree(root_.c_str());
  }
  BenchSimulator(const BenchSimulator&) = delete;
  BenchSimulator& operator=(const BenchSimulator&) = delete;

  // Starts serving; prints the reason and returns false on failure.
  bool Start() {
    std::string error;
    if (sim_->Start(&error)) return true;
    std::printf("simulator: %s\n", error.c_str());
    return false;
  }
  nvsim::Simulator& Sim() { return *sim_; }
  const std::string& Root() const { return root_; }

 private:
  std::string root_;
  bool logInRoot_;
  std::unique_ptr<nvsim::Simulator> sim_;
};
