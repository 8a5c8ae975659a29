// The message routine, language selection, the catalogue, error texts,
// run-time procedures, load-time facts and the Windows version naming.
#include "base/messages.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <thread>
#include <vector>

#include "base/format.h"
#include "base/log.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace {

struct ShownBox {
  std::string text;
  std::string caption;
  uint32_t style;
};

std::vector<ShownBox> g_Boxes;
std::vector<std::string> g_LogLines;
int g_Button = platform::kIdOk;

int CaptureBox(const char* text, const char* caption, uint32_t style) {
  g_Boxes.push_back({text, caption, style});
  return g_Button;
}

void CaptureLog(const char* format, va_list args) {
  g_LogLines.push_back(VFormat(format, args));
}

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_Boxes.clear();
    g_LogLines.clear();
    g_Button = platform::kIdOk;
    previousBox_ = platform::SetMessageBoxHook(CaptureBox);
    previousPrint_ = SetPrintHook(CaptureLog);
  }
  void TearDown() override {
    platform::SetMessageBoxHook(previousBox_);
    SetPrintHook(previousPrint_);
  }
  platform::MessageBoxHook previousBox_ = nullptr;
  PrintHookFn previousPrint_ = nullptr;
};

TEST_F(MessageTest, MessageFromCatalogueIsShownAndLogged) {
  int result = Message("mf", 8385, "/data/a.txt", "No such file");
  EXPECT_EQ(result, platform::kIdOk);
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text, "Failed to open file \"/data/a.txt\":\nNo such file");
  EXPECT_EQ(g_Boxes[0].caption, "Error");
  EXPECT_EQ(g_Boxes[0].style, platform::kMbIconHand);
  ASSERT_EQ(g_LogLines.size(), 1u);
  EXPECT_EQ(g_LogLines[0], "[Error] Failed to open file \"/data/a.txt\":\nNo such file\n");
}

TEST_F(MessageTest, UnlinkedIdShowsNotLinkedText) {
  Message("m", 12345);
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text, "<Message string with resource id = 12345 not linked>");
}

TEST_F(MessageTest, NoMessageLettersShowAndLogNothing) {
  EXPECT_EQ(Message("sn", "text"), 0);
  EXPECT_EQ(Message("Vs", "text"), 0);
  EXPECT_TRUE(g_Boxes.empty());
  EXPECT_TRUE(g_LogLines.empty());
}

TEST_F(MessageTest, UnknownLetterOrMissingTextShowsMessage5008) {
  g_Button = platform::kIdCancel;
  EXPECT_EQ(Message("z"), 1);
  EXPECT_EQ(Message("tf", "caption only"), 1);
  ASSERT_EQ(g_Boxes.size(), 2u);
  for (const ShownBox& box : g_Boxes) {
    EXPECT_EQ(box.text, "<Message string with resource id = 5008 not linked>");
    EXPECT_EQ(box.caption, "NVDevices");
    EXPECT_EQ(box.style, platform::kMbIconHand | platform::kMbSetForeground);
  }
}

TEST_F(MessageTest, IconsCaptionsAndButton) {
  g_Button = platform::kIdCancel;
  EXPECT_EQ(Message("is", "Done|Готово"), platform::kIdCancel);
  EXPECT_EQ(Message("WS", "Careful"), platform::kIdCancel);  // letters are case-insensitive
  Message("wis", "both");
  Message("tys", "My caption|Заголовок", "body %d", 7);
  Message("sit", "info with caption", "Given");
  ASSERT_EQ(g_Boxes.size(), 5u);
  EXPECT_EQ(g_Boxes[0].caption, "Information");
  EXPECT_EQ(g_Boxes[0].text, "Done");
  EXPECT_EQ(g_Boxes[0].style, platform::kMbIconAsterisk);
  EXPECT_EQ(g_Boxes[1].caption, "Error");
  EXPECT_EQ(g_Boxes[1].style, platform::kMbIconExclamation);
  EXPECT_EQ(g_Boxes[2].style, platform::kMbIconAsterisk);  // "i" wins over "w"
  EXPECT_EQ(g_Boxes[3].caption, "My caption");
  EXPECT_EQ(g_Boxes[3].text, "body 7");
  EXPECT_EQ(g_Boxes[3].style, platform::kMbIconHand | platform::kMbTopmost);
  EXPECT_EQ(g_Boxes[4].caption, "Given");
  EXPECT_EQ(g_Boxes[4].style, platform::kMbIconAsterisk);
}

