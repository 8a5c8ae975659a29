// The message routine, language selection, the catalogue, run-time
// procedures, load-time facts and the Windows version naming.
#include "base/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "base/support/base_test_support.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/thread.h"

namespace {

std::vector<std::string> g_LogLines;

std::string S(uint32_t style) {
  return std::to_string(style);
}

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_LogLines.clear();
    previousPrint_ = SetPrintHook(
        [](const char* format, va_list args) { g_LogLines.push_back(VFormat(format, args)); });
  }
  void TearDown() override { SetPrintHook(previousPrint_); }
  // The boxes shown so far, as "caption|text|style".
  static std::vector<std::string> Shown() {
    std::vector<std::string> out;
    for (const ShownBox& box : BoxCapture::Shown())
      out.push_back(box.caption + "|" + box.text + "|" + S(box.style));
    return out;
  }
  BoxCapture boxes_{platform::kIdCancel};
  PrintHookFn previousPrint_ = nullptr;
};

const std::string kHand = S(platform::kMbIconHand);
const std::string kAsterisk = S(platform::kMbIconAsterisk);

TEST_F(MessageTest, OptionLettersChooseTextCaptionAndIcon) {
  EXPECT_EQ(Message("mf", 8385, "/data/a.txt", "No such file"), platform::kIdCancel);
  Message("m", 12345);
  Message("is", "Done|Готово");
  Message("WS", "Careful");  // letters are case-insensitive
  Message("wis", "both");    // "i" wins over "w"
  Message("tys", "My caption|Заголовок", "body %d", 7);
  Message("sit", "info with caption", "Given");
  Message("r#a*+gs", 9541u, nullptr, nullptr, nullptr, nullptr, nullptr, "after %s", "skips");
  platform::SetLastError(platform::kErrorFileNotFound);
  Message("sfe", "Cannot read '%s'", "x.ini");
  EXPECT_EQ(Shown(),
            (std::vector<std::string>{
                "Error|Failed to open file \"/data/a.txt\":\nNo such file|" + kHand,
                "Error|<Message string with resource id = 12345 not linked>|" + kHand,
                "Information|Done|" + kAsterisk,
                "Error|Careful|" + S(platform::kMbIconExclamation),
                "Information|both|" + kAsterisk,
                "My caption|body 7|" + S(platform::kMbIconHand | platform::kMbTopmost),
                "Given|info with caption|" + kAsterisk,
                std::string(ResourceText(9541)) + "|after skips|" + kHand,
                "Error|Cannot read 'x.ini':\nThe system cannot find the file specified.|" + kHand,
            }));
  ASSERT_EQ(g_LogLines.size(), 9u);
  EXPECT_EQ(g_LogLines[0], "[Error] Failed to open file \"/data/a.txt\":\nNo such file\n");
}

TEST_F(MessageTest, NoMessageLettersAndUnknownLetters) {
  EXPECT_EQ(Message("sn", "text"), 0);
  EXPECT_EQ(Message("Vs", "text"), 0);
  EXPECT_TRUE(Shown().empty());
  EXPECT_TRUE(g_LogLines.empty());
  // An unknown letter or a missing text shows message 5008 and answers 1.
  EXPECT_EQ(Message("z"), 1);
  EXPECT_EQ(Message("tf", "caption only"), 1);
  const std::string unknown = "NVDevices|<Message string with resource id = 5008 not linked>|" +
                              S(platform::kMbIconHand | platform::kMbSetForeground);
  EXPECT_EQ(Shown(), (std::vector<std::string>{unknown, unknown}));
}

TEST_F(MessageTest, ControlCharactersAreStrippedFromTheBoxOnly) {
  Message("s", "a\004b\006c\007123456d");
  Message("s", "end\00712");  // fewer than six characters after the 7
  ASSERT_EQ(BoxCapture::Shown().size(), 2u);
  EXPECT_EQ(BoxCapture::Shown()[0].text, "abcd");
  EXPECT_EQ(BoxCapture::Shown()[1].text, "end");
  EXPECT_EQ(g_LogLines[0], "[Error] a\004b\006c\007123456d\n");
}

