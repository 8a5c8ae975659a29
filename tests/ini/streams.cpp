// Text and memory streams: line splitting of memory text, writing and reading
// back, whole-file images and their 16 MiB bound, the sharing retry.
#include "ini/streams.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ini/ini_stream.h"
#include "ini/support/ini_test_support.h"
#include "platform/files.h"
#include "platform/time.h"

namespace {

// Every line a memory stream gives for the bytes, with a buffer of `size`.
std::vector<std::string> LinesOf(const std::string& bytes, size_t size = 64) {
  DynArray<unsigned char> data(bytes.size());
  if (!bytes.empty()) std::memcpy(data.Data(), bytes.data(), bytes.size());
  MemoryInOut in(&data);
  std::vector<std::string> lines;
  std::vector<char> buffer(size + 8, '#');
  while (in.ReadLine(buffer.data(), size) && lines.size() < 100) {
    EXPECT_LT(std::strlen(buffer.data()), size) << "line longer than its buffer";
    lines.emplace_back(buffer.data());
  }
  // The bytes after the buffer are never touched.
  for (size_t i = size; i < buffer.size(); ++i)
    EXPECT_EQ(buffer[i], '#');
  return lines;
}

using Lines = std::vector<std::string>;

TEST(MemoryInOut, SplitsLinesSkipsCarriageReturnsAndStopsAtZero) {
  EXPECT_EQ(LinesOf("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(LinesOf("a\n\nb"), (Lines{"a", "", "b"}));
  EXPECT_EQ(LinesOf("a\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(LinesOf(std::string("a\0b\nc", 5)), (Lines{"a"}));
  EXPECT_EQ(LinesOf(std::string("a\n\0b", 4)), (Lines{"a"}));
  EXPECT_EQ(LinesOf("x\ry\r\r\n"), (Lines{"xy"}));
  EXPECT_EQ(LinesOf(""), Lines{});
}

TEST(MemoryInOut, LongLinesComeInPiecesThatFitTheBuffer) {
  EXPECT_EQ(LinesOf("abcdefgh\nij", 4), (Lines{"abc", "def", "gh", "ij"}));
  {
    DynArray<unsigned char> data(7);
    std::memcpy(data.Data(), "abc\nde\n", 7);
    MemoryInOut in(&data);
    char line[4];
    while (in.ReadLine(line, sizeof line)) {
    }
    EXPECT_FALSE(in.HadLongLine());
    in.Close();
    while (in.ReadLine(line, 3)) {
    }
    EXPECT_TRUE(in.HadLongLine());
  }
  // A line of exactly size - 1 characters gives no empty piece after it,
  // also with carriage returns before its line feed.
  EXPECT_EQ(LinesOf("abc\r\r\ndef", 4), (Lines{"abc", "def"}));
  EXPECT_EQ(LinesOf("a\rb\rc\rd\n", 3), (Lines{"ab", "cd"}));
  const std::string big(200000, 'x');
  const Lines pieces = LinesOf(big, 65536);
  ASSERT_EQ(pieces.size(), 4u);
  EXPECT_EQ(pieces[0].size(), 65535u);
  EXPECT_EQ(pieces[3].size(), 200000u - 3 * 65535u);
}

TEST(MemoryInOut, PrintfThenCloseReadsTheTextBack) {
  DynArray<unsigned char> data;
  MemoryInOut stream(&data, 16384);
  EXPECT_EQ(stream.Printf("x=%d\n", 1), 5);
  EXPECT_EQ(stream.Printf("y=%s\n", "2"), 5);
  EXPECT_EQ(stream.Position(), 8u);
  EXPECT_EQ(data[8], 0) << "the data always ends with a zero";
  EXPECT_GE(data.Count(), 16384u + 5u);
  stream.Close();
  char line[32];
  ASSERT_TRUE(stream.ReadLine(line, sizeof line));
  EXPECT_STREQ(line, "x=1");
  ASSERT_TRUE(stream.ReadLine(line, sizeof line));
  EXPECT_STREQ(line, "y=2");
  EXPECT_FALSE(stream.ReadLine(line, sizeof line));
  // A long write grows the array as needed.
  const std::string longText(70000, 'z');
  stream.SetPosition(0);
  EXPECT_EQ(stream.Printf("%s", longText.c_str()), 70001);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(data.Data())), longText);
}

TEST(FileInOut, ReadsLinesInPiecesWithoutLineEnds) {
  initest::ScratchFolder folder;
  folder.Write("t.txt", "one\r\ntwo\nsevenCH\r\nx\n");
  FileInOut file(folder.In("t.txt").c_str(), "rt");
  ASSERT_TRUE(file.IsOpen());
  char line[8];
  EXPECT_FALSE(file.ReadLine(line, 1)) << "no room for a character";
  std::vector<std::string> lines;
  while (file.ReadLine(line, sizeof line))
    lines.emplace_back(line);
  EXPECT_EQ(lines, (Lines{"one", "two", "sevenCH", "x"})) << "a line that just fits";
  EXPECT_FALSE(file.HadLongLine());
  file.Close();
  folder.Write("long.txt", "ab\n" + std::string(10, 'L') + "\n");
  FileInOut longer(folder.In("long.txt").c_str(), "rt");
  lines.clear();
  while (longer.ReadLine(line, sizeof line))
    lines.emplace_back(line);
  EXPECT_EQ(lines, (Lines{"ab", "LLLLLLL", "LLL"}));
  EXPECT_TRUE(longer.HadLongLine());
  EXPECT_EQ(file.Close(), 0);
  EXPECT_FALSE(file.ReadLine(line, sizeof line));
  FileInOut missing(folder.In("none.txt").c_str(), "rt");
  EXPECT_FALSE(missing.ReadLine(line, sizeof line));
}

// A file of exactly 16 MiB is read whole, one byte more through the text
// layer; both give the same table.
TEST(FastFileIn, WholeFileBoundaryIsSixteenMebibytes) {
  initest::ScratchFolder folder;
  std::string text = "[S]\nfirst=1\n";
  const std::string tail = "last=2\n";
  // Padding of comment lines up to the size.
  const std::string comment = ";" + std::string(1022, 'c') + "\n";
  while (text.size() + comment.size() + tail.size() <= FastFileIn::kMaxWholeFile)
    text += comment;
  text.resize(FastFileIn::kMaxWholeFile - tail.size(), '\n');
  text += tail;
  ASSERT_EQ(text.size(), FastFileIn::kMaxWholeFile);
  folder.Write("exact.ini", text);
  folder.Write("over.ini", text + "\n");
  {
    FastFileIn exact(folder.In("exact.ini").c_str());
    EXPECT_TRUE(exact.IsWholeFileRead());
    EXPECT_EQ(exact.Data()->Count(), FastFileIn::kMaxWholeFile);
    FastFileIn over(folder.In("over.ini").c_str());
    EXPECT_FALSE(over.IsWholeFileRead());
    EXPECT_FALSE(over.OpenFailed());
    EXPECT_EQ(over.FileSize(), FastFileIn::kMaxWholeFile + 1);
  }
  for (const char* name : {"exact.ini", "over.ini"}) {
    INIStream stream(folder.In(name).c_str(), INIStream::kLookUp | INIStream::kPlain);
    EXPECT_EQ(stream.ReadFromImage(), std::string(name) == "exact.ini") << name;
    EXPECT_TRUE(stream.IsLoaded());
    EXPECT_EQ(initest::ItemsOf(stream, "S"), (Lines{"first=1", "last=2"})) << name;
  }
}

TEST(FastFileIn, MissingFileFailsAtOnceAndEmptyFileReadsNothing) {
  initest::ScratchFolder folder;
  FastFileIn missing(folder.In("none").c_str());
  EXPECT_TRUE(missing.OpenFailed());
  EXPECT_EQ(missing.OpenError(), 2u);
  folder.Write("empty", "");
  FastFileIn empty(folder.In("empty").c_str());
  EXPECT_TRUE(empty.IsWholeFileRead());
  char line[8];
  EXPECT_FALSE(empty.ReadLine(line, sizeof line));
}

// A file held by another process without sharing is retried every 100 ms for
// 4 s (on the dilated clock), then the stream stays empty - and is not
// written back over the file it could not read.
TEST(FastFileIn, GivesUpAfterFourSecondsOfSharingViolations) {
  initest::ScratchFolder folder;
  initest::MessageCapture capture;
  const std::string path = folder.In("held.ini");
  folder.Write("held.ini", "[S]\nk=v\n");
  const double scale = platform::TimeScale();
  platform::SetTimeScale(50);
  {
    platform::ForeignFileHold hold(path.c_str());
    ASSERT_TRUE(hold.IsHeld());
    const uint32_t start = platform::TickCount();
    FastFileIn held(path.c_str());
    const uint32_t elapsed = platform::TickCount() - start;
    EXPECT_TRUE(held.OpenFailed());
    EXPECT_EQ(held.OpenError(), 32u);
    EXPECT_GE(elapsed, 4000u);
    EXPECT_LT(elapsed, 6000u);
    INIStream stream(path.c_str(), 0);
    EXPECT_FALSE(stream.IsLoaded());
    EXPECT_EQ(stream.Sections().Count(), 0u);
    EXPECT_FALSE(stream.WillWriteBack());
  }
  platform::SetTimeScale(scale);
  EXPECT_EQ(folder.Read("held.ini"), "[S]\nk=v\n");
}

}  // namespace
