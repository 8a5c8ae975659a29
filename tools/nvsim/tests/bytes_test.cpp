// The byte transport without the instrument's protocol: a loopback device and
// bytes the device sends without being asked.
#include <thread>

#include "config_text.h"
#include "raw_client.h"

namespace rawclient {
namespace {

using namespace std::chrono_literals;

using BytesTest = SimulatorTest;

TEST_F(BytesTest, LoopbackSendsEveryWriteBackAsOneTransfer) {
  auto config = Config("loop");
  std::string error;
  ASSERT_TRUE(nvsim::ApplySetting(config, "loopback", "yes", error)) << error;
  const auto id = AddInstrument(config);
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(200));

  Bytes big(2500);
  for (size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(client.Write(big)->count, 2500u);
  ASSERT_EQ(client.Write({1, 2, 3})->count, 3u);
  ASSERT_EQ(client.Write({})->count, 0u);  // nothing comes back for nothing

  Bytes got;
  for (size_t expect : {1024u, 1024u, 452u}) {
    const auto done = client.Read(1024);
    ASSERT_EQ(done->error, 0u);
    ASSERT_EQ(done->data.size(), expect);  // never joined with the next transfer
    got.insert(got.end(), done->data.begin(), done->data.end());
  }
  EXPECT_EQ(got, big);
  EXPECT_EQ(client.Read(1024)->data, (Bytes{1, 2, 3}));
  EXPECT_EQ(client.Read(1024)->error, 121u);
  // Noise for an instrument is just bytes here: no command was parsed.
  EXPECT_EQ(sim_->State(id)->commands, 0u);
  EXPECT_EQ(sim_->State(id)->bytesFromHost, 2503u);
}

TEST_F(BytesTest, EmittedTransfersKeepComingUntilTheConnectionCloses) {
  const auto id = AddInstrument(Config("nv-1"));
  EXPECT_FALSE(sim_->Emit(id, {1, 2}));  // nobody connected
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(2000));
  EXPECT_FALSE(sim_->Emit(id, {}));

  ASSERT_TRUE(sim_->Emit(id, {0xAB, 0xCD}));
  EXPECT_EQ(client.Read(1024)->data, (Bytes{0xAB, 0xCD}));

  // A stream: one transfer every 100 ms, each read takes one.
  ASSERT_TRUE(sim_->Emit(id, {9, 9, 9}, 1000, 100));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) {
    const auto done = client.Read(1024);
    ASSERT_EQ(done->error, 0u);
    EXPECT_EQ(done->data, (Bytes{9, 9, 9}));
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Real(400)));

  // Closing ends the stream: the next connection starts empty and stays so.
  client.Close();
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(300));
  EXPECT_EQ(client.Read(1024)->error, 121u);
  EXPECT_EQ(sim_->State(id)->queuedTransfers, 0u);
}

}  // namespace
}  // namespace rawclient
