// Instrument settings as text: the key=value lines of nvsim's configuration
// files and of its --set options (the keys are listed in README.md and in
// `nvsim --help`).
#pragma once

#include <string>
#include <vector>

#include "instrument.h"

namespace nvsim {

struct SimulatorSetup {
  std::string root;      // empty: the environment's or the default
  double timeScale = 0;  // 0: the environment's
  std::vector<InstrumentConfig> instruments;
};

// Applies one setting to an instrument; false with a reason when the key is
// unknown or the value does not parse.
bool ApplySetting(InstrumentConfig& config, const std::string& key, const std::string& value,
                  std::string& error);
// "kind [code=C] [skip=N] [times=N] [delay=MS] [gap=MS] [value=N] [replug=MS] [bytes=HEX]".
bool ParseFault(const std::string& text, Fault& fault, std::string& error);
// "kind [on=READ|WRITE|CONTROL|any] [skip=N] [times=N] [value=N]".
bool ParseTransportFault(const std::string& text, TransportFault& fault, std::string& error);
// Hexadecimal bytes, optionally separated by spaces, ':' or ','.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);
// A whole configuration file; the error names the line.
bool ParseSetupText(const std::string& text, SimulatorSetup& setup, std::string& error);

// The help text of the keys.
const char* SettingsHelp();

}  // namespace nvsim
