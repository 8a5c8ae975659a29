// The channel to one instrument, against simulated instruments: opening and
// attaching, time-outs, reads and their deadline, writes in pieces, purging,
// closing, per-thread buffers and the report texts.
#include "usb/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/options.h"
#include "instrument.h"
#include "platform/errors.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "usb/support/harness.h"

namespace {

using usbtest::InfoText;
using usbtest::RawReply;

constexpr const char* kSharingText =
    "The process cannot access the file because it is being used by another process.";

// A channel that records the pieces Write hands to WriteRaw.
class RecordingDevice : public ZdUSBDevice {
 public:
  using ZdUSBDevice::ZdUSBDevice;
  bool WriteRaw(const void* data, uint32_t count) override {
    pieces.push_back(count);
    return ZdUSBDevice::WriteRaw(data, count);
  }
  void OnReadWait() override { ++readWaits; }
  std::vector<uint32_t> pieces;
  int readWaits = 0;
};

// Keeps the trace level and option word of a test from leaking into others.
class ChannelTest : public usbtest::SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    savedTrace_ = g_TraceLevel;
    savedOptions_ = g_OptionWord;
  }
  void TearDown() override {
    g_TraceLevel = savedTrace_;
    g_OptionWord = savedOptions_;
    SimulatorTest::TearDown();
  }

  // Asks the instrument for an answer that the next script step shapes.
  static void Trigger(ZdUSBDevice& device) {
    const std::vector<uint8_t> frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
    ASSERT_TRUE(device.WriteRaw(frame.data(), static_cast<uint32_t>(frame.size())));
  }

  int savedTrace_ = 0;
  uint64_t savedOptions_ = 0;
};

TEST_F(ChannelTest, OpensAttachesAndAgreesOnTheTimeOut) {
  const auto id = AddInstrument("nv1");
  const std::string path = Path(id);
  ZdUSBDevice device(path.c_str());
  ASSERT_TRUE(device.IsOpen());
  EXPECT_STREQ(device.DevicePath.Text(), path.c_str());
  EXPECT_EQ(InfoText(), "Opening device \"" + path +
                            "\"...Ok\n"
                            "Device handle opened ok\n"
                            "Driver version: nvsim 1.0\n");
  EXPECT_EQ(device.Timeout, 5000u);
  EXPECT_EQ(State(id).channelTimeout, 5000u);
  EXPECT_TRUE(device.ReplyEvent.Wait(0));
  EXPECT_FALSE(device.ErrorEvent.Wait(0));
  EXPECT_STREQ(device.ReplyEvent.Name(), "ZdUSBDevice::ReplyEvent");
  EXPECT_STREQ(device.ErrorEvent.Name(), "ZdUSBDevice::ErrorEvent");
  EXPECT_STREQ(device.ExchangeLocker.Name(), "ZdUSBDevice::ExchangeLocker");
  EXPECT_EQ(device.InBufferSize, 1024u);
  EXPECT_EQ(device.OutBufferSize, 1024u);
  EXPECT_FALSE(device.WasError);

  // With the trace level up the time-out is logged too.
  g_TraceLevel = 1;
  usbtest::ClearCapture();
  EXPECT_TRUE(device.SetTimeout(250));
  EXPECT_EQ(InfoText(), "Setting timeout = 250 ms\n");
  EXPECT_EQ(State(id).channelTimeout, 250u);
}

