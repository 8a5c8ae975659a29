// nvsim: serves simulated instruments through the driver stand-in until it is
// interrupted, then removes their entries.
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "config_text.h"
#include "simulator.h"

namespace {

const char* const kCommandsHelp =
    "Commands (with --commands, one per line on standard input; each answers \"ok\" or\n"
    "\"error: ...\"):\n"
    "  add NAME [KEY=VALUE]...       a new instrument arrives (keys as for --set)\n"
    "  remove NAME                   it leaves for good\n"
    "  plug NAME | unplug NAME [MS]  entry created / removed (back after MS when given)\n"
    "  crash NAME                    entry left behind, connections refused\n"
    "  fault NAME KIND [options]     an instrument fault (as the fault key)\n"
    "  transport NAME KIND [options] a driver fault (as the transport_fault key; none: off)\n"
    "  clear NAME                    removes its instrument faults and script\n"
    "  emit NAME HEX [N [MS]]        N transfers of HEX bytes, one every MS, unasked\n"
    "  handle_status NAME WORD | refuse_open NAME yes|no | reenum_delay NAME MS\n"
    "  state NAME                    one line of its state\n"
    "  quit                          stop as on SIGTERM\n";

// The --commands reader: changes the running simulator on request.
class CommandLoop {
 public:
  explicit CommandLoop(nvsim::Simulator& simulator) : simulator_(simulator) {}

  void Known(const std::string& name, nvsim::Simulator::Id id) { ids_[name] = id; }

  // Reads lines until the end of the input; a "quit" asks the main thread to
  // stop. Runs on its own thread.
  void Run() {
    for (std::string line; std::getline(std::cin, line);) {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopped_) return;
      std::string answer = Execute(line);
      if (answer.empty()) continue;
      std::printf("%s\n", answer.c_str());
      std::fflush(stdout);
      if (answer == "bye") {
        ::kill(::getpid(), SIGTERM);
        return;
      }
    }
  }

  // After this no command touches the simulator any more.
  void Stop() {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
  }

 private:
  std::string Execute(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    std::string name;
    in >> verb >> name;
    if (verb.empty() || verb[0] == '#') return {};
    if (verb == "quit") return "bye";
    std::string rest;
    std::getline(in, rest);
    const size_t start = rest.find_first_not_of(" \t");
    rest = start == std::string::npos ? std::string() : rest.substr(start);
    if (verb == "add") return Add(name, rest);
    const auto it = ids_.find(name);
    if (it == ids_.end()) return "error: no instrument \"" + name + "\"";
    const nvsim::Simulator::Id id = it->second;
    std::string error;
    bool ok = false;
    if (verb == "remove") {
      ok = simulator_.Remove(id);
      ids_.erase(it);
    } else if (verb == "plug") {
      ok = simulator_.Plug(id, &error);
    } else if (verb == "unplug") {
      uint32_t ms = nvsim::kNever;
      ok = (rest.empty() || ParseNumber(rest, ms)) && simulator_.Unplug(id, ms);
    } else if (verb == "crash") {
      ok = simulator_.Crash(id);
    } else if (verb == "fault") {
      nvsim::Fault fault;
      ok = nvsim::ParseFault(rest, fault, error) && simulator_.AddFault(id, fault);
    } else if (verb == "transport") {
      nvsim::TransportFault fault;
      ok =
          nvsim::ParseTransportFault(rest, fault, error) && simulator_.SetTransportFault(id, fault);
    } else if (verb == "clear") {
      ok = simulator_.ClearFaults(id);
    } else if (verb == "emit") {
      std::istringstream words(rest);
      std::string hex;
      uint32_t repeat = 1;
      uint32_t every = 0;
      std::vector<uint8_t> bytes;
      words >> hex;
      std::string n;
      std::string ms;
      words >> n >> ms;
      ok = nvsim::ParseHexBytes(hex, bytes) && (n.empty() || ParseNumber(n, repeat)) &&
           (ms.empty() || ParseNumber(ms, every)) && simulator_.Emit(id, bytes, repeat, every);
    } else if (verb == "handle_status" || verb == "reenum_delay") {
      uint32_t value = 0;
      ok = ParseNumber(rest, value) &&
           (verb == "handle_status" ? simulator_.SetHandleStatus(id, value)
                                    : simulator_.SetReenumerationDelay(id, value));
    } else if (verb == "refuse_open") {
      ok = (rest == "yes" || rest == "no") && simulator_.SetRefuseOpen(id, rest == "yes");
    } else if (verb == "state") {
      const auto state = simulator_.State(id);
      if (!state) return "error: gone";
      char text[384];
      std::snprintf(text, sizeof text,
                    "%s: plugged=%d connected=%d loader=%d status=%08X commands=%llu opens=%u "
                    "refused=%u plugs=%u tcp=%u signature=%08X staged=%u burns=%u",
                    name.c_str(), state->plugged, state->connected, state->loader,
                    state->statusWord, static_cast<unsigned long long>(state->commands),
                    state->connections, state->refusals, state->plugs,
                    static_cast<unsigned>(state->tcpPort), state->signature, state->stagedBytes,
                    state->burns);
      return text;
    } else {
      return "error: unknown command \"" + verb + "\"";
    }
    if (ok) return "ok";
    return "error: " + (error.empty() ? std::string("not done") : error);
  }

