// The platform's raw driver calls against simulated instruments.
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
  DeviceHandle Open(nvsim::Simulator::Id id) { return OpenDriverHandle(Path(id).c_str(), true); }
  static bool Control(DeviceHandle handle, uint32_t code, const void* in, uint32_t inSize,
                      void* out = nullptr, uint32_t outSize = 0) {
    uint32_t returned = 0;
    return DriverControl(handle, code, in, inSize, out, outSize, returned);
  }
  static bool SetTimeout(DeviceHandle handle, uint32_t ms) {
    return Control(handle, kIoctlSetTimeout, &ms, 4);
  }
  // Sends a command whose answer the instrument's next script step shapes.
  static void Trigger(DeviceHandle handle) {
    const auto frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
    uint32_t written = 0;
    ASSERT_TRUE(WriteDriver(handle, frame.data(), 8, written));
  }
};

TEST_F(DriverTest, OpenIsExclusiveAndClosedHandlesAreRefused) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle first = Open(id);
  ASSERT_NE(first, kInvalidDeviceHandle);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(LastError(), kErrorSharingViolation);

  EXPECT_TRUE(CloseDriverHandle(first));
  for (const DeviceHandle handle : {first, DeviceHandle{0}, kInvalidDeviceHandle}) {
    EXPECT_FALSE(CloseDriverHandle(handle));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
    uint32_t count = 0;
    char byte = 0;
    EXPECT_FALSE(ReadDriver(handle, &byte, 1, count));
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
  }
  const DeviceHandle again = Open(id);  // our closed connection does not block it
  EXPECT_NE(again, kInvalidDeviceHandle);
  CloseDriverHandle(again);

  sim_->SetRefuseOpen(id, true);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(LastError(), kErrorSharingViolation);
  sim_->Unplug(id);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(LastError(), kErrorFileNotFound);
}

TEST_F(DriverTest, GreetingsThatAreNotHello) {
  using Kind = nvsim::TransportFaultKind;
  const auto id = AddInstrument("nv1");
  for (const auto& [kind, error] : {std::pair{Kind::kBadGreeting, kErrorFileNotFound},
                                    std::pair{Kind::kCloseBeforeGreeting, kErrorFileNotFound},
                                    std::pair{Kind::kNoGreeting, kErrorGenFailure}}) {
    nvsim::TransportFault fault;
    fault.kind = kind;
    ASSERT_TRUE(sim_->SetTransportFault(id, fault));
    EXPECT_EQ(Open(id), kInvalidDeviceHandle);
    EXPECT_EQ(LastError(), error) << nvsim::TransportFaultKindName(kind);
  }
  const DeviceHandle handle = Open(id);  // the next open is greeted again
  EXPECT_NE(handle, kInvalidDeviceHandle);
  CloseDriverHandle(handle);
}

TEST_F(DriverTest, ControlRequestsWithTheirSizes) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  uint32_t returned = 0;
  char version[512];
  ASSERT_TRUE(
      DriverControl(handle, kIoctlGetDriverVersion, nullptr, 0, version, sizeof version, returned));
  EXPECT_EQ(returned, 10u);
  EXPECT_STREQ(version, "nvsim 1.0");
  char small[4] = {'x', 'x', 'x', 'x'};  // cut, and still terminated
  ASSERT_TRUE(DriverControl(handle, kIoctlGetDriverVersion, nullptr, 0, small, 4, returned));
  EXPECT_EQ(returned, 4u);
  EXPECT_STREQ(small, "nvs");
  EXPECT_FALSE(Control(handle, kIoctlGetDriverVersion, nullptr, 0));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);

  uint32_t status = 0xFFFFFFFF;
  ASSERT_TRUE(Control(handle, kIoctlGetHandleStatus, nullptr, 0, &status, 4));
  EXPECT_EQ(status, kStatusSuccess);
  EXPECT_FALSE(Control(handle, kIoctlGetHandleStatus, nullptr, 0, &status, 3));
  EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
  sim_->SetHandleStatus(id, kStatusInvalidHandle);
  ASSERT_TRUE(Control(handle, kIoctlGetHandleStatus, nullptr, 0, &status, 4));
  EXPECT_EQ(status, kStatusInvalidHandle);

  EXPECT_TRUE(SetTimeout(handle, 1234));
  EXPECT_EQ(State(id).channelTimeout, 1234u);
  EXPECT_FALSE(Control(handle, kIoctlSetTimeout, "\1\2", 2));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  EXPECT_FALSE(Control(handle, kIoctlResetChannel, nullptr, 0));
  EXPECT_EQ(LastError(), kErrorInvalidParameter);
  EXPECT_TRUE(Control(handle, kIoctlResetChannel, "\0\0\0\0", 4));
  EXPECT_FALSE(Control(handle, 0x00222024, nullptr, 0));
  EXPECT_EQ(LastError(), kErrorInvalidFunction);
  EXPECT_TRUE(SetTimeout(handle, 200));  // refusals leave the handle working
  CloseDriverHandle(handle);
}

