// The exported functions end to end: the built shared library, loaded at
// run time, against simulated instruments.
#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "host.h"

namespace e2e {
namespace {

using Bytes = std::array<uint8_t, 12>;

class Exports : public HostTest {};

TEST_F(Exports, NothingAttachedGivesNothing) {
  EXPECT_EQ(Library().getDeviceList(nullptr), 0u);
  uint32_t ids[2] = {0xA5A5A5A5, 0xA5A5A5A5};
  EXPECT_EQ(Library().getDeviceList(ids), 0u);
  EXPECT_EQ(ids[0], 0xA5A5A5A5u);
  for (uint32_t id : {0u, 1u, 2u, 1000u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Serial(id), std::nullopt) << id;
    EXPECT_EQ(HardwareId(id), std::nullopt) << id;
    uint8_t test = 0x7F, calibration = 0x7F;
    uint32_t programmed = 0x7F7F7F7F, calibrated = 0x7F7F7F7F;
    EXPECT_EQ(Library().getDeviceDatabaseInfo(id, &test, &calibration, &programmed, &calibrated),
              NVD_DB_NO_DEVICE);
    EXPECT_EQ(test, 0x7F);
    EXPECT_EQ(calibration, 0x7F);
    EXPECT_EQ(programmed, 0x7F7F7F7Fu);
    EXPECT_EQ(calibrated, 0x7F7F7F7Fu);
  }
}

TEST_F(Exports, SecondCallKeepsIdsAndOpensNothing) {
  const auto a = Add(Instrument("nv-a", "NV2-000001"));
  const auto b = Add(Instrument("nv-b", "NV2-000002"));
  const auto c = Add(Instrument("nv-c", "NV2-000003"));
  const auto first = List();
  ASSERT_EQ(first.size(), 3u);
  // Fresh ids in a row, in list order.
  EXPECT_EQ(first[1], first[0] + 1);
  EXPECT_EQ(first[2], first[0] + 2);
  const auto second = List();
  EXPECT_EQ(second, first);
  for (auto id : {a, b, c}) {
    EXPECT_EQ(State(id).connections, 1u);
    EXPECT_EQ(State(id).refusals, 0u);
  }
  std::set<std::string> serials;
  for (uint32_t id : second)
    serials.insert(Serial(id).value_or("?"));
  EXPECT_EQ(serials, (std::set<std::string>{"NV2-000001", "NV2-000002", "NV2-000003"}));
}

TEST_F(Exports, ReplugGivesNewIdAndForgetsTheOld) {
  const auto a = Add(Instrument("nv-a", "NV2-000001"));
  Add(Instrument("nv-b", "NV2-000002"));
  const auto before = List();
  ASSERT_EQ(before.size(), 2u);
  uint32_t oldA = 0, idB = 0;
  for (uint32_t id : before)
    (Serial(id) == "NV2-000001" ? oldA : idB) = id;
  ASSERT_NE(oldA, 0u);

  // Unplugged and plugged in again between two calls: the same path comes
  // back, but it is a new connection and a new id.
  ASSERT_TRUE(sim_->Unplug(a));
  ASSERT_TRUE(sim_->Plug(a));
  const auto after = List();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], idB);  // the other instrument keeps its id and place
  const uint32_t newA = after[1];
  EXPECT_GT(newA, *std::max_element(before.begin(), before.end()));
  EXPECT_EQ(Serial(newA), "NV2-000001");
  EXPECT_EQ(Serial(oldA), std::nullopt);
  EXPECT_EQ(HardwareId(oldA), std::nullopt);
  EXPECT_EQ(State(a).connections, 2u);

  // Unplugged, listed without it, then back.
  ASSERT_TRUE(sim_->Unplug(a));
  EXPECT_EQ(List(), std::vector<uint32_t>{idB});
  EXPECT_EQ(Serial(newA), std::nullopt);
  ASSERT_TRUE(sim_->Plug(a));
  const auto last = List();
  ASSERT_EQ(last.size(), 2u);
  EXPECT_GT(last[1], newA);
}

