// The platform's raw driver calls against simulated instruments: open and
// its refusals, the control requests with their sizes, reads with the
// driver's time-out, and handles that are closed or whose device went away.
#include "platform/driver.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "instrument.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "usb/support/harness.h"

namespace {

using platform::DeviceHandle;
using platform::kInvalidDeviceHandle;

class DriverTest : public usbtest::SimulatorTest {
 protected:
  DeviceHandle Open(nvsim::Simulator::Id id) {
    return platform::OpenDriverHandle(Path(id).c_str(), true);
  }
  static bool SetTimeout(DeviceHandle handle, uint32_t ms) {
    uint32_t returned = 0;
    return platform::DriverControl(handle, platform::kIoctlSetTimeout, &ms, 4, nullptr, 0,
                                   returned);
  }
};

TEST_F(DriverTest, OpenIsExclusiveAndCloseIsImmediate) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle first = Open(id);
  ASSERT_NE(first, kInvalidDeviceHandle);
  EXPECT_NE(first, 0u);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorSharingViolation);

  EXPECT_TRUE(platform::CloseDriverHandle(first));
  // Closed handles, 0 and the invalid value are not handles.
  for (const DeviceHandle handle : {first, DeviceHandle{0}, kInvalidDeviceHandle}) {
    EXPECT_FALSE(platform::CloseDriverHandle(handle));
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
    uint32_t count = 0;
    char byte = 0;
    EXPECT_FALSE(platform::ReadDriver(handle, &byte, 1, count));
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
  }
  // Our own old connection never refuses the next open.
  const DeviceHandle again = Open(id);
  EXPECT_NE(again, kInvalidDeviceHandle);
  platform::CloseDriverHandle(again);

  sim_->SetRefuseOpen(id, true);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorSharingViolation);
  sim_->Unplug(id);
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
}

TEST_F(DriverTest, ControlRequestsWithTheirSizes) {
  const auto id =
      AddInstrument("nv1", [](nvsim::InstrumentConfig& c) { c.driverVersion = "nvsim 1.0"; });
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  uint32_t returned = 0;

  char version[512];
  ASSERT_TRUE(platform::DriverControl(handle, platform::kIoctlGetDriverVersion, nullptr, 0, version,
                                      sizeof version, returned));
  EXPECT_EQ(returned, 10u);
  EXPECT_STREQ(version, "nvsim 1.0");
  // Too small a buffer cuts the text; none at all is refused.
  char small[4] = {'x', 'x', 'x', 'x'};
  ASSERT_TRUE(platform::DriverControl(handle, platform::kIoctlGetDriverVersion, nullptr, 0, small,
                                      sizeof small, returned));
  EXPECT_EQ(returned, 4u);
  EXPECT_STREQ(small, "nvs");
  EXPECT_FALSE(platform::DriverControl(handle, platform::kIoctlGetDriverVersion, nullptr, 0,
                                       nullptr, 0, returned));
  EXPECT_EQ(platform::LastError(), platform::kErrorInsufficientBuffer);

  uint32_t status = 0xFFFFFFFF;
  ASSERT_TRUE(platform::DriverControl(handle, platform::kIoctlGetHandleStatus, nullptr, 0, &status,
                                      4, returned));
  EXPECT_EQ(status, platform::kStatusSuccess);
  EXPECT_FALSE(platform::DriverControl(handle, platform::kIoctlGetHandleStatus, nullptr, 0, &status,
                                       3, returned));
  EXPECT_EQ(platform::LastError(), platform::kErrorInsufficientBuffer);
  sim_->SetHandleStatus(id, platform::kStatusInvalidHandle);
  ASSERT_TRUE(platform::DriverControl(handle, platform::kIoctlGetHandleStatus, nullptr, 0, &status,
                                      4, returned));
  EXPECT_EQ(status, platform::kStatusInvalidHandle);

  EXPECT_TRUE(SetTimeout(handle, 1234));
  EXPECT_EQ(State(id).channelTimeout, 1234u);
  EXPECT_FALSE(
      platform::DriverControl(handle, platform::kIoctlSetTimeout, "\1\2", 2, nullptr, 0, returned));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
  EXPECT_FALSE(platform::DriverControl(handle, platform::kIoctlResetChannel, nullptr, 0, nullptr, 0,
                                       returned));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidParameter);
  const uint32_t zero = 0;
  EXPECT_TRUE(platform::DriverControl(handle, platform::kIoctlResetChannel, &zero, 4, nullptr, 0,
                                      returned));
  EXPECT_FALSE(platform::DriverControl(handle, 0x00222024, nullptr, 0, nullptr, 0, returned));
  EXPECT_EQ(platform::LastError(), platform::kErrorInvalidFunction);
  // The handle still works after refused requests.
  EXPECT_TRUE(SetTimeout(handle, 200));
  platform::CloseDriverHandle(handle);
}

