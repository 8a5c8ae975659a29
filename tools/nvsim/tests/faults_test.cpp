// Fault injection as the host sees it on the wire.
#include <thread>

#include "raw_client.h"

namespace rawclient {
namespace {

using nvsim::Fault;
using nvsim::FaultKind;
using namespace std::chrono_literals;

constexpr uint32_t kGetStatus = 0x80000005, kGetVersion = 0x8000000A, kGetSerial = 0x8000000B;

Fault MakeFault(FaultKind kind, uint32_t code = 0) {
  Fault f;
  f.kind = kind;
  f.code = code;
  return f;
}

class FaultsTest : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    auto config = Config("nv-1");
    config.status = 0x00000004;
    id_ = AddInstrument(config);
    ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
    ASSERT_TRUE(client_.SetTimeout(2000));
  }
  std::optional<Done> Send(uint32_t code, uint32_t index = 0) {
    return client_.Write(Command(code, index));
  }
  Bytes ReadAll() {  // every transfer until a read times out
    Bytes all;
    for (;;) {
      const auto done = client_.Read(1024);
      if (!done || done->error != 0) return all;
      all.insert(all.end(), done->data.begin(), done->data.end());
    }
  }

  nvsim::Simulator::Id id_ = 0;
  Client client_;
};

TEST_F(FaultsTest, NoReplyOnlyForTheChosenCommandAndOccurrence) {
  Fault f = MakeFault(FaultKind::kNoReply, kGetVersion);
  f.skip = 1;  // the first GET_VERSION is answered, the second is not
  sim_->AddFault(id_, f);
  ASSERT_TRUE(Exchange(client_, Command(kGetVersion, 0)));
  ASSERT_TRUE(Exchange(client_, Command(kGetStatus, 1)));
  ASSERT_TRUE(Send(kGetVersion, 2));
  EXPECT_EQ(client_.Read(1024)->error, 121u);
  ASSERT_TRUE(Exchange(client_, Command(kGetVersion, 3)));  // times = 1: over
  // The command was still seen (and shows in the instrument's trace).
  const auto history = sim_->State(id_)->history;
  ASSERT_EQ(history.size(), 4u);
  EXPECT_EQ(history[2].commandWord, 0x8200000Au);
  EXPECT_EQ(history[2].replyWord, 0u);
}

TEST_F(FaultsTest, LateReplyArrivesAfterTheReadTimedOut) {
  Fault f = MakeFault(FaultKind::kLate, kGetStatus);
  f.delayMs = 10000;
  sim_->AddFault(id_, f);
  ASSERT_TRUE(client_.SetTimeout(500));
  ASSERT_TRUE(Send(kGetStatus, 1));
  EXPECT_EQ(client_.Read(1024)->error, 121u);  // 500 ms time-out < 10 s
  ASSERT_TRUE(client_.SetTimeout(60000));
  const auto late = client_.Read(1024);
  ASSERT_EQ(late->error, 0u);
  EXPECT_EQ(Get32(late->data, 4), 0x81000005u);
}

TEST_F(FaultsTest, SplitReplyNeedsSeveralReads) {
  Fault f = MakeFault(FaultKind::kSplit, kGetVersion);
  f.value = 3;
  f.gapMs = 100;
  sim_->AddFault(id_, f);
  ASSERT_TRUE(Send(kGetVersion, 6));
  std::vector<size_t> sizes;
  Bytes all;
  for (int i = 0; i < 3; ++i) {
    const auto done = client_.Read(1024);
    ASSERT_EQ(done->error, 0u);
    sizes.push_back(done->data.size());
    all.insert(all.end(), done->data.begin(), done->data.end());
  }
  EXPECT_EQ(sizes[0], sizes[1]);
  EXPECT_EQ(Get32(all, 0) + 4, all.size());
  EXPECT_EQ(Get32(all, 4), 0x8600000Au);
}

TEST_F(FaultsTest, HeaderFaults) {
  sim_->AddFault(id_, MakeFault(FaultKind::kWrongIndex, kGetStatus));
  Fault code = MakeFault(FaultKind::kWrongCode, kGetSerial);
  code.value = 0xE0000003;
  sim_->AddFault(id_, code);
  Fault over = MakeFault(FaultKind::kOverstateLength, kGetVersion);
  over.value = 100;
  sim_->AddFault(id_, over);

  ASSERT_TRUE(Send(kGetStatus, 31));
  Bytes reply = ReadAll();
  EXPECT_EQ(Get32(reply, 4), 0x80000005u);  // index 31 + 1 wraps to 0
  ASSERT_TRUE(Send(kGetSerial, 9));
  reply = ReadAll();
  EXPECT_EQ(Get32(reply, 4), 0xE9000003u);
  ASSERT_TRUE(Send(kGetVersion, 2));
  reply = ReadAll();
  EXPECT_EQ(Get32(reply, 0), reply.size() - 4 + 100);
  // A reply really longer than the host's input buffer (1024 by default).
  sim_->AddFault(id_, MakeFault(FaultKind::kOversize, 0x8000000C));
  ASSERT_TRUE(Send(0x8000000C, 3));
  reply = ReadAll();
  ASSERT_EQ(reply.size(), 1040u);
  EXPECT_EQ(Get32(reply, 0), 1036u);
  EXPECT_EQ(Get32(reply, 4), 0x8300000Cu);
  EXPECT_EQ(Get32(reply, 8), 0xFF01FF32u);
  EXPECT_EQ(Bytes(reply.begin() + 12, reply.end()), Bytes(1028, 0));
  // Faults applied once; the next ones are sound.
  const auto fine = Exchange(client_, Command(kGetStatus, 4));
  ASSERT_TRUE(fine);
  EXPECT_EQ(fine->word, 0x84000005u);
}

