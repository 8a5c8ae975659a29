// The library log: opening, backup and numbered names, the header, thread
// markers, the cut-off, and the hooks around it.
#include "base/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/format.h"
#include "base/messages.h"
#include "base/numbers.h"
#include "base/support/base_test_support.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/thread.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

// The log is a text-mode stream: on Windows each "\n" written through it is
// "\r\n" on disk. The text as a text-mode read gives it back ("\r\n" to
// "\n"; a cut-off header written into the file directly has plain "\n").
std::string TextOf(const std::string& bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != '\r' || i + 1 == bytes.size() || bytes[i + 1] != '\n') text += bytes[i];
  return text;
}

// The bytes a text written through the log stream takes on disk; the file
// shows which line ends the stream writes (its header has several lines).
std::string OnDisk(const std::string& path, const std::string& text) {
  if (ReadWholeFile(path).find("\r\n") == std::string::npos) return text;
  std::string bytes;
  for (char c : text)
    bytes += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return bytes;
}

// The log goes to NVDevices.log in a scratch folder.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CloseLog();
    SetLogBaseName(logPath_.c_str());
  }
  void TearDown() override {
    CloseLog();
    SetLogBaseName(kDefaultLogBaseName);
    SetLogCutOff(true);
  }
  std::string Log() const { return TextOf(ReadWholeFile(logPath_)); }

  ScratchFolder folder_;
  const std::string logPath_ = folder_.In("NVDevices.log");
};

