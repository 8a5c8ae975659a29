// Finding instruments: the device list against simulated instruments and
// hand-made entries of the device root.
#include "usb/enumeration.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "base/strings.h"
#include "platform/files.h"
#include "usb/support/harness.h"

namespace {

class EnumerationTest : public usbtest::SimulatorTest {
 protected:
  static std::string Listing(const USBDeviceInfoList& list) {
    PStr text;
    list.FormatList(text);
    return text.IsNull() ? "" : text.c_str();
  }
  static std::string PathAt(const USBDeviceInfoList& list, uint32_t i) {
    return list.At(i)->DevicePath.Text();
  }
  static void WriteFile(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
  }
  std::string ClassFolder() const { return root_ + "/{A5DCBF10-6530-11D2-901F-00C04FB951ED}"; }
};

TEST_F(EnumerationTest, NoInstrumentsGiveTheEmptyListing) {
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(Listing(list), "=== USB device list is empty ===\n");
  // A class without a folder under the root: nothing, and no complaint.
  const platform::Guid other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(USBDeviceInfoList(&other, "", true).Count(), 0u);
  EXPECT_TRUE(usbtest::InfoText().empty());
}

TEST_F(EnumerationTest, ListsInstrumentsInNameOrderWithTheirTexts) {
  const auto b = AddInstrument("nv-b", [](auto& c) {
    c.location = "Port_#0002.Hub_#0001";
    c.description = "Second";
  });
  const auto a = AddInstrument("nv-a", [](auto& c) { c.description = "First"; });
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(Listing(list),
            "\n======= USB device list =======\n#0: \"Port_#0001.Hub_#0001\": "
            "\"First\", \"" +
                Path(a) + "\"\n#1: \"Port_#0002.Hub_#0001\": \"Second\", \"" + Path(b) + "\"\n\n");
  usbtest::ClearCapture();
  list.PrintList();
  EXPECT_EQ(usbtest::LibraryLog(), Listing(list));

  sim_->Unplug(a);
  list.Refresh();
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(PathAt(list, 0), Path(b));
}

TEST_F(EnumerationTest, ServiceFilter) {
  const auto lower = AddInstrument("lower", [](auto& c) { c.service = "zdusbdev"; });
  AddInstrument("other", [](auto& c) { c.service = "USBSTOR"; });
  AddInstrument("none", [](auto& c) { c.service.reset(); });
  const auto exact = AddInstrument("exact");
  USBDeviceInfoList filtered(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(filtered.Count(), 2u);
  EXPECT_EQ(PathAt(filtered, 0), Path(exact));
  EXPECT_EQ(PathAt(filtered, 1), Path(lower));
  for (const char* none : {"", static_cast<const char*>(nullptr)})
    EXPECT_EQ(USBDeviceInfoList(&kUsbDeviceInterfaceGuid, none, true).Count(), 4u);
}

// Only entries with both a socket and properties are listed; properties
// that cannot be read keep their error texts.
TEST_F(EnumerationTest, EntriesAndTheirPropertiesFiles) {
  const auto bare = AddInstrument("bare", [](auto& c) {
    c.location.reset();
    c.description = "";
  });
  const auto half = AddInstrument("half");
  ASSERT_EQ(platform::RemoveFile(sim_->PropertiesPath(half).c_str()), 0u);
  for (const char* name : {"/ghost.props", "/plain.sock", "/plain.props", "/.hidden.props.tmp"})
    WriteFile(ClassFolder() + name, "service=ZDUSBDEV\n");
  // CR LF line ends, the first of two keys counts, no trimming, no last line end.
  const auto props = AddInstrument("props");
  WriteFile(sim_->PropertiesPath(props),
            "junk line\r\nservice=zdUSBdev\r\nlocation= Port 3 \r\nservice=OTHER\n"
            "description=a=b");
  USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
  ASSERT_EQ(list.Count(), 2u);
  EXPECT_EQ(PathAt(list, 0), Path(bare));
  EXPECT_STREQ(list.At(0)->LocationInfo.Text(),
               "SetupDiGetDeviceRegistryProperty(): The data is invalid.");
  EXPECT_STREQ(list.At(0)->Description.Text(), "");
  EXPECT_EQ(PathAt(list, 1), Path(props));
  EXPECT_STREQ(list.At(1)->LocationInfo.Text(), " Port 3 ");
  EXPECT_STREQ(list.At(1)->Description.Text(), "a=b");
  EXPECT_TRUE(usbtest::ErrorText().empty());
}

// Each listing gives the properties file as it is now: replaced by rename
// (as the stand-in does), rewritten in place, removed and put back.
TEST_F(EnumerationTest, PropertiesFollowTheirFileFromListingToListing) {
  const auto a = AddInstrument("nv-a", [](auto& c) { c.description = "First"; });
  const std::string props = sim_->PropertiesPath(a);
  auto description = [] {
    USBDeviceInfoList list(&kUsbDeviceInterfaceGuid, kInstrumentService, true);
    return list.Count() == 1 ? std::string(list.At(0)->Description.Text()) : "(none)";
  };
  EXPECT_EQ(description(), "First");
  EXPECT_EQ(description(), "First");
  WriteFile(ClassFolder() + "/.nv-a.props.tmp", "service=ZDUSBDEV\ndescription=Renamed\n");
  ASSERT_EQ(std::rename((ClassFolder() + "/.nv-a.props.tmp").c_str(), props.c_str()), 0);
  EXPECT_EQ(description(), "Renamed");
  WriteFile(props, "service=ZDUSBDEV\ndescription=Rewritten in place\n");
  EXPECT_EQ(description(), "Rewritten in place");
  ASSERT_EQ(platform::RemoveFile(props.c_str()), 0u);
  EXPECT_EQ(description(), "(none)");
  WriteFile(props, "service=ZDUSBDEV\ndescription=Back\n");
  EXPECT_EQ(description(), "Back");
}

TEST_F(EnumerationTest, ClassQueryFailureIsReportedThroughTheMessageSink) {
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
  // The English half, its marker bytes removed.
  EXPECT_NE(boxes[0].find("Attention!"), std::string::npos);
  EXPECT_NE(boxes[0].find("The Kalto application is running on the computer. It automatically "
                          "opens USB devices connected to the computer."),
            std::string::npos);
  EXPECT_EQ(boxes[0].find_first_of("\x04|"), std::string::npos);
}

TEST(DeviceInfo, EntriesWithoutASetAreUnknownAndCompareByText) {
  const platform::DeviceInfoData record;
  ZdUSBDeviceInfo a(record, nullptr, nullptr), b(record, nullptr, nullptr);
  EXPECT_STREQ(a.DevicePath.Text(), "Unknown");
  EXPECT_TRUE(a.IsEqual(&b));
  b.LocationInfo = "unknown";  // case matters
  EXPECT_FALSE(a.IsEqual(&b));
  const Istr notAnEntry("Unknown");
  EXPECT_FALSE(a.IsEqual(&notAnEntry));
}

}  // namespace
