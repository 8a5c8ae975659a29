// Programming a simulated instrument from target files: image upload and
// burn, flash programming from container and Intel HEX files, the hooks, and
// files that are missing or broken.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "base/datetime.h"
#include "base/log.h"
#include "base/options.h"
#include "protocol/firmware.h"
#include "protocol/support/harness.h"

using namespace prototest;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kOldSignature = 0x5A816000;  // what the instrument reports at first
constexpr uint32_t kNewSignature = 0x5B8A6C21;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

// Data for one target: runs of bytes at flash addresses.
struct Segment {
  uint32_t address;
  Bytes bytes;
};

PackTarget TargetOf(const std::string& name, const std::vector<Segment>& runs) {
  PackTarget target;
  target.Name = name;
  for (const Segment& run : runs)
    target.Data.Add(run.address, run.bytes.data(), static_cast<uint32_t>(run.bytes.size()));
  return target;
}

Bytes Pack(ContainerKind kind, const std::vector<PackTarget>& targets,
           uint32_t signature = kNewSignature) {
  PackSettings settings;
  settings.Kind = kind;
  settings.Signature = signature;
  settings.Product = "NV-1000";
  settings.VersionMajor = 2;
  settings.VersionMinor = 7;
  Bytes file;
  std::string reason;
  EXPECT_TRUE(PackContainer(settings, targets, file, reason)) << reason;
  return file;
}

// A single-target file of exactly 1000 bytes: one block of 416 payload bytes
// whose payload starts 20 bytes into the block.
Bytes ThousandByteFile(const Segment& run) {
  Bytes file = Pack(ContainerKind::kZandor, {TargetOf("", {run})});
  EXPECT_EQ(file.size(), 996u);
  file.insert(file.begin() + 52 + 12, 4, 0);
  file[52] = 20;
  return file;
}

class FirmwareTest : public ProtocolTest {
 protected:
  // Adds the instrument and opens a programming device on it, identified
  // without a signature check; the log is cleared afterwards.
  std::unique_ptr<FirmwareDevice> Open(nvsim::InstrumentConfig config = {}) {
    // The start of the target, and the burn, wait this long before the
    // instrument is looked for again: enough for a busy simulator to have
    // dropped off the bus by then (on the dilated clock 20-30 real ms).
    config.publicArea.targetStartTimeOut = 3000;
    config.burnWaitMs = 2000;
    id_ = AddInstrument(std::move(config));
    FirmwareHooks hooks;
    hooks.Progress = [this](uint32_t total, uint32_t done) { progress_.emplace_back(total, done); };
    hooks.ChooseTarget = [this](const std::vector<std::string>& names, uint32_t) {
      names_ = names;
      return choice_;
    };
    hooks.BeforeProgramming = [this] { events_ += "before;"; };
    hooks.AfterProgramming = [this](bool ok) { events_ += ok ? "after ok;" : "after failed;"; };
    hooks.BeforeBurn = [this] { events_ += "burn;"; };
    hooks.AfterBurn = [this](bool ok) { events_ += ok ? "burnt ok;" : "burnt failed;"; };
    hooks.ContinueAfterImageFailure = [this] {
      events_ += "continue?;";
      return continueAfterFailure_;
    };
    auto device = std::make_unique<FirmwareDevice>(Path(id_).c_str(), std::move(hooks));
    EXPECT_TRUE(device->IsOpen());
    EXPECT_TRUE(device->Identify()) << LogText();
    ClearLog();
    return device;
  }

  std::string WriteFile(const std::string& name, const Bytes& bytes) {
    const std::string path = root_ + "/" + name;
    FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path;
    if (file == nullptr) return path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    return path;
  }
  std::string WriteFile(const std::string& name, const std::string& text) {
    return WriteFile(name, Bytes(text.begin(), text.end()));
  }

