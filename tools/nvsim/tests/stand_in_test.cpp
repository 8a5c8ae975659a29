// The driver stand-in as a client sees it: enumeration entries, the exclusive
// connection, the control requests and reads with the server's time-out.
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "raw_client.h"

namespace rawclient {
namespace {

using namespace std::chrono_literals;

bool IsSocket(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Entries of a class folder as the document defines them: a socket with a
// readable properties file, names not starting with '.', in byte order.
std::vector<std::string> Enumerate(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    const std::string file = e.path().filename().string();
    if (file.empty() || file[0] == '.' || file.size() < 6 ||
        file.substr(file.size() - 5) != ".sock") {
      continue;
    }
    const std::string base = file.substr(0, file.size() - 5);
    if (IsSocket(e.path().string()) && Exists(folder + "/" + base + ".props"))
      names.push_back(base);
  }
  std::sort(names.begin(), names.end());
  return names;
}

using StandInTest = SimulatorTest;

TEST_F(StandInTest, EntriesAppearWithPropertiesAndDisappearOnUnplug) {
  auto a = Config("nv-b");
  a.location = "Port_#0002.Hub_#0001";
  a.description = "Norvane NV2 instrument";
  a.publicArea.prodSerNumber = "NV2-000002";
  auto b = Config("nv-a");
  b.service = "zdusbdev";
  b.location.reset();  // property absent
  auto other = Config("disk");
  other.interfaceClass = "{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
  other.service = "USBSTOR";
  const auto ida = AddInstrument(a);
  const auto idb = AddInstrument(b);
  AddInstrument(other);

  EXPECT_EQ(Enumerate(ClassFolder()), (std::vector<std::string>{"nv-a", "nv-b"}));
  EXPECT_EQ(Enumerate(ClassFolder("{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}")),
            std::vector<std::string>{"disk"});
  EXPECT_EQ(sim_->DevicePath(ida), ClassFolder() + "/nv-b.sock");

  const std::string props = Slurp(ClassFolder() + "/nv-b.props");
  EXPECT_NE(props.find("service=ZDUSBDEV\n"), std::string::npos);
  EXPECT_NE(props.find("location=Port_#0002.Hub_#0001\n"), std::string::npos);
  EXPECT_NE(props.find("description=Norvane NV2 instrument\n"), std::string::npos);
  const std::string propsB = Slurp(ClassFolder() + "/nv-a.props");
  EXPECT_NE(propsB.find("service=zdusbdev\n"), std::string::npos);
  EXPECT_EQ(propsB.find("location="), std::string::npos);

  // No work files are left behind once an entry is complete.
  for (const auto& e : std::filesystem::directory_iterator(ClassFolder())) {
    EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
  }

  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(idb)), 0u);
  ASSERT_TRUE(sim_->Unplug(idb));
  EXPECT_EQ(Enumerate(ClassFolder()), std::vector<std::string>{"nv-b"});
  EXPECT_FALSE(Exists(ClassFolder() + "/nv-a.props"));
  EXPECT_TRUE(client.ClosedByPeer(1000));  // unplug drops the connection
  Client again;
  EXPECT_EQ(again.Open(ClassFolder() + "/nv-a.sock"), 2u);

  ASSERT_TRUE(sim_->Plug(idb));
  EXPECT_EQ(Enumerate(ClassFolder()), (std::vector<std::string>{"nv-a", "nv-b"}));
  EXPECT_EQ(again.Open(ClassFolder() + "/nv-a.sock"), 0u);

  sim_->Stop();  // removes every entry
  EXPECT_TRUE(Enumerate(ClassFolder()).empty());
  EXPECT_TRUE(Enumerate(ClassFolder("{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}")).empty());
}

TEST_F(StandInTest, ReplugAfterDelayKeepsTheDevicePath) {
  const auto id = AddInstrument(Config("nv-1"));
  const std::string path = sim_->DevicePath(id);
  ASSERT_TRUE(sim_->Unplug(id, 1000));
  EXPECT_FALSE(Exists(path));
  EXPECT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return s.plugged; }, 50000));
  EXPECT_TRUE(IsSocket(path));
  Client client;
  EXPECT_EQ(client.Open(path), 0u);
  EXPECT_EQ(sim_->State(id)->plugs, 2u);
}

