// The Windows-only look-ups on POSIX: no system exports them, so nothing is
// ever known.
#include "platform/run_time_imports.h"

namespace platform {

bool IsWow64Process() {
  return false;
}

bool RunningUnderWine() {
  return false;
}

bool UserDefaultLocaleName(std::string&) {
  return false;
}

}  // namespace platform
