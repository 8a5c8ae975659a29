#include "device/support/private_simulator.h"

#include <atomic>

#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace devicetest {

namespace {

std::atomic<uint32_t> g_RootCounter{0};

void RemoveTree(const std::string& path) {
  platform::ListDirectory(path.c_str(), [&](const platform::DirectoryEntry& entry) {
    const std::string child = path + "/" + entry.name;
    if (entry.isDirectory)
      RemoveTree(child);
    else
      platform::RemoveFile(child.c_str());
  });
  platform::RemoveDirectory(path.c_str());
}

nvsim::Simulator::Options PrivateRoot(const char* prefix, double timeScale) {
  nvsim::Simulator::Options options;
  options.root =
      prefix + std::to_string(platform::CurrentProcessId()) + "_" + std::to_string(g_RootCounter++);
  options.timeScale = timeScale;
  RemoveTree(options.root);
  platform::CreateDirectory(options.root.c_str());
  platform::SetEnvironment("NVDEVICES_DEVICE_ROOT", options.root.c_str());
  return options;
}

}  // namespace

PrivateSimulator::PrivateSimulator(const char* prefix, double timeScale)
    : Simulator(PrivateRoot(prefix, timeScale)) {}

PrivateSimulator::~PrivateSimulator() {
  Stop();
  RemoveTree(Root());
}

}  // namespace devicetest