TEST_F(MessageTest, SkippedAndModuleArgumentsKeepTheOrder) {
  int dummy = 0;
  Message("#a*+gs", 1, &dummy, 2, 3, 4, "after %s", "skips");
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text, "after skips");
}

TEST_F(MessageTest, ErrorTextIsTheOneAtEntry) {
  platform::SetLastError(platform::kErrorFileNotFound);
  Message("sfe", "Cannot read '%s'", "x.ini");
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text, "Cannot read 'x.ini':\nThe system cannot find the file specified.");
}

TEST_F(MessageTest, ControlCharactersAreStrippedFromTheBoxOnly) {
  Message("s",
          "a\x04"
          "b\x06"
          "c\x07"
          "123456d");
  Message("s",
          "end\x07"
          "12");  // fewer than six characters after the 7
  ASSERT_EQ(g_Boxes.size(), 2u);
  EXPECT_EQ(g_Boxes[0].text, "abcd");
  EXPECT_EQ(g_Boxes[1].text, "end");
  // The log keeps the text as formatted.
  EXPECT_EQ(g_LogLines[0],
            "[Error] a\x04"
            "b\x06"
            "c\x07"
            "123456d\n");
}

TEST_F(MessageTest, TextIsCutAt16383Characters) {
  std::string longText(20000, 'x');
  Message("s", "%s", longText.c_str());
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text.size(), 16383u);
}

TEST_F(MessageTest, LongTextSurvivesTheCaptionWrappingTheRing) {
  // The text fills nearly the whole ring, so the default caption selected
  // after it starts the ring again over the text.
  std::string longText(kMessageRingSize - 5, 'x');
  Message("s", longText.c_str());
  ASSERT_EQ(g_Boxes.size(), 1u);
  EXPECT_EQ(g_Boxes[0].text, std::string(16383, 'x'));
  EXPECT_EQ(g_Boxes[0].caption, "Error");
}

TEST_F(MessageTest, ErrorBoxUsesModuleCaption) {
  ErrorBox("Duplicate %s", "thing");
  ShowMessage(platform::kMbIconExclamation, "%d%%", 50);
  ASSERT_EQ(g_Boxes.size(), 2u);
  EXPECT_EQ(g_Boxes[0].text, "Duplicate thing");
  EXPECT_EQ(g_Boxes[0].caption, "NVDevices");
  EXPECT_EQ(g_Boxes[0].style, platform::kMbIconHand | platform::kMbSetForeground);
  EXPECT_EQ(g_Boxes[1].text, "50%");
  EXPECT_TRUE(g_LogLines.empty());
}

std::string g_HookedText;
int HookedShow(uint32_t style, const char* text) {
  g_HookedText = text;
  return static_cast<int>(style);
}

TEST_F(MessageTest, ShowMessageHookIsReplaceable) {
  ShowMessageHookFn previous = SetShowMessageHook(HookedShow);
  EXPECT_EQ(ErrorBox("hooked %u", 3u), static_cast<int>(platform::kMbIconHand));
  EXPECT_EQ(g_HookedText, "hooked 3");
  EXPECT_TRUE(g_Boxes.empty());
  SetShowMessageHook(previous);
}

