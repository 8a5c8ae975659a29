// The channel to one instrument against simulated instruments.
#include "usb/channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/options.h"
#include "instrument.h"
#include "platform/errors.h"
#include "platform/time.h"
#include "usb/support/harness.h"

namespace {

using platform::TickCount;
using usbtest::ClearCapture;
using usbtest::DilatedSince;
using usbtest::InfoText;
using usbtest::RawReply;

constexpr const char* kSharingText =
    "The process cannot access the file because it is being used by another process.";

// Records the pieces Write hands to WriteRaw and the waits inside a Read.
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

class ChannelTest : public usbtest::SimulatorTest {
 protected:
  // An open channel to a new instrument "nv1".
  void OpenNew() {
    id_ = AddInstrument("nv1");
    device_ = std::make_unique<RecordingDevice>(Path(id_).c_str());
    ASSERT_TRUE(device_->IsOpen());
    ClearCapture();
  }
  // Asks the instrument for an answer that the next script step shapes.
  void Trigger(std::vector<nvsim::ScriptStep> steps) {
    ASSERT_TRUE(sim_->AddScript(id_, steps));
    const std::vector<uint8_t> frame = usbtest::CommandFrame(nvsim::command::kGetStatus);
    ASSERT_TRUE(device_->WriteRaw(frame.data(), 8));
  }
  void WaitUntilAnswered() {
    ASSERT_TRUE(sim_->WaitFor(
        id_, [](const auto& s) { return s.scriptLeft == 0; }, 2000));
    platform::Sleep(50);
  }

  nvsim::Simulator::Id id_ = 0;
  std::unique_ptr<RecordingDevice> device_;
};

// Exclusive open and the other refusals: each failed channel keeps no
// handle and sends no control request.
TEST_F(ChannelTest, OpenAndItsRefusals) {
  const auto held = AddInstrument("held");
  const auto inUse = AddInstrument("inuse", [](auto& c) { c.handleStatus = 0xC0000008; });
  ZdUSBDevice first(Path(held).c_str());
  EXPECT_EQ(InfoText(), "Opening device \"" + Path(held) +
                            "\"...Ok\nDevice handle opened ok\nDriver version: nvsim 1.0\n");
  EXPECT_EQ(State(held).channelTimeout, 5000u);
  EXPECT_TRUE(first.ReplyEvent.Wait(0));
  EXPECT_FALSE(first.ErrorEvent.Wait(0));

  const std::string plain = root_ + "/plain.sock";
  FILE* file = std::fopen(plain.c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  const std::string notFound = "The system cannot find the file specified.";
  const std::pair<std::string, std::string> cases[] = {{Path(held), kSharingText},
                                                       {Path(inUse), "Handle already in use?"},
                                                       {root_ + "/missing.sock", notFound},
                                                       {plain, notFound},
                                                       {root_, notFound}};
  for (const auto& [path, text] : cases) {
    ClearCapture();
    ZdUSBDevice device(path.c_str());
    EXPECT_EQ(device.Handle, platform::kInvalidDeviceHandle);
    EXPECT_EQ(InfoText(), "Opening device \"" + path + "\"...Failed: " + text + "\n");
    EXPECT_FALSE(device.SetTimeout(100));
    EXPECT_EQ(device.Timeout, 0u);
    EXPECT_FALSE(device.IoControl(platform::kIoctlResetChannel, "\0\0\0\0", 4, nullptr, 0));
    EXPECT_FALSE(device.ResetChannel());
  }
  EXPECT_EQ(State(held).channelTimeout, 5000u);
  // The handle found in use was closed again.
  EXPECT_TRUE(sim_->WaitFor(
      inUse, [](const auto& s) { return !s.connected; }, 2000));
  ZdUSBDevice tooLong(("/tmp/" + std::string(120, 'x')).c_str());
  EXPECT_FALSE(tooLong.IsOpen());
  EXPECT_EQ(platform::LastError(), platform::kErrorBadPathname);
}

TEST_F(ChannelTest, ReadsOfNothingOfOneTransferAndRefusedAfterAnError) {
  OpenNew();
  unsigned char buffer[64] = {};
  device_->BytesTransferred = 99;
  EXPECT_TRUE(device_->Read(buffer, 0, true));
  EXPECT_EQ(device_->BytesTransferred, 0u);

  // waitAll false on an empty driver: true with nothing after the time-out.
  ASSERT_TRUE(device_->SetTimeout(300));
  uint32_t start = TickCount();
  EXPECT_TRUE(device_->Read(buffer, 16, false));
  EXPECT_EQ(device_->BytesTransferred, 0u);
  EXPECT_GE(DilatedSince(start), 250u);
  EXPECT_FALSE(device_->WasError);

  // One read takes one transfer; waitAll collects several.
  std::vector<uint8_t> reply(30);
  for (size_t i = 0; i < reply.size(); ++i)
    reply[i] = static_cast<uint8_t>(i + 1);
  Trigger({RawReply(reply, 3, 20)});
  ASSERT_TRUE(device_->Read(buffer, 30, false));
  EXPECT_EQ(device_->BytesTransferred, 10u);
  ASSERT_TRUE(device_->Read(buffer + 10, 20, true));
  EXPECT_EQ(device_->BytesTransferred, 20u);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 30), reply);

