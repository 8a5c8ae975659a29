// nvflash pack: a container file from binary and Intel HEX inputs.
#include <string>
#include <vector>

#include "base/datetime.h"
#include "base/files.h"
#include "nvflash.h"
#include "protocol/firmware.h"

namespace nvflash {

namespace {

struct PackOptions {
  std::string output;
  PackSettings settings;
  bool signatureGiven = false;
  std::vector<PackTarget> targets;
  bool namedTargets = false;
};

bool EndsWith(const std::string& text, const char* end) {
  const std::string tail(end);
  if (text.size() < tail.size()) return false;
  for (size_t i = 0; i < tail.size(); ++i) {
    const char c = text[text.size() - tail.size() + i];
    if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != tail[i]) return false;
  }
  return true;
}

// Adds one input to the target: "FILE@ADDRESS" (binary) or an Intel HEX
// file (".hex", ".ihx", or text starting with ':').
bool AddInput(const std::string& input, PackTarget& target, Console& console) {
  const size_t at = input.rfind('@');
  const std::string path = at == std::string::npos ? input : input.substr(0, at);
  std::vector<uint8_t> bytes;
  if (!LoadWholeFile(path.c_str(), bytes)) {
    std::fprintf(console.err, "nvflash: cannot read \"%s\"\n", path.c_str());
    return false;
  }
  if (at != std::string::npos) {
    uint32_t address = 0;
    if (!ParseU32(input.substr(at + 1), address)) {
      std::fprintf(console.err, "nvflash: \"%s\": the address after '@' is no 32-bit number\n",
                   input.c_str());
      return false;
    }
    if (bytes.size() > 0xFFFFFFFFu ||
        !target.Data.Add(address, bytes.data(), static_cast<uint32_t>(bytes.size()))) {
      std::fprintf(console.err, "nvflash: \"%s\" runs past the end of the address space\n",
                   input.c_str());
      return false;
    }
    return true;
  }
  const bool hex =
      EndsWith(path, ".hex") || EndsWith(path, ".ihx") || (!bytes.empty() && bytes[0] == ':');
  if (!hex) {
    std::fprintf(console.err,
                 "nvflash: \"%s\" is no Intel HEX file; give a binary input as FILE@ADDRESS\n",
                 path.c_str());
    return false;
  }
  HexReport report;
  if (!ReadIntelHex(reinterpret_cast<const char*>(bytes.data()), bytes.size(), target.Data,
                    report)) {
    std::fprintf(console.err, "nvflash: %s\n", HexErrorText(report, path.c_str()).c_str());
    return false;
  }
  // A file with wrong checksums is damaged: packing it would hide that.
  if (!report.ChecksumMismatch.empty()) {
    std::fprintf(console.err, "nvflash: %s\n",
                 HexChecksumText(report.ChecksumMismatch.front(), path.c_str()).c_str());
    return false;
  }
  return true;
}

bool ParseVersion(const std::string& text, PackSettings& settings) {
  const size_t dot = text.find('.');
  uint32_t major = 0;
  uint32_t minor = 0;
  if (dot == std::string::npos || !ParseU32(text.substr(0, dot), major) ||
      !ParseU32(text.substr(dot + 1), minor) || major > 255 || minor > 255)
    return false;
  settings.VersionMajor = static_cast<uint8_t>(major);
  settings.VersionMinor = static_cast<uint8_t>(minor);
  return true;
}

// Reads the command line; false on a usage error (reported).
bool ParsePack(const std::vector<std::string>& args, PackOptions& options, Console& console) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    bool good = true;
    if (arg == "--json") {
      console.json = true;
    } else if ((arg == "--output" || arg == "-o") && hasValue) {
      options.output = args[++i];
    } else if (arg == "--signature" && hasValue) {
      good = ParseU32(args[++i], options.settings.Signature);
      options.signatureGiven = true;
    } else if (arg == "--product" && hasValue) {
      options.settings.Product = args[++i];
    } else if (arg == "--version" && hasValue) {
      good = ParseVersion(args[++i], options.settings);
    } else if (arg == "--block" && hasValue) {
      good = ParseU32(args[++i], options.settings.MaxPayload);
    } else if (arg == "--target" && hasValue) {
      options.targets.emplace_back();
      options.targets.back().Name = args[++i];
      options.namedTargets = true;
    } else if (!arg.empty() && arg[0] != '-') {
      if (options.targets.empty()) options.targets.emplace_back();
      if (!AddInput(arg, options.targets.back(), console)) return false;
    } else {
      good = false;
    }
    if (!good) {
      std::fprintf(console.err, "nvflash: pack: bad argument \"%s\"\n", arg.c_str());
      return false;
    }
  }
  if (options.output.empty() || options.targets.empty()) {
    std::fprintf(console.err, "nvflash: pack needs --output FILE and at least one input\n");
    return false;
  }
  return true;
}

}  // namespace

int Pack(const std::vector<std::string>& args, Console& console) {
  PackOptions options;
  if (!ParsePack(args, options, console)) return kExitUsage;
  for (const PackTarget& target : options.targets) {
    if (target.Data.Count() == 0) {
      std::fprintf(console.err, "nvflash: pack: target \"%s\" has no data\n", target.Name.c_str());
      return kExitUsage;
    }
  }
  // Several targets, or one given a name, make a multi-target file.
  options.settings.Kind = options.targets.size() > 1 || options.namedTargets
                              ? ContainerKind::kVorlinex
                              : ContainerKind::kZandor;
  if (!options.signatureGiven) options.settings.Signature = PTimeStamp().localDos;

  std::vector<uint8_t> file;
  std::string reason;
  if (!PackContainer(options.settings, options.targets, file, reason)) {
    std::fprintf(console.err, "nvflash: pack: %s\n", reason.c_str());
    return kExitUsage;
  }
  PTextFile out(options.output.c_str(), "wb", true);
  if (!out.IsOpen() || !out.Write(file.data(), file.size()) || out.Close() != 0) {
    std::fprintf(console.err, "nvflash: cannot write \"%s\"\n", options.output.c_str());
    return kExitBadFile;
  }
  if (console.json)
    std::fprintf(console.out,
                 "{\"output\": %s, \"bytes\": %zu, \"targets\": %zu, \"signature\": %s}\n",
                 JsonString(options.output).c_str(), file.size(), options.targets.size(),
                 JsonString(SignatureText(options.settings.Signature)).c_str());
  else
    std::fprintf(console.out, "Wrote \"%s\": %zu bytes, %zu target(s), signature %s\n",
                 options.output.c_str(), file.size(), options.targets.size(),
                 SignatureText(options.settings.Signature).c_str());
  return kExitOk;
}

}  // namespace nvflash
