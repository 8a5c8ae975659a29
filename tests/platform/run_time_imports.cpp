// The Windows-only facts read through run-time look-ups.
#include "platform/run_time_imports.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/system.h"

namespace {

#ifdef _WIN32

TEST(RunTimeImports, WindowsAnswersFromTheSystem) {
  // A 64-bit process never runs under WOW64, and asking twice (the cached
  // look-up) gives the same answer.
  static_assert(sizeof(void*) == 8, "the library is built for Windows x64 only");
  EXPECT_FALSE(platform::IsWow64Process());
  EXPECT_FALSE(platform::IsWow64Process());
  // The test scripts run Windows programs with a Wine prefix set, which Wine
  // hands on to the program's environment.
  if (platform::HasEnvironment("WINEPREFIX")) {
    EXPECT_TRUE(platform::RunningUnderWine());
  }

  // Every supported Windows (and Wine) has a user locale such as "en-US".
  std::string name = "unchanged";
  ASSERT_TRUE(platform::UserDefaultLocaleName(name));
  EXPECT_NE(name, "unchanged");
  EXPECT_FALSE(name.empty());
  EXPECT_EQ(name.find('?'), std::string::npos) << name;
}

#else

TEST(RunTimeImports, PosixKnowsNoneOfThem) {
  EXPECT_FALSE(platform::IsWow64Process());
  EXPECT_FALSE(platform::RunningUnderWine());
  // The caller's own value survives an answer of "not known".
  std::string name = "de_DE";
  EXPECT_FALSE(platform::UserDefaultLocaleName(name));
  EXPECT_EQ(name, "de_DE");
}

#endif

}  // namespace