TEST_F(ChannelTest, ExclusiveOpenAndAFailedChannelRefusesControls) {
  const auto id = AddInstrument("nv1");
  const std::string path = Path(id);
  ZdUSBDevice first(path.c_str());
  ASSERT_TRUE(first.IsOpen());
  usbtest::ClearCapture();

  ZdUSBDevice second(path.c_str());
  EXPECT_EQ(second.Handle, platform::kInvalidDeviceHandle);
  EXPECT_EQ(InfoText(), "Opening device \"" + path + "\"...Failed: " + kSharingText + "\n");
  // No driver call on an invalid handle.
  EXPECT_FALSE(second.SetTimeout(100));
  EXPECT_EQ(second.Timeout, 0u);
  EXPECT_FALSE(second.IoControl(platform::kIoctlResetChannel, "\0\0\0\0", 4, nullptr, 0));
  EXPECT_FALSE(second.ResetChannel());
  EXPECT_EQ(State(id).channelTimeout, 5000u);

  // Once the first lets go, the device opens again.
  first.Close();
  ZdUSBDevice third(path.c_str());
  EXPECT_TRUE(third.IsOpen());
}

TEST_F(ChannelTest, RefusedOpensAndHandlesInUseGiveTheirTexts) {
  const auto refusing =
      AddInstrument("busy", [](nvsim::InstrumentConfig& c) { c.refuseOpen = true; });
  const auto inUse =
      AddInstrument("inuse", [](nvsim::InstrumentConfig& c) { c.handleStatus = 0xC0000008; });

  ZdUSBDevice busy(Path(refusing).c_str());
  EXPECT_FALSE(busy.IsOpen());
  EXPECT_NE(InfoText().find(std::string("Failed: ") + kSharingText + "\n"), std::string::npos);

  usbtest::ClearCapture();
  ZdUSBDevice taken(Path(inUse).c_str());
  EXPECT_EQ(taken.Handle, platform::kInvalidDeviceHandle);
  EXPECT_EQ(InfoText(),
            "Opening device \"" + Path(inUse) + "\"...Failed: Handle already in use?\n");
  // The handle was closed: the instrument is free again.
  EXPECT_TRUE(sim_->WaitFor(
      inUse, [](const auto& s) { return !s.connected; }, 2000));
}

TEST_F(ChannelTest, PathsThatAreNotDevices) {
  // Nothing there, a plain file, a folder: no such device.
  const std::string missing = root_ + "/missing.sock";
  const std::string plain = root_ + "/plain.sock";
  FILE* file = std::fopen(plain.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  for (const std::string& path : {missing, plain, root_}) {
    usbtest::ClearCapture();
    ZdUSBDevice device(path.c_str());
    EXPECT_FALSE(device.IsOpen()) << path;
    EXPECT_EQ(InfoText(), "Opening device \"" + path +
                              "\"...Failed: The system cannot find the file specified.\n");
  }
  // Longer than a socket address takes.
  const std::string longPath = "/tmp/" + std::string(120, 'x');
  ZdUSBDevice tooLong(longPath.c_str());
  EXPECT_FALSE(tooLong.IsOpen());
  EXPECT_EQ(platform::LastError(), platform::kErrorBadPathname);
}

TEST_F(ChannelTest, ReadsOfNothingAndReadsRefusedAfterAnError) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  unsigned char buffer[64];

  // Count 0: true at once with nothing.
  device.BytesTransferred = 99;
  EXPECT_TRUE(device.Read(buffer, 0, true));
  EXPECT_EQ(device.BytesTransferred, 0u);

  // waitAll false on an empty driver: true with 0 bytes after the driver's
  // time-out.
  ASSERT_TRUE(device.SetTimeout(300));
  uint32_t start = platform::TickCount();
  EXPECT_TRUE(device.Read(buffer, 16, false));
  EXPECT_EQ(device.BytesTransferred, 0u);
  EXPECT_GE(usbtest::DilatedSince(start), 250u);
  EXPECT_FALSE(device.WasError);

  // While WasError is set, reads do nothing (a read would wait 20000 ms).
  ASSERT_TRUE(device.SetTimeout(20000));
  device.WasError = true;
  usbtest::ClearCapture();
  start = platform::TickCount();
  EXPECT_FALSE(device.Read(buffer, 5, true));
  EXPECT_EQ(device.BytesTransferred, 0u);
  EXPECT_LT(usbtest::DilatedSince(start), 10000u);
  EXPECT_EQ(InfoText(), "Read 5 bytes: Skipped because of WasError\n");
}

