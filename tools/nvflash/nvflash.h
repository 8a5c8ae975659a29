// nvflash: the service-bench tool that lists the attached instruments with
// their target signature, programs one from a container or Intel HEX file,
// and packs container files. It links the library's static core (the
// shared library keeps its four exports only).
//
// The tool runs as a function so that tests drive it in-process against a
// simulated instrument; main() only hands it the process's streams.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace nvflash {

// Exit codes.
enum Exit : int {
  kExitOk = 0,
  kExitProgrammingFailed = 1,  // the instrument was not (completely) programmed
  kExitUsage = 2,              // bad command line
  kExitNoInstrument = 3,       // no (or no such) instrument
  kExitBadFile = 4,            // the file is missing, unreadable or invalid
};

// Where the tool writes: `out` for results and progress, `err` for
// messages. `terminal` draws progress in place; `json` (set by --json)
// writes one JSON object per line to `out` instead of text.
struct Console {
  FILE* out = stdout;
  FILE* err = stderr;
  bool terminal = false;
  bool json = false;
};

// Runs one command line (without the program name); the exit code.
int Run(const std::vector<std::string>& args, Console& console);

// The sub-commands.
int List(const std::vector<std::string>& args, Console& console);
int Program(const std::vector<std::string>& args, Console& console);
int Pack(const std::vector<std::string>& args, Console& console);

// Helpers shared by the sub-commands.
std::string JsonString(const std::string& text);
// "5B8A6C21 (10.12.2025 13:33:02)", or "none" for the no-signature word.
std::string SignatureText(uint32_t signature);
// Parses a decimal or 0x-prefixed number that fits 32 bits.
bool ParseU32(const std::string& text, uint32_t& value);

}  // namespace nvflash
