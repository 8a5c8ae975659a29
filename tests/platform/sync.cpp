// Re-entrant locks, events and named mutexes.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "platform/files.h"
#include "platform/sync.h"
#include "platform/system.h"
#include "platform/thread.h"
#include "platform/time.h"

// ThreadSanitizer cannot start threads in the child of a multi-threaded
// fork (it stops the child), so a test whose child does is skipped there.
#if defined(__SANITIZE_THREAD__)
#define NVD_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NVD_TSAN 1
#endif
#endif
#ifndef NVD_TSAN
#define NVD_TSAN 0
#endif

namespace {

class Dilated : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetTimeScale(100.0); }
  void TearDown() override { platform::SetTimeScale(1.0); }
};

TEST(RecursiveLock, OwnerReentersAndOthersWaitUntilTheLastUnlock) {
  platform::RecursiveLock lock;
  lock.Lock();
  EXPECT_TRUE(lock.TryLock());  // the owner takes it again
  auto otherTries = [&lock] {
    bool taken = false;
    std::thread other([&] {
      taken = lock.TryLock();
      if (taken) lock.Unlock();
    });
    other.join();
    return taken;
  };
  EXPECT_FALSE(otherTries());
  lock.Unlock();
  EXPECT_FALSE(otherTries());  // still held once
  lock.Unlock();
  EXPECT_TRUE(otherTries());
}