TEST_F(ChannelTest, PartialReadThenDeadline) {
  const auto id = AddInstrument("nv1");
  RecordingDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.SetTimeout(400));
  ASSERT_TRUE(sim_->AddScript(id, {RawReply({1, 2, 3, 4, 5})}));
  Trigger(device);

  unsigned char buffer[16] = {};
  usbtest::ClearCapture();
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(device.Read(buffer, 16, true));
  const uint32_t took = usbtest::DilatedSince(start);
  EXPECT_GE(took, 400u);
  EXPECT_LT(took, 4000u);  // bounded by the deadline, not endless
  EXPECT_TRUE(device.WasError);
  EXPECT_EQ(device.BytesTransferred, 5u);
  EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 5),
            (std::vector<unsigned char>{1, 2, 3, 4, 5}));
  const char* expected = "\nReading data from driver failed: Timeout. Expected 16 bytes, got 5\n";
  EXPECT_STREQ(device.FailureText.Text(), expected);
  EXPECT_EQ(InfoText(), expected);
  EXPECT_GE(device.readWaits, 1);

  // Write refuses while the error stands; a purge clears it.
  usbtest::ClearCapture();
  EXPECT_FALSE(device.Write(buffer, 3));
  EXPECT_EQ(InfoText(), "Write 3 bytes: Skipped because of WasError\n");
  device.PurgeInput();
  EXPECT_FALSE(device.WasError);
}

TEST_F(ChannelTest, ReplyInSeveralTransfers) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  std::vector<uint8_t> reply(30);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i + 1);

  // One read never joins two transfers.
  ASSERT_TRUE(sim_->AddScript(id, {RawReply(reply, 3, 20)}));
  Trigger(device);
  unsigned char buffer[64] = {};
  ASSERT_TRUE(device.Read(buffer, 30, false));
  EXPECT_EQ(device.BytesTransferred, 10u);
  // waitAll collects the rest across transfers.
  ASSERT_TRUE(device.Read(buffer + 10, 20, true));
  EXPECT_EQ(device.BytesTransferred, 20u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 30), reply);

  // Garbage from the instrument is delivered as it is: the channel does not
  // look at the bytes.
  nvsim::ScriptStep garbage;
  nvsim::Fault fault;
  fault.kind = nvsim::FaultKind::kGarbage;
  fault.value = 40;
  garbage.faults.push_back(fault);
  ASSERT_TRUE(sim_->AddScript(id, {garbage}));
  Trigger(device);
  ASSERT_TRUE(device.Read(buffer, 40, true));
  EXPECT_EQ(device.BytesTransferred, 40u);
  EXPECT_FALSE(device.WasError);
}

TEST_F(ChannelTest, WritesGoInPiecesOfOutBufferSize) {
  const auto id = AddInstrument("nv1");
  RecordingDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  std::vector<uint8_t> data(2500, 0x5A);
  // Keep the instrument from reading the bytes as commands: start with a
  // length word it takes as noise.
  data[0] = data[1] = data[2] = data[3] = 0xFF;

  ASSERT_TRUE(device.Write(data.data(), 2500));
  EXPECT_EQ(device.pieces, (std::vector<uint32_t>{1024, 1024, 452}));
  device.pieces.clear();
  ASSERT_TRUE(device.Write(data.data(), 2048));
  EXPECT_EQ(device.pieces, (std::vector<uint32_t>{1024, 1024}));
  device.pieces.clear();
  ASSERT_TRUE(device.Write(data.data(), 0));
  EXPECT_TRUE(device.pieces.empty());
  EXPECT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.bytesFromHost >= 4548; }, 2000));
  EXPECT_EQ(State(id).bytesFromHost, 4548u);

  device.OutBufferSize = 0;
  usbtest::ClearCapture();
  EXPECT_FALSE(device.Write(data.data(), 7));
  EXPECT_EQ(InfoText(), "Write 7 bytes: Skipped because of OutBufferSize == 0\n");
  EXPECT_TRUE(device.pieces.empty());
}