TEST_F(Exports, FailedIdentificationUsesUpAnId) {
  Add(Instrument("nv-a", "NV2-000001"));
  const auto first = List();
  ASSERT_EQ(first.size(), 1u);

  // Answers the set-up, then every GET_STATUS with an error code.
  auto failing = Instrument("nv-f", "NV2-000666");
  nvsim::Fault wrongCode;
  wrongCode.kind = nvsim::FaultKind::kWrongCode;
  wrongCode.code = nvsim::command::kGetStatus;
  wrongCode.times = 0;
  failing.faults.push_back(wrongCode);
  const auto f = Add(failing);
  // One call, one attempt (every call tries a new instrument again).
  uint32_t ids[4] = {};
  EXPECT_EQ(Library().getDeviceList(ids), 1u);
  EXPECT_EQ(ids[0], first[0]);
  EXPECT_GE(State(f).commands, 2u);  // it was really tried
  // and closed again
  EXPECT_TRUE(sim_->WaitFor(
      f, [](const auto& s) { return !s.connected; }, 2000));
  ASSERT_TRUE(sim_->Remove(f));

  Add(Instrument("nv-b", "NV2-000002"));
  EXPECT_EQ(Library().getDeviceList(ids), 2u);
  EXPECT_EQ(ids[1], first[0] + 2);  // the failed attempt used first + 1
}

TEST_F(Exports, SerialAndHardwareIdBytes) {
  Add(Instrument("nv-a", "ABC", {1, 2, 3}));
  const auto ids = List();
  ASSERT_EQ(ids.size(), 1u);
  EXPECT_EQ(Library().getDeviceSerial(ids[0], nullptr), 4u);
  EXPECT_EQ(Serial(ids[0]), "ABC");
  EXPECT_EQ(HardwareId(ids[0]), (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
}

TEST_F(Exports, HardwareIdWithAZeroWordIsNotGiven) {
  // No serials in the public areas.
  Add(Instrument("nv-a", "", {0x1000000, 0, 2}));
  Add(Instrument("nv-b", "", {0x80000001, 0x00ABCDEF, 0xFFFFFFFF}));
  const auto ids = List();
  ASSERT_EQ(ids.size(), 2u);  // listed all the same
  std::vector<std::optional<std::string>> serials;
  int given = 0;
  for (uint32_t id : ids) {
    serials.push_back(Serial(id));
    if (auto bytes = HardwareId(id)) {
      ++given;
      EXPECT_EQ(*bytes,
                (Bytes{0x01, 0x00, 0x00, 0x80, 0xEF, 0xCD, 0xAB, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    }
  }
  EXPECT_EQ(given, 1);
  // Without a serial in the public area the identifier's text stands in.
  EXPECT_NE(std::find(serials.begin(), serials.end(), "01000000-00000000-00000002"), serials.end());
  EXPECT_NE(std::find(serials.begin(), serials.end(), "80000001-00ABCDEF-FFFFFFFF"), serials.end());
}

TEST_F(Exports, InstrumentThatStopsAnsweringIsDroppedAndFoundAgain) {
  const auto a = Add(Instrument("nv-a", "NV2-000001"));
  const auto first = List();
  ASSERT_EQ(first.size(), 1u);
  // The instrument drops off the bus and comes back by itself before the
  // host looks again.
  ASSERT_TRUE(sim_->Unplug(a, 200));
  ASSERT_TRUE(sim_->WaitFor(
      a, [](const auto& s) { return s.plugged; }, 5000));
  const auto second = List();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_GT(second[0], first[0]);
  EXPECT_EQ(Serial(first[0]), std::nullopt);
}

TEST_F(Exports, TwoThreadsListingAtOnceStayConsistent) {
  std::vector<nvsim::Simulator::Id> instruments;
  for (int i = 0; i < 4; ++i)
    instruments.push_back(Add(Instrument("nv-" + std::to_string(i), "T" + std::to_string(i))));

  std::atomic<bool> bad{false};
  auto lister = [&] {
    for (int round = 0; round < 15; ++round) {
      uint32_t ids[64];
      const uint32_t count = Library().getDeviceList(ids);
      if (count > 4) bad = true;
      for (uint32_t i = 1; i < count && i < 64; ++i)
        if (ids[i] <= ids[i - 1]) bad = true;  // list order is id order, no twice
    }
  };
  std::thread one(lister), two(lister);
  // Meanwhile an instrument comes and goes.
  for (int i = 0; i < 3; ++i) {
    sim_->Unplug(instruments[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    sim_->Plug(instruments[1]);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  one.join();
  two.join();
  EXPECT_FALSE(bad);

  const auto ids = List();
  ASSERT_EQ(ids.size(), 4u);
  for (auto id : instruments) {
    // Never two opens of one instrument at the same time.
    EXPECT_EQ(State(id).refusals, 0u);
  }
  std::set<std::string> serials;
  for (uint32_t id : ids)
    serials.insert(Serial(id).value_or("?"));
  EXPECT_EQ(serials, (std::set<std::string>{"T0", "T1", "T2", "T3"}));
}

}  // namespace
}  // namespace e2e