TEST_F(FaultsTest, PayloadFaults) {
  Fault cut = MakeFault(FaultKind::kTruncate, kGetStatus);
  cut.value = 6;
  sim_->AddFault(id_, cut);
  ASSERT_TRUE(Send(kGetStatus, 1));
  EXPECT_EQ(ReadAll(), (Bytes{8, 0, 0, 0, 5, 0}));

  Fault raw = MakeFault(FaultKind::kRaw, kGetStatus);
  raw.bytes = {8, 0, 0, 0, 5, 0, 0, 0x81, 0xEF, 0xBE, 0xAD, 0xDE};
  sim_->AddFault(id_, raw);
  ASSERT_TRUE(Send(kGetStatus, 1));
  EXPECT_EQ(ReadAll(), raw.bytes);

  Fault garbage = MakeFault(FaultKind::kGarbage, kGetStatus);
  garbage.value = 40;
  sim_->AddFault(id_, garbage);
  ASSERT_TRUE(Send(kGetStatus, 1));
  EXPECT_EQ(ReadAll().size(), 40u);

  sim_->AddFault(id_, MakeFault(FaultKind::kUnrecognized, kGetStatus));
  const auto refused = Exchange(client_, Command(kGetStatus, 3));
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->word, 0xE3000006u);
}

TEST_F(FaultsTest, AFaultForEveryCommand) {
  Fault f = MakeFault(FaultKind::kUnrecognized);
  f.times = 0;
  sim_->AddFault(id_, f);
  for (uint32_t code : {kGetStatus, kGetVersion, kGetSerial}) {
    const auto reply = Exchange(client_, Command(code, 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->word, 0xE1000006u);
  }
  sim_->ClearFaults(id_);
  EXPECT_EQ(Exchange(client_, Command(kGetStatus, 1))->word, 0x81000005u);
}

TEST_F(FaultsTest, UnplugDuringAnExchangeAndSlowReenumeration) {
  Fault f = MakeFault(FaultKind::kUnplug, kGetVersion);
  f.delayMs = 100;
  f.replugMs = 2000;
  sim_->AddFault(id_, f);
  ASSERT_TRUE(client_.SetTimeout(0xFFFFFFFF));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Send(kGetVersion, 1));
  ASSERT_TRUE(client_.SendFrame(kRead, {0, 4, 0, 0}));
  EXPECT_FALSE(client_.ReadFrame(2000));  // the waiting read just ends
  EXPECT_FALSE(sim_->State(id_)->plugged);
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.plugged; }, 50000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Real(2100)));
  ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
  EXPECT_TRUE(Exchange(client_, Command(kGetVersion, 1)));
}

TEST_F(FaultsTest, HandleInUseStatus) {
  sim_->SetHandleStatus(id_, 0xC0000008);
  client_.Close();
  ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);  // the open itself succeeds
  const auto status = client_.Control(kGetHandleStatus, 4);
  EXPECT_EQ(Get32(status->data, 0), 0xC0000008u);
}

TEST_F(FaultsTest, NoiseMakesTheInstrumentDropWhatItHolds) {
  Bytes noise = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3};  // length word far beyond any frame
  ASSERT_TRUE(client_.Write(noise));
  EXPECT_EQ(client_.Read(1024)->error, 121u);
  const auto reply = Exchange(client_, Command(kGetStatus, 2));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->word, 0x82000005u);
}

TEST_F(FaultsTest, ScriptPlaysOneStepPerExpectedCommand) {
  Fault late = MakeFault(FaultKind::kLate);
  late.delayMs = 200;
  Fault raw = MakeFault(FaultKind::kRaw);
  raw.bytes = {4, 0, 0, 0, 0x0B, 0, 0, 0x81};
  sim_->AddScript(id_, {{kGetStatus, {late}}, {kGetVersion, {}}, {kGetSerial, {raw}}});

  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Exchange(client_, Command(kGetStatus, 0)));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Real(200)));
  ASSERT_TRUE(Exchange(client_, Command(kGetSerial, 1)));  // not the step expected: answered
  ASSERT_TRUE(Exchange(client_, Command(kGetVersion, 1)));
  ASSERT_TRUE(Send(kGetSerial, 1));
  EXPECT_EQ(ReadAll(), raw.bytes);
  const auto state = sim_->State(id_);
  EXPECT_EQ(state->scriptLeft, 0u);
  EXPECT_EQ(state->scriptMismatches, 1u);
}

}  // namespace
}  // namespace rawclient
