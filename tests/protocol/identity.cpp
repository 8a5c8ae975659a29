// Session set-up and identification against simulated instruments.
#include <algorithm>
#include <string>

#include "base/log.h"
#include "base/numbers.h"
#include "platform/time.h"
#include "protocol/support/harness.h"

using namespace prototest;

namespace {

using IdentityTest = ProtocolTest;

TEST_F(IdentityTest, SetExchangeWithAndWithoutTheInterfaceWord) {
  nvsim::InstrumentConfig sixteen;  // 16 bytes: no interface word
  sixteen.inBufferSize = 2048;
  sixteen.outBufferSize = 512;
  nvsim::InstrumentConfig ble;
  ble.interfaceWord = 0x0200;  // IF_READY 0, IF_TYPE BLE_IF
  ble.targetId = 0x12345678;
  for (const auto& [config, line] :
       {std::pair{sixteen, "TargetId = NV2_TRG_ID, In buffer size: 2048, Out buffer size: 512\n"},
        std::pair{ble,
                  "TargetId = 12345678, In buffer size: 1024, Out buffer size: 1024, "
                  "IF_READY = 0, IF_TYPE = BLE_IF\n"}}) {
    auto device = Start(config);
    ASSERT_TRUE(device->SetExchange());
    EXPECT_EQ(LogText(), std::string("SET_EXCHANGE: ") + line);
    EXPECT_EQ(device->InBufferSize, config.inBufferSize);
    EXPECT_EQ(device->OutBufferSize, config.outBufferSize);
    EXPECT_EQ(device->IfReady, config.interfaceWord ? 0u : 1u);
  }
}

TEST_F(IdentityTest, SetExchangeSecondTryAfterTwoSeconds) {
  auto device = StartFaulty(FaultKind::kNoReply, SET_EXCHANGE);
  device->NoDebugTraceOnError = true;
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->SetExchange()) << LogText();
  // Time-out, failure pause, pause between tries; a margin for a loaded machine.
  EXPECT_GE(DilatedSince(start), 2000u + 200u + 500u);
  EXPECT_LT(DilatedSince(start), 2000u + 200u + 500u + 6000u);
  EXPECT_EQ(Received(SET_EXCHANGE).size(), 2u);  // no exchange retry inside a try
  EXPECT_EQ(device->Timeout, ZdUSBDevice::kDefaultTimeout);
  EXPECT_TRUE(device->RetryEnabled);
}

// A reply whose length word ends 1-3 bytes into the interface word: the
// word cannot be taken whole, so both tries fail.
TEST_F(IdentityTest, SetExchangeFailsOnAnInterfaceWordCutShort) {
  for (const uint32_t cut : {1u, 2u, 3u}) {
    nvsim::InstrumentConfig config;
    config.interfaceWord = 0x0101;  // a 20-byte reply
    nvsim::Fault truncate = FaultOf(FaultKind::kTruncate, SET_EXCHANGE, 0);
    truncate.value = 20 - cut;
    nvsim::Fault shorten = FaultOf(FaultKind::kOverstateLength, SET_EXCHANGE, 0);
    shorten.value = 0u - cut;  // the length word says `cut` bytes fewer
    config.faults = {truncate, shorten};
    auto device = Start(config);
    device->NoDebugTraceOnError = true;
    EXPECT_FALSE(device->SetExchange()) << cut << "\n" << LogText();
    EXPECT_EQ(Received(SET_EXCHANGE).size(), 2u) << cut;
    EXPECT_EQ(device->TargetId, 0u);
    EXPECT_EQ(LogText().find("SET_EXCHANGE: "), std::string::npos) << LogText();
  }
}

TEST_F(IdentityTest, StatusMaskAndNameTexts) {
  auto device = Start();
  const std::pair<uint32_t, const char*> statuses[] = {
      {0x81, "Status = 00000081: BOOT_BIT, USB_TIMEOUT"},
      {0, "Status = 00000000"},
      {0xC0004000, "Status = C0004000: POWER_OK_BIT, PRESS_2_BIT, PRESS_BIT"}};
  PStr text;
  for (const auto& [word, expected] : statuses) {
    device->StatusText(text, word);
    EXPECT_STREQ(text.c_str(), expected);
  }
  device->MaskText(text, 0x203);
  EXPECT_STREQ(text.c_str(), "00000203: 0x1, CH1_MASK, IR2_ENA_MASK");
  EXPECT_STREQ(TargetIdName(0xABCDEF).c_str(), "00ABCDEF");
  EXPECT_STREQ(InterfaceTypeName(4), "?");
  EXPECT_STREQ(FlashStatusName(14), "FLASH_STATUS Unknown");
}

