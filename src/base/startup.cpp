// The library's start-up: the facts recorded at load, the process-wide hooks,
// the trace-option registrations and the run of the start-up list.
//
// Everything here runs during static initialisation, on the thread that loads
// the library (that thread is recorded as the main thread). The order is:
//   1. the device registry (the device layer's step function);
//   2. the foundation's objects (load-time facts, log state, message
//      catalogue) and the exit function that releases early containers;
//   3. the hooks and switches and the unhandled-exception handler;
//   4. the protocol's deferred entries (the protocol layer's step function
//      registers them with priority 100);
//   5. the virtual-item table (a step function) and the first five trace
//      options;
//   6. the remaining foundation globals, the transport's deferred entry
//      (a step function registers it with priority 100) and the last five
//      trace options;
//   7. the start-up list, sorted by priority, then the exit runner.
// Steps 1, 4, 5 and 6 belong to the layers above: they register their functions
// with RegisterStartupStep, and the deferred entries with
// RegisterStartupFunction. Every list is constructed on first use, so entries
// registered by other translation units survive whatever order the
// initialisers run in. Those registrations are made with
// NVD_STATIC_REGISTRATION, whose early initialisation priority puts them
// before this file's start-up object (default priority) on every system and
// for any link order; one registered later still is called at once.
//
// The start-up object may run before the default-priority initialisers of
// the other files (PE runs them in reverse link order), so what the steps
// reach must be built on first use or constant-initialised.
#include <cstdlib>
#include <exception>
#include <iterator>
#include <string>

#include "base/containers.h"
#include "base/files.h"
#include "base/log.h"
#include "base/messages.h"
#include "base/options.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/run_time_imports.h"
#include "platform/system.h"
#include "platform/thread.h"

// Referenced by the files that need the start-up, so that linking any of them
// links this one (and its initialisers) too.
extern const int g_FoundationStartupAnchor;
const int g_FoundationStartupAnchor = 0;

namespace {

// Diagnostic markers of the foundation's sections.
#define NVD_SECTION(number, name) "<SECTION>" #number ": " name "@" __FILE__
const char* g_CurrentSection = "";

// The terminate handler in place before the library installed its own, and
// the same when it is the host's (null when it is the C++ run-time's
// default, which would abort where the library ends the process with -1).
std::terminate_handler g_PreviousTerminate = nullptr;
std::terminate_handler g_HostTerminate = nullptr;

// The unhandled-exception handler: an exception that leaves every handler
// is logged with one line; a handler the host had installed takes over from
// there, else the process ends with exit code -1.
[[noreturn]] void UnhandledException();

// True for the handler the C++ run-time installs itself.
bool IsRuntimeDefaultTerminate(std::terminate_handler handler) {
#if defined(__GLIBCXX__)
  return handler == __gnu_cxx::__verbose_terminate_handler;
#else
  (void)handler;
  return false;
#endif
}

void InstallTerminateHandler() {
  const std::terminate_handler previous = std::set_terminate(UnhandledException);
  if (previous == UnhandledException) return;
  g_PreviousTerminate = previous;
  if (!IsRuntimeDefaultTerminate(previous)) g_HostTerminate = previous;
}

void RunLowExitPhase() {
  RunExitFunctions(false);
  // The last exit phase (it also runs when the library is unloaded): the
  // previous handler comes back, so that none points into an unloaded
  // library.
  if (g_PreviousTerminate != nullptr && std::get_terminate() == UnhandledException)
    std::set_terminate(g_PreviousTerminate);
}
void RunHighExitPhase() {
  RunExitFunctions(true);
}

// The facts about the process recorded once at load, in this order.
struct LoadFacts {
  uint32_t mainThreadId = 0;
  std::string startupDirectory;
  bool underWine = false;
  std::string userName;
  std::string programFolder;
  std::string hostProgramPath;
  std::string hostProgramFileName;
  uint32_t monitorWidth = 0, monitorHeight = 0;
  uint32_t gadget = 24, button = 16;

