// The library as a host sees it: loaded at run time, its four functions
// looked up by name.
#pragma once

#include <string>
#include <vector>

#include "nvdevices/NVDevices.h"

namespace nvdevices {

class Library {
 public:
  using GetDeviceListFn = decltype(&GetDeviceList);
  using GetDeviceSerialFn = decltype(&GetDeviceSerial);
  using GetDeviceMCUIdFn = decltype(&GetDeviceMCUId);
  using GetDeviceDatabaseInfoFn = decltype(&GetDeviceDatabaseInfo);

  Library() = default;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  // The module stays loaded for the life of the process: unloading it would
  // close every instrument, which the host tool never needs mid-run.
  ~Library() = default;

  // Loads the first of `candidates` that loads and finds the four
  // functions in it. On failure `error` says, for every candidate, why it
  // was not taken.
  bool Load(const std::vector<std::string>& candidates, std::string& error);
  const std::string& Path() const { return path_; }

  GetDeviceListFn getDeviceList = nullptr;
  GetDeviceSerialFn getDeviceSerial = nullptr;
  GetDeviceMCUIdFn getDeviceMCUId = nullptr;
  GetDeviceDatabaseInfoFn getDeviceDatabaseInfo = nullptr;

 private:
  std::string path_;
};

// While it lives, what is written to the standard output (by this process
// or by the library) goes to the standard error instead. The library's
// database layer reports connection failures on the standard output; the
// tool keeps them visible without mixing them into its listing.
class StandardOutputToError {
 public:
  StandardOutputToError();
  ~StandardOutputToError();
  StandardOutputToError(const StandardOutputToError&) = delete;
  StandardOutputToError& operator=(const StandardOutputToError&) = delete;

 private:
  int saved_ = -1;
};

// The places to look for the library, in order: the path given on the
// command line, $NVDEVICES_LIBRARY, the library built beside this tool, and
// the system's own search by file name.
std::vector<std::string> LibraryCandidates(const std::string& commandLinePath);

}  // namespace nvdevices