// "Unrecognized command" to GET_STATUS carries no status word: nothing is
// read past the reply, the old word stays and the device goes on working.
TEST_F(IdentityTest, UnrecognizedStatusRequestReadsNoWord) {
  nvsim::InstrumentConfig config;
  config.status = 0x80;
  config.faults.push_back(FaultOf(FaultKind::kUnrecognized, GET_STATUS));
  auto device = Start(config);
  device->StatusWord = 0x1234;
  EXPECT_TRUE(device->GetStatus()) << LogText();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->StatusWord, 0x1234u);
  EXPECT_EQ(LogText().find("Status ="), std::string::npos) << LogText();
  EXPECT_EQ(ErrorText(), "");
  EXPECT_TRUE(device->GetStatus());
  EXPECT_EQ(device->StatusWord, 0x80u);
}

TEST_F(IdentityTest, MaskingRoundTripAndFlashAreas) {
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

  // The instrument masks with its own seed; the device unmasks.
  nvsim::InstrumentConfig config;
  config.flashAreas[7] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 0xFF};
  config.flashSeed = 0xCAFE;
  auto device = Start(config);
  std::vector<uint8_t> data;
  ASSERT_TRUE(device->ReadFlashArea(7, data));
  EXPECT_EQ(data, config.flashAreas[7]);
  EXPECT_EQ(LogText(), "FLASH_OK\n");
  ClearLog();  // an area it does not have: a flash status, as "unrecognized command"
  EXPECT_FALSE(device->ReadFlashArea(9, data));
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);
  EXPECT_EQ(LogText(), "FLASH_INVALID_AREA_NAME\n");
}

