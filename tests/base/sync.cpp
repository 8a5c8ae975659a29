#include "base/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "base/containers.h"
#include "base/support/base_test_support.h"
#include "platform/sync.h"
#include "platform/time.h"

namespace {

// Starts `take` on another thread and tells whether it finished within 20 ms
// (the caller then releases what blocks it and joins `other`).
bool FinishesAtOnce(std::thread& other, std::atomic<bool>& done, std::function<void()> take) {
  done = false;
  other = std::thread([&done, take] {
    take();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return done;
}

TEST(PSharedObject, ReentrantLocksGuardsAndUnlockers) {
  PSharedObject lock("Test::Lock");
  SContainer guarded(32, SContainer::kThreadSafe);
  std::atomic<bool> done{false};
  std::thread other;
  {
    PSharedObjectLocker outer(lock);
    { PSharedObjectLocker inner(&lock); }  // the same thread takes it again
    // Still held once by this thread after the inner holder released.
    EXPECT_FALSE(FinishesAtOnce(other, done, [&lock] { PSharedObjectLocker locker(lock); }));
  }
  other.join();
  EXPECT_TRUE(done);
  {
    // A thread-safe container's own operations wait for its guard.
    PSharedObjectLocker holding(&guarded);
    EXPECT_FALSE(FinishesAtOnce(other, done, [&guarded] { guarded.Add(new Istr("x")); }));
  }
  other.join();
  EXPECT_EQ(guarded.Count(), 1u);
  SContainer plain;
  PSharedObjectLocker nothing(&plain);  // no guard: locks nothing, does not crash
  PSharedObjectLocker none(static_cast<PSharedObject*>(nullptr));

  // An Unlocker released early does not release again at its end.
  lock.Lock();
  lock.Lock();
  { Unlocker first(lock); }
  {
    Unlocker second(lock);
    second.Release();
  }
  EXPECT_TRUE(FinishesAtOnce(other, done, [&lock] { PSharedObjectLocker locker(lock); }));
  other.join();
}

TEST(PSyncObject, LiveListAndNames) {
  const uint32_t before = LiveSyncObjectCount();
  {
    PEvent event(false);
    SContainer guarded(32, SContainer::kThreadSafe);  // its guard is listed too
    EXPECT_EQ(LiveSyncObjectCount(), before + 2);
    event.SetName("%s::%s", "ZdUSBDevice", "ReplyEvent");
    EXPECT_STREQ(event.Name(), "ZdUSBDevice::ReplyEvent");
  }
  // Objects created and destroyed on many threads at once.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) {
        PSharedObject lock;
        PSharedObjectLocker locker(lock);
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(LiveSyncObjectCount(), before);
}

TEST(PEvent, ManualReset) {
  DilatedClock dilated;
  PEvent event(false);
  EXPECT_FALSE(event.Wait(0));
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.Wait(0));
  EXPECT_TRUE(event.Wait(0));  // stays signalled
  EXPECT_TRUE(event.Reset());
  EXPECT_FALSE(event.Wait(500));  // 5 ms of real time
  EXPECT_TRUE(PEvent(true).Wait(0));
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    event.Set();
  });
  EXPECT_TRUE(event.Wait(100000));  // 1 s of real time at most
  setter.join();
}

TEST(IsNamedMutexPresent, DetectsAHolderAndLeavesNothingBehind) {
  std::string name = "NVDevicesBaseTest" + std::to_string(platform::PerformanceCounter());
  EXPECT_FALSE(IsNamedMutexPresent(name.c_str()));
  EXPECT_FALSE(IsNamedMutexPresent(name.c_str()));  // the probe left no mutex behind
  {
    platform::NamedMutexHolder holder(name.c_str());
    ASSERT_TRUE(holder.IsHeld());
    EXPECT_TRUE(IsNamedMutexPresent(name.c_str()));
  }
  EXPECT_FALSE(IsNamedMutexPresent(name.c_str()));
  EXPECT_FALSE(IsNamedMutexPresent(nullptr));
}

TEST(PTickTimeout, TimeoutsIntervalsAndStopWatch) {
  DilatedClock dilated;
  EXPECT_TRUE(PTickTimeout(100, true).IsExpired());
  PTickTimeout later(100, false);
  EXPECT_FALSE(later.IsExpired());
  PTickTimeout repeating(100, false, true);
  PStopWatchMCS watch;
  while (!repeating.IsExpired())
    platform::Sleep(10);
  EXPECT_TRUE(later.IsExpired());
  EXPECT_GT(later.Elapsed(), 100u);
  EXPECT_GE(watch.ElapsedMCS(), 100000);
  EXPECT_FALSE(repeating.IsExpired());  // restarted: a fresh period begins

  PIntervalTimerMCS none;  // period -1: never waits
  const auto start = std::chrono::steady_clock::now();
  none.WaitDue(true);
  none.WaitDue(false);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  PIntervalTimerMCS halfSecond(500000);
  watch.Start();
  halfSecond.WaitDue(false);
  EXPECT_GE(watch.ElapsedMCS(), 500000);
  EXPECT_LT(watch.ElapsedMCS(), 60000000);
}

TEST(BaseObject, CheckHookSeesConstructionAndDestruction) {
  static int calls;
  calls = 0;
  ObjectCheckHook previous = g_ObjectCheckHook;
  g_ObjectCheckHook = [](const BaseObject*) { ++calls; };
  { Istr text("x"); }
  g_ObjectCheckHook = previous;
  EXPECT_EQ(calls, 2);
}

}  // namespace
