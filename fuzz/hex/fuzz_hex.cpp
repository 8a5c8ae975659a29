// Fuzz target: Intel HEX text into the memory image.
//
// Whatever the text, reading it must neither crash nor read outside it. The
// records read must be ordered, must neither overlap nor touch and must stay
// inside the 32-bit address space; packed into a container they must read
// back as a valid file whose blocks hold the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/container.h"
#include "protocol/intel_hex.h"
#include "protocol/memory_image.h"

namespace {

// Stops the run: an invariant is broken.
void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRecords(const DebuggerNS::DataRecords& image) {
  uint64_t previousEnd = 0;
  for (size_t i = 0; i < image.Count(); ++i) {
    const DebuggerNS::DataRecord& record = image.At(i);
    Check(record.Length() != 0);
    Check(i == 0 || record.Start > previousEnd);
    Check(record.End() <= (uint64_t{1} << 32));
    previousEnd = record.End();
  }
}

// Packs the image and reads the blocks back into a second image.
void CheckPackedImage(const DebuggerNS::DataRecords& image) {
  PackSettings settings;
  settings.MaxPayload = 64;
  std::vector<PackTarget> targets(1);
  targets[0].Data = image;
  std::vector<uint8_t> file;
  std::string reason;
  Check(PackContainer(settings, targets, file, reason));
  ContainerInfo info;
  Check(ParseContainer(file.data(), file.size(), info, reason));
  Check(info.Targets.size() == 1);
  DebuggerNS::DataRecords back;
  const uint8_t* at = file.data() + info.Targets[0].Offset;
  for (uint64_t remaining = info.Targets[0].Length; remaining != 0;) {
    ContainerBlock block;
    uint64_t overshoot = 0;
    Check(ReadContainerBlock(at, remaining, block, overshoot) == BlockCheck::kGood);
    Check(back.Add(block.Word, at + block.PayloadOffset, block.Length));
    at += block.Size;
    remaining -= block.Size;
  }
  Check(back.Count() == image.Count());
  for (size_t i = 0; i < image.Count(); ++i)
    Check(back.At(i).Start == image.At(i).Start && back.At(i).Data == image.At(i).Data);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A copy of exactly the input's size, so that a read past it is caught.
  const std::vector<char> text(data, data + size);
  DebuggerNS::DataRecords image;
  HexReport report;
  const bool ok = ReadIntelHex(text.data(), text.size(), image, report);
  Check(ok == (report.Error == HexError::kNone));
  Check(ok || !HexErrorText(report, "fuzz.hex").empty());
  Check(report.DataBytes >= image.TotalLength());
  CheckRecords(image);
  if (image.TotalLength() <= 65536) CheckPackedImage(image);
  return 0;
}
