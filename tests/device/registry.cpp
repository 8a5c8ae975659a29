// The device registry's phases that the exported functions cannot show:
// which failed devices the next update drops, what it sets on a new device,
// and that destroying the registry closes every device.
#include "device/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "protocol/commands.h"
#include "support/private_simulator.h"

namespace {

constexpr double kTimeScale = 50;
std::string g_Log;

void CaptureLog(const char* format, va_list args) {
  g_Log += VFormat(format, args);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPrintHook(CaptureLog);
    g_Log.clear();
    sim_ = testsupport::StartPrivateSimulator("/tmp/nvr", kTimeScale);
    ASSERT_NE(sim_, nullptr);
  }
  void TearDown() override {
    registry_.reset();
    sim_.reset();
  }

  nvsim::Simulator::Id Add(const std::string& name) {
    nvsim::InstrumentConfig config;
    config.name = name;
    config.publicArea.prodSerNumber = "S-" + name;
    return sim_->Add(config);
  }
  void Fault(nvsim::Simulator::Id id, nvsim::FaultKind kind, uint32_t code, uint32_t times) {
    nvsim::Fault fault;
    fault.kind = kind;
    fault.code = code;
    fault.times = times;
    ASSERT_TRUE(sim_->AddFault(id, fault));
  }

  std::unique_ptr<testsupport::PrivateSimulator> sim_;
  std::unique_ptr<DeviceRegistry> registry_ = std::make_unique<DeviceRegistry>();
};

TEST_F(Registry, NewDeviceIsPreparedTracedAndListingLogged) {
  g_TraceLevel = 0;
  Add("nv-a");
  uint32_t ids[2] = {};
  ASSERT_EQ(registry_->Update(ids), 1u);
  EXPECT_EQ(ids[0], 1u);
  NVDevice* device = registry_->Find(1);
  ASSERT_NE(device, nullptr);
  EXPECT_TRUE(device->Ready);
  EXPECT_TRUE(device->IgnoreSignature);
  EXPECT_TRUE(device->NoDebugTraceOnError);
  EXPECT_STREQ(device->SerialNumber.Text(), "S-nv-a");
  EXPECT_EQ(g_TraceLevel, 1);
  EXPECT_NE(g_Log.find("======= USB device list =======\n#0: "), std::string::npos) << g_Log;

  // Nothing attached: the empty listing is logged as well.
  sim_->Remove(1);
  g_Log.clear();
  EXPECT_EQ(registry_->Update(nullptr), 0u);
  EXPECT_NE(g_Log.find("=== USB device list is empty ==="), std::string::npos) << g_Log;
}

TEST_F(Registry, FailedExchangeIsDroppedAtTheNextUpdateAndFoundAgain) {
  const auto a = Add("nv-a");
  Add("nv-b");
  ASSERT_EQ(registry_->Update(nullptr), 2u);
  NVDevice* device = registry_->Find(1);
  ASSERT_NE(device, nullptr);
  // Both attempts of the next GET_STATUS get an error reply.
  Fault(a, nvsim::FaultKind::kWrongCode, nvsim::command::kGetStatus, 2);
  EXPECT_FALSE(device->GetStatus());
  EXPECT_TRUE(device->WasError);
  EXPECT_NE(registry_->Find(1), nullptr);  // still there until the next update

  uint32_t ids[4] = {};
  ASSERT_EQ(registry_->Update(ids), 2u);
  EXPECT_EQ(ids[0], 2u);  // the other keeps its id and moves up
  EXPECT_EQ(ids[1], 3u);  // still attached: added again under a new id
  EXPECT_EQ(registry_->Find(1), nullptr);
  EXPECT_EQ(sim_->State(a)->connections, 2u);
}

TEST_F(Registry, UnrecognizedReplyIsDroppedAtTheNextUpdate) {
  const auto a = Add("nv-a");
  ASSERT_EQ(registry_->Update(nullptr), 1u);
  NVDevice* device = registry_->Find(1);
  ASSERT_NE(device, nullptr);
  // The public-area read takes "unrecognized command" as an empty area.
  Fault(a, nvsim::FaultKind::kUnrecognized, nvsim::command::kRdFlashArea, 1);
  EXPECT_TRUE(device->ReadPublicArea());
  EXPECT_FALSE(device->WasError);
  EXPECT_EQ(device->ReplyCode, kUnrecognizedCommand);

  uint32_t ids[2] = {};
  ASSERT_EQ(registry_->Update(ids), 1u);
  EXPECT_EQ(ids[0], 2u);
}

// Instruments unplugged and plugged in again under their old paths, side by
// side and at the end: each dead connection is dropped, the others keep
// their ids and order and are not opened again, and the returning ones are
// added under new ids in enumeration order.
TEST_F(Registry, DeadConnectionsAmongManyAreDroppedAndFoundAgain) {
  std::vector<nvsim::Simulator::Id> sims;
  for (const char* name : {"nv-a", "nv-b", "nv-c", "nv-d", "nv-e", "nv-f"})
    sims.push_back(Add(name));
  uint32_t ids[8] = {};
  ASSERT_EQ(registry_->Update(ids), 6u);
  for (const size_t replugged : {1, 2, 5}) {
    ASSERT_TRUE(sim_->Unplug(sims[replugged]));
    ASSERT_TRUE(sim_->Plug(sims[replugged]));
  }

  ASSERT_EQ(registry_->Update(ids), 6u);
  const uint32_t expected[] = {1, 4, 5, 7, 8, 9};
  EXPECT_TRUE(std::equal(std::begin(expected), std::end(expected), ids));
  EXPECT_STREQ(registry_->Find(7)->SerialNumber.Text(), "S-nv-b");
  EXPECT_STREQ(registry_->Find(9)->SerialNumber.Text(), "S-nv-f");
  EXPECT_EQ(sim_->State(sims[0])->connections, 1u);
  EXPECT_EQ(sim_->State(sims[1])->connections, 2u);
}

TEST_F(Registry, IdCounterSkipsZeroWhenItWraps) {
  // An instrument that keeps failing identification uses up an id per
  // update; after 2^32 of them the counter wraps.
  const auto failing = Add("nv-a");
  Fault(failing, nvsim::FaultKind::kWrongCode, nvsim::command::kGetStatus, 0);
  registry_->SetLastIdForTest(0xFFFFFFFE);
  EXPECT_EQ(registry_->Update(nullptr), 0u);
  EXPECT_EQ(registry_->LastId(), 0xFFFFFFFFu);
  EXPECT_EQ(registry_->Update(nullptr), 0u);
  EXPECT_EQ(registry_->LastId(), 1u);

  Add("nv-b");
  uint32_t ids[2] = {};
  ASSERT_EQ(registry_->Update(ids), 1u);
  EXPECT_EQ(ids[0], 3u);  // nv-a took 2 and failed again
  EXPECT_EQ(registry_->Find(0), nullptr);
}

TEST_F(Registry, DestroyingTheRegistryClosesEveryDevice) {
  const auto a = Add("nv-a");
  const auto b = Add("nv-b");
  ASSERT_EQ(registry_->Update(nullptr), 2u);
  EXPECT_TRUE(sim_->State(a)->connected);
  registry_.reset();
  for (auto id : {a, b})
    EXPECT_TRUE(sim_->WaitFor(
        id, [](const auto& s) { return !s.connected; }, 2000))
        << id;
}

}  // namespace
