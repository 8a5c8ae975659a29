// The unhandled-exception handler in a host that had its own terminate
// handler before the library started: the library logs its line and then
// hands over to the host's handler, and gives it back at exit.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "base/log.h"
#include "base/support/base_test_support.h"

namespace {

bool g_HostHandlerReturns = false;  // a faulty host handler that returns
bool g_CheckHandlerAtExit = false;

void HostTerminate() {
  std::fputs("host handler\n", stderr);
  if (!g_HostHandlerReturns) std::_Exit(7);
}

// Runs after the library's exit phases (registered before them).
void CheckHandlerAtExit() {
  if (g_CheckHandlerAtExit) std::_Exit(std::get_terminate() == HostTerminate ? 9 : 8);
}

// The host's handler and exit check are in place before the library's
// start-up runs (a higher initialisation priority than the default).
struct HostSetUp {
  HostSetUp() {
    std::set_terminate(HostTerminate);
    std::atexit(CheckHandlerAtExit);
  }
};
__attribute__((init_priority(101))) HostSetUp g_HostSetUp;

TEST(TerminateTest, LogsThenChainsToTheHostsHandler) {
  // A host handler that returns does not keep the process alive either.
  for (bool returns : {false, true}) {
    EXPECT_EXIT(
        {
          SetPrintHook(
              [](const char* format, va_list args) { std::vfprintf(stderr, format, args); });
          g_HostHandlerReturns = returns;
          std::terminate();
        },
        ::testing::ExitedWithCode(returns ? kExitStatusMinusOne : 7),
        "^Exception\\.\\.\\.\nhost handler\n$");
  }
}

TEST(TerminateTest, HostsHandlerIsBackAfterTheExitPhases) {
  EXPECT_NE(std::get_terminate(), HostTerminate);
  EXPECT_EXIT(
      {
        g_CheckHandlerAtExit = true;
        std::exit(0);
      },
      ::testing::ExitedWithCode(9), "");
}

}  // namespace
