// The standalone nvsim program: it serves instruments from a config file and
// the command line, and removes its entries when it is told to stop.
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "raw_client.h"

namespace rawclient {
namespace {

using namespace std::chrono_literals;

// Runs nvsim with the arguments; its output goes to outPath, its input comes
// from inFd when one is given.
pid_t Spawn(const std::vector<std::string>& args, const std::string& outPath, int inFd = -1) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (inFd >= 0) ::dup2(inFd, 0);
    std::FILE* out = std::freopen(outPath.c_str(), "w", stdout);
    (void)out;
    ::dup2(::fileno(stdout), 2);
    std::vector<char*> argv;
    static std::string program = NVSIM_PROGRAM;
    argv.push_back(program.data());
    for (const auto& a : args)
      argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(10ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -2;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nvsimp.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  std::string root_;
};

TEST_F(ProgramTest, HelpAndBadArguments) {
  EXPECT_EQ(WaitExit(Spawn({"--help"}, root_ + "/out")), 0);
  const std::string help = Slurp(root_ + "/out");
  EXPECT_NE(help.find("Usage: nvsim"), std::string::npos);
  EXPECT_NE(help.find("vstring.ID"), std::string::npos);
  EXPECT_EQ(WaitExit(Spawn({"--bogus"}, root_ + "/out")), 2);
  EXPECT_EQ(WaitExit(Spawn({}, root_ + "/out")), 2);  // no instruments
  EXPECT_EQ(WaitExit(Spawn({"--instrument", "a", "--set", "hwid=1"}, root_ + "/out")), 2);
}

TEST_F(ProgramTest, ServesUntilTerminatedThenRemovesItsEntries) {
  const std::string dev = root_ + "/dev";
  std::ofstream(root_ + "/sim.ini") << "time_scale = 20\n[instrument nv-1]\nserial = NV-1\n"
                                    << "status = 0x10\n";
  const pid_t pid =
      Spawn({"--verbose", "--root", dev, "--config", root_ + "/sim.ini", "--instrument", "nv-2",
             "--set", "service=OTHER", "--instrument", "nv-1", "--set", "status=0x20"},
            root_ + "/out");
  const std::string folder = dev + "/" + kUsbClass;
  for (int i = 0; i < 300 && !std::filesystem::exists(folder + "/nv-2.sock"); ++i) {
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(std::filesystem::exists(folder + "/nv-1.sock"));
  EXPECT_NE(Slurp(folder + "/nv-2.props").find("service=OTHER\n"), std::string::npos);
  {
    Client client;
    ASSERT_EQ(client.Open(folder + "/nv-1.sock"), 0u);
    const auto reply = Exchange(client, Command(0x80000005, 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(Get32(reply->payload, 0), 0x20u);  // the command line wins over the file
  }
  ::kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid), 0);
  EXPECT_FALSE(std::filesystem::exists(folder + "/nv-1.sock"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/nv-1.props"));
  EXPECT_FALSE(std::filesystem::exists(folder + "/nv-2.sock"));
  const std::string out = Slurp(root_ + "/out");
  EXPECT_NE(out.find("nv-1: open accepted"), std::string::npos) << out;
  EXPECT_NE(out.find("nv-1: [81000005 GET_STATUS 4] <81000005 8>"), std::string::npos) << out;
  EXPECT_NE(out.find("entries removed"), std::string::npos) << out;
}

TEST_F(ProgramTest, CommandsOnStandardInputChangeTheRunningInstruments) {
  const std::string dev = root_ + "/dev";
  const std::string folder = dev + "/" + kUsbClass;
  int in[2];
  ASSERT_EQ(::pipe(in), 0);
  const pid_t pid =
      Spawn({"--root", dev, "--time-scale", "50", "--commands"}, root_ + "/out", in[0]);
  ::close(in[0]);
  auto say = [&](const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(in[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  };
  auto waitFor = [&](const std::string& path, bool present) {
    for (int i = 0; i < 300 && std::filesystem::exists(path) != present; ++i)
      std::this_thread::sleep_for(10ms);
    return std::filesystem::exists(path) == present;
  };
  const std::string sock = folder + "/nv-7.sock";
  say("add nv-7 serial=NV-7 status=0x40");
  ASSERT_TRUE(waitFor(sock, true));
  EXPECT_NE(Slurp(folder + "/nv-7.props").find("serial=NV-7\n"), std::string::npos);
  say("fault nv-7 wrong-code code=GET_STATUS value=0xE0000002");
  say("unplug nv-7");
  EXPECT_TRUE(waitFor(sock, false));
  say("plug nv-7");
  ASSERT_TRUE(waitFor(sock, true));
  {
    Client client;
    ASSERT_EQ(client.Open(sock), 0u);
    ASSERT_TRUE(client.SetTimeout(1000));
    auto reply = Exchange(client, Command(0x80000005, 1));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->word, 0xE1000002u);  // the fault given on the way
    reply = Exchange(client, Command(0x80000005, 2));
    EXPECT_EQ(Get32(reply->payload, 0), 0x40u);
  }
  say("frobnicate nv-7");
  say("state nobody");
  say("quit");
  EXPECT_EQ(WaitExit(pid), 0);
  ::close(in[1]);
  EXPECT_FALSE(std::filesystem::exists(sock));
  const std::string out = Slurp(root_ + "/out");
  EXPECT_NE(out.find("ok " + sock), std::string::npos) << out;
  EXPECT_NE(out.find("error: no instrument \"nobody\""), std::string::npos) << out;
  EXPECT_NE(out.find("error: unknown command \"frobnicate\""), std::string::npos) << out;
}

}  // namespace
}  // namespace rawclient
