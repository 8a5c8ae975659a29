#include "base/containers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/strings.h"
#include "base/support/base_test_support.h"
#include "base/sync.h"
#include "platform/message_box.h"
#include "platform/system.h"

// A static container filled by an initialiser that runs before the
// container's own constructor (definition order within this file); the
// sanitizer's vptr check would report exactly that use.
extern IstrContainer g_lateContainer;
NVD_NO_SANITIZE_VPTR static bool FillEarly() {
  g_lateContainer.Add(new Istr("early one"));
  g_lateContainer.Add(new Istr("early two"));
  return true;
}
static const bool g_filledEarly = FillEarly();
IstrContainer g_lateContainer{SContainer::StaticInit{}, SContainer::kUnique};

namespace {

// An item that counts its destructions.
struct Counted : Istr {
  Counted(const char* text, int* destroyed) : Istr(text), destroyed_(destroyed) {}
  ~Counted() override { ++*destroyed_; }
  int* destroyed_;
};

std::vector<std::string> Texts(IstrContainer& c) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < c.Count(); ++i)
    out.push_back(c[i]->Text());
  return out;
}

void Add(IstrContainer& c, std::initializer_list<const char*> texts) {
  for (const char* text : texts)
    c.Add(new Istr(text));
}

// Index of the item with this text, found through the container's own Find.
int32_t FindText(IstrContainer& c, const char* text) {
  Istr probe(text);
  return c.Find(&probe);
}

TEST(SContainerEarly, EntriesAddedBeforeTheConstructorSurvive) {
  ASSERT_TRUE(g_filledEarly);
  ASSERT_EQ(g_lateContainer.Count(), 2u);
  EXPECT_STREQ(g_lateContainer[1]->Text(), "early two");
  EXPECT_EQ(g_lateContainer.GetFlags(), SContainer::kUnique);
  EXPECT_EQ(FindText(g_lateContainer, "early one"), 0);
  // The exit function empties the early containers and forgets them.
  ReleaseEarlyContainers();
  EXPECT_EQ(g_lateContainer.Count(), 0u);
  EXPECT_EQ(EarlyContainerCount(), 0u);
}

TEST(SContainer, ZeroDeltaShowsTheMessageOnceAndUses32) {
  BoxCapture box;
  SContainer c(0, 0);
  c.Add(new Istr("a"));
  ASSERT_EQ(BoxCapture::Shown().size(), 1u);
  EXPECT_EQ(BoxCapture::Shown()[0].text, "SContainer: delta == 0!");
  EXPECT_EQ(BoxCapture::Shown()[0].caption, "Error");
  EXPECT_EQ(BoxCapture::Shown()[0].style, platform::kMbIconHand);
  EXPECT_EQ(c.Capacity(), 32u);
}

TEST(SContainer, OwnershipAndUniqueness) {
  int destroyed = 0;
  auto item = [&destroyed](const char* text) { return new Counted(text, &destroyed); };
  Counted kept("k", &destroyed), again("k", &destroyed);
  {
    // 0x04|0x08: the duplicate is reported as added and destroyed.
    IstrContainer drop(8, SContainer::kUnique | SContainer::kDropDuplicate);
    EXPECT_TRUE(drop.Add(item("k")));
    EXPECT_TRUE(drop.Add(item("k")));
    EXPECT_EQ(drop.Count(), 1u);
    EXPECT_EQ(destroyed, 1);
    // 0x10: the held item goes, the newcomer takes its place.
    IstrContainer replace(8, SContainer::kUnique | SContainer::kReplaceDuplicate);
    Counted* second = item("k");
    replace.Add(item("k"));
    replace.Add(second);
    EXPECT_EQ(replace.Count(), 1u);
    EXPECT_EQ(replace[0], second);
    EXPECT_EQ(destroyed, 2);
    // Unique alone: the newcomer is neither added nor destroyed; a
    // non-owning container never destroys what it was given.
    IstrContainer unique(8, SContainer::kUnique);
    unique.Add(item("k"));
    EXPECT_TRUE(unique.Add(&kept));
    EXPECT_NE(unique[0], &kept);
    IstrContainer view(8, SContainer::kNotOwner | SContainer::kUnique | SContainer::kDropDuplicate);
    view.Add(&kept);
    view.Add(&again);
    EXPECT_EQ(view.Count(), 1u);
    EXPECT_TRUE(view.Delete(0));
    EXPECT_EQ(destroyed, 2);
  }
  EXPECT_EQ(destroyed, 5);  // one each in drop, replace and unique

  IstrContainer owner;
  owner.Add(item("a"));
  owner.Add(item("b"));
  std::unique_ptr<Istr> detached(owner.Detach(0));
  EXPECT_STREQ(detached->Text(), "a");
  owner.Clear();
  EXPECT_EQ(destroyed, 6);
  EXPECT_EQ(owner.Capacity(), 0u);
}

