// The loopback TCP transport as a Windows client under Wine uses it: the port
// comes from the tcp key of <name>.props next to the device path, and the
// device behind it is the one behind the Unix socket.
#include <fstream>
#include <thread>

#include "raw_client.h"

namespace rawclient {
namespace {

using namespace std::chrono_literals;

// <root>/<class>/<name>.sock -> <root>/<class>/<name>.props
std::string PropsNextTo(const std::string& devicePath) {
  return devicePath.substr(0, devicePath.size() - 5) + ".props";
}

// The tcp key of a properties file read by the rules for keys: lines of
// key=value, a \r before the \n dropped, the first occurrence counts. The
// value is 1 to 5 decimal digits of value 1..65535.
std::optional<uint16_t> TcpPortOf(const std::string& devicePath) {
  std::ifstream in(PropsNextTo(devicePath));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.compare(0, 4, "tcp=") != 0) continue;
    const std::string value = line.substr(4);
    if (value.empty() || value.size() > 5 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    const unsigned long port = std::stoul(value);
    if (port == 0 || port > 65535) return std::nullopt;
    return static_cast<uint16_t>(port);
  }
  return std::nullopt;
}

using TcpTest = SimulatorTest;

TEST_F(TcpTest, TheDeviceIsServedOnTheLoopbackPortOfItsProperties) {
  auto config = Config("nv-1");
  config.driverVersion = "ZdUSB 2.7";
  const auto id = AddInstrument(config);
  const auto port = TcpPortOf(sim_->DevicePath(id));
  ASSERT_TRUE(port);
  EXPECT_EQ(sim_->State(id)->tcpPort, *port);

  Client client;
  ASSERT_TRUE(client.ConnectTcp(*port));
  EXPECT_EQ(client.ReadBytes(12, 1000), (Bytes{8, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));  // HELLO
  client.Close();
  ASSERT_EQ(client.OpenTcp(*port), 0u);

  // Control requests, a command and its reply, and the server's time-out.
  const auto version = client.Control(kGetDriverVersion, 512);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->data, (Bytes{'Z', 'd', 'U', 'S', 'B', ' ', '2', '.', '7', 0}));
  ASSERT_TRUE(client.SetTimeout(300));
  EXPECT_EQ(sim_->State(id)->channelTimeout, 300u);
  const auto reply = Exchange(client, Command(0x80000005, 3));  // GET_STATUS
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->word, 0x83000005u);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Read(1024)->error, 121u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Real(300)));

  // A malformed frame ends the connection as on the Unix socket.
  ASSERT_TRUE(client.SendFrame(0x0777, {}));
  EXPECT_TRUE(client.ClosedByPeer(1000));
}

// Small replies are not held back waiting for acknowledgements: a client
// that sends a WRITE and a READ together gets both answers without the
// delayed-acknowledgement pause (tens of ms per round) a plain TCP socket adds.
TEST_F(TcpTest, PipelinedRepliesAreNotDelayed) {
  auto config = Config("echo");
  config.loopback = true;
  const auto id = AddInstrument(config);
  Client client;
  ASSERT_EQ(client.OpenTcp(*TcpPortOf(sim_->DevicePath(id))), 0u);
  ASSERT_TRUE(client.SetTimeout(5000));
  Bytes both = {5, 0, 0, 0, kWrite, 0, 0, 0, 0x42};
  both.insert(both.end(), {8, 0, 0, 0, kRead, 0, 0, 0, 64, 0, 0, 0});
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 50; ++round) {
    ASSERT_TRUE(client.SendRaw(both));
    const auto written = client.ReadFrame(1000);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->type, kWriteDone);
    const auto read = client.ReadFrame(1000);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->type, kReadDone);
    EXPECT_EQ(read->fields, (Bytes{0, 0, 0, 0, 1, 0, 0, 0, 0x42}));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

// One device behind two transports: whichever holds it, the other is BUSY.
TEST_F(TcpTest, AnOpenOnEitherTransportMakesTheOtherBusy) {
  const auto id = AddInstrument(Config("nv-1"));
  const std::string path = sim_->DevicePath(id);
  const uint16_t port = *TcpPortOf(path);

  Client viaUnix;
  Client viaTcp;
  ASSERT_EQ(viaUnix.Open(path), 0u);
  EXPECT_EQ(viaTcp.OpenTcp(port), 32u);
  EXPECT_EQ(viaTcp.BusyError(), 32u);
  EXPECT_TRUE(viaUnix.SetTimeout(100));  // the holder is undisturbed

  viaUnix.Close();
  ASSERT_EQ(viaTcp.OpenTcp(port), 0u);
  EXPECT_EQ(viaUnix.Open(path), 32u);
  EXPECT_TRUE(viaTcp.SetTimeout(100));

  // A close followed at once by an open is never refused.
  for (int i = 0; i < 5; ++i) {
    viaTcp.Close();
    ASSERT_EQ(viaTcp.OpenTcp(port), 0u) << "round " << i;
  }
  viaTcp.Close();
  ASSERT_EQ(viaUnix.Open(path), 0u);
  EXPECT_EQ(sim_->State(id)->refusals, 2u);

  viaUnix.Close();
  sim_->SetRefuseOpen(id, true);
  EXPECT_EQ(viaTcp.OpenTcp(port), 32u);
}

// Unplug and crash take the port out of service together with the Unix
// socket: when they return, the TCP client's stream has ended and a new
// connect to the port is refused.
TEST_F(TcpTest, UnplugEndsTheConnectionAndClosesThePortAtOnce) {
  const auto id = AddInstrument(Config("nv-1"));
  const std::string path = sim_->DevicePath(id);
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    const auto port = TcpPortOf(path);
    ASSERT_TRUE(port);
    Client client;
    ASSERT_EQ(client.OpenTcp(*port), 0u);
    ASSERT_TRUE(client.SetTimeout(0xFFFFFFFF));
    if (round % 2 == 1) {
      ASSERT_TRUE(client.SendFrame(kRead, {0, 4, 0, 0}));
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(client.EndedNow());
    const bool crash = round % 4 >= 2;
    ASSERT_TRUE(crash ? sim_->Crash(id) : sim_->Unplug(id));
    EXPECT_TRUE(client.EndedNow());
    Client late;
    EXPECT_FALSE(late.ConnectTcp(*port));
    EXPECT_EQ(late.ConnectError(), ECONNREFUSED);
    // A crash leaves the properties (and the dead port in them) behind.
    EXPECT_EQ(TcpPortOf(path), crash ? port : std::nullopt);
    EXPECT_EQ(sim_->State(id)->tcpPort, 0u);
    ASSERT_TRUE(sim_->Plug(id));
  }
}

}  // namespace
}  // namespace rawclient
