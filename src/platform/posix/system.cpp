// Process and machine facts, environment and run-time loading on Linux.
#include "platform/system.h"

#include <dirent.h>
#include <dlfcn.h>
#include <langinfo.h>
#include <link.h>
#include <locale.h>
#include <pwd.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/errors.h"

// The C++ run-time's module-scoped exit registration and this module's handle.
extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* module);
extern "C" void* __dso_handle;

namespace platform {

namespace {

std::string ReadTextFile(const char* path, size_t limit = 1 << 20) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return {};
  std::string text;
  char buffer[4096];
  size_t got = 0;
  while (text.size() < limit && (got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    text.append(buffer, got);
  }
  std::fclose(file);
  return text;
}

std::string Trim(std::string text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.pop_back();
  size_t start = 0;
  while (start < text.size() && std::isspace(static_cast<unsigned char>(text[start])))
    ++start;
  return text.substr(start);
}

// The value of KEY=value (quotes removed) in a shell-style settings file.
std::string SettingOf(const std::string& text, const char* key) {
  const std::string prefix = std::string(key) + "=";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = Trim(text.substr(pos, end - pos));
    if (line.compare(0, prefix.size(), prefix) == 0) {
      std::string value = line.substr(prefix.size());
      if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
          value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
      }
      return value;
    }
    pos = end + 1;
  }
  return {};
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Whether a module file name answers to a wanted name: the same name, or the
// name followed by a version or extension ("libz.so.1" for "libz.so" or
// "libz"), with or without the "lib" prefix; case is ignored as on Windows.
bool ModuleNameMatches(std::string_view fileName, std::string_view wanted) {
  if (wanted.empty()) return false;
  auto matchesFrom = [&](std::string_view name) {
    if (name.size() < wanted.size()) return false;
    if (!EqualNoCase(name.substr(0, wanted.size()), wanted)) return false;
    return name.size() == wanted.size() || name[wanted.size()] == '.';
  };
  if (matchesFrom(fileName)) return true;
  return fileName.size() > 3 && fileName.compare(0, 3, "lib") == 0 &&
         matchesFrom(fileName.substr(3));
}

// The locale name the environment selects for a category, as setlocale would
// read it.
std::string EnvironmentLocale(const char* category) {
  for (const char* name : {"LC_ALL", category, "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

// "en_US.UTF-8@euro" -> language "en", territory "US"; empty for C/POSIX.
bool SplitLocale(const std::string& locale, std::string& language, std::string& territory) {
  language.clear();
  territory.clear();
  if (locale.empty() || locale == "C" || locale == "POSIX" || locale.compare(0, 2, "C.") == 0) {
    return false;
  }
  const size_t end = locale.find_first_of(".@");
  const std::string base = locale.substr(0, end);
  const size_t underscore = base.find('_');
  language = base.substr(0, underscore);
  if (underscore != std::string::npos) territory = base.substr(underscore + 1);
  for (char c : language) {
    if (!std::islower(static_cast<unsigned char>(c))) return false;
  }
  return !language.empty();
}

struct LanguageIdEntry {
  const char* locale;
  uint32_t id;
};

// Windows language ids of common locales; a language alone gives its main
// territory's id.
constexpr LanguageIdEntry kLanguageIds[] = {
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_CA", 0x1009}, {"en_AU", 0x0C09}, {"en", 0x0409},
    {"ru_RU", 0x0419}, {"ru_UA", 0x0819}, {"ru", 0x0419},    {"uk_UA", 0x0422}, {"uk", 0x0422},
    {"be_BY", 0x0423}, {"be", 0x0423},    {"kk_KZ", 0x043F}, {"kk", 0x043F},    {"de_DE", 0x0407},
    {"de_AT", 0x0C07}, {"de_CH", 0x0807}, {"de", 0x0407},    {"fr_FR", 0x040C}, {"fr_CA", 0x0C0C},
    {"fr", 0x040C},    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es", 0x0C0A},    {"it_IT", 0x0410},
    {"it", 0x0410},    {"pl_PL", 0x0415}, {"pl", 0x0415},    {"pt_BR", 0x0416}, {"pt_PT", 0x0816},
    {"pt", 0x0816},    {"nl_NL", 0x0413}, {"nl", 0x0413},    {"cs_CZ", 0x0405}, {"cs", 0x0405},
    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh", 0x0804},    {"ja_JP", 0x0411}, {"ja", 0x0411},
    {"ko_KR", 0x0412}, {"ko", 0x0412},    {"tr_TR", 0x041F}, {"tr", 0x041F},
};

uint32_t LanguageIdOf(const std::string& locale) {
  std::string language, territory;
  if (!SplitLocale(locale, language, territory)) return 0;
  const std::string full = language + "_" + territory;
  for (const auto& entry : kLanguageIds) {
    if (full == entry.locale) return entry.id;
  }
  for (const auto& entry : kLanguageIds) {
    if (language == entry.locale) return entry.id;
  }
  return 0;
}

std::string SystemLocale() {
  for (const char* file : {"/etc/locale.conf", "/etc/default/locale"}) {
    const std::string text = ReadTextFile(file);
    for (const char* key : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
      std::string value = SettingOf(text, key);
      if (!value.empty()) return value;
    }
  }
  return {};
}

std::string LocaleCodeset() {
  locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
  if (locale == static_cast<locale_t>(nullptr)) return nl_langinfo(CODESET);
  std::string codeset = nl_langinfo_l(CODESET, locale);
  freelocale(locale);
  return codeset;
}

uint64_t MeminfoKiB(const std::string& text, const char* key) {
  const size_t pos = text.find(key);
  if (pos == std::string::npos) return 0;
  return std::strtoull(text.c_str() + pos + std::strlen(key), nullptr, 10);
}

// Battery and mains state from /sys/class/power_supply, in the flags of
// Windows' SYSTEM_POWER_STATUS: 1 high, 2 low, 4 critical, 8 charging, 128 no
// battery.
void ReadBattery(SystemFacts& facts) {
  const std::string root = "/sys/class/power_supply/";
  DIR* dir = opendir(root.c_str());
  facts.batteryFlag = 128;
  facts.batteryPercent = 0;
  facts.acOnline = false;
  if (dir == nullptr) return;
  bool haveBattery = false;
  bool charging = false;
  uint32_t percent = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    const std::string folder = root + entry->d_name + "/";
    const std::string type = Trim(ReadTextFile((folder + "type").c_str(), 64));
    if (type == "Battery") {
      const std::string present = Trim(ReadTextFile((folder + "present").c_str(), 16));
      if (present == "0") continue;
      const std::string capacity = Trim(ReadTextFile((folder + "capacity").c_str(), 16));
      if (capacity.empty() || haveBattery) continue;
      haveBattery = true;
      const unsigned long value = std::strtoul(capacity.c_str(), nullptr, 10);
      percent = value > 100 ? 100u : static_cast<uint32_t>(value);
      charging = Trim(ReadTextFile((folder + "status").c_str(), 64)) == "Charging";
    } else if (type == "Mains") {
      if (Trim(ReadTextFile((folder + "online").c_str(), 16)) == "1") facts.acOnline = true;
    }
  }
  closedir(dir);
  if (!haveBattery) return;
  uint32_t flag = 0;
  if (percent > 66) flag |= 1;
  if (percent < 33) flag |= 2;
  if (percent < 5) flag |= 4;
  if (charging) flag |= 8;
  facts.batteryFlag = flag;
  facts.batteryPercent = percent;
}

}  // namespace

std::string GetEnvironment(const char* name) {
  if (name == nullptr) return {};
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

bool HasEnvironment(const char* name) {
  return name != nullptr && std::getenv(name) != nullptr;
}

void SetEnvironment(const char* name, const char* value) {
  if (name == nullptr || *name == '\0' || std::strchr(name, '=') != nullptr) return;
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

std::string ExpandEnvironment(const char* text) {
  std::string result;
  if (text == nullptr) return result;
  const std::string_view input(text);
  size_t pos = 0;
  while (pos < input.size()) {
    const size_t open = input.find('%', pos);
    if (open == std::string_view::npos) {
      result.append(input.substr(pos));
      break;
    }
    result.append(input.substr(pos, open - pos));
    const size_t close = input.find('%', open + 1);
    if (close == std::string_view::npos) {
      result.append(input.substr(open));  // a lone '%' stays
      break;
    }
    const std::string name(input.substr(open + 1, close - open - 1));
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      result.append(value);
      pos = close + 1;
    } else {
      // Unknown: keep "%NAME" and let the closing '%' open the next reference,
      // as ExpandEnvironmentStrings does.
      result.append(input.substr(open, close - open));
      pos = close;
    }
  }
  return result;
}

std::string HostExecutablePath() {
  std::vector<char> buffer(4096);
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) return {};
    if (static_cast<size_t>(length) < buffer.size()) {
      return std::string(buffer.data(), static_cast<size_t>(length));
    }
    if (buffer.size() > (1u << 16)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

std::string LibraryModulePath() {
  // The loaded object whose segments hold this function: the shared library
  // when built into one, the executable when linked statically into it.
  struct Search {
    uintptr_t address;
    std::string path;
    bool found;
  } search{reinterpret_cast<uintptr_t>(&LibraryModulePath), {}, false};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& segment = info->dlpi_phdr[i];
          if (segment.p_type != PT_LOAD) continue;
          const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
          if (s->address >= start && s->address < start + segment.p_memsz) {
            s->path = info->dlpi_name != nullptr ? info->dlpi_name : "";
            s->found = true;
            return 1;
          }
        }
        return 0;
      },
      &search);
  if (!search.found || search.path.empty()) return HostExecutablePath();
  char resolved[PATH_MAX];
  if (realpath(search.path.c_str(), resolved) != nullptr) return resolved;
  return search.path;
}

std::string CommandLine() {
  const std::string raw = ReadTextFile("/proc/self/cmdline");
  std::string line;
  size_t pos = 0;
  while (pos < raw.size()) {
    size_t end = raw.find('\0', pos);
    if (end == std::string::npos) end = raw.size();
    if (!line.empty()) line += ' ';
    line.append(raw, pos, end - pos);
    pos = end + 1;
  }
  return line;
}

std::string UserName() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  std::string name;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && found->pw_name != nullptr) {
    name = found->pw_name;
  } else {
    name = GetEnvironment("USER");
  }
  if (name.size() > 128) name.resize(128);
  return name;
}

