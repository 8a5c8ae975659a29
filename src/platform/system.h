// Facts about the process and the machine, environment, modules.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Environment variables; Get gives "" for an unset variable.
std::string GetEnvironment(const char* name);
bool HasEnvironment(const char* name);
void SetEnvironment(const char* name, const char* value);  // null value unsets
// Expands %NAME% references (ExpandEnvironmentStringsA syntax, on every
// system); an unknown name stays as written and its closing '%' may open the
// next reference ("%UNSET%HOME%" gives "%UNSET" and the home folder), a lone
// '%' stays.
std::string ExpandEnvironment(const char* text);

// Full path of the library module that holds this code, and of the host
// executable.
std::string LibraryModulePath();
std::string HostExecutablePath();
// The process command line as one text (arguments joined by blanks).
std::string CommandLine();
std::string UserName();

// Run-time loading (LoadLibraryA / GetProcAddress, dlopen / dlsym). A null
// module name means the process itself. Loaded modules stay loaded.
void* LoadModule(const char* name);
void* FindProcedure(void* module, const char* name);
// Path of a loaded module whose name matches, "" when none is loaded.
std::string LoadedModulePath(const char* name);

// Facts for the log header. Where a Windows fact has no POSIX twin the nearest
// true fact is given (0 for a missing display, "No" for no battery).
struct SystemFacts {
  // On Linux the operating-system line of the log header in the shape of the
  // Windows one: "Linux <PRETTY_NAME of /etc/os-release> [ver. <kernel
  // major.minor.patch>], build = 0, SP: '<kernel release text>']". Empty on
  // Windows, whose line the library names from the version queries below.
  std::string osDescription;
  bool underWine = false;
  uint32_t screenWidth = 0, screenHeight = 0;    // full-screen client area
  uint32_t monitorWidth = 0, monitorHeight = 0;  // monitor holding the cursor
  int dpi = 0;
  uint32_t iconWidth = 0;  // system metric 11
  // Windows language ids (0x0409, 0x0419 ...); on POSIX from the system's and
  // the user's locale, 0 when unknown.
  uint32_t systemLanguageId = 0, userLanguageId = 0;
  // "1251" on Windows; the locale's character set on POSIX ("UTF-8" ...).
  std::string ansiCodePageName;
  // "en-US"; on POSIX from LC_ALL / LC_MESSAGES / LANG, "" for C and POSIX.
  std::string userLocaleName;
  uint64_t totalMemoryMiB = 0, freeMemoryMiB = 0;
  uint32_t processorCount = 0;
  uint32_t batteryFlag = 128;  // 128 no battery, 255 unknown
  uint32_t batteryPercent = 0;
  bool acOnline = false;
  bool isAdmin = false;
  int uacVirtualization = 0;  // 0 no, 1 yes, -1 unknown
};
SystemFacts ReadSystemFacts();

// The running Windows version, asked part by part as VerifyVersionInfoA
// answers with an "equal" condition (the true version, where the reported one
// may be capped); the build number and service-pack text are the reported
// ones (GetVersionExA). Elsewhere RunsOnWindows is false and the queries
// answer false, 0 and "".
enum class WindowsVersionPart : uint32_t { kMajor, kMinor, kServicePack, kProductType };
bool RunsOnWindows();
bool WindowsVersionEquals(WindowsVersionPart part, uint32_t value);
uint32_t WindowsBuildNumber();
std::string WindowsServicePackText();

// Whether the process's standard output is a terminal (a console on
// Windows), so that a tool may draw progress in place.
bool StandardOutputIsTerminal();

// Name of the compiler that built the library ("GCC 12.2.0").
const char* CompilerDescription();

// Runs `function` when this library is unloaded or, when it never is, at
// process exit: an atexit handler that belongs to the library's own module,
// in the same order as atexit and the library's static destructors.
void AtModuleExit(void (*function)());

}  // namespace platform