  ASSERT_TRUE(device_->SetTimeout(20000));
  device_->WasError = true;
  ClearCapture();
  start = TickCount();
  EXPECT_FALSE(device_->Read(buffer, 5, true));
  EXPECT_LT(DilatedSince(start), 10000u);
  EXPECT_EQ(InfoText(), "Read 5 bytes: Skipped because of WasError\n");
}

TEST_F(ChannelTest, PartialReadThenDeadline) {
  OpenNew();
  ASSERT_TRUE(device_->SetTimeout(400));
  Trigger({RawReply({1, 2, 3, 4, 5})});
  unsigned char buffer[16] = {};
  ClearCapture();
  const uint32_t start = TickCount();
  EXPECT_FALSE(device_->Read(buffer, 16, true));
  EXPECT_GE(DilatedSince(start), 400u);
  EXPECT_LT(DilatedSince(start), 4000u);
  EXPECT_TRUE(device_->WasError);
  EXPECT_EQ(device_->BytesTransferred, 5u);
  EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 5),
            (std::vector<unsigned char>{1, 2, 3, 4, 5}));
  const char* expected = "\nReading data from driver failed: Timeout. Expected 16 bytes, got 5\n";
  EXPECT_STREQ(device_->FailureText.Text(), expected);
  EXPECT_EQ(InfoText(), expected);
  EXPECT_GE(device_->readWaits, 1);

  ClearCapture();
  EXPECT_FALSE(device_->Write(buffer, 3));
  EXPECT_EQ(InfoText(), "Write 3 bytes: Skipped because of WasError\n");
  device_->PurgeInput();
  EXPECT_FALSE(device_->WasError);
}

TEST_F(ChannelTest, WritesGoInPiecesOfOutBufferSize) {
  OpenNew();
  std::vector<uint8_t> data(2500, 0x5A);
  data[0] = data[1] = data[2] = data[3] = 0xFF;  // a length word the instrument ignores
  const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {
      {2500, {1024, 1024, 452}}, {2048, {1024, 1024}}, {0, {}}};
  for (const auto& [count, pieces] : cases) {
    device_->pieces.clear();
    ASSERT_TRUE(device_->Write(data.data(), count));
    EXPECT_EQ(device_->pieces, pieces) << count;
  }
  EXPECT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return s.bytesFromHost >= 4548; }, 2000));
  EXPECT_EQ(State(id_).bytesFromHost, 4548u);

  device_->OutBufferSize = 0;
  device_->pieces.clear();
  EXPECT_FALSE(device_->Write(data.data(), 7));
  EXPECT_EQ(InfoText(), "Write 7 bytes: Skipped because of OutBufferSize == 0\n");
  EXPECT_TRUE(device_->pieces.empty());
}

