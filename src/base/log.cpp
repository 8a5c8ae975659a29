// The library log: one process-wide text file written through the print hook,
// opened on the first entry, flushed after every entry and kept under 8 MiB by
// cutting it in place.
#include "base/log.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "base/containers.h"
#include "base/datetime.h"
#include "base/files.h"
#include "base/format.h"
#include "base/messages.h"
#include "base/numbers.h"
#include "base/options.h"
#include "base/per_thread.h"
#include "base/sync.h"
#include "platform/files.h"
#include "platform/run_time_imports.h"
#include "platform/system.h"
#include "platform/thread.h"

extern const int g_FoundationStartupAnchor;
[[maybe_unused]] static const int* const kStartupAnchor = &g_FoundationStartupAnchor;

const char* const kDefaultLogBaseName = "<module name>";
int g_TraceLevel = 0;

namespace {

const char* DefaultLogTitle() {
  return ModuleName();
}

// The hooks start with their installed values (constant initialisation), so
// a line logged by any static initialiser already reaches the log; the
// start-up installs them again in its order.
constinit std::atomic<PrintHookFn> g_PrintHook{WriteLogEntry};
constinit std::atomic<LogWriteHookFn> g_LogWriteHook{WriteLogText};
constinit std::atomic<LogTitleHookFn> g_LogTitleHook{DefaultLogTitle};
constinit std::atomic<DeviceTextHookFn> g_DeviceErrorHook{DeviceErrorHook};
constinit std::atomic<DeviceTextHookFn> g_DeviceInfoHook{DeviceInfoHook};
constinit std::atomic<bool> g_DebugOutput{true};
constinit std::atomic<bool> g_CutOff{true};

// A text buffer with its own lock. The log keeps one with a growth step of
// 4 MiB; entries are never buffered in it, every entry goes straight to the
// file.
class PLogBuffer : public lstr, public PSharedObject {
 public:
  explicit PLogBuffer(uint64_t delta) : lstr(delta) {}
};

// How often the real file length is read even when the tracked length is far
// from the limit (a file changed by someone else is noticed this way).
constexpr uint32_t kLengthCheckEntries = 256;

struct LogState {
  PSharedObject lock;
  PLogBuffer buffer{0x400000};
  // The base name: the sentinel (module name), a name, or null (no log).
  enum class BaseKind { kDefault, kNamed, kNone } baseKind = BaseKind::kDefault;
  std::string baseName;

  std::unique_ptr<PTextFile> file;
  std::atomic<FILE*> stream{nullptr};
  std::string path;
  std::string header;
  uint64_t totalCut = 0;
  uint32_t previousThreadId = 0;
  bool opening = false;  // OpenLog runs (a message shown meanwhile must not reopen)

  // Length tracking without a stat per entry: the length read from the file
  // at the last check plus the characters written since. A text-mode stream
  // may write more bytes than characters (CR LF), so the bytes written count
  // twice towards the bound; when the bound passes the limit the real length
  // is read.
  int64_t checkedLength = 0;
  int64_t writtenSinceCheck = 0;
  uint32_t entriesSinceCheck = 0;
};

// The state is built on first use and kept in Immortal storage: a line
// logged while the process shuts down still finds it. The file is closed
// when the library's last act destroys the state, at unload and at exit.
LogState& State() {
  static Immortal<LogState> state;
  return state.Get();
}

// Holds the log lock for a scope (the plain lock calls: this is on every
// entry's path).
class LogLock {
 public:
  explicit LogLock(PSharedObject& lock) : lock_(lock) { lock_.Lock(); }
  ~LogLock() { lock_.Unlock(); }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