TEST(RecursiveLock, SerialisesTwoThreads) {
  platform::RecursiveLock lock;
  long counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      lock.Lock();
      lock.Lock();
      ++counter;
      lock.Unlock();
      lock.Unlock();
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

#ifndef _WIN32
// In a forked child only the forking thread exists: a lock another thread
// held is free there, and what the forking thread holds stays its own.
TEST(RecursiveLock, ForkedChildFindsOtherThreadsLocksFree) {
  if (NVD_TSAN) {
    GTEST_SKIP() << "ThreadSanitizer does not support starting threads in the child of a "
                    "multi-threaded fork, which this test does";
  }
  platform::RecursiveLock theirs;
  platform::RecursiveLock mine;
  mine.Lock();
  mine.Lock();
  std::atomic<bool> held{false};
  std::atomic<bool> release{false};
  std::thread holder([&] {
    theirs.Lock();
    held = true;
    while (!release)
      std::this_thread::yield();
    theirs.Unlock();
  });
  while (!held)
    std::this_thread::yield();
  const pid_t child = fork();
  if (child == 0) {
    alarm(10);
    // Waits for ever unless the fork freed it.
    theirs.Lock();
    theirs.Unlock();
    auto othersTake = [&mine] {
      bool taken = false;
      std::thread other([&] {
        taken = mine.TryLock();
        if (taken) mine.Unlock();
      });
      other.join();
      return taken;
    };
    const bool keptTwice = !othersTake();
    mine.Unlock();
    const bool keptOnce = !othersTake();
    mine.Unlock();
    const bool stillMine = keptTwice && keptOnce && othersTake();
    _exit(stillMine ? 0 : 1);
  }
  release = true;
  holder.join();
  mine.Unlock();
  mine.Unlock();
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "the child hung (or died): " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif

TEST_F(Dilated, ManualResetEventStaysSignalledUntilReset) {
  platform::Event event(true, false);
  EXPECT_FALSE(event.Wait(0));
  event.Set();
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(100));
  event.Reset();
  EXPECT_FALSE(event.Wait(0));
  platform::Event initially(true, true);
  EXPECT_TRUE(initially.Wait(0));
}

TEST_F(Dilated, AutoResetEventReleasesOneWaitAtATime) {
  platform::Event event(false, true);
  EXPECT_TRUE(event.Wait(0));
  EXPECT_FALSE(event.Wait(0));

  std::atomic<int> released{0};
  auto waiter = [&] {
    if (event.Wait(30000)) ++released;  // 300 ms real at scale 100
  };
  std::thread a(waiter), b(waiter);
  platform::Sleep(500);  // both are waiting
  event.Set();
  platform::Sleep(500);
  EXPECT_EQ(released.load(), 1);
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_FALSE(event.Wait(0));
}

TEST_F(Dilated, WaitTimesOutOnTheDilatedClock) {
  platform::Event event(true, false);
  const uint32_t start = platform::TickCount();
  EXPECT_FALSE(event.Wait(1000));  // ~10 ms real
  EXPECT_GE(platform::TickCount() - start, 1000u);
}

TEST_F(Dilated, WaitEndsWhenAnotherThreadSets) {
  platform::Event event(false, false);
  std::thread setter([&] {
    platform::Sleep(200);
    event.Set();
  });
  EXPECT_TRUE(event.Wait(platform::kInfinite));
  setter.join();
}

std::string UniqueName(const char* stem) {
  return std::string(stem) + std::to_string(platform::CurrentProcessId());
}

TEST(NamedMutex, ProbeOfANewNameIsFalseAndLeavesNothing) {
  const std::string name = UniqueName("nvd-test-probe-");
  EXPECT_FALSE(platform::IsNamedMutexPresent(name.c_str()));
  EXPECT_FALSE(platform::IsNamedMutexPresent(name.c_str()));  // nothing was left to find
  // No lock file stays in any per-user mutex folder.
  bool found = false;
  platform::ListDirectory("/tmp", [&](const platform::DirectoryEntry& folder) {
    if (folder.name.rfind("nvdevices-mutex-", 0) != 0) return;
    platform::ListDirectory(("/tmp/" + folder.name).c_str(),
                            [&](const platform::DirectoryEntry& entry) {
                              if (entry.name == name) found = true;
                            });
  });
  EXPECT_FALSE(found);
}

TEST(NamedMutex, HeldNameIsReportedPresentUntilReleased) {
  const std::string name = "Global\\" + UniqueName("nvd-test-held-");
  {
    platform::NamedMutexHolder holder(name.c_str());
    ASSERT_TRUE(holder.IsHeld());
    EXPECT_TRUE(platform::IsNamedMutexPresent(name.c_str()));
    EXPECT_TRUE(platform::IsNamedMutexPresent(name.c_str()));  // the probe keeps it intact
    // Another holder is refused: asked from another thread, since a Windows
    // mutex is re-entrant for the thread that owns it.
    bool secondHeld = true;
    std::thread other([&] { secondHeld = platform::NamedMutexHolder(name.c_str()).IsHeld(); });
    other.join();
    EXPECT_FALSE(secondHeld);
    EXPECT_TRUE(platform::IsNamedMutexPresent(name.c_str()));
  }
  EXPECT_FALSE(platform::IsNamedMutexPresent(name.c_str()));
}

TEST(NamedMutex, HolderMadeAndDroppedOnOtherThreadsFreesTheName) {
  // A Windows mutex belongs to the thread that took it; ending the holder on
  // another thread must still leave the name free.
  const std::string name = UniqueName("nvd-test-moved-");
  auto holder = std::make_unique<platform::NamedMutexHolder>(name.c_str());
  ASSERT_TRUE(holder->IsHeld());
  bool presentForOther = false;
  std::thread other([&] {
    presentForOther = platform::IsNamedMutexPresent(name.c_str());
    holder.reset();
  });
  other.join();
  EXPECT_TRUE(presentForOther);
  EXPECT_FALSE(platform::IsNamedMutexPresent(name.c_str()));
  platform::NamedMutexHolder again(name.c_str());
  EXPECT_TRUE(again.IsHeld());
}

// Probes of a name from two processes at once, `probes` each, released
// together; `during` runs in this process meanwhile. Returns how many probes
// reported the name present (processes on POSIX; threads on Windows, where
// a mutex name is the same system-wide object for both).
template <typename During>
int ProbeFromTwoAtOnce(const std::string& name, int probes, During during) {
  auto probeAll = [&] {
    int present = 0;
    for (int i = 0; i < probes; ++i)
      present += platform::IsNamedMutexPresent(name.c_str()) ? 1 : 0;
    return present;
  };
#ifdef _WIN32
  std::atomic<bool> go{false};
  std::atomic<int> present{0};
  auto prober = [&] {
    while (!go)
      std::this_thread::yield();
    present += probeAll();
  };
  std::thread a(prober), b(prober);
  go = true;
  during();
  a.join();
  b.join();
  return present;
#else
  int start[2];
  if (pipe(start) != 0) return -1;
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    if (child == 0) {
      alarm(30);
      char byte;
      close(start[1]);
      if (read(start[0], &byte, 1) != 0) _exit(255);  // waits for the parent's close
      const int present = probeAll();
      _exit(present > 254 ? 254 : present);
    }
  }
  close(start[0]);
  close(start[1]);  // both children start now
  during();
  int present = 0;
  for (pid_t child : children) {
    int status = 0;
    if (child <= 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    present += WEXITSTATUS(status);
  }
  return present;
#endif
}

// Probing only looks: two programs checking at the same moment never see
// each other's check as the name being held, and never keep a program that
// takes the name meanwhile from getting it.
TEST(NamedMutex, ProbesAtOnceNeitherSeeEachOtherNorStopAHolder) {
  const std::string name = UniqueName("nvd-test-race-");
  EXPECT_EQ(ProbeFromTwoAtOnce(name, 3000, [] {}), 0);

  const std::string taken = UniqueName("nvd-test-race-taken-");
  int refused = 0;
  const int present = ProbeFromTwoAtOnce(taken, 3000, [&] {
    for (int i = 0; i < 300; ++i) {
      platform::NamedMutexHolder holder(taken.c_str());
      refused += holder.IsHeld() ? 0 : 1;
    }
  });
  EXPECT_GE(present, 0);
  EXPECT_EQ(refused, 0);
  EXPECT_FALSE(platform::IsNamedMutexPresent(taken.c_str()));
}

}  // namespace
