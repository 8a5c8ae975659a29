// Environment, process facts, modules, errors, threads and the message hook.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

class Environment : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetEnvironment("NVD_TEST_A", "alpha");
    platform::SetEnvironment("NVD_TEST_EMPTY", "");
    platform::SetEnvironment("NVD_TEST_UNSET", nullptr);
  }
  void TearDown() override {
    platform::SetEnvironment("NVD_TEST_A", nullptr);
    platform::SetEnvironment("NVD_TEST_EMPTY", nullptr);
  }
};

TEST_F(Environment, GetSetAndUnset) {
  EXPECT_EQ(platform::GetEnvironment("NVD_TEST_A"), "alpha");
  EXPECT_TRUE(platform::HasEnvironment("NVD_TEST_EMPTY"));
  EXPECT_EQ(platform::GetEnvironment("NVD_TEST_EMPTY"), "");
  EXPECT_FALSE(platform::HasEnvironment("NVD_TEST_UNSET"));
  EXPECT_EQ(platform::GetEnvironment("NVD_TEST_UNSET"), "");
  platform::SetEnvironment("NVD_TEST_A", nullptr);
  EXPECT_FALSE(platform::HasEnvironment("NVD_TEST_A"));
}

TEST_F(Environment, ExpandsPercentReferencesAsWindowsDoes) {
  EXPECT_EQ(platform::ExpandEnvironment("%NVD_TEST_A%\\x.ini"), "alpha\\x.ini");
  EXPECT_EQ(platform::ExpandEnvironment("[%NVD_TEST_A%%NVD_TEST_A%]"), "[alphaalpha]");
  EXPECT_EQ(platform::ExpandEnvironment("a%NVD_TEST_EMPTY%b"), "ab");
  EXPECT_EQ(platform::ExpandEnvironment("%NVD_TEST_UNSET%"), "%NVD_TEST_UNSET%");
  EXPECT_EQ(platform::ExpandEnvironment("100%"), "100%");
  EXPECT_EQ(platform::ExpandEnvironment("%%"), "%%");
  EXPECT_EQ(platform::ExpandEnvironment("50% of %NVD_TEST_A%"), "50% of alpha");
  // The closing '%' of an unknown name may open the next reference.
  EXPECT_EQ(platform::ExpandEnvironment("%NVD_TEST_UNSET%NVD_TEST_A%"), "%NVD_TEST_UNSETalpha");
  EXPECT_EQ(platform::ExpandEnvironment(""), "");
  EXPECT_EQ(platform::ExpandEnvironment(nullptr), "");
}

TEST_F(Environment, TheRuntimeSeesTheSameEnvironment) {
  // Code that reads getenv (a runtime with its own copy of the environment,
  // as on Windows) sees what SetEnvironment set and unset.
  const char* value = std::getenv("NVD_TEST_A");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "alpha");
  platform::SetEnvironment("NVD_TEST_A", nullptr);
  EXPECT_EQ(std::getenv("NVD_TEST_A"), nullptr);
}