  LoadFacts() {
    mainThreadId = platform::CurrentThreadId();
    startupDirectory = platform::CurrentDirectory();
    // Windows switches off critical-error boxes while the environment is
    // probed; the platform's module loader does that where it applies.
    underWine = platform::RunningUnderWine();
    userName = platform::UserName();
    if (userName.size() > 128) userName.resize(128);
    // The program folder ("*SystemPath*" when set) with its final separator.
    // Pointing the DLL search at "*SystemPath*" is a Windows loader matter and
    // belongs to the platform's module loading.
    PStr folder = ProgramFolder();
    programFolder = folder.IsNull() ? "" : folder.c_str();
    if (!programFolder.empty() && !platform::IsPathSeparator(programFolder.back()))
      programFolder += platform::kPathSeparator;
    hostProgramPath = platform::HostExecutablePath();
    size_t slash = hostProgramPath.find_last_of("\\/");
    hostProgramFileName =
        slash == std::string::npos ? hostProgramPath : hostProgramPath.substr(slash + 1);

    const platform::SystemFacts facts = platform::ReadSystemFacts();
    monitorWidth = facts.monitorWidth;
    monitorHeight = facts.monitorHeight;
    if (monitorWidth == 0 || monitorHeight == 0) {
      monitorWidth = facts.screenWidth;
      monitorHeight = facts.screenHeight;
    }
    // A 64-bit library never runs on Windows 5.1 (XP x64 is 5.2), so the icon
    // width decides.
    ChooseGadgetSizes(false, monitorWidth, monitorHeight, facts.iconWidth, gadget, button);

    // The exit phase of priorities below 33 (the start-up runner registers
    // the other one later, so it runs first at exit).
    platform::AtModuleExit(RunLowExitPhase);
  }
};

LoadFacts& Facts() {
  static Immortal<LoadFacts> facts;
  return facts.Get();
}

void UnhandledException() {
  LogPrint("Exception...\n");
  // The host's handler must not return; should it do so, the process still
  // ends here.
  if (g_HostTerminate != nullptr) g_HostTerminate();
  platform::ExitProcess(-1);
}

void ReleaseEarlyContainersAtExit() {
  ReleaseEarlyContainers();
}

// The trace options. The help texts are "English|Russian", the Russian half
// converted once to Windows-1251; the last five have only the English half.
struct TraceOptionRow {
  const char* key;
  uint64_t mask;
  const char* english;
  const char* russian;  // UTF-8, null when there is no second half
};

// clang-format off
constexpr TraceOptionRow kFirstOptions[] = {
    {"ftu", kOptForceTargetUpload, "Force target upload (signature always mismatch)",
     "Всегда обновлять прошивку (имитировать несовпадение сигнатуры)"},
    {"ntu", kOptSkipTargetUpload, "Skip target upload (signature always match)",
     "Не обновлять прошивку (имитировать совпадение сигнатуры)"},
    {"klt", kOptNoKaltoCheck, "Do not check for Kalto presence", "Не проверять, запущен ли Kalto"},
    {"nfw", kOptNoFirmwareImage, "Do not use FW_IMAGE_xxx commands",
     "Не использовать команды FW_IMAGE_xxx"},
    {"fct", kOptFullCommandTrace, "Full command trace", "Полная трасса команд"},
};
constexpr TraceOptionRow kLastOptions[] = {
    {"dbg", kOptDebugOn, "Force Debug=1", nullptr},
    {"ndbg", kOptDebugOff, "Force Debug=0", nullptr},
    {"tsql", kOptTraceSql, "Trace all SQL requests", nullptr},
    {"tlog", kOptLogTimestamps, "Timestamps in log", nullptr},
    {"et", kOptEndlessUsbTimeout, "Endless USB timeout", nullptr},
};
// clang-format on

constexpr size_t kOptionCount = std::size(kFirstOptions) + std::size(kLastOptions);
TracerEx g_TraceOptions[kOptionCount];
std::string g_TraceOptionHelp[kOptionCount];

void RegisterTraceOption(size_t slot, const TraceOptionRow& row) {
  std::string& help = g_TraceOptionHelp[slot];
  help = row.english;
  if (row.russian != nullptr) {
    PStr second = To1251(row.russian);
    help += '|';
    if (!second.IsNull()) help += second.c_str();
  }
  RegisterTracerEx(&g_TraceOptions[slot], row.key, row.mask, help.c_str());
}

struct FoundationStartup {
  FoundationStartup() {
    g_CurrentSection = NVD_SECTION(1, "Main");
    // 1. The device registry (the device layer's step function).
    RunStartupStep(StartupStep::kDeviceRegistry);

    // 2. The foundation's objects.
    Facts();
    CatalogueText(0);  // builds the message catalogue
    RegisterExitFunction(ReleaseEarlyContainersAtExit, kExitPriorityEarlyContainers);

    // 3. Hooks, switches and the unhandled-exception handler.
    g_CurrentSection = NVD_SECTION(2, "Log");
    SetPrintHook(WriteLogEntry);
    SetLogWriteHook(WriteLogText);
    SetDeviceOutputHooks(DeviceErrorHook, DeviceInfoHook);
    InstallTerminateHandler();

    // 4. The protocol's deferred start-up entries.
    RunStartupStep(StartupStep::kProtocolEntries);

    // 5. The virtual-item table and the first five trace options.
    RunStartupStep(StartupStep::kVirtualItems);
    size_t slot = 0;
    for (const TraceOptionRow& row : kFirstOptions)
      RegisterTraceOption(slot++, row);

    // 6. The remaining foundation globals, the transport's deferred entry and
    //    the last five trace options.
    g_CurrentSection = NVD_SECTION(8, "wstr");
    g_CurrentSection = NVD_SECTION(6, "PTextFile");
    g_CurrentSection = NVD_SECTION(7, "PStopWatchMCS");
    RunStartupStep(StartupStep::kTransportEntries);
    for (const TraceOptionRow& row : kLastOptions)
      RegisterTraceOption(slot++, row);

    // 7. The deferred entries in priority order, then the exit runner.
    RunStartupFunctions();
    platform::AtModuleExit(RunHighExitPhase);
    g_CurrentSection = "";
  }
};

FoundationStartup g_FoundationStartup;

}  // namespace

