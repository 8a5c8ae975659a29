// Environment, process facts, modules, errors, threads and the message hook.
#include <gtest/gtest.h>

#include <atomic>
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

#if defined(_WIN32)
bool UnderWine() {
  void* ntdll = platform::LoadModule("ntdll");
  return ntdll != nullptr && platform::FindProcedure(ntdll, "wine_get_version") != nullptr;
}
#endif

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
#if defined(_WIN32)
  // Windows expands with ExpandEnvironmentStringsA itself. Wine's copies an
  // unknown reference with both its '%' and goes on after it, so there the
  // closing '%' never opens the next reference.
  const bool closingOpensNext = !UnderWine();
#else
  const bool closingOpensNext = true;
#endif
  // The closing '%' of an unknown name may open the next reference.
  EXPECT_EQ(platform::ExpandEnvironment("50% of %NVD_TEST_A%"),
            closingOpensNext ? "50% of alpha" : "50% of %NVD_TEST_A%");
  EXPECT_EQ(platform::ExpandEnvironment("%NVD_TEST_UNSET%NVD_TEST_A%"),
            closingOpensNext ? "%NVD_TEST_UNSETalpha" : "%NVD_TEST_UNSET%NVD_TEST_A%");
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
  // Starting and joining a thread are system calls that may set the caller's
  // last error themselves (mingw's threads do), so both threads set and read
  // theirs while the other one runs, in turns passed by spinning on an atomic
  // (which calls nothing).
  std::atomic<int> turn{0};
  uint32_t seenByOther = 1, otherAfterMain = 0;
  std::thread other([&] {
    while (turn.load() != 1) {
    }
    seenByOther = platform::LastError();
    platform::SetLastError(5);
    turn.store(2);
    while (turn.load() != 3) {
    }
    otherAfterMain = platform::LastError();
  });
  platform::SetLastError(183);
  turn.store(1);
  while (turn.load() != 2) {
  }
  const uint32_t mainAfterOther = platform::LastError();
  platform::SetLastError(32);
  turn.store(3);
  other.join();
  EXPECT_EQ(seenByOther, 0u);  // a new thread starts without an error
  EXPECT_EQ(mainAfterOther, 183u);
  EXPECT_EQ(otherAfterMain, 5u);
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
  // A child process's thread has an id of its own, and the parent's thread
  // does not run in it. The parent's id goes through the environment: on
  // Windows the child is a new run of this program, which comes here again
  // and must not replace it (on Linux the child is forked and also checks
  // that it does not keep the parent's cached id).
  const char* kParentVariable = "NVD_TEST_PARENT_THREAD";
  if (!platform::HasEnvironment(kParentVariable)) {
    platform::SetEnvironment(kParentVariable, std::to_string(self).c_str());
  }
  EXPECT_EXIT(
      {
        const auto parent =
            static_cast<uint32_t>(std::stoul(platform::GetEnvironment(kParentVariable)));
        std::exit(platform::CurrentThreadId() != parent && !platform::IsThreadRunning(parent) ? 0
                                                                                              : 1);
      },
      ::testing::ExitedWithCode(0), "");
  platform::SetEnvironment(kParentVariable, nullptr);
}

TEST(Process, PathsAndCommandLine) {
  const std::string exe = platform::HostExecutablePath();
  ASSERT_GT(exe.size(), 3u);
#if defined(_WIN32)
  EXPECT_EQ(exe.substr(1, 2), ":\\") << exe;  // a full path with a drive
#else
  EXPECT_EQ(exe.front(), '/');
#endif
  EXPECT_NE(exe.find("test_platform_system"), std::string::npos);
  // Linked statically into this test, the library's module is the executable.
  EXPECT_EQ(platform::LibraryModulePath(), exe);
  EXPECT_NE(platform::CommandLine().find("test_platform_system"), std::string::npos);
  EXPECT_FALSE(platform::UserName().empty());
}

// A system library loaded by its file name, the same name in capitals, its
// stem, a piece of the stem, and one of its procedures.
#ifdef _WIN32
constexpr const char* kLibraryFile = "version.dll";
constexpr const char* kLibraryFileUpper = "VERSION.DLL";
constexpr const char* kLibraryStem = "version";
constexpr const char* kLibraryStemPiece = "vers";
constexpr const char* kLibraryProcedure = "GetFileVersionInfoSizeA";
#else
constexpr const char* kLibraryFile = "libc.so.6";
constexpr const char* kLibraryFileUpper = "LIBC.so.6";
constexpr const char* kLibraryStem = "libc";
constexpr const char* kLibraryStemPiece = "lib";
constexpr const char* kLibraryProcedure = "strlen";
#endif

