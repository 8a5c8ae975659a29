// The command exchange against simulated instruments: frames, the index, the
// one retry, reply checks, the failed state and the trace lines.
#include <string>
#include <thread>

#include "base/log.h"
#include "base/options.h"
#include "platform/time.h"
#include "protocol/support/harness.h"

using namespace prototest;

namespace {

using ExchangeTest = ProtocolTest;

TEST_F(ExchangeTest, HealthyExchangesAdvanceTheIndex) {
  nvsim::InstrumentConfig config;
  config.status = 0x84;
  auto device = Start(config);
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->StatusWord, 0x84u);
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(Received(GET_STATUS), (std::vector<uint32_t>{GET_STATUS, GET_STATUS | 1u << 24}));
  EXPECT_EQ(LogText(), "");  // trace level 0: no lines
}

TEST_F(ExchangeTest, IndexWrapsFrom31To0KeepingTheUpperBits) {
  auto device = Start();
  device->ExchangeIndex = 0xE0 | 31;
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->ExchangeIndex, 0xE0);
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->ExchangeIndex, 0xE1);
  EXPECT_EQ(Received(GET_STATUS), (std::vector<uint32_t>{GET_STATUS | 31u << 24, GET_STATUS}));
}

// No reply, or a reply with the wrong index: one retry with the same index.
TEST_F(ExchangeTest, RetryCarriesTheSameIndex) {
  struct Case {
    FaultKind kind;
    uint32_t code;
    const char* line;
  };
  for (const Case& c : {Case{FaultKind::kNoReply, GET_STATUS,
                             "\nPossibly timeout while reading reply to command \nRetrying "
                             "command...\n"},
                        Case{FaultKind::kWrongIndex, GET_VERSION,
                             "Target returned reply to command GET_VERSION with index = 0xA "
                             "while expected index is 9\nRetrying command...\n"}}) {
    auto device = StartFaulty(c.kind, c.code);
    device->ExchangeIndex = 9;
    const uint32_t start = platform::TickCount();
    ASSERT_TRUE(c.code == GET_STATUS ? device->GetStatus() : device->ReadVersions()) << LogText();
    EXPECT_GE(DilatedSince(start), c.kind == FaultKind::kNoReply ? 1000u : 0u);
    EXPECT_EQ(Received(c.code), (std::vector<uint32_t>{c.code | 9u << 24, c.code | 9u << 24}));
    EXPECT_NE(LogText().find(c.line), std::string::npos) << LogText();
  }
}

TEST_F(ExchangeTest, NoRetryWhenDisabledOrForUnrecognizedCommand) {
  auto device = StartFaulty(FaultKind::kNoReply, GET_STATUS);
  device->RetryEnabled = false;
  device->NoDebugTraceOnError = true;
  EXPECT_FALSE(device->GetStatus());
  EXPECT_EQ(Received(GET_STATUS).size(), 1u);
  EXPECT_EQ(CountOf(LogText(), "Possibly timeout while reading reply to command "), 1u);
  EXPECT_EQ(LogText().find("Retrying"), std::string::npos);

  device = StartFaulty(FaultKind::kUnrecognized, GET_VERSION);
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);
  EXPECT_STREQ(device->LastError.Text(), "Target reports unrecognized command GET_VERSION");
  EXPECT_EQ(Received(GET_VERSION).size(), 1u);
  EXPECT_EQ(LogText().find("Retrying"), std::string::npos);
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
}

TEST_F(ExchangeTest, FailedExchangeRefusesUntilSetExchange) {
  auto device = StartFaulty(FaultKind::kWrongCode, GET_STATUS, 2);
  EXPECT_FALSE(device->GetStatus());
  EXPECT_TRUE(device->WasError);
  EXPECT_EQ(g_TraceLevel, 1);
  EXPECT_NE(LogText().find("\nTarget reports error E0000001 to command GET_STATUS[00.GET_STATUS: "
                           "8] 00000004 80000005\n"),
            std::string::npos)
      << LogText();
  EXPECT_STREQ(device->LastError.Text(), "Target reports error E0000001 to command GET_STATUS");
  EXPECT_TRUE(device->ErrorEvent.Wait(0));

  ClearLog();
  const uint64_t before = State(id_).commands;
  EXPECT_FALSE(device->GetStatus());
  EXPECT_EQ(LogText(), "ErrorEvent is set, returning\n");
  EXPECT_EQ(State(id_).commands, before);
  ASSERT_TRUE(device->SetExchange()) << LogText();
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
  EXPECT_TRUE(device->GetStatus());
}

