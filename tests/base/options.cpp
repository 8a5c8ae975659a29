// Trace options, the option word, and the start-up and exit lists.
#include "base/options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/messages.h"
#include "base/support/base_test_support.h"
#include "platform/message_box.h"

namespace {

// Registrations made by this file's static initialiser, which runs before the
// library's start-up whatever the link order.
std::vector<int>& StartupOrder() {
  static std::vector<int> order;
  return order;
}
TracerEx g_EarlyOption;

// What the start-up steps saw when they ran.
std::vector<std::string>& StepLog() {
  static std::vector<std::string> log;
  return log;
}
void Step(const char* name) {
  StepLog().push_back(std::string(name) + ":" + std::to_string(TracerExCount()) + ":" +
                      std::to_string(StartupOrder().size()));
}

bool g_Registered = false;
NVD_STATIC_REGISTRATION(g_Registration) {
  g_Registered = true;
  RegisterStartupStep(StartupStep::kVirtualItems, [] { Step("items"); });
  RegisterStartupStep(StartupStep::kProtocolEntries, [] {
    Step("protocol");
    RegisterStartupFunction([] { StartupOrder().push_back(100 + 1000); }, 100);
  });
  RegisterStartupStep(StartupStep::kDeviceRegistry, [] { Step("registry"); });
  RegisterStartupFunction([] { StartupOrder().push_back(100); }, 100);
  RegisterStartupFunction([] { StartupOrder().push_back(10); }, 10);
  RegisterStartupFunction([] { StartupOrder().push_back(101); }, 100);
  RegisterTracerEx(&g_EarlyOption, "early", 1ull << 40, "Registered before start-up|");
}

TEST(StartupList, RunsByPriorityWhateverTheRegistrationOrder) {
  ASSERT_TRUE(g_Registered);
  EXPECT_TRUE(StartupFunctionsRan());
  // Priority 10 first; equal priorities keep their registration order.
  EXPECT_EQ(StartupOrder(), (std::vector<int>{10, 100, 101, 1100}));
  // The registry before anything, the protocol entries before the deferred
  // run, the virtual items before the library's first trace option (only the
  // one registered by this file exists then).
  EXPECT_EQ(StepLog(), (std::vector<std::string>{"registry:1:0", "protocol:1:0", "items:1:0"}));

  // Late registrations run at once.
  static int late = 0;
  RegisterStartupStep(StartupStep::kDeviceRegistry, [] { ++late; });
  RegisterStartupFunction([] { ++late; }, 5);
  EXPECT_EQ(late, 2);
  EXPECT_EQ(PendingStartupFunctionCount(), 0u);
}

TEST(TraceOptions, TheTenOptionsInOrder) {
  const struct {
    const char* key;
    uint64_t mask;
    const char* english;
    bool secondHalf;
  } expected[] = {
      {"ftu", 2, "Force target upload (signature always mismatch)", true},
      {"ntu", 128, "Skip target upload (signature always match)", true},
      {"klt", 256, "Do not check for Kalto presence", true},
      {"nfw", 2048, "Do not use FW_IMAGE_xxx commands", true},
      {"fct", 4096, "Full command trace", true},
      {"dbg", 8, "Force Debug=1", false},
      {"ndbg", 16, "Force Debug=0", false},
      {"tsql", 32, "Trace all SQL requests", false},
      {"tlog", 512, "Timestamps in log", false},
      {"et", 1024, "Endless USB timeout", false},
  };
  // The option registered by a static initialiser of this file comes first:
  // it was registered before the library's start-up.
  ASSERT_EQ(TracerExCount(), 11u);
  EXPECT_STREQ(TracerExAt(0)->key, "early");
  EXPECT_EQ(FindTracerEx("early"), &g_EarlyOption);
  for (uint32_t i = 0; i < 10; ++i) {
    const TracerEx* option = TracerExAt(i + 1);
    ASSERT_NE(option, nullptr);
    EXPECT_STREQ(option->key, expected[i].key);
    EXPECT_EQ(option->mask, expected[i].mask);
    EXPECT_STREQ(SelectLanguage(option->help), expected[i].english);
    // The Russian half, where there is one, in Windows-1251: no UTF-8.
    const char* bar = std::strchr(option->help, '|');
    ASSERT_EQ(bar != nullptr, expected[i].secondHalf) << option->key;
    if (bar != nullptr) {
      EXPECT_NE(bar[1], 0) << option->key;
      EXPECT_EQ(std::strchr(bar, '\xD0'), nullptr) << option->key;
    }
  }
  EXPECT_EQ(TracerExAt(11), nullptr);
  EXPECT_EQ(FindTracerEx("FTU"), nullptr);  // keys compare case-sensitively
}

TEST(TraceOptions, DuplicatesAreReportedAndSkipped) {
  BoxCapture boxes;
  const uint32_t count = TracerExCount();
  TracerEx sameKey, sameMask, fresh;
  EXPECT_EQ(RegisterTracerEx(&sameKey, "ftu", 1ull << 50, "again"), &sameKey);
  EXPECT_EQ(sameKey.mask, 1ull << 50);  // the record is filled all the same
  RegisterTracerEx(&sameMask, "newkey", kOptFullCommandTrace, "same bit");
  EXPECT_EQ(TracerExCount(), count);
  EXPECT_EQ(FindTracerEx("newkey"), nullptr);
  RegisterTracerEx(&fresh, "Ftu", 1ull << 51, "differs in case");
  EXPECT_EQ(TracerExCount(), count + 1);
  ASSERT_EQ(BoxCapture::Shown().size(), 2u);
  EXPECT_EQ(BoxCapture::Shown()[0].text, "Duplicate TracerEx item 'ftu'");
  EXPECT_EQ(BoxCapture::Shown()[1].text, "Duplicate TracerEx mask for item 'newkey'");
}

TEST(OptionWord, ZeroAtLoadAndTestedByMask) {
  EXPECT_EQ(g_OptionWord, 0u);
  g_OptionWord = kOptFullCommandTrace;
  EXPECT_TRUE(IsOptionOn(kOptEndlessUsbTimeout | kOptFullCommandTrace));
  EXPECT_FALSE(IsOptionOn(kOptForceTargetUpload));
  g_OptionWord = 0;
}

// The exit phases run at process exit: priorities 33 and above first, then
// those below 33, each from the highest priority down.
TEST(ExitList, PhasesRunAtExitHighestPriorityFirst) {
  EXPECT_EXIT(
      {
        RegisterExitFunction([] { std::fputs("exit-20 ", stderr); }, 20);
        RegisterExitFunction([] { std::fputs("exit-50 ", stderr); }, 50);
        RegisterExitFunction([] { std::fputs("exit-5 ", stderr); }, 5);
        RegisterExitFunction([] { std::fputs("exit-33 ", stderr); }, 33);
        RegisterExitFunction([] { std::fputs("exit-32\n", stderr); }, 32);
        RunExitFunctions(true);  // an early run does not run them twice
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "^exit-50 exit-33 exit-32\nexit-20 exit-5 $");
}

}  // namespace
