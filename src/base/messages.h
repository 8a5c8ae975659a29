// User messages, error texts and the facts about the process recorded at load.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "base/strings.h"

// The option-driven message routine (letters s m t r e i w y a n v # * + g,
// and f h u l d q 1 b p x c k o without effect). Returns the button pressed,
// 0 for "n"/"v", 1 after an unknown letter.
int Message(const char* options, ...);
int VMessage(const char* options, va_list args);

// Replaceable message hook: formats, adds MB_SETFOREGROUND, shows with the
// log title as caption.
using ShowMessageHookFn = int (*)(uint32_t style, const char* text);
ShowMessageHookFn SetShowMessageHook(ShowMessageHookFn hook);
int ShowMessage(uint32_t style, const char* format, ...);
// ShowMessage(MB_ICONHAND, "%s", formatted text).
int ErrorBox(const char* format, ...);

// Language selection of a two-language text: the first single "|" separates
// English from the second language, "||" stands for a literal bar, and
// "</NAME/>" markers are replaced from the substitution table (empty in this
// library, so markers vanish). A pointer value below 32768 is a message id
// (its ResourceText). The result lives in the calling thread's 64 KiB ring and
// stays valid until the ring wraps.
const char* SelectLanguage(const char* text);
// The second-language switch (off; nothing in the library turns it on).
bool SecondLanguageSelected();
void SelectSecondLanguage(bool on);
inline constexpr size_t kMessageRingSize = 0x10000;
inline constexpr uint32_t kMaxMessageId = 32768;  // ids are below this

// Resource text by id, language selected: raw resource, string resource,
// catalogue entry, or "". There are no resources on POSIX, so there it is the
// catalogue entry or "".
const char* ResourceText(uint32_t id);
// The catalogue's full two-language text of an id (second part in
// Windows-1251), null when the id is not in the catalogue.
const char* CatalogueText(uint32_t id);
// The message shown after an unknown option letter.
inline constexpr uint32_t kUnknownOptionMessageId = 5008;

PStr SystemErrorText(uint32_t code);
PStr LastErrorText();
PStr RuntimeErrorText();

PStr GetEnvironment(const char* name);
PStr ExpandEnvironment(const char* text);

// Load-time facts, recorded once by the library's static initialisation (the
// thread running it is the main thread).
uint32_t MainThreadId();         // 0 when not known
bool IsMainThread();             // true when no main thread is known or the caller is it
const char* StartupDirectory();  // the current directory at load
const char* UserNameAtLoad();
bool UnderWine();
// Program folder with a final separator ("*SystemPath*" when set).
const char* ProgramFolderAtLoad();
// Monitor size at load (the full-screen client size without monitor
// information; 0 without a display).
uint32_t MonitorWidth();
uint32_t MonitorHeight();
uint32_t GadgetSize();
uint32_t ButtonSize();
// Gadget and button sizes for a screen: defaults 24 and 16; on Windows 5.1 the
// screen size decides, elsewhere the icon width (system metric 11).
void ChooseGadgetSizes(bool windowsXp, uint32_t screenWidth, uint32_t screenHeight,
                       uint32_t iconWidth, uint32_t& gadget, uint32_t& button);
// Host program path and file name with extension.
const char* HostProgramPath();
const char* HostProgramFileName();
const char* ModuleName();  // "NVDevices"
// Diagnostic marker of the foundation section being initialised
// ("<SECTION>2: Log@<source>"), "" once start-up is over.
const char* CurrentStartupSection();

// The operating-system description of the log header.
const char* OSDescription();

// The Windows version naming, kept apart from the system queries so that it is
// the same code on every build. The probe answers "does the running system
// equal this value" as VerifyVersionInfoA does (the reported version may be
// capped, the verified one is not).
struct WindowsVersionProbe {
  enum Part { kMajor, kMinor, kServicePack };
  virtual ~WindowsVersionProbe() = default;
  virtual bool Equals(Part part, uint32_t value) const = 0;
  // 1 workstation, 2 domain controller, 3 server.
  virtual bool IsProductType(uint32_t productType) const = 0;
  virtual uint32_t BuildNumber() const = 0;
  virtual const char* ServicePackText() const = 0;
  virtual bool IsWow64() const = 0;
};
struct WindowsVersionInfo {
  uint32_t major = 0, minor = 0, servicePack = 0;
  uint32_t productType = 0;  // 1 workstation, 2 domain controller, 3 server, 0 unknown
  bool wow64 = false;
  bool atLeast62 = false;  // 6.2 (Windows 8) or later
};
// "Windows %s%s [ver. %u.%u.%u], build = %u, SP: '%s']".
PStr DescribeWindowsVersion(const WindowsVersionProbe& probe, WindowsVersionInfo* info = nullptr);

// A procedure looked up at run time (GetProcAddress / dlsym). The text is the
// procedure name. The look-up runs once; an absent module or procedure makes
// IsAvailable() false for good.
class RT_IMPORT_PROC : public Istr {
 public:
  RT_IMPORT_PROC(const char* procedure, const char* module, uint32_t argumentCount);
  RT_IMPORT_PROC(const RT_IMPORT_PROC&) = delete;
  RT_IMPORT_PROC& operator=(const RT_IMPORT_PROC&) = delete;
  const char* ClassName() const override { return "RT_IMPORT_PROC"; }

  bool IsAvailable();
  // The procedure address, null when unavailable.
  void* Address();
  const char* ModuleNameText() const { return module_.Text(); }
  uint32_t ArgumentCount() const { return argumentCount_; }

 private:
  void LookUp();
  Istr module_;
  uint32_t argumentCount_ = 0;
  // The look-up may run on two threads at once; it finds the same address on
  // both. (Not std::call_once: on Windows its thread-library state would stay
  // behind each time the library is unloaded.)
  std::atomic<bool> lookedUp_{false};
  std::atomic<void*> address_{nullptr};  // null: unavailable or not looked up
};

// The typed forms: RT_PROC<R, A...> calls with the given argument types;
// RT_PROC2<R, A1, A2> is the two-argument form.
template <typename R, typename... A>
class RT_PROC : public RT_IMPORT_PROC {
 public:
  RT_PROC(const char* procedure, const char* module)
      : RT_IMPORT_PROC(procedure, module, static_cast<uint32_t>(sizeof...(A))) {}
  // Calls the procedure; the caller checks IsAvailable() first (an
  // unavailable procedure returns R{}).
  R Call(A... arguments) {
    void* address = Address();
    if (address == nullptr) return R{};
    return reinterpret_cast<R (*)(A...)>(address)(arguments...);
  }
};
template <typename R, typename A1, typename A2>
using RT_PROC2 = RT_PROC<R, A1, A2>;
