// Process and machine facts, environment and run-time loading on Windows.
#include "platform/system.h"

#include <windows.h>

#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/errors.h"

namespace platform {

namespace {

// Calls `fill(buffer, size)` of a Windows "text into a buffer" function with
// a buffer that grows until the text fits. `fill` returns the characters
// written without the NUL, 0 on failure, or a value of at least `size` when
// the buffer was too small: the size needed (GetEnvironmentVariableA) or the
// buffer's size after cutting the text (GetModuleFileNameA).
template <typename Fill>
std::string ReadString(Fill fill) {
  std::vector<char> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD length = fill(buffer.data(), size);
    if (length == 0) return {};
    if (length < size) return std::string(buffer.data(), length);
    if (buffer.size() >= (1u << 20)) return {};
    buffer.resize(length > size * 2 ? length : size * 2);
  }
}

// The module handle of a module already in the process, or of one loaded
// now; the loader's error boxes for a missing or damaged file are kept off
// meanwhile, so a probe never stops on a dialog.
HMODULE LoadQuietly(const char* name) {
  HMODULE module = ::GetModuleHandleA(name);
  if (module != nullptr) return module;
  DWORD previous = 0;
  const bool changed =
      ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous) != 0;
  module = ::LoadLibraryA(name);
  const DWORD error = ::GetLastError();
  if (changed) ::SetThreadErrorMode(previous, nullptr);
  ::SetLastError(error);
  return module;
}

// "*SystemPath*", when set, is where the library's companion DLLs live: it
// becomes the DLL search directory before the first module is loaded.
void PointDllSearchAtSystemPath() {
  static const bool done = [] {
    char folder[MAX_PATH + 1];
    const DWORD length = ::GetEnvironmentVariableA("*SystemPath*", folder, sizeof folder);
    if (length > 0 && length < sizeof folder) ::SetDllDirectoryA(folder);
    return true;
  }();
  (void)done;
}

// --- The operating-system description -------------------------------------

// Whether the running system equals a version part (VerifyVersionInfoA with
// an "equal" condition: it answers with the true version where the reported
// one may be capped).
bool SystemEquals(DWORD part, DWORD value) {
  OSVERSIONINFOEXA wanted{};
  wanted.dwOSVersionInfoSize = sizeof wanted;
  switch (part) {
    case VER_MAJORVERSION:
      wanted.dwMajorVersion = value;
      break;
    case VER_MINORVERSION:
      wanted.dwMinorVersion = value;
      break;
    case VER_SERVICEPACKMAJOR:
      wanted.wServicePackMajor = static_cast<WORD>(value);
      break;
    case VER_PRODUCT_TYPE:
      wanted.wProductType = static_cast<BYTE>(value);
      break;
    default:
      return false;
  }
  const DWORDLONG condition = ::VerSetConditionMask(0, part, VER_EQUAL);
  return ::VerifyVersionInfoA(&wanted, part, condition) != FALSE;
}

// --- Screen, battery, rights -----------------------------------------------

void ReadScreen(SystemFacts& facts) {
  facts.screenWidth = static_cast<uint32_t>(::GetSystemMetrics(SM_CXFULLSCREEN));
  facts.screenHeight = static_cast<uint32_t>(::GetSystemMetrics(SM_CYFULLSCREEN));
  facts.iconWidth = static_cast<uint32_t>(::GetSystemMetrics(SM_CXICON));
  // The monitor that holds the point (-1, -1), else the primary one.
  MONITORINFO info{};
  info.cbSize = sizeof info;
  HMONITOR monitor = ::MonitorFromPoint(POINT{-1, -1}, MONITOR_DEFAULTTOPRIMARY);
  if (monitor != nullptr && ::GetMonitorInfoA(monitor, &info)) {
    facts.monitorWidth = static_cast<uint32_t>(info.rcMonitor.right - info.rcMonitor.left);
    facts.monitorHeight = static_cast<uint32_t>(info.rcMonitor.bottom - info.rcMonitor.top);
  }
  HDC screen = ::GetDC(nullptr);
  if (screen != nullptr) {
    facts.dpi = ::GetDeviceCaps(screen, LOGPIXELSX);
    ::ReleaseDC(nullptr, screen);
  }
}

std::string UserLocaleName() {
  wchar_t wide[LOCALE_NAME_MAX_LENGTH] = {};
  if (::GetUserDefaultLocaleName(wide, LOCALE_NAME_MAX_LENGTH) <= 0) return {};
  char narrow[LOCALE_NAME_MAX_LENGTH * 2] = {};
  if (::WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, sizeof narrow, nullptr, nullptr) <= 0) {
    return {};
  }
  return narrow;
}

// Whether the process token has UAC file and registry virtualization on: 1
// yes, 0 no, -1 when the token cannot be read.
int UacVirtualization() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return -1;
  DWORD enabled = 0;
  DWORD size = 0;
  const bool read = ::GetTokenInformation(token, TokenVirtualizationEnabled, &enabled,
                                          sizeof enabled, &size) != FALSE;
  ::CloseHandle(token);
  if (!read) return -1;
  return enabled != 0 ? 1 : 0;
}

}  // namespace

std::string GetEnvironment(const char* name) {
  if (name == nullptr || *name == '\0') return {};
  return ReadString(
      [&](char* buffer, DWORD size) { return ::GetEnvironmentVariableA(name, buffer, size); });
}

bool HasEnvironment(const char* name) {
  if (name == nullptr || *name == '\0') return false;
  // An empty variable also answers 0: only "not found" means unset.
  char probe[1];
  ::SetLastError(0);
  return ::GetEnvironmentVariableA(name, probe, 0) != 0 ||
         ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void SetEnvironment(const char* name, const char* value) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) return;
  // The C runtime keeps a copy of the environment that getenv reads; it is
  // updated first (its "NAME=" form removes the variable, in the process
  // environment too), then the process environment is set, which alone can
  // hold an empty value.
  const std::string assignment = std::string(name) + "=" + (value != nullptr ? value : "");
  _putenv(assignment.c_str());
  ::SetEnvironmentVariableA(name, value);
}

