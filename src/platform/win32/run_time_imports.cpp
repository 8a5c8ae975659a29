// The Windows-only look-ups: IsWow64Process and GetUserDefaultLocaleName
// from kernel32, wine_get_version from ntdll, each found through the
// platform's module loading when first asked.
#include "platform/run_time_imports.h"

#include <windows.h>

#include <atomic>
#include <cstddef>

#include "platform/codepage.h"
#include "platform/system.h"

namespace platform {

namespace {

// GetUserDefaultLocaleName's buffer, in UTF-16 units.
constexpr int kLocaleNameLength = 80;

// A procedure looked up once, on first use. Two threads may look it up at
// the same time and find the same address. Constant-initialised, so that no
// guard of a function-local static stays behind when the library unloads.
class Procedure {
 public:
  constexpr Procedure(const char* module, const char* name) : module_(module), name_(name) {}

  // The procedure's address, null when its module or the procedure is missing.
  void* Address() {
    if (!lookedUp_.load(std::memory_order_acquire)) {
      void* module = LoadModule(module_);
      address_.store(module != nullptr ? FindProcedure(module, name_) : nullptr);
      lookedUp_.store(true, std::memory_order_release);
    }
    return address_.load();
  }

 private:
  const char* module_;
  const char* name_;
  std::atomic<bool> lookedUp_{false};
  std::atomic<void*> address_{nullptr};
};

constinit Procedure g_IsWow64Process("kernel32", "IsWow64Process");
constinit Procedure g_GetUserDefaultLocaleName("kernel32", "GetUserDefaultLocaleName");
constinit Procedure g_WineGetVersion("ntdll", "wine_get_version");

}  // namespace

bool IsWow64Process() {
  auto* isWow64 = reinterpret_cast<decltype(&::IsWow64Process)>(g_IsWow64Process.Address());
  BOOL wow64 = FALSE;
  if (isWow64 == nullptr || isWow64(::GetCurrentProcess(), &wow64) == 0) return false;
  return wow64 != FALSE;
}

bool RunningUnderWine() {
  return g_WineGetVersion.Address() != nullptr;
}

bool UserDefaultLocaleName(std::string& name) {
  using LocaleNameProc = int(WINAPI*)(wchar_t*, int);
  auto* localeName = reinterpret_cast<LocaleNameProc>(g_GetUserDefaultLocaleName.Address());
  if (localeName == nullptr) return false;
  wchar_t wide[kLocaleNameLength] = {};
  if (localeName(wide, kLocaleNameLength) <= 0) return false;
  static_assert(sizeof(wchar_t) == sizeof(char16_t));
  const auto* text = reinterpret_cast<const char16_t*>(wide);
  size_t length = 0;
  while (length < kLocaleNameLength && text[length] != 0)
    ++length;
  std::string converted;
  if (!FromWide(text, length, kCodePageAnsi, converted)) converted.clear();
  name = converted;
  return true;
}

}  // namespace platform