void* LoadModule(const char* name) {
  void* module = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr && name != nullptr && std::strchr(name, '/') == nullptr &&
      std::strstr(name, ".so") == nullptr) {
    // A Windows-style bare name: try the usual shared-object spellings.
    const std::string plain = std::string(name) + ".so";
    const std::string withLib = "lib" + plain;
    module = dlopen(withLib.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) module = dlopen(plain.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (module == nullptr) SetLastError(kErrorModNotFound);
  return module;
}

void* FindProcedure(void* module, const char* name) {
  if (module == nullptr || name == nullptr) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  void* procedure = dlsym(module, name);
  if (procedure == nullptr) SetLastError(kErrorProcNotFound);
  return procedure;
}

std::string LoadedModulePath(const char* name) {
  struct Search {
    std::string_view wanted;
    std::string path;
  } search{name != nullptr ? name : "", {}};
  if (search.wanted.empty()) return {};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) -> int {
        auto* s = static_cast<Search*>(data);
        if (info->dlpi_name == nullptr || *info->dlpi_name == '\0') return 0;
        if (ModuleNameMatches(BaseName(info->dlpi_name), s->wanted)) {
          s->path = info->dlpi_name;
          return 1;
        }
        return 0;
      },
      &search);
  return search.path;
}

SystemFacts ReadSystemFacts() {
  SystemFacts facts;

  // "Linux <distribution> [ver. <kernel major.minor.patch>], build = 0,
  // SP: '<kernel release>']": the Windows line's shape with Linux facts.
  std::string distribution = SettingOf(ReadTextFile("/etc/os-release"), "PRETTY_NAME");
  if (distribution.empty()) distribution = "Unknown";
  utsname names{};
  unsigned major = 0, minor = 0, patch = 0;
  std::string release;
  if (uname(&names) == 0) {
    release = names.release;
    std::sscanf(names.release, "%u.%u.%u", &major, &minor, &patch);
  }
  char line[512];
  std::snprintf(line, sizeof line, "Linux %s [ver. %u.%u.%u], build = %u, SP: '%s']",
                distribution.c_str(), major, minor, patch, 0u, release.c_str());
  facts.osDescription = line;

  facts.systemLanguageId = LanguageIdOf(SystemLocale());
  const std::string userLocale = EnvironmentLocale("LC_MESSAGES");
  facts.userLanguageId = LanguageIdOf(userLocale);
  std::string language, territory;
  if (SplitLocale(userLocale, language, territory)) {
    facts.userLocaleName = territory.empty() ? language : language + "-" + territory;
  }
  facts.ansiCodePageName = LocaleCodeset();

  struct sysinfo info {};
  if (sysinfo(&info) == 0) {
    const uint64_t unit = info.mem_unit != 0 ? info.mem_unit : 1;
    facts.totalMemoryMiB = static_cast<uint64_t>(info.totalram) * unit >> 20;
    facts.freeMemoryMiB = static_cast<uint64_t>(info.freeram) * unit >> 20;
  }
  const std::string meminfo = ReadTextFile("/proc/meminfo");
  if (const uint64_t available = MeminfoKiB(meminfo, "MemAvailable:"); available != 0) {
    facts.freeMemoryMiB = available >> 10;
  }
  const long processors = sysconf(_SC_NPROCESSORS_ONLN);
  facts.processorCount = processors > 0 ? static_cast<uint32_t>(processors) : 1;

  ReadBattery(facts);
  facts.isAdmin = geteuid() == 0;
  facts.uacVirtualization = 0;
  return facts;
}

// Not Windows: the version queries have nothing to answer.
bool RunsOnWindows() {
  return false;
}
bool WindowsVersionEquals(WindowsVersionPart, uint32_t) {
  return false;
}
uint32_t WindowsBuildNumber() {
  return 0;
}
std::string WindowsServicePackText() {
  return "";
}

namespace {

void CallExitFunction(void* function) {
  reinterpret_cast<void (*)()>(function)();
}

}  // namespace

bool StandardOutputIsTerminal() {
  return isatty(STDOUT_FILENO) == 1;
}

// The C library's atexit does the same for a shared object, but a sanitizer
// that intercepts atexit registers the handler with no module, so dlclose
// would leave it to be called into the unloaded library at exit. Naming the
// module here keeps the handler with it under every run-time.
void AtModuleExit(void (*function)()) {
  __cxa_atexit(CallExitFunction, reinterpret_cast<void*>(function), &__dso_handle);
}

}  // namespace platform