TEST_F(DriverTest, ReadsCompleteEmptyWhenTheDriverTimeOutPasses) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  ASSERT_TRUE(SetTimeout(handle, 300));
  char buffer[16];
  uint32_t count = 99;
  uint32_t start = platform::TickCount();
  EXPECT_FALSE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(platform::LastError(), platform::kErrorSemTimeout);
  EXPECT_EQ(count, 0u);
  EXPECT_GE(usbtest::DilatedSince(start), 280u);

  // Time-out 0 (after a long one): an empty read fails at once; a read of
  // 0 bytes succeeds.
  ASSERT_TRUE(SetTimeout(handle, 20000));
  ASSERT_TRUE(SetTimeout(handle, 0));
  start = platform::TickCount();
  EXPECT_FALSE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(platform::LastError(), platform::kErrorSemTimeout);
  EXPECT_TRUE(platform::ReadDriver(handle, buffer, 0, count));
  EXPECT_EQ(count, 0u);
  EXPECT_LT(usbtest::DilatedSince(start), 5000u);

  // A late reply is kept for the next read.
  ASSERT_TRUE(SetTimeout(handle, 100));
  nvsim::Fault late;
  late.kind = nvsim::FaultKind::kRaw;
  late.bytes = {0xA1, 0xA2};
  nvsim::Fault delay;
  delay.kind = nvsim::FaultKind::kLate;
  delay.delayMs = 300;
  nvsim::ScriptStep step;
  step.faults = {late, delay};
  ASSERT_TRUE(sim_->AddScript(id, {step}));
  const auto frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
  uint32_t written = 0;
  ASSERT_TRUE(platform::WriteDriver(handle, frame.data(), 8, written));
  EXPECT_EQ(written, 8u);
  EXPECT_FALSE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  ASSERT_TRUE(SetTimeout(handle, 2000));
  ASSERT_TRUE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(static_cast<uint8_t>(buffer[1]), 0xA2);
  platform::CloseDriverHandle(handle);
}

TEST_F(DriverTest, LargeWritesAndReads) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  // More than one frame carries: the write goes in several frames.
  std::vector<uint8_t> data(0x180000, 0xFF);
  uint32_t written = 0;
  ASSERT_TRUE(
      platform::WriteDriver(handle, data.data(), static_cast<uint32_t>(data.size()), written));
  EXPECT_EQ(written, data.size());
  EXPECT_TRUE(sim_->WaitFor(
      id, [&](const auto& s) { return s.bytesFromHost == data.size(); }, 3000));
  uint32_t none = 0;
  EXPECT_TRUE(platform::WriteDriver(handle, nullptr, 0, none));
  EXPECT_EQ(none, 0u);

  // A reply larger than the read asked for stays queued for the next read.
  platform::DriverControl(handle, platform::kIoctlResetChannel, "\0\0\0\0", 4, nullptr, 0, none);
  std::vector<uint8_t> reply(5000);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i * 7);
  ASSERT_TRUE(sim_->AddScript(id, {usbtest::RawReply(reply)}));
  const auto frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
  ASSERT_TRUE(platform::WriteDriver(handle, frame.data(), 8, written));
  std::vector<uint8_t> got(6000);
  uint32_t count = 0;
  ASSERT_TRUE(platform::ReadDriver(handle, got.data(), 3000, count));
  EXPECT_EQ(count, 3000u);
  ASSERT_TRUE(platform::ReadDriver(handle, got.data() + 3000, 3000, count));
  EXPECT_EQ(count, 2000u);
  got.resize(5000);
  EXPECT_EQ(got, reply);
  platform::CloseDriverHandle(handle);
}

