// Splitting addresses of URL form: the promises of url.h that the database
// address relies on, kept whatever the system's splitter does on its own.
#include <gtest/gtest.h>

#include <string>

#include "platform/url.h"

namespace {

// "scheme host user password port path extra", or "fails".
std::string Split(const char* text, uint32_t flags = 0) {
  platform::UrlParts p;
  if (!platform::CrackUrl(text, flags, p)) return "fails";
  return std::to_string(p.scheme) + " " + p.host + " " + p.user + " " + p.password + " " +
         std::to_string(p.port) + " " + p.path + " " + p.extra;
}

TEST(CrackUrl, SplitsPartsAndDecodesEachPartAfterTheSplit) {
  EXPECT_EQ(Split("https://u:p@db:3306/x?y#z"), "4 db u p 3306 /x ?y#z");
  // An escaped "@" or ":" stays inside its part.
  EXPECT_EQ(Split("https://%41dmin:p%40ss%3Aw@db/a%20b?q=%41", platform::kUrlDecode),
            "4 db Admin p@ss:w 443 /a b ?q=A");
  EXPECT_EQ(Split("https://%41dmin@db"), "4 db %41dmin  443  ");
  EXPECT_EQ(Split("https://[::1]:99/"), "4 ::1   99 / ");
}

TEST(CrackUrl, PortIsWrittenOrTheSchemesAndMustBeANumberUpTo65535) {
  EXPECT_EQ(Split("http://h"), "3 h   80  ");
  EXPECT_EQ(Split("ftp://h"), "1 h   21  ");
  EXPECT_EQ(Split("gopher://h"), "2 h   70  ");
  EXPECT_EQ(Split("https://h:/p"), "4 h   443 /p ");
  EXPECT_EQ(Split("https://h:0"), "4 h   0  ");
  EXPECT_EQ(Split("https://h:65535"), "4 h   65535  ");
  for (const char* text : {"https://h:65536", "https://h:99999", "https://h:12x", "https://h:-1"})
    EXPECT_EQ(Split(text), "fails") << text;
}

TEST(CrackUrl, FailsWithoutSchemeOrWhenAPartDoesNotFit) {
  EXPECT_EQ(Split("no scheme"), "fails");
  EXPECT_EQ(Split(""), "fails");
  EXPECT_NE(Split(("https://" + std::string(platform::kUrlPartSize - 1, 'h')).c_str()), "fails");
  EXPECT_EQ(Split(("https://" + std::string(platform::kUrlPartSize, 'h')).c_str()), "fails");
  EXPECT_EQ(Split(("https://h/" + std::string(platform::kUrlPartSize, 'p')).c_str()), "fails");
}

}  // namespace
