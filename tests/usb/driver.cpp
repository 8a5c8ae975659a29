// The platform's raw driver calls against simulated instruments: what the
// channel tests cannot show.
#include "platform/driver.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "instrument.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "usb/support/harness.h"

namespace {

using namespace platform;
using usbtest::DilatedSince;

class DriverTest : public usbtest::SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    id_ = AddInstrument("nv1");
    handle_ = Open();
    ASSERT_NE(handle_, kInvalidDeviceHandle);
  }
  void TearDown() override {
    CloseDriverHandle(handle_);
    SimulatorTest::TearDown();
  }
  DeviceHandle Open() { return OpenDriverHandle(Path(id_).c_str(), true); }
  bool Control(uint32_t code, const void* in, uint32_t inSize, void* out = nullptr,
               uint32_t outSize = 0) {
    uint32_t returned = 0;
    return DriverControl(handle_, code, in, inSize, out, outSize, returned);
  }
  bool SetTimeout(uint32_t ms) { return Control(kIoctlSetTimeout, &ms, 4); }
  // Sends a command whose answer the next script step shapes.
  void Trigger(const nvsim::ScriptStep& step) {
    ASSERT_TRUE(sim_->AddScript(id_, {step}));
    const auto frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
    uint32_t written = 0;
    ASSERT_TRUE(WriteDriver(handle_, frame.data(), 8, written));
  }

  nvsim::Simulator::Id id_ = 0;
  DeviceHandle handle_ = kInvalidDeviceHandle;
};

TEST_F(DriverTest, ClosedAndMadeUpHandlesAreRefused) {
  std::thread closer([&] {
    Sleep(200);
    CloseDriverHandle(handle_);
  });
  char byte = 0;
  uint32_t count = 0;
  EXPECT_FALSE(ReadDriver(handle_, &byte, 1, count));  // closing ends a waiting read
  // Taken before the join, which may change the thread's last error.
  const uint32_t error = LastError();
  closer.join();
  EXPECT_TRUE(error == kErrorOperationAborted || error == kErrorInvalidHandle) << error;
  for (const DeviceHandle handle : {handle_, DeviceHandle{0}, kInvalidDeviceHandle}) {
    EXPECT_FALSE(CloseDriverHandle(handle));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    EXPECT_FALSE(ReadDriver(handle, &byte, 1, count));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    EXPECT_FALSE(DriverConnectionAlive(handle));
  }
}

TEST_F(DriverTest, ControlRequestsWithTheirSizes) {
  char version[16] = {};
  uint32_t status = 0;
  const uint32_t zero = 0;
  sim_->SetHandleStatus(id_, kStatusInvalidHandle);
  struct Case {
    uint32_t code;
    const void* in;
    uint32_t inSize;
    void* out;
    uint32_t outSize;
    uint32_t error;  // 0: succeeds
  };
  const Case cases[] = {
      {kIoctlGetDriverVersion, nullptr, 0, version, 4, 0},  // cut, still terminated
      {kIoctlGetDriverVersion, nullptr, 0, nullptr, 0, kErrorInsufficientBuffer},
      {kIoctlGetHandleStatus, nullptr, 0, &status, 3, kErrorInsufficientBuffer},
      {kIoctlGetHandleStatus, nullptr, 0, &status, 4, 0},
      {kIoctlSetTimeout, "\1\2", 2, nullptr, 0, kErrorInvalidParameter},
      {kIoctlResetChannel, nullptr, 0, nullptr, 0, kErrorInvalidParameter},
      {kIoctlResetChannel, &zero, 4, nullptr, 0, 0},
      {0x00222024, nullptr, 0, nullptr, 0, kErrorInvalidFunction},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Control(c.code, c.in, c.inSize, c.out, c.outSize), c.error == 0) << c.code;
    EXPECT_EQ(c.error == 0 ? 0u : LastError(), c.error) << c.code;
  }
  EXPECT_STREQ(version, "nvs");
  EXPECT_EQ(status, kStatusInvalidHandle);
  EXPECT_TRUE(SetTimeout(1234));  // refusals leave the handle working
  EXPECT_EQ(State(id_).channelTimeout, 1234u);
}

