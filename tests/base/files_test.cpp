#include "base/files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/system.h"
#include "platform/time.h"

namespace {

const std::string kSep(1, platform::kPathSeparator);

struct Shown {
  std::string text, caption;
};
std::vector<Shown>& Messages() {
  static std::vector<Shown> shown;
  return shown;
}
int CaptureMessage(const char* text, const char* caption, uint32_t) {
  Messages().push_back({text ? text : "", caption ? caption : ""});
  return platform::kIdOk;
}

// A fresh folder under the temporary folder, removed afterwards; message
// boxes are captured.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Messages().clear();
    previousHook_ = platform::SetMessageBoxHook(CaptureMessage);
    PTempFile name(false);
    root_ = std::string(name.Path()) + ".d";
    platform::RemoveFile(name.Path());
    ASSERT_EQ(CreateDirectories(root_.c_str()), 1);
  }
  void TearDown() override {
    DeleteTree(root_.c_str());
    platform::SetMessageBoxHook(previousHook_);
  }
  std::string In(const std::string& name) const { return root_ + kSep + name; }
  void WriteText(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  std::string ReadText(const std::string& path) {
    PBinaryFile file(path.c_str(), true);
    return file.IsLoaded() ? std::string(reinterpret_cast<char*>(file.Data()), file.DataSize())
                           : "<missing>";
  }

  std::string root_;
  platform::MessageBoxHook previousHook_ = nullptr;
};

TEST(PFilePath, Parts) {
  PFilePath p("C:\\a\\b.txt");
  EXPECT_STREQ(p.Drive(), "C:");
  EXPECT_STREQ(p.Dir(), "\\a\\");
  EXPECT_STREQ(p.Name(), "b");
  EXPECT_STREQ(p.Ext(), "txt");
  EXPECT_STREQ(p.NameExt(), "b.txt");
  EXPECT_STREQ(p.Directory(), "C:\\a\\");

  p.Set("C:\\a\\dir\\");  // one trailing separator goes
  EXPECT_STREQ(p.Path(), "C:\\a\\dir");
  EXPECT_STREQ(p.NameExt(), "dir");
  p.Set("/x/y.tar.gz");
  EXPECT_STREQ(p.Name(), "y.tar");
  EXPECT_STREQ(p.Ext(), "gz");
  EXPECT_STREQ(p.Directory(), "/x/");
  p.Set("/");
  EXPECT_STREQ(p.Path(), "/");
  p.Set(p.Dir());  // a part of the path itself
  EXPECT_STREQ(p.Path(), "/");
  p.Set(std::string(700, 'a').c_str());
  EXPECT_EQ(p.Length(), PFilePath::kMaxPath - 1);
}

TEST(PFilePath, Editing) {
  PFilePath p("/data/log.txt");
  p.SetExtension("bak");
  EXPECT_STREQ(p.Path(), "/data/log.bak");
  p.SetExtension(".old");
  EXPECT_STREQ(p.Path(), "/data/log.old");
  p.SetName("\\run");  // one leading separator dropped, extension kept
  EXPECT_STREQ(p.Path(), "/data/run.old");
  p.SetExtension(nullptr);
  EXPECT_STREQ(p.Path(), "/data/run");

  p.Join("base", "\\rel.txt");
  EXPECT_EQ(std::string(p.Path()), "base" + kSep + "rel.txt");
  p.Join("", "/rel");
  EXPECT_STREQ(p.Path(), "rel");
  p.Join("/", "tmp");  // no doubled separator
  EXPECT_STREQ(p.Path(), "/tmp");
  p.Append("sub").Append("/f.ini");
  EXPECT_EQ(std::string(p.Path()), "/tmp" + kSep + "sub" + kSep + "f.ini");

  // Copies never inherit the delete flag.
  PFilePath owner("/nonexistent/nvdevices");
  owner.SetDeleteOnDestroy(true);
  PFilePath copy(owner);
  EXPECT_FALSE(copy.DeleteOnDestroy());
  owner.SetDeleteOnDestroy(false);
}