std::string ExpandEnvironment(const char* text) {
  if (text == nullptr || *text == '\0') return {};
  // ExpandEnvironmentStringsA answers with the size it needs, NUL included.
  std::vector<char> buffer(std::strlen(text) + MAX_PATH);
  for (;;) {
    const DWORD size = static_cast<DWORD>(buffer.size());
    const DWORD needed = ::ExpandEnvironmentStringsA(text, buffer.data(), size);
    if (needed == 0) return text;
    if (needed <= size) return buffer.data();
    buffer.resize(needed);
  }
}

std::string LibraryModulePath() {
  // The module whose code holds this function: the DLL when built into one,
  // the executable when linked statically into it.
  HMODULE module = nullptr;
  if (!::GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&LibraryModulePath), &module)) {
    return HostExecutablePath();
  }
  return ReadString(
      [&](char* buffer, DWORD size) { return ::GetModuleFileNameA(module, buffer, size); });
}

std::string HostExecutablePath() {
  return ReadString(
      [](char* buffer, DWORD size) { return ::GetModuleFileNameA(nullptr, buffer, size); });
}

std::string CommandLine() {
  const char* line = ::GetCommandLineA();
  return line != nullptr ? line : "";
}

std::string UserName() {
  char buffer[257] = {};  // UNLEN + 1
  DWORD size = sizeof buffer;
  if (!::GetUserNameA(buffer, &size)) return GetEnvironment("USERNAME");
  std::string name = buffer;
  if (name.size() > 128) name.resize(128);
  return name;
}

void* LoadModule(const char* name) {
  PointDllSearchAtSystemPath();
  HMODULE module = name == nullptr ? ::GetModuleHandleA(nullptr) : LoadQuietly(name);
  if (module == nullptr) {
    const DWORD error = ::GetLastError();
    SetLastError(error != 0 ? static_cast<uint32_t>(error) : uint32_t{kErrorModNotFound});
  }
  return reinterpret_cast<void*>(module);
}

void* FindProcedure(void* module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  const FARPROC procedure = ::GetProcAddress(static_cast<HMODULE>(module), name);
  if (procedure == nullptr) {
    SetLastError(kErrorProcNotFound);
    return nullptr;
  }
  return reinterpret_cast<void*>(procedure);
}

std::string LoadedModulePath(const char* name) {
  if (name == nullptr || *name == '\0') return {};
  // GetModuleHandleA only finds a module already loaded; a name without an
  // extension means "name.dll", and case does not matter.
  HMODULE module = ::GetModuleHandleA(name);
  if (module == nullptr) return {};
  return ReadString(
      [&](char* buffer, DWORD size) { return ::GetModuleFileNameA(module, buffer, size); });
}

bool RunsOnWindows() {
  return true;
}

bool WindowsVersionEquals(WindowsVersionPart part, uint32_t value) {
  switch (part) {
    case WindowsVersionPart::kMajor:
      return SystemEquals(VER_MAJORVERSION, value);
    case WindowsVersionPart::kMinor:
      return SystemEquals(VER_MINORVERSION, value);
    case WindowsVersionPart::kServicePack:
      return SystemEquals(VER_SERVICEPACKMAJOR, value);
    case WindowsVersionPart::kProductType:
      return SystemEquals(VER_PRODUCT_TYPE, value);
  }
  return false;
}

// The build number and the service-pack text are the reported ones
// (GetVersionExA).
namespace {
OSVERSIONINFOEXA ReportedVersion() {
  OSVERSIONINFOEXA reported{};
  reported.dwOSVersionInfoSize = sizeof reported;
  if (!::GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&reported))) return OSVERSIONINFOEXA{};
  return reported;
}
}  // namespace

uint32_t WindowsBuildNumber() {
  return ReportedVersion().dwBuildNumber;
}

std::string WindowsServicePackText() {
  return ReportedVersion().szCSDVersion;
}

SystemFacts ReadSystemFacts() {
  SystemFacts facts;
  HMODULE ntdll = ::GetModuleHandleA("ntdll");
  facts.underWine = ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;

  ReadScreen(facts);

  facts.systemLanguageId = ::GetSystemDefaultLangID();
  facts.userLanguageId = ::GetUserDefaultLangID();
  facts.ansiCodePageName = std::to_string(::GetACP());
  facts.userLocaleName = UserLocaleName();

  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof memory;
  if (::GlobalMemoryStatusEx(&memory)) {
    facts.totalMemoryMiB = memory.ullTotalPhys >> 20;
    facts.freeMemoryMiB = memory.ullAvailPhys >> 20;
  }
  SYSTEM_INFO system{};
  ::GetSystemInfo(&system);
  facts.processorCount = system.dwNumberOfProcessors;

  SYSTEM_POWER_STATUS power{};
  if (::GetSystemPowerStatus(&power)) {
    facts.batteryFlag = power.BatteryFlag;
    facts.batteryPercent = power.BatteryLifePercent;
    facts.acOnline = power.ACLineStatus != 0;  // 255 (unknown) counts as on
  } else {
    facts.batteryFlag = 255;
  }

  facts.isAdmin = ::IsUserAnAdmin() != FALSE;
  facts.uacVirtualization = UacVirtualization();
  return facts;
}

bool StandardOutputIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

// A DLL's atexit handlers run when the DLL is unloaded, or at process exit.
void AtModuleExit(void (*function)()) {
  std::atexit(function);
}

}  // namespace platform