// The example of the document, byte for byte.
TEST_F(StandInTest, TheDocumentedExampleExactly) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_TRUE(client.Connect(sim_->DevicePath(id)));
  EXPECT_EQ(client.ReadBytes(12, 1000), (Bytes{8, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
  ASSERT_TRUE(client.SendRaw(
      {0x14, 0, 0, 0, 0x14, 0, 0, 0, 0x10, 0x20, 0x22, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0xC8, 0, 0, 0}));
  EXPECT_EQ(client.ReadBytes(16, 1000),
            (Bytes{0x0C, 0, 0, 0, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client.SendRaw({8, 0, 0, 0, 0x12, 0, 0, 0, 0, 4, 0, 0}));
  EXPECT_EQ(client.ReadBytes(16, 1000),
            (Bytes{0x0C, 0, 0, 0, 0x13, 0, 0, 0, 0x79, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(Real(200)));
}

TEST_F(StandInTest, ACrashLeavesAStaleEntryThatRefusesConnections) {
  const auto id = AddInstrument(Config("nv-1"));
  const std::string path = sim_->DevicePath(id);
  Client client;
  ASSERT_EQ(client.Open(path), 0u);
  ASSERT_TRUE(sim_->Crash(id));
  EXPECT_TRUE(client.ClosedByPeer(1000));
  EXPECT_EQ(Enumerate(ClassFolder()), std::vector<std::string>{"nv-1"});  // still listed
  Client again;
  EXPECT_FALSE(again.Connect(path));
  EXPECT_FALSE(sim_->State(id)->plugged);
  EXPECT_FALSE(sim_->Crash(id));

  ASSERT_TRUE(sim_->Plug(id));  // a new server takes the name over
  EXPECT_EQ(again.Open(path), 0u);
  again.Close();
  ASSERT_TRUE(sim_->Crash(id));
  ASSERT_TRUE(sim_->Unplug(id));  // removes what the crash left
  EXPECT_FALSE(Exists(path));
  EXPECT_FALSE(Exists(sim_->PropertiesPath(id)));
}

TEST_F(StandInTest, RejectsNamesThatCannotBeEntries) {
  std::string error;
  auto bad = Config(".hidden");
  EXPECT_EQ(sim_->Add(bad, true, &error), 0u);
  bad.name = "a/b";
  EXPECT_EQ(sim_->Add(bad, true, &error), 0u);
  bad.name = std::string(60, 'x');
  EXPECT_EQ(sim_->Add(bad, true, &error), 0u);
  // A device path of exactly 107 bytes is served; one byte more is refused.
  const size_t fixed = ClassFolder().size() + 1 + 5;
  ASSERT_LE(107 - fixed, 47u);
  const auto longest = AddInstrument(Config(std::string(107 - fixed, 'n')));
  EXPECT_EQ(sim_->DevicePath(longest).size(), 107u);
  Client client;
  EXPECT_EQ(client.Open(sim_->DevicePath(longest)), 0u);
  EXPECT_EQ(sim_->Add(Config(std::string(108 - fixed, 'm')), true, &error), 0u);
  AddInstrument(Config("twice"));
  EXPECT_EQ(sim_->Add(Config("twice"), true, &error), 0u);
  EXPECT_NE(error.find("duplicate"), std::string::npos);
}

TEST_F(StandInTest, OneConnectionAtATime) {
  const auto id = AddInstrument(Config("nv-1"));
  const std::string path = sim_->DevicePath(id);
  Client first;
  ASSERT_EQ(first.Open(path), 0u);
  EXPECT_EQ(first.Version(), 1u);

  Client second;
  EXPECT_EQ(second.Open(path), 32u);
  EXPECT_EQ(second.BusyError(), 32u);

  // The holder is undisturbed by the refused open.
  EXPECT_TRUE(first.SetTimeout(100));

  // A close followed at once by an open is never refused.
  for (int i = 0; i < 5; ++i) {
    first.Close();
    ASSERT_EQ(first.Open(path), 0u) << "round " << i;
  }
  const auto state = sim_->State(id);
  EXPECT_EQ(state->connections, 6u);
  EXPECT_EQ(state->refusals, 1u);

  // Fault: every open refused.
  first.Close();
  sim_->SetRefuseOpen(id, true);
  EXPECT_EQ(first.Open(path), 32u);
}

TEST_F(StandInTest, ControlRequests) {
  auto config = Config("nv-1");
  config.driverVersion = "ZdUSB 2.7";
  const auto id = AddInstrument(config);
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);

  auto version = client.Control(kGetDriverVersion, 512);
  ASSERT_TRUE(version);
  EXPECT_EQ(version->error, 0u);
  EXPECT_EQ(version->data, (Bytes{'Z', 'd', 'U', 'S', 'B', ' ', '2', '.', '7', 0}));
  version = client.Control(kGetDriverVersion, 5);
  EXPECT_EQ(version->data, (Bytes{'Z', 'd', 'U', 'S', 0}));
  EXPECT_EQ(client.Control(kGetDriverVersion, 0)->error, 122u);

  auto status = client.Control(kGetHandleStatus, 4);
  EXPECT_EQ(status->error, 0u);
  EXPECT_EQ(status->data, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(client.Control(kGetHandleStatus, 3)->error, 122u);
  sim_->SetHandleStatus(id, 0xC0000008);
  status = client.Control(kGetHandleStatus, 4);
  EXPECT_EQ(Get32(status->data, 0), 0xC0000008u);

  EXPECT_EQ(client.Control(kSetTimeout, 0, {1, 2})->error, 87u);
  EXPECT_TRUE(client.SetTimeout(1234));
  EXPECT_EQ(sim_->State(id)->channelTimeout, 1234u);
  EXPECT_EQ(client.Control(kResetChannel, 0, {})->error, 87u);
  EXPECT_EQ(client.Control(kResetChannel, 0, {0, 0, 0, 0})->error, 0u);
  EXPECT_EQ(client.Control(0x00222024, 0)->error, 1u);

  // A new connection starts with the default time-out again.
  client.Close();
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  client.Control(kGetHandleStatus, 4);
  EXPECT_EQ(sim_->State(id)->channelTimeout, 5000u);
}

TEST_F(StandInTest, TheRequestLogShowsEveryRequestAsReceived) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(0));
  ASSERT_TRUE(client.Write(Bytes(2500, 0)));  // noise to the instrument; the size counts
  ASSERT_TRUE(client.Write({}));
  ASSERT_TRUE(client.Read(0x200000));  // logged as sent, served capped
  ASSERT_TRUE(client.Control(kGetDriverVersion, 512));
  ASSERT_TRUE(client.Control(kResetChannel, 0, {7, 0, 0, 0}));
  const auto state = sim_->State(id);
  ASSERT_EQ(state->requestsTotal, 6u);
  ASSERT_EQ(state->requests.size(), 6u);
  const std::vector<std::tuple<uint16_t, uint32_t, uint32_t>> expected = {
      {kControl, kSetTimeout, 0},
      {kWrite, 2500, 0},
      {kWrite, 0, 0},
      {kRead, 0x200000, 0},
      {kControl, kGetDriverVersion, 0},
      {kControl, kResetChannel, 7}};
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& r = state->requests[i];
    EXPECT_EQ(std::make_tuple(r.type, r.value, r.param), expected[i]) << i;
  }
}

TEST_F(StandInTest, ReadTimesOutWithError121AfterTheChannelTimeout) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);

  ASSERT_TRUE(client.SetTimeout(2000));
  auto start = std::chrono::steady_clock::now();
  auto done = client.Read(1024);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(done);
  EXPECT_EQ(done->error, 121u);
  EXPECT_TRUE(done->data.empty());
  EXPECT_GE(took, std::chrono::milliseconds(Real(2000)));
  EXPECT_LT(took, std::chrono::milliseconds(Real(2000) + 500));

  ASSERT_TRUE(client.SetTimeout(0));
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.Read(1024)->error, 121u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms);

  done = client.Read(0);
  EXPECT_EQ(done->error, 0u);
  EXPECT_TRUE(done->data.empty());
}