TEST_F(DriverTest, GoneDevicesAndHandlesClosedUnderAReader) {
  const auto id = AddInstrument("nv1");
  DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  // Unplug while a read waits: the read ends with "not connected", and so
  // does every later request on the handle.
  std::thread unplug([&] {
    platform::Sleep(200);
    sim_->Unplug(id, 100);
  });
  char buffer[8];
  uint32_t count = 0;
  EXPECT_FALSE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  unplug.join();
  EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
  EXPECT_FALSE(SetTimeout(handle, 100));
  EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
  EXPECT_FALSE(platform::WriteDriver(handle, "ab", 2, count));
  EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
  EXPECT_TRUE(platform::CloseDriverHandle(handle));

  // Back after the re-plug, at the same path.
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.plugged; }, 3000));
  handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  // Closing the handle from another thread ends a waiting read.
  std::thread closer([&] {
    platform::Sleep(200);
    platform::CloseDriverHandle(handle);
  });
  EXPECT_FALSE(platform::ReadDriver(handle, buffer, sizeof buffer, count));
  closer.join();
  const uint32_t error = platform::LastError();
  EXPECT_TRUE(error == platform::kErrorOperationAborted || error == platform::kErrorInvalidHandle)
      << error;
}

// The alive check sends nothing and leaves a reply waiting where it is; it
// notices an unplug that no request has met yet, and a re-plug does not
// bring the old handle back.
TEST_F(DriverTest, ConnectionAliveWithoutARequest) {
  const auto id = AddInstrument("nv1");
  const DeviceHandle handle = Open(id);
  ASSERT_NE(handle, kInvalidDeviceHandle);
  EXPECT_TRUE(platform::DriverConnectionAlive(handle));
  EXPECT_EQ(platform::LastError(), platform::kErrorSuccess);

  const std::vector<uint8_t> frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
  uint32_t count = 0;
  ASSERT_TRUE(
      platform::WriteDriver(handle, frame.data(), static_cast<uint32_t>(frame.size()), count));
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.queuedTransfers > 0; }, 3000));
  const uint64_t commands = State(id).commands;
  const uint64_t bytes = State(id).bytesFromHost;
  for (int i = 0; i < 3; ++i)
    EXPECT_TRUE(platform::DriverConnectionAlive(handle));
  EXPECT_EQ(State(id).commands, commands);
  EXPECT_EQ(State(id).bytesFromHost, bytes);
  char reply[64];
  EXPECT_TRUE(platform::ReadDriver(handle, reply, sizeof reply, count));
  EXPECT_GE(count, 8u);

  // The simulator's service thread ends the connection just after Unplug
  // returns; no request is needed to notice it.
  ASSERT_TRUE(sim_->Unplug(id, 50));
  const uint32_t unplugged = platform::TickCount();
  while (platform::DriverConnectionAlive(handle) && usbtest::DilatedSince(unplugged) < 10000)
    platform::Sleep(1);
  EXPECT_FALSE(platform::DriverConnectionAlive(handle));
  EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.plugged; }, 3000));
  EXPECT_FALSE(platform::DriverConnectionAlive(handle));
  const DeviceHandle fresh = Open(id);
  ASSERT_NE(fresh, kInvalidDeviceHandle);
  EXPECT_TRUE(platform::DriverConnectionAlive(fresh));

  EXPECT_TRUE(platform::CloseDriverHandle(handle));
  for (const DeviceHandle gone : {handle, DeviceHandle{0}, kInvalidDeviceHandle}) {
    EXPECT_FALSE(platform::DriverConnectionAlive(gone));
    EXPECT_EQ(platform::LastError(), platform::kErrorInvalidHandle);
  }
  platform::CloseDriverHandle(fresh);
}

}  // namespace

