// Device enumeration on POSIX: the entries of the driver stand-in's device
// root (docs/driver-stand-in.md). A class is the folder named after its GUID;
// a present interface is a socket <name>.sock with a readable <name>.props
// beside it. Opening a set takes a snapshot of the entries and their
// properties, in ascending byte order of the names.
//
// One listing of the class folder tells each file's type, so a socket needs
// no lstat of its own (only a file system that does not give types gets
// one). A properties file is read once per file: the stand-in replaces it by
// rename, never rewrites it in place, so a file with the same device, inode,
// times and size as one read before holds the same text. The properties read
// are kept per entry of the last folder listed, and dropped with the entry.
#include "platform/enumeration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/stand_in_common.h"
#include "platform/system.h"

namespace platform {

namespace {

using stand_in::kMaxPropertiesBytes;
using stand_in::Properties;

// Reads a whole (small) file of a folder; false when it cannot be opened or
// read. `st` receives what the open file is.
bool ReadSmallFile(int folder, const std::string& name, std::string& text, struct stat& st) {
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
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

// Which file a properties file is: another file, or the same one changed,
// has another identity.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  int64_t modifiedNs = 0;
  int64_t changedNs = 0;
  off_t size = 0;

  static FileIdentity Of(const struct stat& st) {
    auto ns = [](const timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    return {st.st_dev, st.st_ino, ns(st.st_mtim), ns(st.st_ctim), st.st_size};
  }
  bool operator==(const FileIdentity&) const = default;
};

// The properties read from the entries of the last class folder listed.
struct PropertiesCache {
  struct Kept {
    FileIdentity file;
    Properties properties;
  };
  std::mutex lock;
  std::string folder;
  std::unordered_map<std::string, Kept> entries;  // by entry name
};

// Set once the cache has been destroyed (at unload): later listings read
// every file.
std::atomic<bool> g_CacheGone{false};

struct CacheHolder {
  PropertiesCache cache;
  ~CacheHolder() { g_CacheGone = true; }
};

PropertiesCache* Cache() {
  if (g_CacheGone) return nullptr;
  static CacheHolder holder;
  return &holder.cache;
}

// A properties file's parsed text, from the cache when the file is the one
// read before; false when it cannot be read (the entry is then not present).
// `kept` receives what the next listing may reuse.
bool EntryProperties(int folder, const std::string& name, const PropertiesCache::Kept* before,
                     PropertiesCache::Kept& kept) {
  const std::string file = name + stand_in::kPropertiesSuffix;
  struct stat st {};
  if (before != nullptr && ::fstatat(folder, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(st.st_mode) && FileIdentity::Of(st) == before->file) {
    kept = *before;
    return true;
  }
  std::string text;
  if (!ReadSmallFile(folder, file, text, st)) return false;
  kept.file = FileIdentity::Of(st);
  kept.properties = stand_in::ParseProperties(text);
  return true;
}

// Whether a listed file is a socket: the listing's type, or lstat where the
// file system gave none.
bool IsSocket(int folder, const std::string& file, unsigned char type) {
  if (type != DT_UNKNOWN) return type == DT_SOCK;
  struct stat st {};
  return ::fstatat(folder, file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISSOCK(st.st_mode);
}

// The names of a folder's files, and the listed type of each that ends like
// a socket entry.
void ListFolder(DIR* dir, std::vector<std::string>& files,
                std::unordered_map<std::string, unsigned char>& socketTypes) {
  const size_t suffix = std::strlen(stand_in::kSocketSuffix);
  while (const dirent* item = ::readdir(dir)) {
    const std::string& file = files.emplace_back(item->d_name);
    if (file.size() > suffix &&
        file.compare(file.size() - suffix, suffix, stand_in::kSocketSuffix) == 0)
      socketTypes.emplace(file, item->d_type);
  }
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

  void ReadEntries(int folderFd, const std::string& folder, const std::vector<std::string>& files,
                   std::unordered_map<std::string, unsigned char>& socketTypes);

  const Entry* EntryOf(uintptr_t reserved) const {
    return reserved >= 1 && reserved <= entries.size() ? &entries[reserved - 1] : nullptr;
  }
};

DeviceInfoSet::DeviceInfoSet() : impl_(std::make_unique<Impl>()) {}
DeviceInfoSet::~DeviceInfoSet() = default;

// The present entries of a listed class folder, in name order; their
// properties through the cache (when it still exists), which afterwards
// keeps exactly these entries.
void DeviceInfoSet::Impl::ReadEntries(int folderFd, const std::string& folder,
                                      const std::vector<std::string>& files,
                                      std::unordered_map<std::string, unsigned char>& socketTypes) {
  PropertiesCache* cache = Cache();
  std::unique_lock<std::mutex> guard;
  if (cache != nullptr) {
    guard = std::unique_lock<std::mutex>(cache->lock);
    if (cache->folder != folder) cache->entries.clear();
  }
  std::unordered_map<std::string, PropertiesCache::Kept> read;
  for (std::string& name : stand_in::EntryNames(files)) {
    const std::string socket = name + stand_in::kSocketSuffix;
    if (!IsSocket(folderFd, socket, socketTypes[socket])) continue;
    const PropertiesCache::Kept* before = nullptr;
    if (cache != nullptr) {
      const auto found = cache->entries.find(name);
      if (found != cache->entries.end()) before = &found->second;
    }
    // Without readable properties the entry is being created or removed.
    PropertiesCache::Kept kept;
    if (!EntryProperties(folderFd, name, before, kept)) continue;
    entries.push_back({name, stand_in::DevicePath(folder, name), kept.properties});
    read.emplace(std::move(name), std::move(kept));
  }
  if (cache != nullptr) {
    cache->folder = folder;
    cache->entries = std::move(read);
  }
}

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
  std::unordered_map<std::string, unsigned char> socketTypes;
  ListFolder(dir, files, socketTypes);
  set->impl_->ReadEntries(::dirfd(dir), folder, files, socketTypes);
  ::closedir(dir);
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
