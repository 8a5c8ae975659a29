#include "base/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "base/support/base_test_support.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/system.h"
#include "platform/time.h"

namespace {

const std::string kSep(1, platform::kPathSeparator);

// A scratch folder with message boxes captured.
class FilesTest : public ::testing::Test {
 protected:
  std::string In(const std::string& name) const { return folder_.In(name); }
  static const std::vector<ShownBox>& Shown() { return BoxCapture::Shown(); }

  ScratchFolder folder_;
  BoxCapture boxes_;
};

TEST(PFilePath, PartsAndEditing) {
  PFilePath p("C:\\a\\b.txt");
  EXPECT_STREQ(p.Drive(), "C:");
  EXPECT_STREQ(p.Dir(), "\\a\\");
  EXPECT_STREQ(p.Name(), "b");
  EXPECT_STREQ(p.Ext(), "txt");
  p.Set("C:\\a\\dir\\");  // one trailing separator goes
  EXPECT_STREQ(p.NameExt(), "dir");
  p.Set("/x/y.tar.gz");
  EXPECT_STREQ(p.Name(), "y.tar");
  EXPECT_STREQ(p.Ext(), "gz");
  p.Set("/");
  p.Set(p.Dir());  // a part of the path itself
  EXPECT_STREQ(p.Path(), "/");
  p.Set(std::string(700, 'a').c_str());
  EXPECT_EQ(p.Length(), PFilePath::kMaxPath - 1);

  p.Set("/data/log.txt");
  p.SetExtension(".old");
  p.SetName("\\run");  // one leading separator dropped, extension kept
  EXPECT_STREQ(p.Path(), "/data/run.old");
  p.SetExtension(nullptr);
  EXPECT_STREQ(p.Path(), "/data/run");
  p.Join("base", "\\rel.txt");
  EXPECT_EQ(std::string(p.Path()), "base" + kSep + "rel.txt");
  p.Join("/", "tmp");  // no doubled separator
  p.Append("sub").Append("/f.ini");
  EXPECT_EQ(std::string(p.Path()), "/tmp" + kSep + "sub" + kSep + "f.ini");

  // Copies never inherit the delete flag.
  PFilePath owner("/nonexistent/nvdevices");
  owner.SetDeleteOnDestroy(true);
  EXPECT_FALSE(PFilePath(owner).DeleteOnDestroy());
  owner.SetDeleteOnDestroy(false);
}

TEST(ProgramFolder, SystemPathOverride) {
  platform::SetEnvironment("*SystemPath*", "D:\\Prog");
  EXPECT_EQ(std::string(ProgramFile("Patches", "ini", "cfg")),
            "D:\\Prog" + kSep + "cfg" + kSep + "Patches.ini");
  platform::SetEnvironment("*SystemPath*", "");
  PFilePath host(platform::HostExecutablePath().c_str());
  EXPECT_STREQ(ProgramFolder(), host.Directory());
  platform::SetEnvironment("*SystemPath*", nullptr);
  EXPECT_EQ(std::string(ProgramFile("x", ".log")), std::string(host.Directory()) + "x.log");
}

TEST_F(FilesTest, ExistenceAndDirectories) {
  const std::string file = In("f.txt");
  WriteWholeFile(file, "x");
  EXPECT_TRUE(PFilePath(file.c_str()).Exists());
  for (const std::string& name : {In("none"), In("."), In(".."), std::string()})
    EXPECT_FALSE(Exists(name.c_str())) << name;
  EXPECT_FALSE(Exists(nullptr));
  EXPECT_TRUE(IsDirectory(folder_.Path().c_str()));
  EXPECT_FALSE(IsDirectory(file.c_str()));
  EXPECT_FALSE(IsDirectory(In("*").c_str()));

  EXPECT_TRUE(SamePath("/Data/Logs", "/data/logs/"));
  EXPECT_FALSE(SamePath("/data/logs", "/data/logs//"));
  EXPECT_FALSE(SamePath("/data/log", "/data/logs"));
}

TEST_F(FilesTest, CreateDeleteAndMove) {
  EXPECT_EQ(CreateDirectories((folder_.Path() + kSep).c_str()), 2);
  EXPECT_EQ(CreateDirectories(""), 0);
  const std::string deep = In("a") + kSep + "b" + kSep + "c";
  EXPECT_EQ(CreateDirectories(deep.c_str()), 1);
  EXPECT_TRUE(IsDirectory(deep.c_str()));
  WriteWholeFile(In("plain"), "x");
  EXPECT_EQ(CreateDirectories((In("plain") + kSep + "sub").c_str()), 0);

  WriteWholeFile(deep + kSep + "leaf.txt", "x");
  WriteWholeFile(In("a") + kSep + "top.txt", "x");
  EXPECT_EQ(DeleteTree(In("plain").c_str()), 0);
  EXPECT_EQ(DeleteTree(In("a").c_str()), 1);
  EXPECT_FALSE(Exists(In("a").c_str()));

  WriteWholeFile(In("from"), "one");
  WriteWholeFile(In("to"), "two");
  EXPECT_FALSE(MoveFile("", In("to").c_str(), true));
  EXPECT_FALSE(MoveFile(In("from").c_str(), In("to").c_str(), false));
  EXPECT_EQ(ReadWholeFile(In("to")), "two");
  EXPECT_TRUE(MoveFile(In("from").c_str(), In("to").c_str(), true));
  EXPECT_EQ(ReadWholeFile(In("to")), "one");
  EXPECT_FALSE(Exists(In("from").c_str()));
}

// Linked folders are removed as links, never followed.
TEST_F(FilesTest, LinkedFoldersAreRemovedAsLinks) {
  ASSERT_EQ(CreateDirectories(In("outside").c_str()), 1);
  WriteWholeFile(In("outside") + kSep + "keep.txt", "x");
  ASSERT_EQ(CreateDirectories(In("tree").c_str()), 1);
  // Windows makes folder links only for a privileged user (or in developer
  // mode), and Wine not at all: where no link can be made, the case is
  // reported as skipped with the reason.
  std::error_code error;
  std::filesystem::create_directory_symlink(In("outside"), In("tree") + kSep + "link", error);
  if (error) GTEST_SKIP() << "this system makes no folder links: " << error.message();
  std::filesystem::create_directory_symlink(In("outside"), In("rootlink"), error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(DeleteTree(In("tree").c_str()), 1);
  EXPECT_EQ(DeleteTree(In("rootlink").c_str()), 1);
  EXPECT_FALSE(Exists(In("tree").c_str()));
  EXPECT_FALSE(Exists(In("rootlink").c_str()));
  EXPECT_TRUE(Exists((In("outside") + kSep + "keep.txt").c_str()));
}

TEST_F(FilesTest, TempFiles) {
  std::string removed, kept, tree;
  {
    PTempFile temp, keep(false), folder;
    EXPECT_TRUE(Exists(temp));
    EXPECT_STRNE(keep.Path(), temp.Path());
    removed = temp.Path();
    kept = keep.Path();
    tree = folder.Path();
    // A directory under a temporary name goes as a tree.
    platform::RemoveFile(tree.c_str());
    ASSERT_EQ(CreateDirectories((tree + kSep + "x").c_str()), 1);
  }
  EXPECT_FALSE(Exists(removed.c_str()) || Exists(tree.c_str()));
  EXPECT_TRUE(Exists(kept.c_str()));
  platform::RemoveFile(kept.c_str());
}

TEST_F(FilesTest, ReadFileToBuffer) {
  WriteWholeFile(In("data"), "hello");
  DynArray<char> buffer;
  ASSERT_TRUE(ReadFileToBuffer(buffer, In("data").c_str(), false));
  ASSERT_EQ(buffer.Count(), 6u);
  EXPECT_STREQ(buffer.Data(), "hello");
  ASSERT_TRUE(ReadFileToBuffer(buffer, In("data").c_str(), false, 3));
  EXPECT_STREQ(buffer.Data(), "hel");

  EXPECT_FALSE(ReadFileToBuffer(buffer, In("none").c_str(), true));
  EXPECT_EQ(buffer.Count(), 0u);
  EXPECT_TRUE(Shown().empty());
  EXPECT_FALSE(ReadFileToBuffer(buffer, In("none").c_str(), false));
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].text,
            "Failed to open file \"" + In("none") + "\":\nNo such file or directory");
  EXPECT_EQ(Shown()[0].caption, "Error");

