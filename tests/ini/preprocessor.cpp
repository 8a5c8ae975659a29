// The preprocessor: directives and conditions, macros with parameters,
// pasting, joining and hard breaks, escapes, predefined macros, the second
// pass, includes, listings, and the bounds on malformed text.
#include "ini/preprocessor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/files.h"
#include "ini/ini_stream.h"
#include "ini/support/ini_test_support.h"

namespace {

using Lines = std::vector<std::string>;
using initest::ItemsOf;

constexpr uint32_t kPre = INIStream::kPreprocess;

// The items of section S of preprocessed memory text ("[S]" comes first).
Lines Items(const std::string& body, uint32_t flags = kPre) {
  const std::string text = "[S]\n" + body;
  INIStreamInMem ini(text.c_str(), text.size(), flags);
  return ItemsOf(ini, "S");
}

TEST(IniMacros, FunctionLikeAndObjectLike) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("#define SQ(x) x*x\na=SQ(3)\n"), Lines{"a=3*3"});
  EXPECT_EQ(Items("#define SQ (x) x*x\na=SQ (3)\n"), Lines{"a=3*3"}) << "blanks before '('";
  EXPECT_EQ(Items("#define ADD(a, b) a+b+1a\nv=ADD(x,y)\n"), Lines{"v=x+y+1a"})
      << "a token starting with a digit is not a parameter";
  EXPECT_EQ(Items("#define CAT(a,b) a##b\n#define xy joined\nv=CAT(x,y)\n"), Lines{"v=joined"});
  EXPECT_EQ(Items("#define E(a,b,c) [a|b|c]\nv=E(,,)\n"), Lines{"v=[||]"});
  EXPECT_EQ(Items("#define K value\n#define K other\nv=K 12K K\n"), Lines{"v=other 12K other"});
  EXPECT_EQ(Items("#define V\nv=<V>\n#undef V\nw=V\n"), (Lines{"v=<>", "w=V"}));
  std::string params, uses;
  for (int i = 0; i < 70; ++i) {
    params += (i ? ",p" : "p") + std::to_string(i);
    uses += (i ? "," : "") + std::to_string(i);
  }
  EXPECT_EQ(
      Items("#define M(" + params + ") p69 p0 \t\x1f\n", kPre | INIStream::kNoJoinNoEscapes).size(),
      0u);
  EXPECT_EQ(Items("#define M(" + params + ") p69<p0>p32\nv=M(" + uses + ")\n"), Lines{"v=69<0>32"})
      << "more than 64 parameters";
  EXPECT_TRUE(capture.Messages().empty()) << capture.Texts()[0];
}

TEST(IniMacros, BadUsesAreReportedAndTheLineIsKept) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("#define SQ(x) x*x\na=1 SQ(3\n"), Lines{"a=1 SQ(3"});
  EXPECT_EQ(
      capture.Texts(),
      Lines{"')' expected while expanding macro 'SQ' in file '<In Memory>', expansion count: 1"});
  capture.Clear();
  EXPECT_EQ(Items("#define SQ(x) x*x\na=SQ\n"), Lines{"a=SQ"});
  EXPECT_EQ(
      capture.Texts(),
      Lines{"'(' expected while expanding macro 'SQ' in file '<In Memory>', expansion count: 1"});
  capture.Clear();
  EXPECT_EQ(Items("#define SQ(x) x*x\na=SQ(1) SQ(1,2) tail\n"), Lines{"a=1*1 SQ(1,2) tail"});
  EXPECT_EQ(capture.Texts(), Lines{"Invalid number of parameters to macro 'SQ' in file "
                                   "'<In Memory>', expansion count: 2"});
  capture.Clear();
  Items("#define\n#define 1X\n#define F(a\n#define G(,)\n");
  EXPECT_EQ(capture.Texts(),
            (Lines{"Invalid #define directive '#define ' in file '<In Memory>'",
                   "Invalid #define directive '#define 1X' in file '<In Memory>'",
                   "Invalid #define directive '#define F(a' in file '<In Memory>'",
                   "Invalid #define directive '#define G(,)' in file '<In Memory>'"}));
}

