// The plain floor of finding the instruments under the driver stand-in: what
// any program must do to learn the present interfaces and their properties,
// written with the C library's own calls and nothing of the library. One
// readdir of the class folder; for each properties file an lstat (stat where
// there is no lstat) and a read of the whole file; the service line checked.
// Names are not sorted and nothing is kept: it is a floor, not a rival.
//
// The Windows build reads the same folder through Wine's drive Z: (as the
// library's stand-in enumeration does).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/enumeration.h"
#include "platform/system.h"
#include "usb/enumeration.h"

#ifndef O_BINARY
#define O_BINARY 0
#endif
#ifndef O_CLOEXEC
#define O_CLOEXEC 0
#endif

class EnumerationFloor {
 public:
  EnumerationFloor() {
    std::string root = platform::GetEnvironment("NVDEVICES_DEVICE_ROOT");
    if (root.empty()) root = "/tmp/nvdevices";
#ifdef _WIN32
    if (root[0] == '/') root = "Z:" + root;
#endif
    folder_ = root + "/" + platform::GuidRegistryText(kUsbDeviceInterfaceGuid);
  }

  // One pass; the number of interfaces whose properties name the instrument
  // driver, or -1 when the folder cannot be read.
  int Run() {
    DIR* dir = opendir(folder_.c_str());
    if (dir == nullptr) return -1;
    names_.clear();
    while (const dirent* item = readdir(dir)) {
      const size_t length = std::strlen(item->d_name);
      if (length > 6 && item->d_name[0] != '.' &&
          std::strcmp(item->d_name + length - 6, ".props") == 0)
        names_.emplace_back(item->d_name, length);
    }
    closedir(dir);
    int found = 0;
    for (const std::string& name : names_)
      found += ReadOne(folder_ + "/" + name) ? 1 : 0;
    return found;
  }

 private:
  // lstat and read of one properties file: true when it names the driver.
  bool ReadOne(const std::string& path) {
    struct stat st {};
#ifdef _WIN32
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#else
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
#endif
    const int fd = open(path.c_str(), O_RDONLY | O_BINARY | O_CLOEXEC);
    if (fd < 0) return false;
    text_.clear();
    char buffer[4096];
    for (;;) {
      const auto got = read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      text_.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return text_.find("service=ZDUSBDEV") != std::string::npos;
  }

  std::string folder_;
  std::vector<std::string> names_;
  std::string text_;
};