  // The instrument's flash holds the runs and RD_SIGNAT the signature.
  void ExpectProgrammed(RealUSBDevice& device, const std::vector<Segment>& runs,
                        uint32_t signature) {
    for (const Segment& run : runs)
      EXPECT_EQ(sim_->ReadFlash(id_, run.address, static_cast<uint32_t>(run.bytes.size())),
                run.bytes)
          << std::hex << run.address;
    ASSERT_TRUE(device.ReadSignatureRecord());
    EXPECT_EQ(device.DeviceSignature, signature);
    EXPECT_EQ(State(id_).signature, signature);
  }

  // Lengths of the instrument's flash writes of one command.
  std::vector<uint32_t> FlashWriteLengths(uint32_t code) {
    std::vector<uint32_t> lengths;
    for (const nvsim::FlashWrite& write : State(id_).flashWrites)
      if (write.code == code) lengths.push_back(write.length);
    return lengths;
  }

  std::vector<std::pair<uint32_t, uint32_t>> progress_;
  std::vector<std::string> names_;
  std::string events_;
  uint32_t choice_ = 0;
  bool continueAfterFailure_ = true;
};

// The 1000-byte image in chunks of 256, the closing write, the burn wait
// with its progress calls, and the instrument back with the new target.
TEST_F(FirmwareTest, ImageIsStagedInChunksBurntAndTheInstrumentReconnected) {
  const Segment run{0x4000, Pattern(416, 1)};
  const std::string path = WriteFile("fw.trg", ThousandByteFile(run));
  auto device = Open();
  ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();

  std::vector<std::pair<uint32_t, uint32_t>> writes;
  for (const nvsim::ImageWrite& write : State(id_).imageWrites) {
    writes.emplace_back(write.offset, write.n);
    EXPECT_EQ(write.error, 0u);
    EXPECT_EQ(write.signature, kNewSignature);
  }
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {0, 256}, {256, 256}, {512, 256}, {768, 232}, {1000, 0}};
  EXPECT_EQ(writes, expected);
  EXPECT_EQ(State(id_).burns, 1u);
  ExpectProgrammed(*device, {run}, kNewSignature);
  EXPECT_EQ(events_, "before;burn;burnt ok;after ok;");

  const std::string log = LogText();
  for (const char* line :
       {"Continuing to upload the firmware image from offset 0\n",
        "Uploading target FW image \"" /* path follows */,
        "--- Uploading FW Image to device: Total bytes = 1000, already loaded: 0 ---\n",
        "FW Image: Writing 232 bytes at offset 768\n", "Ready to burn the firmware image\n",
        "--- Burning FW Image: Signat = 5B8A6C21 (", "index = 0 ---\n",
        "Closing device handle\nWaiting 2000 ms...\n"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(Received(FW_IMAGE_GET_INFO).size(), 2u);  // the first query and the fresh one
  EXPECT_EQ(Received(FLASH_BLOCK).size(), 0u);

  // About 100 progress calls over the burn wait, ending with the whole wait.
  size_t burnCalls = 0;
  for (const auto& [total, done] : progress_) {
    EXPECT_EQ(total, 2000u);
    EXPECT_LE(done, 2000u);
    ++burnCalls;
  }
  EXPECT_GE(burnCalls, 95u);
  EXPECT_LE(burnCalls, 102u);
  ASSERT_FALSE(progress_.empty());
  EXPECT_EQ(progress_.back(), std::make_pair(2000u, 2000u));
}

// What the instrument already holds decides where the upload starts.
TEST_F(FirmwareTest, StagedImageIsContinuedCompletedOrRestarted) {
  const Segment run{0x4000, Pattern(416, 2)};
  const Bytes file = ThousandByteFile(run);
  const Bytes other = ThousandByteFile({0x4000, Pattern(416, 3)});
  struct Case {
    nvsim::StagedImage staged;
    const char* line;
    std::vector<uint32_t> offsets;  // of the writes, the closing one included
  };
  nvsim::StagedImage foreign = nvsim::StagedImage::Prefix(other, 512);
  foreign.signature = 0x11111111;
  foreign.bytes[12] = 0x11;
  Bytes tooMany = file;
  tooMany.resize(1100, 0);
  const nvsim::StagedImage longer = nvsim::StagedImage::Prefix(tooMany, 1100);
  const Case cases[] = {
      {nvsim::StagedImage::Prefix(file, 512),
       "Firmware image signature match, CRC32 match\n"
       "Continuing to upload the firmware image from offset 512\n",
       {512, 768, 1000}},
      {nvsim::StagedImage::Prefix(file, file.size()),
       "Firmware image signature match, CRC32 match\nReady to burn the firmware image\n",
       {}},
      {nvsim::StagedImage::Prefix(file, 512, true),
       "Firmware image signature match, CRC32 mismatch, resetting\n"
       "Continuing to upload the firmware image from offset 0\n",
       {0, 256, 512, 768, 1000}},
      {foreign,
       "Firmware image signature mismatch, resetting"
       "Continuing to upload the firmware image from offset 0\n",
       {0, 256, 512, 768, 1000}},
      {longer,
       "Firmware image signature match, invalid loaded byte count, resetting\n"
       "Continuing to upload the firmware image from offset 0\n",
       {0, 256, 512, 768, 1000}},
  };
  for (const Case& c : cases) {
    nvsim::InstrumentConfig config;
    config.staged = c.staged;
    auto device = Open(config);
    const std::string path = WriteFile("fw.trg", file);
    ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();
    std::vector<uint32_t> offsets;
    for (const nvsim::ImageWrite& write : State(id_).imageWrites)
      offsets.push_back(write.offset);
    EXPECT_EQ(offsets, c.offsets) << c.line;
    EXPECT_NE(LogText().find(c.line), std::string::npos) << LogText();
    // A complete image needs no fresh query: one query, then the update.
    EXPECT_EQ(Received(FW_IMAGE_GET_INFO).size(), c.offsets.empty() ? 1u : 2u);
    EXPECT_EQ(Received(FW_IMAGE_UPDATE).size(), 1u);
    ExpectProgrammed(*device, {run}, kNewSignature);
    ClearLog();
  }
}

// Without image support, or with the "nfw" option, the blocks go one by one
// through the loader.
TEST_F(FirmwareTest, FlashProgrammingWhenImagesCannotBeUsed) {
  const std::vector<Segment> runs = {{0x10000, Pattern(2500, 4)}, {0x20000, Pattern(10, 5)}};
  const Bytes file = Pack(ContainerKind::kZandor, {TargetOf("", runs)});
  for (const bool noImageOption : {false, true}) {
    nvsim::InstrumentConfig config;
    config.imageSupport = noImageOption;
    auto device = Open(config);
    g_OptionWord = noImageOption ? uint64_t{kOptNoFirmwareImage} : 0;
    g_TraceLevel = 1;
    progress_.clear();
    const std::string path = WriteFile("fw.trg", file);
    ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();
    g_TraceLevel = 0;
    ExpectProgrammed(*device, runs, kNewSignature);
    EXPECT_EQ(FlashWriteLengths(FLASH_BLOCK), (std::vector<uint32_t>{1024, 1024, 452, 10}));
    EXPECT_EQ(Received(FW_IMAGE_UPDATE).size(), 0u);
    EXPECT_EQ(Received(FW_IMAGE_GET_INFO).size(), noImageOption ? 0u : 1u);
    EXPECT_FALSE(State(id_).loader);  // the target was started again

    const std::string log = LogText();
    EXPECT_EQ(log.find("Uploading target FW image"), std::string::npos);
    EXPECT_NE(log.find("Loading target: \"" + path + "\"\n"), std::string::npos) << log;
    EXPECT_NE(log.find(".80000106: 1552]"), std::string::npos) << log;  // traced by its code
    EXPECT_EQ(CountOf(log, "FLASH_OK\n"), 6u);  // four blocks, the signature, the start
    const uint32_t total = static_cast<uint32_t>(file.size() - 52);
    ASSERT_EQ(progress_.size(), 5u);
    EXPECT_EQ(progress_[0], std::make_pair(total, 1552u));
    EXPECT_EQ(progress_[3], std::make_pair(total, total));
    EXPECT_EQ(progress_[4], std::make_pair(total, total));
    EXPECT_EQ(events_, "before;after ok;");
    events_.clear();
  }
}

TEST_F(FirmwareTest, MultiTargetFileProgramsTheChosenTarget) {
  const std::vector<Segment> mainRuns = {{0x10000, Pattern(300, 6)}};
  const std::vector<Segment> auxRuns = {{0x30000, Pattern(40, 7)}};
  const Bytes file =
      Pack(ContainerKind::kVorlinex, {TargetOf("main", mainRuns), TargetOf("aux", auxRuns)});
  const std::string path = WriteFile("multi.trg", file);
  const Bytes erased(300, 0xFF);
  for (const bool image : {true, false}) {
    nvsim::InstrumentConfig config;
    config.imageSupport = image;
    auto device = Open(config);
    choice_ = 1;
    ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();
    EXPECT_EQ(names_, (std::vector<std::string>{"main", "aux"}));
    EXPECT_NE(LogText().find("Chosen target #1: \"aux\"\n"), std::string::npos);
    if (image) {
      EXPECT_NE(LogText().find("index = 1 ---\n"), std::string::npos) << LogText();
    }
    ExpectProgrammed(*device, auxRuns, kNewSignature);
    EXPECT_EQ(sim_->ReadFlash(id_, 0x10000, 300), erased);  // the other target is not written

    // A one-target file after that: the index left from the last choice is
    // reported and target 0 is used.
    const std::string single =
        WriteFile("single.trg", Pack(ContainerKind::kVorlinex, {TargetOf("only", mainRuns)}));
    ASSERT_TRUE(device->ProgramFile(single.c_str())) << LogText() << ErrorText();
    EXPECT_NE(ErrorText().find("Chosen multi-target index 1 is invalid, only 1 target(s) "
                               "available. Please contact developers"),
              std::string::npos)
        << ErrorText();
    ExpectProgrammed(*device, mainRuns, kNewSignature);

    // An index the file does not have stops before anything is sent.
    choice_ = 5;
    ClearLog();
    events_.clear();
    const uint64_t commands = State(id_).commands;
    EXPECT_FALSE(device->ProgramTarget(path.c_str()));
    EXPECT_NE(LogText().find("Invalid multi-target index 5"), std::string::npos) << LogText();
    EXPECT_EQ(State(id_).commands, commands);
    EXPECT_EQ(events_, "");
  }
}

// A file that is missing, not a container and not HEX, or whose header or
// blocks do not fit: reported, and nothing reaches the instrument.
TEST_F(FirmwareTest, BadFilesAreReportedBeforeAnythingIsSent) {
  auto device = Open();
  const Bytes good = Pack(ContainerKind::kZandor, {TargetOf("", {{0x1000, Pattern(100, 8)}})});
  Bytes cut(good.begin(), good.end() - 100);
  Bytes table = Pack(ContainerKind::kVorlinex, {TargetOf("a", {{0x1000, Pattern(8, 9)}})});
  table[52 + 260] = 0xFF;  // the target's length runs past the file
  const std::string missing = root_ + "/none.trg";
  const struct {
    std::string path;
    std::string error;
  } cases[] = {
      {WriteFile("cut.trg", cut), "Invalid '" + root_ + "/cut.trg' file format: 100\n"},
      {WriteFile("table.trg", table),
       "Invalid '" + root_ + "/table.trg' target file: the targets'"},
      {WriteFile("junk.trg", std::string("\x01\x02junk\n", 7)),
       "Invalid '" + root_ + "/junk.trg' HEX file format: ':' expected in line 1"},
      {missing,
       "Failed to open neither firmware file \"" + missing + "\" nor \"" + root_ + "/none.bin\""},
      {root_ + "/none.hex", "Failed to open firmware file \"" + root_ + "/none.hex\""},
  };
  for (const auto& c : cases) {
    testsupport::ClearCapture();
    const size_t flashWrites = State(id_).flashWrites.size();
    EXPECT_FALSE(device->ProgramTarget(c.path.c_str()));
    EXPECT_NE(ErrorText().find(c.error), std::string::npos) << ErrorText();
    EXPECT_EQ(State(id_).flashWrites.size(), flashWrites);
    EXPECT_TRUE(State(id_).imageWrites.empty());
  }
  EXPECT_EQ(events_, "");
  EXPECT_FALSE(State(id_).loader);
  EXPECT_EQ(State(id_).signature, kOldSignature);
}

TEST_F(FirmwareTest, MissingTrgFileIsProgrammedFromTheBinFile) {
  const std::vector<Segment> runs = {{0x2000, Pattern(64, 10)}};
  WriteFile("fw.bin", Pack(ContainerKind::kZandor, {TargetOf("", runs)}));
  auto device = Open();
  ASSERT_TRUE(device->ProgramFile((root_ + "/fw.trg").c_str())) << LogText() << ErrorText();
  EXPECT_NE(LogText().find("Uploading target FW image \"" + root_ + "/fw.bin\""), std::string::npos)
      << LogText();
  ExpectProgrammed(*device, runs, kNewSignature);
}

// Intel HEX: merged lines, an overwrite, an end-of-file line in the middle, a
// wrong checksum, and a long record written in chunks of the output size
// less 256.
TEST_F(FirmwareTest, IntelHexFileIsMergedAndWrittenInChunks) {
  std::string text =
      ":10100000000102030405060708090A0B0C0D0E0F68\n"
      ":10101000101112131415161718191A1B1C1D1E1F58\n"
      ":00000001FF\n"
      ":04100800A0A1A2A3FF\n";  // wrong checksum (5E): reported, still written
  Bytes merged(32);
  for (int i = 0; i < 32; ++i)
    merged[i] = static_cast<uint8_t>(i);
  merged[8] = 0xA0, merged[9] = 0xA1, merged[10] = 0xA2, merged[11] = 0xA3;
  const Bytes big = Pattern(2000, 11);
  for (size_t at = 0; at < big.size(); at += 16) {
    char line[64];
    const size_t n = std::min<size_t>(16, big.size() - at);
    const uint32_t address = 0x8000 + static_cast<uint32_t>(at);
    std::snprintf(line, sizeof line, ":%02X%04X00", static_cast<unsigned>(n), address);
    std::string record = line;
    uint32_t sum = static_cast<uint32_t>(n) + (address >> 8) + (address & 0xFF);
    for (size_t i = 0; i < n; ++i) {
      std::snprintf(line, sizeof line, "%02X", big[at + i]);
      record += line;
      sum += big[at + i];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += record + line;
  }
  const std::string path = WriteFile("fw.hex", text);
  auto device = Open();
  ASSERT_EQ(device->OutBufferSize, 1024u);
  ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();

  EXPECT_NE(ErrorText().find("'" + path + "' HEX file: CRC mismatch in line 4"), std::string::npos)
      << ErrorText();
  EXPECT_EQ(FlashWriteLengths(LOAD_TARGET), (std::vector<uint32_t>{32, 768, 768, 464}));
  EXPECT_NE(LogText().find("Writing Flash: Addr = 00008300, len = 768...\n"), std::string::npos)
      << LogText();
  ExpectProgrammed(*device, {{0x1000, merged}, {0x8000, big}},
                   PTimeStamp::FromFile(path.c_str()).localDos);
  const std::vector<std::pair<uint32_t, uint32_t>> progress = {
      {2032, 32}, {2032, 800}, {2032, 1568}, {2032, 2032}};
  EXPECT_EQ(progress_, progress);
  EXPECT_EQ(events_, "before;after ok;");
}

// An image the instrument refuses to burn is programmed block by block.
TEST_F(FirmwareTest, RefusedBurnFallsBackToFlashProgramming) {
  const std::vector<Segment> runs = {{0x4000, Pattern(300, 15)}};
  nvsim::InstrumentConfig config;
  nvsim::Fault fault = FaultOf(FaultKind::kStatus, FW_IMAGE_UPDATE);
  fault.value = 10;
  config.faults.push_back(fault);
  auto device = Open(config);
  const std::string path = WriteFile("fw.trg", Pack(ContainerKind::kZandor, {TargetOf("", runs)}));
  ASSERT_TRUE(device->ProgramFile(path.c_str())) << LogText() << ErrorText();
  EXPECT_NE(LogText().find("FW Image update: Device reported an error 10"), std::string::npos);
  EXPECT_EQ(State(id_).burns, 0u);
  EXPECT_EQ(FlashWriteLengths(FLASH_BLOCK), std::vector<uint32_t>{300});
  EXPECT_EQ(events_, "before;burn;after ok;");  // no burn happened, so no AfterBurn
  ExpectProgrammed(*device, runs, kNewSignature);
}

// A failed upload falls back to flash programming unless the hook says no.
TEST_F(FirmwareTest, FailedUploadFallsBackOnlyWhenAllowed) {
  const std::vector<Segment> runs = {{0x4000, Pattern(600, 12)}};
  const Bytes file = Pack(ContainerKind::kZandor, {TargetOf("", runs)});
  for (const bool allowed : {true, false}) {
    nvsim::InstrumentConfig config;
    nvsim::Fault fault = FaultOf(FaultKind::kStatus, FW_IMAGE_WRITE);
    fault.at = 256;
    fault.value = 4;
    config.faults.push_back(fault);
    auto device = Open(config);
    continueAfterFailure_ = allowed;
    events_.clear();
    const std::string path = WriteFile("fw.trg", file);
    EXPECT_EQ(device->ProgramFile(path.c_str()), allowed) << LogText() << ErrorText();
    EXPECT_NE(LogText().find("FW_IMAGE_WRITE returned error #4\n"), std::string::npos);
    EXPECT_EQ(Received(FW_IMAGE_UPDATE).size(), 0u);
    EXPECT_EQ(events_, allowed ? "before;continue?;after ok;" : "before;continue?;after failed;");
    if (allowed) {
      ExpectProgrammed(*device, runs, kNewSignature);
    } else {
      EXPECT_TRUE(FlashWriteLengths(FLASH_BLOCK).empty());
    }
  }
}

// Identification compares the instrument's target with the file and
// programs it on a mismatch; afterwards the two match.
TEST_F(FirmwareTest, IdentificationProgramsAMismatchedTarget) {
  const std::vector<Segment> runs = {{0x6000, Pattern(200, 13)}};
  const std::string path = WriteFile("nv2.trg", Pack(ContainerKind::kZandor, {TargetOf("", runs)}));
  id_ = AddInstrument();
  RealUSBDevice device(Path(id_).c_str());
  device.TargetFilePath = path.c_str();
  ASSERT_TRUE(device.ReadIdentity()) << LogText() << ErrorText();
  const std::string log = LogText();
  const size_t mismatch = log.find("File signature mismatch, file: 5B8A6C21 (");
  const size_t version = log.find("Target file version: 2.07\n");
  const size_t match = log.find("File signature match\n");
  EXPECT_NE(mismatch, std::string::npos) << log;
  EXPECT_LT(version, mismatch);
  EXPECT_NE(match, std::string::npos);
  EXPECT_LT(mismatch, match);
  EXPECT_EQ(device.FileVersionMajor, 2);
  EXPECT_EQ(device.FileVersionMinor, 7);
  ExpectProgrammed(device, runs, kNewSignature);
}

// Every way flash programming can fail ends in failure, and the signature
// of a target that was not written whole is never written.
TEST_F(FirmwareTest, FailuresOfTheInstrumentFailTheProgramming) {
  const std::vector<Segment> runs = {{0x4000, Pattern(1500, 14)}};
  const Bytes file = Pack(ContainerKind::kZandor, {TargetOf("", runs)});
  const std::string hex = ":0400000001020304F2\n";
  struct Case {
    const char* what;
    nvsim::InstrumentConfig config;
    const char* name;
    std::string log;                     // expected in the device log
    uint32_t signature = kOldSignature;  // the instrument's afterwards
  };
  std::vector<Case> cases;
  auto withFault = [](uint32_t code, uint32_t value, uint32_t skip) {
    nvsim::InstrumentConfig config;
    config.imageSupport = false;
    nvsim::Fault fault = FaultOf(FaultKind::kStatus, code);
    fault.value = value;
    fault.skip = skip;
    config.faults.push_back(fault);
    return config;
  };
  cases.push_back({"second block refused", withFault(FLASH_BLOCK, FLASH_VERIFY, 1), "fw.trg",
                   "FLASH_OK\nFLASH_VERIFY\nError programming flash\n"});
  cases.push_back(
      {"signature refused", withFault(WR_SIGNAT, FLASH_SIGN_ER, 0), "fw.trg", "FLASH_SIGN_ER\n"});
  cases.push_back({"HEX data refused", withFault(LOAD_TARGET, FLASH_INV_ADDR, 0), "fw.hex",
                   "FLASH_INV_ADDR\n"});
  nvsim::InstrumentConfig unknownBlock;
  unknownBlock.imageSupport = false;
  unknownBlock.faults.push_back(FaultOf(FaultKind::kUnrecognized, FLASH_BLOCK));
  cases.push_back({"block command unknown", unknownBlock, "fw.trg",
                   "Error: Target reports unrecognized command 80000106\n"});
  nvsim::InstrumentConfig unknownLoad;
  unknownLoad.faults.push_back(FaultOf(FaultKind::kUnrecognized, LOAD_TARGET));
  cases.push_back({"LOAD_TARGET unknown", unknownLoad, "fw.hex",
                   "Target programming failed: Target reports unrecognized command LOAD_TARGET"});
  nvsim::InstrumentConfig noChunk;
  noChunk.imageChunk = 0;
  cases.push_back({"chunk size 0", noChunk, "fw.trg",
                   "FW_IMAGE_GET_INFO reported a chunk size of 0: nothing can be written\n"});
  nvsim::InstrumentConfig gone;
  gone.burnAwayMs = nvsim::kNever;
  // The burn itself succeeded: the instrument took the new signature.
  cases.push_back(
      {"never back after the burn", gone, "fw.trg", "Re-initialization failed\n", kNewSignature});

  for (Case& c : cases) {
    auto device = Open(c.config);
    continueAfterFailure_ = false;
    events_.clear();
    const std::string path =
        WriteFile(c.name, std::string(c.name) == "fw.hex" ? Bytes(hex.begin(), hex.end()) : file);
    EXPECT_FALSE(device->ProgramTarget(path.c_str())) << c.what;
    EXPECT_NE(LogText().find(c.log), std::string::npos) << c.what << "\n" << LogText();
    EXPECT_EQ(events_.substr(events_.size() - 13), "after failed;") << c.what << ": " << events_;
    EXPECT_EQ(State(id_).signature, c.signature) << c.what;
    ClearLog();
  }
}

}  // namespace
