#include "support/private_simulator.h"

#include <atomic>

#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace testsupport {

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

// The tests name their roots as Unix paths under /tmp. A Windows build, which
// runs the simulator in-process, puts them in the system's temporary folder
// instead (a short path, as device paths must stay within 107 bytes).
std::string RootPrefix(const char* prefix) {
  std::string text = prefix;
#ifdef _WIN32
  const std::string unixTemp = "/tmp/";
  if (text.compare(0, unixTemp.size(), unixTemp) == 0)
    text = platform::TempFolder() + text.substr(unixTemp.size());
#endif
  return text;
}

nvsim::Simulator::Options PrivateRoot(const char* prefix, double timeScale) {
  nvsim::Simulator::Options options;
  options.root = RootPrefix(prefix) + std::to_string(platform::CurrentProcessId()) + "_" +
                 std::to_string(g_RootCounter++);
  options.timeScale = HostTimeScale(timeScale);
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

nvsim::Simulator::Id PrivateSimulator::AddPlugged(nvsim::InstrumentConfig config) {
  std::string error;
  const Id id = Add(std::move(config), true, &error);
  EXPECT_NE(id, 0u) << error;
  return id;
}

nvsim::Simulator::InstrumentState PrivateSimulator::StateOf(Id id) const {
  auto state = State(id);
  EXPECT_TRUE(state.has_value());
  return state.value_or(InstrumentState{});
}

double HostTimeScale(double timeScale) {
#ifdef _WIN32
  constexpr double kWineSlowdown = 2;
  return timeScale / kWineSlowdown;
#else
  return timeScale;
#endif
}

std::unique_ptr<PrivateSimulator> StartPrivateSimulator(const char* prefix, double timeScale) {
  platform::SetTimeScale(HostTimeScale(timeScale));
  auto simulator = std::make_unique<PrivateSimulator>(prefix, timeScale);
  std::string error;
  if (!simulator->Start(&error)) {
    ADD_FAILURE() << "the simulator does not start: " << error;
    return nullptr;
  }
  return simulator;
}

uint32_t DilatedSince(uint32_t startTick) {
  return platform::TickCount() - startTick;
}

}  // namespace testsupport
