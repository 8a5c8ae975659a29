// Files and folders: sharing emulation, moves, views, temporary files.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/thread.h"
#include "platform/time.h"

namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    folder_ = platform::TempFolder() + "nvd-files-" + std::to_string(platform::CurrentProcessId()) +
              "-" + std::to_string(++counter);
    ASSERT_EQ(platform::CreateDirectory(folder_.c_str()), 0u);
  }
  void TearDown() override { RemoveTree(folder_); }

  static void RemoveTree(const std::string& path) {
    platform::ListDirectory(path.c_str(), [&](const platform::DirectoryEntry& entry) {
      const std::string child = path + "/" + entry.name;
      if (entry.isDirectory) {
        RemoveTree(child);
      } else {
        platform::RemoveFile(child.c_str());
      }
    });
    platform::RemoveDirectory(path.c_str());
  }

  std::string Path(const char* name) const { return folder_ + "/" + name; }

  static void Write(const std::string& path, const std::string& text) {
    uint32_t error = 0;
    FILE* f = platform::OpenStream(path.c_str(), "wb", platform::kShareDenyNone, error);
    ASSERT_NE(f, nullptr) << error;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }

  static std::string Read(const std::string& path) {
    uint32_t error = 0;
    FILE* f = platform::OpenStream(path.c_str(), "rb", platform::kShareDenyNone, error);
    if (f == nullptr) return "<error " + std::to_string(error) + ">";
    std::string text;
    char buffer[256];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      text.append(buffer, got);
    std::fclose(f);
    return text;
  }

  std::string folder_;
};

TEST_F(Files, AFileHeldByAnotherProcessCannotBeOpenedMovedOrDeleted) {
  const std::string log = Path("NVDevices.log");
  const std::string backup = Path("$NVDevices.log");
  Write(log, "old log");
  {
    platform::ForeignFileHold hold(log.c_str());
    ASSERT_TRUE(hold.IsHeld());
    uint32_t error = 0;
    EXPECT_EQ(platform::OpenStream(log.c_str(), "rt", platform::kShareDenyNone, error), nullptr);
    EXPECT_EQ(error, platform::kErrorSharingViolation);
    EXPECT_EQ(platform::OpenStream(log.c_str(), "w+t", 0, error), nullptr);
    EXPECT_EQ(error, platform::kErrorSharingViolation);
    EXPECT_EQ(platform::MoveFile(log.c_str(), backup.c_str(),
                                 platform::kMoveReplaceExisting | platform::kMoveCopyAllowed),
              platform::kErrorSharingViolation);
    EXPECT_EQ(platform::RemoveFile(log.c_str()), platform::kErrorSharingViolation);
    EXPECT_EQ(platform::CopyFile(log.c_str(), backup.c_str(), false),
              platform::kErrorSharingViolation);
    EXPECT_FALSE(platform::PathExists(backup.c_str()));
  }
  // The refused "w" open did not empty the file.
  EXPECT_EQ(Read(log), "old log");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(log.c_str(), "w+t", platform::kShareDenyWrite, error);
  ASSERT_NE(f, nullptr) << error;
  std::fclose(f);
  EXPECT_EQ(platform::MoveFile(log.c_str(), backup.c_str(), platform::kMoveReplaceExisting), 0u);
  EXPECT_TRUE(platform::PathExists(backup.c_str()));
  EXPECT_FALSE(platform::PathExists(log.c_str()));
}

TEST_F(Files, AForeignHoldDoesNotKeepOurClosedFilesLocked) {
  const std::string ours = Path("ours.txt"), theirs = Path("theirs.txt");
  Write(theirs, "x");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(ours.c_str(), "w+t", platform::kShareDenyWrite, error);
  ASSERT_NE(f, nullptr);
  platform::ForeignFileHold hold(theirs.c_str());
  ASSERT_TRUE(hold.IsHeld());
  std::fclose(f);
  f = platform::OpenStream(ours.c_str(), "r+t", platform::kShareDenyWrite, error);
  EXPECT_NE(f, nullptr) << error;
  if (f != nullptr) std::fclose(f);
  EXPECT_EQ(platform::RemoveFile(ours.c_str()), 0u);
}

