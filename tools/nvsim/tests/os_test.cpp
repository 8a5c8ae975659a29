// The simulator's system layer (os.h), which POSIX and Windows builds
// implement apart: loopback streams and their ends, the waker, the files of
// the device tree, and an entry as a client of this system finds it.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "os.h"
#include "simulator.h"

namespace nvsim::os {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A fresh folder under the system's temporary folder, removed afterwards.
class OsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Short, so that device paths under it fit a socket address; random,
    // as the cases run in parallel processes.
    folder_ =
        fs::temp_directory_path() / ("nvos" + std::to_string(std::random_device()() % 1000000));
    fs::remove_all(folder_);
    std::string error;
    ASSERT_TRUE(StartSockets(&error)) << error;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
  fs::path folder_;
};

// Waits until the listener has a connection and takes it.
Socket AcceptWithin(Socket listener, int timeoutMs) {
  std::vector<PollItem> items{{listener}};
  Poll(items, timeoutMs);
  return items[0].readable ? Accept(listener) : kNoSocket;
}

TEST_F(OsTest, LoopbackStreamCarriesBytesBothWaysAndEndsAtOnce) {
  uint16_t port = 0;
  std::string error;
  Socket listener = ListenOnLoopback(port, &error);
  ASSERT_NE(listener, kNoSocket) << error;
  ASSERT_NE(port, 0);
  const Socket client = ConnectLoopback(port);
  ASSERT_NE(client, kNoSocket);
  const Socket server = AcceptWithin(listener, 5000);
  ASSERT_NE(server, kNoSocket);
  SetNoDelay(server);

  // Nothing waiting: the server's non-blocking receive says so, not "ended".
  char buffer[16];
  EXPECT_EQ(ReceiveSome(server, buffer, sizeof buffer), 0);

  ASSERT_TRUE(SendAll(client, "ping", 4));
  EXPECT_EQ(ReceiveWithin(server, buffer, sizeof buffer, 5000), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(SendSome(server, "pong!", 5), 5);
  EXPECT_EQ(ReceiveWithin(client, buffer, sizeof buffer, 5000), 5);
  EXPECT_EQ(std::string(buffer, 5), "pong!");

  // A large transfer goes through a full socket in pieces.
  const std::vector<uint8_t> big(4 << 20, 0x5A);
  size_t received = 0;
  std::thread reader([&] {
    std::vector<uint8_t> chunk(65536);
    while (received < big.size()) {
      const long n = ReceiveWithin(client, chunk.data(), chunk.size(), 5000);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
    }
  });
  EXPECT_TRUE(SendAll(server, big.data(), big.size()));
  reader.join();
  EXPECT_EQ(received, big.size());

  // The peer sees the end of the stream at once, as the end (-1), not as
  // "nothing yet".
  EndStream(server);
  EXPECT_EQ(ReceiveWithin(client, buffer, sizeof buffer, 5000), -1);
  Close(client);

  // A closed listener refuses new connections.
  CloseListener(listener);
  EXPECT_EQ(listener, kNoSocket);
  const Socket refused = ConnectLoopback(port);
  EXPECT_EQ(refused, kNoSocket);
  Close(refused);
}

TEST_F(OsTest, ListenerClosedWithConnectionsInItsBacklogEndsThem) {
  uint16_t port = 0;
  Socket listener = ListenOnLoopback(port, nullptr);
  ASSERT_NE(listener, kNoSocket);
  const Socket waiting = ConnectLoopback(port);
  ASSERT_NE(waiting, kNoSocket);
  CloseListener(listener);
  char byte;
  EXPECT_EQ(ReceiveWithin(waiting, &byte, 1, 5000), -1);
  Close(waiting);
}

TEST_F(OsTest, WakerWakesAPollAndDrainsQuietAgain) {
  Waker waker;
  std::string error;
  ASSERT_TRUE(waker.Open(&error)) << error;
  std::vector<PollItem> items{{waker.Watched()}};
  Poll(items, 0);
  EXPECT_FALSE(items[0].readable);

  waker.Signal();
  waker.Signal();
  const auto start = std::chrono::steady_clock::now();
  Poll(items, 5000);
  EXPECT_TRUE(items[0].readable);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

  waker.Drain();
  Poll(items, 0);
  EXPECT_FALSE(items[0].readable);
  waker.Close();
  EXPECT_EQ(waker.Watched(), kNoSocket);
}

TEST_F(OsTest, FoldersAndFilesOfTheDeviceTree) {
  // Nested folders, created again without complaint; the system's own
  // separator may precede the '/' the simulator joins with.
  const std::string nested = folder_.string() + "/a/b/c";
  std::string error;
  ASSERT_TRUE(MakeFolders(nested, &error)) << error;
  EXPECT_TRUE(MakeFolders(nested, &error)) << error;
  EXPECT_TRUE(fs::is_directory(nested));

  // A file in the way of a folder is an error, with its path named.
  const std::string blocker = folder_.string() + "/file";
  std::ofstream(blocker) << "x";
  error.clear();
  EXPECT_FALSE(MakeFolders(blocker + "/sub", &error));
  EXPECT_NE(error.find("file"), std::string::npos) << error;

  // Atomic writes replace the old content and leave no temporary behind.
  const std::string target = nested + "/e.props";
  const std::string tmp = nested + "/.e.props.tmp";
  ASSERT_TRUE(WriteFileAtomically(tmp, target, "tcp=1\n", &error)) << error;
  ASSERT_TRUE(WriteFileAtomically(tmp, target, "tcp=2\n", &error)) << error;
  EXPECT_EQ(ReadAll(target), "tcp=2\n");
  EXPECT_FALSE(fs::exists(tmp));
  ASSERT_TRUE(WriteFileAtomically(tmp, nested + "/e.sock", "", &error)) << error;
  EXPECT_EQ(fs::file_size(nested + "/e.sock"), 0u);

  // Into a folder that does not exist: an error, nothing created.
  error.clear();
  EXPECT_FALSE(WriteFileAtomically(folder_.string() + "/none/.t", folder_.string() + "/none/t", "x",
                                   &error));
  EXPECT_FALSE(error.empty());

  RemoveFile(target);
  RemoveFile(target);  // already gone: no complaint
  EXPECT_FALSE(fs::exists(target));
}

// What a client of this system finds for a plugged instrument: <name>.sock
// listed, <name>.props with the tcp port, and a device that greets over
// TCP, answers a second open BUSY, and is gone (files and port) on unplug.
TEST_F(OsTest, EntryAsThisSystemsClientsFindIt) {
  Simulator::Options options;
  options.root = folder_.string();
  options.timeScale = 1;
  Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.Start(&error)) << error;
  InstrumentConfig config;
  config.name = "nv1";
  const Simulator::Id id = sim.Add(config, true, &error);
  ASSERT_NE(id, 0u) << error;

  const fs::path sock = sim.DevicePath(id);
  const fs::path props = sim.PropertiesPath(id);
  EXPECT_TRUE(fs::exists(sock));
  EXPECT_EQ(fs::is_socket(sock), HasUnixSockets());
  const auto state = sim.State(id);
  ASSERT_TRUE(state.has_value());
  ASSERT_NE(state->tcpPort, 0);
  EXPECT_NE(ReadAll(props).find("tcp=" + std::to_string(state->tcpPort) + "\n"), std::string::npos);

  const Socket first = ConnectLoopback(state->tcpPort);
  ASSERT_NE(first, kNoSocket);
  uint8_t greeting[12] = {};
  EXPECT_EQ(ReceiveWithin(first, greeting, sizeof greeting, 5000), 12);
  EXPECT_EQ(greeting[4], 0x01);  // HELLO
  const Socket second = ConnectLoopback(state->tcpPort);
  ASSERT_NE(second, kNoSocket);
  EXPECT_GE(ReceiveWithin(second, greeting, sizeof greeting, 5000), 6);
  EXPECT_EQ(greeting[4], 0x02);  // BUSY
  Close(second);

  ASSERT_TRUE(sim.Unplug(id));
  EXPECT_FALSE(fs::exists(sock));
  EXPECT_FALSE(fs::exists(props));
  uint8_t byte;
  EXPECT_EQ(ReceiveWithin(first, &byte, 1, 5000), -1);
  Close(first);
  const Socket late = ConnectLoopback(state->tcpPort);
  EXPECT_EQ(late, kNoSocket);
  Close(late);
  sim.Stop();
}

}  // namespace
}  // namespace nvsim::os