  // Asking for more than the file holds is a short read.
  EXPECT_FALSE(ReadFileToBuffer(buffer, In("data").c_str(), false, 10));
  EXPECT_EQ(buffer.Count(), 0u);
  ASSERT_EQ(Shown().size(), 2u);
  EXPECT_EQ(Shown()[1].text.rfind("Error reading file: '" + In("data") + "':\n", 0), 0u);

  EXPECT_EQ(PBinaryFile(In("data").c_str()).DataSize(), 5u);
  PBinaryFile missing(In("none").c_str(), true);
  EXPECT_FALSE(missing.IsLoaded());
  EXPECT_EQ(missing.Size(), 0u);
}

TEST_F(FilesTest, OpenFlagsAndErrorTexts) {
  const std::string missingDir = In("no") + kSep + "f.txt";
  PTextFile quietWrite(missingDir.c_str(), 0x0001 | 0x0008 | 0x0040);
  EXPECT_STREQ(quietWrite.Mode(), "w+t");
  EXPECT_FALSE(quietWrite.IsOpen());
  EXPECT_TRUE(quietWrite.HasError());
  EXPECT_TRUE(Shown().empty());
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x004D).Mode(), "w+b");
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x0040).Mode(), "rt");
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x0840).Mode(), "rb");

  PTextFile loud(missingDir.c_str(), 0x0001);
  ASSERT_EQ(Shown().size(), 1u);
  const std::string& text = Shown()[0].text;
  EXPECT_EQ(text.rfind("Cannot create file '" + missingDir + "': ", 0), 0u) << text;
  EXPECT_EQ(text.back(), '.');
  EXPECT_EQ(text.find('\n'), std::string::npos);

  PTextFile withExtra(In("none").c_str(), "rt", false, "Check the folder.");
  ASSERT_EQ(Shown().size(), 2u);
  EXPECT_EQ(Shown()[1].text.rfind("Cannot open file '" + In("none") + "': ", 0), 0u);
  EXPECT_NE(Shown()[1].text.find(".\nCheck the folder."), std::string::npos);
}