TEST_F(MessageTest, LongTextIsCutAndSurvivesTheCaptionWrappingTheRing) {
  // The text fills nearly the whole ring, so the default caption selected
  // after it starts the ring again over the text.
  Message("s", std::string(kMessageRingSize - 5, 'x').c_str());
  ASSERT_EQ(BoxCapture::Shown().size(), 1u);
  EXPECT_EQ(BoxCapture::Shown()[0].text, std::string(16383, 'x'));
  EXPECT_EQ(BoxCapture::Shown()[0].caption, "Error");
}

TEST_F(MessageTest, ErrorBoxAndItsHook) {
  ErrorBox("Duplicate %s", "thing");
  static std::string hooked;
  ShowMessageHookFn previous = SetShowMessageHook([](uint32_t style, const char* text) {
    hooked = text;
    return static_cast<int>(style);
  });
  EXPECT_EQ(ErrorBox("hooked %u", 3u), static_cast<int>(platform::kMbIconHand));
  SetShowMessageHook(previous);
  EXPECT_EQ(hooked, "hooked 3");
  EXPECT_EQ(Shown(),
            (std::vector<std::string>{"NVDevices|Duplicate thing|" +
                                      S(platform::kMbIconHand | platform::kMbSetForeground)}));
  EXPECT_TRUE(g_LogLines.empty());
}

TEST(LanguageSelection, EnglishPartBarsAndMarkers) {
  const char* const cases[][2] = {{"A||B|C", "A|B"},
                                  {"plain", "plain"},
                                  {"a|", "a"},
                                  {"x</NAME/>y|z", "xy"},
                                  {"open </ m", "open </ m"}};
  for (const auto& c : cases)
    EXPECT_STREQ(SelectLanguage(c[0]), c[1]) << c[0];
  EXPECT_STREQ(SelectLanguage(nullptr), "");
  // A small pointer value is a message id.
  EXPECT_STREQ(SelectLanguage(reinterpret_cast<const char*>(9564)), "m");

  SelectSecondLanguage(true);
  EXPECT_STREQ(SelectLanguage("A||B|C||D"), "C|D");
  EXPECT_STREQ(SelectLanguage("only english|"), "only english");
  SelectSecondLanguage(false);
}

TEST(LanguageSelection, RecentResultsStayValidAndLongOnesAreCut) {
  std::thread([] {  // a ring of its own
    const char* first = SelectLanguage("first|1");
    const char* second = SelectLanguage("second|2");
    EXPECT_STREQ(first, "first");
    EXPECT_STREQ(second, "second");
    // A result that does not fit behind the previous one starts the ring
    // again, whole.
    const std::string big(40000, 'b');
    EXPECT_TRUE(SelectLanguage(big.c_str()) == big);
    const char* wrapped = SelectLanguage(big.c_str());
    EXPECT_EQ(wrapped, first);
    EXPECT_TRUE(wrapped == big);
    EXPECT_EQ(std::strlen(SelectLanguage(std::string(100000, 'h').c_str())), kMessageRingSize - 1);
  })
      .join();
}

TEST(Catalogue, EntriesAndTheirSecondParts) {
  EXPECT_STREQ(ResourceText(5230), "Unable to create file \"%s\"");
  EXPECT_STREQ(ResourceText(9543), " or reinstall the program into a folder other than \"%s\".");
  EXPECT_STREQ(ResourceText(9565), "");  // between milli and kilo: no entry
  EXPECT_STREQ(ResourceText(5008), "");
  // Windows-1251 bytes: the micro sign is 0xB5, "дн" is E4 ED.
  EXPECT_STREQ(ResourceText(9563), "\xB5");
  EXPECT_STREQ(CatalogueText(9545), "d|\xE4\xED");
  EXPECT_EQ(CatalogueText(1), nullptr);
  for (int id : {6676, 5230, 8385, 8102, 5280, 8468, 6399, 9541, 9542, 9543, 9544,
                 9545, 9560, 9561, 9562, 9563, 9564, 9566, 9567, 9568, 9569}) {
    const char* text = CatalogueText(static_cast<uint32_t>(id));
    ASSERT_NE(text, nullptr) << id;
    const char* second = std::strchr(text, '|');
    ASSERT_NE(second, nullptr) << id;
    // Every second part is Cyrillic in 1251 (bytes from 0xC0 up), no UTF-8.
    EXPECT_EQ(std::strchr(second, '\xD0'), nullptr) << id;
    EXPECT_TRUE(std::any_of(second, second + std::strlen(second), [](char c) {
      return static_cast<unsigned char>(c) >= 0xC0;
    })) << id;
  }
}

