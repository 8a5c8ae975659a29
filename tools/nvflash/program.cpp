// nvflash list and nvflash program: the instruments found through the
// driver's enumeration, each opened as a FirmwareDevice.
#include <memory>
#include <string>
#include <vector>

#include "base/files.h"
#include "nvflash.h"
#include "platform/time.h"
#include "protocol/firmware.h"
#include "usb/enumeration.h"

namespace nvflash {

namespace {

// The device paths of the attached instruments.
std::vector<std::string> InstrumentPaths() {
  USBDeviceInfoList present(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  std::vector<std::string> paths;
  for (uint32_t i = 0; i < present.Count(); ++i) {
    const auto* info = static_cast<const ZdUSBDeviceInfo*>(present.At(i));
    if (info->DevicePath.Text() != nullptr) paths.emplace_back(info->DevicePath.Text());
  }
  return paths;
}

std::string Text(const Istr& text) {
  return text.Text() != nullptr ? text.Text() : "";
}

// What the signature record says, for people.
std::string RecordText(const RealUSBDevice& device) {
  std::string text = SignatureText(device.DeviceSignature);
  if (device.DeviceSignature != RealUSBDevice::kNoSignature)
    text += ", file \"" + Text(device.SignatureFileName) + "\"";
  if (!Text(device.SignatureText).empty()) text += ", text \"" + Text(device.SignatureText) + "\"";
  return text;
}

std::string RecordJson(const RealUSBDevice& device) {
  const bool known = device.DeviceSignature != RealUSBDevice::kNoSignature;
  char word[16];
  std::snprintf(word, sizeof word, "%08X", device.DeviceSignature);
  return std::string("{\"signature\": ") + (known ? JsonString(word) : "null") + ", \"time\": " +
         (known ? JsonString(DosDateTimeText(device.DeviceSignature).c_str()) : "null") +
         ", \"file_name\": " + JsonString(Text(device.SignatureFileName)) +
         ", \"text\": " + JsonString(Text(device.SignatureText)) + "}";
}

bool InLoader(const RealUSBDevice& device) {
  return (device.StatusWord & BOOT_BIT) != 0;
}

// Progress of one programming run: a bar drawn in place on a terminal,
// a line per tenth otherwise, JSON events with --json.
class ProgressView {
 public:
  explicit ProgressView(Console& console) : console_(console) {}

  void StartFlash() { Start("flash"); }
  void StartBurn() { Start("burn"); }
  void Update(uint32_t total, uint32_t done);
  // Ends an in-place line.
  void Finish();

 private:
  void Start(const char* phase);
  std::string Bar(uint32_t total, uint32_t done) const;

  Console& console_;
  std::string phase_ = "flash";
  uint32_t started_ = 0;
  uint32_t firstDone_ = 0;
  bool reported_ = false;
  int lastStep_ = -1;
  bool open_ = false;
};

void ProgressView::Start(const char* phase) {
  Finish();
  phase_ = phase;
  reported_ = false;
  lastStep_ = -1;
  if (console_.json)
    std::fprintf(console_.out, "{\"event\": \"phase\", \"phase\": %s}\n",
                 JsonString(phase).c_str());
}

std::string ProgressView::Bar(uint32_t total, uint32_t done) const {
  constexpr int kWidth = 30;
  const int filled = total == 0 ? kWidth : static_cast<int>(uint64_t{done} * kWidth / total);
  return "[" + std::string(filled, '#') + std::string(kWidth - filled, '-') + "]";
}

void ProgressView::Update(uint32_t total, uint32_t done) {
  const bool burn = phase_ == "burn";
  if (console_.json) {
    std::fprintf(console_.out,
                 burn ? "{\"event\": \"progress\", \"phase\": \"burn\", \"elapsed_ms\": %u, "
                        "\"wait_ms\": %u}\n"
                      : "{\"event\": \"progress\", \"phase\": \"flash\", \"done\": %u, "
                        "\"total\": %u}\n",
                 done, total);
    return;
  }
  const int percent = total == 0 ? 100 : static_cast<int>(uint64_t{done} * 100 / total);
  char line[160];
  int step = percent / 10;  // plain output: a line per tenth written ...
  if (burn) {
    const uint32_t left = total > done ? total - done : 0;
    std::snprintf(line, sizeof line, "Burning the image: %u.%u s left", left / 1000,
                  left % 1000 / 100);
    step = static_cast<int>((left + 999) / 1000);  // ... or per second of the burn
  } else {
    // The rate counts from the first report: the time before it goes to
    // putting the instrument into its loader, not to writing.
    const uint32_t now = platform::TickCount();
    if (!reported_) {
      reported_ = true;
      started_ = now;
      firstDone_ = done;
    }
    const uint32_t ms = now - started_;
    int length =
        std::snprintf(line, sizeof line, "Writing: %3d%%  %u of %u bytes", percent, done, total);
    if (ms != 0)
      std::snprintf(line + length, sizeof line - length, "  %.1f KiB/s",
                    (done - firstDone_) / 1.024 / ms);
  }
  if (console_.terminal) {
    std::fprintf(console_.out, "\r%s %s\033[K", Bar(total, done).c_str(), line);
    open_ = true;
  } else if (step != lastStep_) {
    lastStep_ = step;
    std::fprintf(console_.out, "%s\n", line);
  }
  std::fflush(console_.out);
}

void ProgressView::Finish() {
  if (open_) std::fprintf(console_.out, "\n");
  open_ = false;
}

// The file the library will program: "x.trg" missing falls back to "x.bin"
// as in the library. Checked whole before the instrument is touched, so a
// bad file never leaves an instrument half written.
bool CheckFile(const std::string& name, Console& console, uint32_t& targets) {
  std::string path = name;
  const bool trg = path.size() >= 3 && (path.compare(path.size() - 3, 3, "trg") == 0 ||
                                        path.compare(path.size() - 3, 3, "TRG") == 0);
  if (!Exists(path.c_str()) && trg) path = path.substr(0, path.size() - 3) + "bin";
  std::vector<uint8_t> bytes;
  if (!LoadWholeFile(path.c_str(), bytes)) {
    std::fprintf(console.err, "nvflash: cannot read \"%s\"\n", name.c_str());
    return false;
  }
  std::string reason;
  if (MakerSignatureKind(bytes.data(), bytes.size()) != ContainerKind::kNone) {
    ContainerInfo info;
    if (!ParseContainer(bytes.data(), bytes.size(), info, reason)) {
      std::fprintf(console.err, "nvflash: \"%s\" is no valid container: %s\n", path.c_str(),
                   reason.c_str());
      return false;
    }
    for (const ContainerTarget& target : info.Targets) {
      uint32_t blocks = 0;
      if (!CheckContainerTarget(bytes.data(), target, reason, blocks)) {
        std::fprintf(console.err, "nvflash: \"%s\" is no valid container: %s\n", path.c_str(),
                     reason.c_str());
        return false;
      }
    }
    targets = static_cast<uint32_t>(info.Targets.size());
    return true;
  }
  DebuggerNS::DataRecords image;
  HexReport report;
  if (!ReadIntelHex(reinterpret_cast<const char*>(bytes.data()), bytes.size(), image, report)) {
    std::fprintf(console.err, "nvflash: %s\n", HexErrorText(report, path.c_str()).c_str());
    return false;
  }
  for (const uint32_t line : report.ChecksumMismatch)
    std::fprintf(console.err, "nvflash: warning: %s (programmed all the same)\n",
                 HexChecksumText(line, path.c_str()).c_str());
  targets = 1;
  return true;
}

// Opens and identifies the instrument at `path`; null when it does not
// answer.
std::unique_ptr<FirmwareDevice> OpenInstrument(const std::string& path, FirmwareHooks hooks) {
  auto device = std::make_unique<FirmwareDevice>(path.c_str(), std::move(hooks));
  if (!device->IsOpen() || !device->Identify()) return nullptr;
  return device;
}

// The instrument chosen by serial number or path; null, with the message,
// when none (or more than one) matches.
std::unique_ptr<FirmwareDevice> FindInstrument(const std::string& serial, const std::string& path,
                                               const FirmwareHooks& hooks, Console& console) {
  if (!path.empty()) {
    auto device = OpenInstrument(path, hooks);
    if (device == nullptr)
      std::fprintf(console.err, "nvflash: no instrument answers at \"%s\"\n", path.c_str());
    return device;
  }
  std::unique_ptr<FirmwareDevice> found;
  for (const std::string& candidate : InstrumentPaths()) {
    auto device = OpenInstrument(candidate, hooks);
    if (device == nullptr || Text(device->SerialNumber) != serial) continue;
    if (found != nullptr) {
      std::fprintf(console.err, "nvflash: more than one instrument has serial \"%s\"; use --path\n",
                   serial.c_str());
      return nullptr;
    }
    found = std::move(device);
  }
  if (found == nullptr)
    std::fprintf(console.err, "nvflash: no attached instrument has serial \"%s\"\n",
                 serial.c_str());
  return found;
}

// After a failure: what state the instrument is in, and how to go on.
std::string FailureAdvice(FirmwareDevice& device) {
  if (!device.IsConnectionAlive() || !device.SetExchange() || !device.GetStatus())
    return "The instrument no longer answers (unplugged, or it did not come back after the "
           "burn). Plug it in again and run the same command to retry.";
  if (InLoader(device))
    return "The instrument is in its loader; its flash may be partly written and it runs no "
           "target until it is programmed. Run the same command again to retry.";
  return "The instrument still runs its previous target. Run the same command again to retry.";
}

struct ProgramOptions {
  std::string serial, path, file;
  uint32_t target = 0;
  bool targetGiven = false;
};

bool ParseProgram(const std::vector<std::string>& args, ProgramOptions& options, Console& console) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool hasValue = i + 1 < args.size();
    if (arg == "--json") {
      console.json = true;
    } else if (arg == "--serial" && hasValue) {
      options.serial = args[++i];
    } else if (arg == "--path" && hasValue) {
      options.path = args[++i];
    } else if (arg == "--target" && hasValue) {
      if (!ParseU32(args[++i], options.target)) return false;
      options.targetGiven = true;
    } else if (!arg.empty() && arg[0] != '-' && options.file.empty()) {
      options.file = arg;
    } else {
      return false;
    }
  }
  return !options.file.empty() && (options.serial.empty() != options.path.empty());
}

}  // namespace

