// Target files without a device: the image CRC, the memory image, Intel HEX
// text and container files (reading, the writer, and hostile input).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "protocol/container.h"
#include "protocol/crc32.h"
#include "protocol/intel_hex.h"
#include "protocol/memory_image.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The plain table form, one byte at a time: the reference the library's
// faster form must agree with.
uint32_t ReferenceCrc(const uint8_t* data, size_t size) {
  uint32_t table[256];
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t value = i << 24;
    for (int bit = 0; bit < 8; ++bit)
      value = (value & 0x80000000u) != 0 ? (value << 1) ^ 0x04C11DB7u : value << 1;
    table[i] = value;
  }
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < size; i += 4) {
    uint8_t word[4] = {};
    std::memcpy(word, data + i, size - i < 4 ? size - i : 4);
    for (int k = 3; k >= 0; --k)
      crc = (crc << 8) ^ table[(crc >> 24) ^ word[k]];
  }
  return crc;
}

Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (uint8_t& b : bytes)
    b = static_cast<uint8_t>(random());
  return bytes;
}

void PutU32(Bytes& bytes, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(ImageCrc, KnownValuesAndTheReferenceAgree) {
  const uint8_t five[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(ImageCrc32(five, 5), 0xBA237BE3u);
  EXPECT_EQ(ReferenceCrc(five, 5), 0xBA237BE3u);
  EXPECT_EQ(ImageCrc32("123456789", 9), 0xAFF19057u);
  EXPECT_EQ(ImageCrc32(nullptr, 0), 0xFFFFFFFFu);
  // Every length and alignment around the eight-byte steps and the tail.
  const Bytes data = RandomBytes(4096 + 16, 7);
  for (size_t offset = 0; offset < 8; ++offset)
    for (size_t size = 0; size < 70; ++size)
      ASSERT_EQ(ImageCrc32(data.data() + offset, size), ReferenceCrc(data.data() + offset, size))
          << offset << " " << size;
  EXPECT_EQ(ImageCrc32(data.data() + 3, 4096), ReferenceCrc(data.data() + 3, 4096));
}

// The memory image against a byte map: after any sequence of additions the
// records are sorted, neither overlap nor touch, and hold the latest bytes.
TEST(MemoryImage, AdditionsMergeLikeAByteMap) {
  std::mt19937 random(11);
  for (int run = 0; run < 200; ++run) {
    DebuggerNS::DataRecords image;
    std::map<uint32_t, uint8_t> expected;
    for (int step = 0; step < 12; ++step) {
      const uint32_t address = 0xFFFFFF00u + random() % 200;  // some near the top
      const uint32_t base = run % 2 != 0 ? address : random() % 160;
      const uint32_t count = 1 + random() % 40;
      const Bytes bytes = RandomBytes(count, random());
      const bool fits = uint64_t{base} + count <= (uint64_t{1} << 32);
      ASSERT_EQ(image.Add(base, bytes.data(), count), fits);
      if (!fits) continue;
      for (uint32_t i = 0; i < count; ++i)
        expected[base + i] = bytes[i];
    }
    std::map<uint32_t, uint8_t> held;
    uint64_t previousEnd = 0;
    for (size_t i = 0; i < image.Count(); ++i) {
      const DebuggerNS::DataRecord& record = image.At(i);
      ASSERT_GT(record.Length(), 0u);
      if (i != 0) {
        ASSERT_GT(record.Start, previousEnd) << "records overlap or touch";
      }
      previousEnd = record.End();
      for (uint32_t k = 0; k < record.Length(); ++k)
        held[record.Start + k] = record.Data[k];
    }
    ASSERT_EQ(held, expected) << "run " << run;
    EXPECT_EQ(image.TotalLength(), expected.size());
  }
}

DebuggerNS::DataRecords ReadHex(const std::string& text, HexReport& report, bool expectOk = true) {
  DebuggerNS::DataRecords image;
  EXPECT_EQ(ReadIntelHex(text.data(), text.size(), image, report), expectOk) << text;
  return image;
}

TEST(IntelHex, RecordsBasesAndEndOfFileLines) {
  HexReport report;
  // An end-of-file line in the middle is ignored; blank lines, leading blanks
  // and CR LF line ends are fine; lower-case digits too.
  const std::string text =
      ":10100000000102030405060708090A0B0C0D0E0F68\r\n"
      "\r\n"
      "   :00000001FF\n"
      "\t:041010001011121396\n"
      ":020000021000EC\n"  // segment base 0x10000
      ":0200000400FFFB\n"  // linear base 0x00FF0000 (replaces it)
      ":03000000C0C1C2BA\n"
      ":020000040001F9\n"  // linear base 0x00010000
      ":02000003AABB96\n"  // start address: ignored
      ":0100050001F9";     // last line without a line end
  DebuggerNS::DataRecords image = ReadHex(text, report);
  EXPECT_TRUE(report.ChecksumMismatch.empty());
  EXPECT_EQ(report.Lines, 10u);
  ASSERT_EQ(image.Count(), 3u);
  EXPECT_EQ(image.At(0).Start, 0x1000u);
  EXPECT_EQ(image.At(0).Length(), 20u);
  EXPECT_EQ(image.At(0).Data[19], 0x13);
  EXPECT_EQ(image.At(1).Start, 0x10005u);
  EXPECT_EQ(image.At(1).Data, Bytes{0x01});
  EXPECT_EQ(image.At(2).Start, 0x00FF0000u);
  EXPECT_EQ(image.At(2).Data, (Bytes{0xC0, 0xC1, 0xC2}));
}

TEST(IntelHex, BadLinesStopWithTheirLineNumber) {
  struct Case {
    std::string text;
    HexError error;
    uint32_t line;
    const char* message;
  };
  const std::string longLine = ":" + std::string(8200, '0');
  const Case cases[] = {
      {":00000001FF\nS0030000FC\n", HexError::kColonExpected, 2,
       "Invalid 'f.hex' HEX file format: ':' expected in line 2"},
      {":00000006FA\n", HexError::kBadRecordTag, 1,
       "'f.hex' HEX file: Invalid record tag in line 1"},
      {":0400000001020G04F2\n", HexError::kBadDigit, 1,
       "Invalid 'f.hex' HEX file format: hexadecimal digit expected in line 1"},
      {":10000000010203\n", HexError::kShortLine, 1,
       "Invalid 'f.hex' HEX file format: line 1 ends before its data and checksum"},
      {":00000001FF\n" + longLine + "\n", HexError::kLineTooLong, 2,
       "Invalid 'f.hex' HEX file format: line 2 is longer than 8192 characters"},
      {":02000004FFFFFC\n:10FFF800000102030405060708090A0B0C0D0E0F81\n", HexError::kAddressWrap, 2,
       "Invalid 'f.hex' HEX file format: the data of line 2 runs past address FFFFFFFF"},
      {":0100000410EB\n", HexError::kShortAddressLine, 1,
       "Invalid 'f.hex' HEX file format: the address record in line 1 has fewer than 2 data "
       "bytes"},
      {std::string("\x7f"
                   "ELF\0\0\x01\xff",
                   8),
       HexError::kColonExpected, 1, nullptr},
      {std::string(":\0\0", 3), HexError::kBadDigit, 1, nullptr},
  };
  for (const Case& c : cases) {
    HexReport report;
    DebuggerNS::DataRecords image = ReadHex(c.text, report, false);
    EXPECT_EQ(report.Error, c.error) << c.text.substr(0, 60);
    EXPECT_EQ(report.ErrorLine, c.line) << c.text.substr(0, 60);
    if (c.message != nullptr) {
      EXPECT_EQ(HexErrorText(report, "f.hex"), c.message);
    }
  }
  // The longest valid record (255 data bytes) is read.
  std::string full = ":FF000000";
  uint32_t sum = 0xFF;
  for (int i = 0; i < 255; ++i) {
    full += "AB";
    sum += 0xAB;
  }
  char checksum[3];
  std::snprintf(checksum, sizeof checksum, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
  HexReport report;
  EXPECT_EQ(ReadHex(full + checksum, report).TotalLength(), 255u);
  EXPECT_TRUE(report.ChecksumMismatch.empty());
}

// The example file of the format description, byte for byte.
Bytes ExampleFile() {
  Bytes file(596, 0);
  const uint8_t head[] = {0x5A, 0x61, 0x6E, 0x64, 0x6F, 0x72, 0x00, 0x00, 0x34, 0x00, 0x00, 0x00,
                          0x21, 0x6C, 0x8A, 0x5B, 0x4E, 0x56, 0x2D, 0x31, 0x30, 0x30, 0x30, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x03, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0xE3, 0xC3, 0x17, 0x5A,
                          0x3C, 0x19, 0xE9, 0xA5, 0x00, 0x00, 0x00, 0x00, 0xDE, 0xAD, 0xBE, 0xEF,
                          0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xAC, 0xB4, 0x0D, 0x08, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00};
  std::memcpy(file.data(), head, sizeof head);
  return file;
}

TEST(Container, TheWriterProducesTheExampleAndTheReaderReadsIt) {
  PackSettings settings;
  settings.Signature = 0x5B8A6C21;
  settings.Product = "NV-1000";
  settings.VersionMajor = 2;
  settings.VersionMinor = 3;
  PackTarget target;
  const uint8_t payload[] = {0xDE, 0xAD, 0xBE, 0xEF, 1, 2, 3, 4, 5, 6};
  target.Data.Add(0x00010000, payload, sizeof payload);
  Bytes file;
  std::string reason;
  ASSERT_TRUE(PackContainer(settings, {target}, file, reason)) << reason;
  EXPECT_EQ(file, ExampleFile());

  ContainerInfo info;
  ASSERT_TRUE(ParseContainer(file.data(), file.size(), info, reason)) << reason;
  EXPECT_EQ(info.Kind, ContainerKind::kZandor);
  EXPECT_EQ(info.Signature, 0x5B8A6C21u);
  EXPECT_EQ(info.Product, "NV-1000");
  EXPECT_EQ(info.VersionMajor, 2);
  EXPECT_EQ(info.VersionMinor, 3);
  ASSERT_EQ(info.Targets.size(), 1u);
  EXPECT_EQ(info.Targets[0].Offset, 52u);
  EXPECT_EQ(info.Targets[0].Length, 544u);
  ContainerBlock block;
  uint64_t overshoot = 0;
  ASSERT_EQ(ReadContainerBlock(file.data() + 52, 544, block, overshoot), BlockCheck::kGood);
  EXPECT_EQ(block.Length, 10u);
  EXPECT_EQ(block.Word, 0x00010000u);
  EXPECT_EQ(block.Size, 544u);
  EXPECT_EQ(block.SendSize(), 528u);
}

// A multi-target file: the table, where each target's data start, and the
// blocks cut at the payload limit reassemble to the records.
TEST(Container, MultiTargetRoundTrip) {
  PackSettings settings;
  settings.Kind = ContainerKind::kVorlinex;
  settings.MaxPayload = 1024;
  std::vector<PackTarget> targets(2);
  targets[0].Name = "main";
  const Bytes mainData = RandomBytes(2500, 3), auxData = RandomBytes(7, 4);
  targets[0].Data.Add(0x08000000, mainData.data(), 2500);
  targets[1].Name = "aux";
  targets[1].Data.Add(0x1000, auxData.data(), 7);
  targets[1].Data.Add(0x2000, auxData.data(), 3);
  Bytes file;
  std::string reason;
  ASSERT_TRUE(PackContainer(settings, targets, file, reason)) << reason;
  ContainerInfo info;
  ASSERT_TRUE(ParseContainer(file.data(), file.size(), info, reason)) << reason;
  ASSERT_EQ(info.Targets.size(), 2u);
  EXPECT_EQ(info.Targets[0].Name, "main");
  EXPECT_EQ(info.Targets[1].Name, "aux");
  EXPECT_EQ(info.Targets[0].Offset, 580u);
  EXPECT_EQ(info.Targets[1].Offset, 580u + info.Targets[0].Length);
  EXPECT_EQ(info.Targets[1].Offset + info.Targets[1].Length, file.size());

  for (size_t t = 0; t < 2; ++t) {
    DebuggerNS::DataRecords back;
    std::vector<uint32_t> lengths;
    const uint8_t* at = file.data() + info.Targets[t].Offset;
    for (uint64_t remaining = info.Targets[t].Length; remaining != 0;) {
      ContainerBlock block;
      uint64_t overshoot = 0;
      ASSERT_EQ(ReadContainerBlock(at, remaining, block, overshoot), BlockCheck::kGood);
      back.Add(block.Word, at + block.PayloadOffset, block.Length);
      lengths.push_back(block.Length);
      at += block.Size;
      remaining -= block.Size;
    }
    ASSERT_EQ(back.Count(), targets[t].Data.Count());
    for (size_t r = 0; r < back.Count(); ++r)
      EXPECT_EQ(back.At(r).Data, targets[t].Data.At(r).Data);
    if (t == 0) {
      EXPECT_EQ(lengths, (std::vector<uint32_t>{1024, 1024, 452}));
    }
  }

  // What the format cannot hold is refused.
  settings.Kind = ContainerKind::kZandor;
  EXPECT_FALSE(PackContainer(settings, targets, file, reason));
  settings.Kind = ContainerKind::kVorlinex;
  targets[1].Name = std::string(260, 'n');
  EXPECT_FALSE(PackContainer(settings, targets, file, reason));
}

// Broken headers and tables are refused with a reason and size nothing from
// the file's numbers.
TEST(Container, BrokenHeadersAndTablesAreRefused) {
  PackSettings settings;
  settings.Kind = ContainerKind::kVorlinex;
  std::vector<PackTarget> targets(2);
  const Bytes data = RandomBytes(100, 5);
  targets[0].Data.Add(0, data.data(), 100);
  targets[1].Data.Add(0, data.data(), 50);
  Bytes good;
  std::string reason;
  ASSERT_TRUE(PackContainer(settings, targets, good, reason));

  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* reasonStart;
  };
  const Case cases[] = {
      {"truncated", [](Bytes& f) { f.resize(12); }, "the file (12 bytes) is shorter"},
      {"H past the end", [](Bytes& f) { PutU32(f, 8, static_cast<uint32_t>(f.size() + 1)); },
       "header length"},
      {"H too short", [](Bytes& f) { PutU32(f, 8, 40); }, "header length 40 is below 46"},
      {"N = 0", [](Bytes& f) { PutU32(f, 38, 0); }, "the target table is empty"},
      {"N huge", [](Bytes& f) { PutU32(f, 38, 0xFFFFFFFF); }, "the target table of 4294967295"},
      {"lengths past the end", [](Bytes& f) { PutU32(f, 52 + 264 + 260, 0xFFFFFFF0); },
       "the targets' data"},
      {"no signature", [](Bytes& f) { f[0] = 'v'; }, "no maker signature"},
  };
  for (const Case& c : cases) {
    Bytes file = good;
    c.damage(file);
    ContainerInfo info;
    EXPECT_FALSE(ParseContainer(file.data(), file.size(), info, reason)) << c.what;
    EXPECT_EQ(reason.rfind(c.reasonStart, 0), 0u) << c.what << ": " << reason;
    EXPECT_TRUE(info.Targets.empty()) << c.what;
  }
  // A single-target header needs only 16 bytes; its version is unknown then.
  Bytes shortHead = ExampleFile();
  PutU32(shortHead, 8, 16);
  ContainerInfo info;
  ASSERT_TRUE(ParseContainer(shortHead.data(), 16, info, reason)) << reason;
  EXPECT_FALSE(info.HasVersion);
  EXPECT_EQ(info.Targets[0].Length, 0u);
}

TEST(Container, BlocksThatDoNotFitAreCaught) {
  const Bytes file = ExampleFile();
  const uint8_t* block = file.data() + 52;
  ContainerBlock read;
  uint64_t overshoot = 0;
  // The target's data end 8 bytes early: the block overshoots by 8.
  EXPECT_EQ(ReadContainerBlock(block, 536, read, overshoot), BlockCheck::kOvershoot);
  EXPECT_EQ(overshoot, 8u);
  // Fewer bytes than a block head.
  EXPECT_EQ(ReadContainerBlock(block, 5, read, overshoot), BlockCheck::kOvershoot);
  EXPECT_EQ(overshoot, 7u);
  // A masked length that unmasks to nearly 4 GiB.
  Bytes huge = file;
  PutU32(huge, 56, 0xFFFFFFF0u ^ kBlockLengthMask);
  EXPECT_EQ(ReadContainerBlock(huge.data() + 52, 544, read, overshoot), BlockCheck::kOvershoot);
  EXPECT_EQ(overshoot, 16u + 0xFFFFFFF0u + 512 - 544);
  // A payload offset inside the block head.
  Bytes low = file;
  PutU32(low, 52, 11);
  EXPECT_EQ(ReadContainerBlock(low.data() + 52, 544, read, overshoot),
            BlockCheck::kBadPayloadOffset);
  std::string reason;
  uint32_t blocks = 0;
  ContainerTarget target{"", 52, 544};
  EXPECT_TRUE(CheckContainerTarget(file.data(), target, reason, blocks));
  EXPECT_EQ(blocks, 1u);
  target.Length = 544 + 20;  // a second block cut short after 20 bytes
  Bytes longer = file;
  longer.insert(longer.end(), file.begin() + 52, file.begin() + 72);
  EXPECT_FALSE(CheckContainerTarget(longer.data(), target, reason, blocks));
  EXPECT_EQ(reason, "block 1 runs 524 bytes past the target's data");
}

}  // namespace