TEST_F(DriverTest, EmptyReadsAndLateReplies) {
  // Time-out 0 after a long one: an empty read fails at once, a 0-byte read succeeds.
  ASSERT_TRUE(SetTimeout(20000));
  ASSERT_TRUE(SetTimeout(0));
  char buffer[16];
  uint32_t count = 99;
  const uint32_t start = TickCount();
  EXPECT_FALSE(ReadDriver(handle_, buffer, sizeof buffer, count));
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(ReadDriver(handle_, buffer, 0, count));
  EXPECT_LT(DilatedSince(start), 5000u);

  // A reply later than the time-out is kept for the next read.
  ASSERT_TRUE(SetTimeout(100));
  nvsim::ScriptStep late = usbtest::RawReply({0xA1, 0xA2});
  late.faults.push_back(late.faults[0]);
  late.faults[1].kind = nvsim::FaultKind::kLate;
  late.faults[1].delayMs = 300;
  Trigger(late);
  EXPECT_FALSE(ReadDriver(handle_, buffer, sizeof buffer, count));
  ASSERT_TRUE(SetTimeout(2000));
  ASSERT_TRUE(ReadDriver(handle_, buffer, sizeof buffer, count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(static_cast<uint8_t>(buffer[1]), 0xA2);
}

TEST_F(DriverTest, LargeWritesAndRepliesLargerThanTheRead) {
  std::vector<uint8_t> data(0x180000, 0xFF);  // more than one frame carries
  uint32_t count = 0;
  ASSERT_TRUE(WriteDriver(handle_, data.data(), static_cast<uint32_t>(data.size()), count));
  EXPECT_EQ(count, data.size());
  EXPECT_TRUE(sim_->WaitFor(
      id_, [&](const auto& s) { return s.bytesFromHost == data.size(); }, 3000));

  Control(kIoctlResetChannel, "\0\0\0\0", 4);
  std::vector<uint8_t> reply(5000);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i * 7);
  Trigger(usbtest::RawReply(reply));
  ASSERT_TRUE(ReadDriver(handle_, data.data(), 3000, count));
  EXPECT_EQ(count, 3000u);
  ASSERT_TRUE(ReadDriver(handle_, data.data() + 3000, 3000, count));
  EXPECT_EQ(count, 2000u);
  EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 5000), reply);
}

// The alive check sends nothing, leaves a waiting reply in place, notices an
// unplug without a request, and a re-plug does not revive the old handle.
TEST_F(DriverTest, ConnectionAliveWithoutARequest) {
  Trigger({});
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.queuedTransfers > 0; }, 3000));
  const uint64_t bytes = State(id_).bytesFromHost;
  EXPECT_TRUE(DriverConnectionAlive(handle_));
  EXPECT_EQ(State(id_).bytesFromHost, bytes);
  char reply[64];
  uint32_t count = 0;
  EXPECT_TRUE(ReadDriver(handle_, reply, sizeof reply, count));
  EXPECT_GE(count, 8u);

  ASSERT_TRUE(sim_->Unplug(id_, 50));
  const uint32_t unplugged = TickCount();
  while (DriverConnectionAlive(handle_) && DilatedSince(unplugged) < 10000)
    Sleep(1);
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.plugged; }, 3000));
  EXPECT_FALSE(DriverConnectionAlive(handle_));
  const DeviceHandle fresh = Open();
  EXPECT_TRUE(DriverConnectionAlive(fresh));
  CloseDriverHandle(fresh);
}

