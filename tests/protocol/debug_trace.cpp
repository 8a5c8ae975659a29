// The instrument's command history after a failed exchange.
#include <string>

#include "base/log.h"
#include "protocol/support/harness.h"

using namespace prototest;

namespace {

using DebugTraceTest = ProtocolTest;

// An RD_DEBUG_TRACE payload: the history's byte count, then the entries (7
// words each), the last one `repeatLast` times more.
std::vector<uint8_t> TracePayload(uint32_t traceBytes,
                                  const std::vector<std::vector<uint32_t>>& entries,
                                  uint32_t repeatLast = 0) {
  std::vector<uint8_t> payload;
  AppendU32(payload, traceBytes);
  for (size_t i = 0; i < entries.size() + repeatLast; ++i)
    for (uint32_t word : entries[std::min(i, entries.size() - 1)])
      AppendU32(payload, word);
  return payload;
}

TEST_F(DebugTraceTest, FailedExchangePrintsTheHistoryAndStaysFailed) {
  auto device = StartFaulty(FaultKind::kWrongCode, GET_VERSION, 2);
  ASSERT_TRUE(device->GetStatus());
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_TRUE(device->WasError);  // the readout does not clear the failure
  const std::string log = LogText();
  for (const char* line : {"Sending GET_STATUS\n", "Sending RD_DEBUG_TRACE\n",
                           "# 0: 00:GET_STATUS  (4), 00:GET_STATUS  (8), 00000000/00000001, T: ",
                           "# 1: 01:GET_VERSION (4), 01:E0000001    (36), 00000000/00000002, T: ",
                           "# 2: 01:GET_VERSION (4), 01:E0000001    (36)",
                           "# 3: 00:GET_STATUS  (4), 00:GET_STATUS  (8)"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
}

TEST_F(DebugTraceTest, EntryLinesLimitAndThousands) {
  nvsim::InstrumentConfig config;
  config.inBufferSize = 16384;
  auto device = Start(config);
  ASSERT_TRUE(device->SetExchange());
  const std::vector<uint32_t> first = {0x8300000A, 4, 0x8300000A, 60, 0x11, 0x22, 1234567};
  const std::vector<uint32_t> second = {0x80000005, 4, 0xE0000006, 4, 0, 0, 999};
  NextReply(*device, RD_DEBUG_TRACE, TracePayload(10000, {first, second}, 298));
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
  EXPECT_EQ(CountOf(log, ", T: "), 256u);
}

TEST_F(DebugTraceTest, EmptyShortAndLyingHistories) {
  auto device = Start();
  NextReply(*device, RD_DEBUG_TRACE, TracePayload(0, {}));
  device->ReadDebugTrace();
  EXPECT_EQ(CountOf(LogText(), "#"), 0u);

  ClearLog();
  sim_->AddFault(id_, FaultOf(FaultKind::kRaw, RD_DEBUG_TRACE, 1, {1, 2, 3}));
  device->ReadDebugTrace();
  EXPECT_NE(LogText().find("Target reply length (3) < 8 to command:"), std::string::npos);

  // More entries announced than sent: every announced entry still gets its
  // line, those the reply lacks with zeros, and the short take is an error.
  ClearLog();
  const std::vector<uint32_t> entry = {0x80000005, 4, 0x80000005, 8, 0, 0, 5};
  NextReply(*device, RD_DEBUG_TRACE, TracePayload(28 * 10, {entry}, 1));
  device->ReadDebugTrace();
  const std::string log = LogText();
  EXPECT_EQ(CountOf(log, ", T: 5\n"), 2u) << log;
  EXPECT_EQ(CountOf(log, ", T: "), 10u) << log;
  EXPECT_NE(log.find("# 9: 00:00000000    (0), 00:00000000    (0), 00000000/00000000, T: 0\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(device->WasError);

  // An entry cut short in the middle is written with zeros as well.
  ClearLog();
  device->WasError = false;
  std::vector<uint8_t> payload = TracePayload(28 * 2, {entry}, 1);
  payload.resize(payload.size() - 10);
  NextReply(*device, RD_DEBUG_TRACE, payload);
  device->ReadDebugTrace();
  EXPECT_EQ(CountOf(LogText(), ", T: 5\n"), 1u) << LogText();
  EXPECT_EQ(CountOf(LogText(), ", T: 0\n"), 1u) << LogText();
  EXPECT_TRUE(device->WasError);
}

TEST_F(DebugTraceTest, NoReadoutWhenSwitchedOff) {
  auto device = StartFaulty(FaultKind::kNoReply, GET_VERSION, 2);
  device->NoDebugTraceOnError = true;
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(Received(RD_DEBUG_TRACE).empty());
}

}  // namespace
