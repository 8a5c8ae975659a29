// The target's signature against the target file, the signature and flash
// commands, and the programming hooks. Programming a target from a file is
// not available yet: a mismatch that would need it fails with a device error.
#include <cstring>
#include <string>

#include "base/datetime.h"
#include "base/files.h"
#include "base/format.h"
#include "base/options.h"
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
  static const unsigned char kZandor[8] = {'Z', 'a', 'n', 'd', 'o', 'r', 0, 0};
  static const unsigned char kVorlinex[8] = {'V', 'o', 'r', 'l', 'i', 'n', 'e', 'x'};
  return size >= 8 && (std::memcmp(head, kZandor, 8) == 0 || std::memcmp(head, kVorlinex, 8) == 0);
}

// Reads up to kFileHeadSize bytes; the count read, or -1 when the file does
// not open.
long ReadFileHead(const char* path, unsigned char* head) {
  PTextFile file(path, "rb", true);
  if (!file.IsOpen()) return -1;
  return static_cast<long>(file.Read(head, kFileHeadSize));
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
  const PStr stringPart =
      SignatureText.Length() != 0 ? FormatStr(", String: \"%s\"", SignatureText.Text()) : PStr("");
  Log("Signature: %08X (%s), File Name: \"%s\"%s, Status: %s\n", DeviceSignature,
      DosDateTimeText(DeviceSignature).c_str(), SignatureFileName.Text(), stringPart.c_str(),
      signatureStatus_.c_str());
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
  // Loading a target file into the instrument is not built yet.
  Error("cannot program the target from \"%s\": target programming is not available",
        fileName != nullptr ? fileName : "");
  return false;
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
