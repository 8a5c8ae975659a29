// Device enumeration on POSIX: the entries of the driver stand-in's device
// root (docs/driver-stand-in.md). A class is the folder named after its GUID;
// a present interface is a socket <name>.sock with a readable <name>.props
// beside it. Opening a set takes a snapshot of the entries and their
// properties, in ascending byte order of the names.
#include "platform/enumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/errors.h"
#include "platform/system.h"

namespace platform {

namespace {

constexpr const char* kDefaultDeviceRoot = "/tmp/nvdevices";
constexpr size_t kMaxEntryName = 48;
constexpr const char* kSocketSuffix = ".sock";
constexpr const char* kPropertiesSuffix = ".props";
// Properties files are a few short lines; more than this is not read.
constexpr size_t kMaxPropertiesBytes = 0x10000;

bool IsEntryName(const std::string& name) {
  if (name.empty() || name.size() > kMaxEntryName || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

// Reads a whole (small) file; false when it cannot be opened or read.
bool ReadSmallFile(const std::string& path, std::string& text) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  text.clear();
  char buffer[4096];
  while (ok && text.size() < kMaxPropertiesBytes) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      ok = false;
    } else if (got == 0) {
      break;
    } else {
      text.append(buffer, static_cast<size_t>(got));
    }
  }
  ::close(fd);
  if (text.size() > kMaxPropertiesBytes) text.resize(kMaxPropertiesBytes);
  return ok;
}

struct Properties {
  std::optional<std::string> service;
  std::optional<std::string> location;
  std::optional<std::string> description;
};

// Lines "key=value"; a CR before the LF is dropped, the first occurrence of a
// key counts, lines without "=" and unknown keys are ignored.
Properties ParseProperties(const std::string& text) {
  Properties properties;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    size_t lineEnd = end;
    if (end != text.size() && lineEnd > start && text[lineEnd - 1] == '\r') --lineEnd;
    const size_t equals = text.find('=', start);
    if (equals != std::string::npos && equals < lineEnd) {
      const std::string key = text.substr(start, equals - start);
      std::string value = text.substr(equals + 1, lineEnd - equals - 1);
      std::optional<std::string>* slot = nullptr;
      if (key == "service")
        slot = &properties.service;
      else if (key == "location")
        slot = &properties.location;
      else if (key == "description")
        slot = &properties.description;
      if (slot != nullptr && !slot->has_value()) *slot = std::move(value);
    }
    start = next;
  }
  return properties;
}

char HexDigit(unsigned value) {
  return "0123456789ABCDEF"[value & 15];
}

void AppendHex(std::string& text, uint64_t value, int digits) {
  for (int i = digits - 1; i >= 0; --i)
    text += HexDigit(static_cast<unsigned>(value >> (i * 4)));
}

}  // namespace

bool operator==(const Guid& a, const Guid& b) {
  return a.data1 == b.data1 && a.data2 == b.data2 && a.data3 == b.data3 &&
         std::memcmp(a.data4, b.data4, sizeof a.data4) == 0;
}

std::string GuidRegistryText(const Guid& guid) {
  std::string text = "{";
  AppendHex(text, guid.data1, 8);
  text += '-';
  AppendHex(text, guid.data2, 4);
  text += '-';
  AppendHex(text, guid.data3, 4);
  text += '-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += '-';
    AppendHex(text, guid.data4[i], 2);
  }
  text += '}';
  return text;
}

std::string DeviceRoot() {
  std::string root = GetEnvironment("NVDEVICES_DEVICE_ROOT");
  return root.empty() ? std::string(kDefaultDeviceRoot) : root;
}

struct DeviceInfoSet::Impl {
  struct Entry {
    std::string name;
    std::string path;
    Properties properties;
  };
  Guid interfaceClass;
  std::vector<Entry> entries;

  const Entry* EntryOf(uintptr_t reserved) const {
    return reserved >= 1 && reserved <= entries.size() ? &entries[reserved - 1] : nullptr;
  }
};