uint32_t MainThreadId() {
  return Facts().mainThreadId;
}

bool IsMainThread() {
  const uint32_t main = Facts().mainThreadId;
  return main == 0 || main == platform::CurrentThreadId();
}

const char* StartupDirectory() {
  return Facts().startupDirectory.c_str();
}
const char* UserNameAtLoad() {
  return Facts().userName.c_str();
}
bool UnderWine() {
  return Facts().underWine;
}
const char* ProgramFolderAtLoad() {
  return Facts().programFolder.c_str();
}
uint32_t MonitorWidth() {
  return Facts().monitorWidth;
}
uint32_t MonitorHeight() {
  return Facts().monitorHeight;
}
uint32_t GadgetSize() {
  return Facts().gadget;
}
uint32_t ButtonSize() {
  return Facts().button;
}
const char* HostProgramPath() {
  return Facts().hostProgramPath.c_str();
}
const char* HostProgramFileName() {
  return Facts().hostProgramFileName.c_str();
}
const char* ModuleName() {
  return "NVDevices";
}
const char* CurrentStartupSection() {
  return g_CurrentSection;
}

void ChooseGadgetSizes(bool windowsXp, uint32_t screenWidth, uint32_t screenHeight,
                       uint32_t iconWidth, uint32_t& gadget, uint32_t& button) {
  gadget = 24;
  button = 16;
  if (windowsXp) {
    if (screenWidth >= 3840 && screenHeight >= 2160) {
      gadget = 48;
      button = 24;
    } else if (screenWidth >= 2560 && screenHeight >= 1440) {
      gadget = 32;
    }
  } else {
    if (iconWidth >= 64) {
      gadget = 48;
      button = 24;
    } else if (iconWidth >= 48) {
      gadget = 32;
    }
  }
}