// The check of many handles at once answers for each as the single check
// does: a waiting reply (kept for its reader) and an idle connection stand;
// an unplugged device, a closed handle and made-up ones do not.
TEST_F(DriverTest, ConnectionsAliveAnswersForEachHandle) {
  const nvsim::Simulator::Id idle = AddInstrument("nv2");
  const nvsim::Simulator::Id gone = AddInstrument("nv3");
  const nvsim::Simulator::Id shut = AddInstrument("nv4");
  const DeviceHandle idleHandle = OpenDriverHandle(Path(idle).c_str(), true);
  const DeviceHandle goneHandle = OpenDriverHandle(Path(gone).c_str(), true);
  const DeviceHandle shutHandle = OpenDriverHandle(Path(shut).c_str(), true);
  ASSERT_NE(idleHandle, kInvalidDeviceHandle);
  ASSERT_NE(goneHandle, kInvalidDeviceHandle);
  ASSERT_NE(shutHandle, kInvalidDeviceHandle);
  CloseDriverHandle(shutHandle);
  Trigger({});
  ASSERT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.queuedTransfers > 0; }, 3000));
  ASSERT_TRUE(sim_->Unplug(gone));
  const uint32_t unplugged = TickCount();
  while (DriverConnectionAlive(goneHandle) && DilatedSince(unplugged) < 10000)
    Sleep(1);

  const DeviceHandle handles[] = {handle_,         goneHandle,           idleHandle, shutHandle,
                                  DeviceHandle{0}, kInvalidDeviceHandle, handle_,    idleHandle};
  const bool expected[] = {true, false, true, false, false, false, true, true};
  bool alive[std::size(handles)] = {};
  SetLastError(1234);
  DriverConnectionsAlive(handles, std::size(handles), alive);
  EXPECT_EQ(LastError(), 1234u);
  for (size_t i = 0; i < std::size(handles); ++i) {
    EXPECT_EQ(alive[i], expected[i]) << "handle " << i;
    EXPECT_EQ(DriverConnectionAlive(handles[i]), expected[i]) << "handle " << i;
  }
  char reply[64];
  uint32_t count = 0;
  EXPECT_TRUE(ReadDriver(handle_, reply, sizeof reply, count));  // the reply waited
  EXPECT_GE(count, 8u);
  CloseDriverHandle(idleHandle);
  CloseDriverHandle(goneHandle);
}

TEST_F(DriverTest, GreetingsThatAreNotHello) {
  CloseDriverHandle(handle_);
  using Kind = nvsim::TransportFaultKind;
  for (const auto& [kind, error] : {std::pair{Kind::kBadGreeting, kErrorFileNotFound},
                                    std::pair{Kind::kCloseBeforeGreeting, kErrorFileNotFound},
                                    std::pair{Kind::kNoGreeting, kErrorGenFailure}}) {
    nvsim::TransportFault fault;
    fault.kind = kind;
    ASSERT_TRUE(sim_->SetTransportFault(id_, fault));
    EXPECT_EQ(Open(), kInvalidDeviceHandle);
    EXPECT_EQ(LastError(), error) << nvsim::TransportFaultKindName(kind);
  }
  handle_ = Open();  // the next open is greeted again
  EXPECT_NE(handle_, kInvalidDeviceHandle);
}

// Frames that cannot be read fail the request with "not connected" at once,
// and every later request on that handle the same way.
TEST_F(DriverTest, GarbageFromTheDriverMeansTheDeviceIsGone) {
  using Kind = nvsim::TransportFaultKind;
  const std::pair<Kind, uint16_t> cases[] = {
      {Kind::kOversizeFrame, nvsim::kRead},       {Kind::kUndersizeFrame, nvsim::kRead},
      {Kind::kUnknownType, nvsim::kRead},         {Kind::kWrongType, nvsim::kRead},
      {Kind::kShortFrame, nvsim::kRead},          {Kind::kCountAboveMax, nvsim::kRead},
      {Kind::kCountBeyondFrame, nvsim::kRead},    {Kind::kCountAboveMax, nvsim::kControl},
      {Kind::kCountBeyondFrame, nvsim::kControl}, {Kind::kWrongType, nvsim::kWrite},
      {Kind::kShortFrame, nvsim::kWrite},
  };
  CloseDriverHandle(handle_);
  for (const auto& [kind, request] : cases) {
    SCOPED_TRACE(std::string(nvsim::TransportFaultKindName(kind)) + " " + std::to_string(request));
    handle_ = Open();
    ASSERT_TRUE(SetTimeout(30000));
    nvsim::TransportFault fault;
    fault.kind = kind;
    fault.request = request;
    ASSERT_TRUE(sim_->SetTransportFault(id_, fault));
    char buffer[64];
    uint32_t count = 0;
    const uint32_t start = TickCount();
    const bool ok = request == nvsim::kRead      ? ReadDriver(handle_, buffer, 8, count)
                    : request == nvsim::kControl ? DriverControl(handle_, kIoctlGetDriverVersion,
                                                                 nullptr, 0, buffer, 8, count)
                                                 : WriteDriver(handle_, "abcd", 4, count);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(DilatedSince(start), 5000u);  // no wait for bytes that never come
    EXPECT_FALSE(SetTimeout(100));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_TRUE(CloseDriverHandle(handle_));
  }
  handle_ = kInvalidDeviceHandle;
}

}  // namespace