TEST_F(DriverTest, ReadsCompleteEmptyWhenTheDriverTimeOutPasses) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  ASSERT_TRUE(SetTimeout(handle, 300));
  char buffer[16];
  uint32_t count = 99;
  uint32_t start = TickCount();
  EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(DilatedSince(start), 280u);

  // Time-out 0 after a long one: an empty read fails at once, a 0-byte read succeeds.
  ASSERT_TRUE(SetTimeout(handle, 20000));
  ASSERT_TRUE(SetTimeout(handle, 0));
  start = TickCount();
  EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(LastError(), kErrorSemTimeout);
  EXPECT_TRUE(ReadDriver(handle, buffer, 0, count));
  EXPECT_EQ(count, 0u);
  EXPECT_LT(DilatedSince(start), 5000u);

  // A reply later than the time-out is kept for the next read.
  ASSERT_TRUE(SetTimeout(handle, 100));
  nvsim::ScriptStep late = usbtest::RawReply({0xA1, 0xA2});
  late.faults.push_back({});
  late.faults.back().kind = nvsim::FaultKind::kLate;
  late.faults.back().delayMs = 300;
  ASSERT_TRUE(sim_->AddScript(id, {late}));
  Trigger(handle);
  EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
  ASSERT_TRUE(SetTimeout(handle, 2000));
  ASSERT_TRUE(ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(static_cast<uint8_t>(buffer[1]), 0xA2);
  CloseDriverHandle(handle);
}

TEST_F(DriverTest, LargeWritesAndRepliesLargerThanTheRead) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  std::vector<uint8_t> data(0x180000, 0xFF);  // more than one frame carries
  uint32_t written = 0;
  ASSERT_TRUE(WriteDriver(handle, data.data(), static_cast<uint32_t>(data.size()), written));
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(sim_->WaitFor(
      id, [&](const auto& s) { return s.bytesFromHost == data.size(); }, 3000));
  EXPECT_TRUE(WriteDriver(handle, nullptr, 0, written));
  EXPECT_EQ(written, 0u);

  Control(handle, kIoctlResetChannel, "\0\0\0\0", 4);
  std::vector<uint8_t> reply(5000);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(sim_->AddScript(id, {usbtest::RawReply(reply)}));
  Trigger(handle);
  std::vector<uint8_t> got(6000);
  uint32_t count = 0;
  ASSERT_TRUE(ReadDriver(handle, got.data(), 3000, count));
  EXPECT_EQ(count, 3000u);
  ASSERT_TRUE(ReadDriver(handle, got.data() + 3000, 3000, count));
  EXPECT_EQ(count, 2000u);
  got.resize(5000);
  EXPECT_EQ(got, reply);
  CloseDriverHandle(handle);
}

TEST_F(DriverTest, ClosingFromAnotherThreadEndsAWaitingRead) {
  const DeviceHandle handle = Open(AddInstrument("nv1"));
  ASSERT_NE(handle, kInvalidDeviceHandle);
  std::thread closer([&] {
    Sleep(200);
    CloseDriverHandle(handle);
  });
  char buffer[8];
  uint32_t count = 0;
  EXPECT_FALSE(ReadDriver(handle, buffer, sizeof buffer, count));
  closer.join();
  EXPECT_TRUE(LastError() == kErrorOperationAborted || LastError() == kErrorInvalidHandle)
      << LastError();
}

// The alive check sends nothing, leaves a waiting reply in place, notices an
// unplug without a request, and a re-plug does not revive the old handle.
TEST_F(DriverTest, ConnectionAliveWithoutARequest) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  EXPECT_TRUE(DriverConnectionAlive(handle));
  Trigger(handle);
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.queuedTransfers > 0; }, 3000));
  const auto before = State(id);
  EXPECT_TRUE(DriverConnectionAlive(handle));
  EXPECT_EQ(State(id).commands, before.commands);
  EXPECT_EQ(State(id).bytesFromHost, before.bytesFromHost);
  char reply[64];
  uint32_t count = 0;
  EXPECT_TRUE(ReadDriver(handle, reply, sizeof reply, count));
  EXPECT_GE(count, 8u);

  ASSERT_TRUE(sim_->Unplug(id, 50));
  const uint32_t unplugged = TickCount();
  while (DriverConnectionAlive(handle) && DilatedSince(unplugged) < 10000)
    Sleep(1);
  EXPECT_FALSE(DriverConnectionAlive(handle));
  EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.plugged; }, 3000));
  EXPECT_FALSE(DriverConnectionAlive(handle));
  const DeviceHandle fresh = Open(id);
  EXPECT_TRUE(DriverConnectionAlive(fresh));
  EXPECT_TRUE(CloseDriverHandle(handle));
  EXPECT_FALSE(DriverConnectionAlive(handle));
  EXPECT_EQ(LastError(), kErrorInvalidHandle);
  CloseDriverHandle(fresh);
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
  const auto id = AddInstrument("nv1");
  for (const auto& [kind, request] : cases) {
    SCOPED_TRACE(std::string(nvsim::TransportFaultKindName(kind)) + " " + std::to_string(request));
    const DeviceHandle handle = Open(id);
    ASSERT_TRUE(SetTimeout(handle, 30000));
    nvsim::TransportFault fault;
    fault.kind = kind;
    fault.request = request;
    ASSERT_TRUE(sim_->SetTransportFault(id, fault));
    char buffer[64];
    uint32_t count = 0;
    const uint32_t start = TickCount();
    const bool ok = request == nvsim::kRead      ? ReadDriver(handle, buffer, 8, count)
                    : request == nvsim::kControl ? DriverControl(handle, kIoctlGetDriverVersion,
                                                                 nullptr, 0, buffer, 8, count)
                                                 : WriteDriver(handle, "abcd", 4, count);
    EXPECT_FALSE(ok);
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(DilatedSince(start), 5000u);  // no wait for bytes that never come
    EXPECT_FALSE(SetTimeout(handle, 100));
    EXPECT_EQ(LastError(), kErrorDeviceNotConnected);
    EXPECT_TRUE(CloseDriverHandle(handle));
  }
}

}  // namespace