TEST_F(IdentityTest, PublicAreaLinesAndSerialFromTheArea) {
  nvsim::InstrumentConfig config;
  config.publicArea.comment = "first batch";
  config.publicArea.targetId = 0xDADA0105;
  auto device = Start(config);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_STREQ(device->SerialNumber.Text(), "NV2-000001");
  EXPECT_STREQ(device->ProductName.Text(), "NV2");
  EXPECT_EQ(device->HardwareId[2], 0x42u);
  const std::string log = LogText();
  for (const char* line :
       {"---- PUBLIC_AREA ----\n", "PublicSignat       = 0x50424C43\n",
        "StructLen          = 448\n", "ProdSerNumber      = \"NV2-000001\"\n",
        "TrgFileName        = \"nv2.trg\"\n", "ProdName           = \"NV2\"\n",
        "VID                = 0x483\n", "PID                = 0x5750\n",
        "MnfctName          = \"Norvane\"\n", "Target_ID          = 0xDADA0105\n",
        "TargetStartTimeOut = 500\n", "Comment            = \"first batch\"\n",
        "BootSignat         = 0x58A16000 (", "Status = 00000004: RUN_BIT\n",
        "Signature check skipped: __TE_SKIP_TARGET_UP\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

TEST_F(IdentityTest, PublicAreaOfHundredBytesStillGivesTheSerial) {
  nvsim::InstrumentConfig config;
  config.publicArea.size = 100;
  config.publicArea.prodSerNumber = "SN-100";
  auto device = Start(config);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_NE(LogText().find("PUBLIC area size is too small (100)\n"), std::string::npos);
  EXPECT_EQ(LogText().find("PUBLIC_AREA ----"), std::string::npos);
  EXPECT_STREQ(device->SerialNumber.Text(), "SN-100");
  EXPECT_STREQ(device->ProductName.Text(), "");
}

// No serial in the public area, or no public area at all: the hardware id
// as text.
TEST_F(IdentityTest, SerialFallsBackToTheHardwareIdText) {
  struct Case {
    uint32_t words[3];
    bool withArea;
    const char* text;
  };
  for (const Case& c : {Case{{0x123, 0x456, 0x789}, true, "000123-000456-000789"},
                        Case{{0x1000000, 1, 2}, true, "01000000-00000001-00000002"},
                        Case{{0x123456, 0xABCDEF, 0x42}, false, "123456-ABCDEF-000042"}}) {
    nvsim::InstrumentConfig config;
    config.publicArea.prodSerNumber = "";
    std::copy(c.words, c.words + 3, config.hwId);
    if (!c.withArea) config.faults.push_back(FaultOf(FaultKind::kUnrecognized, RD_FLASH_AREA, 0));
    auto device = Start(config);
    device->IgnoreSignature = true;
    g_TraceLevel = 1;
    ASSERT_TRUE(device->ReadIdentity()) << LogText();
    g_TraceLevel = 0;
    EXPECT_STREQ(device->SerialNumber.Text(), c.text);
    EXPECT_EQ(device->PublicArea.empty(), !c.withArea);
    EXPECT_NE(LogText().find(std::string("Serial Number:     ") + c.text +
                             "\nHW Serial Number:  " + c.text + "\n"),
              std::string::npos)
        << LogText();
  }
}

// Lengths from the instrument are checked against what the reply holds.
TEST_F(IdentityTest, LyingLengthsFailTheCommand) {
  auto device = Start();
  std::vector<uint8_t> payload = {0, 0, 0, 0, 77, 0, 0, 0};  // FLASH_OK, seed 77
  SeedRandom(77);
  AppendU32(payload, MaskFlashLength(0x7FFFFFF0));
  payload.resize(payload.size() + 16, 0x55);
  NextReply(*device, RD_FLASH_AREA, payload);
  std::vector<uint8_t> data;
  EXPECT_FALSE(device->ReadFlashArea(1, data));
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(data.empty());
  EXPECT_NE(LogText().find("RD_FLASH_AREA: length 2147483632 exceeds the 16 bytes left"),
            std::string::npos)
      << LogText();

  nvsim::InstrumentConfig lying;
  lying.serialReply = std::vector<uint8_t>{0, 4, 0, 0, 1, 0, 0, 0};  // 1024 announced, 4 sent
  device = Start(lying);
  EXPECT_FALSE(device->ReadVersions());
  EXPECT_TRUE(device->WasError);
  EXPECT_NE(LogText().find("GET_SERIAL: length 1024 exceeds the 4 bytes left in the reply"),
            std::string::npos);
}

TEST_F(IdentityTest, VersionSuffixAndShortOrLongSerialReplies) {
  nvsim::InstrumentConfig shortReply;
  shortReply.versionSuffix = u"b3";
  shortReply.targetVersion = 0x0003000C;
  shortReply.serialReply = std::vector<uint8_t>{8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
  auto device = Start(shortReply);
  device->HardwareId[2] = 99;
  ASSERT_TRUE(device->ReadVersions());
  EXPECT_STREQ(device->TargetVersionText.Text(), "3.12b3, Apr 01 2025");
  EXPECT_EQ(device->HardwareId[0], 1u);
  EXPECT_EQ(device->HardwareId[1], 2u);
  EXPECT_EQ(device->HardwareId[2], 0u);

  nvsim::InstrumentConfig tooLong;  // above 1024: the serial read stops, no failure
  tooLong.serialReply = std::vector<uint8_t>{1, 4, 0, 0};
  device = Start(tooLong);
  EXPECT_TRUE(device->ReadVersions());
  EXPECT_STREQ(device->SerialNumber.Text(), "");
}

TEST_F(IdentityTest, SignatureMismatchWithoutATargetFileFails) {
  auto device = Start();
  device->TargetFilePath = (root_ + "/missing.trg").c_str();
  EXPECT_FALSE(device->ReadIdentity());
  EXPECT_NE(LogText().find("File " + root_ + "/missing.trg does not exist\n"), std::string::npos)
      << LogText();
  EXPECT_NE(ErrorText().find("Failed to open neither firmware file \"" + root_ +
                             "/missing.trg\" nor \"" + root_ + "/missing.bin\""),
            std::string::npos)
      << ErrorText();
}

TEST_F(IdentityTest, IdentityOfALoaderStartsTheTarget) {
  nvsim::InstrumentConfig config;
  config.loader = true;
  config.reenumDelayMs = 800;
  auto device = Start(config);
  device->IgnoreSignature = true;
  ASSERT_TRUE(device->ReadIdentity()) << LogText();
  EXPECT_EQ(device->StatusWord & BOOT_BIT, 0u);
  EXPECT_NE(LogText().find("FLASH_OK\nWaiting 500 ms.\n"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("Re-initializing device\n"), std::string::npos);
  EXPECT_EQ(State(id_).connections, 2u);  // re-enumerated: opened again
  EXPECT_FALSE(State(id_).loader);
}

}  // namespace
