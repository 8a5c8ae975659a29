// Finding instruments: the device list against simulated instruments and
// hand-made entries of the device root.
#include "usb/enumeration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/strings.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "usb/source_names.h"
#include "usb/support/harness.h"

namespace {

class EnumerationTest : public usbtest::SimulatorTest {
 protected:
  static std::string Listing(const USBDeviceInfoList& list) {
    PStr text;
    list.FormatList(text);
    return text.IsNull() ? "" : text.c_str();
  }
  void WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
};

TEST_F(EnumerationTest, NoInstrumentsGiveTheEmptyListing) {
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(Listing(list), "=== USB device list is empty ===\n");
  EXPECT_TRUE(usbtest::InfoText().empty());

  // A class that the root has no folder for: no devices, no complaint.
  const platform::Guid other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
  USBDeviceInfoList none(&other, "", true);
  EXPECT_EQ(none.Count(), 0u);
  EXPECT_TRUE(usbtest::InfoText().empty());
}

TEST_F(EnumerationTest, ListsInstrumentsInNameOrderWithTheirTexts) {
  const auto b = AddInstrument("nv-b", [](nvsim::InstrumentConfig& c) {
    c.location = "Port_#0002.Hub_#0001";
    c.description = "Second";
  });
  const auto a = AddInstrument("nv-a", [](nvsim::InstrumentConfig& c) {
    c.location = "Port_#0001.Hub_#0001";
    c.description = "First";
  });
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_STREQ(list.At(0)->DevicePath.Text(), Path(a).c_str());
  EXPECT_STREQ(list.At(1)->DevicePath.Text(), Path(b).c_str());
  EXPECT_EQ(Listing(list),
            "\n======= USB device list =======\n"
            "#0: \"Port_#0001.Hub_#0001\": \"First\", \"" +
                Path(a) +
                "\"\n"
                "#1: \"Port_#0002.Hub_#0001\": \"Second\", \"" +
                Path(b) + "\"\n\n");

  // The log gets the same listing.
  usbtest::ClearCapture();
  list.PrintList();
  EXPECT_EQ(usbtest::LibraryLog(), Listing(list));

  // Refresh follows arrivals and departures.
  sim_->Unplug(a);
  list.Refresh();
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_STREQ(list.At(0)->DevicePath.Text(), Path(b).c_str());
}

TEST_F(EnumerationTest, ServiceFilter) {
  AddInstrument("lower", [](nvsim::InstrumentConfig& c) { c.service = "zdusbdev"; });
  AddInstrument("other", [](nvsim::InstrumentConfig& c) { c.service = "USBSTOR"; });
  AddInstrument("none", [](nvsim::InstrumentConfig& c) { c.service.reset(); });
  AddInstrument("exact");

  USBDeviceInfoList filtered(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(filtered.Count(), 2u);
  EXPECT_NE(std::string(filtered.At(0)->DevicePath.Text()).find("/exact.sock"), std::string::npos);
  EXPECT_NE(std::string(filtered.At(1)->DevicePath.Text()).find("/lower.sock"), std::string::npos);

  // No filter: every device with a path.
  USBDeviceInfoList all(&kUsbDeviceInterfaceGuid, "", true);
  EXPECT_EQ(all.Count(), 4u);
  USBDeviceInfoList nullFilter(&kUsbDeviceInterfaceGuid, nullptr, true);
  EXPECT_EQ(nullFilter.Count(), 4u);
}

TEST_F(EnumerationTest, MissingPropertiesKeepTheirErrorTexts) {
  AddInstrument("bare", [](nvsim::InstrumentConfig& c) {
    c.location.reset();
    c.description = "";
  });
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_STREQ(list.At(0)->LocationInfo.Text(),
               "SetupDiGetDeviceRegistryProperty(): The data is invalid.");
  EXPECT_STREQ(list.At(0)->Description.Text(), "");
  // Nothing is logged for a property.
  EXPECT_TRUE(usbtest::ErrorText().empty());
}

TEST_F(EnumerationTest, OnlyCompleteEntriesArePresent) {
  AddInstrument("real");
  // A socket whose properties are gone (being created or removed).
  const auto half = AddInstrument("half");
  ASSERT_EQ(platform::RemoveFile(sim_->PropertiesPath(half).c_str()), 0u);
  const std::string folder = ClassFolder();
  // Properties without a socket, a socket name that is a plain file, work
  // files of the server, a property file with odd lines: none is an entry
  // except the real one.
  WriteFile(folder + "/ghost.props", "service=ZDUSBDEV\n");
  WriteFile(folder + "/plain.sock", "");
  WriteFile(folder + "/plain.props", "service=ZDUSBDEV\n");
  WriteFile(folder + "/.hidden.props.tmp", "service=ZDUSBDEV\n");
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_NE(std::string(list.At(0)->DevicePath.Text()).find("/real.sock"), std::string::npos);
}

TEST_F(EnumerationTest, PropertiesFileRules) {
  // The simulator's entry, with its properties rewritten by hand: CR LF line
  // ends, the first of two keys, no trimming, a last line without its end.
  const auto id = AddInstrument("props");
  WriteFile(sim_->PropertiesPath(id),
            "junk line\r\nservice=zdUSBdev\r\nlocation= Port 3 \r\nservice=OTHER\n"
            "description=a=b");
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_STREQ(list.At(0)->LocationInfo.Text(), " Port 3 ");
  EXPECT_STREQ(list.At(0)->Description.Text(), "a=b");
}

TEST_F(EnumerationTest, ClassQueryFailureIsReportedThroughTheMessageSink) {
  // The class folder is a file: the class cannot be listed.
  platform::RemoveDirectory(ClassFolder().c_str());
  WriteFile(ClassFolder(), "not a folder");
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(usbtest::InfoText(),
            "No devices with GUID { A5DCBF10, 6530, 11D2, 90, 1F, 00, C0, 4F, B9, 51, ED }\n");
}

TEST_F(EnumerationTest, KaltoWarningOnEveryRefresh) {
  AddInstrument("nv1");
  const auto kalto = usbtest::HoldKalto();
  ASSERT_TRUE(kalto->IsHeld());
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  list.Refresh();
  EXPECT_EQ(list.Count(), 1u);
  const auto boxes = usbtest::Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  // The English half, with its marker bytes removed, under the warning box.
  EXPECT_NE(boxes[0].find("Attention!"), std::string::npos);
  EXPECT_NE(boxes[0].find("The Kalto application is running on the computer. It automatically "
                          "opens USB devices connected to the computer."),
            std::string::npos);
  EXPECT_EQ(boxes[0].find('\x04'), std::string::npos);
  EXPECT_EQ(boxes[0].find('|'), std::string::npos);
}

TEST(DeviceInfo, FormatGuidAndEquality) {
  PStr text;
  USBDeviceInfoList::FormatGuid(&kUsbDeviceInterfaceGuid, text);
  EXPECT_STREQ(text.c_str(), "{ A5DCBF10, 6530, 11D2, 90, 1F, 00, C0, 4F, B9, 51, ED }");
  USBDeviceInfoList::FormatGuid(nullptr, text);
  EXPECT_STREQ(text.c_str(), "");
  EXPECT_EQ(platform::GuidRegistryText(kUsbDeviceInterfaceGuid),
            "{A5DCBF10-6530-11D2-901F-00C04FB951ED}");

  // Entries made without a set keep "Unknown" texts.
  const platform::DeviceInfoData record;
  ZdUSBDeviceInfo a(record, nullptr, nullptr), b(record, nullptr, nullptr);
  EXPECT_STREQ(a.DevicePath.Text(), "Unknown");
  EXPECT_TRUE(a.IsEqual(&b));
  b.Description = "Other";
  EXPECT_FALSE(a.IsEqual(&b));
  b.Description = "Unknown";
  b.LocationInfo = "unknown";  // case matters
  EXPECT_FALSE(a.IsEqual(&b));
  const Istr notAnEntry("Unknown");
  EXPECT_FALSE(a.IsEqual(&notAnEntry));
}

TEST(DeviceInfo, TransportNameIsInTheSourceList) {
  bool found = false;
  for (uint32_t i = 0; i < SourceNameCount(); ++i)
    found = found || std::string(SourceNameAt(i)) == "DevList";
  EXPECT_TRUE(found);
}

}  // namespace