TEST(ProgramFolder, SystemPathOverride) {
  platform::SetEnvironment("*SystemPath*", "D:\\Prog");
  EXPECT_EQ(std::string(ProgramFile("Patches.ini")), "D:\\Prog" + kSep + "Patches.ini");
  EXPECT_EQ(std::string(ProgramFile("Patches", "ini", "cfg")),
            "D:\\Prog" + kSep + "cfg" + kSep + "Patches.ini");
  platform::SetEnvironment("*SystemPath*", "");
  PFilePath host(platform::HostExecutablePath().c_str());
  EXPECT_STREQ(ProgramFolder(), host.Directory());
  platform::SetEnvironment("*SystemPath*", nullptr);
  EXPECT_STREQ(ProgramFile("x", ".log"), (std::string(host.Directory()) + "x.log").c_str());
}

TEST_F(FilesTest, ExistenceAndDirectories) {
  const std::string file = In("f.txt");
  WriteText(file, "x");
  EXPECT_TRUE(Exists(file.c_str()));
  EXPECT_TRUE(PFilePath(file.c_str()).Exists());
  EXPECT_FALSE(Exists(In("none").c_str()));
  EXPECT_TRUE(Exists(root_.c_str()));
  EXPECT_FALSE(Exists((root_ + kSep + ".").c_str()));
  EXPECT_FALSE(Exists((root_ + kSep + "..").c_str()));
  EXPECT_FALSE(Exists(""));
  EXPECT_FALSE(Exists(nullptr));
  EXPECT_TRUE(IsDirectory(root_.c_str()));
  EXPECT_FALSE(IsDirectory(file.c_str()));
  EXPECT_FALSE(IsDirectory((root_ + kSep + "*").c_str()));

  EXPECT_TRUE(SamePath("/Data/Logs", "/data/logs/"));
  EXPECT_FALSE(SamePath("/data/logs", "/data/logs//"));
  EXPECT_FALSE(SamePath("/data/log", "/data/logs"));
}

TEST_F(FilesTest, CreateAndDeleteTrees) {
  EXPECT_EQ(CreateDirectories(root_.c_str()), 2);
  EXPECT_EQ(CreateDirectories((root_ + kSep).c_str()), 2);
  EXPECT_EQ(CreateDirectories("x"), 2);
  EXPECT_EQ(CreateDirectories(""), 0);
  const std::string deep = In("a") + kSep + "b" + kSep + "c";
  EXPECT_EQ(CreateDirectories(deep.c_str()), 1);
  EXPECT_TRUE(IsDirectory(deep.c_str()));
  WriteText(In("plain"), "x");
  EXPECT_EQ(CreateDirectories((In("plain") + kSep + "sub").c_str()), 0);

  WriteText(deep + kSep + "leaf.txt", "x");
  WriteText(In("a") + kSep + "top.txt", "x");
  ASSERT_EQ(CreateDirectories((In("a") + kSep + "empty").c_str()), 1);
  EXPECT_EQ(DeleteTree(In("plain").c_str()), 0);
  EXPECT_EQ(DeleteTree(In("a").c_str()), 1);
  EXPECT_FALSE(Exists(In("a").c_str()));
  EXPECT_TRUE(Exists(In("plain").c_str()));
}

TEST_F(FilesTest, DeleteTreeLeavesLinkedFoldersAlone) {
  const std::string outside = In("outside");
  ASSERT_EQ(CreateDirectories(outside.c_str()), 1);
  WriteText(outside + kSep + "keep.txt", "x");
  ASSERT_EQ(CreateDirectories(In("tree").c_str()), 1);
  std::error_code ec;
  std::filesystem::create_directory_symlink(outside, In("tree") + kSep + "link", ec);
  ASSERT_FALSE(ec);
  std::filesystem::create_directory_symlink(outside, In("rootlink"), ec);
  ASSERT_FALSE(ec);
  EXPECT_EQ(DeleteTree(In("tree").c_str()), 1);
  EXPECT_EQ(DeleteTree(In("rootlink").c_str()), 1);
  EXPECT_FALSE(Exists(In("tree").c_str()));
  EXPECT_FALSE(Exists(In("rootlink").c_str()));
  EXPECT_TRUE(Exists((outside + kSep + "keep.txt").c_str()));
}

