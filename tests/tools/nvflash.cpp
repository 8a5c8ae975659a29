// nvflash run in-process against simulated instruments: packing files,
// programming by image upload and through the flash, and the failure exits.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "nvflash.h"
#include "support/simulator_test.h"

namespace {

constexpr uint32_t kLoadTarget = 0x80000103;

struct Outcome {
  int code = -1;
  std::string out, err;
};

std::string Drain(FILE* file) {
  std::string text;
  std::rewind(file);
  char piece[4096];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, file)) != 0)
    text.append(piece, got);
  std::fclose(file);
  return text;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return bytes;
}

// Intel HEX text of `bytes` at `address` (16-byte lines under one 64 KiB
// base), ended by an end-of-file record.
std::string HexText(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::string text;
  char line[64];
  std::snprintf(line, sizeof line, ":02000004%04X%02X\n", address >> 16,
                (0x100 - ((6 + (address >> 24) + ((address >> 16) & 0xFF)) & 0xFF)) & 0xFF);
  text += line;
  for (size_t i = 0; i < bytes.size(); i += 16) {
    const size_t n = std::min<size_t>(16, bytes.size() - i);
    const uint32_t at = (address + static_cast<uint32_t>(i)) & 0xFFFF;
    unsigned sum = static_cast<unsigned>(n + (at >> 8) + (at & 0xFF));
    std::snprintf(line, sizeof line, ":%02zX%04X00", n, at);
    text += line;
    for (size_t k = 0; k < n; ++k) {
      std::snprintf(line, sizeof line, "%02X", bytes[i + k]);
      text += line;
      sum += bytes[i + k];
    }
    std::snprintf(line, sizeof line, "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    text += line;
  }
  return text + ":00000001FF\n";
}

class NvflashTest : public testsupport::SimulatorTest {
 protected:
  NvflashTest() : testsupport::SimulatorTest("/tmp/nvf", 100, false) {}

  Outcome Run(const std::vector<std::string>& args) {
    nvflash::Console console;
    console.out = std::tmpfile();
    console.err = std::tmpfile();
    Outcome outcome;
    outcome.code = nvflash::Run(args, console);
    outcome.out = Drain(console.out);
    outcome.err = Drain(console.err);
    return outcome;
  }

  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + "nvflash_" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string File(const std::string& name, const std::vector<uint8_t>& bytes) {
    return File(name, std::string(bytes.begin(), bytes.end()));
  }

  nvsim::Simulator::Id Instrument(const std::string& serial, nvsim::InstrumentConfig config = {}) {
    config.publicArea.prodSerNumber = serial;
    return AddInstrument(std::move(config));
  }

  std::vector<uint8_t> Flash(nvsim::Simulator::Id id, uint32_t address, size_t size) {
    return sim_->ReadFlash(id, address, static_cast<uint32_t>(size));
  }
};

TEST_F(NvflashTest, PackedContainerIsProgrammedByImageUploadAndByFlash) {
  const std::vector<uint8_t> data = Pattern(5000, 3);
  const std::string container = ::testing::TempDir() + "nvflash_packed.trg";
  const Outcome packed = Run({"pack", "--output", container, "--signature", "0x5B8A6C21",
                              "--version", "2.03", File("data.bin", data) + "@0x1000"});
  ASSERT_EQ(packed.code, nvflash::kExitOk) << packed.err;

  nvsim::InstrumentConfig noImage;
  noImage.imageSupport = false;
  const auto byImage = Instrument("NV-IMAGE");
  const auto byFlash = Instrument("NV-FLASH", noImage);
  for (const auto id : {byImage, byFlash}) {
    const Outcome run = Run({"program", "--path", Path(id), container});
    EXPECT_EQ(run.code, nvflash::kExitOk) << run.out << run.err;
    EXPECT_NE(run.out.find("Signature after:  5B8A6C21"), std::string::npos) << run.out;
    EXPECT_EQ(Flash(id, 0x1000, data.size()), data);
    EXPECT_EQ(State(id).signature, 0x5B8A6C21u);
  }
  EXPECT_EQ(State(byImage).burns, 1u);
  EXPECT_EQ(State(byFlash).burns, 0u);
}

TEST_F(NvflashTest, HexFileIsProgrammedThroughTheFlashWithJsonEvents) {
  const std::vector<uint8_t> data = Pattern(3000, 9);
  nvsim::InstrumentConfig config;
  config.targetVersion = 0x00010002;  // an older target: no image upload
  const auto id = Instrument("NV-HEX", config);
  const Outcome run =
      Run({"program", "--json", "--serial", "NV-HEX", File("data.hex", HexText(0x00012000, data))});
  EXPECT_EQ(run.code, nvflash::kExitOk) << run.err;
  EXPECT_EQ(Flash(id, 0x00012000, data.size()), data);
  EXPECT_NE(run.out.find("{\"event\": \"phase\", \"phase\": \"flash\"}"), std::string::npos);
  EXPECT_NE(run.out.find("\"done\": 3000, \"total\": 3000"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("{\"event\": \"result\", \"ok\": true, \"exit_code\": 0"),
            std::string::npos);
}

TEST_F(NvflashTest, ChosenTargetOfAMultiTargetFileIsProgrammed) {
  const std::vector<uint8_t> first = Pattern(700, 1);
  const std::vector<uint8_t> second = Pattern(900, 2);
  const std::string container = ::testing::TempDir() + "nvflash_multi.trg";
  ASSERT_EQ(Run({"pack", "-o", container, "--target", "main", File("a.bin", first) + "@0x100",
                 "--target", "aux", File("b.bin", second) + "@0x4000"})
                .code,
            nvflash::kExitOk);
  nvsim::InstrumentConfig noImage;
  noImage.imageSupport = false;
  const auto id = Instrument("NV-MULTI", noImage);
  const Outcome run = Run({"program", "--serial", "NV-MULTI", "--target", "1", container});
  EXPECT_EQ(run.code, nvflash::kExitOk) << run.err;
  EXPECT_NE(run.out.find("Target #1: \"aux\""), std::string::npos) << run.out;
  EXPECT_EQ(Flash(id, 0x4000, second.size()), second);
  EXPECT_EQ(Flash(id, 0x100, 4), std::vector<uint8_t>(4, 0xFF));  // target 0 left alone
}

TEST_F(NvflashTest, FailureExitsSayWhatHappenedAndARetrySucceeds) {
  const std::vector<uint8_t> data = Pattern(4000, 5);
  nvsim::InstrumentConfig config;
  config.targetVersion = 0x00010002;
  nvsim::Fault fault;
  fault.kind = nvsim::FaultKind::kStatus;
  fault.code = kLoadTarget;
  fault.skip = 1;
  fault.value = 4;  // FLASH_VERIFY at the second write
  config.faults.push_back(fault);
  const auto id = Instrument("NV-FAIL", config);
  const std::string hex = File("fail.hex", HexText(0x8000, data));

  EXPECT_EQ(Run({"program", hex}).code, nvflash::kExitUsage);
  EXPECT_EQ(Run({"program", "--serial", "NOBODY", hex}).code, nvflash::kExitNoInstrument);
  const Outcome bad = Run({"program", "--serial", "NV-FAIL", File("bad.hex", ":0400000A\n")});
  EXPECT_EQ(bad.code, nvflash::kExitBadFile);
  EXPECT_TRUE(State(id).flashWrites.empty()) << "a bad file must not touch the instrument";

  const Outcome failed = Run({"program", "--serial", "NV-FAIL", hex});
  EXPECT_EQ(failed.code, nvflash::kExitProgrammingFailed);
  EXPECT_NE(failed.out.find("FAILED"), std::string::npos);
  EXPECT_NE(failed.err.find("in its loader"), std::string::npos) << failed.err;

  const Outcome retried = Run({"program", "--serial", "NV-FAIL", hex});
  EXPECT_EQ(retried.code, nvflash::kExitOk) << retried.err;
  EXPECT_EQ(Flash(id, 0x8000, data.size()), data);
}

TEST_F(NvflashTest, ListShowsEachInstrumentWithItsSignatureRecord) {
  nvsim::InstrumentConfig config;
  config.signature = 0x5B8A6C21;
  config.signatureFile = "fw.trg";
  Instrument("NV-LIST", config);
  const Outcome text = Run({"list"});
  EXPECT_EQ(text.code, nvflash::kExitOk);
  EXPECT_NE(text.out.find("serial       NV-LIST"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("signature    5B8A6C21 ("), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("file \"fw.trg\""), std::string::npos);
  const Outcome json = Run({"list", "--json"});
  EXPECT_NE(json.out.find("\"serial\": \"NV-LIST\""), std::string::npos) << json.out;
  EXPECT_NE(json.out.find("\"file_name\": \"fw.trg\""), std::string::npos);
}

}  // namespace