TEST_F(ChannelTest, EndlessTimeOutOption) {
  const auto id = AddInstrument("nv1");
  g_OptionWord |= kOptEndlessUsbTimeout;
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  // Attaching ends with the endless time-out in the driver and the channel.
  EXPECT_EQ(device.Timeout, 0x7FFFFFFFu);
  EXPECT_EQ(State(id).channelTimeout, 0x7FFFFFFFu);

  g_TraceLevel = 1;
  usbtest::ClearCapture();
  EXPECT_TRUE(device.SetTimeout(300));
  EXPECT_EQ(InfoText(), "Setting timeout = 2147483647 ms\n");
  EXPECT_EQ(device.Timeout, 2147483647u);

  // The purge drains with 100 ms and leaves the option on.
  usbtest::ClearCapture();
  const uint32_t start = platform::TickCount();
  device.PurgeInput();
  EXPECT_LT(usbtest::DilatedSince(start), 5000u);
  EXPECT_EQ(InfoText(), "Setting timeout = 100 ms\nSetting timeout = 2147483647 ms\n");
  EXPECT_TRUE(IsOptionOn(kOptEndlessUsbTimeout));
  EXPECT_EQ(State(id).channelTimeout, 0x7FFFFFFFu);
}

TEST_F(ChannelTest, PurgeStopsAfterSixteenReads) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  // 40 transfers of 10 bytes queue up; a purge takes 16 of them.
  std::vector<uint8_t> reply(400, 0x33);
  ASSERT_TRUE(sim_->AddScript(id, {RawReply(reply, 40, 0)}));
  Trigger(device);
  ASSERT_TRUE(device.SetTimeout(200));
  unsigned char buffer[512];
  ASSERT_TRUE(device.Read(buffer, 10, true));  // all 40 have arrived after the first

  device.WasError = true;
  device.PurgeInput();
  EXPECT_FALSE(device.WasError);
  EXPECT_EQ(device.Timeout, 200u);
  EXPECT_EQ(State(id).channelTimeout, 200u);

  uint32_t left = 0;
  while (device.Read(buffer, sizeof buffer, false) && device.BytesTransferred != 0)
    left += device.BytesTransferred;
  EXPECT_EQ(left, 400u - 10u - 16u * 10u);

  // An empty driver ends the purge at its first time-out.
  uint32_t start = platform::TickCount();
  device.PurgeInput();
  EXPECT_LT(usbtest::DilatedSince(start), 3000u);

  // Data that keeps coming does not keep the purge going: 16 reads, then
  // it stops although more is still arriving.
  ASSERT_TRUE(sim_->Emit(id, std::vector<uint8_t>(8, 0x44), 100000, 5));
  start = platform::TickCount();
  device.PurgeInput();
  const uint32_t took = usbtest::DilatedSince(start);
  EXPECT_LT(took, 16u * 100u + 3000u);
  EXPECT_TRUE(device.Read(buffer, 8, true));
}

TEST_F(ChannelTest, ResetThrowsAwayQueuedInput) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.SetTimeout(200));
  ASSERT_TRUE(sim_->AddScript(id, {RawReply({9, 8, 7})}));
  Trigger(device);
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.scriptLeft == 0; }, 2000));
  platform::Sleep(50);
  EXPECT_TRUE(device.ResetChannel());
  unsigned char buffer[8];
  EXPECT_TRUE(device.Read(buffer, 3, false));
  EXPECT_EQ(device.BytesTransferred, 0u);
}

