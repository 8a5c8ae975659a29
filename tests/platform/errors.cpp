// Error texts and the last error.
#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"

namespace {

TEST(ErrorTexts, AreSingleLinesAndLeaveTheLastErrorAlone) {
  // Callers take the last error, then its text, then report both: asking for
  // a text (even of an unknown number) must not change it.
  const uint32_t codes[] = {platform::kErrorFileNotFound, platform::kErrorSemTimeout,
                            platform::kErrorSharingViolation, platform::kErrorIoPending, 0xDEADu};
  for (uint32_t code : codes) {
    platform::SetLastError(platform::kErrorAccessDenied);
    const std::string text = platform::ErrorText(code);
    EXPECT_EQ(platform::LastError(), platform::kErrorAccessDenied) << code;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    EXPECT_EQ(text.empty(), code == 0xDEADu) << code;
  }
  platform::SetLastError(0);
}

}  // namespace