TEST(IniMacros, PastingWithAndWithoutBlanks) {
  const std::string defs = "#define X ab\n#define Y cd\n";
  EXPECT_EQ(Items(defs + "v=X##Y\n"), Lines{"v=abcd"});
  EXPECT_EQ(Items(defs + "v=X ## Y\n"), Lines{"v=ab ## cd"});
  EXPECT_EQ(Items(defs + "v=pre##X\n"), Lines{"v=preab"});
  EXPECT_EQ(Items(defs + "v=n##m\n"), Lines{"v=n##m"}) << "only macro uses paste";
}

TEST(IniMacros, SelfReferenceDepthAndSizeAreBounded) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("#define A A+1\nv=A\n"), Lines{"v=A+1"});
  EXPECT_EQ(capture.Texts(), Lines{"Macro 'A' refers to itself in file '<In Memory>', "
                                   "expansion count: 2"});
  capture.Clear();
  EXPECT_EQ(Items("#define A B\n#define B [A]\nv=A B\n"), Lines{"v=[A] [B]"});
  EXPECT_EQ(capture.Messages().size(), 1u) << "once per line";
  capture.Clear();
  // A chain deeper than the bound stops with a message.
  std::string chain;
  for (int i = 0; i < 100; ++i)
    chain += "#define M" + std::to_string(i) + " M" + std::to_string(i + 1) + "\n";
  const Lines deep = Items(chain + "v=M0 end\n");
  ASSERT_EQ(deep.size(), 1u);
  EXPECT_EQ(deep[0], "v=M64 end");
  EXPECT_TRUE(capture.Contains("nested more than 64 levels deep"));
  capture.Clear();
  // Doubling forty times would give a terabyte: the line is cut instead.
  std::string doubling = "#define D0 xy\n";
  for (int i = 1; i <= 40; ++i)
    doubling += "#define D" + std::to_string(i) + " D" + std::to_string(i - 1) + " D" +
                std::to_string(i - 1) + "\n";
  const Lines cut = Items(doubling + "v=D40\n");
  ASSERT_FALSE(cut.empty());
  EXPECT_EQ(cut[0].size(), Preprocessor::kMaxLineLength);
  EXPECT_TRUE(capture.Contains("line longer than 65535 characters cut"));
}

TEST(IniConditions, IfElseEndifAndNesting) {
  initest::MessageCapture capture;
  const std::string a = "#define A 1\n";
  EXPECT_EQ(Items(a + "#if A==1\nk=v\n#else\nk=w\n#endif\n"), Lines{"k=v"});
  EXPECT_EQ(Items(a + "#if A != 1\nk=v\n#else\nk=w\n#endif\n"), Lines{"k=w"});
  EXPECT_EQ(Items(a + "#if A = 1\nk=v\n#endif\n"), Lines{"k=v"});
  EXPECT_EQ(Items(a + "#if 1 A == 11\nk=v\n#endif\n"), Lines{"k=v"})
      << "blanks leave the left side";
  EXPECT_EQ(Items(a + "#ifdef A\nx=1\n#endif\n#ifndef A\ny=1\n#endif\n#ifdef B\nz=1\n#endif\n"),
            Lines{"x=1"});
  // An #else inside an inactive block leaves its branch inactive.
  EXPECT_EQ(Items("#if 1==2\n#if 1==1\na=1\n#else\nb=1\n#endif\nc=1\n#else\nd=1\n#endif\n"),
            Lines{"d=1"});
  EXPECT_EQ(Items("#if 1==2\n#define X 1\n#include nothing\n#endif\nv=X\n"), Lines{"v=X"});
  EXPECT_TRUE(capture.Messages().empty());
  // Without an #if, #else and #endif are reported and reading goes on.
  EXPECT_EQ(Items("#endif\na=1\n#else\nb=1\n"), (Lines{"a=1", "b=1"}));
  EXPECT_EQ(capture.Texts(), (Lines{"File '<In Memory>': \"#endif\" without \"if\"",
                                    "File '<In Memory>': \"#else\" without \"if\""}));
  capture.Clear();
  // An unfinished #if at the end is not reported.
  EXPECT_EQ(Items("#if 1==1\na=1\n"), Lines{"a=1"});
  EXPECT_TRUE(capture.Messages().empty());
}