TEST_F(ChannelTest, TimeOutsAndTheEndlessOption) {
  OpenNew();
  g_TraceLevel = 1;
  EXPECT_TRUE(device_->SetTimeout(250));
  EXPECT_EQ(InfoText(), "Setting timeout = 250 ms\n");
  EXPECT_EQ(State(id_).channelTimeout, 250u);

  // With "et" a re-attached handle gets the endless time-out, whatever is asked.
  g_OptionWord |= kOptEndlessUsbTimeout;
  device_->Close();
  device_->AttachHandle(device_->OpenDevice(device_->DevicePath.Text()));
  EXPECT_EQ(State(id_).channelTimeout, 0x7FFFFFFFu);
  ClearCapture();
  EXPECT_TRUE(device_->SetTimeout(300));
  EXPECT_EQ(InfoText(), "Setting timeout = 2147483647 ms\n");

  // The purge drains with 100 ms and puts the endless time-out back.
  ClearCapture();
  const uint32_t start = TickCount();
  device_->PurgeInput();
  EXPECT_LT(DilatedSince(start), 5000u);
  EXPECT_EQ(InfoText(), "Setting timeout = 100 ms\nSetting timeout = 2147483647 ms\n");
  EXPECT_EQ(State(id_).channelTimeout, 0x7FFFFFFFu);
}

TEST_F(ChannelTest, PurgeStopsAfterSixteenReads) {
  OpenNew();
  Trigger({RawReply(std::vector<uint8_t>(400, 0x33), 40, 0)});  // 40 transfers of 10 bytes
  ASSERT_TRUE(device_->SetTimeout(200));
  unsigned char buffer[512];
  ASSERT_TRUE(device_->Read(buffer, 10, true));
  device_->WasError = true;
  device_->PurgeInput();
  EXPECT_FALSE(device_->WasError);
  EXPECT_EQ(State(id_).channelTimeout, 200u);
  uint32_t left = 0;
  while (device_->Read(buffer, sizeof buffer, false) && device_->BytesTransferred != 0)
    left += device_->BytesTransferred;
  EXPECT_EQ(left, 400u - 10u - 16u * 10u);

  // Data that keeps coming does not keep the purge going.
  ASSERT_TRUE(sim_->Emit(id_, std::vector<uint8_t>(8, 0x44), 100000, 5));
  const uint32_t start = TickCount();
  device_->PurgeInput();
  EXPECT_LT(DilatedSince(start), 16u * 100u + 3000u);
  EXPECT_TRUE(device_->Read(buffer, 8, true));
}

TEST_F(ChannelTest, ResetAndDumpInput) {
  OpenNew();
  ASSERT_TRUE(device_->SetTimeout(100));
  Trigger({RawReply({9, 8, 7})});
  WaitUntilAnswered();
  EXPECT_TRUE(device_->ResetChannel());
  unsigned char buffer[8];
  EXPECT_TRUE(device_->Read(buffer, 3, false));
  EXPECT_EQ(device_->BytesTransferred, 0u);

  device_->InBufferSize = 70000;  // more than the thread buffer holds: must not overrun it
  Trigger({RawReply({0x0A, 0xFF, 0x00})});
  WaitUntilAnswered();
  ClearCapture();
  device_->DumpInput();
  EXPECT_EQ(InfoText(),
            "Reading data from USB...\nBytes read: 3 = 0A FF 00\n"
            "Reading data from USB...\nBytes read: 0 =\n");
}

TEST_F(ChannelTest, CloseTwiceReleasesOnce) {
  OpenNew();
  g_TraceLevel = 1;
  device_->Close();
  EXPECT_EQ(InfoText(), "Closing device\n");
  EXPECT_TRUE(sim_->WaitFor(
      id_, [](const auto& s) { return !s.connected; }, 2000));
  device_->Close();
  EXPECT_EQ(device_->Handle, 0u);
  EXPECT_EQ(InfoText().find("Error closing handle"), std::string::npos);
  EXPECT_FALSE(device_->SetTimeout(100));
  EXPECT_EQ(State(id_).connections, 1u);
}