int List(const std::vector<std::string>& args, Console& console) {
  for (const std::string& arg : args) {
    if (arg != "--json") {
      std::fprintf(console.err, "nvflash: usage: nvflash list [--json]\n");
      return kExitUsage;
    }
    console.json = true;
  }
  uint32_t listed = 0;
  for (const std::string& path : InstrumentPaths()) {
    auto device = OpenInstrument(path, {});
    if (device == nullptr) {
      std::fprintf(console.err, "nvflash: \"%s\" does not answer\n", path.c_str());
      continue;
    }
    ++listed;
    if (console.json) {
      std::fprintf(console.out,
                   "{\"path\": %s, \"serial\": %s, \"hardware_id\": %s, \"loader\": %s, "
                   "\"target_version\": %s, \"signature\": %s}\n",
                   JsonString(path).c_str(), JsonString(Text(device->SerialNumber)).c_str(),
                   JsonString(device->HardwareIdText().c_str()).c_str(),
                   InLoader(*device) ? "true" : "false",
                   JsonString(Text(device->TargetVersionText)).c_str(),
                   RecordJson(*device).c_str());
      continue;
    }
    std::fprintf(console.out,
                 "%s\n  serial       %s\n  hardware id  %s\n  target       %s%s\n"
                 "  signature    %s\n",
                 path.c_str(), Text(device->SerialNumber).c_str(), device->HardwareIdText().c_str(),
                 Text(device->TargetVersionText).c_str(),
                 InLoader(*device) ? " (in its loader)" : "", RecordText(*device).c_str());
  }
  if (!console.json) std::fprintf(console.out, "%u instrument(s)\n", listed);
  return kExitOk;
}