TEST_F(LogTest, FirstEntryCreatesTheFileWithItsHeader) {
  EXPECT_STREQ(LogPath(), "");
  LogPrint("first entry %d %I64u\n", 5, static_cast<uint64_t>(1) << 40);
  EXPECT_EQ(std::string(LogPath()), logPath_);
  const std::vector<std::string> lines = Lines(Log());
  // Title, blank line, the 27-line block (28 under Wine), the entry.
  const size_t wine = UnderWine() ? 1 : 0;
  ASSERT_EQ(lines.size(), 30u + wine);
  EXPECT_EQ(lines[0].rfind("NVDevices Log File    ", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "");
  // Exact lines, and prefixes (ending in '*') where the value is the machine's.
  const uint32_t process = platform::CurrentProcessId(), thread = MainThreadId();
  std::vector<std::string> block = {
      "   NVDevices build:     1.00",
      "   NVDevices version:   1.00",
      "*",  // "<program> date:  <build date>"
      "Platform:               x64",
      std::string("Compiled:               ") + platform::CompilerDescription(),
      "Debug:                  0",
      "",
      std::string("OS:                     ") + OSDescription(),
      "Screen:                 *",
      "Gadget/Button:          " + std::to_string(GadgetSize()) + "/" +
          std::to_string(ButtonSize()),
      "System Language Id:     0x*",
      "User Language Id:       0x*",
      "System Default CP:      *",
      "User locale:            *",
      "RAM Total/Free:         *",
      "Number of processors:   *",
      "Battery:                *",
      std::string("User:                   ") + UserNameAtLoad(),
      "IsUserAnAdmin:          *",
      "UAC virtualization:     *",
      Format("Process Id:             %u = %X", process, process),
      Format("Main thread Id:         %u = %X", thread, thread),
      std::string("Startup dir:            \"") + StartupDirectory() + "\"",
      "Command line:           \"" + platform::CommandLine() + "\"",
      "",
      "",
      ""};
  // Under Wine a line says so before the screen line.
  if (wine != 0) block.insert(block.begin() + 8, "*** Working under Wine ***");
  ASSERT_EQ(block.size(), 27u + wine);
  for (size_t i = 0; i < block.size(); ++i) {
    const std::string& want = block[i];
    const std::string& line = lines[i + 2];
    if (!want.empty() && want.back() == '*')
      EXPECT_EQ(line.rfind(want.substr(0, want.size() - 1), 0), 0u) << line;
    else
      EXPECT_EQ(line, want);
  }
  EXPECT_NE(lines[4].find(std::string(HostProgramFileName()) + " date:  "), std::string::npos);
  EXPECT_NE(lines[10 + wine].find(", DPI: "), std::string::npos);
  EXPECT_EQ(lines[16 + wine].substr(lines[16 + wine].size() - 3), " MB");
  EXPECT_EQ(lines.back(), "first entry 5 1099511627776");
}

TEST_F(LogTest, InstalledPatchesAreListed) {
  WriteWholeFile(folder_.In("Patches.ini"),
                 "P-101\tFixes the reader\nno tab here\nP-102\tSecond\textra field\n");
  platform::SetEnvironment("*SystemPath*", folder_.Path().c_str());
  LogPrint("entry\n");
  platform::SetEnvironment("*SystemPath*", nullptr);
  const std::string text = Log();
  EXPECT_NE(text.find("\"\n\n----- Installed patches -----\n\"P-101\", Fixes the reader\n"
                      "\"P-102\", Second\n\n\nentry\n"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, BackupAndNumberedNames) {
  WriteWholeFile(logPath_, "the previous run\n");
  WriteWholeFile(folder_.In("$NVDevices.log"), "an older backup\n");
  LogPrint("new run\n");
  EXPECT_EQ(ReadWholeFile(folder_.In("$NVDevices.log")), "the previous run\n");
  EXPECT_EQ(Log().find("the previous run"), std::string::npos);
  EXPECT_NE(Log().find("new run\n"), std::string::npos);

  // A log held by another process: the next free numbered name, and the held
  // log and its backup stay as they are.
  CloseLog();
  platform::ForeignFileHold hold(logPath_.c_str());
  ASSERT_TRUE(hold.IsHeld());
  const std::string held = Log();
  LogPrint("numbered\n");
  const std::string numbered = folder_.In("NVDevices-0001.log");
  EXPECT_EQ(std::string(LogPath()), numbered);
  EXPECT_NE(TextOf(ReadWholeFile(numbered)).find("numbered\n"), std::string::npos);
  EXPECT_EQ(Log(), held);
  EXPECT_EQ(ReadWholeFile(folder_.In("$NVDevices.log")), "the previous run\n");

  // The next process finds NVDevices-0001.log and backs it up under its own
  // backup name.
  CloseLog();
  LogPrint("again\n");
  EXPECT_EQ(std::string(LogPath()), numbered);
  EXPECT_NE(TextOf(ReadWholeFile(folder_.In("$NVDevices-0001.log"))).find("numbered\n"),
            std::string::npos);
}

TEST_F(LogTest, ThreadSwitchesAreMarked) {
  LogPrint("main 1\n");
  std::thread([] { LogPrint("a 1\n"); }).join();
  std::thread([] { LogPrint("b 1\n"); }).join();
  std::thread([] { LogPrint("c 1\n"); }).join();
  LogPrint("main 2\n");
  LogPrint("main 3\n");
  const std::string text = Log();
  const size_t start = text.find("main 1\n");
  ASSERT_NE(start, std::string::npos);
  // Away from the main thread: no marker; every other change: "*".
  EXPECT_EQ(text.substr(start), "main 1\na 1\n*\nb 1\n*\nc 1\n*\nmain 2\nmain 3\n");
}

// Fills the log with a big entry so that it is exactly `size` bytes long;
// returns the file's bytes.
std::string FillTo(const std::string& path, uint64_t size, char seed) {
  const uint64_t length = fs::file_size(path);
  const uint64_t lineEnd = OnDisk(path, "\n").size();
  std::string filler(size - length - (lineEnd - 1), ' ');
  for (size_t i = 0; i < filler.size(); ++i)
    filler[i] = static_cast<char>('a' + (seed + i / 4096) % 26);
  filler.back() = '\n';
  LogPrint("%s", filler.c_str());
  EXPECT_EQ(fs::file_size(path), size);
  return ReadWholeFile(path);
}

TEST_F(LogTest, CutOffKeepsTheHeaderAndTheNewestText) {
  LogPrint("first\n");
  const std::string before = Log();
  const std::string header = before.substr(0, before.find("first\n"));

  // The cut-off header goes into the file as it is held (plain "\n"), the
  // kept bytes and later entries as the stream wrote them.
  const std::string old = FillTo(logPath_, kLogCutOffLimit + 10, 0);
  LogPrint("newest entry\n");
  const std::string newest = OnDisk(logPath_, "newest entry\n");
  std::string bytes = ReadWholeFile(logPath_);
  const std::string cutLine = header + "[Cut off: 4,194,314 bytes]\n\n";
  ASSERT_EQ(bytes.rfind(cutLine, 0), 0u);
  EXPECT_EQ(bytes.size(), cutLine.size() + kLogKeptBytes + newest.size());
  EXPECT_EQ(bytes.substr(cutLine.size(), kLogKeptBytes), old.substr(old.size() - kLogKeptBytes));
  EXPECT_EQ(bytes.substr(bytes.size() - newest.size()), newest);
  EXPECT_EQ(LogTotalCut(), 4194314u);

  // The second cut reports the running total.
  FillTo(logPath_, kLogCutOffLimit + 10, 7);
  LogPrint("after the second cut\n");
  const std::string text = Log();
  EXPECT_EQ(text.rfind(header + "[Cut off: 8,388,628 bytes]\n\n", 0), 0u);
  EXPECT_EQ(text.substr(text.size() - 21), "after the second cut\n");
  EXPECT_EQ(LogTotalCut(), 8388628u);
}

TEST_F(LogTest, NoCutAtTheLimitOrWhenSwitchedOff) {
  LogPrint("first\n");
  FillTo(logPath_, kLogCutOffLimit, 1);
  const uintmax_t entry = OnDisk(logPath_, "x\n").size();
  LogPrint("x\n");
  EXPECT_EQ(fs::file_size(logPath_), static_cast<uintmax_t>(kLogCutOffLimit) + entry);
  SetLogCutOff(false);
  LogPrint("y\n");
  EXPECT_EQ(fs::file_size(logPath_), static_cast<uintmax_t>(kLogCutOffLimit) + 2 * entry);
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
  const std::string text = Log();
  EXPECT_EQ(text.find("not written"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_EQ(text.substr(text.find("written\n")), "written\ndebug line\n");
  EXPECT_TRUE(DebugOutputEnabled());
}

TEST_F(LogTest, TitleAndDeviceHooks) {
  LogTitleHookFn previous = SetLogTitleHook([] { return "Custom"; });
  DeviceErrorOutput("device failed");
  DeviceInfoOutput("info line\n");
  SetLogTitleHook(previous);
  const std::string text = Log();
  EXPECT_EQ(text.rfind("Custom Log File    ", 0), 0u);
  EXPECT_NE(text.find("Error: device failed\ninfo line\n"), std::string::npos);
}

TEST_F(LogTest, UnopenableLogIsRetriedOnTheNextEntry) {
  // A folder that cannot be created (a file is in the way).
  WriteWholeFile(folder_.In("blocker"), "x");
  SetLogBaseName(folder_.In("blocker/NVDevices.log").c_str());
  LogPrint("lost\n");
  EXPECT_STREQ(LogPath(), "");
  SetLogBaseName(nullptr);  // no log at all
  LogPrint("dropped\n");
  EXPECT_STREQ(LogPath(), "");
  SetLogBaseName(logPath_.c_str());
  LogPrint("kept\n");
  EXPECT_EQ(std::string(LogPath()), logPath_);
  const std::string text = Log();
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_EQ(text.find("dropped"), std::string::npos);
  EXPECT_NE(text.find("kept\n"), std::string::npos);
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

}  // namespace
