// The library's start-up as a program linked with the device layer runs it:
// the deferred entries of equal priority run in start-up order.
#include <gtest/gtest.h>

#include "base/messages.h"
#include "device/registry.h"
#include "usb/source_names.h"

namespace {

TEST(Startup, SourceNamesFollowTheStartupOrder) {
  // The registry and the foundation's start-up bring every registration in.
  ASSERT_NE(DeviceRegistry::Instance(), nullptr);
  EXPECT_NE(MainThreadId(), 0u);
  ASSERT_EQ(SourceNameCount(), 2u);
  EXPECT_STREQ(SourceNameAt(0), "RUSBDev");
  EXPECT_STREQ(SourceNameAt(1), "DevList");
}

}  // namespace
