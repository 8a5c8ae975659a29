// Session set-up and identification against simulated instruments.
#include <string>

#include "base/log.h"
#include "base/numbers.h"
#include "platform/time.h"
#include "protocol/support/harness.h"
#include "usb/source_names.h"

using namespace prototest;
using nvsim::FaultKind;

namespace {

class IdentityTest : public ProtocolTest {};

TEST_F(IdentityTest, SetExchangeOfSixteenBytesHasNoInterfaceText) {
  nvsim::InstrumentConfig config;
  config.inBufferSize = 2048;
  config.outBufferSize = 512;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->SetExchange());
  EXPECT_EQ(device->IfReady, 1u);
  EXPECT_EQ(device->IfType, 0u);
  EXPECT_FALSE(device->InterfaceWordReceived);
  EXPECT_EQ(device->LastBytesReturned, 16u);
  EXPECT_EQ(device->TargetId, NV2_TRG_ID);
  EXPECT_EQ(device->InBufferSize, 2048u);
  EXPECT_EQ(device->OutBufferSize, 512u);
  EXPECT_EQ(LogText(),
            "SET_EXCHANGE: TargetId = NV2_TRG_ID, In buffer size: 2048, Out buffer size: 512\n");
  EXPECT_TRUE(device->RetryEnabled);  // restored
}

TEST_F(IdentityTest, SetExchangeWithInterfaceWord) {
  nvsim::InstrumentConfig config;
  config.interfaceWord = 0x0200;  // IF_READY 0, IF_TYPE BLE_IF
  config.targetId = 0x12345678;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->SetExchange());
  EXPECT_EQ(device->IfReady, 0u);
  EXPECT_EQ(device->IfType, 2u);
  EXPECT_EQ(LogText(),
            "SET_EXCHANGE: TargetId = 12345678, In buffer size: 1024, Out buffer size: 1024, "
            "IF_READY = 0, IF_TYPE = BLE_IF\n");
}

TEST_F(IdentityTest, SetExchangeSecondTryAfterTwoSeconds) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, SET_EXCHANGE));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->NoDebugTraceOnError = true;
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->SetExchange()) << LogText();
  const uint32_t elapsed = DilatedSince(start);
  EXPECT_GE(elapsed, 2000u + 200u + 500u);           // time-out, failure pause, pause between tries
  EXPECT_LT(elapsed, 2000u + 200u + 500u + 6000u);   // margin for a loaded machine
  EXPECT_EQ(Received(id, SET_EXCHANGE).size(), 2u);  // no exchange retry inside a try
  EXPECT_EQ(device->Timeout, ZdUSBDevice::kDefaultTimeout);  // restored
}

TEST_F(IdentityTest, StatusAndMaskTexts) {
  const auto id = AddInstrument();
  auto device = Open(id);
  PStr text;
  device->StatusText(text, 0x81);
  EXPECT_EQ(text.c_str(), std::string("Status = 00000081: BOOT_BIT, USB_TIMEOUT"));
  device->StatusText(text, 0);
  EXPECT_EQ(text.c_str(), std::string("Status = 00000000"));
  device->StatusText(text, 0xC0004000);
  EXPECT_EQ(text.c_str(), std::string("Status = C0004000: POWER_OK_BIT, PRESS_2_BIT, PRESS_BIT"));
  device->MaskText(text, 0x203);
  EXPECT_EQ(text.c_str(), std::string("00000203: 0x1, CH1_MASK, IR2_ENA_MASK"));
}

// "Unrecognized command" in answer to GET_STATUS carries no status word: no
// reading past the reply, no failure, the old status word stays, and the
// device goes on working.
TEST_F(IdentityTest, UnrecognizedStatusRequestReadsNoWord) {
  nvsim::InstrumentConfig config;
  config.status = 0x80;
  config.faults.push_back(FaultOf(FaultKind::kUnrecognized, GET_STATUS));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->StatusWord = 0x1234;
  EXPECT_TRUE(device->GetStatus()) << LogText();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);
  EXPECT_EQ(device->StatusWord, 0x1234u);
  EXPECT_EQ(LogText().find("Status ="), std::string::npos) << LogText();
  EXPECT_EQ(ErrorText(), "");
  EXPECT_FALSE(device->ErrorEvent.Wait(0));

  EXPECT_TRUE(device->GetStatus());
  EXPECT_EQ(device->ReplyCode, GET_STATUS);
  EXPECT_EQ(device->StatusWord, 0x80u);
}

