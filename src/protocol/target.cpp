// The target's signature against the target file, programming a target from
// a container file or Intel HEX text, the signature and flash commands, and
// the programming hooks.
#include <cstdio>
#include <cstring>
#include <string>

#include "base/datetime.h"
#include "base/files.h"
#include "base/format.h"
#include "base/options.h"
#include "protocol/container.h"
#include "protocol/firmware.h"
#include "protocol/intel_hex.h"
#include "protocol/memory_image.h"
#include "protocol/real_usb_device.h"

namespace {

constexpr const char* kTargetFolder = "ZovuZore";
constexpr size_t kFileHeadSize = 52;
constexpr uint32_t kFileVersionOffset = 36;

uint32_t HeadU32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// "Zandor" with two NULs, or "Vorlinex".
bool HasMakerSignature(const unsigned char* head, size_t size) {
  return MakerSignatureKind(head, size) != ContainerKind::kNone;
}

// Reads up to kFileHeadSize bytes; the count read, or -1 when the file does
// not open or cannot be read.
long ReadFileHead(const char* path, unsigned char* head) {
  PTextFile file(path, "rb", true);
  if (!file.IsOpen()) return -1;
  const size_t got = file.Read(head, kFileHeadSize);
  if (std::ferror(file.Stream()) != 0) return -1;
  return static_cast<long>(got);
}

PStr TargetFolderFile(const char* name) {
  PFilePath folder;
  const PStr program = ProgramFolder();
  folder.Join(program.c_str(), kTargetFolder);
  folder.Append(name);
  return PStr(folder.Path());
}

bool EndsWithTrg(const std::string& name) {
  if (name.size() < 3) return false;
  std::string end = name.substr(name.size() - 3);
  for (char& c : end)
    c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return end == "trg";
}

}  // namespace

bool LoadWholeFile(const char* path, std::vector<uint8_t>& bytes) {
  constexpr size_t kPiece = size_t{1} << 20;
  bytes.clear();
  PTextFile file(path, "rb", true);
  if (!file.IsOpen()) return false;
  for (;;) {
    const size_t start = bytes.size();
    if (start > UINT32_MAX) return false;
    bytes.resize(start + kPiece);
    const size_t got = file.Read(bytes.data() + start, kPiece);
    bytes.resize(start + got);
    if (got < kPiece) break;
  }
  return std::ferror(file.Stream()) == 0 && bytes.size() <= UINT32_MAX;
}

bool RealUSBDevice::ReadSignatureRecord() {
  DeviceSignature = kNoSignature;
  SignatureFileName = "";
  SignatureWorkName = "";
  SignatureText = "";
  SignatureTextReceived = false;
  BeginCommand(RD_SIGNAT).Exchange();
  if (WasError || ReplyCode == kUnrecognizedCommand) return false;

  uint32_t signature = 0;
  uint8_t n = 0;
  char name[256] = {};
  if (!TakeU32(signature) || !TakeU8(n) || !TakeReplyBytes(name, n)) return false;
  std::string text;
  std::string status;
  bool textReceived = false;
  if (ReplyBytesLeft() != 0) {
    char buffer[256] = {};
    if (!TakeU8(n) || !TakeReplyBytes(buffer, n)) return false;
    text.assign(buffer, std::strlen(buffer));
    textReceived = true;
  }
  if (ReplyBytesLeft() != 0) {
    uint8_t bytes[256] = {};
    if (!TakeU8(n) || !TakeReplyBytes(bytes, n)) return false;
    for (uint32_t i = 0; i < n; ++i)
      status += PFormatBuffer(" %02X", bytes[i]).Text();
  }
  DeviceSignature = signature;
  SignatureFileName = name;
  // The working form of the name is the name as received.
  SignatureWorkName = name;
  SignatureText = text.c_str();
  SignatureTextReceived = textReceived;
  signatureStatus_ = status;
  return true;
}