TEST(IniConditions, InvalidConditionsSkipTheirBlock) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("#if 1==2\n#if nothing\na=1\n#endif\nb=1\n#endif\nc=1\n"), Lines{"c=1"});
  EXPECT_EQ(Items("#if x!y\na=1\n#endif\n#ifdef 9\nb=1\n#endif\n#ifndef\nc=1\n#endif\nd=1\n"),
            Lines{"d=1"});
  EXPECT_EQ(capture.Texts(),
            (Lines{"File '<In Memory>': Invalid \"#if\" directive: #if nothing",
                   "File '<In Memory>': Invalid \"#if\" directive: #if x!y",
                   "File '<In Memory>': Invalid \"#ifdef\" directive: identifier expected",
                   "File '<In Memory>': Invalid \"#ifndef\" directive: identifier expected"}));
}

TEST(IniDirectives, InvalidUnknownAndError) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("# define X 1\n#\n#Define X\n#pragma once\nv=X\n"), Lines{"v=X"});
  EXPECT_EQ(capture.Texts(), (Lines{"Invalid directive '# define X 1' in file '<In Memory>'",
                                    "Invalid directive '#' in file '<In Memory>'",
                                    "Unknown directive '#Define' in file '<In Memory>'",
                                    "Unknown directive '#pragma' in file '<In Memory>'"}));
  capture.Clear();
  Items("#define WHAT disk\n#error 100% of WHAT|full %s\n");
  ASSERT_EQ(capture.Messages().size(), 1u);
  EXPECT_EQ(capture.Messages()[0].text, "100% of disk|full %s");
  EXPECT_EQ(capture.Messages()[0].caption, "Information");
}

TEST(IniLines, ContinuationAndHardBreaks) {
  EXPECT_EQ(Items("a=line1 \\\nline2\n"), Lines{"a=line1 line2"});
  EXPECT_EQ(Items("a=p\\\\\nq=1\n"), (Lines{"a=p", "q=1"}));
  EXPECT_EQ(Items("a=1\\\n2\\\n3\n"), Lines{"a=123"});
  EXPECT_EQ(Items("a=end\\\n"), Lines{"a=end"});
  EXPECT_EQ(Items("#define TWO x=1\\\\\ny=2\nTWO\n"), (Lines{"x=1", "y=2"}));
  // Without joining and escapes the backslashes stay.
  EXPECT_EQ(Items("a=p\\\nb=\\x41\n", kPre | INIStream::kNoJoinNoEscapes),
            (Lines{"a=p\\", "b=\\x41"}));
}

TEST(IniLines, EscapesAreDecoded) {
  EXPECT_EQ(Items("a=\\q\\x41\\101\\\\\\\"\n"), Lines{"a=qAA\\\""});
  EXPECT_EQ(Items("a=cut\\0here\n"), Lines{"a=cut"});
  // A digit run is consumed whole and read as octal up to its first 8 or 9.
  EXPECT_EQ(Items("a=\\18z\\1019!\n"), Lines{"a=\001zA!"});
  EXPECT_EQ(Items("a=cut\\9here\n"), Lines{"a=cut"});
  EXPECT_EQ(Items("a=tab\\there\n"), Lines{"a=tab\there"});
  EXPECT_EQ(Items("a=x\\x4\n"), Lines{"a=x\x04"});
  EXPECT_EQ(Items("a=two\\x1Fb=1\n"), (Lines{"a=two", "b=1"})) << "an escaped hard break splits";
}

