// The simulated instruments of a device benchmark that runs on Linux and
// under Wine, and the benchmark's private folder (the library log goes there
// when asked for; the destructor switches the log off and removes it).
//
// Where the benchmark is built with the in-process simulator (nvsim_core, a
// Linux library; bench/CMakeLists.txt then defines
// NVD_BENCH_IN_PROCESS_SIMULATOR), a BenchSimulator serves the instruments
// with the private folder as device root, and instruments can be plugged
// while the benchmark runs. Elsewhere (the Windows build) an external nvsim
// already serves them on $NVDEVICES_DEVICE_ROOT: scripts/bench starts it
// with the instruments the benchmark names, and nothing can be plugged
// (kCanPlug).
// Either way the device paths come from the library's own enumeration.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "base/files.h"
#include "base/log.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "usb/enumeration.h"

struct BenchInstrument {
  std::string name;    // its device path ends in "/<name>.sock"
  std::string serial;  // ProdSerNumber of its public area
};

#if NVD_BENCH_IN_PROCESS_SIMULATOR
#include <map>

#include "bench_simulator.h"

class BenchInstrumentSource {
 public:
  BenchInstrumentSource(const char* prefix, bool logInFolder, double timeScale = 1)
      : sim_(prefix, logInFolder, timeScale) {}

  std::string Way() const { return "in-process simulator"; }
  const std::string& Folder() const { return sim_.Root(); }
  static constexpr bool kCanPlug = true;
  bool StartSource() { return sim_.Start(); }
  bool Add(const BenchInstrument& instrument, bool plug) {
    nvsim::InstrumentConfig config;
    config.name = instrument.name;
    config.publicArea.prodSerNumber = instrument.serial;
    std::string error;
    const nvsim::Simulator::Id id = sim_.Sim().Add(config, plug, &error);
    if (id == 0) std::printf("instrument %s: %s\n", instrument.name.c_str(), error.c_str());
    ids_[instrument.name] = id;
    return id != 0;
  }
  bool Plug(const std::string& name) { return sim_.Sim().Plug(ids_[name]); }
  bool Unplug(const std::string& name) { return sim_.Sim().Unplug(ids_[name]); }

 private:
  BenchSimulator sim_;
  std::map<std::string, nvsim::Simulator::Id> ids_;
};

#else

class BenchInstrumentSource {
 public:
  // The external simulator keeps its own clock: `timeScale` is not used.
  BenchInstrumentSource(const char* prefix, bool logInFolder, double /*timeScale*/ = 1)
      : folder_(platform::TempFolder() + prefix + std::to_string(platform::CurrentProcessId())),
        logInFolder_(logInFolder) {
    DeleteTree(folder_.c_str());
    platform::CreateDirectory(folder_.c_str());
    if (logInFolder_) SetLogBaseName((folder_ + "/NVDevices.log").c_str());
  }
  ~BenchInstrumentSource() {
    if (logInFolder_) {
      SetLogBaseName(nullptr);
      CloseLog();
    }
    DeleteTree(folder_.c_str());
  }
  BenchInstrumentSource(const BenchInstrumentSource&) = delete;
  BenchInstrumentSource& operator=(const BenchInstrumentSource&) = delete;

  std::string Way() const { return "external simulator at " + Root(); }
  const std::string& Folder() const { return folder_; }
  static constexpr bool kCanPlug = false;
  bool StartSource() {
    if (!Root().empty()) return true;
    std::printf("NVDEVICES_DEVICE_ROOT is not set: this build needs an nvsim serving it\n");
    return false;
  }
  // The external simulator serves the instrument already (checked by
  // enumeration); one that arrives later is beyond it.
  bool Add(const BenchInstrument& instrument, bool plug) {
    if (plug) return true;
    std::printf("instrument %s: the external simulator cannot plug it at run time\n",
                instrument.name.c_str());
    return false;
  }
  bool Plug(const std::string&) { return false; }
  bool Unplug(const std::string&) { return false; }

 private:
  static std::string Root() { return platform::GetEnvironment("NVDEVICES_DEVICE_ROOT"); }

  std::string folder_;
  bool logInFolder_;
};

#endif

class BenchInstruments : public BenchInstrumentSource {
 public:
  using BenchInstrumentSource::BenchInstrumentSource;

  // Serves the instruments (plugged), starting the source at the first call,
  // and finds each by enumeration; prints the reason and returns false on
  // failure.
  bool Start(const std::vector<BenchInstrument>& instruments) {
    if (!started_ && !StartSource()) return false;
    started_ = true;
    for (const BenchInstrument& instrument : instruments) {
      if (!Add(instrument, true)) return false;
    }
    for (const BenchInstrument& instrument : instruments) {
      if (DevicePath(instrument.name).empty()) {
        std::printf("instrument %s is not present (nvsim --instrument %s --set serial=%s)\n",
                    instrument.name.c_str(), instrument.name.c_str(), instrument.serial.c_str());
        return false;
      }
    }
    return true;
  }
  // An instrument that is not plugged yet (see kCanPlug).
  bool AddUnplugged(const BenchInstrument& instrument) { return Add(instrument, false); }

  // The device path the library's enumeration reports for an instrument;
  // "" when it is not present.
  static std::string DevicePath(const std::string& name) {
    const std::string ending = "/" + name + ".sock";
    USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
    for (uint32_t i = 0; i < list.Count(); ++i) {
      const char* text = list[i]->DevicePath.Text();
      const std::string path = text != nullptr ? text : "";
      if (path.size() >= ending.size() &&
          path.compare(path.size() - ending.size(), ending.size(), ending) == 0)
        return path;
    }
    return "";
  }

 private:
  bool started_ = false;
};
