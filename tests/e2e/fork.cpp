// A host that forks: the child must leave the parent's instruments and
// connections alone, and must not wait for ever on what another thread of
// the parent held at the fork.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "host.h"

namespace {
// Set in the children: the leak check of a sanitized build would report
// what the parent's other threads (the simulator's) hold.
volatile int g_InChild = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return g_InChild;
}

namespace e2e {
namespace {

class Fork : public HostTest {
 protected:
  // Waits for the child for up to `seconds`; a child still running then is
  // killed and reported. Its exit code, or -1.
  static int Reap(pid_t child, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the child hung";
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(WIFEXITED(status)) << status;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

TEST_F(Fork, ChildThatExitsLeavesTheParentsInstruments) {
  const auto a = Add(Instrument("nv-a", "NV2-000001"));
  const auto b = Add(Instrument("nv-b", "NV2-000002"));
  const auto before = List();
  ASSERT_EQ(before.size(), 2u);

  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    g_InChild = 1;
    std::exit(0);  // the library's unload code runs in the child
  }
  EXPECT_EQ(Reap(child, 20), 0);

  EXPECT_EQ(List(), before);
  EXPECT_EQ(Serial(before[0]), "NV2-000001");
  EXPECT_EQ(Serial(before[1]), "NV2-000002");
  for (auto id : {a, b}) {
    EXPECT_TRUE(State(id).connected) << id;
    EXPECT_EQ(State(id).connections, 1u) << id;
  }
}

TEST_F(Fork, ChildOfAForkDuringAnExportDoesNotWaitForIt) {
  const auto a = Add(Instrument("nv-a", "NV2-000001"));
  const auto before = List();
  ASSERT_EQ(before.size(), 1u);

  // A second instrument that never greets: the listing that opens it waits
  // (at least half a second) inside GetDeviceList, holding the export lock.
  const auto slow = Add(Instrument("nv-slow", "NV2-000009"));
  nvsim::TransportFault silent;
  silent.kind = nvsim::TransportFaultKind::kNoGreeting;
  silent.times = 0;
  ASSERT_TRUE(sim_->SetTransportFault(slow, silent));
  std::thread lister([] { Library().getDeviceList(nullptr); });
  const bool waiting = sim_->WaitFor(
      slow, [](const auto& s) { return s.unGreeted >= 1; }, 5000);

  const pid_t child = waiting ? fork() : -1;
  if (child == 0) {
    g_InChild = 1;
    alarm(30);  // a last guard, should the parent's be lost
    // The parent's instrument is not the child's (its open is refused while
    // the parent holds it) and the slow one does not greet: nothing is
    // listed, but the call returns.
    const uint32_t count = Library().getDeviceList(nullptr);
    std::exit(count == 0 ? 0 : 10 + static_cast<int>(count));
  }
  lister.join();
  ASSERT_TRUE(waiting) << "the listing never reached the slow instrument";
  ASSERT_GT(child, 0);
  EXPECT_EQ(Reap(child, 20), 0);

  EXPECT_EQ(List(), before);
  EXPECT_EQ(Serial(before[0]), "NV2-000001");
  EXPECT_EQ(State(a).connections, 1u);
}

}  // namespace
}  // namespace e2e
