// Reset into the loader, start of the target, re-opening the handle.
#include <algorithm>
#include <string>

#include "platform/time.h"
#include "protocol/support/harness.h"

using namespace prototest;

namespace {

using ResetTest = ProtocolTest;

// The reset waits 3000 ms, then re-opens until the instrument is back.
TEST_F(ResetTest, ResetTargetReopensIntoTheLoader) {
  for (const uint32_t away : {1000u, 5000u}) {
    nvsim::InstrumentConfig config;
    config.reenumDelayMs = away;
    auto device = Start(config);
    const uint32_t start = platform::TickCount();
    ASSERT_TRUE(device->ResetTarget()) << LogText();
    EXPECT_GE(DilatedSince(start), std::max(away, 3000u));
    EXPECT_NE(device->StatusWord & BOOT_BIT, 0u);
    EXPECT_TRUE(State(id_).loader);
    const std::string log = LogText();
    EXPECT_EQ(log.rfind("Re-initializing device\nClosing device handle\nWaiting 3000 ms...\n", 0),
              0u)
        << log;
    EXPECT_NE(log.find("SET_EXCHANGE: TargetId"), std::string::npos);
    EXPECT_GE(CountOf(log, "Opening device"), away > 3000 ? 2u : 1u);
  }
}

TEST_F(ResetTest, ReinitializeClearsTheFailedStateOrGivesUpAfterHundredTries) {
  auto device = StartFaulty(FaultKind::kNoReply, GET_STATUS, 2);
  device->NoDebugTraceOnError = true;
  device->ReinitDelay = 100;
  EXPECT_FALSE(device->GetStatus());
  ASSERT_TRUE(device->ErrorEvent.Wait(0));
  ASSERT_TRUE(device->Reinitialize());
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
  EXPECT_FALSE(device->WasError);
  EXPECT_TRUE(device->GetStatus());

  device->ReinitDelay = 0;
  sim_->Unplug(id_);
  ClearLog();
  EXPECT_FALSE(device->Reinitialize());
  EXPECT_EQ(CountOf(LogText(), "Opening device"), 100u);
  EXPECT_NE(LogText().find("Re-initialization failed\n"), std::string::npos);
  EXPECT_FALSE(device->IsOpen());
}

// The wait after START_TARGET: the public area's time-out when the area is
// large enough to hold it, else 2000 ms.
TEST_F(ResetTest, StartWaitComesFromThePublicArea) {
  struct Case {
    uint32_t size;
    uint32_t timeout;
    uint32_t waited;
  };
  for (const Case& c : {Case{150, 500, 2000}, Case{192, 500, 500}, Case{448, 700, 700}}) {
    nvsim::InstrumentConfig config;
    config.loader = true;
    config.reenumDelayMs = 100;
    config.publicArea.size = c.size;
    config.publicArea.targetStartTimeOut = c.timeout;
    auto device = Start(config);
    device->ReinitDelay = 100;
    ASSERT_TRUE(device->ReadPublicArea());
    ClearLog();
    const uint32_t start = platform::TickCount();
    ASSERT_TRUE(device->StartTarget()) << LogText();
    EXPECT_GE(DilatedSince(start), c.waited);
    EXPECT_EQ(LogText().rfind("FLASH_OK\nWaiting " + std::to_string(c.waited) + " ms.\n", 0), 0u)
        << LogText();
    EXPECT_EQ(device->StatusWord & BOOT_BIT, 0u);
  }
}

TEST_F(ResetTest, ModeSwitchesThatDoNotHappen) {
  nvsim::InstrumentConfig staying;
  staying.resetStaysInTarget = true;
  staying.reenumDelayMs = 200;
  auto device = Start(staying);
  EXPECT_FALSE(device->ResetTarget());
  EXPECT_NE(LogText().find("Error: BOOT_BIT is off after RESET_TARGET\n"), std::string::npos);

  nvsim::InstrumentConfig config;
  config.loader = true;
  config.startStatus = FLASH_INVALID_TARGET;  // returns at once, index 0
  device = Start(config);
  device->ExchangeIndex = 7;
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(device->StartTarget());
  EXPECT_LT(DilatedSince(start), 1000u);
  EXPECT_EQ(LogText(), "FLASH_INVALID_TARGET\n");
  EXPECT_EQ(Received(START_TARGET).at(0), START_TARGET);

  config.publicArea.targetStartTimeOut = 100;
  config.startStatus = FLASH_INV_ADDR;  // waits, and the instrument stays in its loader
  device = Start(config);
  ASSERT_TRUE(device->ReadPublicArea());
  ClearLog();
  EXPECT_FALSE(device->StartTarget());
  const std::string log = LogText();
  EXPECT_EQ(log.rfind("FLASH_INV_ADDR\nWaiting 100 ms.\n", 0), 0u) << log;
  EXPECT_NE(log.find("Error: BOOT_BIT is on after START_TARGET\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Re-initializing"), std::string::npos);
}

TEST_F(ResetTest, ProbeInformAndReconnect) {
  auto device = Start();
  EXPECT_TRUE(device->ProbeTarget());
  EXPECT_FALSE(device->InformLoader());
  EXPECT_FALSE(device->WasError);
  EXPECT_NE(LogText().find(" <Skipping reply>\nReading device to inform loader\n"),
            std::string::npos)
      << LogText();
  // FLASH_INIT sent the instrument into its loader; it comes back.
  device->ReinitDelay = 1500;
  ASSERT_TRUE(device->Reconnect()) << LogText();
  EXPECT_TRUE(device->GetStatus());
  EXPECT_NE(device->StatusWord & BOOT_BIT, 0u);
}

}  // namespace
