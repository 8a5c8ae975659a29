// The library log: opening, backup and numbered names, the header, thread
// markers, the cut-off, and the hooks around it.
#include "base/log.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/messages.h"
#include "base/numbers.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    folder_ = (fs::path(platform::TempFolder()) /
               ("nvd_log_" + std::to_string(platform::CurrentProcessId()) + "_" +
                std::to_string(counter++)))
                  .string();
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    logPath_ = (fs::path(folder_) / "NVDevices.log").string();
    CloseLog();
    SetLogBaseName(logPath_.c_str());
  }
  void TearDown() override {
    CloseLog();
    SetLogBaseName(kDefaultLogBaseName);
    SetLogCutOff(true);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  std::string folder_;
  std::string logPath_;
};

TEST_F(LogTest, FirstEntryCreatesTheFileWithItsHeader) {
  EXPECT_STREQ(LogPath(), "");
  LogPrint("first entry %d %I64u\n", 5, static_cast<uint64_t>(1) << 40);
  EXPECT_EQ(std::string(LogPath()), logPath_);
  const std::vector<std::string> lines = Lines(ReadFile(logPath_));
  // Title, blank line, the 27-line block, the entry.
  ASSERT_EQ(lines.size(), 30u);
  EXPECT_EQ(lines[0].rfind("NVDevices Log File    ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "");
  const std::vector<std::string> block(lines.begin() + 2, lines.begin() + 29);
  EXPECT_EQ(block[0], "   NVDevices build:     1.00");
  EXPECT_EQ(block[1], "   NVDevices version:   1.00");
  EXPECT_NE(block[2].find(" date:  "), std::string::npos);
  EXPECT_NE(block[2].find(HostProgramFileName()), std::string::npos);
  EXPECT_EQ(block[3], "Platform:               x64");
  EXPECT_EQ(block[4], std::string("Compiled:               ") + platform::CompilerDescription());
  EXPECT_EQ(block[5], "Debug:                  0");
  EXPECT_EQ(block[6], "");
  EXPECT_EQ(block[7], std::string("OS:                     ") + OSDescription());
  EXPECT_EQ(block[8].rfind("Screen:                 ", 0), 0u);
  EXPECT_NE(block[8].find(", DPI: "), std::string::npos);
  EXPECT_EQ(block[9], "Gadget/Button:          " + std::to_string(GadgetSize()) + "/" +
                          std::to_string(ButtonSize()));
  EXPECT_EQ(block[10].rfind("System Language Id:     0x", 0), 0u);
  EXPECT_EQ(block[11].rfind("User Language Id:       0x", 0), 0u);
  EXPECT_EQ(block[12].rfind("System Default CP:      ", 0), 0u);
  EXPECT_EQ(block[13].rfind("User locale:            ", 0), 0u);
  EXPECT_EQ(block[14].rfind("RAM Total/Free:         ", 0), 0u);
  EXPECT_EQ(block[14].substr(block[14].size() - 3), " MB");
  EXPECT_NE(block[14].find('/', 10), std::string::npos);
  EXPECT_EQ(block[15].rfind("Number of processors:   ", 0), 0u);
  EXPECT_EQ(block[16].rfind("Battery:                ", 0), 0u);
  EXPECT_EQ(block[17], std::string("User:                   ") + UserNameAtLoad());
  EXPECT_EQ(block[18].rfind("IsUserAnAdmin:          ", 0), 0u);
  EXPECT_EQ(block[19].rfind("UAC virtualization:     ", 0), 0u);
  char expected[80];
  std::snprintf(expected, sizeof expected, "Process Id:             %u = %X",
                platform::CurrentProcessId(), platform::CurrentProcessId());
  EXPECT_EQ(block[20], expected);
  std::snprintf(expected, sizeof expected, "Main thread Id:         %u = %X", MainThreadId(),
                MainThreadId());
  EXPECT_EQ(block[21], expected);
  EXPECT_EQ(block[22], std::string("Startup dir:            \"") + StartupDirectory() + "\"");
  EXPECT_EQ(block[23], "Command line:           \"" + platform::CommandLine() + "\"");
  EXPECT_EQ(block[24], "");
  EXPECT_EQ(block[25], "");
  EXPECT_EQ(block[26], "");
  char entry[80];
  std::snprintf(entry, sizeof entry, "first entry 5 %llu", 1ull << 40);
  EXPECT_EQ(lines[29], entry);
}

TEST_F(LogTest, InstalledPatchesAreListed) {
  WriteFile((fs::path(folder_) / "Patches.ini").string(),
            "P-101\tFixes the reader\nno tab here\nP-102\tSecond\textra field\n");
  platform::SetEnvironment("*SystemPath*", folder_.c_str());
  LogPrint("entry\n");
  platform::SetEnvironment("*SystemPath*", nullptr);
  const std::string text = ReadFile(logPath_);
  EXPECT_NE(text.find("\"\n\n----- Installed patches -----\n\"P-101\", Fixes the reader\n"
                      "\"P-102\", Second\n\n\nentry\n"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, PreviousLogBecomesTheBackup) {
  WriteFile(logPath_, "the previous run\n");
  WriteFile((fs::path(folder_) / "$NVDevices.log").string(), "an older backup\n");
  LogPrint("new run\n");
  EXPECT_EQ(ReadFile((fs::path(folder_) / "$NVDevices.log").string()), "the previous run\n");
  const std::string text = ReadFile(logPath_);
  EXPECT_EQ(text.find("the previous run"), std::string::npos);
  EXPECT_NE(text.find("new run\n"), std::string::npos);
}

TEST_F(LogTest, LogHeldByAnotherProcessMovesToNumberedName) {
  WriteFile(logPath_, "held by someone else\n");
  platform::ForeignFileHold hold(logPath_.c_str());
  ASSERT_TRUE(hold.IsHeld());
  LogPrint("numbered\n");
  const std::string numbered = (fs::path(folder_) / "NVDevices-0001.log").string();
  EXPECT_EQ(std::string(LogPath()), numbered);
  EXPECT_NE(ReadFile(numbered).find("numbered\n"), std::string::npos);
  EXPECT_EQ(ReadFile(logPath_), "held by someone else\n");
  EXPECT_FALSE(fs::exists(fs::path(folder_) / "$NVDevices.log"));

  // The next process finds NVDevices-0001.log and backs it up under its own
  // backup name.
  CloseLog();
  LogPrint("again\n");
  EXPECT_EQ(std::string(LogPath()), numbered);
  EXPECT_NE(ReadFile((fs::path(folder_) / "$NVDevices-0001.log").string()).find("numbered\n"),
            std::string::npos);
}

TEST_F(LogTest, ThreadSwitchesAreMarked) {
  LogPrint("main 1\n");
  std::thread([] { LogPrint("a 1\n"); }).join();
  std::thread([] { LogPrint("b 1\n"); }).join();
  std::thread([] { LogPrint("c 1\n"); }).join();
  LogPrint("main 2\n");
  LogPrint("main 3\n");
  const std::string text = ReadFile(logPath_);
  const size_t start = text.find("main 1\n");
  ASSERT_NE(start, std::string::npos);
  // Away from the main thread: no marker; every other change: "*".
  EXPECT_EQ(text.substr(start), "main 1\na 1\n*\nb 1\n*\nc 1\n*\nmain 2\nmain 3\n");
}

TEST_F(LogTest, TwoThreadsAlternating) {
  LogPrint("main\n");
  std::atomic<int> turn{0};
  auto worker = [&turn](int me, const char* name) {
    for (int round = 0; round < 3; ++round) {
      while (turn.load() != me)
        std::this_thread::yield();
      LogPrint("%s %d\n", name, round);
      turn.store(1 - me);
    }
  };
  std::thread a(worker, 0, "a");
  std::thread b(worker, 1, "b");
  a.join();
  b.join();
  const std::string text = ReadFile(logPath_);
  EXPECT_EQ(text.substr(text.find("main\n")),
            "main\na 0\n*\nb 0\n*\na 1\n*\nb 1\n*\na 2\n*\nb 2\n");
}

// Fills the log with a big entry so that it is exactly `size` bytes long.
std::string FillTo(const std::string& path, uint64_t size, char seed) {
  const uint64_t length = fs::file_size(path);
  std::string filler(size - length, ' ');
  for (size_t i = 0; i < filler.size(); ++i)
    filler[i] = static_cast<char>('a' + (seed + i / 4096) % 26);
  filler.back() = '\n';
  LogPrint("%s", filler.c_str());
  EXPECT_EQ(fs::file_size(path), size);
  return ReadFile(path);
}

TEST_F(LogTest, CutOffKeepsTheHeaderAndTheNewestText) {
  LogPrint("first\n");
  const std::string before = ReadFile(logPath_);
  const std::string header = before.substr(0, before.find("first\n"));

  const std::string old = FillTo(logPath_, kLogCutOffLimit + 10, 0);
  LogPrint("newest entry\n");
  std::string text = ReadFile(logPath_);
  const std::string cutLine = header + "[Cut off: 4,194,314 bytes]\n\n";
  ASSERT_EQ(text.rfind(cutLine, 0), 0u);
  EXPECT_EQ(text.size(), cutLine.size() + kLogKeptBytes + 13);
  EXPECT_EQ(text.substr(cutLine.size(), kLogKeptBytes), old.substr(old.size() - kLogKeptBytes));
  EXPECT_EQ(text.substr(text.size() - 13), "newest entry\n");
  EXPECT_EQ(LogTotalCut(), 4194314u);

  // The second cut reports the running total.
  FillTo(logPath_, kLogCutOffLimit + 10, 7);
  LogPrint("after the second cut\n");
  text = ReadFile(logPath_);
  EXPECT_EQ(text.rfind(header + "[Cut off: 8,388,628 bytes]\n\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 21), "after the second cut\n");
  EXPECT_EQ(LogTotalCut(), 8388628u);
}

TEST_F(LogTest, NoCutAtTheLimitOrWhenSwitchedOff) {
  LogPrint("first\n");
  FillTo(logPath_, kLogCutOffLimit, 1);
  LogPrint("x\n");
  EXPECT_EQ(fs::file_size(logPath_), static_cast<uintmax_t>(kLogCutOffLimit) + 2);
  SetLogCutOff(false);
  LogPrint("y\n");
  EXPECT_EQ(fs::file_size(logPath_), static_cast<uintmax_t>(kLogCutOffLimit) + 4);
  SetLogCutOff(true);
  LogPrint("z\n");
  EXPECT_LT(fs::file_size(logPath_), static_cast<uintmax_t>(kLogKeptBytes) + 8192);
}

TEST_F(LogTest, FormFeedEntriesAreNotWritten) {
  LogPrint("\fnot written\n");
  EXPECT_STREQ(LogPath(), "");  // not even opened
  LogPrint("written\n");
  LogPrint("\fhidden %d\n", 1);
  LogDebugPrint("debug %s\n", "line");
  const std::string text = ReadFile(logPath_);
  EXPECT_EQ(text.find("not written"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_EQ(text.substr(text.find("written\n")), "written\ndebug line\n");
  EXPECT_TRUE(DebugOutputEnabled());
}

TEST_F(LogTest, DeviceHooks) {
  DeviceErrorOutput("device failed");
  DeviceInfoOutput("info line\n");
  const std::string text = ReadFile(logPath_);
  EXPECT_NE(text.find("Error: device failed\ninfo line\n"), std::string::npos);
}

TEST_F(LogTest, UnopenableLogIsRetriedOnTheNextEntry) {
  // A folder that cannot be created (a file is in the way).
  const std::string blocker = (fs::path(folder_) / "blocker").string();
  WriteFile(blocker, "x");
  const std::string badPath = (fs::path(blocker) / "NVDevices.log").string();
  SetLogBaseName(badPath.c_str());
  LogPrint("lost\n");
  EXPECT_STREQ(LogPath(), "");
  SetLogBaseName(logPath_.c_str());
  LogPrint("kept\n");
  EXPECT_EQ(std::string(LogPath()), logPath_);
  const std::string text = ReadFile(logPath_);
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_NE(text.find("kept\n"), std::string::npos);
}

TEST_F(LogTest, NullBaseNameDisablesTheLog) {
  SetLogBaseName(nullptr);
  LogPrint("dropped\n");
  EXPECT_STREQ(LogPath(), "");
  EXPECT_TRUE(fs::is_empty(folder_));
}

TEST_F(LogTest, BaseNameWithoutFolderGoesToTheStartupDirectory) {
  const std::string name = "nvd_log_test_" + std::to_string(platform::CurrentProcessId());
  SetLogBaseName(name.c_str());
  LogPrint("in the start-up directory\n");
  const std::string expected = (fs::path(StartupDirectory()) / (name + ".log")).string();
  EXPECT_EQ(std::string(LogPath()), expected);
  CloseLog();
  fs::remove(expected);
}

std::string g_Title = "Custom";
const char* CustomTitle() {
  return g_Title.c_str();
}

TEST_F(LogTest, TitleHookNamesTheLog) {
  LogTitleHookFn previous = SetLogTitleHook(CustomTitle);
  LogPrint("entry\n");
  SetLogTitleHook(previous);
  EXPECT_EQ(ReadFile(logPath_).rfind("Custom Log File    ", 0), 0u);
}

TEST_F(LogTest, UnhandledExceptionIsLoggedAndEndsTheProcess) {
  EXPECT_EXIT(
      {
        LogPrint("before\n");
        std::terminate();
      },
      ::testing::ExitedWithCode(255), "");
  const std::string text = ReadFile(logPath_);
  EXPECT_NE(text.find("before\nException...\n"), std::string::npos) << text;
}

}  // namespace