TEST(Errors, ErrnoMapsToWindowsNumbers) {
  EXPECT_EQ(platform::ErrorFromErrno(0), 0u);
  EXPECT_EQ(platform::ErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(platform::ErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(platform::ErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(platform::ErrorFromErrno(EEXIST), 183u);
  EXPECT_EQ(platform::ErrorFromErrno(ENOSPC), 112u);
  EXPECT_EQ(platform::ErrorFromErrno(EBUSY), 170u);
  EXPECT_EQ(platform::ErrorFromErrno(ETIMEDOUT), 121u);
  EXPECT_EQ(platform::ErrorFromErrno(ENOTEMPTY), 145u);
  EXPECT_EQ(platform::ErrorFromErrno(EMFILE), 4u);
  EXPECT_EQ(platform::ErrorFromErrno(ENOMEM), 8u);
  EXPECT_EQ(platform::ErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(platform::ErrorFromErrno(EPIPE), 109u);
}

TEST(Errors, WindowsTextsWithoutLineBreaks) {
  EXPECT_EQ(platform::ErrorText(2), "The system cannot find the file specified.");
  EXPECT_EQ(platform::ErrorText(5), "Access is denied.");
  EXPECT_EQ(platform::ErrorText(32),
            "The process cannot access the file because it is being used by another process.");
  EXPECT_EQ(platform::ErrorText(121), "The semaphore timeout period has expired.");
  EXPECT_EQ(platform::ErrorText(183), "Cannot create a file when that file already exists.");
  EXPECT_EQ(platform::ErrorText(0xDEADu), "");
  EXPECT_EQ(platform::RuntimeErrorText(ENOENT), std::strerror(ENOENT));
  EXPECT_FALSE(platform::RuntimeErrorText(123456).empty());
}

TEST(Errors, LastErrorBelongsToTheThread) {
  platform::SetLastError(183);
  uint32_t seenByOther = 1;
  std::thread other([&] {
    seenByOther = platform::LastError();
    platform::SetLastError(5);
  });
  other.join();
  EXPECT_EQ(seenByOther, 0u);
  EXPECT_EQ(platform::LastError(), 183u);
}

TEST(Threads, IdsAndLiveness) {
  const uint32_t self = platform::CurrentThreadId();
  EXPECT_NE(self, 0u);
  EXPECT_TRUE(platform::IsThreadRunning(self));
  EXPECT_NE(platform::CurrentProcessId(), 0u);
  uint32_t otherId = 0;
  bool otherSawItself = false;
  std::thread other([&] {
    otherId = platform::CurrentThreadId();
    otherSawItself = platform::IsThreadRunning(otherId);
  });
  other.join();
  EXPECT_NE(otherId, self);
  EXPECT_TRUE(otherSawItself);
  EXPECT_FALSE(platform::IsThreadRunning(otherId));
  EXPECT_FALSE(platform::IsThreadRunning(0));
  // A forked child's thread has an id of its own, not the parent's.
  EXPECT_EXIT(std::exit(platform::CurrentThreadId() == self ? 1 : 0), ::testing::ExitedWithCode(0),
              "");
}

TEST(Process, PathsAndCommandLine) {
  const std::string exe = platform::HostExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_NE(exe.find("test_platform_system"), std::string::npos);
  // Linked statically into this test, the library's module is the executable.
  EXPECT_EQ(platform::LibraryModulePath(), exe);
  EXPECT_NE(platform::CommandLine().find("test_platform_system"), std::string::npos);
  EXPECT_FALSE(platform::UserName().empty());
}

TEST(Process, RunTimeLoading) {
  void* self = platform::LoadModule(nullptr);
  ASSERT_NE(self, nullptr);
  void* libc = platform::LoadModule("libc.so.6");
  ASSERT_NE(libc, nullptr);
  EXPECT_NE(platform::FindProcedure(libc, "strlen"), nullptr);
  EXPECT_EQ(platform::FindProcedure(libc, "NoSuchProcedureHere"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorProcNotFound);
  EXPECT_EQ(platform::LoadModule("nvd_no_such_module"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorModNotFound);

  const std::string path = platform::LoadedModulePath("libc");
  EXPECT_NE(path.find("libc"), std::string::npos) << path;
  EXPECT_EQ(platform::LoadedModulePath("LIBC.so.6"), path);
  EXPECT_EQ(platform::LoadedModulePath("sqlite3"), "");
  EXPECT_EQ(platform::LoadedModulePath("lib"), "");  // only whole names match
}

// A module every process of the system has loaded, and one of its procedures.
#ifdef _WIN32
constexpr const char* kSystemModule = "kernel32";
constexpr const char* kSystemModuleUpper = "KERNEL32.DLL";
constexpr const char* kSystemProcedure = "GetTickCount";
#else
constexpr const char* kSystemModule = "libc";
constexpr const char* kSystemModuleUpper = "LIBC.so.6";
constexpr const char* kSystemProcedure = "strlen";
#endif

TEST(Process, RunTimeLoadingOfASystemModule) {
  const std::string path = platform::LoadedModulePath(kSystemModule);
  ASSERT_FALSE(path.empty());
  EXPECT_EQ(platform::LoadedModulePath(kSystemModuleUpper), path);  // case is ignored
  void* module = platform::LoadModule(path.c_str());
  ASSERT_NE(module, nullptr);
  EXPECT_NE(platform::FindProcedure(module, kSystemProcedure), nullptr);
  EXPECT_EQ(platform::FindProcedure(module, "NoSuchProcedureHere"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorProcNotFound);
  EXPECT_EQ(platform::LoadModule("nvd_no_such_module"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorModNotFound);
}

#ifdef _WIN32
TEST(Process, WindowsFactsKeepTheirShape) {
  const platform::SystemFacts facts = platform::ReadSystemFacts();
  const std::string& os = facts.osDescription;
  EXPECT_EQ(os.rfind("Windows ", 0), 0u) << os;
  EXPECT_NE(os.find(" [ver. "), std::string::npos) << os;
  EXPECT_NE(os.find("], build = "), std::string::npos) << os;
  EXPECT_EQ(os.substr(os.size() - 2), "']") << os;
  EXPECT_EQ(facts.ansiCodePageName.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_NE(facts.systemLanguageId, 0u);
  EXPECT_NE(facts.userLanguageId, 0u);
  EXPECT_GT(facts.totalMemoryMiB, 0u);
  EXPECT_LE(facts.freeMemoryMiB, facts.totalMemoryMiB);
  EXPECT_GE(facts.processorCount, 1u);
  EXPECT_GE(facts.uacVirtualization, -1);
  EXPECT_LE(facts.uacVirtualization, 1);
  const std::string compiler = platform::CompilerDescription();
  EXPECT_NE(compiler.find("mingw-w64"), std::string::npos) << compiler;
  const std::string exe = platform::HostExecutablePath();
  ASSERT_GT(exe.size(), 3u);
  EXPECT_EQ(exe.substr(1, 2), ":\\") << exe;  // a full path with a drive
  EXPECT_EQ(platform::LibraryModulePath(), exe);
}
#endif

TEST(Process, SystemFactsKeepTheirShape) {
  const platform::SystemFacts facts = platform::ReadSystemFacts();
  EXPECT_EQ(facts.osDescription.rfind("Linux ", 0), 0u) << facts.osDescription;
  EXPECT_NE(facts.osDescription.find(" [ver. "), std::string::npos);
  EXPECT_NE(facts.osDescription.find("], build = 0, SP: '"), std::string::npos);
  EXPECT_EQ(facts.osDescription.substr(facts.osDescription.size() - 2), "']");
  EXPECT_FALSE(facts.underWine);
  EXPECT_EQ(facts.dpi, 0);
  EXPECT_EQ(facts.screenWidth, 0u);
  EXPECT_GT(facts.totalMemoryMiB, 0u);
  EXPECT_LE(facts.freeMemoryMiB, facts.totalMemoryMiB);
  EXPECT_GE(facts.processorCount, 1u);
  EXPECT_FALSE(facts.ansiCodePageName.empty());
  EXPECT_EQ(facts.uacVirtualization, 0);
  if (facts.batteryFlag != 128) {
    EXPECT_LE(facts.batteryPercent, 100u);
  }
  const std::string compiler = platform::CompilerDescription();
  EXPECT_TRUE(compiler.rfind("GCC ", 0) == 0 || compiler.rfind("Clang ", 0) == 0) << compiler;
}

TEST(Process, LanguageFactsFollowTheLocale) {
  const bool hadLcAll = platform::HasEnvironment("LC_ALL");
  const std::string saved = platform::GetEnvironment("LC_ALL");
  platform::SetEnvironment("LC_ALL", "ru_RU.UTF-8");
  platform::SystemFacts facts = platform::ReadSystemFacts();
  EXPECT_EQ(facts.userLanguageId, 0x0419u);
  EXPECT_EQ(facts.userLocaleName, "ru-RU");
  platform::SetEnvironment("LC_ALL", "en_US");
  facts = platform::ReadSystemFacts();
  EXPECT_EQ(facts.userLanguageId, 0x0409u);
  EXPECT_EQ(facts.userLocaleName, "en-US");
  platform::SetEnvironment("LC_ALL", "C");
  facts = platform::ReadSystemFacts();
  EXPECT_EQ(facts.userLanguageId, 0u);
  EXPECT_EQ(facts.userLocaleName, "");
  platform::SetEnvironment("LC_ALL", hadLcAll ? saved.c_str() : nullptr);
}

std::string gShown;
int RecordingHook(const char* text, const char* caption, uint32_t style) {
  gShown = std::string(caption) + "|" + text + "|" + std::to_string(style);
  return platform::kIdCancel;
}

TEST(MessageBox, HookReplacesTheDefaultAndNullRestoresIt) {
  platform::MessageBoxHook previous = platform::SetMessageBoxHook(&RecordingHook);
  EXPECT_EQ(platform::ShowMessageBox("Text", "Caption", platform::kMbIconHand),
            platform::kIdCancel);
  EXPECT_EQ(gShown, "Caption|Text|16");
  EXPECT_EQ(platform::SetMessageBoxHook(nullptr), &RecordingHook);

  testing::internal::CaptureStderr();
  EXPECT_EQ(platform::ShowMessageBox("Cannot open file 'x'", "Error", 0), platform::kIdOk);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Cannot open file 'x'\n");
  platform::SetMessageBoxHook(previous);
}

TEST(MessageBoxDeathTest, ExitProcessEndsWithTheCodeAfterFlushing) {
  EXPECT_EXIT(
      {
        std::fputs("pending", stderr);
        platform::ExitProcess(-1);
      },
      ::testing::ExitedWithCode(255), "pending");
}

}  // namespace
