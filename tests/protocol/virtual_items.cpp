// The virtual-item table and the virtual string and register commands.
#include <string>
#include <thread>

#include "base/log.h"
#include "protocol/support/harness.h"
#include "protocol/virtual_items.h"

using namespace prototest;
using nvsim::FaultKind;

namespace {

class VirtualItemsTest : public ProtocolTest {};

std::vector<uint8_t> Bytes(const char* text, size_t n) {
  return std::vector<uint8_t>(text, text + n);
}

TEST(VirtualItemTable, BuiltinRowsGiveSixRecordsSortedByName) {
  ASSERT_GE(VirtualItemCount(), 6u);
  const char* names[] = {"VS_CONFIGURATION", "VS_FILE_NAME", "VS_FW_DESCRIPTOR",
                         "VS_HW_DESCRIPTOR", "VS_SFR_FILE",  "VS_TEXT_MESSAGE"};
  const uint32_t ids[] = {2, 1, 3, 4, 0x101, 0xF};
  for (uint32_t i = 0; i < 6; ++i) {
    VirtualItemRecord record;
    ASSERT_TRUE(VirtualItemAt(i, record));
    EXPECT_EQ(record.name, names[i]);
    EXPECT_EQ(record.id, ids[i]);
    EXPECT_EQ(record.traceLevel, 0u);
  }
  EXPECT_EQ(VirtualItemNameText(3).c_str(), std::string("VS_FW_DESCRIPTOR (0x3)"));
  EXPECT_EQ(VirtualItemNameText(kCalibrationBlockId).c_str(), std::string("0x203"));
  EXPECT_EQ(VirtualValueText(7).c_str(), std::string("7"));
  EXPECT_EQ(VirtualValueText(300).c_str(), std::string("300 (0x12C)"));
}

TEST_F(VirtualItemsTest, StringsAndTheirLogLines) {
  nvsim::InstrumentConfig config;
  config.strings.push_back({kCalibrationBlockId, {}});
  config.strings.push_back({VS_FW_DESCRIPTOR, Bytes("ABC", 3)});
  config.strings.push_back({VS_HW_DESCRIPTOR, Bytes("AB\0", 3)});
  const auto id = AddInstrument(config);
  auto device = Open(id);
  std::vector<uint8_t> data = {1, 2};
  EXPECT_TRUE(device->ReadVirtualString(kCalibrationBlockId, data, false));
  EXPECT_TRUE(data.empty());
  EXPECT_TRUE(device->ReadVirtualString(VS_FW_DESCRIPTOR, data, true));
  EXPECT_EQ(data, Bytes("ABC\0", 4));
  EXPECT_TRUE(device->ReadVirtualString(VS_FW_DESCRIPTOR, data, false));
  EXPECT_EQ(data, Bytes("ABC", 3));
  EXPECT_TRUE(device->ReadVirtualString(VS_HW_DESCRIPTOR, data, true));
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

TEST_F(VirtualItemsTest, SilentItemAndTraceLineFollowTheItemLevel) {
  const VirtualItemRow silent[] = {{1, 0x300, "VS_QUIET", kSilentItemLevel}};
  RegisterVirtualItems(silent, 1);
  nvsim::InstrumentConfig config;
  config.strings.push_back({0x301, Bytes("x", 1)});
  const auto id = AddInstrument(config);
  auto device = Open(id);
  g_TraceLevel = 1;
  std::vector<uint8_t> data;
  EXPECT_FALSE(device->ReadVirtualString(0x300, data, false));
  EXPECT_EQ(LogText(), "");  // neither the command line nor the item line
  EXPECT_TRUE(device->ReadVirtualString(0x301, data, false));
  EXPECT_NE(LogText().find("RD_VIRT_STRING: 12] 00000008"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("Read VString: 0x301 = 1 bytes\n"), std::string::npos);
  EXPECT_EQ(CommandTraceLevel(RD_VIRT_STRING), 0u);
}

TEST_F(VirtualItemsTest, LevelOverrideIsPerThread) {
  uint32_t seenByOther = 99;
  {
    const CommandLevelOverride override(RD_VIRT_STRING, 3);
    EXPECT_EQ(CommandTraceLevel(RD_VIRT_STRING), 3u);
    EXPECT_EQ(CommandNameText(RD_VIRT_STRING).c_str(), std::string("*RD_VIRT_STRING"));
    std::thread other([&] { seenByOther = CommandTraceLevel(RD_VIRT_STRING); });
    other.join();
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
  const auto id = AddInstrument();
  auto device = Open(id);
  std::vector<uint8_t> payload;
  AppendU32(payload, 1);
  AppendU32(payload, 0xFFFFFFF0);
  AppendU32(payload, 0x41414141);
  sim_->AddFault(id,
                 RawReply(RD_VIRT_STRING, ReplyFrame(NextWord(*device, RD_VIRT_STRING), payload)));
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
  const auto id = AddInstrument(config);
  auto device = Open(id);
  uint32_t available = 5;
  EXPECT_EQ(device->ReadVirtualSfr(0x10, available), 7u);
  EXPECT_EQ(available, 1u);
  EXPECT_EQ(device->ReadVirtualSfr(VS_FW_DESCRIPTOR, available), 300u);
  EXPECT_EQ(device->ReadVirtualSfr(0x11, available), 0u);
  EXPECT_EQ(available, 0u);
  EXPECT_EQ(device->WriteVirtualSfr(0x10, 12), 1u);
  EXPECT_EQ(sim_->Register(id, 0x10).value_or(0), 12u);
  EXPECT_EQ(device->WriteVirtualSfr(VS_FW_DESCRIPTOR, 1), 0u);
  EXPECT_EQ(LogText(),
            "Read VSFR: 0x10 = 7\n"
            "Read VSFR: VS_FW_DESCRIPTOR (0x3) = 300 (0x12C)\n"
            "Read VSFR: 0x11 = <Not available>\n"
            "Write VSFR: 0x10 = 12 (0xC)\n"
            "Write VSFR: VS_FW_DESCRIPTOR (0x3) = 1\n"
            "<Not available>");
}

TEST_F(VirtualItemsTest, WriteLogsEvenWhenTheExchangeFails) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, WR_VIRT_SFR, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->NoDebugTraceOnError = true;
  EXPECT_EQ(device->WriteVirtualSfr(0x10, 3), 0u);
  EXPECT_EQ(LogText().rfind("Write VSFR: 0x10 = 3\n", 0), 0u);
  uint32_t available = 1;
  EXPECT_EQ(device->ReadVirtualSfr(0x10, available), 0u);  // refused: the device failed
  EXPECT_EQ(available, 0u);
}

}  // namespace
