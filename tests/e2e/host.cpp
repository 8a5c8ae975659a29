#include "host.h"

#include <algorithm>

#include "platform/system.h"

namespace e2e {

namespace {

template <typename Fn>
void Resolve(void* module, const char* name, Fn& target) {
  target = reinterpret_cast<Fn>(platform::FindProcedure(module, name));
  if (target == nullptr) ADD_FAILURE() << NVD_LIBRARY_PATH " does not export " << name;
}

Exports LoadExports() {
  // The library's clock reads the scale when the library is loaded.
  platform::SetEnvironment("NVDEVICES_TIME_SCALE",
                           std::to_string(testsupport::HostTimeScale(kTimeScale)).c_str());
  Exports exports;
  void* module = platform::LoadModule(NVD_LIBRARY_PATH);
  if (module == nullptr) {
    ADD_FAILURE() << "cannot load " NVD_LIBRARY_PATH;
    return exports;
  }
  Resolve(module, "GetDeviceList", exports.getDeviceList);
  Resolve(module, "GetDeviceSerial", exports.getDeviceSerial);
  Resolve(module, "GetDeviceMCUId", exports.getDeviceMCUId);
  Resolve(module, "GetDeviceDatabaseInfo", exports.getDeviceDatabaseInfo);
  return exports;
}

}  // namespace

const Exports& Library() {
  static const Exports exports = LoadExports();
  return exports;
}

void HostTest::SetUp() {
  const Exports& library = Library();
  ASSERT_NE(library.getDeviceList, nullptr);
  ASSERT_NE(library.getDeviceDatabaseInfo, nullptr);
  sim_ = std::make_unique<testsupport::PrivateSimulator>("/tmp/nve", kTimeScale);
  std::string error;
  ASSERT_TRUE(sim_->Start(&error)) << error;
}

void HostTest::TearDown() {
  sim_.reset();
  // Let the library forget this test's instruments before the next test.
  if (Library().getDeviceList != nullptr) Library().getDeviceList(nullptr);
}

std::vector<uint32_t> HostTest::List() {
  constexpr uint32_t kSpare = 8;
  constexpr uint32_t kSentinel = 0xA5A5A5A5;
  const uint32_t count = Library().getDeviceList(nullptr);
  std::vector<uint32_t> ids(count + kSpare, kSentinel);
  const uint32_t listed = Library().getDeviceList(ids.data());
  EXPECT_LE(listed, count + kSpare);
  if (listed > ids.size()) return {};
  for (size_t i = listed; i < ids.size(); ++i)
    EXPECT_EQ(ids[i], kSentinel) << "written past the count at " << i;
  ids.resize(listed);
  return ids;
}

std::optional<std::string> HostTest::Serial(uint32_t id) {
  const uint32_t size = Library().getDeviceSerial(id, nullptr);
  if (size == 0) return std::nullopt;
  std::string buffer(size + 4, '\x7F');
  EXPECT_EQ(Library().getDeviceSerial(id, buffer.data()), size);
  EXPECT_EQ(buffer[size - 1], '\0');
  EXPECT_EQ(buffer.substr(size), std::string(4, '\x7F')) << "written past the size";
  buffer.resize(size - 1);
  return buffer;
}

std::optional<std::array<uint8_t, 12>> HostTest::HardwareId(uint32_t id) {
  std::array<uint8_t, 16> buffer;
  buffer.fill(0x7F);
  const uint32_t size = Library().getDeviceMCUId(id, buffer.data());
  for (size_t i = 12; i < buffer.size(); ++i)
    EXPECT_EQ(buffer[i], 0x7F) << "written past 12 bytes";
  if (size == 0) {
    for (uint8_t byte : buffer)
      EXPECT_EQ(byte, 0x7F) << "written although the result is 0";
    return std::nullopt;
  }
  EXPECT_EQ(size, 12u);
  EXPECT_EQ(Library().getDeviceMCUId(id, nullptr), 12u);
  std::array<uint8_t, 12> bytes;
  std::copy(buffer.begin(), buffer.begin() + 12, bytes.begin());
  return bytes;
}

nvsim::InstrumentConfig Instrument(const std::string& name, const std::string& serial,
                                   const std::array<uint32_t, 3>& hardwareId) {
  nvsim::InstrumentConfig config = Instrument(name, serial);
  std::copy(hardwareId.begin(), hardwareId.end(), config.hwId);
  return config;
}

nvsim::InstrumentConfig Instrument(const std::string& name, const std::string& serial) {
  nvsim::InstrumentConfig config;
  config.name = name;
  config.publicArea.prodSerNumber = serial;
  return config;
}

Answer Look(uint32_t id) {
  Answer answer;
  answer.code = Library().getDeviceDatabaseInfo(id, &answer.test, &answer.calibration,
                                                &answer.programmed, &answer.calibrated);
  return answer;
}

}  // namespace e2e