 private:
  PSharedObject& lock_;
};

thread_local uint32_t t_ThreadId = 0;

uint32_t CachedThreadId() {
  if (t_ThreadId == 0) t_ThreadId = platform::CurrentThreadId();
  return t_ThreadId;
}

void ResetLengthTracking(LogState& state, int64_t length) {
  state.checkedLength = length < 0 ? 0 : length;
  state.writtenSinceCheck = 0;
  state.entriesSinceCheck = 0;
}

// Cuts the file to the header, the cut-off line and the newest 4 MiB of the
// old content. `length` is the real file length. False when the file could
// not be mapped (the cut is skipped).
bool CutOff(LogState& state, FILE* stream, int64_t length) {
  const uint64_t cut = static_cast<uint64_t>(length - kLogKeptBytes);
  const uint64_t total = state.totalCut + cut;
  PStr grouped = GroupThousands(static_cast<uint32_t>(total));
  PStr header = FormatStr("%s[Cut off: %s bytes]\n\n", state.header.c_str(),
                          grouped.IsNull() ? "" : grouped.c_str());
  const uint64_t headerLength = header.Length();
  // The view covers the old file, and the new one should the header be longer
  // than the cut part.
  uint64_t viewLength = static_cast<uint64_t>(length);
  if (headerLength + kLogKeptBytes > viewLength) viewLength = headerLength + kLogKeptBytes;
  {
    platform::FileView view(stream, viewLength, viewLength);
    if (!view.IsValid()) return false;
    char* data = view.Data();
    // The newest bytes first (the regions may overlap), then the header over
    // the start of the file.
    std::memmove(data + headerLength, data + (length - kLogKeptBytes),
                 static_cast<size_t>(kLogKeptBytes));
    std::memcpy(data, header.c_str(), static_cast<size_t>(headerLength));
  }
  const uint64_t newLength = headerLength + static_cast<uint64_t>(kLogKeptBytes);
  platform::ResizeStream(stream, newLength);
  state.totalCut = total;
  ResetLengthTracking(state, platform::StreamLength(stream));
  return true;
}

// The real length is needed when the tracked bound could pass the limit, and
// every few hundred entries anyway.
void CheckLength(LogState& state, FILE* stream) {
  const bool nearLimit = state.checkedLength + 2 * state.writtenSinceCheck > kLogCutOffLimit;
  if (!nearLimit && state.entriesSinceCheck < kLengthCheckEntries) return;
  const int64_t length = platform::StreamLength(stream);
  ResetLengthTracking(state, length);
  // The length is taken as the signed 32-bit value Windows reports.
  if (length > kLogCutOffLimit && length <= INT32_MAX) CutOff(state, stream, length);
}

std::string PatchesText() {
  PStr path = ProgramFile("Patches.ini");
  if (path.IsEmpty()) return std::string();
  PTextFileContainer lines(path.c_str());
  if (lines.Count() == 0) return std::string();
  std::string text = "----- Installed patches -----\n";
  for (uint32_t i = 0; i < lines.Count(); ++i) {
    const Istr* line = lines.At(i);
    if (line == nullptr || line->Text() == nullptr) continue;
    PTokens fields(line->Text(), "\t");
    if (fields.Count() < 2) continue;
    text += FormatStr("\"%s\", %s\n", fields[0], fields[1]).c_str();
  }
  return text;
}

const char* YesNo(bool value) {
  return value ? "Yes" : "No";
}

}  // namespace

// ---------------------------------------------------------------------------
// Entry points

