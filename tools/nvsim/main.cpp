// nvsim: serves simulated instruments through the driver stand-in until it is
// interrupted, then removes their entries.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "config_text.h"
#include "simulator.h"

namespace {

void PrintHelp() {
  std::printf(
      "Usage: nvsim [options]\n"
      "\n"
      "Serves simulated Norvane instruments to a host on this machine through the\n"
      "driver stand-in (docs/driver-stand-in.md): each instrument appears as\n"
      "  ROOT/{CLASS-GUID}/NAME.sock  (its device path)  and  NAME.props\n"
      "and answers the instrument protocol on that socket. nvsim runs until SIGINT or\n"
      "SIGTERM and then removes its entries.\n"
      "\n"
      "Options:\n"
      "  --root DIR          device root (default $NVDEVICES_DEVICE_ROOT, else /tmp/nvdevices)\n"
      "  --time-scale N      run every delay and time-out N times faster\n"
      "                      (default $NVDEVICES_TIME_SCALE, else 1); the host must use the same\n"
      "  --config FILE       read instruments from FILE (may be repeated)\n"
      "  --instrument NAME   add an instrument NAME (or pick one from a config file);\n"
      "                      following --set options apply to it\n"
      "  --set KEY=VALUE     set one key of the current instrument (keys below)\n"
      "  --verbose           print entries, opens and every command received\n"
      "  --help              this text\n"
      "\n"
      "Config file: lines \"key = value\"; '#' or ';' starts a comment line.\n"
      "  root = DIR, time_scale = N     (before the first section)\n"
      "  [instrument NAME]              starts an instrument; its keys follow\n"
      "\n"
      "Example:\n"
      "  nvsim --root /tmp/nvd --instrument nv-1 --set serial=NV2-000001 \\\n"
      "        --set \"fault=no-reply code=GET_VERSION\"\n"
      "  NVDEVICES_DEVICE_ROOT=/tmp/nvd nvdevices\n"
      "\n"
      "%s",
      nvsim::SettingsHelp());
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  text = buffer.str();
  return true;
}

nvsim::InstrumentConfig* FindOrAdd(nvsim::SimulatorSetup& setup, const std::string& name) {
  for (auto& config : setup.instruments) {
    if (config.name == name) return &config;
  }
  setup.instruments.emplace_back();
  setup.instruments.back().name = name;
  return &setup.instruments.back();
}

}  // namespace

int main(int argc, char** argv) {
  nvsim::SimulatorSetup setup;
  std::string root;
  double timeScale = 0;
  std::string currentName;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "nvsim: %s needs a value\n", arg.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--verbose" || arg == "-v") {
      verbose = true;
    } else if (arg == "--help" || arg == "-h") {
      PrintHelp();
      return 0;
    } else if (arg == "--root") {
      root = value();
    } else if (arg == "--time-scale") {
      timeScale = std::atof(value());
      if (timeScale <= 0) {
        std::fprintf(stderr, "nvsim: --time-scale needs a positive number\n");
        return 2;
      }
    } else if (arg == "--config") {
      const std::string path = value();
      std::string text;
      std::string error;
      if (!ReadFile(path, text)) {
        std::fprintf(stderr, "nvsim: cannot read %s: %s\n", path.c_str(), std::strerror(errno));
        return 2;
      }
      if (!nvsim::ParseSetupText(text, setup, error)) {
        std::fprintf(stderr, "nvsim: %s: %s\n", path.c_str(), error.c_str());
        return 2;
      }
    } else if (arg == "--instrument") {
      currentName = value();
      FindOrAdd(setup, currentName);
    } else if (arg == "--set") {
      const std::string setting = value();
      const size_t eq = setting.find('=');
      std::string error;
      if (currentName.empty()) {
        std::fprintf(stderr, "nvsim: --set %s comes before any --instrument\n", setting.c_str());
        return 2;
      }
      if (eq == std::string::npos ||
          !nvsim::ApplySetting(*FindOrAdd(setup, currentName), setting.substr(0, eq),
                               setting.substr(eq + 1), error)) {
        std::fprintf(stderr, "nvsim: --set %s: %s\n", setting.c_str(),
                     error.empty() ? "expected KEY=VALUE" : error.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "nvsim: unknown option %s (see --help)\n", arg.c_str());
      return 2;
    }
  }
  if (setup.instruments.empty()) {
    std::fprintf(stderr, "nvsim: no instruments; give --instrument NAME or --config FILE\n");
    return 2;
  }

  // Block the stop signals before any thread starts, then wait for them here.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  nvsim::Simulator::Options options;
  options.root = !root.empty() ? root : setup.root;
  options.timeScale = timeScale > 0 ? timeScale : setup.timeScale;
  if (verbose) {
    options.log = [](const std::string& line) {
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    };
  }
  nvsim::Simulator simulator(options);
  std::string error;
  if (!simulator.Start(&error)) {
    std::fprintf(stderr, "nvsim: %s\n", error.c_str());
    return 1;
  }
  for (auto& config : setup.instruments) {
    const std::string name = config.name;
    const auto id = simulator.Add(std::move(config), true, &error);
    if (id == 0) {
      std::fprintf(stderr, "nvsim: instrument %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
    std::printf("%s: %s\n", name.c_str(), simulator.DevicePath(id).c_str());
  }
  std::printf("nvsim: serving %zu instrument(s) under %s (time scale %g); stop with Ctrl-C\n",
              setup.instruments.size(), simulator.Root().c_str(), simulator.Clock().Scale());
  std::fflush(stdout);

  int signal = 0;
  sigwait(&stopSignals, &signal);
  simulator.Stop();
  std::printf("nvsim: stopped (signal %d), entries removed\n", signal);
  return 0;
}