TEST(RunTimeProceduresAndLoadTimeFacts, LookedUpAndRecordedOnce) {
#ifdef _WIN32
  // A Windows program exports nothing itself: the C library's DLL, present
  // on every Windows system.
  RT_PROC<size_t, const char*> length("strlen", "msvcrt");
#else
  RT_PROC<size_t, const char*> length("strlen", nullptr);  // the process itself
#endif
  ASSERT_TRUE(length.IsAvailable());
  EXPECT_EQ(length.Call("four"), 4u);
  RT_PROC<int> missing("nvd_no_such_procedure", nullptr);
  EXPECT_FALSE(missing.IsAvailable());
  EXPECT_EQ(missing.Call(), 0);
  EXPECT_FALSE(RT_PROC<int>("anything", "nvd_no_such_module").IsAvailable());
#ifdef _WIN32
  // Recorded at load from ntdll; under Wine the version text is there too.
  RT_PROC<const char*> wineVersion("wine_get_version", "ntdll");
  EXPECT_EQ(UnderWine(), wineVersion.IsAvailable());
  if (UnderWine()) {
    EXPECT_NE(std::strlen(wineVersion.Call()), 0u);
  }
#else
  EXPECT_FALSE(UnderWine());                               // the Windows procedures are absent here
#endif

  // The test's main function runs on the thread that ran static
  // initialisation.
  EXPECT_TRUE(IsMainThread());
  bool otherIsMain = true;
  std::thread([&] { otherIsMain = IsMainThread(); }).join();
  EXPECT_FALSE(otherIsMain);
  const std::string folder = ProgramFolderAtLoad();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(platform::IsPathSeparator(folder.back()));
  EXPECT_NE(std::string(HostProgramFileName()).find("test_base_messages"), std::string::npos);
}

// A system that answers as a given Windows version.
struct WindowsFacts {
  uint32_t major, minor, servicePack, productType, build;
  const char* servicePackText;
  bool wow64;
};
struct FakeWindows : WindowsVersionProbe {
  explicit FakeWindows(const WindowsFacts& facts) : f(facts) {}
  bool Equals(Part part, uint32_t value) const override {
    return value == (part == kMajor ? f.major : part == kMinor ? f.minor : f.servicePack);
  }
  bool IsProductType(uint32_t type) const override { return type == f.productType; }
  uint32_t BuildNumber() const override { return f.build; }
  const char* ServicePackText() const override { return f.servicePackText; }
  bool IsWow64() const override { return f.wow64; }
  WindowsFacts f;
};

TEST(WindowsVersionNaming, KnownAndUnknownVersions) {
  const struct {
    WindowsFacts facts;
    const char* expected;
  } cases[] = {
      {{10, 0, 0, 1, 22631, "", true}, "Windows 11 [ver. 10.0.0], build = 22631, SP: '']"},
      {{10, 0, 0, 1, 19045, "", true}, "Windows 10 x64 [ver. 10.0.0], build = 19045, SP: '']"},
      {{6, 1, 1, 1, 7601, "SP1", false}, "Windows 7 [ver. 6.1.1], build = 7601, SP: 'SP1']"},
      {{6, 3, 0, 3, 9600, "", false}, "Windows Server 2012 R2 [ver. 6.3.0], build = 9600, SP: '']"},
      // A server edition the table does not name, and a future version.
      {{5, 1, 1, 3, 2600, "", false}, "Windows Unknown [ver. 5.1.1], build = 2600, SP: '']"},
      {{12, 3, 4, 2, 30000, "x", false}, "Windows Unknown [ver. 12.3.4], build = 30000, SP: 'x']"},
  };
  WindowsVersionInfo info;
  for (const auto& c : cases) {
    EXPECT_STREQ(DescribeWindowsVersion(FakeWindows(c.facts), &info).c_str(), c.expected);
    EXPECT_EQ(info.atLeast62, c.facts.major > 6 || (c.facts.major == 6 && c.facts.minor >= 2));
  }
}

}  // namespace