TEST(SContainer, UnsortedTailIsSortedInEvery128Additions) {
  IstrContainer c(32, SContainer::kSortedTail);
  std::vector<std::string> keys;
  for (int i = 0; i < 300; ++i)
    keys.push_back(std::to_string((i * 7919) % 1000));
  for (int i = 0; i < 127; ++i)
    c.Add(new Istr(keys[i].c_str()));
  EXPECT_FALSE(c.IsSortedNow());
  EXPECT_EQ(c.UnsortedTail(), 127u);
  EXPECT_STREQ(c[FindText(c, keys[50].c_str())]->Text(), keys[50].c_str());

  c.Add(new Istr(keys[127].c_str()));
  EXPECT_TRUE(c.IsSortedNow());
  EXPECT_EQ(c.UnsortedTail(), 0u);
  std::vector<std::string> texts = Texts(c);
  EXPECT_TRUE(std::is_sorted(texts.begin(), texts.end()));

  // A second round merges into the sorted head; the tail is searched too.
  for (int i = 128; i < 300; ++i)
    c.Add(new Istr(keys[i].c_str()));
  EXPECT_EQ(c.UnsortedTail(), 300u - 256u);
  for (const std::string& key : keys) {
    const int32_t at = FindText(c, key.c_str());
    ASSERT_GE(at, 0) << key;
    EXPECT_STREQ(c[at]->Text(), key.c_str());
  }
  EXPECT_EQ(FindText(c, "missing"), -1);
}

TEST(SContainer, SortedAndDescendingFind) {
  IstrContainer c(4, SContainer::kSorted);
  Add(c, {"m", "b", "m", "z", "a", "m"});
  EXPECT_EQ(FindText(c, "m"), 2);  // sorts first, then the first equal item
  EXPECT_EQ(Texts(c), (std::vector<std::string>{"a", "b", "m", "m", "m", "z"}));
  EXPECT_EQ(FindText(c, nullptr), -1);
  EXPECT_EQ(c.Find(nullptr), -1);

  // Items that equal nothing (null texts) cannot upset the sort.
  IstrContainer nulls(4, SContainer::kSorted);
  for (int i = 0; i < 50; ++i)
    nulls.Add(new Istr(i % 3 ? nullptr : "x"));
  nulls.Sort();
  EXPECT_EQ(nulls.Count(), 50u);

  // 0x40 with a sorted container and with a sorted tail.
  IstrContainer down(4, SContainer::kSorted | SContainer::kDescending);
  Add(down, {"b", "d", "a", "c"});
  EXPECT_EQ(FindText(down, "b"), 2);
  EXPECT_EQ(Texts(down), (std::vector<std::string>{"d", "c", "b", "a"}));
  IstrContainer tail(4, SContainer::kSortedTail | SContainer::kDescending);
  for (int i = 0; i < 200; ++i)
    tail.Add(new Istr(std::to_string(i % 97).c_str()));
  const int32_t at = FindText(tail, "42");
  ASSERT_GE(at, 0);
  EXPECT_STREQ(tail[at]->Text(), "42");

  IstrContainer plain;  // unsorted: the first equal item
  Add(plain, {"y", "x", "x"});
  EXPECT_EQ(FindText(plain, "x"), 1);
}

TEST(SContainer, DetachShrinksByOneDeltaAndInsertAt) {
  IstrContainer c(4, 0);
  Add(c, {"1", "2", "3", "4", "5"});
  EXPECT_EQ(c.Capacity(), 8u);
  delete c.Detach(4);  // free slots 4 = delta
  EXPECT_EQ(c.Capacity(), 4u);
  EXPECT_EQ(c.Detach(4), nullptr);
  EXPECT_FALSE(c.Delete(7));
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(c.Delete(0));
  EXPECT_EQ(c.Capacity(), 0u);
  EXPECT_EQ(c.DetachLast(), nullptr);

  Add(c, {"a", "c"});
  EXPECT_TRUE(c.InsertAt(new Istr("b"), 1));
  EXPECT_TRUE(c.InsertAt(new Istr("d"), 3));
  EXPECT_TRUE(c.InsertAt(new Istr("0"), 0));
  EXPECT_EQ(Texts(c), (std::vector<std::string>{"0", "a", "b", "c", "d"}));
  Istr outside("x");
  EXPECT_FALSE(c.InsertAt(&outside, 6));

  IstrContainer doubling(2, SContainer::kDoublingDelta);
  std::vector<uint32_t> capacities;
  for (int i = 0; i < 20; ++i) {
    doubling.Add(new Istr("v"));
    if (capacities.empty() || capacities.back() != doubling.Capacity())
      capacities.push_back(doubling.Capacity());
  }
  EXPECT_EQ(capacities, (std::vector<uint32_t>{2, 6, 14, 30}));
}

TEST(SContainer, ThreadSafeContainerTakesConcurrentAdds) {
  IstrContainer shared(32, SContainer::kThreadSafe);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&shared, t] {
      for (int i = 0; i < 500; ++i)
        shared.Add(new Istr(std::to_string(t * 1000 + i).c_str()));
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(shared.Count(), 2000u);
}

int PrintBox(const char* text, const char* caption, uint32_t style) {
  std::fprintf(stderr, "[%s|%s|%x]", caption, text, style);
  return 1;
}