TEST(IniLines, CommentsAndPlainText) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("; c\n#define X 1\nv=X\n", kPre | INIStream::kHashComments), Lines{"v=X"});
  EXPECT_EQ(Items("#define X 1\nv=X\n", INIStream::kPlain), (Lines{"; #define X 1", "v=X"}));
  EXPECT_EQ(Items("$v=1\n=drop\n'drop\nw=2\n"), (Lines{"v=1", "w=2"}));
  EXPECT_TRUE(capture.Messages().empty());
}

TEST(IniPredefined, FileAndApplicationNames) {
  initest::ScratchFolder folder;
  folder.Write("Test.ini", "[S]\nf=__FILE__\na=__APP_NAME__\np=__PROJECT_NAME__\n");
  INIStream ini(folder.In("Test.ini").c_str(), kPre | INIStream::kLookUp);
  EXPECT_EQ(ItemsOf(ini, "S"), (Lines{"f=TEST.INI", "a=NVDevices", "p=NVDevices"}));
  EXPECT_EQ(Items("f=__FILE__\n"), Lines{"f=<IN MEMORY>"});
}

TEST(IniSecondPass, SectionAndRecordMacros) {
  initest::MessageCapture capture;
  EXPECT_EQ(Items("y=5\nx=__R__(y)\nz=in __S__\n"), (Lines{"y=5", "x=5", "z=in S"}));
  EXPECT_EQ(Items("a=1\nb=__R__(a)__R__(a)\nc=[__R__(b)]\nd=__R__(none)\ne=__R__(f)\nf=late\n"),
            (Lines{"a=1", "b=11", "c=[11]", "d=", "e=late", "f=late"}));
  EXPECT_EQ(capture.Texts(), Lines{"Undefined record name 'none' in macro __R__()"});
  // Macros of the text are gone by then, and single underscores stay.
  EXPECT_EQ(Items("#define M 1\nv=_M_\nw=M\n"), (Lines{"v=_M_", "w=1"}));
  const std::string tree = "[A]\nv=__S__\n[[B]]\nv=__S__\n[C]\nv=__S__\n";
  INIStreamInMem nested(tree.c_str(), tree.size(), kPre);
  EXPECT_EQ(ItemsOf(*nested.FindSection("A")->Subsections(), "B"), Lines{"v=B"});
  EXPECT_EQ(ItemsOf(nested, "A"), Lines{"v=A"});
  EXPECT_EQ(ItemsOf(nested, "C"), Lines{"v=C"});
}

TEST(IniIncludes, NestedRelativeMissingAndCycles) {
  // Relative names resolve against the stream's own folder, at every depth:
  // the including file's folder is not searched.
  initest::ScratchFolder folder;
  initest::MessageCapture capture;
  CreateDirectories(folder.In("sub").c_str());
  folder.Write("main.ini", "[S]\n#include sub/a.inc\nafter=1\n#include missing.inc\n");
  folder.Write("sub/a.inc",
               "; comment\n#define FROM_A a\nfromA=FROM_A\n#include sub/b.inc\n"
               "#include c.inc\n#include only-in-sub.inc\n");
  folder.Write("sub/b.inc",
               "fromB=line \\\n  joined\n#include sub/a.inc\n#include sub/empty.inc\n");
  folder.Write("sub/empty.inc", "");
  folder.Write("c.inc", "c=root\n");
  folder.Write("sub/c.inc", "c=sub\n");
  folder.Write("sub/only-in-sub.inc", "x=1\n");
  INIStream ini(folder.In("main.ini").c_str(), kPre | INIStream::kLookUp);
  EXPECT_EQ(ItemsOf(ini, "S"), (Lines{"fromA=a", "fromB=line joined", "c=root", "after=1"}));
  ASSERT_EQ(capture.Messages().size(), 3u);
  EXPECT_NE(capture.Texts()[0].find("a.inc' ignored: the file is already being read"),
            std::string::npos);
  EXPECT_EQ(capture.Texts()[1], "<Message string with resource id = 6922 not linked>");
  EXPECT_EQ(capture.Texts()[2], "<Message string with resource id = 6922 not linked>");
}

