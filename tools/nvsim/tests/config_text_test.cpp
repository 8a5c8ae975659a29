// Instrument settings as text: the configuration file and --set values.
#include <gtest/gtest.h>

#include "config_text.h"

namespace nvsim {
namespace {

TEST(ConfigTextTest, ReadsAFileWithSeveralInstruments) {
  const std::string text = R"(# two instruments
root = /tmp/nvd
time_scale = 10

[instrument nv-1]
serial = NV2-000001
hwid = 0x123 0x456 0x789
buffers = 2048 512
interface = 0x0101
loader = yes
boot_version = 1.02
target_version = 0x00020005
version_suffix = b
vstring.0x203 = hex:01 02 03
vstring.3 = text:fw descriptor
vsfr.0x10 = 7
vsfr.0x11 = 300 ro
location = <none>
flash_area.7 = hex:AA:BB
fault = no-reply code=GET_VERSION skip=1 times=0
fault = split code=0x8000000B parts=3 gap=20 delay=5
script = SET_EXCHANGE late delay=100
script = any

; second
[instrument nv-2]
description = Norvane spare
signature_status = 10 00
)";
  SimulatorSetup setup;
  std::string error;
  ASSERT_TRUE(ParseSetupText(text, setup, error)) << error;
  EXPECT_EQ(setup.root, "/tmp/nvd");
  EXPECT_EQ(setup.timeScale, 10);
  ASSERT_EQ(setup.instruments.size(), 2u);
  const InstrumentConfig& a = setup.instruments[0];
  EXPECT_EQ(a.name, "nv-1");
  EXPECT_EQ(a.publicArea.prodSerNumber, "NV2-000001");
  EXPECT_EQ(a.hwId[0], 0x123u);
  EXPECT_EQ(a.hwId[2], 0x789u);
  EXPECT_EQ(a.inBufferSize, 2048);
  EXPECT_EQ(a.outBufferSize, 512);
  EXPECT_EQ(a.interfaceWord, 0x0101u);
  EXPECT_TRUE(a.loader);
  EXPECT_EQ(a.bootVersion, 0x00010002u);
  EXPECT_EQ(a.targetVersion, 0x00020005u);
  EXPECT_EQ(a.versionSuffix, u"b");
  ASSERT_EQ(a.strings.size(), 2u);
  EXPECT_EQ(a.strings[0].id, 0x203u);
  EXPECT_EQ(a.strings[0].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(std::string(a.strings[1].data.begin(), a.strings[1].data.end()), "fw descriptor");
  ASSERT_EQ(a.registers.size(), 2u);
  EXPECT_TRUE(a.registers[0].writable);
  EXPECT_FALSE(a.registers[1].writable);
  EXPECT_EQ(a.registers[1].value, 300u);
  EXPECT_FALSE(a.location.has_value());
  EXPECT_EQ(a.flashAreas.at(7), (std::vector<uint8_t>{0xAA, 0xBB}));
  ASSERT_EQ(a.faults.size(), 2u);
  EXPECT_EQ(a.faults[0].kind, FaultKind::kNoReply);
  EXPECT_EQ(a.faults[0].code, 0x8000000Au);
  EXPECT_EQ(a.faults[0].skip, 1u);
  EXPECT_EQ(a.faults[0].times, 0u);
  EXPECT_EQ(a.faults[1].kind, FaultKind::kSplit);
  EXPECT_EQ(a.faults[1].value, 3u);
  EXPECT_EQ(a.faults[1].gapMs, 20u);
  EXPECT_EQ(a.faults[1].delayMs, 5u);
  ASSERT_EQ(a.script.size(), 2u);
  EXPECT_EQ(a.script[0].code, 0x80000007u);
  EXPECT_EQ(a.script[0].faults.at(0).delayMs, 100u);
  EXPECT_EQ(a.script[1].code, 0u);
  EXPECT_TRUE(a.script[1].faults.empty());
  EXPECT_EQ(setup.instruments[1].description, "Norvane spare");
  EXPECT_EQ(setup.instruments[1].signatureStatus, (std::vector<uint8_t>{0x10, 0x00}));
}

TEST(ConfigTextTest, ErrorsNameTheLine) {
  SimulatorSetup setup;
  std::string error;
  EXPECT_FALSE(ParseSetupText("[instrument a]\nhwid = 1 2\n", setup, error));
  EXPECT_EQ(error.rfind("line 2:", 0), 0u) << error;
  EXPECT_FALSE(ParseSetupText("serial = x\n", setup, error));
  EXPECT_NE(error.find("before the first [instrument]"), std::string::npos);
  EXPECT_FALSE(ParseSetupText("[instrument a]\n\nnosuchkey = 1\n", setup, error));
  EXPECT_EQ(error, "line 3: unknown key \"nosuchkey\"");
  EXPECT_FALSE(ParseSetupText("[nv-1]\n", setup, error));
  EXPECT_FALSE(ParseSetupText("[instrument a]\nbuffers = 70000 1\n", setup, error));
  EXPECT_FALSE(ParseSetupText("[instrument a]\nstatus = -1\n", setup, error));
}

TEST(ConfigTextTest, FaultsAndBytes) {
  Fault fault;
  std::string error;
  ASSERT_TRUE(ParseFault("unplug code=RD_VIRT_STRING delay=10 replug=never", fault, error));
  EXPECT_EQ(fault.kind, FaultKind::kUnplug);
  EXPECT_EQ(fault.code, 0x80000826u);
  EXPECT_EQ(fault.replugMs, kNever);
  ASSERT_TRUE(ParseFault("raw bytes=0400000006000080", fault, error));
  EXPECT_EQ(fault.bytes, (std::vector<uint8_t>{4, 0, 0, 0, 6, 0, 0, 0x80}));
  EXPECT_EQ(fault.code, 0u) << "nothing is left of the fault parsed before";
  ASSERT_TRUE(ParseFault("status code=0x80000106 at=0x10000 value=9", fault, error));
  EXPECT_EQ(fault.kind, FaultKind::kStatus);
  EXPECT_EQ(fault.code, 0x80000106u);
  EXPECT_EQ(fault.at, 0x10000u);
  EXPECT_TRUE(fault.bytes.empty());
  EXPECT_FALSE(ParseFault("explode", fault, error));
  EXPECT_FALSE(ParseFault("late delay", fault, error));
  EXPECT_FALSE(ParseFault("late code=NO_SUCH", fault, error));
  EXPECT_FALSE(ParseFault("late colour=red", fault, error));

  InstrumentConfig config;
  ASSERT_TRUE(ApplySetting(config, "version_suffix", "\xCE\xB2-\xF0\x9F\x98\x80", error));
  EXPECT_EQ(config.versionSuffix, (std::u16string{0x03B2, u'-', 0xD83D, 0xDE00}));
  EXPECT_FALSE(ApplySetting(config, "version_suffix", "\xCE", error));      // cut off
  EXPECT_FALSE(ApplySetting(config, "version_suffix", "\xC0\xAF", error));  // overlong

  std::vector<uint8_t> bytes;
  EXPECT_TRUE(ParseHexBytes("de:AD,be ef", bytes));
  EXPECT_EQ(bytes, (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
  EXPECT_FALSE(ParseHexBytes("abc", bytes));
  EXPECT_FALSE(ParseHexBytes("a bc", bytes));
  EXPECT_FALSE(ParseHexBytes("zz", bytes));
}

}  // namespace
}  // namespace nvsim
