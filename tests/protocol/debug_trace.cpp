// The instrument's command history after a failed exchange.
#include <string>

#include "base/log.h"
#include "protocol/support/harness.h"

using namespace prototest;
using nvsim::FaultKind;

namespace {

class DebugTraceTest : public ProtocolTest {};

// An RD_DEBUG_TRACE reply: B, then the entries (7 words each).
std::vector<uint8_t> TraceReply(uint32_t traceBytes,
                                const std::vector<std::vector<uint32_t>>& entries,
                                uint32_t repeatLast = 0) {
  std::vector<uint8_t> payload;
  AppendU32(payload, traceBytes);
  for (const auto& entry : entries)
    for (uint32_t word : entry)
      AppendU32(payload, word);
  for (uint32_t i = 0; i < repeatLast; ++i)
    for (uint32_t word : entries.back())
      AppendU32(payload, word);
  return ReplyFrame(RD_DEBUG_TRACE, payload);
}

TEST_F(DebugTraceTest, FailedExchangePrintsTheHistoryAndStaysFailed) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kWrongCode, GET_VERSION, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->GetStatus());
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_TRUE(device->WasError);  // the readout does not clear the failure
  const std::string log = LogText();
  EXPECT_NE(log.find("Sending GET_STATUS\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Sending RD_DEBUG_TRACE\n"), std::string::npos);
  EXPECT_NE(log.find("# 0: 00:GET_STATUS  (4), 00:GET_STATUS  (8), 00000000/00000001, T: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("# 1: 01:GET_VERSION (4), 01:E0000001    (36), 00000000/00000002, T: "),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("# 2: 01:GET_VERSION (4), 01:E0000001    (36)"), std::string::npos);
  EXPECT_NE(log.find("# 3: 00:GET_STATUS  (4), 00:GET_STATUS  (8)"), std::string::npos);
}

TEST_F(DebugTraceTest, EntryLinesLimitAndThousands) {
  nvsim::InstrumentConfig config;
  config.inBufferSize = 16384;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->SetExchange());
  const std::vector<uint32_t> first = {0x8300000A, 4, 0x8300000A, 60, 0x11, 0x22, 1234567};
  const std::vector<uint32_t> second = {0x80000005, 4, 0xE0000006, 4, 0, 0, 999};
  sim_->AddFault(id, RawReply(RD_DEBUG_TRACE, TraceReply(10000, {first, second}, 298)));
  ClearLog();
  device->ReadDebugTrace();
  const std::string log = LogText();
  EXPECT_NE(log.find("# 0: 03:GET_VERSION (4), 03:GET_VERSION (60), 00000011/00000022, T: "
                     "1,234,567\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("# 1: 00:GET_STATUS  (4), 00:E0000006    (4), 00000000/00000000, T: 999\n"),
            std::string::npos);
  EXPECT_NE(log.find("#255: "), std::string::npos);
  EXPECT_EQ(log.find("#256: "), std::string::npos);
  EXPECT_EQ(CountOf(log, ", T: "), 256u);
}

TEST_F(DebugTraceTest, EmptyHistoryAndShortReplies) {
  const auto id = AddInstrument();
  auto device = Open(id);
  sim_->AddFault(id, RawReply(RD_DEBUG_TRACE, TraceReply(0, {})));
  device->ReadDebugTrace();
  EXPECT_EQ(CountOf(LogText(), "#"), 0u);

  ClearLog();
  sim_->AddFault(id, RawReply(RD_DEBUG_TRACE, {1, 2, 3}));
  device->ReadDebugTrace();
  EXPECT_NE(LogText().find("Target reply length (3) < 8 to command:"), std::string::npos);

  // More entries announced than sent: the lines stop where the reply ends.
  ClearLog();
  const std::vector<uint32_t> entry = {0x80000005, 4, 0x80000005, 8, 0, 0, 5};
  sim_->AddFault(id, RawReply(RD_DEBUG_TRACE, TraceReply(28 * 10, {entry}, 1)));
  device->ReadDebugTrace();
  EXPECT_EQ(CountOf(LogText(), ", T: 5\n"), 2u);
}

TEST_F(DebugTraceTest, NoReadoutAfterUnrecognizedOrWhenSwitchedOff) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, GET_VERSION, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->NoDebugTraceOnError = true;
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_TRUE(device->WasError);
  EXPECT_EQ(LogText().find("Sending RD_DEBUG_TRACE"), std::string::npos);
  EXPECT_TRUE(Received(id, RD_DEBUG_TRACE).empty());
}

}  // namespace