int Program(const std::vector<std::string>& args, Console& console) {
  ProgramOptions options;
  if (!ParseProgram(args, options, console)) {
    std::fprintf(console.err,
                 "nvflash: usage: nvflash program (--serial SERIAL | --path PATH) [--target N] "
                 "[--json] FILE\n");
    return kExitUsage;
  }
  uint32_t targets = 0;
  if (!CheckFile(options.file, console, targets)) return kExitBadFile;

  ProgressView view(console);
  FirmwareHooks hooks;
  hooks.Progress = [&view](uint32_t total, uint32_t done) { view.Update(total, done); };
  hooks.BeforeProgramming = [&view] { view.StartFlash(); };
  hooks.BeforeBurn = [&view] { view.StartBurn(); };
  hooks.AfterBurn = [&view](bool) { view.Finish(); };
  hooks.ChooseTarget = [&options, &console](const std::vector<std::string>& names, uint32_t) {
    if (!console.json && options.target < names.size())
      std::fprintf(console.out, "Target #%u: \"%s\"\n", options.target,
                   names[options.target].c_str());
    return options.target;
  };
  if (options.targetGiven && options.target >= targets) {
    std::fprintf(console.err, "nvflash: the file holds %u target(s); --target %u is not one\n",
                 targets, options.target);
    return kExitUsage;
  }

  auto device = FindInstrument(options.serial, options.path, hooks, console);
  if (device == nullptr) return kExitNoInstrument;
  const std::string before = RecordText(*device);
  if (console.json)
    std::fprintf(console.out,
                 "{\"event\": \"start\", \"path\": %s, \"serial\": %s, \"before\": %s}\n",
                 JsonString(Text(device->DevicePath)).c_str(),
                 JsonString(Text(device->SerialNumber)).c_str(), RecordJson(*device).c_str());
  else
    std::fprintf(console.out, "Instrument %s (%s)\nSignature before: %s\nProgramming from \"%s\"\n",
                 Text(device->SerialNumber).c_str(), Text(device->DevicePath).c_str(),
                 before.c_str(), options.file.c_str());

  const bool ok = device->ProgramFile(options.file.c_str());
  view.Finish();
  const std::string advice = ok ? "" : FailureAdvice(*device);
  const std::string error = ok ? "" : Text(device->LastError);
  if (console.json) {
    std::fprintf(console.out,
                 "{\"event\": \"result\", \"ok\": %s, \"exit_code\": %d, \"after\": %s, "
                 "\"error\": %s, \"advice\": %s}\n",
                 ok ? "true" : "false", ok ? kExitOk : kExitProgrammingFailed,
                 RecordJson(*device).c_str(), JsonString(error).c_str(),
                 JsonString(advice).c_str());
  } else if (ok) {
    std::fprintf(console.out, "Signature after:  %s\nDone: the instrument is programmed.\n",
                 RecordText(*device).c_str());
  } else {
    std::fprintf(console.out, "FAILED: the instrument was not programmed.\n");
    if (!error.empty()) std::fprintf(console.err, "nvflash: %s\n", error.c_str());
    std::fprintf(console.err, "nvflash: %s\n", advice.c_str());
  }
  return ok ? kExitOk : kExitProgrammingFailed;
}

}  // namespace nvflash