PStr RealUSBDevice::SignatureRecordText() const {
  const PStr stringPart =
      SignatureText.Length() != 0 ? FormatStr(", String: \"%s\"", SignatureText.Text()) : PStr("");
  return FormatStr("Signature: %08X (%s), File Name: \"%s\"%s, Status: %s", DeviceSignature,
                   DosDateTimeText(DeviceSignature).c_str(), SignatureFileName.Text(),
                   stringPart.c_str(), signatureStatus_.c_str());
}

bool RealUSBDevice::CheckTargetSignature(uint32_t& fileSignature, PStr& fileName) {
  fileSignature = kNoSignature;
  fileName = "";
  ReadSignatureRecord();
  const bool skip = IgnoreSignature || IsOptionOn(kOptSkipTargetUpload);
  if (DeviceSignature == kNoSignature) {
    if (skip) {
      Log("Signature check skipped: IgnoreSignature || __TE_SKIP_TARGET_UP\n");
      return true;
    }
    return false;
  }
  Log("%s\n", SignatureRecordText().c_str());
  if (skip) {
    Log("Signature check skipped: __TE_SKIP_TARGET_UP\n");
    return true;
  }

  PStr path;
  if (TargetFilePath.Length() != 0) {
    path = TargetFilePath.Text();
  } else {
    path = TargetFolderFile(SignatureWorkName.Text());
    if (!Exists(path.c_str())) path = TargetFolderFile(SignatureFileName.Text());
  }
  fileName = path;
  if (!Exists(path.c_str())) {
    Log("File %s does not exist\n", path.c_str());
    return false;
  }
  fileSignature = PTimeStamp::FromFile(path.c_str()).localDos;
  Log("Checking target file \"%s\"\n", path.c_str());
  unsigned char head[kFileHeadSize] = {};
  const long got = ReadFileHead(path.c_str(), head);
  if (got < 0) {
    Log("Failed to open file \"%s\"\n", path.c_str());
  } else if (HasMakerSignature(head, static_cast<size_t>(got)) && got >= 16) {
    fileSignature = HeadU32(head + 12);
    if (got >= 38 && HeadU32(head + 8) >= kFileVersionOffset)
      Log("Target file version: %u.%02u\n", head[kFileVersionOffset + 1], head[kFileVersionOffset]);
  }

  bool match = fileSignature == DeviceSignature;
  if (ForceTargetUpload) {
    match = false;
    Log("File signature mismatch because of -!ftu option\n");
  } else if (!match) {
    Log("File signature mismatch, file: %08X (%s)\n", fileSignature,
        DosDateTimeText(fileSignature).c_str());
  } else {
    Log("File signature match\n");
  }
  return match;
}

void RealUSBDevice::ReadTargetFileVersion(const char* fileName) {
  if (fileName == nullptr || *fileName == 0) return;
  std::string path = fileName;
  if (!Exists(path.c_str()) && EndsWithTrg(path)) path = path.substr(0, path.size() - 3) + "bin";
  if (!Exists(path.c_str())) return;
  unsigned char head[kFileHeadSize] = {};
  const long got = ReadFileHead(path.c_str(), head);
  if (got >= 38 && HasMakerSignature(head, static_cast<size_t>(got))) {
    FileVersionMinor = head[kFileVersionOffset];
    FileVersionMajor = head[kFileVersionOffset + 1];
  }
}

bool RealUSBDevice::ProgramTarget(const char* fileName) {
  std::string path = fileName != nullptr ? fileName : "";
  if (!Exists(path.c_str())) {
    if (!EndsWithTrg(path)) {
      Error("Failed to open firmware file \"%s\"", path.c_str());
      return false;
    }
    const std::string bin = path.substr(0, path.size() - 3) + "bin";
    if (!Exists(bin.c_str())) {
      Error("Failed to open neither firmware file \"%s\" nor \"%s\"", path.c_str(), bin.c_str());
      return false;
    }
    path = bin;
  }
  unsigned char head[kFileHeadSize] = {};
  const long got = ReadFileHead(path.c_str(), head);
  if (got < 0) {
    Error("Failed to open firmware file \"%s\"", path.c_str());
    return false;
  }
  if (!HasMakerSignature(head, static_cast<size_t>(got))) return ProgramIntelHex(path.c_str());
  if (got >= static_cast<long>(kFileVersionOffset + 2)) {
    FileVersionMinor = head[kFileVersionOffset];
    FileVersionMajor = head[kFileVersionOffset + 1];
  }
  return ProgramContainer(path.c_str());
}