  std::string Add(const std::string& name, const std::string& settings) {
    if (ids_.count(name) != 0) return "error: \"" + name + "\" exists";
    nvsim::InstrumentConfig config;
    config.name = name;
    std::istringstream words(settings);
    std::string error;
    for (std::string w; words >> w;) {
      const size_t eq = w.find('=');
      if (eq == std::string::npos ||
          !nvsim::ApplySetting(config, w.substr(0, eq), w.substr(eq + 1), error)) {
        return "error: " + w + ": " + (error.empty() ? "expected KEY=VALUE" : error);
      }
    }
    const auto id = simulator_.Add(std::move(config), true, &error);
    if (id == 0) return "error: " + error;
    ids_[name] = id;
    return "ok " + simulator_.DevicePath(id);
  }

  static bool ParseNumber(const std::string& text, uint32_t& value) {
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (text.empty() || text[0] == '-' || *end != '\0' || v > 0xFFFFFFFFull) return false;
    value = static_cast<uint32_t>(v);
    return true;
  }

  nvsim::Simulator& simulator_;
  std::mutex mu_;
  bool stopped_ = false;
  std::map<std::string, nvsim::Simulator::Id> ids_;
};

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
      "  --commands          take commands on standard input (below)\n"
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
      "%s\n%s",
      kCommandsHelp, nvsim::SettingsHelp());
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
  bool commands = false;
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
    } else if (arg == "--commands") {
      commands = true;
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
  if (setup.instruments.empty() && !commands) {
    std::fprintf(stderr,
                 "nvsim: no instruments; give --instrument NAME, --config FILE or --commands\n");
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
  CommandLoop loop(simulator);
  for (auto& config : setup.instruments) {
    const std::string name = config.name;
    const auto id = simulator.Add(std::move(config), true, &error);
    if (id == 0) {
      std::fprintf(stderr, "nvsim: instrument %s: %s\n", name.c_str(), error.c_str());
      return 1;
    }
    loop.Known(name, id);
    std::printf("%s: %s\n", name.c_str(), simulator.DevicePath(id).c_str());
  }
  std::printf("nvsim: serving %zu instrument(s) under %s (time scale %g); stop with Ctrl-C\n",
              setup.instruments.size(), simulator.Root().c_str(), simulator.Clock().Scale());
  std::fflush(stdout);

  if (commands) {
    // Left running when the program ends: it may be blocked reading the input.
    std::thread([&loop] { loop.Run(); }).detach();
  }

  int signal = 0;
  sigwait(&stopSignals, &signal);
  loop.Stop();
  simulator.Stop();
  std::printf("nvsim: stopped (signal %d), entries removed\n", signal);
  if (commands) {
    // The reader thread may still wait for input and uses objects of this
    // frame: end without unwinding them.
    std::fflush(stdout);
    std::_Exit(0);
  }
  return 0;
}