TEST_F(Files, StreamsOfThisProcessShareAsWindowsHandlesDo) {
  const std::string path = Path("shared.txt");
  uint32_t error = 0;
  FILE* first = platform::OpenStream(path.c_str(), "w+t", platform::kShareDenyNone, error);
  ASSERT_NE(first, nullptr);
  FILE* second = platform::OpenStream(path.c_str(), "rt", platform::kShareDenyNone, error);
  EXPECT_NE(second, nullptr);  // both allow sharing
  EXPECT_EQ(platform::OpenStream(path.c_str(), "rt", platform::kShareDenyWrite, error), nullptr);
  EXPECT_EQ(error, platform::kErrorSharingViolation);
  // An open stream keeps the file from being moved or deleted, as on Windows.
  EXPECT_EQ(platform::RemoveFile(path.c_str()), platform::kErrorSharingViolation);
  EXPECT_EQ(platform::LastError(), platform::kErrorSharingViolation);
  if (second != nullptr) std::fclose(second);
  std::fclose(first);

  FILE* exclusive = platform::OpenStream(path.c_str(), "r+b", platform::kShareDenyRead, error);
  ASSERT_NE(exclusive, nullptr);
  EXPECT_EQ(platform::OpenStream(path.c_str(), "rb", platform::kShareDenyNone, error), nullptr);
  EXPECT_EQ(error, platform::kErrorSharingViolation);
  std::fclose(exclusive);
  EXPECT_EQ(platform::RemoveFile(path.c_str()), 0u);
}

TEST_F(Files, AHoldIsRefusedWhileTheFileIsOpenOrMissing) {
  const std::string path = Path("busy.txt");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(path.c_str(), "w+t", platform::kShareDenyNone, error);
  ASSERT_NE(f, nullptr) << error;
  {
    // Even a sharing stream of ours keeps out a holder that shares nothing.
    platform::ForeignFileHold hold(path.c_str());
    EXPECT_FALSE(hold.IsHeld());
  }
  std::fclose(f);
  platform::ForeignFileHold missing(Path("missing.txt").c_str());
  EXPECT_FALSE(missing.IsHeld());
  platform::ForeignFileHold hold(path.c_str());
  EXPECT_TRUE(hold.IsHeld());
}