TEST(LanguageSelection, EnglishPartBarsAndMarkers) {
  EXPECT_STREQ(SelectLanguage("A||B|C"), "A|B");
  EXPECT_STREQ(SelectLanguage("plain"), "plain");
  EXPECT_STREQ(SelectLanguage("a|"), "a");
  EXPECT_STREQ(SelectLanguage("x</NAME/>y|z"), "xy");
  EXPECT_STREQ(SelectLanguage("open </ marker"), "open </ marker");
  EXPECT_STREQ(SelectLanguage(nullptr), "");
  // A small pointer value is a message id.
  EXPECT_STREQ(SelectLanguage(reinterpret_cast<const char*>(9564)), "m");

  SelectSecondLanguage(true);
  EXPECT_STREQ(SelectLanguage("A||B|C||D"), "C|D");
  EXPECT_STREQ(SelectLanguage("only english|"), "only english");
  SelectSecondLanguage(false);
}

TEST(LanguageSelection, RingKeepsRecentResultsAndWraps) {
  // A new thread starts with an empty ring of its own.
  std::thread([] {
    const char* first = SelectLanguage("first|1");
    const char* second = SelectLanguage("second|2");
    EXPECT_STREQ(first, "first");
    EXPECT_STREQ(second, "second");
    EXPECT_EQ(second, first + 6);
    // A result that does not fit behind the previous one starts the ring
    // again.
    std::string big(40000, 'b');
    const char* a = SelectLanguage(big.c_str());
    const char* b = SelectLanguage(big.c_str());
    EXPECT_EQ(a, second + 7);
    EXPECT_EQ(b, first);
    EXPECT_EQ(std::string(b).size(), 40000u);
    EXPECT_EQ(SelectLanguage("small"), b + 40001);
    std::string huge(100000, 'h');
    EXPECT_EQ(std::string(SelectLanguage(huge.c_str())).size(), kMessageRingSize - 1);
  }).join();
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
  const int ids[] = {6676, 5230, 8385, 8102, 5280, 8468, 6399, 9541, 9542, 9543, 9544,
                     9545, 9560, 9561, 9562, 9563, 9564, 9566, 9567, 9568, 9569};
  for (int id : ids) {
    const char* text = CatalogueText(static_cast<uint32_t>(id));
    ASSERT_NE(text, nullptr) << id;
    std::string full = text;
    size_t bar = full.find('|');
    ASSERT_NE(bar, std::string::npos) << id;
    // Every second part is Cyrillic in 1251 (bytes from 0xC0 up), no UTF-8.
    bool cyrillic = false;
    for (size_t i = bar + 1; i < full.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(full[i]);
      EXPECT_NE(c, 0xD0) << id;  // a UTF-8 lead byte of Cyrillic
      if (c >= 0xC0) cyrillic = true;
    }
    EXPECT_TRUE(cyrillic) << id;
  }
}

TEST(RunTimeProcedures, LookUpOnceAndCall) {
  RT_PROC<size_t, const char*> length("strlen", nullptr);  // the process itself
  ASSERT_TRUE(length.IsAvailable());
  EXPECT_EQ(length.ArgumentCount(), 1u);
  EXPECT_EQ(length.Call("four"), 4u);
  RT_PROC<int> missing("nvd_no_such_procedure", nullptr);
  EXPECT_FALSE(missing.IsAvailable());
  EXPECT_EQ(missing.Call(), 0);
  RT_PROC<int> noModule("anything", "nvd_no_such_module");
  EXPECT_FALSE(noModule.IsAvailable());
  // The Windows procedures are absent here.
  EXPECT_FALSE(g_WineGetVersion.IsAvailable());
  EXPECT_FALSE(UnderWine());
  EXPECT_FALSE(IsWow64());
  EXPECT_STREQ(g_GetUserDefaultLocaleName.Text(), "GetUserDefaultLocaleName");
  EXPECT_EQ(g_GetUserDefaultLocaleName.ArgumentCount(), 2u);
}