TEST_F(ExchangeTest, ReplyCompletedBySecondRead) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kSplit, GET_VERSION));
  config.faults.back().value = 2;
  config.faults.back().gapMs = 300;
  auto device = Start(config);
  ASSERT_TRUE(device->ReadVersions()) << LogText();
  EXPECT_STREQ(device->BootVersionText.Text(), "1.02, Mar 12 2024");
  EXPECT_STREQ(device->TargetVersionText.Text(), "2.05, Apr 01 2025");
  EXPECT_EQ(Received(GET_VERSION).size(), 1u);
}

TEST_F(ExchangeTest, EightByteReplyHasAnEmptyPayload) {
  auto device = Start();
  NextReply(*device, GET_STATUS, {});
  device->BeginCommand(GET_STATUS).Exchange();
  EXPECT_FALSE(device->WasError);
  uint32_t value = 1;
  EXPECT_FALSE(device->TakeU32(value));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(device->WasError);
  EXPECT_STREQ(device->FailureText.Text(), "Cannot get input data beyond command buffer");
}

TEST_F(ExchangeTest, DumpOfLongReplyShows256BytesThenRetrySucceeds) {
  auto device = Start();
  std::vector<uint8_t> reply;
  AppendU32(reply, 2000);  // more than the input buffer
  AppendU32(reply, GET_STATUS);
  reply.resize(300, 0xAB);
  sim_->AddFault(id_, FaultOf(FaultKind::kRaw, GET_STATUS, 1, reply));
  ASSERT_TRUE(device->GetStatus()) << LogText();
  std::string dump = "\nGot: D0 07 00 00 05 00 00 80";
  for (int i = 8; i < 256; ++i)
    dump += " AB";
  const std::string log = LogText();
  EXPECT_NE(log.find(dump + "...\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Target reply length (2000) > size of the input buffer (1024).\nReply: "
                     "80000005, LastBytesReturned = 300\nLast command:"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Retrying command..."), std::string::npos);
}

// A reply shorter than its header, and a header whose length does not even
// cover the reply word.
TEST_F(ExchangeTest, ShortRepliesFail) {
  for (const bool truncated : {true, false}) {
    auto device = truncated ? StartFaulty(FaultKind::kTruncate, GET_STATUS, 2) : Start();
    device->NoDebugTraceOnError = true;
    if (!truncated) {
      device->RetryEnabled = false;
      std::vector<uint8_t> reply = {2, 0, 0, 0};
      AppendU32(reply, GET_STATUS);
      AppendU32(reply, 0);
      sim_->AddFault(id_, FaultOf(FaultKind::kRaw, GET_STATUS, 1, reply));
    }
    EXPECT_FALSE(device->GetStatus());
    EXPECT_NE(LogText().find("Target reply length (6) < 8 to command "), std::string::npos);
    ClearLog();
  }
}

// A transfer longer than its own length word is malformed: it fails at once
// (no wait for bytes that will never come) and the retry gets a good reply.
TEST_F(ExchangeTest, TransferLongerThanItsLengthWordFails) {
  nvsim::InstrumentConfig config;
  config.status = 0x84;
  nvsim::Fault understate = FaultOf(FaultKind::kOverstateLength, GET_STATUS, 1);
  understate.value = 0u - 4;  // the length word covers only the reply word
  config.faults = {understate};
  auto device = Start(config);
  device->NoDebugTraceOnError = true;
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->GetStatus()) << LogText();
  EXPECT_EQ(device->StatusWord, 0x84u);
  // The retry pause and the busy wait, but no read time-out.
  EXPECT_LT(DilatedSince(start), 1000u + 500u + ZdUSBDevice::kDefaultTimeout);
  EXPECT_EQ(Received(GET_STATUS).size(), 2u);
  const std::string log = LogText();
  EXPECT_NE(log.find("\nGot: 04 00 00 00 05 00 00 80 84 00 00 00\n"), std::string::npos) << log;
  EXPECT_NE(log.find("Target sent 12 bytes, more than its reply length (4) + 4, to command "
                     "\nRetrying command...\n"),
            std::string::npos)
      << log;
}

TEST_F(ExchangeTest, TraceLinesOfCommandAndReply) {
  auto device = Start();
  g_TraceLevel = 1;
  device->ExchangeIndex = 3;
  device->BeginCommand(GET_VERSION).Exchange();
  ASSERT_FALSE(device->WasError);
  const std::string log = LogText();
  EXPECT_EQ(log.rfind("[03.GET_VERSION: 8] 00000004 8300000A<03.GET_VERSION: ", 0), 0u) << log;
  EXPECT_NE(log.find("> "), std::string::npos);
  EXPECT_EQ(log.back(), '\n');

  // A command whose level is above the trace level is not traced.
  const CommandRow hidden[] = {{GET_STATUS, "GET_STATUS", 2}};
  RegisterCommands(hidden, 1);
  ClearLog();
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(LogText(), "");
  EXPECT_STREQ(CommandNameText(GET_STATUS).c_str(), "*GET_STATUS");
  const CommandRow normal[] = {{GET_STATUS, "GET_STATUS", 0}};
  RegisterCommands(normal, 1);
  EXPECT_STREQ(CommandNameText(0x80000106).c_str(), "80000106");
}

TEST_F(ExchangeTest, TraceLineStopsAt256BytesUnlessFullTrace) {
  auto device = Start();
  std::vector<uint8_t> data(292, 0x11);
  device->BeginCommand(WR_VIRT_STRING).PutBytes(data.data(), 292);
  device->CommandCode = WR_VIRT_STRING;
  PStr line;
  device->DescribeCommand(line, false);
  EXPECT_STREQ(line.c_str(), "");  // trace level 0, not forced
  device->DescribeCommand(line, true);
  std::string text = line.c_str();
  EXPECT_EQ(text.rfind("[00.WR_VIRT_STRING: 300] 00000000 80000827", 0), 0u) << text;
  EXPECT_EQ(CountOf(text, " 11"), 248u);
  EXPECT_EQ(text.substr(text.size() - 3), "...");
  g_OptionWord |= kOptFullCommandTrace;
  device->DescribeCommand(line, true);
  text = line.c_str();
  EXPECT_EQ(CountOf(text, " 11"), 292u);
  EXPECT_NE(text.substr(text.size() - 3), "...");
}

TEST_F(ExchangeTest, SkippedReplyAndReplyDelayAreOneShot) {
  auto device = Start();
  device->BeginCommand(GET_STATUS);
  device->ReplyDelay = RealUSBDevice::kSkipReply;
  device->Exchange();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(LogText(), " <Skipping reply>\n");
  EXPECT_EQ(device->ReplyDelay, 0u);
  device->PurgeInput();
  device->BeginCommand(GET_STATUS);
  device->ReplyDelay = 300;
  const uint32_t start = platform::TickCount();
  device->Exchange();
  EXPECT_FALSE(device->WasError);
  EXPECT_GE(DilatedSince(start), 300u);
  EXPECT_EQ(device->ReplyDelay, 0u);
}

TEST_F(ExchangeTest, UnplugDuringExchangeFailsCleanly) {
  auto device = StartFaulty(FaultKind::kUnplug, GET_STATUS);
  EXPECT_FALSE(device->GetStatus());
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(device->ErrorEvent.Wait(0));
}

TEST_F(ExchangeTest, ExchangesFromTwoThreadsAreSerialised) {
  auto device = Start();
  // Each whole command under the device's lock, as a multi-threaded caller
  // must; the exchange inside takes the same (recursive) lock again.
  auto run = [&] {
    for (int i = 0; i < 40; ++i) {
      PSharedObjectLocker hold(device->ExchangeLocker);
      EXPECT_TRUE(device->GetStatus());
    }
  };
  std::thread other(run);
  run();
  other.join();
  EXPECT_EQ(Received(GET_STATUS).size(), 80u);
}

}  // namespace
