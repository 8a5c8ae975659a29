// Sections and items: parsing rules, nesting, look-ups and typed reads,
// sorted indexes, duplicate keys, writing and writing back.
#include "ini/sections.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/files.h"
#include "ini/ini_stream.h"
#include "ini/support/ini_test_support.h"
#include "platform/files.h"
#include "platform/system.h"

namespace {

using Lines = std::vector<std::string>;
using initest::ItemsOf;
using initest::Written;

constexpr uint32_t kLookUp = INIStream::kLookUp | INIStream::kPlain;

INIStreamInMem Parse(const std::string& text, uint32_t flags = INIStream::kPlain) {
  return INIStreamInMem(text.c_str(), text.size(), flags);
}

TEST(IniSections, KeysValuesAndWholeLines) {
  initest::MessageCapture capture;
  const std::string text =
      "before=ignored\n[S]\n  key   =   value\n$key2=1\njust text\nk==v\n=x\n_u=1\n";
  INIStreamInMem plain = Parse(text);
  EXPECT_EQ(ItemsOf(plain, "S"),
            (Lines{"key=value", "key2=1", "; just text", "k==v", "; =x", "_u=1"}));
  INIStreamInMem lookUp = Parse(text, kLookUp);
  EXPECT_EQ(ItemsOf(lookUp, "S"), (Lines{"key=value", "key2=1", "k==v", "_u=1"}));
  INIStreamInMem blanks = Parse(text, kLookUp | INIStream::kKeepValueBlanks);
  EXPECT_STREQ(blanks.FindItem(blanks.FindSection("S"), "key")->Value(), "   value");
  EXPECT_TRUE(capture.Messages().empty());
}

TEST(IniSections, ShortValuesLiveInsideTheItem) {
  INIStreamInMem ini = Parse("[S]\nseven=1234567\neight=12345678\n");
  const SectionItem* s = ini.FindSection("S");
  const INIItem* seven = s->FindItem("seven");
  const INIItem* eight = s->FindItem("eight");
  EXPECT_TRUE(seven->IsValueInline());
  EXPECT_FALSE(eight->IsValueInline());
  EXPECT_STREQ(seven->Value(), "1234567");
  EXPECT_STREQ(eight->Value(), "12345678");
  INIItem item("k", "short");
  item.SetValue("a much longer value");
  EXPECT_FALSE(item.IsValueInline());
  item.SetValue(item.Value() + 2);  // from its own text
  EXPECT_STREQ(item.Value(), "much longer value");
  item.SetValue(item.Value() + 12);
  EXPECT_TRUE(item.IsValueInline());
  EXPECT_STREQ(item.Value(), "value");
}

TEST(IniSections, SortedLastSectionAndEmptyTextValue) {
  INIStreamInMem ini("[A]\nT=1\n[B]\nT=\n");
  ini.Sections().Sort();
  SectionItem* last = ini.Sections().Last();
  EXPECT_STREQ(last->Name(), "B");
  Istr text("x");
  ini.SelectSection(last->Name()).ReadValue(INIValue("T", &text, "default"));
  EXPECT_STREQ(text.Text(), "");
  ini.ReadValue(INIValue("missing", &text));
  EXPECT_STREQ(text.Text(), "");
  ini.ReadValue(INIValue("missing", &text, "d"));
  EXPECT_STREQ(text.Text(), "d");
}

TEST(IniSections, NestedSectionsAndInvalidNesting) {
  initest::MessageCapture capture;
  INIStreamInMem ini("[A]\na=1\n[[A1]]\nx=2\n[[[A1a]]]\n[[A2]]\n[B]\nb=3\n");
  ASSERT_EQ(ini.Sections().Count(), 2u);
  const SectionItem* a = ini.FindSection("A");
  ASSERT_TRUE(a->HasSubsections());
  const INIStreamStub* sub = a->Subsections();
  EXPECT_EQ(sub->Level(), 1u);
  ASSERT_EQ(sub->Sections().Count(), 2u);
  EXPECT_EQ(ItemsOf(*sub, "A1"), Lines{"x=2"});
  EXPECT_TRUE(sub->FindSection("A1")->HasSubsections());
  EXPECT_EQ(ItemsOf(ini, "B"), Lines{"b=3"});
  EXPECT_EQ(Written(ini), "[A]\na=1\n\n[[A1]\nx=2\n\n[[[A1a]\n[[A2]\n[B]\nb=3\n");
  EXPECT_EQ(Written(ini, 1), "[[A]\na=1\n\n[[[A1]\nx=2\n\n[[[[A1a]\n[[[A2]\n[[B]\nb=3\n");
  EXPECT_TRUE(capture.Messages().empty());

  INIStreamInMem first("[[X]]\nk=v\n[A]\n");
  EXPECT_EQ(first.Sections().Count(), 0u);
  ASSERT_EQ(capture.Texts(), Lines{"INIStream('<In Memory>'): invalid section nesting [[X]]"});
  capture.Clear();
  // Two levels down at once: reported once, what came before stays.
  INIStreamInMem skip("[A]\na=1\n[[B]]\n[[[[C]]]]\n[D]\n");
  EXPECT_EQ(capture.Texts(), Lines{"INIStream('<In Memory>'): invalid section nesting [[[[C]]]]"});
  EXPECT_EQ(skip.Sections().Count(), 1u);
  EXPECT_EQ(ItemsOf(skip, "A"), Lines{"a=1"});
}

TEST(IniSections, NestingDepthIsBounded) {
  initest::MessageCapture capture;
  std::string text;
  for (uint32_t level = 0; level < 1000; ++level)
    text += std::string(level + 1, '[') + "L" + std::to_string(level) + "]\nk=v\n";
  INIStreamInMem ini(text.c_str());
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_NE(capture.Texts()[0].find("invalid section nesting [[[["), std::string::npos);
  uint32_t depth = 0;
  for (const INIStreamStub* table = &ini; table != nullptr;
       table = table->Sections().Last()->Subsections())
    ++depth;
  EXPECT_EQ(depth, INIStreamStub::kMaxNesting + 1);
}

TEST(IniSections, SectionNamesWithBracketsAreStoredAsControlBytes) {
  INIStreamInMem ini("[a\x10x\x11]\nk=v\n");
  EXPECT_STREQ(ini.Sections().At(0)->Name(), "a[x]");
  EXPECT_EQ(Written(ini), "[a\x10x\x11]\nk=v\n");
  EXPECT_TRUE(ini.DeleteSection("a[x]"));
  EXPECT_EQ(ini.Sections().Count(), 0u);
  INIStreamInMem again("[a\x10x\x11]\n");
  EXPECT_TRUE(again.DeleteSection("a\x10x\x11"));
}

TEST(IniSections, NumbersOfTypeTwo) {
  INIStreamInMem ini = Parse(
      "[N]\nhex=0x1F\nlead=010\nneg=-1\ntail=12abc\nempty=\none=7\nletter=x\nzeros=000\n"
      "big=99999999999\n",
      kLookUp);
  ini.SelectSection("N");
  auto read = [&](const char* key, uint32_t fallback = 77) {
    uint32_t value = 0;
    ini.ReadValue(INIValue(key, &value, fallback));
    return value;
  };
  EXPECT_EQ(read("hex"), 31u);
  EXPECT_EQ(read("lead"), 10u);
  EXPECT_EQ(read("neg"), 4294967295u);
  EXPECT_EQ(read("tail"), 12u);
  EXPECT_EQ(read("empty"), 0u);
  EXPECT_EQ(read("one"), 7u);
  EXPECT_EQ(read("letter"), 0u);
  EXPECT_EQ(read("zeros"), 0u);
  EXPECT_EQ(read("big"), 0xFFFFFFFFu);
  EXPECT_EQ(read("absent"), 77u);
  ini.SelectSection("nothing");
  EXPECT_EQ(read("hex"), 77u);
}

TEST(IniSections, TextReadsStayInsideTheBuffer) {
  INIStreamInMem ini("[S]\nk=abcdefghij\n");
  ini.SelectSection("S");
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(ini.GetString("k", nullptr, buffer, 5), buffer);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(buffer[5], '#');
  EXPECT_EQ(ini.GetString("none", "dflt", buffer, sizeof buffer), buffer);
  EXPECT_STREQ(buffer, "dflt");
  std::strcpy(buffer, "keep");
  EXPECT_EQ(ini.GetString("none", nullptr, buffer, sizeof buffer), nullptr);
  EXPECT_STREQ(buffer, "keep");
  EXPECT_EQ(ini.GetString("k", nullptr, buffer, 0), nullptr);
  char text[4];
  ini.ReadValue(INIValue("k", text, sizeof text));
  EXPECT_STREQ(text, "abc");
}

TEST(IniSections, SelectionUsesTheFirst255Characters) {
  const std::string name(255, 'n');
  INIStreamInMem ini(("[" + name + "]\nk=1\n").c_str());
  const std::string longer = name + std::string(45, 'z');
  EXPECT_NE(ini.SelectSection(longer.c_str()).SelectedSection(), nullptr);
  EXPECT_EQ(std::strlen(ini.SelectedName()), 255u);
  EXPECT_NE(ini.SelectSection(ini.SelectedName()).SelectedSection(), nullptr);
  EXPECT_EQ(ini.SelectSection(nullptr).SelectedSection(), nullptr);
}

TEST(IniSections, SortedIndexesFindTheFirstOccurrence) {
  std::string text;
  for (int s = 11; s >= 0; --s) {
    text += "[sec" + std::to_string(s % 10) + "]\n";
    for (int k = 9; k >= 0; --k)
      text += "key" + std::to_string(k) + "=" + std::to_string(s) + "." + std::to_string(k) + "\n";
    text += "key5=again\n";
  }
  INIStreamInMem lookUp = Parse(text, kLookUp);
  INIStreamInMem plain = Parse(text);
  EXPECT_TRUE(lookUp.HasSortedSectionIndex());
  EXPECT_FALSE(plain.HasSortedSectionIndex());
  EXPECT_TRUE(lookUp.FindSection("sec3")->HasSortedIndex());
  for (INIStreamStub* ini :
       {static_cast<INIStreamStub*>(&lookUp), static_cast<INIStreamStub*>(&plain)}) {
    char value[16];
    EXPECT_STREQ(ini->SelectSection("sec1").GetString("key5", nullptr, value, sizeof value),
                 "11.5");
    EXPECT_STREQ(ini->SelectSection("sec7").GetString("key0", nullptr, value, sizeof value), "7.0");
    EXPECT_EQ(ini->SelectSection("sec").SelectedSection(), nullptr);
    EXPECT_EQ(ini->FindItem(ini->FindSection("sec2"), "key"), nullptr);
  }
  EXPECT_FALSE(Parse("[a]\n[b]\n", kLookUp).HasSortedSectionIndex());
}

TEST(IniSections, LaterDuplicatesWinWhenAsked) {
  INIStreamInMem last =
      Parse("[S]\nk=1\nlong=first value\nk=2\nlong=second value\n[[T]]\nk=a\nk=b\n",
            kLookUp | INIStream::kLastDuplicateWins);
  const SectionItem* s = last.FindSection("S");
  EXPECT_EQ(ItemsOf(s), (Lines{"k=2", "long=second value", "k=2", "long=second value"}));
  EXPECT_EQ(ItemsOf(*s->Subsections(), "T"), (Lines{"k=b", "k=b"}));
  INIStreamInMem first = Parse("[S]\nk=1\nk=2\n", kLookUp);
  char value[4];
  EXPECT_STREQ(first.SelectSection("S").GetString("k", nullptr, value, sizeof value), "1");
  // Many equal keys are resolved without comparing every pair.
  std::string many = "[S]\n";
  for (int i = 0; i < 20000; ++i)
    many += "k=" + std::to_string(i) + "\n";
  INIStreamInMem big = Parse(many, kLookUp | INIStream::kLastDuplicateWins);
  EXPECT_STREQ(big.FindSection("S")->Items().front().Value(), "19999");
}

TEST(IniSections, EmptySectionsAndDeletion) {
  INIStreamInMem ini("[E]\n[S]\nk=v\n[F]\n");
  EXPECT_EQ(Written(ini), "[E]\n[S]\nk=v\n\n[F]\n");
  INIStreamInMem skip =
      Parse("[E]\n[S]\nk=v\n[F]\n", INIStream::kPlain | INIStream::kSkipEmptySections);
  EXPECT_EQ(Written(skip), "[S]\nk=v\n");
  ini.SelectSection("S");
  EXPECT_TRUE(ini.DeleteSection("S"));
  EXPECT_EQ(ini.SelectedSection(), nullptr) << "the selection does not outlive its section";
  EXPECT_FALSE(ini.DeleteSection("S"));
  EXPECT_EQ(Written(ini), "[E]\n[F]\n");
  std::string text;
  for (int i = 0; i < 12; ++i)
    text += "[s" + std::to_string(i) + "]\n";
  INIStreamInMem indexed = Parse(text, kLookUp);
  EXPECT_TRUE(indexed.DeleteSection("s5"));
  EXPECT_EQ(indexed.FindSection("s5"), nullptr);
  EXPECT_NE(indexed.FindSection("s6"), nullptr);
}

TEST(IniSections, TextInPlaceOfTheFileName) {
  initest::MessageCapture capture;
  INIStream text(">[A]\nk = v\njust text\n[B]\n", INIStream::kLookUp);
  EXPECT_EQ(text.Flags(), 0u);
  EXPECT_STREQ(text.FileName(), "");
  EXPECT_EQ(ItemsOf(text, "A"), Lines{"k=v"});
  EXPECT_NE(text.FindSection("B"), nullptr);
  EXPECT_FALSE(text.WillWriteBack());
  EXPECT_TRUE(capture.Messages().empty());

  INIStream wrong(">[A]\nk=v\n", 0);
  ASSERT_EQ(capture.Texts(), Lines{"INIStream::INIStream(): Invalid flags"});
  EXPECT_EQ(wrong.Sections().Count(), 0u);
  EXPECT_FALSE(wrong.WillWriteBack());
}

TEST(IniWriteBack, ReplacesTheFileThroughATemporaryBesideIt) {
  initest::ScratchFolder folder;
  const std::string path = folder.In("a.ini");
  folder.Write("a.ini", "; comment\n[A]\nk = v\nline\n[B]\nx=1\n");
  {
    INIStream ini(path.c_str(), 0);
    EXPECT_TRUE(ini.IsLoaded());
    EXPECT_TRUE(ini.WillWriteBack());
    ini.DeleteSection("B");
  }
  // Written back as a text file: "\r\n" line ends on Windows.
  EXPECT_EQ(folder.Read("a.ini"), initest::TextFile("[A]\nk=v\n; line\n"));
  // No temporary is left beside it.
  std::vector<std::string> entries;
  EXPECT_EQ(platform::ListDirectory(
                folder.Path().c_str(),
                [&](const platform::DirectoryEntry& entry) { entries.push_back(entry.name); }),
            0u);
  EXPECT_EQ(entries, Lines{"a.ini"});
  // A stream of a missing file creates it; look-up streams never write.
  { INIStream created(folder.In("new.ini").c_str(), 0); }
  EXPECT_EQ(folder.Read("new.ini"), "");
  folder.Write("ro.ini", "[A]\nk = v\n");
  { INIStream lookUp(folder.In("ro.ini").c_str(), INIStream::kLookUp); }
  EXPECT_EQ(folder.Read("ro.ini"), "[A]\nk = v\n");
}

TEST(IniSections, NamesRelativeToTheLibraryFolder) {
  const std::string folder = PFilePath(platform::LibraryModulePath().c_str()).Directory().c_str();
  INIStream ini("no-such-settings.ini", INIStream::kModuleRelative | INIStream::kLookUp);
  EXPECT_EQ(std::string(ini.FileName()),
            PFilePath().Join(folder.c_str(), "no-such-settings.ini").Path());
  EXPECT_FALSE(ini.IsLoaded());
}

TEST(IniWriteBack, DeleteFirstStartsEmpty) {
  initest::ScratchFolder folder;
  folder.Write("d.ini", "[A]\nk=v\n");
  {
    INIStream ini(folder.In("d.ini").c_str(), INIStream::kDeleteFirst);
    EXPECT_EQ(ini.Sections().Count(), 0u);
  }
  EXPECT_EQ(folder.Read("d.ini"), "");
}

// A parse that stopped early no longer stands for the file: writing it back
// would drop everything after the bad line.
TEST(IniWriteBack, IncompleteParseLeavesTheFileAlone) {
  initest::ScratchFolder folder;
  initest::MessageCapture capture;
  const std::string text = "[A]\nk=v\n[[[X]]]\n[B]\nimportant=1\n";
  folder.Write("n.ini", text);
  {
    INIStream ini(folder.In("n.ini").c_str(), 0);
    EXPECT_FALSE(ini.WillWriteBack());
  }
  EXPECT_EQ(folder.Read("n.ini"), text);
  EXPECT_EQ(capture.Messages().size(), 1u);
}

// A line longer than the line buffer arrives in pieces, which would come back
// as separate lines: such a file is read but never rewritten.
TEST(IniWriteBack, LinesReadInPiecesKeepTheFile) {
  initest::ScratchFolder folder;
  const std::string text = "[A]\nlong=" + std::string(70000, 'v') + "\nk=1\n";
  folder.Write("long.ini", text);
  {
    INIStream ini(folder.In("long.ini").c_str(), 0);
    EXPECT_TRUE(ini.IsLoaded());
    EXPECT_FALSE(ini.WillWriteBack());
  }
  EXPECT_EQ(folder.Read("long.ini"), text);
}

TEST(IniWriteBack, AFailedReplaceLeavesTheTargetAsItWas) {
  initest::ScratchFolder folder;
  // The target is a folder: the new text cannot replace it, and the
  // temporary file is removed again.
  CreateDirectories(folder.In("dir.ini").c_str());
  {
    INIStream ini(folder.In("dir.ini").c_str(), 0);
    EXPECT_EQ(ini.Sections().Count(), 0u);
  }
  EXPECT_TRUE(IsDirectory(folder.In("dir.ini").c_str()));
  int files = 0;
  platform::ListDirectory(folder.Path().c_str(), [&](const platform::DirectoryEntry&) { ++files; });
  EXPECT_EQ(files, 1);
}

}  // namespace