void LogPrint(const char* format, ...) {
  PrintHookFn hook = g_PrintHook.load(std::memory_order_relaxed);
  if (hook == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  hook(format, args);
  va_end(args);
}

void LogDebugPrint(const char* format, ...) {
  if (!g_DebugOutput.load(std::memory_order_relaxed)) return;
  PrintHookFn hook = g_PrintHook.load(std::memory_order_relaxed);
  if (hook == nullptr || format == nullptr) return;
  va_list args;
  va_start(args, format);
  hook(format, args);
  va_end(args);
}

PrintHookFn SetPrintHook(PrintHookFn hook) {
  return g_PrintHook.exchange(hook);
}
LogWriteHookFn SetLogWriteHook(LogWriteHookFn hook) {
  return g_LogWriteHook.exchange(hook);
}
LogTitleHookFn SetLogTitleHook(LogTitleHookFn hook) {
  return g_LogTitleHook.exchange(hook != nullptr ? hook : DefaultLogTitle);
}
bool DebugOutputEnabled() {
  return g_DebugOutput.load(std::memory_order_relaxed);
}

const char* LogTitle() {
  LogTitleHookFn hook = g_LogTitleHook.load();
  const char* title = hook != nullptr ? hook() : nullptr;
  return title != nullptr ? title : "";
}

void WriteLogEntry(const char* format, va_list args) {
  if (format == nullptr || format[0] == '\f') return;
  LogState& state = State();
  if (state.stream.load(std::memory_order_acquire) == nullptr) OpenLog();
  LogLock locker(state.lock);
  FILE* stream = state.stream.load(std::memory_order_relaxed);
  if (stream == nullptr) return;
  LogWriteHookFn write = g_LogWriteHook.load(std::memory_order_relaxed);
  if (write == nullptr) return;

  // A change of writer is marked, except a change away from the main thread.
  const uint32_t current = CachedThreadId();
  const uint32_t previous = state.previousThreadId;
  if (previous != 0 && previous != current) {
    const uint32_t mainThread = MainThreadId();
    if (mainThread == 0 || previous != mainThread) {
      va_list none{};
      write(stream, "*\n", none);
    }
  }
  state.previousThreadId = current;
  write(stream, format, args);
}

void WriteLogText(FILE* stream, const char* format, va_list args) {
  if (stream == nullptr || format == nullptr) return;
  LogState& state = State();
  LogLock locker(state.lock);
  const bool ownStream = stream == state.stream.load(std::memory_order_relaxed);
  if (ownStream) {
    ++state.entriesSinceCheck;
    if (g_CutOff.load(std::memory_order_relaxed)) CheckLength(state, stream);
  }
  const int written = VPrintToStream(stream, format, args);
  std::fflush(stream);
  if (ownStream && written > 0) state.writtenSinceCheck += written;
}

void OpenLog() {
  LogState& state = State();
  if (state.stream.load(std::memory_order_acquire) != nullptr) return;
  LogLock locker(state.lock);
  if (state.stream.load(std::memory_order_relaxed) != nullptr || state.opening) return;
  state.opening = true;
  struct OpeningGuard {
    bool& flag;
    ~OpeningGuard() { flag = false; }
  } guard{state.opening};

  const char* startupDirectory = StartupDirectory();
  if (startupDirectory == nullptr || *startupDirectory == 0) return;
  if (state.baseKind == LogState::BaseKind::kNone) return;
  const std::string baseName =
      state.baseKind == LogState::BaseKind::kDefault ? ModuleName() : state.baseName;

  PFilePath path(baseName.c_str());
  if (*path.Drive() == 0 && *path.Dir() == 0) {
    path.Join(startupDirectory, baseName.c_str());
    path.SetExtension("log");
  }
  PStr directory = path.Directory();
  if (!directory.IsEmpty()) CreateDirectories(directory.c_str());
  const std::string firstName = path.Name();

  std::unique_ptr<PTextFile> file;
  for (uint32_t attempt = 1; attempt <= 999; ++attempt) {
    PFilePath backup(path);
    PStr backupName = FormatStr("$%s", path.Name());
    backup.SetName(backupName.c_str());
    bool movedAway = true;
    if (path.Exists()) movedAway = MoveFile(path.Path(), backup.Path(), true);
    if (movedAway) {
      file = std::make_unique<PTextFile>(
          path.Path(), PTextFile::kWrite | PTextFile::kUpdate | PTextFile::kQuiet);
      if (file->IsOpen()) break;
      file.reset();
    }
    PStr numbered = FormatStr("%s-%04u", firstName.c_str(), attempt);
    path.SetName(numbered.c_str());
  }
  if (!file) return;

  state.path = path.Path();
  state.file = std::move(file);
  state.totalCut = 0;
  state.previousThreadId = 0;
  ResetLengthTracking(state, 0);
  FILE* stream = state.file->Stream();

  PTimeStamp now;
  state.header =
      FormatStr("%s %s    %s\n\n", LogTitle(), "Log File", now.LocalText(kDtDefault)).c_str();
  state.header += BuildSystemInfoBlock();
  state.stream.store(stream, std::memory_order_release);
  LogPrint("%s", state.header.c_str());
}

const char* BuildSystemInfoBlock() {
  static Immortal<PerThread<std::string>> blocks;
  std::string& block = blocks.Get().Get();
  const platform::SystemFacts facts = platform::ReadSystemFacts();
  const char* module = ModuleName();
  const char* version = "1.00";
  // The application name is empty in this library, so the module name
  // stands in for it.
  const char* application = module;

  PStr hostDate = PStr("");
  const char* hostPath = HostProgramPath();
  if (hostPath != nullptr && *hostPath != 0) {
    PTimeStamp written = PTimeStamp::FromFile(hostPath);
    hostDate = written.LocalText(kDtDefault);
  }

  std::string wineLine = UnderWine() ? "*** Working under Wine ***\n" : "";
  std::string virtualMachineLine;  // no virtual-machine name is known

  std::string localeName = facts.userLocaleName;
  platform::UserDefaultLocaleName(localeName);

  PStr totalMemory = GroupThousands(static_cast<uint32_t>(facts.totalMemoryMiB));
  PStr freeMemory = GroupThousands(static_cast<uint32_t>(facts.freeMemoryMiB));

  std::string battery = "No";
  if (facts.batteryFlag != 128 && facts.batteryFlag != 255)
    battery =
        FormatStr("Yes, %u%%, AC: %s", facts.batteryPercent, facts.acOnline ? "On" : "Off").c_str();
  const char* uac = facts.uacVirtualization < 0 ? "Unknown" : YesNo(facts.uacVirtualization > 0);

  std::string sqliteLine;
  const std::string sqlitePath = platform::LoadedModulePath("sqlite3");
  if (!sqlitePath.empty())
    sqliteLine = FormatStr("sqlite3.dll:            \"%s\"\n", sqlitePath.c_str()).c_str();

  std::string arguments;  // nothing fills the library's argument list
  const std::string patches = PatchesText();
  const uint32_t processId = platform::CurrentProcessId();
  const uint32_t mainThread = MainThreadId();

  PStr text = FormatStr(
      "%12s build:     %s\n"
      "%12s version:   %s\n"
      "%16s date:  %s\n"
      "Platform:               x64\n"
      "Compiled:               %s\n"
      "Debug:                  0\n"
      "\n"
      "OS:                     %s\n"
      "%s%sScreen:                 %ux%u (%ux%u), DPI: %d\n"
      "Gadget/Button:          %u/%u\n"
      "System Language Id:     0x%04X\n"
      "User Language Id:       0x%04X\n"
      "System Default CP:      %s\n"
      "User locale:            %s\n"
      "RAM Total/Free:         %s%c%s MB\n"
      "Number of processors:   %u\n"
      "Battery:                %s\n"
      "User:                   %s\n"
      "IsUserAnAdmin:          %s\n"
      "UAC virtualization:     %s\n"
      "Process Id:             %u = %X\n"
      "Main thread Id:         %u = %X\n"
      "%sStartup dir:            \"%s\"\n"
      "Command line:           \"%s\"\n"
      "%s\n"
      "%s\n"
      "\n",
      module, version, application, version, HostProgramFileName(),
      hostDate.IsNull() ? "" : hostDate.c_str(), platform::CompilerDescription(), OSDescription(),
      wineLine.c_str(), virtualMachineLine.c_str(), facts.screenWidth, facts.screenHeight,
      MonitorWidth(), MonitorHeight(), facts.dpi, GadgetSize(), ButtonSize(),
      facts.systemLanguageId, facts.userLanguageId, facts.ansiCodePageName.c_str(),
      localeName.c_str(), totalMemory.IsNull() ? "" : totalMemory.c_str(), '/',
      freeMemory.IsNull() ? "" : freeMemory.c_str(), facts.processorCount, battery.c_str(),
      UserNameAtLoad(), YesNo(facts.isAdmin), uac, processId, processId, mainThread, mainThread,
      sqliteLine.c_str(), StartupDirectory(), platform::CommandLine().c_str(), arguments.c_str(),
      patches.c_str());
  block = text.IsNull() ? "" : text.c_str();
  return block.c_str();
}

// ---------------------------------------------------------------------------
// Device-layer hooks

void DeviceErrorHook(const char* text) {
  LogPrint("Error: %s\n", text != nullptr ? text : "");
}
void DeviceInfoHook(const char* text) {
  LogPrint("%s", text != nullptr ? text : "");
}

void SetDeviceOutputHooks(DeviceTextHookFn errorHook, DeviceTextHookFn infoHook) {
  g_DeviceErrorHook.store(errorHook);
  g_DeviceInfoHook.store(infoHook);
}

void DeviceErrorOutput(const char* text) {
  DeviceTextHookFn hook = g_DeviceErrorHook.load();
  if (hook != nullptr) hook(text);
}

void DeviceInfoOutput(const char* text) {
  DeviceTextHookFn hook = g_DeviceInfoHook.load();
  if (hook != nullptr) hook(text);
}

// ---------------------------------------------------------------------------
// Settings

void SetLogBaseName(const char* name) {
  LogState& state = State();
  LogLock locker(state.lock);
  if (name == nullptr) {
    state.baseKind = LogState::BaseKind::kNone;
    state.baseName.clear();
  } else if (name == kDefaultLogBaseName) {
    state.baseKind = LogState::BaseKind::kDefault;
    state.baseName.clear();
  } else {
    state.baseKind = LogState::BaseKind::kNamed;
    state.baseName = name;
  }
}

const char* LogPath() {
  LogState& state = State();
  LogLock locker(state.lock);
  return state.stream.load() != nullptr ? state.path.c_str() : "";
}

void SetLogCutOff(bool on) {
  g_CutOff.store(on);
}

uint64_t LogTotalCut() {
  LogState& state = State();
  LogLock locker(state.lock);
  return state.totalCut;
}

void CloseLog() {
  LogState& state = State();
  LogLock locker(state.lock);
  state.stream.store(nullptr);
  if (state.file) state.file->Close();
  state.file.reset();
  state.path.clear();
  state.header.clear();
  state.totalCut = 0;
  state.previousThreadId = 0;
  ResetLengthTracking(state, 0);
}