namespace {

// Checks every block of the target before anything is sent; reports the
// first bad one.
bool CheckTargetBlocks(RealUSBDevice& device, const char* path, const std::vector<uint8_t>& file,
                       const ContainerTarget& target) {
  uint64_t remaining = target.Length;
  const uint8_t* at = file.data() + target.Offset;
  while (remaining != 0) {
    ContainerBlock block;
    uint64_t overshoot = 0;
    const BlockCheck check = ReadContainerBlock(at, remaining, block, overshoot);
    if (check == BlockCheck::kOvershoot) {
      const int shown = overshoot > INT32_MAX ? INT32_MAX : static_cast<int>(overshoot);
      device.Error("Invalid '%s' file format: %d\n", path, shown);
      return false;
    }
    if (check == BlockCheck::kBadPayloadOffset) {
      device.Error("Invalid '%s' file format: payload offset %u below 12 in the block at %I64u\n",
                   path, block.PayloadOffset, static_cast<uint64_t>(at - file.data()));
      return false;
    }
    at += block.Size;
    remaining -= block.Size;
  }
  return true;
}

}  // namespace

bool RealUSBDevice::ProgramContainer(const char* path) {
  std::vector<uint8_t> file;
  if (!LoadWholeFile(path, file)) {
    Error("Failed to open firmware file \"%s\"", path);
    return false;
  }
  ContainerInfo info;
  std::string reason;
  if (!ParseContainer(file.data(), file.size(), info, reason)) {
    Error("Invalid '%s' target file: %s", path, reason.c_str());
    return false;
  }
  TargetNames.clear();
  for (const ContainerTarget& target : info.Targets)
    TargetNames.push_back(target.Name);

  const uint32_t count = static_cast<uint32_t>(info.Targets.size());
  if (count > 1) {
    const uint32_t index = ChooseTarget(ChosenTarget);
    if (index >= count) {
      Log("Invalid multi-target index %d", index);
      return false;
    }
    ChosenTarget = index;
    Log("Chosen target #%d: \"%s\"\n", index, info.Targets[index].Name.c_str());
  } else if (info.Kind == ContainerKind::kVorlinex && ChosenTarget >= count) {
    Error(
        "Chosen multi-target index %d is invalid, only %d target(s) available. Please contact "
        "developers",
        ChosenTarget, count);
    ChosenTarget = 0;
  } else {
    ChosenTarget = 0;
  }
  const ContainerTarget& target = info.Targets[ChosenTarget];
  if (!CheckTargetBlocks(*this, path, file, target)) return false;

  BeforeProgramming();
  bool ok = false;
  const bool useImage = !IsOptionOn(kOptNoFirmwareImage) &&
                        ((StatusWord & BOOT_BIT) != 0 || (TargetVersion >> 16) >= 2);
  if (useImage && BurnImage(file, path)) {
    ok = true;
  } else if (!useImage || (IsOpen() && (!ImageState.Failed || ContinueAfterImageFailure()))) {
    ok = FlashContainerTarget(path, file, target, info.Signature);
  }
  AfterProgramming(ok);
  return ok;
}