TEST(LoadTimeFacts, RecordedAtLoad) {
  // The test's main function runs on the thread that ran static
  // initialisation.
  EXPECT_EQ(MainThreadId(), platform::CurrentThreadId());
  EXPECT_TRUE(IsMainThread());
  bool otherIsMain = true;
  std::thread([&] { otherIsMain = IsMainThread(); }).join();
  EXPECT_FALSE(otherIsMain);
  EXPECT_EQ(std::string(StartupDirectory()), platform::CurrentDirectory());
  EXPECT_EQ(std::string(UserNameAtLoad()), platform::UserName().substr(0, 128));
  std::string folder = ProgramFolderAtLoad();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(platform::IsPathSeparator(folder.back()));
  EXPECT_EQ(std::string(HostProgramPath()), platform::HostExecutablePath());
  EXPECT_NE(std::string(HostProgramFileName()).find("test_base_messages"), std::string::npos);
  EXPECT_STREQ(ModuleName(), "NVDevices");
  EXPECT_STREQ(CurrentStartupSection(), "");
  EXPECT_STREQ(OSDescription(), platform::ReadSystemFacts().osDescription.c_str());
}

// A system that answers as a given Windows version.
struct FakeWindows : WindowsVersionProbe {
  uint32_t major, minor, servicePack, productType, build;
  const char* servicePackText;
  bool wow64;
  FakeWindows(uint32_t ma, uint32_t mi, uint32_t sp, uint32_t type, uint32_t b, const char* spText,
              bool w)
      : major(ma),
        minor(mi),
        servicePack(sp),
        productType(type),
        build(b),
        servicePackText(spText),
        wow64(w) {}
  bool Equals(Part part, uint32_t value) const override {
    switch (part) {
      case kMajor:
        return value == major;
      case kMinor:
        return value == minor;
      default:
        return value == servicePack;
    }
  }
  bool IsProductType(uint32_t type) const override { return type == productType; }
  uint32_t BuildNumber() const override { return build; }
  const char* ServicePackText() const override { return servicePackText; }
  bool IsWow64() const override { return wow64; }
};

std::string Describe(const FakeWindows& system, WindowsVersionInfo* info = nullptr) {
  return DescribeWindowsVersion(system, info).c_str();
}

TEST(WindowsVersionNaming, KnownAndUnknownVersions) {
  EXPECT_EQ(Describe({10, 0, 0, 1, 22631, "", false}),
            "Windows 11 [ver. 10.0.0], build = 22631, SP: '']");
  EXPECT_EQ(Describe({10, 0, 0, 1, 22631, "", true}),
            "Windows 11 [ver. 10.0.0], build = 22631, SP: '']");
  EXPECT_EQ(Describe({10, 0, 0, 1, 19045, "", true}),
            "Windows 10 x64 [ver. 10.0.0], build = 19045, SP: '']");
  EXPECT_EQ(Describe({6, 1, 1, 1, 7601, "Service Pack 1", false}),
            "Windows 7 [ver. 6.1.1], build = 7601, SP: 'Service Pack 1']");
  EXPECT_EQ(Describe({6, 3, 0, 3, 9600, "", false}),
            "Windows Server 2012 R2 [ver. 6.3.0], build = 9600, SP: '']");
  EXPECT_EQ(Describe({6, 3, 0, 1, 9600, "", false}),
            "Windows 8.1 [ver. 6.3.0], build = 9600, SP: '']");
  EXPECT_EQ(Describe({5, 2, 2, 1, 3790, "Service Pack 2", true}),
            "Windows XP Professional x64 [ver. 5.2.2], build = 3790, SP: 'Service Pack 2']");
  // A server edition the table does not name.
  EXPECT_EQ(Describe({5, 1, 1, 3, 2600, "", false}),
            "Windows Unknown [ver. 5.1.1], build = 2600, SP: '']");
  WindowsVersionInfo info;
  EXPECT_EQ(Describe({12, 3, 4, 2, 30000, "x", false}, &info),
            "Windows Unknown [ver. 12.3.4], build = 30000, SP: 'x']");
  EXPECT_EQ(info.productType, 2u);
  EXPECT_TRUE(info.atLeast62);
  Describe({6, 1, 0, 1, 7600, "", true}, &info);
  EXPECT_FALSE(info.atLeast62);
  EXPECT_TRUE(info.wow64);
  EXPECT_EQ(info.major, 6u);
  EXPECT_EQ(info.minor, 1u);
}

}  // namespace