TEST_F(FilesTest, MoveFile) {
  WriteText(In("from"), "one");
  WriteText(In("to"), "two");
  EXPECT_FALSE(MoveFile("", In("to").c_str(), true));
  EXPECT_FALSE(MoveFile(In("from").c_str(), In("to").c_str(), false));
  EXPECT_EQ(ReadText(In("to")), "two");
  EXPECT_TRUE(MoveFile(In("from").c_str(), In("to").c_str(), true));
  EXPECT_EQ(ReadText(In("to")), "one");
  EXPECT_FALSE(Exists(In("from").c_str()));
}

TEST_F(FilesTest, TempFiles) {
  std::string removed, kept;
  {
    PTempFile temp;
    PTempFile keep(false);
    EXPECT_TRUE(Exists(temp));
    EXPECT_STRNE(keep.Path(), temp.Path());
    removed = temp.Path();
    kept = keep.Path();
  }
  EXPECT_FALSE(Exists(removed.c_str()));
  EXPECT_TRUE(Exists(kept.c_str()));
  platform::RemoveFile(kept.c_str());
  {
    PTempFile folder;  // a directory under a temporary name goes as a tree
    const std::string path = folder.Path();
    platform::RemoveFile(path.c_str());
    ASSERT_EQ(CreateDirectories((path + kSep + "x").c_str()), 1);
    removed = path;
  }
  EXPECT_FALSE(Exists(removed.c_str()));
}

TEST_F(FilesTest, ReadFileToBuffer) {
  WriteText(In("data"), "hello");
  DynArray<char> buffer;
  ASSERT_TRUE(ReadFileToBuffer(buffer, In("data").c_str(), false));
  ASSERT_EQ(buffer.Count(), 6u);
  EXPECT_STREQ(buffer.Data(), "hello");
  ASSERT_TRUE(ReadFileToBuffer(buffer, In("data").c_str(), false, 3));
  EXPECT_STREQ(buffer.Data(), "hel");

  EXPECT_FALSE(ReadFileToBuffer(buffer, In("none").c_str(), true));
  EXPECT_EQ(buffer.Count(), 0u);
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(ReadFileToBuffer(buffer, In("none").c_str(), false));
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].text,
            "Failed to open file \"" + In("none") + "\":\nNo such file or directory");
  EXPECT_EQ(Messages()[0].caption, "Error");

  // Asking for more than the file holds is a short read.
  EXPECT_FALSE(ReadFileToBuffer(buffer, In("data").c_str(), false, 10));
  EXPECT_EQ(buffer.Count(), 0u);
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[1].text.rfind("Error reading file: '" + In("data") + "':\n", 0), 0u);

  PBinaryFile binary(In("data").c_str());
  EXPECT_TRUE(binary.IsLoaded());
  EXPECT_EQ(binary.DataSize(), 5u);
  PBinaryFile missing(In("none").c_str(), true);
  EXPECT_FALSE(missing.IsLoaded());
  EXPECT_EQ(missing.Size(), 0u);
}

TEST_F(FilesTest, OpenModesAndErrorTexts) {
  const std::string missingDir = In("no") + kSep + "f.txt";
  PTextFile quietWrite(missingDir.c_str(), 0x0001 | 0x0008 | 0x0040);
  EXPECT_STREQ(quietWrite.Mode(), "w+t");
  EXPECT_FALSE(quietWrite.IsOpen());
  EXPECT_TRUE(quietWrite.HasError());
  EXPECT_TRUE(Messages().empty());
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x004D).Mode(), "w+b");
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x0040).Mode(), "rt");
  EXPECT_STREQ(PTextFile(missingDir.c_str(), 0x0840).Mode(), "rb");

  PTextFile loud(missingDir.c_str(), 0x0001);
  ASSERT_EQ(Messages().size(), 1u);
  const std::string expected = "Cannot create file '" + missingDir + "': ";
  const std::string& text = Messages()[0].text;
  EXPECT_EQ(text.rfind(expected, 0), 0u) << text;
  EXPECT_EQ(text.back(), '.');
  EXPECT_EQ(text.find('\n'), std::string::npos);

  PTextFile withExtra(In("none").c_str(), "rt", false, "Check the folder.");
  ASSERT_EQ(Messages().size(), 2u);
  EXPECT_EQ(Messages()[1].text.rfind("Cannot open file '" + In("none") + "': ", 0), 0u);
  EXPECT_NE(Messages()[1].text.find(".\nCheck the folder."), std::string::npos);
}