namespace {

// The driver sends frames that cannot be read: each request fails with
// "not connected" at once (no waiting for bytes that never come), and every
// later request on that handle fails the same way.
TEST_F(DriverTest, GarbageFromTheDriverMeansTheDeviceIsGone) {
  using Kind = nvsim::TransportFaultKind;
  struct Case {
    Kind kind;
    uint16_t request;
  };
  const Case cases[] = {
      {Kind::kOversizeFrame, nvsim::kRead},       {Kind::kUndersizeFrame, nvsim::kRead},
      {Kind::kUnknownType, nvsim::kRead},         {Kind::kWrongType, nvsim::kRead},
      {Kind::kShortFrame, nvsim::kRead},          {Kind::kCountAboveMax, nvsim::kRead},
      {Kind::kCountBeyondFrame, nvsim::kRead},    {Kind::kCountAboveMax, nvsim::kControl},
      {Kind::kCountBeyondFrame, nvsim::kControl}, {Kind::kWrongType, nvsim::kWrite},
      {Kind::kShortFrame, nvsim::kWrite},
  };
  const auto id = AddInstrument("nv1");
  for (const Case& c : cases) {
    SCOPED_TRACE(nvsim::TransportFaultKindName(c.kind));
    SCOPED_TRACE(c.request);
    const DeviceHandle handle = Open(id);
    ASSERT_NE(handle, kInvalidDeviceHandle);
    ASSERT_TRUE(SetTimeout(handle, 30000));
    nvsim::TransportFault fault;
    fault.kind = c.kind;
    fault.request = c.request;
    ASSERT_TRUE(sim_->SetTransportFault(id, fault));
    char buffer[64];
    uint32_t count = 0;
    const uint32_t start = platform::TickCount();
    bool ok = true;
    if (c.request == nvsim::kRead) {
      ok = platform::ReadDriver(handle, buffer, 8, count);
    } else if (c.request == nvsim::kControl) {
      ok = platform::DriverControl(handle, platform::kIoctlGetDriverVersion, nullptr, 0, buffer, 8,
                                   count);
    } else {
      ok = platform::WriteDriver(handle, "abcd", 4, count);
    }
    EXPECT_FALSE(ok);
    EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
    EXPECT_EQ(count, 0u);
    EXPECT_LT(usbtest::DilatedSince(start), 5000u);  // no wait for bytes that never come
    EXPECT_FALSE(SetTimeout(handle, 100));
    EXPECT_EQ(platform::LastError(), platform::kErrorDeviceNotConnected);
    EXPECT_TRUE(platform::CloseDriverHandle(handle));
  }
}

TEST_F(DriverTest, GreetingsThatAreNotHello) {
  using Kind = nvsim::TransportFaultKind;
  const auto id = AddInstrument("nv1");
  for (const Kind kind : {Kind::kBadGreeting, Kind::kCloseBeforeGreeting}) {
    nvsim::TransportFault fault;
    fault.kind = kind;
    ASSERT_TRUE(sim_->SetTransportFault(id, fault));
    EXPECT_EQ(Open(id), kInvalidDeviceHandle);
    EXPECT_EQ(platform::LastError(), platform::kErrorFileNotFound);
  }
  // A server that never greets: the open gives up with a general failure.
  nvsim::TransportFault silent;
  silent.kind = Kind::kNoGreeting;
  ASSERT_TRUE(sim_->SetTransportFault(id, silent));
  EXPECT_EQ(Open(id), kInvalidDeviceHandle);
  EXPECT_EQ(platform::LastError(), platform::kErrorGenFailure);
  // The next open is greeted again.
  const DeviceHandle handle = Open(id);
  EXPECT_NE(handle, kInvalidDeviceHandle);
  platform::CloseDriverHandle(handle);
}

}  // namespace
