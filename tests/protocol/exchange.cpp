// The command exchange against simulated instruments: frames, the index, the
// one retry, reply checks, the failed state and the trace lines.
#include <string>
#include <thread>

#include "base/log.h"
#include "base/options.h"
#include "platform/time.h"
#include "protocol/support/harness.h"

using namespace prototest;
using nvsim::FaultKind;

namespace {

class ExchangeTest : public ProtocolTest {};

TEST_F(ExchangeTest, HealthyExchangeTakesPayloadAndAdvancesIndex) {
  nvsim::InstrumentConfig config;
  config.status = 0x84;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->StatusWord, 0x84u);
  EXPECT_EQ(device->ReplyCode, GET_STATUS);
  EXPECT_EQ(device->CurrentIndex(), 1u);
  ASSERT_TRUE(device->GetStatus());
  const auto words = Received(id, GET_STATUS);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], GET_STATUS);
  EXPECT_EQ(words[1], GET_STATUS | 1u << 24);
  EXPECT_EQ(LogText(), "");  // trace level 0: no lines
}

TEST_F(ExchangeTest, RetryAfterNoReplyCarriesTheSameIndex) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, GET_STATUS));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->ExchangeIndex = 5;
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->GetStatus()) << LogText();
  EXPECT_GE(DilatedSince(start), 1000u);
  const auto words = Received(id, GET_STATUS);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], words[1]);
  EXPECT_EQ(words[0], GET_STATUS | 5u << 24);
  EXPECT_EQ(device->CurrentIndex(), 6u);
  EXPECT_NE(LogText().find("\nPossibly timeout while reading reply to command \nRetrying "
                           "command...\n"),
            std::string::npos)
      << LogText();
}

TEST_F(ExchangeTest, WrongIndexFailsDrainsAndRetriesWithTheSameIndex) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kWrongIndex, GET_VERSION));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->ExchangeIndex = 9;
  ASSERT_TRUE(device->ReadVersions()) << LogText();
  const auto words = Received(id, GET_VERSION);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], words[1]);
  const std::string log = LogText();
  EXPECT_NE(log.find("Target returned reply to command GET_VERSION with index = 0xA while "
                     "expected index is 9"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\nGot: "), std::string::npos);
}

TEST_F(ExchangeTest, FailedExchangeRefusesUntilSetExchange) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kWrongCode, GET_STATUS, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  EXPECT_FALSE(device->GetStatus());
  EXPECT_TRUE(device->WasError);
  EXPECT_EQ(g_TraceLevel, 1);
  const std::string log = LogText();
  EXPECT_NE(log.find("\nTarget reports error E0000001 to command GET_STATUS[00.GET_STATUS: 8] "
                     "00000004 80000005\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(device->LastError.Text(),
            std::string("Target reports error E0000001 to command GET_STATUS"));
  EXPECT_TRUE(device->ErrorEvent.Wait(0));

  ClearLog();
  const uint64_t before = State(id).commands;
  EXPECT_FALSE(device->GetStatus());
  EXPECT_EQ(LogText(), "ErrorEvent is set, returning\n");
  EXPECT_EQ(State(id).commands, before);

  ASSERT_TRUE(device->SetExchange()) << LogText();
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
  EXPECT_TRUE(device->GetStatus());
}

TEST_F(ExchangeTest, UnrecognizedCommandIsNoFailureAndNotRetried) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kUnrecognized, GET_VERSION));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->BeginCommand(GET_VERSION).Exchange();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);
  EXPECT_EQ(device->LastError.Text(),
            std::string("Target reports unrecognized command GET_VERSION"));
  EXPECT_EQ(Received(id, GET_VERSION).size(), 1u);
  EXPECT_EQ(LogText().find("Retrying"), std::string::npos);
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
}

TEST_F(ExchangeTest, IndexWrapsFrom31To0KeepingTheUpperBits) {
  const auto id = AddInstrument();
  auto device = Open(id);
  device->ExchangeIndex = 0xE0 | 31;
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->ExchangeIndex, 0xE0);
  ASSERT_TRUE(device->GetStatus());
  EXPECT_EQ(device->ExchangeIndex, 0xE1);
  const auto words = Received(id, GET_STATUS);
  ASSERT_EQ(words.size(), 2u);
  EXPECT_EQ(words[0], GET_STATUS | 31u << 24);
  EXPECT_EQ(words[1], GET_STATUS);
}

TEST_F(ExchangeTest, ReplyCompletedBySecondRead) {
  nvsim::InstrumentConfig config;
  nvsim::Fault split = FaultOf(FaultKind::kSplit, GET_VERSION);
  split.value = 2;
  split.gapMs = 300;
  config.faults.push_back(split);
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->ReadVersions()) << LogText();
  EXPECT_EQ(device->BootVersionText.Text(), std::string("1.02, Mar 12 2024"));
  EXPECT_EQ(device->TargetVersionText.Text(), std::string("2.05, Apr 01 2025"));
  EXPECT_EQ(device->LastBytesReturned, device->ReplyLength + 4);
  EXPECT_EQ(Received(id, GET_VERSION).size(), 1u);
}

