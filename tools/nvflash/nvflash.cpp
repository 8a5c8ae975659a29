// nvflash: the command line and the helpers the sub-commands share.
#include "nvflash.h"

#include <cstdlib>

#include "protocol/real_usb_device.h"

namespace nvflash {

namespace {

void PrintHelp(FILE* out) {
  std::fprintf(out,
               "Usage: nvflash list [--json]\n"
               "       nvflash program (--serial SERIAL | --path PATH) [--target N] [--json] FILE\n"
               "       nvflash pack --output FILE [--signature WORD] [--product NAME]\n"
               "                    [--version MAJOR.MINOR] [--block BYTES]\n"
               "                    [--target NAME] INPUT... [--target NAME INPUT...]\n"
               "\n"
               "list     shows each attached Norvane instrument: its device path, serial\n"
               "         number, hardware id, versions and the target signature record.\n"
               "program  programs one instrument's target from a container file (by image\n"
               "         upload when the instrument takes one, else block by block) or an\n"
               "         Intel HEX file (through the flash), showing progress, the burn\n"
               "         countdown and the signature before and after.\n"
               "pack     builds a container file from binary inputs (FILE@ADDRESS) and\n"
               "         Intel HEX inputs (FILE.hex); one --target or none makes a\n"
               "         single-target file, several make a multi-target file. The\n"
               "         signature defaults to the current local time as a DOS date-time.\n"
               "\n"
               "--json prints one JSON object per line: events while programming, one\n"
               "object per instrument when listing.\n"
               "Exit codes: 0 done, 1 programming failed, 2 bad command line, 3 no such\n"
               "instrument, 4 bad or missing file.\n");
}

}  // namespace

int Run(const std::vector<std::string>& args, Console& console) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    PrintHelp(args.empty() ? console.err : console.out);
    return args.empty() ? kExitUsage : kExitOk;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "list") return List(rest, console);
  if (args[0] == "program") return Program(rest, console);
  if (args[0] == "pack") return Pack(rest, console);
  std::fprintf(console.err, "nvflash: unknown command \"%s\" (try --help)\n", args[0].c_str());
  return kExitUsage;
}

std::string JsonString(const std::string& text) {
  std::string json = "\"";
  for (const unsigned char c : text) {
    if (c == '"' || c == '\\') {
      json += '\\';
      json += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      json += escaped;
    } else {
      json += static_cast<char>(c);
    }
  }
  return json + "\"";
}

std::string SignatureText(uint32_t signature) {
  if (signature == RealUSBDevice::kNoSignature) return "none";
  char word[16];
  std::snprintf(word, sizeof word, "%08X", signature);
  const PStr when = DosDateTimeText(signature);
  return std::string(word) + " (" + (when.Length() != 0 ? when.c_str() : "no date") + ")";
}

bool ParseU32(const std::string& text, uint32_t& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace nvflash