// A chain of nested includes longer than the bound stops there, with one
// message and no deep recursion.
TEST(IniIncludes, DeepNestingStopsAtTheBound) {
  initest::ScratchFolder folder;
  initest::MessageCapture capture;
  for (int i = 0; i < 100; ++i) {
    folder.Write("n" + std::to_string(i) + ".inc",
                 "#include n" + std::to_string(i + 1) + ".inc\nv" + std::to_string(i) + "=1\n");
  }
  folder.Write("chain.ini", "[S]\n#include n0.inc\n");
  INIStream chain(folder.In("chain.ini").c_str(), kPre | INIStream::kLookUp);
  EXPECT_EQ(chain.FindSection("S")->Items().size(), Preprocessor::kMaxIncludeDepth);
  EXPECT_EQ(capture.Messages().size(), 1u);
}

TEST(IniIncludes, IncludeCountIsBounded) {
  initest::ScratchFolder folder;
  initest::MessageCapture capture;
  // Ten includes of ten includes of ... would be 10^5 includes.
  for (int level = 0; level < 5; ++level) {
    std::string text;
    for (int i = 0; i < 10; ++i)
      text += "#include l" + std::to_string(level + 1) + ".inc\n";
    folder.Write("l" + std::to_string(level) + ".inc", text);
  }
  folder.Write("l5.inc", "k=v\n");
  folder.Write("wide.ini", "[S]\n#include l0.inc\n");
  INIStream ini(folder.In("wide.ini").c_str(), kPre | INIStream::kLookUp);
  EXPECT_TRUE(capture.Contains("more than 10000 includes"));
}

TEST(IniListings, SourceAndPreprocessedListings) {
  initest::ScratchFolder folder;
  folder.Write("L.ini", "[S]\n#define V 7\na=p\\\\\nq=V \\\nr\nb=__S__\n");
  { INIStream ini(folder.In("L.ini").c_str(), kPre | INIStream::kListings | INIStream::kLookUp); }
  // Listings are text files: "\r\n" line ends on Windows.
  EXPECT_EQ(folder.Read("L.pp1"),
            initest::TextFile(
                ";;; Source configuration file with line continuation characters removed and "
                "lines merged.\n\n[S]\n#define V 7\na=p\\\\\nq=V r\nb=__S__\n"));
  EXPECT_EQ(folder.Read("L.pp"),
            initest::TextFile("; -------- Predefined macros --------\n"
                              "; __APP_NAME__ = NVDevices\n; __FILE__ = L.INI\n"
                              "; __PROJECT_NAME__ = NVDevices\n\n[S]\na=p\nq=7 r\nb=S\n"));
}

TEST(IniMalformed, NothingCrashesOrHangs) {
  initest::MessageCapture capture;
  const std::string nul("[S]\na=1\0b=2\n", 12);
  EXPECT_EQ(Items(nul.substr(4)), Lines{"a=1"});
  EXPECT_EQ(Items("]]]\n[\n[[[[\n[]\n"), Lines{});
  EXPECT_EQ(Items("#define \xC0\xC1(\xE0) <\xE0>\nv=\xC0\xC1(\xFF)\n"), Lines{"v=<\xFF>"});
  // A line of megabytes arrives in pieces of at most 64 KiB.
  const std::string huge = "h=" + std::string(3 << 20, 'x') + "\n";
  const Lines pieces = Items(huge);
  ASSERT_FALSE(pieces.empty());
  EXPECT_EQ(pieces[0].size(), 65535u);
  // Continuation chains are cut at the line bound but keep what follows.
  std::string chain = "c=";
  for (int i = 0; i < 40; ++i)
    chain += std::string(4000, 'y') + "\\\n";
  chain += "z\nafter=1\n";
  const Lines joined = Items(chain);
  ASSERT_EQ(joined.size(), 2u);
  EXPECT_EQ(joined[0].size(), Preprocessor::kMaxLineLength);
  EXPECT_EQ(joined[1], "after=1");
}

}  // namespace