TEST_F(ChannelTest, CloseTwiceReleasesOnce) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  g_TraceLevel = 1;
  usbtest::ClearCapture();
  device.Close();
  EXPECT_EQ(device.Handle, 0u);
  EXPECT_EQ(InfoText(), "Closing device\n");
  EXPECT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return !s.connected; }, 2000));
  device.Close();
  EXPECT_EQ(device.Handle, 0u);
  EXPECT_EQ(InfoText().find("Error closing handle"), std::string::npos);
  // A closed (zero) handle reaches the driver and fails there.
  EXPECT_FALSE(device.SetTimeout(100));
  EXPECT_FALSE(device.ResetChannel());

  // Re-open on the same object.
  device.AttachHandle(device.OpenDevice(device.DevicePath.Text()));
  EXPECT_TRUE(device.IsOpen());
  EXPECT_EQ(State(id).connections, 2u);
}

TEST_F(ChannelTest, DeviceVanishingMidRead) {
  const auto id = AddInstrument("nv1");
  RecordingDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.SetTimeout(30000));
  std::thread unplug([&] {
    platform::Sleep(300);
    sim_->Unplug(id);
  });
  unsigned char buffer[16];
  usbtest::ClearCapture();
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(device.Read(buffer, 16, true));
  unplug.join();
  EXPECT_LT(usbtest::DilatedSince(start), 20000u);  // well before the 30000 ms deadline
  EXPECT_TRUE(device.WasError);
  EXPECT_EQ(device.BytesTransferred, 0u);
  EXPECT_EQ(InfoText(),
            "\nError 1167: The device is not connected.\n"
            "\nReading data from driver failed, got only 0 bytes\n");

  // Everything after fails the same way, and says so.
  device.WasError = false;
  usbtest::ClearCapture();
  EXPECT_FALSE(device.WriteRaw(buffer, 4));
  EXPECT_TRUE(device.WasError);
  EXPECT_EQ(InfoText(), "\nThe device is not connected.\n\nSending data to driver failed\n");
  EXPECT_FALSE(device.ResetChannel());
  // A purge on a gone device still ends.
  device.PurgeInput();
  EXPECT_FALSE(device.WasError);
}

TEST_F(ChannelTest, DeviceVanishingWithPartOfTheReply) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  nvsim::ScriptStep step = RawReply({1, 2, 3, 4, 5, 6}, 2, 1000);
  ASSERT_TRUE(sim_->AddScript(id, {step}));
  Trigger(device);
  std::thread unplug([&] {
    platform::Sleep(400);
    sim_->Unplug(id);
  });
  unsigned char buffer[6];
  usbtest::ClearCapture();
  EXPECT_FALSE(device.Read(buffer, 6, true));
  unplug.join();
  EXPECT_EQ(device.BytesTransferred, 3u);
  EXPECT_NE(InfoText().find("\nReading data from driver failed, got only 3 bytes\n"),
            std::string::npos);
}

TEST_F(ChannelTest, GarbageFromTheDriverFailsTheReadAtOnce) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.SetTimeout(30000));
  nvsim::TransportFault fault;
  fault.kind = nvsim::TransportFaultKind::kCountAboveMax;
  fault.request = nvsim::kRead;
  ASSERT_TRUE(sim_->SetTransportFault(id, fault));
  unsigned char buffer[16] = {};
  usbtest::ClearCapture();
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(device.Read(buffer, 16, true));
  EXPECT_LT(usbtest::DilatedSince(start), 5000u);  // no wait for bytes that never come
  EXPECT_TRUE(device.WasError);
  EXPECT_EQ(device.BytesTransferred, 0u);
  // Nothing of the oversized answer reached the buffer.
  EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 16), std::vector<unsigned char>(16, 0));
  EXPECT_EQ(InfoText(),
            "\nError 1167: The device is not connected.\n"
            "\nReading data from driver failed, got only 0 bytes\n");
}