TEST_F(FilesTest, SharedOpenRetriesThenReports) {
  const std::string path = In("held.txt");
  WriteText(path, "x");
  platform::ForeignFileHold hold(path.c_str());
  ASSERT_TRUE(hold.IsHeld());
  platform::SetTimeScale(100);

  // Without the retry flag a quiet shared open fails at once and silently.
  PTextFile once(path.c_str(), 0x0020 | 0x0040);
  EXPECT_FALSE(once.IsOpen());
  EXPECT_EQ(once.OpenError(), platform::kErrorSharingViolation);
  EXPECT_TRUE(Messages().empty());

  const uint32_t start = platform::TickCount();
  PTextFile retried(path.c_str(), 0x0400 | 0x2000 | 0x0040);
  const uint32_t elapsed = platform::TickCount() - start;
  platform::SetTimeScale(1);
  EXPECT_FALSE(retried.IsOpen());
  EXPECT_GE(elapsed, 3900u);
  EXPECT_LT(elapsed, 6000u);
  // A file that stays locked is reported even though the open was quiet.
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].text.rfind("Cannot open file '" + path + "':\n", 0), 0u);
}

TEST_F(FilesTest, WritingAndReadingLines) {
  const std::string path = In("lines.txt");
  {
    PTextFile out(path.c_str(), 0x0001 | 0x0800);  // own buffering
    ASSERT_TRUE(out.IsOpen());
    EXPECT_TRUE(out.Print("first %d\r\n", 1));
    EXPECT_TRUE(out.Write("second\n", 7));
    EXPECT_EQ(ReadText(path), "");  // still in the object's buffer
    EXPECT_TRUE(out.Print("%s", "third"));
    EXPECT_EQ(out.Close(), 0);
  }
  EXPECT_EQ(ReadText(path), "first 1\r\nsecond\nthird");

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
  EXPECT_TRUE(in.HasError());
  in.Reset();
  EXPECT_FALSE(in.HasError());
  EXPECT_EQ(in.LineCount(), 0u);
  EXPECT_STREQ(in.ReadLine(), "first 1");

  PTextFile binary(path.c_str(), 0x0004);
  EXPECT_EQ(binary.ReadLineInto(line, sizeof line), nullptr);
  ASSERT_TRUE(binary.ReadBlock(block, 3));
  EXPECT_EQ(std::string(block, 3), "fir");
  char rest[64];
  EXPECT_EQ(binary.Read(rest, sizeof rest), 18u);
  EXPECT_FALSE(binary.ReadBlock(block, 1));
}

TEST_F(FilesTest, TextFileContainer) {
  const std::string path = In("list.txt");
  WriteText(path, "alpha\n\n   beta\r\n");
  PTextFileContainer lines(path.c_str());
  ASSERT_EQ(lines.Count(), 2u);
  EXPECT_STREQ(lines[0]->Text(), "alpha");
  EXPECT_STREQ(lines[1]->Text(), "beta");
  EXPECT_EQ(lines.LineCount(), 3u);
  EXPECT_FALSE(lines.IsOpen());

  PTextFileContainer all(path.c_str(), true);
  ASSERT_EQ(all.Count(), 3u);
  EXPECT_STREQ(all[1]->Text(), "");

  WriteText(path, std::string(PTextFileContainer::kMaxLine + 5, 'z') + "\n");
  PTextFileContainer longLine(path.c_str());
  ASSERT_EQ(longLine.Count(), 2u);
  EXPECT_EQ(longLine[0]->Length(), PTextFileContainer::kMaxLine);
  EXPECT_EQ(longLine[1]->Length(), 5u);

  PTextFileContainer missing(In("none").c_str());
  EXPECT_EQ(missing.Count(), 0u);
  EXPECT_TRUE(Messages().empty());
}

}  // namespace
