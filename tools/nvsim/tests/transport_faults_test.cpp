// Faults of the driver itself: frames that break the stream instead of an
// answer, and greetings that never come or are wrong.
#include <thread>

#include "config_text.h"
#include "raw_client.h"

namespace rawclient {
namespace {

using nvsim::TransportFault;
using nvsim::TransportFaultKind;
using namespace std::chrono_literals;

constexpr uint32_t kGetStatus = 0x80000005;

TransportFault MakeFault(TransportFaultKind kind, uint16_t request = 0, uint32_t value = 0) {
  TransportFault f;
  f.kind = kind;
  f.request = request;
  f.value = value;
  return f;
}

Bytes ReadRequest(uint32_t maxBytes) {
  Bytes f;
  Put32(f, maxBytes);
  return f;
}

Bytes ControlRequest(uint32_t code, uint32_t outMax) {
  Bytes f;
  Put32(f, code);
  Put32(f, outMax);
  Put32(f, 0);
  return f;
}

class TransportFaultsTest : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    id_ = AddInstrument(Config("nv-1"));
    ASSERT_EQ(client_.Open(sim_->DevicePath(id_)), 0u);
    ASSERT_TRUE(client_.SetTimeout(1000));
  }

  // Sends a request and takes the n bytes that answer it; then nothing more
  // may follow.
  Bytes Answer(uint16_t type, const Bytes& fields, size_t n) {
    EXPECT_TRUE(client_.SendFrame(type, fields));
    const auto bytes = client_.ReadBytes(n, 1000);
    EXPECT_TRUE(bytes) << "expected " << n << " bytes";
    EXPECT_TRUE(client_.Quiet(30)) << "more than the faulty frame arrived";
    return bytes.value_or(Bytes{});
  }

  nvsim::Simulator::Id id_ = 0;
  Client client_;
};

TEST_F(TransportFaultsTest, BadHeadersComeAloneAndLeaveTheRequestUndone) {
  // The GET_STATUS reply is queued; the faulty READ must not take it.
  ASSERT_TRUE(client_.Write(Command(kGetStatus, 1)));
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kOversizeFrame, kRead));
  Bytes got = Answer(kRead, ReadRequest(1024), 8);
  EXPECT_EQ(got, (Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0x13, 0, 0, 0}));

  // The connection stands and the next request is served as usual.
  const auto reply = client_.Read(1024);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->error, 0u);
  EXPECT_EQ(Get32(reply->data, 4), 0x81000005u);

  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kUndersizeFrame, kControl, 2));
  got = Answer(kControl, ControlRequest(kGetHandleStatus, 4), 8);
  EXPECT_EQ(got, (Bytes{2, 0, 0, 0, 0x15, 0, 0, 0}));

  // A faulty answer to a WRITE: its bytes never reach the instrument.
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kShortFrame, kWrite));
  got = Answer(kWrite, Command(kGetStatus, 2), 12);
  EXPECT_EQ(got, (Bytes{8, 0, 0, 0, 0x11, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(sim_->State(id_)->commands, 1u);
  EXPECT_EQ(client_.Read(1024)->error, 121u);
  EXPECT_EQ(sim_->State(id_)->transportFaults, 3u);
}

TEST_F(TransportFaultsTest, WellFormedFramesOfTheWrongType) {
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kUnknownType, kRead));
  Bytes got = Answer(kRead, ReadRequest(1024), 16);
  EXPECT_EQ(got, (Bytes{12, 0, 0, 0, 0x77, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kWrongType));
  got = Answer(kRead, ReadRequest(1024), 16);
  EXPECT_EQ(Get16(got, 4), kWriteDone);
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kWrongType));
  got = Answer(kWrite, Command(kGetStatus, 0), 16);
  EXPECT_EQ(Get16(got, 4), kReadDone);
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kWrongType, kControl, kHello));
  got = Answer(kControl, ControlRequest(kGetHandleStatus, 4), 16);
  EXPECT_EQ(Get16(got, 4), kHello);
}

TEST_F(TransportFaultsTest, CountsThatBreakTheirLimits) {
  // READ(5) answered with 21 bytes: count above maxBytes, frame consistent.
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kCountAboveMax));
  // A WRITE does not match a count fault even with "any request": it waits.
  ASSERT_EQ(client_.Write(Command(kGetStatus, 0))->error, 0u);
  Bytes got = Answer(kRead, ReadRequest(5), 16 + 21);
  EXPECT_EQ(Get32(got, 0), 12u + 21u);
  EXPECT_EQ(Get16(got, 4), kReadDone);
  EXPECT_EQ(Get32(got, 8), 0u);
  EXPECT_EQ(Get32(got, 12), 21u);

  // CONTROL with outMax 4 answered with 4 + 3 bytes.
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kCountAboveMax, kControl, 3));
  got = Answer(kControl, ControlRequest(kGetDriverVersion, 4), 16 + 7);
  EXPECT_EQ(Get16(got, 4), kControlDone);
  EXPECT_EQ(Get32(got, 12), 7u);

  // A count that promises bytes the frame does not hold.
  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kCountBeyondFrame, kRead, 40));
  got = Answer(kRead, ReadRequest(1024), 16);
  EXPECT_EQ(Get32(got, 0), 12u);
  EXPECT_EQ(Get32(got, 12), 40u);

  // The queued reply is still there for a sound read.
  EXPECT_EQ(Get32(client_.Read(1024)->data, 4), 0x80000005u);
}

