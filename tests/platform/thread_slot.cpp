// Per-thread values released at thread end and at close, without a
// thread_local destructor.
#include "platform/thread_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

std::atomic<int> g_Released{0};
void CountRelease(void* value) {
  delete static_cast<int*>(value);
  ++g_Released;
}

TEST(ThreadSlot, ValuesArePerThreadAndReleasedWhenTheThreadEndsOrTheSlotCloses) {
  auto slot = std::make_unique<platform::ThreadSlot>(CountRelease);
  g_Released = 0;
  EXPECT_EQ(slot->Get(), nullptr);
  slot->Set(new int(1));
  ASSERT_NE(slot->Get(), nullptr);
  EXPECT_EQ(*static_cast<int*>(slot->Get()), 1);

  // Another thread sees its own value, released when it ends.
  std::thread([&] {
    EXPECT_EQ(slot->Get(), nullptr);
    slot->Set(new int(2));
    EXPECT_EQ(*static_cast<int*>(slot->Get()), 2);
  }).join();
  EXPECT_EQ(g_Released, 1);
  EXPECT_EQ(*static_cast<int*>(slot->Get()), 1);

  // Replacing a value releases the old one.
  slot->Set(new int(3));
  EXPECT_EQ(g_Released, 2);

  // A thread that still runs when the slot closes: its value is released
  // by the close, once, and its end calls nothing any more.
  std::atomic<bool> set{false}, closed{false};
  std::thread holder([&] {
    slot->Set(new int(4));
    set = true;
    while (!closed)
      std::this_thread::yield();
  });
  while (!set)
    std::this_thread::yield();
  slot->Close();
  EXPECT_EQ(g_Released, 4);  // this thread's 3 and the holder's 4
  closed = true;
  holder.join();
  EXPECT_EQ(g_Released, 4);

  // After the close nothing is handed out; a late value is kept until the
  // slot goes.
  EXPECT_EQ(slot->Get(), nullptr);
  slot->Set(new int(5));
  EXPECT_EQ(g_Released, 4);
  slot.reset();
  EXPECT_EQ(g_Released, 5);
}

}  // namespace
