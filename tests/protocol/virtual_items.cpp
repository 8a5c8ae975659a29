// The virtual string and register commands and their log lines.
#include <string>
#include <thread>

#include "base/log.h"
#include "protocol/support/harness.h"
#include "protocol/virtual_items.h"

using namespace prototest;

namespace {

using VirtualItemsTest = ProtocolTest;

std::vector<uint8_t> Bytes(const char* text, size_t n) {
  return std::vector<uint8_t>(text, text + n);
}

TEST_F(VirtualItemsTest, StringsAndTheirLogLines) {
  nvsim::InstrumentConfig config;
  config.strings.push_back({kCalibrationBlockId, {}});
  config.strings.push_back({VS_FW_DESCRIPTOR, Bytes("ABC", 3)});
  config.strings.push_back({VS_HW_DESCRIPTOR, Bytes("AB\0", 3)});
  auto device = Start(config);
  std::vector<uint8_t> data = {1, 2};
  EXPECT_TRUE(device->ReadVirtualString(kCalibrationBlockId, data, false));
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(device->ReadVirtualString(VS_FW_DESCRIPTOR, data, true));  // terminated
  EXPECT_EQ(data, Bytes("ABC\0", 4));
  EXPECT_TRUE(device->ReadVirtualString(VS_FW_DESCRIPTOR, data, false));
  EXPECT_EQ(data, Bytes("ABC", 3));
  EXPECT_TRUE(device->ReadVirtualString(VS_HW_DESCRIPTOR, data, true));  // already terminated
  EXPECT_EQ(data, Bytes("AB\0", 3));
  EXPECT_FALSE(device->ReadVirtualString(0x204, data, false));
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(LogText(),
            "Read VString: 0x203 = 0 bytes\n"
            "Read VString: VS_FW_DESCRIPTOR (0x3) = 3 bytes\n"
            "Read VString: VS_FW_DESCRIPTOR (0x3) = 3 bytes\n"
            "Read VString: VS_HW_DESCRIPTOR (0x4) = 3 bytes\n"
            "Read VString: 0x204 = <Not available>\n");
}

TEST_F(VirtualItemsTest, SilentItemAndPerThreadTraceLevel) {
  const VirtualItemRow silent[] = {{1, 0x300, "VS_QUIET", kSilentItemLevel}};
  RegisterVirtualItems(silent, 1);
  nvsim::InstrumentConfig config;
  config.strings.push_back({0x301, Bytes("x", 1)});
  auto device = Start(config);
  g_TraceLevel = 1;
  std::vector<uint8_t> data;
  EXPECT_FALSE(device->ReadVirtualString(0x300, data, false));
  EXPECT_EQ(LogText(), "");  // neither the command line nor the item line
  EXPECT_TRUE(device->ReadVirtualString(0x301, data, false));
  EXPECT_NE(LogText().find("RD_VIRT_STRING: 12] 00000008"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("Read VString: 0x301 = 1 bytes\n"), std::string::npos);

  // The raised level of a silent read is seen by its own thread only.
  uint32_t seenByOther = 99;
  {
    const CommandLevelOverride override(RD_VIRT_STRING, 3);
    EXPECT_STREQ(CommandNameText(RD_VIRT_STRING).c_str(), "*RD_VIRT_STRING");
    std::thread([&] { seenByOther = CommandTraceLevel(RD_VIRT_STRING); }).join();
    {
      const CommandLevelOverride inner(RD_VIRT_STRING, 1);
      EXPECT_EQ(CommandTraceLevel(RD_VIRT_STRING), 1u);
    }
    EXPECT_EQ(CommandTraceLevel(RD_VIRT_STRING), 3u);
  }
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(CommandTraceLevel(RD_VIRT_STRING), 0u);
}

TEST_F(VirtualItemsTest, StringLengthBeyondTheReplyFails) {
  auto device = Start();
  std::vector<uint8_t> payload;
  for (const uint32_t word : {1u, 0xFFFFFFF0u, 0x41414141u})
    AppendU32(payload, word);
  NextReply(*device, RD_VIRT_STRING, payload);
  std::vector<uint8_t> data;
  EXPECT_FALSE(device->ReadVirtualString(kCalibrationBlockId, data, true));
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(data.empty());
  EXPECT_NE(LogText().find("RD_VIRT_STRING: length 4294967280 exceeds the 4 bytes"),
            std::string::npos);
}

TEST_F(VirtualItemsTest, RegistersReadAndWritten) {
  nvsim::InstrumentConfig config;
  config.registers.push_back({0x10, 7, true});
  config.registers.push_back({VS_FW_DESCRIPTOR, 300, false});
  auto device = Start(config);
  uint32_t available = 5;
  EXPECT_EQ(device->ReadVirtualSfr(0x10, available), 7u);
  EXPECT_EQ(available, 1u);
  EXPECT_EQ(device->ReadVirtualSfr(VS_FW_DESCRIPTOR, available), 300u);
  EXPECT_EQ(device->ReadVirtualSfr(0x11, available), 0u);
  EXPECT_EQ(available, 0u);
  EXPECT_EQ(device->WriteVirtualSfr(0x10, 12), 1u);
  EXPECT_EQ(sim_->Register(id_, 0x10).value_or(0), 12u);
  EXPECT_EQ(device->WriteVirtualSfr(VS_FW_DESCRIPTOR, 1), 0u);
  EXPECT_EQ(LogText(),
            "Read VSFR: 0x10 = 7\n"
            "Read VSFR: VS_FW_DESCRIPTOR (0x3) = 300 (0x12C)\n"
            "Read VSFR: 0x11 = <Not available>\n"
            "Write VSFR: 0x10 = 12 (0xC)\n"
            "Write VSFR: VS_FW_DESCRIPTOR (0x3) = 1\n"
            "<Not available>");

  // The write is logged even when its exchange fails; reads are then refused.
  ASSERT_TRUE(sim_->AddFault(id_, FaultOf(FaultKind::kNoReply, WR_VIRT_SFR, 2)));
  device->NoDebugTraceOnError = true;
  ClearLog();
  EXPECT_EQ(device->WriteVirtualSfr(0x10, 3), 0u);
  EXPECT_EQ(LogText().rfind("Write VSFR: 0x10 = 3\n", 0), 0u);
  available = 1;
  EXPECT_EQ(device->ReadVirtualSfr(0x10, available), 0u);
  EXPECT_EQ(available, 0u);
}

}  // namespace