TEST(Process, RunTimeLoading) {
  void* self = platform::LoadModule(nullptr);
  ASSERT_NE(self, nullptr);
  void* library = platform::LoadModule(kLibraryFile);
  ASSERT_NE(library, nullptr);
  EXPECT_NE(platform::FindProcedure(library, kLibraryProcedure), nullptr);
  EXPECT_EQ(platform::FindProcedure(library, "NoSuchProcedureHere"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorProcNotFound);
  EXPECT_EQ(platform::LoadModule("nvd_no_such_module"), nullptr);
  EXPECT_EQ(platform::LastError(), platform::kErrorModNotFound);

  const std::string path = platform::LoadedModulePath(kLibraryStem);
  EXPECT_NE(path.find(kLibraryStem), std::string::npos) << path;
  EXPECT_EQ(platform::LoadedModulePath(kLibraryFileUpper), path);
  EXPECT_EQ(platform::LoadedModulePath("sqlite3"), "");
  EXPECT_EQ(platform::LoadedModulePath(kLibraryStemPiece), "");  // only whole names match
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
  // The library names Windows from the version queries.
  EXPECT_EQ(facts.osDescription, "");
  EXPECT_TRUE(facts.underWine == UnderWine());
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

TEST(Process, WindowsVersionQueries) {
  EXPECT_TRUE(platform::RunsOnWindows());
  int majors = 0;
  for (uint32_t major = 4; major <= 20; ++major)
    majors += platform::WindowsVersionEquals(platform::WindowsVersionPart::kMajor, major);
  EXPECT_EQ(majors, 1);  // exactly one major version
  EXPECT_GT(platform::WindowsBuildNumber(), 0u);
}
#else
TEST(Process, WindowsVersionQueries) {
  EXPECT_FALSE(platform::RunsOnWindows());
  EXPECT_FALSE(platform::WindowsVersionEquals(platform::WindowsVersionPart::kMajor, 5));
  EXPECT_EQ(platform::WindowsBuildNumber(), 0u);
  EXPECT_EQ(platform::WindowsServicePackText(), "");
}

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
#endif

TEST(Process, LanguageFactsFollowTheLocale) {
  const bool hadLcAll = platform::HasEnvironment("LC_ALL");
  const std::string saved = platform::GetEnvironment("LC_ALL");
#if defined(_WIN32)
  // Windows takes the user's language from the user's settings; the
  // variables of POSIX locales change nothing.
  const platform::SystemFacts before = platform::ReadSystemFacts();
  EXPECT_NE(before.userLanguageId, 0u);
  EXPECT_EQ(before.userLocaleName.find('-'), 2u) << before.userLocaleName;  // "en-US"
  platform::SetEnvironment("LC_ALL", "ru_RU.UTF-8");
  const platform::SystemFacts after = platform::ReadSystemFacts();
  EXPECT_EQ(after.userLanguageId, before.userLanguageId);
  EXPECT_EQ(after.userLocaleName, before.userLocaleName);
#else
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
#endif
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

#if defined(_WIN32)
  // The default is MessageBoxA, which waits for a click: it is not shown
  // here, only found back in place.
  EXPECT_EQ(platform::SetMessageBoxHook(previous), previous);
#else
  testing::internal::CaptureStderr();
  EXPECT_EQ(platform::ShowMessageBox("Cannot open file 'x'", "Error", 0), platform::kIdOk);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Cannot open file 'x'\n");
  platform::SetMessageBoxHook(previous);
#endif
}

TEST(MessageBoxDeathTest, ExitProcessEndsWithTheCodeAfterFlushing) {
#if defined(_WIN32)
  const int kExitCodeOfMinusOne = -1;  // Windows keeps the whole 32-bit code
#else
  const int kExitCodeOfMinusOne = 255;  // a POSIX exit status keeps the low 8 bits
#endif
  EXPECT_EXIT(
      {
        std::fputs("pending", stderr);
        platform::ExitProcess(-1);
      },
      ::testing::ExitedWithCode(kExitCodeOfMinusOne), "pending");
}

}  // namespace