TEST_F(IdentityTest, NameTablesAndStartUpEntries) {
  EXPECT_EQ(TargetIdName(0xABCDEF).c_str(), std::string("00ABCDEF"));
  EXPECT_EQ(InterfaceTypeName(4), std::string("?"));
  EXPECT_EQ(FlashStatusName(14), std::string("FLASH_STATUS Unknown"));
  // Filled by the protocol's start-up entries.
  EXPECT_EQ(CommandCount(), 37u);
  bool listed = false;
  for (uint32_t i = 0; i < SourceNameCount(); ++i)
    listed = listed || std::string(SourceNameAt(i)) == "RUSBDev";
  EXPECT_TRUE(listed);
}

TEST_F(IdentityTest, MaskingIsItsOwnInverse) {
  const std::vector<uint8_t> original = {1, 2, 3, 250, 0, 77};
  SeedRandom(0x1234);
  const uint32_t maskedLength = MaskFlashLength(6);
  std::vector<uint8_t> bytes = original;
  MaskFlashBytes(bytes.data(), bytes.size());
  EXPECT_NE(bytes, original);
  SeedRandom(0x1234);
  EXPECT_EQ(MaskFlashLength(maskedLength), 6u);
  MaskFlashBytes(bytes.data(), bytes.size());
  EXPECT_EQ(bytes, original);
  // The length takes the first four outputs, the data the following ones.
  SeedRandom(0x1234);
  uint32_t expected = 0;
  for (int i = 0; i < 4; ++i)
    expected |= ((6u >> (8 * i)) ^ NextRandom()) % 256 << (8 * i);
  EXPECT_EQ(expected, maskedLength);
}

TEST_F(IdentityTest, FlashAreaUnmaskedFromTheInstrument) {
  nvsim::InstrumentConfig config;
  config.flashAreas[7] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF};
  config.flashSeed = 0xCAFE;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  std::vector<uint8_t> data;
  ASSERT_TRUE(device->ReadFlashArea(7, data));
  EXPECT_EQ(data, config.flashAreas[7]);
  EXPECT_EQ(LogText(), "FLASH_OK\n");
  // An area the instrument does not have: a flash status, reported as
  // "unrecognized command".
  ClearLog();
  EXPECT_FALSE(device->ReadFlashArea(9, data));
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);
  EXPECT_EQ(LogText(), "FLASH_INVALID_AREA_NAME\n");
}

TEST_F(IdentityTest, FlashAreaLengthBeyondTheReplyFails) {
  const auto id = AddInstrument();
  auto device = Open(id);
  std::vector<uint8_t> payload;
  AppendU32(payload, 0);  // FLASH_OK
  AppendU32(payload, 77);
  SeedRandom(77);
  AppendU32(payload, MaskFlashLength(0x7FFFFFF0));
  payload.insert(payload.end(), 16, 0x55);
  sim_->AddFault(id,
                 RawReply(RD_FLASH_AREA, ReplyFrame(NextWord(*device, RD_FLASH_AREA), payload)));
  std::vector<uint8_t> data;
  EXPECT_FALSE(device->ReadFlashArea(1, data));
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(data.empty());
  EXPECT_NE(LogText().find("RD_FLASH_AREA: length 2147483632 exceeds the 16 bytes left"),
            std::string::npos)
      << LogText();
}