TEST_F(Files, OpenErrorsUseWindowsNumbers) {
  uint32_t error = 0;
  EXPECT_EQ(platform::OpenStream(Path("missing.txt").c_str(), "rt", 0, error), nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
  EXPECT_EQ(platform::OpenStream(Path("no/such/dir.txt").c_str(), "wt", 0, error), nullptr);
  EXPECT_EQ(error, platform::kErrorPathNotFound);
  EXPECT_EQ(platform::OpenStream(folder_.c_str(), "rb", 0, error), nullptr);
  EXPECT_EQ(error, platform::kErrorAccessDenied);
  EXPECT_EQ(platform::OpenStream(Path("x").c_str(), "q", 0, error), nullptr);
  EXPECT_EQ(error, platform::kErrorInvalidParameter);
}

TEST_F(Files, MoveReplacesOnlyWhenAsked) {
  const std::string a = Path("a.txt"), b = Path("b.txt");
  Write(a, "AAA");
  Write(b, "BBB");
  EXPECT_EQ(platform::MoveFile(a.c_str(), b.c_str(), 0), platform::kErrorAlreadyExists);
  EXPECT_EQ(Read(a), "AAA");
  EXPECT_EQ(Read(b), "BBB");
  EXPECT_EQ(platform::MoveFile(a.c_str(), b.c_str(), platform::kMoveReplaceExisting), 0u);
  EXPECT_FALSE(platform::PathExists(a.c_str()));
  EXPECT_EQ(Read(b), "AAA");
  EXPECT_EQ(platform::MoveFile(a.c_str(), b.c_str(), platform::kMoveReplaceExisting),
            platform::kErrorFileNotFound);
  EXPECT_EQ(platform::MoveFile(b.c_str(), Path("none/c.txt").c_str(), 0),
            platform::kErrorPathNotFound);
  // Backslashes separate folders as slashes do.
  const std::string windowsStyle = folder_ + "\\c.txt";
  EXPECT_EQ(platform::MoveFile(b.c_str(), windowsStyle.c_str(), 0), 0u);
  EXPECT_EQ(Read(Path("c.txt")), "AAA");
}

TEST_F(Files, CopyKeepsOrRefusesTheTarget) {
  const std::string a = Path("a.bin"), b = Path("b.bin");
  Write(a, "source");
  EXPECT_EQ(platform::CopyFile(a.c_str(), b.c_str(), true), 0u);
  EXPECT_EQ(Read(b), "source");
  Write(a, "changed");
  EXPECT_EQ(platform::CopyFile(a.c_str(), b.c_str(), true), platform::kErrorFileExists);
  EXPECT_EQ(Read(b), "source");
  EXPECT_EQ(platform::CopyFile(a.c_str(), b.c_str(), false), 0u);
  EXPECT_EQ(Read(b), "changed");
  EXPECT_NE(platform::CopyFile(a.c_str(), a.c_str(), false), 0u);
  EXPECT_EQ(Read(a), "changed");  // copying onto itself does not empty it
}

TEST_F(Files, ViewWritesThroughAndResizeCutsInPlace) {
  const std::string path = Path("view.bin");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(path.c_str(), "w+b", 0, error);
  ASSERT_NE(f, nullptr);
  std::fputs("hello world", f);
  {
    platform::FileView view(f, 32, 32);
    ASSERT_TRUE(view.IsValid());
    EXPECT_EQ(platform::StreamLength(f), 32);
    EXPECT_EQ(std::memcmp(view.Data(), "hello world", 11), 0);
    std::memcpy(view.Data(), "HELLO", 5);
  }
  EXPECT_TRUE(platform::ResizeStream(f, 11));
  EXPECT_EQ(platform::StreamLength(f), 11);
  EXPECT_EQ(std::ftell(f), 11);
  std::fputs("!", f);
  std::fclose(f);
  EXPECT_EQ(Read(path), "HELLO world!");

  // A view longer than the file, or of a read-only stream, is refused.
  f = platform::OpenStream(path.c_str(), "r+b", 0, error);
  ASSERT_NE(f, nullptr);
  platform::FileView tooLong(f, 0, 100);
  EXPECT_FALSE(tooLong.IsValid());
  std::fclose(f);
  f = platform::OpenStream(path.c_str(), "rb", 0, error);
  ASSERT_NE(f, nullptr);
  platform::FileView readOnly(f, 0, 4);
  EXPECT_FALSE(readOnly.IsValid());
  std::fclose(f);
}

TEST_F(Files, DescriptorIoKeepsTheStreamPosition) {
  const std::string path = Path("mixed.txt");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(path.c_str(), "w+b", 0, error);
  ASSERT_NE(f, nullptr);
  std::fputs("abc", f);
  EXPECT_EQ(platform::WriteAll(f, "def", 3), 3u);
  std::fputs("g", f);
  std::rewind(f);
  EXPECT_EQ(std::fgetc(f), 'a');
  char buffer[4] = {};
  EXPECT_EQ(platform::ReadAll(f, buffer, 3), 3u);
  EXPECT_STREQ(buffer, "bcd");
  EXPECT_EQ(std::fgetc(f), 'e');
  EXPECT_EQ(platform::ReadAll(f, buffer, 3), 2u);  // "fg", then the end
  std::fclose(f);
  EXPECT_EQ(Read(path), "abcdefg");
}

TEST_F(Files, AppendedBlocksLandAtTheEndAndResizeExtendsWithZeros) {
  const std::string path = Path("append.bin");
  Write(path, "head");
  uint32_t error = 0;
  FILE* f = platform::OpenStream(path.c_str(), "a+b", 0, error);
  ASSERT_NE(f, nullptr) << error;
  std::rewind(f);
  EXPECT_EQ(platform::WriteAll(f, "-tail", 5), 5u);
  // The stream stands after the block, not after the rewound position.
  EXPECT_EQ(std::ftell(f), 9);
  std::fputs("!", f);
  std::fflush(f);
  EXPECT_EQ(platform::StreamLength(f), 10);
  EXPECT_TRUE(platform::ResizeStream(f, 12));
  EXPECT_EQ(std::ftell(f), 12);
  std::fclose(f);
  EXPECT_EQ(Read(path), std::string("head-tail!\0\0", 12));
}

TEST_F(Files, FoldersAndTheirErrors) {
  const std::string sub = Path("sub");
  EXPECT_EQ(platform::CreateDirectory(sub.c_str()), 0u);
  EXPECT_EQ(platform::CreateDirectory(sub.c_str()), platform::kErrorAlreadyExists);
  EXPECT_EQ(platform::CreateDirectory(Path("x/y").c_str()), platform::kErrorPathNotFound);
  EXPECT_TRUE(platform::IsDirectory(sub.c_str()));
  EXPECT_FALSE(platform::IsDirectory((folder_ + "/s*").c_str()));
  Write(sub + "/file.txt", "x");
  EXPECT_FALSE(platform::IsDirectory((sub + "/file.txt").c_str()));
  EXPECT_EQ(platform::RemoveDirectory(sub.c_str()), platform::kErrorDirNotEmpty);
  EXPECT_EQ(platform::RemoveFile(sub.c_str()), platform::kErrorAccessDenied);

  int files = 0, folders = 0;
  EXPECT_EQ(platform::ListDirectory(folder_.c_str(),
                                    [&](const platform::DirectoryEntry& entry) {
                                      (entry.isDirectory ? folders : files)++;
                                      EXPECT_EQ(entry.name, "sub");
                                    }),
            0u);
  EXPECT_EQ(folders, 1);
  EXPECT_EQ(files, 0);
  // A missing folder is a path that is not found, as FindFirstFileA reports
  // it for "folder\*".
  EXPECT_EQ(platform::ListDirectory(Path("none").c_str(), [](const auto&) {}),
            platform::kErrorPathNotFound);

  EXPECT_EQ(platform::DriveType(folder_.c_str()), 3u);
#if defined(_WIN32)
  // A missing path still lies on its drive; only a drive without a root
  // has none.
  EXPECT_EQ(platform::DriveType(Path("none/deeper").c_str()), 3u);
  std::string missingDrive;
  for (char letter = 'Z'; letter > 'C' && missingDrive.empty(); --letter) {
    const std::string root = std::string(1, letter) + ":\\";
    if (!platform::PathExists(root.c_str())) missingDrive = root + "none";
  }
  if (!missingDrive.empty()) {
    EXPECT_EQ(platform::DriveType(missingDrive.c_str()), 1u);
  }
#else
  EXPECT_EQ(platform::DriveType(Path("none/deeper").c_str()), 1u);
#endif
  EXPECT_FALSE(platform::CurrentDirectory().empty());
}

TEST_F(Files, TempFilesAreNewAndNamedLikeWindowsOnes) {
  const std::string first = platform::CreateTempFile(folder_.c_str(), "nvdlong");
  const std::string second = platform::CreateTempFile((folder_ + "/").c_str(), "nvd");
  ASSERT_FALSE(first.empty());
  ASSERT_FALSE(second.empty());
  EXPECT_NE(first, second);
  const std::string name = first.substr(folder_.size() + 1);
  EXPECT_EQ(name.substr(0, 3), "nvd");
#if defined(_WIN32)
  // Windows numbers temporary names in upper-case hex digits, Wine in
  // lower-case ones and without leading zeros: one to four digits.
  const size_t digitsEnd = name.find_first_not_of("0123456789ABCDEFabcdef", 3);
  EXPECT_GE(digitsEnd, 4u) << name;
  EXPECT_LE(digitsEnd, 7u) << name;
#else
  const size_t digitsEnd = name.find_first_not_of("0123456789ABCDEF", 3);
  EXPECT_EQ(digitsEnd, 7u) << name;
#endif
  EXPECT_EQ(name.substr(digitsEnd), ".tmp") << name;
  EXPECT_TRUE(platform::PathExists(first.c_str()));
  EXPECT_TRUE(platform::CreateTempFile(Path("none").c_str(), "x").empty());

  const std::string temp = platform::TempFolder();
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.back(), platform::kPathSeparator);
}

TEST_F(Files, LastWriteTimeIsAFileTimeOfNow) {
  const std::string path = Path("stamp.txt");
  Write(path, "x");
  uint64_t fileTime = 0;
  ASSERT_TRUE(platform::LastWriteTime(path.c_str(), fileTime));
  const uint64_t now = platform::NowFileTime();
  const uint64_t minute = 60ull * 10000000ull;
  EXPECT_LT(fileTime > now ? fileTime - now : now - fileTime, minute);
  EXPECT_FALSE(platform::LastWriteTime(Path("none").c_str(), fileTime));
}

TEST_F(Files, ReadOnlyFlagIsClearedAndReported) {
  const std::string path = Path("ro.txt");
  Write(path, "x");
  bool readOnly = false;
  platform::ListDirectory(folder_.c_str(),
                          [&](const platform::DirectoryEntry& e) { readOnly = e.readOnly; });
  EXPECT_FALSE(readOnly);
  EXPECT_EQ(platform::ClearReadOnly(path.c_str()), 0u);
  EXPECT_EQ(platform::ClearReadOnly(Path("none").c_str()), platform::kErrorFileNotFound);
}

}  // namespace
