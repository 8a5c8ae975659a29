// Reset into the loader, start of the target, re-opening the handle.
#include <string>

#include "platform/time.h"
#include "protocol/support/harness.h"

using namespace prototest;
using nvsim::FaultKind;

namespace {

class ResetTest : public ProtocolTest {};

TEST_F(ResetTest, ResetTargetReopensIntoTheLoader) {
  nvsim::InstrumentConfig config;
  config.reenumDelayMs = 1000;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->ResetTarget()) << LogText();
  EXPECT_GE(DilatedSince(start), 3000u);
  EXPECT_NE(device->StatusWord & BOOT_BIT, 0u);
  EXPECT_TRUE(State(id).loader);
  const std::string log = LogText();
  EXPECT_EQ(log.rfind("Re-initializing device\nClosing device handle\nWaiting 3000 ms...\n", 0), 0u)
      << log;
  EXPECT_NE(log.find("SET_EXCHANGE: TargetId"), std::string::npos);
}

TEST_F(ResetTest, ResetOfAnInstrumentThatStaysInItsTarget) {
  nvsim::InstrumentConfig config;
  config.resetStaysInTarget = true;
  config.reenumDelayMs = 200;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  EXPECT_FALSE(device->ResetTarget());
  EXPECT_NE(LogText().find("Error: BOOT_BIT is off after RESET_TARGET\n"), std::string::npos);
}

TEST_F(ResetTest, ReinitializeWaitsForASlowInstrument) {
  nvsim::InstrumentConfig config;
  config.reenumDelayMs = 5000;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  const uint32_t start = platform::TickCount();
  ASSERT_TRUE(device->ResetTarget()) << LogText();
  EXPECT_GE(DilatedSince(start), 5000u);
  EXPECT_GE(CountOf(LogText(), "Opening device"), 2u);
}

TEST_F(ResetTest, ReinitializeGivesUpAfterHundredTries) {
  const auto id = AddInstrument();
  auto device = Open(id);
  device->ReinitDelay = 0;
  sim_->Unplug(id);
  EXPECT_FALSE(device->Reinitialize());
  EXPECT_EQ(CountOf(LogText(), "Opening device"), 100u);
  EXPECT_NE(LogText().find("Re-initialization failed\n"), std::string::npos);
  EXPECT_FALSE(device->IsOpen());
}

TEST_F(ResetTest, ReinitializeClearsTheFailedState) {
  nvsim::InstrumentConfig config;
  config.faults.push_back(FaultOf(FaultKind::kNoReply, GET_STATUS, 2));
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->NoDebugTraceOnError = true;
  device->ReinitDelay = 100;
  EXPECT_FALSE(device->GetStatus());
  ASSERT_TRUE(device->ErrorEvent.Wait(0));
  ASSERT_TRUE(device->Reinitialize());
  EXPECT_FALSE(device->ErrorEvent.Wait(0));
  EXPECT_FALSE(device->WasError);
  EXPECT_TRUE(device->GetStatus());
}

TEST_F(ResetTest, StartWaitComesFromThePublicArea) {
  struct Case {
    uint32_t size;
    uint32_t timeout;
    const char* line;
  };
  for (const Case& c : {Case{150, 500, "Waiting 2000 ms.\n"}, Case{192, 500, "Waiting 500 ms.\n"},
                        Case{448, 700, "Waiting 700 ms.\n"}}) {
    nvsim::InstrumentConfig config;
    config.loader = true;
    config.reenumDelayMs = 100;
    config.publicArea.size = c.size;
    config.publicArea.targetStartTimeOut = c.timeout;
    const auto id = AddInstrument(config);
    auto device = Open(id);
    device->ReinitDelay = 100;
    ASSERT_TRUE(device->ReadPublicArea());
    ClearLog();
    const uint32_t start = platform::TickCount();
    ASSERT_TRUE(device->StartTarget()) << LogText();
    const uint32_t waited = c.size >= 192 ? c.timeout : 2000;
    EXPECT_GE(DilatedSince(start), waited);
    EXPECT_EQ(LogText().rfind(std::string("FLASH_OK\n") + c.line, 0), 0u) << LogText();
    EXPECT_EQ(device->StatusWord & BOOT_BIT, 0u);
  }
}

TEST_F(ResetTest, StartWithInvalidTargetReturnsAtOnce) {
  nvsim::InstrumentConfig config;
  config.loader = true;
  config.startStatus = FLASH_INVALID_TARGET;
  const auto id = AddInstrument(config);
  auto device = Open(id);
  device->ExchangeIndex = 7;
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(device->StartTarget());
  EXPECT_LT(DilatedSince(start), 1000u);
  EXPECT_EQ(LogText(), "FLASH_INVALID_TARGET\n");
  EXPECT_EQ(Received(id, START_TARGET).at(0), START_TARGET);  // index 0
}

TEST_F(ResetTest, StartThatLeavesTheLoaderOnIsAnError) {
  nvsim::InstrumentConfig config;
  config.loader = true;
  config.publicArea.targetStartTimeOut = 100;
  config.startStatus = FLASH_INV_ADDR;  // refused: the instrument stays in its loader
  const auto id = AddInstrument(config);
  auto device = Open(id);
  ASSERT_TRUE(device->ReadPublicArea());
  ClearLog();
  EXPECT_FALSE(device->StartTarget());
  const std::string log = LogText();
  EXPECT_EQ(log.rfind("FLASH_INV_ADDR\nWaiting 100 ms.\n", 0), 0u) << log;
  EXPECT_NE(log.find("Error: BOOT_BIT is on after START_TARGET\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("Re-initializing"), std::string::npos);
}

TEST_F(ResetTest, ProbeInformAndReconnect) {
  const auto id = AddInstrument();
  auto device = Open(id);
  EXPECT_TRUE(device->ProbeTarget());
  EXPECT_FALSE(device->InformLoader());
  EXPECT_FALSE(device->WasError);
  EXPECT_NE(LogText().find(" <Skipping reply>\nReading device to inform loader\n"),
            std::string::npos)
      << LogText();
  // FLASH_INIT sent the instrument into its loader; it comes back.
  device->ReinitDelay = 1500;
  ClearLog();
  ASSERT_TRUE(device->Reconnect()) << LogText();
  EXPECT_TRUE(device->GetStatus());
  EXPECT_NE(device->StatusWord & BOOT_BIT, 0u);
}

}  // namespace