bool RealUSBDevice::FlashContainerTarget(const char* path, const std::vector<uint8_t>& file,
                                         const ContainerTarget& target, uint32_t signature) {
  // A failed exchange of the image path blocks every later one until the
  // session is set up again.
  if (ErrorEvent.Wait(0) && !SetExchange()) return false;
  if ((StatusWord & BOOT_BIT) == 0 && !ResetTarget()) return false;
  if (!Reconnect()) return false;
  // The working form of the instrument's file name is the name as received,
  // so no file of another name replaces the loaded one.
  Log("Loading target: \"%s\"\n", path);

  const uint32_t total = static_cast<uint32_t>(target.Length);
  uint64_t remaining = target.Length;
  const uint8_t* at = file.data() + target.Offset;
  while (remaining != 0) {
    ContainerBlock block;
    uint64_t overshoot = 0;
    if (ReadContainerBlock(at, remaining, block, overshoot) != BlockCheck::kGood) {
      Error("Invalid '%s' file format: %d\n", path, static_cast<int>(overshoot));
      return false;
    }
    BeginCommand(FLASH_BLOCK).PutU32(block.Word).PutU32(block.Length);
    PutBytes(at + block.PayloadOffset, static_cast<uint32_t>(block.SendSize())).Exchange();
    uint32_t status = 0;
    if (WasError || ReplyCode == kUnrecognizedCommand) {
      Log("Error: %s\n", LastError.Text() != nullptr ? LastError.Text() : "");
      return false;
    }
    if (!TakeU32(status)) {
      Log("Error: %s\n", FailureText.Text() != nullptr ? FailureText.Text() : "");
      return false;
    }
    Log("%s\n", FlashStatusName(status));
    if (status != FLASH_OK) {
      Log("Error programming flash\n");
      return false;
    }
    at += block.Size;
    remaining -= block.Size;
    ReportProgress(total, total - static_cast<uint32_t>(remaining));
  }
  ReportProgress(total, total);
  return WriteSignature(signature);
}

bool RealUSBDevice::ProgramIntelHex(const char* path) {
  Log("Loading target: \"%s\"\n", path);
  std::vector<uint8_t> text;
  if (!LoadWholeFile(path, text)) {
    Error("Failed to open firmware file \"%s\"", path);
    return false;
  }
  // The whole file is read before the instrument is touched: a broken file
  // leaves it running its target.
  SMemoryCache cache(*this);
  HexReport report;
  const bool read =
      ReadIntelHex(reinterpret_cast<const char*>(text.data()), text.size(), cache, report);
  for (const uint32_t line : report.ChecksumMismatch)
    Error("%s", HexChecksumText(line, path).c_str());
  if (!read) {
    Error("%s", HexErrorText(report, path).c_str());
    return false;
  }
  if ((StatusWord & BOOT_BIT) == 0 && !ResetTarget()) return false;
  BeforeProgramming();
  const bool ok = FlashIntelHex(path, cache);
  AfterProgramming(ok);
  return ok;
}

bool RealUSBDevice::FlashIntelHex(const char* path, SMemoryCache& cache) {
  InformLoader();
  if (!Reinitialize() || !SetExchange()) return false;
  if (WasError || !cache.Flush()) return false;
  const uint32_t signature = PTimeStamp::FromFile(path).localDos;
  return WriteSignature(signature) && GetStatus();
}

bool RealUSBDevice::WriteFlash(uint32_t address, uint32_t length, const void* data) {
  Log("Writing Flash: Addr = %08X, len = %u...\n", address, length);
  BeginCommand(LOAD_TARGET).PutU32(address).PutU32(length).PutBytes(data, length).Exchange();
  if (WasError || ReplyCode == kUnrecognizedCommand) {
    Log("Target programming failed: %s", LastError.Text() != nullptr ? LastError.Text() : "");
    WasError = true;
    return false;
  }
  uint32_t status = 0;
  if (!TakeU32(status)) return false;
  Log("%s\n", FlashStatusName(status));
  if (status != FLASH_OK) WasError = true;
  return status == FLASH_OK;
}

bool RealUSBDevice::WriteSignature(uint32_t signature) {
  BeginCommand(WR_SIGNAT).PutU32(signature).Exchange();
  uint32_t status = 0;
  if (WasError || !TakeU32(status)) return false;
  Log("%s\n", FlashStatusName(status));
  return status == FLASH_OK;
}

uint32_t RealUSBDevice::ChooseTarget(uint32_t /*previous*/) {
  ChosenTarget = 0;
  return 0;
}

void RealUSBDevice::BeforeProgramming() {}
void RealUSBDevice::ReportProgress(uint32_t /*total*/, uint32_t /*done*/) {}
void RealUSBDevice::AfterProgramming(bool /*ok*/) {}
void RealUSBDevice::BeforeBurn() {}
void RealUSBDevice::AfterBurn(bool /*ok*/) {}
bool RealUSBDevice::ContinueAfterImageFailure() {
  return true;
}