// The system's own message box. On POSIX it writes to standard error; on
// Windows it is a real MessageBoxA, which would wait for a click, so there
// the printing hook stands in for it.
void UseSystemMessageBox() {
#ifdef _WIN32
  platform::SetMessageBoxHook(PrintBox);
#else
  platform::SetMessageBoxHook(nullptr);
#endif
}

TEST(ContainersDeathTest, InvalidIndexShowsTheMessageAndEndsTheProcess) {
  EXPECT_EXIT(
      {
        platform::SetMessageBoxHook(PrintBox);
        IstrContainer c;
        c.Add(new Istr("only"));
        c.At(1);
      },
      ::testing::ExitedWithCode(kExitStatusMinusOne),
      "\\[Error\\|Internal error in \".*\": Invalid array index 1 \\(Count = 1\\), exiting\\. "
      "Please contact technical support\\.\\|1010\\]");
  EXPECT_EXIT(
      {
        UseSystemMessageBox();
        FPArrayAsVector<int> v;
        v.Add(5);
        v[1];
      },
      ::testing::ExitedWithCode(kExitStatusMinusOne), "Invalid array index 1 \\(Count = 1\\)");
}

TEST(PArrayAsVector, AppendGrowsByDeltaOrMore) {
  PArrayAsVector v(2, 4, sizeof(uint32_t));
  uint32_t values[] = {1, 2, 3};
  EXPECT_TRUE(v.Append(values, 3));
  EXPECT_EQ(v.Capacity(), 4u);  // 0 + max(3, 4)
  EXPECT_TRUE(v.Append(nullptr, 2));
  EXPECT_EQ(v.Capacity(), 3u + 4u);
  EXPECT_EQ(*static_cast<uint32_t*>(v.At(4)), 0u);
  std::vector<uint32_t> many(10, 9);
  EXPECT_TRUE(v.Append(many.data(), many.size()));
  EXPECT_EQ(v.Capacity(), 15u);  // 5 + max(10, 4)
  EXPECT_EQ(*static_cast<uint32_t*>(v.At(14)), 9u);
}

TEST(DynArrayBase, ZeroFillsAndSwitchesToTheLocalHeap) {
  DynArray<char> block(16);
  std::memset(block.Data(), 'x', 16);
  ASSERT_TRUE(block.ResizeCount(32));
  EXPECT_EQ(block[15], 'x');
  EXPECT_EQ(block[31], 0);

  const uint64_t previous = SetLocalHeapThreshold(64);
  ASSERT_TRUE(block.ResizeCount(100));  // to the local heap: old contents copied
  EXPECT_TRUE(block.InLocalHeap());
  EXPECT_EQ(block[0], 'x');
  EXPECT_EQ(block[99], 0);
  block[70] = 'y';
  ASSERT_TRUE(block.ResizeCount(200));  // stays there, zero-filled
  EXPECT_EQ(block[70], 'y');
  EXPECT_EQ(block[199], 0);
  ASSERT_TRUE(block.ResizeCount(20));  // back to the runtime heap: the new size copied
  EXPECT_FALSE(block.InLocalHeap());
  EXPECT_EQ(block[15], 'x');
  EXPECT_EQ(block[19], 0);
  SetLocalHeapThreshold(previous);
}

// Under the address sanitizer an impossible allocation ends the process
// unless it is told to refuse it the way the C runtime does; elsewhere this
// is never called.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

TEST(DynArrayBase, RefusedLocalHeapMemoryIsShownAndLeavesTheBlock) {
  BoxCapture box;
  DynArray<char> block(8);
  block[0] = 'k';
  const uint64_t previous = SetLocalHeapThreshold(64);
  EXPECT_FALSE(block.Resize(1ull << 62));
  SetLocalHeapThreshold(previous);
  EXPECT_EQ(block.Size(), 8u);
  EXPECT_EQ(block[0], 'k');
  ASSERT_EQ(BoxCapture::Shown().size(), 1u);
  const ShownBox& shown = BoxCapture::Shown()[0];
  std::string program = platform::HostExecutablePath();
  program = program.substr(program.find_last_of("\\/") + 1);
  EXPECT_EQ(shown.caption, program.substr(0, program.find('.')));
  EXPECT_EQ(shown.style, platform::kMbIconHand);
  EXPECT_EQ(shown.text.rfind(
                "Unable to allocate 4611686018427387904 bytes of memory from the local heap:\n", 0),
            0u)
      << shown.text;
}

TEST(lstr, AppendDropsTheTerminatingZero) {
  lstr text;
  text.Append("abc").Append(nullptr).AppendFormat("-%I64u", 12ull);
  EXPECT_EQ(text.Count(), 7u);
  text.Append(text.Text());  // its own text
  EXPECT_STREQ(text.Text(), "abc-12abc-12");
  // In text mode the length is cut at the first zero.
  lstr marked;
  marked.textMode = true;
  marked.FPArrayAsVector<char>::Append("x\0y", 4);
  marked.Append("z");
  EXPECT_STREQ(marked.Text(), "xz");
}

}  // namespace