TEST_F(StandInTest, ReadsDeliverOneTransferAtATime) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(1000));
  // Two commands in one write give two replies, two transfers.
  Bytes both = Command(0x80000005, 1);
  const Bytes second = Command(0x80000005, 2);
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_EQ(client.Write(both)->count, both.size());

  auto first = client.Read(1024);
  ASSERT_EQ(first->data.size(), 12u);
  EXPECT_EQ(Get32(first->data, 4), 0x81000005u);
  // A read smaller than a transfer leaves its rest for the next read.
  auto part = client.Read(5);
  ASSERT_EQ(part->data.size(), 5u);
  auto rest = client.Read(1024);
  ASSERT_EQ(rest->data.size(), 7u);
  Bytes joined = part->data;
  joined.insert(joined.end(), rest->data.begin(), rest->data.end());
  EXPECT_EQ(Get32(joined, 4), 0x82000005u);
}

TEST_F(StandInTest, ResetChannelDiscardsQueuedBytesAndPartialCommands) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(300));
  ASSERT_TRUE(client.Write(Command(0x80000005, 0)));
  Bytes half = Command(0x80000005, 1);
  half.resize(5);
  ASSERT_TRUE(client.Write(half));
  ASSERT_EQ(client.Control(kResetChannel, 0, {0, 0, 0, 0})->error, 0u);
  EXPECT_EQ(client.Read(1024)->error, 121u);
  // The instrument is in step again: a whole command gets its reply.
  const auto reply = Exchange(client, Command(0x80000005, 3));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->word, 0x83000005u);
  EXPECT_EQ(sim_->State(id)->commands, 2u);
}