TEST_F(ExchangeTest, ExactlyEightByteReplySucceedsWithEmptyPayload) {
  const auto id = AddInstrument();
  auto device = Open(id);
  sim_->AddFault(id, RawReply(GET_STATUS, ReplyFrame(NextWord(*device, GET_STATUS), {})));
  device->BeginCommand(GET_STATUS).Exchange();
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyBytesLeft(), 0u);
  uint32_t value = 1;
  EXPECT_FALSE(device->TakeU32(value));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(device->WasError);
  EXPECT_EQ(device->FailureText.Text(), std::string("Cannot get input data beyond command buffer"));
}

TEST_F(ExchangeTest, DumpOfLongReplyShows256BytesThenRetrySucceeds) {
  const auto id = AddInstrument();
  auto device = Open(id);
  std::vector<uint8_t> reply;
  AppendU32(reply, 2000);  // more than the input buffer
  AppendU32(reply, NextWord(*device, GET_STATUS));
  while (reply.size() < 300)
    reply.push_back(0xAB);
  sim_->AddFault(id, RawReply(GET_STATUS, reply));
  ASSERT_TRUE(device->GetStatus()) << LogText();
  const std::string log = LogText();
  std::string dump = "\nGot: D0 07 00 00 05 00 00 80";
  for (int i = 8; i < 256; ++i)
    dump += " AB";
  dump += "...\n";
  EXPECT_NE(log.find(dump), std::string::npos) << log;
  EXPECT_NE(log.find("Target reply length (2000) > size of the input buffer (1024).\nReply: "
                     "80000005, LastBytesReturned = 300\nLast command:"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Retrying command..."), std::string::npos);
}

TEST_F(ExchangeTest, ShortReplyAndLengthBelowFourFail) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kTruncate, GET_STATUS, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->NoDebugTraceOnError = true;
  EXPECT_FALSE(device->GetStatus());
  EXPECT_NE(LogText().find("Target reply length (6) < 8 to command "), std::string::npos);

  // A header whose length does not cover the reply word, and extra bytes.
  const auto other = AddInstrument();
  auto second = Open(other);
  std::vector<uint8_t> reply;
  AppendU32(reply, 2);
  AppendU32(reply, NextWord(*second, GET_STATUS));
  AppendU32(reply, 0);
  second->RetryEnabled = false;
  second->NoDebugTraceOnError = true;
  sim_->AddFault(other, RawReply(GET_STATUS, reply));
  EXPECT_FALSE(second->GetStatus());
  EXPECT_NE(LogText().find("Target reply length (6) < 8 to command "), std::string::npos);
}

TEST_F(ExchangeTest, TraceLinesOfCommandAndReply) {
  const auto id = AddInstrument();
  auto device = Open(id);
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
  EXPECT_EQ(CommandNameText(GET_STATUS).c_str(), std::string("*GET_STATUS"));
  const CommandRow normal[] = {{GET_STATUS, "GET_STATUS", 0}};
  RegisterCommands(normal, 1);
  EXPECT_EQ(CommandNameText(0x80000106).c_str(), std::string("80000106"));
}

TEST_F(ExchangeTest, TraceLineStopsAt256BytesUnlessFullTrace) {
  const auto id = AddInstrument();
  auto device = Open(id);
  std::vector<uint8_t> data(300, 0x11);
  device->BeginCommand(WR_VIRT_STRING).PutBytes(data.data(), 292);
  device->CommandCode = WR_VIRT_STRING;
  PStr line;
  device->DescribeCommand(line, false);
  EXPECT_EQ(line.c_str(), std::string(""));  // trace level 0, not forced
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
  const auto id = AddInstrument();
  auto device = Open(id);
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

TEST_F(ExchangeTest, RetryDisabledReportsOnce) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, GET_STATUS));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->RetryEnabled = false;
  device->NoDebugTraceOnError = true;
  EXPECT_FALSE(device->GetStatus());
  EXPECT_EQ(Received(id, GET_STATUS).size(), 1u);
  EXPECT_EQ(LogText().find("Retrying"), std::string::npos);
  EXPECT_EQ(CountOf(LogText(), "Possibly timeout while reading reply to command "), 1u);
}

TEST_F(ExchangeTest, UnplugDuringExchangeFailsCleanly) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kUnplug, GET_STATUS));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  EXPECT_FALSE(device->GetStatus());
  EXPECT_TRUE(device->WasError);
  EXPECT_TRUE(device->ErrorEvent.Wait(0));
}

TEST_F(ExchangeTest, ExchangesFromTwoThreadsAreSerialised) {
  const auto id = AddInstrument();
  auto device = Open(id);
  auto run = [&] {
    for (int i = 0; i < 40; ++i)
      EXPECT_TRUE(device->GetStatus());
  };
  std::thread other(run);
  run();
  other.join();
  EXPECT_EQ(Received(id, GET_STATUS).size(), 80u);
  EXPECT_EQ(device->ThreadBufferCount(), 2u);
}

}  // namespace