TEST_F(FilesTest, SharedOpenRetriesFourSecondsThenReports) {
  const std::string path = In("held.txt");
  WriteWholeFile(path, "x");
  platform::ForeignFileHold hold(path.c_str());
  ASSERT_TRUE(hold.IsHeld());

  // Without the retry flag a quiet shared open fails at once and silently.
  PTextFile once(path.c_str(), 0x0020 | 0x0040);
  EXPECT_FALSE(once.IsOpen());
  EXPECT_EQ(once.OpenError(), platform::kErrorSharingViolation);
  EXPECT_TRUE(Shown().empty());

  DilatedClock dilated;
  const uint32_t start = platform::TickCount();
  PTextFile retried(path.c_str(), 0x0400 | 0x2000 | 0x0040);
  const uint32_t elapsed = platform::TickCount() - start;
  EXPECT_FALSE(retried.IsOpen());
  EXPECT_GE(elapsed, 3900u);
  EXPECT_LT(elapsed, 6000u);
  // A file that stays locked is reported even though the open was quiet.
  ASSERT_EQ(Shown().size(), 1u);
  EXPECT_EQ(Shown()[0].text.rfind("Cannot open file '" + path + "':\n", 0), 0u);
}

TEST_F(FilesTest, WritingAndReadingLines) {
  const std::string path = In("lines.txt");
  {
    PTextFile out(path.c_str(), 0x0001 | 0x0800);  // own buffering
    ASSERT_TRUE(out.IsOpen());
    EXPECT_TRUE(out.Print("first %d\r\n", 1));
    EXPECT_TRUE(out.Write("second\n", 7));
    EXPECT_EQ(ReadWholeFile(path), "");  // still in the object's buffer
    EXPECT_TRUE(out.Print("%s", "third"));
    EXPECT_EQ(out.Close(), 0);
  }
  EXPECT_EQ(ReadWholeFile(path), "first 1\r\nsecond\nthird");

  PTextFile in(path.c_str(), 0x0000);
  EXPECT_STREQ(in.ReadLine(), "first 1");
  EXPECT_STREQ(in.ReadLine(), "second");
  char line[4];
  EXPECT_STREQ(in.ReadLineInto(line, sizeof line), "thi");  // bounded by the buffer
  EXPECT_STREQ(in.ReadLine(), "rd");
  EXPECT_EQ(in.ReadLine(), nullptr);
  EXPECT_EQ(in.LineCount(), 4u);
  char block[3];
  EXPECT_FALSE(in.ReadBlock(block, 3));  // text mode

  PTextFile binary(path.c_str(), 0x0004);
  ASSERT_TRUE(binary.ReadBlock(block, 3));
  EXPECT_EQ(std::string(block, 3), "fir");
  char rest[64];
  EXPECT_EQ(binary.Read(rest, sizeof rest), 18u);
  EXPECT_FALSE(binary.ReadBlock(block, 1));
}

TEST_F(FilesTest, TextFileContainer) {
  const std::string path = In("list.txt");
  WriteWholeFile(path, "alpha\n\n   beta\r\n");
  PTextFileContainer lines(path.c_str());
  ASSERT_EQ(lines.Count(), 2u);
  EXPECT_STREQ(lines[1]->Text(), "beta");
  EXPECT_EQ(lines.LineCount(), 3u);
  EXPECT_FALSE(lines.IsOpen());
  PTextFileContainer all(path.c_str(), true);
  ASSERT_EQ(all.Count(), 3u);
  EXPECT_STREQ(all[1]->Text(), "");

  WriteWholeFile(path, std::string(PTextFileContainer::kMaxLine + 5, 'z') + "\n");
  PTextFileContainer longLine(path.c_str());
  ASSERT_EQ(longLine.Count(), 2u);
  EXPECT_EQ(longLine[0]->Length(), PTextFileContainer::kMaxLine);
  EXPECT_EQ(longLine[1]->Length(), 5u);

  EXPECT_EQ(PTextFileContainer(In("none").c_str()).Count(), 0u);
  EXPECT_TRUE(Shown().empty());
}

}  // namespace