TEST_F(StandInTest, UnplugWhileAReadWaitsEndsTheStream) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SetTimeout(0xFFFFFFFF));
  ASSERT_TRUE(client.SendFrame(kRead, {0, 4, 0, 0}));
  std::this_thread::sleep_for(20ms);
  sim_->Unplug(id);
  EXPECT_FALSE(client.ReadFrame(1000));  // no READ_DONE, just the end
}

// A real unplug is immediate for the host: when Unplug (or Crash) returns,
// the end of the stream is already there, whether or not a READ waits.
TEST_F(StandInTest, TheStreamHasEndedWhenUnplugReturns) {
  const auto id = AddInstrument(Config("nv-1"));
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    Client client;
    ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
    ASSERT_TRUE(client.SetTimeout(0xFFFFFFFF));
    if (round % 2 == 1) {
      ASSERT_TRUE(client.SendFrame(kRead, {0, 4, 0, 0}));
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(client.EndedNow());
    if (round % 4 < 2) {
      ASSERT_TRUE(sim_->Unplug(id));
    } else {
      ASSERT_TRUE(sim_->Crash(id));
    }
    EXPECT_TRUE(client.EndedNow());
    Client late;
    EXPECT_FALSE(late.Connect(sim_->DevicePath(id)));  // refused at once too
    ASSERT_TRUE(sim_->Plug(id));
  }
}

TEST_F(StandInTest, MalformedFramesCloseTheConnection) {
  const auto id = AddInstrument(Config("nv-1"));
  Client client;
  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SendFrame(0x0777, {}));  // unknown type
  EXPECT_TRUE(client.ClosedByPeer(1000));
  EXPECT_TRUE(sim_->WaitFor(
      id, [](const auto& s) { return !s.connected; }, 1000));

  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  Bytes huge;
  Put32(huge, 0x7FFFFFFF);  // size beyond the limit
  ASSERT_TRUE(client.SendRaw(huge));
  EXPECT_TRUE(client.ClosedByPeer(1000));

  ASSERT_EQ(client.Open(sim_->DevicePath(id)), 0u);
  ASSERT_TRUE(client.SendFrame(
      kControl, {0x10, 0x20, 0x22, 0, 0, 0, 0, 0, 9, 0, 0, 0}));  // inSize 9, no input
  EXPECT_TRUE(client.ClosedByPeer(1000));
}

}  // namespace
}  // namespace rawclient
