// The operating-system description of the log header.
#include <string>

#include "base/format.h"
#include "base/messages.h"
#include "platform/run_time_imports.h"
#include "platform/system.h"

namespace {

struct KnownVersion {
  uint32_t major, minor, servicePack;
  const char* workstation;
  const char* server;  // "" when the version has no server edition
};

// Tried in this order; the first version the system equals names it.
constexpr KnownVersion kKnownVersions[] = {
    {10, 0, 0, "10", "Server Technical Preview"},
    {6, 3, 0, "8.1", "Server 2012 R2"},
    {6, 2, 0, "8", "Server 2012"},
    {6, 1, 1, "7", "Server 2008 R2 SP1"},
    {6, 1, 0, "7", "Server 2008 R2"},
    {5, 1, 3, "XP SP3", "Server 2000 SP3"},
    {5, 1, 2, "XP SP2", "Server 2000 SP2"},
    {5, 1, 1, "XP SP1", ""},
    {5, 1, 0, "XP", ""},
    {6, 0, 2, "Vista", "Server 2008 SP2"},
    {6, 0, 1, "Vista", "Server 2008 SP1"},
    {6, 0, 0, "Vista", "Server 2008"},
    {5, 1, 4, "Server 2000 SP4", ""},
    {5, 2, 2, "Server 2003 SP2", ""},
    {5, 2, 1, "Server 2003 SP1", ""},
    {5, 2, 0, "Server 2003", ""},
};

// The first value in [from, to] the system equals; false when none.
bool FindPart(const WindowsVersionProbe& probe, WindowsVersionProbe::Part part, uint32_t from,
              uint32_t to, uint32_t& value) {
  for (uint32_t v = from; v <= to; ++v) {
    if (probe.Equals(part, v)) {
      value = v;
      return true;
    }
  }
  return false;
}

}  // namespace

PStr DescribeWindowsVersion(const WindowsVersionProbe& probe, WindowsVersionInfo* info) {
  WindowsVersionInfo version;
  if (probe.IsProductType(1))
    version.productType = 1;
  else if (probe.IsProductType(3))
    version.productType = 3;
  else if (probe.IsProductType(2))
    version.productType = 2;

  std::string name;
  bool known = false;
  for (const KnownVersion& row : kKnownVersions) {
    if (!probe.Equals(WindowsVersionProbe::kMajor, row.major)) continue;
    if (!probe.Equals(WindowsVersionProbe::kMinor, row.minor)) continue;
    if (!probe.Equals(WindowsVersionProbe::kServicePack, row.servicePack)) continue;
    version.major = row.major;
    version.minor = row.minor;
    version.servicePack = row.servicePack;
    name = version.productType == 1 ? row.workstation : row.server;
    known = true;
    break;
  }
  if (!known) {
    FindPart(probe, WindowsVersionProbe::kMajor, 11, 47, version.major);
    FindPart(probe, WindowsVersionProbe::kMinor, 0, 31, version.minor);
    FindPart(probe, WindowsVersionProbe::kServicePack, 0, 31, version.servicePack);
    name = "Unknown";
  }

  const uint32_t build = probe.BuildNumber();
  const char* servicePackText = probe.ServicePackText();
  version.wow64 = probe.IsWow64();
  if (version.major == 5 && version.minor == 2 && version.productType == 1 && version.wow64)
    name = "XP Professional";
  if (version.major == 10 && version.minor == 0 && build >= 22000) name = "11";
  if (name.empty()) name = "Unknown";
  version.atLeast62 = version.major > 6 || (version.major == 6 && version.minor >= 2);
  if (info != nullptr) *info = version;

  const char* x64 = (version.wow64 && name != "11") ? " x64" : "";
  return FormatStr("Windows %s%s [ver. %u.%u.%u], build = %u, SP: '%s']", name.c_str(), x64,
                   version.major, version.minor, version.servicePack, build,
                   servicePackText != nullptr ? servicePackText : "");
}

namespace {

// The running system, asked through the platform's version queries.
class SystemVersionProbe final : public WindowsVersionProbe {
 public:
  bool Equals(Part part, uint32_t value) const override {
    constexpr platform::WindowsVersionPart kParts[] = {platform::WindowsVersionPart::kMajor,
                                                       platform::WindowsVersionPart::kMinor,
                                                       platform::WindowsVersionPart::kServicePack};
    return platform::WindowsVersionEquals(kParts[part], value);
  }
  bool IsProductType(uint32_t productType) const override {
    return platform::WindowsVersionEquals(platform::WindowsVersionPart::kProductType, productType);
  }
  uint32_t BuildNumber() const override { return platform::WindowsBuildNumber(); }
  const char* ServicePackText() const override { return servicePack_.c_str(); }
  bool IsWow64() const override { return platform::IsWow64Process(); }

 private:
  std::string servicePack_ = platform::WindowsServicePackText();
};

}  // namespace

const char* OSDescription() {
  // The running system is described once: Windows with the naming above,
  // any other system by the platform in the same shape.
  static const std::string description = [] {
    if (!platform::RunsOnWindows()) return platform::ReadSystemFacts().osDescription;
    const PStr line = DescribeWindowsVersion(SystemVersionProbe());
    return std::string(line.c_str());
  }();
  return description.c_str();
}