TEST_F(ChannelTest, DumpInputPrintsWhatArrives) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  ASSERT_TRUE(device.IsOpen());
  ASSERT_TRUE(device.SetTimeout(100));
  // A read size larger than the thread buffer's room must not overrun it.
  device.InBufferSize = 70000;
  ASSERT_TRUE(sim_->AddScript(id, {RawReply({0x0A, 0xFF, 0x00})}));
  Trigger(device);
  ASSERT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.scriptLeft == 0; }, 2000));
  platform::Sleep(50);
  usbtest::ClearCapture();
  device.DumpInput();
  EXPECT_EQ(InfoText(),
            "Reading data from USB...\nBytes read: 3 = 0A FF 00\n"
            "Reading data from USB...\nBytes read: 0 =\n");
  EXPECT_EQ(device.GetThreadBuffer()->InPending(), 0u);
}

TEST_F(ChannelTest, ThreadBuffersAreReclaimedWhenTheirThreadEnded) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  USBDeviceBuffer* mine = device.GetThreadBuffer();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(device.GetThreadBuffer(), mine);

  uint32_t endedId = 0;
  std::thread([&] {
    USBDeviceBuffer* buffer = device.GetThreadBuffer();
    endedId = buffer->ThreadId;
  }).join();
  EXPECT_EQ(device.ThreadBufferCount(), 2u);

  // A new thread asking for its buffer reclaims the ended one's.
  std::atomic<bool> release{false};
  std::atomic<uint32_t> countSeen{0};
  std::thread waiting([&] {
    device.GetThreadBuffer();
    countSeen = device.ThreadBufferCount();
    while (!release)
      platform::Sleep(1);
  });
  while (countSeen == 0)
    platform::Sleep(1);
  EXPECT_EQ(countSeen.load(), 2u);  // mine and the waiting thread's
  // A running thread's buffer is kept.
  std::thread([&] { device.GetThreadBuffer(); }).join();
  EXPECT_EQ(device.ThreadBufferCount(), 3u);
  release = true;
  waiting.join();
  EXPECT_EQ(device.GetThreadBuffer(), mine);
  EXPECT_NE(endedId, 0u);
}

TEST_F(ChannelTest, ReportTexts) {
  const auto id = AddInstrument("nv1");
  ZdUSBDevice device(Path(id).c_str());
  usbtest::ClearCapture();

  device.Error("bad reply %u\n", 7u);
  EXPECT_STREQ(device.LastError.Text(), "Device error: bad reply 7\n");
  device.DeviceName = "NV2 #12";
  device.Error("late");
  EXPECT_STREQ(device.LastError.Text(), "Device \"NV2 #12\" error: late");
  EXPECT_EQ(usbtest::ErrorText(), "Device error: bad reply 7\n\nDevice \"NV2 #12\" error: late\n");

  usbtest::ClearCapture();
  platform::SetLastError(platform::kErrorSemTimeout);
  ZdUSBDevice::ReportError("query %s", "x");
  EXPECT_EQ(usbtest::ErrorText(),
            "Device error: query x [The semaphore timeout period has expired.]\n");

  usbtest::ClearCapture();
  ZdUSBDevice::Message("%d devices\n", 3);
  device.Log("a=%u ", 1u);
  device.LogHighlighted("%s", "100%");
  EXPECT_EQ(InfoText(), "3 devices\na=1 100%");

  // With the hooks unset the texts go nowhere (and nothing breaks).
  SetDeviceOutputHooks(nullptr, nullptr);
  device.Error("unseen");
  EXPECT_STREQ(device.LastError.Text(), "Device \"NV2 #12\" error: unseen");
}

TEST_F(ChannelTest, KaltoIsSeenByItsMutex) {
  // (Not tested for absence: another test process may hold it meanwhile.)
  const auto kalto = usbtest::HoldKalto();
  ASSERT_TRUE(kalto->IsHeld());
  EXPECT_TRUE(IsKaltoRunning());
}

}  // namespace
