// The host tool's reading and printing of the list, against a stand-in for
// the library's four functions.
#include "listing.h"

#include <gtest/gtest.h>

#include <map>

namespace nvdevices {
namespace {

using Bytes = std::array<uint8_t, 12>;

Bytes FromWords(uint32_t low, uint32_t middle, uint32_t high) {
  Bytes bytes{};
  const uint32_t words[3] = {low, middle, high};
  for (int w = 0; w < 3; ++w)
    for (int b = 0; b < 4; ++b)
      bytes[w * 4 + b] = static_cast<uint8_t>(words[w] >> (8 * b));
  return bytes;
}

TEST(HardwareIdText, SixDigitsUpTo0xFFFFFFThenEight) {
  EXPECT_EQ(HardwareIdText(FromWords(0x123, 0x456, 0x789)), "000123-000456-000789");
  EXPECT_EQ(HardwareIdText(FromWords(0xFFFFFF, 1, 2)), "FFFFFF-000001-000002");
  EXPECT_EQ(HardwareIdText(FromWords(0x1000000, 1, 2)), "01000000-00000001-00000002");
  EXPECT_EQ(HardwareIdText(FromWords(1, 2, 0xFFFFFFFF)), "00000001-00000002-FFFFFFFF");
  EXPECT_EQ(HardwareIdBytesText(FromWords(1, 2, 3)), "01 00 00 00 02 00 00 00 03 00 00 00");
}

TEST(JsonString, EscapesWhatJsonCannotHoldRaw) {
  EXPECT_EQ(JsonString("NV2-1"), "\"NV2-1\"");
  EXPECT_EQ(JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonString(std::string("x\x01\n\xC7", 4)), "\"x\\u0001\\n\\u00C7\"");
}

// The stand-in library: a fixed list, identity looked up by id.
struct FakeDevice {
  std::optional<std::string> serial;
  std::optional<Bytes> hardwareId;
};
std::vector<uint32_t> g_Ids;
std::map<uint32_t, FakeDevice> g_Devices;
int g_ListCalls = 0;

uint32_t FakeList(uint32_t* ids) {
  ++g_ListCalls;
  if (ids != nullptr) std::copy(g_Ids.begin(), g_Ids.end(), ids);
  return static_cast<uint32_t>(g_Ids.size());
}
uint32_t FakeSerial(uint32_t id, char* buffer) {
  auto it = g_Devices.find(id);
  if (it == g_Devices.end() || !it->second.serial) return 0;
  const std::string& serial = *it->second.serial;
  if (buffer != nullptr) std::copy(serial.c_str(), serial.c_str() + serial.size() + 1, buffer);
  return static_cast<uint32_t>(serial.size() + 1);
}
uint32_t FakeMcuId(uint32_t id, uint8_t* buffer) {
  auto it = g_Devices.find(id);
  if (it == g_Devices.end() || !it->second.hardwareId) return 0;
  if (buffer != nullptr)
    std::copy(it->second.hardwareId->begin(), it->second.hardwareId->end(), buffer);
  return 12;
}

void UseFakes(Library& library) {
  library.getDeviceList = FakeList;
  library.getDeviceSerial = FakeSerial;
  library.getDeviceMCUId = FakeMcuId;
}

TEST(ReadInstruments, ReadsEveryListedIdentity) {
  g_Ids = {3, 7};
  g_Devices = {{3, {"NV2-000001", FromWords(0x123456, 0xABCDEF, 0x42)}},
               {7, {std::nullopt, std::nullopt}}};
  g_ListCalls = 0;
  std::vector<Instrument> instruments;
  std::string error;
  Library library;
  UseFakes(library);
  ASSERT_TRUE(ReadInstruments(library, instruments, error)) << error;
  EXPECT_EQ(g_ListCalls, 2);  // the count, then the ids
  ASSERT_EQ(instruments.size(), 2u);
  EXPECT_EQ(instruments[0].id, 3u);
  EXPECT_EQ(instruments[0].serial, "NV2-000001");
  EXPECT_EQ(instruments[1].serial, std::nullopt);
  EXPECT_EQ(instruments[1].hardwareId, std::nullopt);

  const std::string table = FormatTable(instruments);
  EXPECT_NE(
      table.find(" 3  NV2-000001  123456-ABCDEF-000042  56 34 12 00 EF CD AB 00 42 00 00 00\n"),
      std::string::npos)
      << table;
  EXPECT_NE(table.find(" 7  -           (not valid)           -\n"), std::string::npos) << table;
  EXPECT_EQ(FormatTable({}), "No instruments found.\n");

  const std::string json = FormatJson(instruments);
  EXPECT_NE(json.find("{\"id\": 7, \"serial\": null, \"hardware_id\": null"), std::string::npos)
      << json;
  EXPECT_EQ(FormatJson({}), "{\"instruments\": []}\n");
}

TEST(Compare, ArrivalsAndDeparturesById) {
  std::vector<Instrument> before(3), after(3);
  before[0].id = 1, before[1].id = 2, before[2].id = 3;
  after[0].id = 1, after[1].id = 3, after[2].id = 4;  // 2 left; 4 arrived
  std::vector<Instrument> arrived, left;
  Compare(before, after, arrived, left);
  ASSERT_EQ(arrived.size(), 1u);
  EXPECT_EQ(arrived[0].id, 4u);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].id, 2u);
}

}  // namespace
}  // namespace nvdevices
