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

#include <cerrno>
#include <optional>
#include <vector>

#include "platform/errors.h"
#include "platform/stand_in_common.h"
#include "platform/system.h"

namespace platform {

namespace {

using stand_in::kMaxPropertiesBytes;
using stand_in::Properties;

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

}  // namespace

std::string DeviceRoot() {
  std::string root = GetEnvironment("NVDEVICES_DEVICE_ROOT");
  return root.empty() ? std::string(stand_in::kDefaultDeviceRoot) : root;
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
  const std::string folder = stand_in::ClassFolder(DeviceRoot(), interfaceClass);
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
  std::vector<std::string> files;
  for (;;) {
    const dirent* item = ::readdir(dir);
    if (item == nullptr) break;
    files.emplace_back(item->d_name);
  }
  ::closedir(dir);

  for (std::string& name : stand_in::EntryNames(files)) {
    Impl::Entry entry;
    entry.path = stand_in::DevicePath(folder, name);
    struct stat st {};
    if (::lstat(entry.path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    std::string propertiesPath;
    std::string text;
    // Without readable properties the entry is being created or removed.
    if (!stand_in::PropertiesPath(entry.path, propertiesPath) ||
        !ReadSmallFile(propertiesPath, text))
      continue;
    entry.properties = stand_in::ParseProperties(text);
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
  const std::optional<std::string>* slot = entry->properties.Find(property);
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