TEST_F(TransportFaultsTest, SkipAndTimesCountMatchingRequests) {
  auto fault = MakeFault(TransportFaultKind::kUnknownType, kControl);
  fault.skip = 1;
  fault.times = 2;
  sim_->SetTransportFault(id_, fault);
  const Bytes status = ControlRequest(kGetHandleStatus, 4);
  EXPECT_EQ(client_.Control(kGetHandleStatus, 4)->error, 0u);  // skipped
  ASSERT_TRUE(client_.Read(0));                                // not a CONTROL
  EXPECT_EQ(Get16(Answer(kControl, status, 16), 4), 0x7777u);
  EXPECT_EQ(Get16(Answer(kControl, status, 16), 4), 0x7777u);
  EXPECT_EQ(client_.Control(kGetHandleStatus, 4)->error, 0u);  // times used up

  fault.skip = 0;
  fault.times = 0;  // every one
  sim_->SetTransportFault(id_, fault);
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(Get16(Answer(kControl, status, 16), 4), 0x7777u);
  sim_->SetTransportFault(id_, {});
  EXPECT_EQ(client_.Control(kGetHandleStatus, 4)->error, 0u);
}

TEST_F(TransportFaultsTest, GreetingsThatNeverComeOrAreWrong) {
  client_.Close();
  const std::string path = sim_->DevicePath(id_);

  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kNoGreeting));
  Client mute;
  ASSERT_TRUE(mute.Connect(path));
  EXPECT_TRUE(mute.Quiet(Real(5000)));
  EXPECT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.unGreeted == 1; }, 2000));
  // The ungreeted connection does not hold the device.
  Client next;
  EXPECT_EQ(next.Open(path), 0u);
  next.Close();
  mute.Close();
  EXPECT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.unGreeted == 0; }, 2000));

  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kBadGreeting));
  ASSERT_TRUE(mute.Connect(path));
  const auto bad = mute.ReadFrame(1000);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->type, kWriteDone);
  EXPECT_TRUE(mute.Quiet(30));
  mute.Close();

  sim_->SetTransportFault(id_, MakeFault(TransportFaultKind::kCloseBeforeGreeting));
  ASSERT_TRUE(mute.Connect(path));
  EXPECT_TRUE(mute.ClosedByPeer(1000));
  EXPECT_EQ(next.Open(path), 0u);  // times = 1: the next open is sound

  // Unplug ends a connection left without a greeting too.
  next.Close();
  auto always = MakeFault(TransportFaultKind::kNoGreeting);
  always.times = 0;
  sim_->SetTransportFault(id_, always);
  ASSERT_TRUE(mute.Connect(path));
  EXPECT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.unGreeted == 1; }, 2000));
  sim_->Unplug(id_);
  EXPECT_TRUE(mute.ClosedByPeer(1000));
  EXPECT_EQ(sim_->State(id_)->transportFaults, 4u);
}

TEST(TransportFaultText, ParsesKindsAndOptions) {
  nvsim::InstrumentConfig config;
  std::string error;
  ASSERT_TRUE(nvsim::ApplySetting(config, "transport_fault",
                                  "count-above-max on=CONTROL skip=1 times=0 value=3", error))
      << error;
  EXPECT_EQ(config.transportFault.kind, TransportFaultKind::kCountAboveMax);
  EXPECT_EQ(config.transportFault.request, kControl);
  EXPECT_EQ(config.transportFault.skip, 1u);
  EXPECT_EQ(config.transportFault.times, 0u);
  EXPECT_EQ(config.transportFault.value, 3u);
  ASSERT_TRUE(nvsim::ApplySetting(config, "transport_fault", "no-greeting", error));
  EXPECT_EQ(config.transportFault.kind, TransportFaultKind::kNoGreeting);
  EXPECT_EQ(config.transportFault.request, 0u);
  EXPECT_FALSE(nvsim::ApplySetting(config, "transport_fault", "garbled", error));
  EXPECT_FALSE(nvsim::ApplySetting(config, "transport_fault", "wrong-type on=PEEK", error));
}

}  // namespace
}  // namespace rawclient