TEST_F(IdentityTest, PublicAreaLinesAndSerialFromTheArea) {
  nvsim::InstrumentConfig config;
  config.publicArea.comment = "first batch";
  config.publicArea.targetId = 0xDADA0105;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_EQ(device->SerialNumber.Text(), std::string("NV2-000001"));
  EXPECT_EQ(device->ProductName.Text(), std::string("NV2"));
  EXPECT_EQ(device->HardwareId[0], 0x00123456u);
  EXPECT_EQ(device->HardwareId[2], 0x42u);
  EXPECT_EQ(device->PublicArea.size(), 448u);
  const std::string log = LogText();
  for (const char* line :
       {"---- PUBLIC_AREA ----\n", "PublicSignat       = 0x50424C43\n",
        "StructLen          = 448\n", "ProdSerNumber      = \"NV2-000001\"\n",
        "TrgFileName        = \"nv2.trg\"\n", "ProdName           = \"NV2\"\n",
        "VID                = 0x483\n", "PID                = 0x5750\n",
        "MnfctName          = \"Norvane\"\n", "Target_ID          = 0xDADA0105\n",
        "TargetStartTimeOut = 500\n", "Comment            = \"first batch\"\n",
        "Status = 00000004: RUN_BIT\n", "Signature check skipped: __TE_SKIP_TARGET_UP\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
  EXPECT_NE(log.find("BootSignat         = 0x58A16000 ("), std::string::npos) << log;
}

TEST_F(IdentityTest, PublicAreaOfHundredBytesStillGivesTheSerial) {
  nvsim::InstrumentConfig config;
  config.publicArea.size = 100;
  config.publicArea.prodSerNumber = "SN-100";
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_NE(LogText().find("PUBLIC area size is too small (100)\n"), std::string::npos);
  EXPECT_EQ(LogText().find("PUBLIC_AREA ----"), std::string::npos);
  EXPECT_EQ(device->SerialNumber.Text(), std::string("SN-100"));
  EXPECT_EQ(device->ProductName.Text(), std::string(""));
}

TEST_F(IdentityTest, SerialFallsBackToTheHardwareIdText) {
  struct Case {
    uint32_t words[3];
    const char* text;
  };
  for (const Case& c : {Case{{0x123, 0x456, 0x789}, "000123-000456-000789"},
                        Case{{0x1000000, 1, 2}, "01000000-00000001-00000002"}}) {
    nvsim::InstrumentConfig config;
    config.publicArea.prodSerNumber = "";
    for (int i = 0; i < 3; ++i)
      config.hwId[i] = c.words[i];
    const auto id = AddInstrument(config);
    auto device = Open(id);
    device->IgnoreSignature = true;
    g_TraceLevel = 1;
    ASSERT_TRUE(device->ReadIdentity()) << LogText();
    EXPECT_EQ(device->SerialNumber.Text(), std::string(c.text));
    EXPECT_NE(LogText().find(std::string("Serial Number:     ") + c.text +
                             "\nHW Serial Number:  " + c.text + "\n"),
              std::string::npos)
        << LogText();
    g_TraceLevel = 0;
  }
}

TEST_F(IdentityTest, InstrumentWithoutPublicAreaUsesTheHardwareId) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kUnrecognized, RD_FLASH_AREA, 0));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_TRUE(device->PublicArea.empty());
  EXPECT_EQ(device->SerialNumber.Text(), std::string("123456-ABCDEF-000042"));
}

TEST_F(IdentityTest, VersionSuffix) {
  nvsim::InstrumentConfig config;
  config.versionSuffix = u"b3";
  config.targetVersion = 0x0003000C;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->ReadVersions());
  EXPECT_EQ(device->TargetVersionText.Text(), std::string("3.12b3, Apr 01 2025"));
  EXPECT_EQ(device->VersionSuffix, u"b3");
}

TEST_F(IdentityTest, ShortSerialGivesZeroWordsAndLyingLengthFails) {
  nvsim::InstrumentConfig config;
  config.serialReply = std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->HardwareId[2] = 99;
  ASSERT_TRUE(device->ReadVersions());
  EXPECT_EQ(device->HardwareId[0], 1u);
  EXPECT_EQ(device->HardwareId[1], 2u);
  EXPECT_EQ(device->HardwareId[2], 0u);

  nvsim::InstrumentConfig lying;
  lying.serialReply = std::vector<uint8_t>{0, 4, 0, 0, 1, 0, 0, 0};  // 1024 announced, 4 sent
  const auto other = AddInstrument(lying);
  auto second = Open(other);
  EXPECT_FALSE(second->ReadVersions());
  EXPECT_TRUE(second->WasError);
  EXPECT_NE(LogText().find("GET_SERIAL: length 1024 exceeds the 4 bytes left in the reply"),
            std::string::npos);

  // Above 1024 the serial read stops without a failure.
  nvsim::InstrumentConfig tooLong;
  tooLong.serialReply = std::vector<uint8_t>{1, 4, 0, 0};
  const auto third = AddInstrument(tooLong);
  auto device3 = Open(third);
  EXPECT_TRUE(device3->ReadVersions());
  EXPECT_EQ(device3->SerialNumber.Text(), std::string(""));
}

TEST_F(IdentityTest, SignatureMismatchFailsCleanlyWithoutProgramming) {
  nvsim::InstrumentConfig config;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->TargetFilePath = (root_ + "/missing.trg").c_str();
  EXPECT_FALSE(device->ReadIdentity());
  EXPECT_NE(LogText().find("File " + root_ + "/missing.trg does not exist\n"), std::string::npos)
      << LogText();
  EXPECT_NE(ErrorText().find("target programming is not available"), std::string::npos);
}

TEST_F(IdentityTest, IdentityOfALoaderStartsTheTarget) {
  nvsim::InstrumentConfig config;
  config.loader = true;
  config.reenumDelayMs = 800;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_EQ(device->StatusWord & BOOT_BIT, 0u);
  const std::string log = LogText();
  EXPECT_NE(log.find("FLASH_OK\nWaiting 500 ms.\n"), std::string::npos) << log;
  // The start re-enumerated the instrument: the handle was opened again.
  EXPECT_NE(log.find("Re-initializing device\n"), std::string::npos);
  EXPECT_EQ(State(id).connections, 2u);
  EXPECT_FALSE(State(id).loader);
}

}  // namespace