DeviceInfoSet::DeviceInfoSet() : impl_(std::make_unique<Impl>()) {}
DeviceInfoSet::~DeviceInfoSet() = default;

std::unique_ptr<DeviceInfoSet> DeviceInfoSet::Open(const Guid& interfaceClass) {
  auto set = std::make_unique<DeviceInfoSet>();
  set->impl_->interfaceClass = interfaceClass;
  const std::string folder = DeviceRoot() + "/" + GuidRegistryText(interfaceClass);
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    const int err = errno;
    // A class (or root) folder that does not exist: no devices of the class.
    if (err == ENOENT) {
      SetLastError(kErrorSuccess);
      return set;
    }
    SetLastError(err == ENOTDIR ? kErrorDirectory : ErrorFromErrno(err));
    return nullptr;
  }
  std::vector<std::string> names;
  const size_t suffixLength = std::strlen(kSocketSuffix);
  for (;;) {
    const dirent* item = ::readdir(dir);
    if (item == nullptr) break;
    const std::string file = item->d_name;
    if (file.size() <= suffixLength ||
        file.compare(file.size() - suffixLength, suffixLength, kSocketSuffix) != 0)
      continue;
    std::string name = file.substr(0, file.size() - suffixLength);
    if (IsEntryName(name)) names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());

  for (std::string& name : names) {
    Impl::Entry entry;
    entry.path = folder + "/" + name + kSocketSuffix;
    struct stat st {};
    if (::lstat(entry.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    std::string text;
    // Without readable properties the entry is being created or removed.
    if (!ReadSmallFile(folder + "/" + name + kPropertiesSuffix, text)) continue;
    entry.properties = ParseProperties(text);
    entry.name = std::move(name);
    set->impl_->entries.push_back(std::move(entry));
  }
  SetLastError(kErrorSuccess);
  return set;
}

bool DeviceInfoSet::EnumDeviceInfo(uint32_t index, DeviceInfoData& info) const {
  if (index >= impl_->entries.size()) {
    SetLastError(kErrorNoMoreItems);
    return false;
  }
  info.classGuid = Guid{};
  info.devInst = index + 1;
  info.reserved = index + 1;
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::EnumDeviceInterface(const DeviceInfoData& info, const Guid& interfaceClass,
                                        uint32_t memberIndex, DeviceInterfaceData& data) const {
  if (impl_->EntryOf(info.reserved) == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  // Each entry is one interface of the set's class.
  if (memberIndex != 0 || !(interfaceClass == impl_->interfaceClass)) {
    SetLastError(kErrorNoMoreItems);
    return false;
  }
  data.interfaceClassGuid = interfaceClass;
  data.flags = 1;  // SPINT_ACTIVE
  data.reserved = info.reserved;
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::GetInterfacePath(const DeviceInterfaceData& data, std::string& path) const {
  const Impl::Entry* entry = impl_->EntryOf(data.reserved);
  if (entry == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  path = entry->path;
  SetLastError(kErrorSuccess);
  return true;
}

bool DeviceInfoSet::GetProperty(const DeviceInfoData& info, uint32_t property, uint32_t bufferSize,
                                std::string& value) const {
  const Impl::Entry* entry = impl_->EntryOf(info.reserved);
  if (entry == nullptr) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const std::optional<std::string>* slot = nullptr;
  switch (property) {
    case kPropertyService:
      slot = &entry->properties.service;
      break;
    case kPropertyLocationInformation:
      slot = &entry->properties.location;
      break;
    case kPropertyDeviceDescription:
      slot = &entry->properties.description;
      break;
    default:
      break;
  }
  if (slot == nullptr || !slot->has_value()) {
    SetLastError(kErrorInvalidData);
    return false;
  }
  if ((*slot)->size() + 1 > bufferSize) {
    SetLastError(kErrorInsufficientBuffer);
    return false;
  }
  value = **slot;
  SetLastError(kErrorSuccess);
  return true;
}

}  // namespace platform