// The instrument unplugged during a read, with or without part of the reply
// (garbage from the driver takes the same path, see driver.cpp): the read
// ends early, says how many bytes it got, and later requests fail.
TEST_F(ChannelTest, DeviceGoneMidRead) {
  for (const uint32_t got : {0u, 3u}) {
    SCOPED_TRACE(got);
    OpenNew();
    ASSERT_TRUE(device_->SetTimeout(30000));
    if (got != 0) Trigger({RawReply({1, 2, 3, 4, 5, 6}, 2, 1000)});
    std::thread unplug([&] {
      platform::Sleep(400);
      sim_->Unplug(id_);
    });
    unsigned char buffer[16] = {};
    ClearCapture();
    const uint32_t start = TickCount();
    EXPECT_FALSE(device_->Read(buffer, 16, true));
    unplug.join();
    EXPECT_LT(DilatedSince(start), 20000u);
    EXPECT_TRUE(device_->WasError);
    EXPECT_EQ(device_->BytesTransferred, got);
    EXPECT_EQ(std::vector<unsigned char>(buffer + got, buffer + 16),
              std::vector<unsigned char>(16 - got, 0));
    EXPECT_EQ(InfoText(),
              "\nError 1167: The device is not connected.\n"
              "\nReading data from driver failed, got only " +
                  std::to_string(got) + " bytes\n");

    device_->WasError = false;
    ClearCapture();
    EXPECT_FALSE(device_->WriteRaw(buffer, 4));
    EXPECT_EQ(InfoText(), "\nThe device is not connected.\n\nSending data to driver failed\n");
    device_->PurgeInput();  // still ends
    device_.reset();
    sim_->Remove(id_);
  }
}

TEST_F(ChannelTest, ThreadBuffersAreReclaimedWhenTheirThreadEnded) {
  OpenNew();
  USBDeviceBuffer* mine = device_->GetThreadBuffer();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(device_->GetThreadBuffer(), mine);
  std::thread([&] { device_->GetThreadBuffer(); }).join();
  EXPECT_EQ(device_->ThreadBufferCount(), 2u);

  // A new thread reclaims the ended one's buffer; a running thread's stays.
  std::atomic<bool> release{false};
  std::atomic<uint32_t> countSeen{0};
  std::thread waiting([&] {
    device_->GetThreadBuffer();
    countSeen = device_->ThreadBufferCount();
    while (!release)
      platform::Sleep(1);
  });
  while (countSeen == 0)
    platform::Sleep(1);
  EXPECT_EQ(countSeen.load(), 2u);
  std::thread([&] { device_->GetThreadBuffer(); }).join();
  EXPECT_EQ(device_->ThreadBufferCount(), 3u);
  release = true;
  waiting.join();
  EXPECT_EQ(device_->GetThreadBuffer(), mine);
}

TEST_F(ChannelTest, ReportTexts) {
  OpenNew();
  device_->Error("bad reply %u\n", 7u);
  device_->DeviceName = "NV2 #12";
  device_->Error("late");
  EXPECT_STREQ(device_->LastError.Text(), "Device \"NV2 #12\" error: late");
  EXPECT_EQ(usbtest::ErrorText(), "Device error: bad reply 7\n\nDevice \"NV2 #12\" error: late\n");

  ClearCapture();
  platform::SetLastError(platform::kErrorSemTimeout);
  ZdUSBDevice::ReportError("query %s", "x");
  EXPECT_EQ(usbtest::ErrorText(),
            "Device error: query x [The semaphore timeout period has expired.]\n");

  ClearCapture();
  ZdUSBDevice::Message("%d devices\n", 3);
  device_->Log("a=%u ", 1u);
  device_->LogHighlighted("%s", "100%");
  EXPECT_EQ(InfoText(), "3 devices\na=1 100%");

  SetDeviceOutputHooks(nullptr, nullptr);  // texts go nowhere, nothing breaks
  device_->Error("unseen");
  EXPECT_STREQ(device_->LastError.Text(), "Device \"NV2 #12\" error: unseen");
}

}  // namespace
