// Run-time loading of the library. This is a host program, not part of the
// library, so it calls the system's module loader directly.
#include "library.h"

#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace nvdevices {

namespace {

#if defined(_WIN32)
constexpr const char* kFileName = "NVDevices.dll";

void* OpenModule(const std::string& path, std::string& reason) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    char text[512] = {};
    const DWORD code = GetLastError();
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof(text), nullptr);
    reason = "error " + std::to_string(code) + ": " + text;
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
      reason.pop_back();
  }
  return reinterpret_cast<void*>(module);
}
void* FindSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void CloseModule(void* module) {
  FreeLibrary(static_cast<HMODULE>(module));
}
int DupDescriptor(int fd) {
  return _dup(fd);
}
void MoveDescriptor(int from, int to) {
  _dup2(from, to);
}
void CloseDescriptor(int fd) {
  _close(fd);
}
#else
constexpr const char* kFileName = "libNVDevices.so";

void* OpenModule(const std::string& path, std::string& reason) {
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* text = dlerror();
    reason = text != nullptr ? text : "cannot be loaded";
  }
  return module;
}
void* FindSymbol(void* module, const char* name) {
  return dlsym(module, name);
}
void CloseModule(void* module) {
  dlclose(module);
}
int DupDescriptor(int fd) {
  return dup(fd);
}
void MoveDescriptor(int from, int to) {
  dup2(from, to);
}
void CloseDescriptor(int fd) {
  close(fd);
}
#endif

template <typename Fn>
bool Resolve(void* module, const char* name, Fn& target, std::string& missing) {
  target = reinterpret_cast<Fn>(FindSymbol(module, name));
  if (target == nullptr) missing += missing.empty() ? name : std::string(", ") + name;
  return target != nullptr;
}

}  // namespace

bool Library::Load(const std::vector<std::string>& candidates, std::string& error) {
  error.clear();
  for (const std::string& candidate : candidates) {
    std::string reason;
    void* module = OpenModule(candidate, reason);
    if (module == nullptr) {
      error += "  " + candidate + ": " + reason + "\n";
      continue;
    }
    std::string missing;
    bool complete = Resolve(module, "GetDeviceList", getDeviceList, missing);
    complete &= Resolve(module, "GetDeviceSerial", getDeviceSerial, missing);
    complete &= Resolve(module, "GetDeviceMCUId", getDeviceMCUId, missing);
    complete &= Resolve(module, "GetDeviceDatabaseInfo", getDeviceDatabaseInfo, missing);
    if (!complete) {
      error += "  " + candidate + ": loaded, but it does not export " + missing + "\n";
      CloseModule(module);
      continue;
    }
    path_ = candidate;
    error.clear();
    return true;
  }
  if (candidates.empty()) error = "  no library path to try\n";
  return false;
}

StandardOutputToError::StandardOutputToError() {
  std::fflush(stdout);
  saved_ = DupDescriptor(1);
  if (saved_ >= 0) MoveDescriptor(2, 1);
}

StandardOutputToError::~StandardOutputToError() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  MoveDescriptor(saved_, 1);
  CloseDescriptor(saved_);
}

std::vector<std::string> LibraryCandidates(const std::string& commandLinePath) {
  // An explicit choice is the only candidate: falling back to another copy
  // would hide a typing error.
  if (!commandLinePath.empty()) return {commandLinePath};
  const char* fromEnvironment = std::getenv("NVDEVICES_LIBRARY");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return {fromEnvironment};
  std::vector<std::string> candidates;
#ifdef NVDEVICES_BUILT_LIBRARY
  candidates.push_back(NVDEVICES_BUILT_LIBRARY);
#endif
  candidates.push_back(kFileName);
  return candidates;
}

}  // namespace nvdevices
