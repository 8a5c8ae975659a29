// Fuzz target: container target files.
//
// Whatever the bytes, reading the header and table and walking the blocks of
// every target must neither crash nor read outside the file; every target
// the reader accepts lies inside the file, and a target whose blocks check
// out is walked to its exact end.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/container.h"
#include "protocol/crc32.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

volatile uint32_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  const std::vector<uint8_t> file(input, input + size);
  ContainerInfo info;
  std::string reason;
  if (!ParseContainer(file.data(), file.size(), info, reason)) {
    Check(!reason.empty());
    return 0;
  }
  Check(!info.Targets.empty());
  for (const ContainerTarget& target : info.Targets) {
    Check(target.Offset <= file.size() && target.Length <= file.size() - target.Offset);
    uint32_t blocks = 0;
    if (!CheckContainerTarget(file.data(), target, reason, blocks)) continue;
    const uint8_t* at = file.data() + target.Offset;
    uint64_t remaining = target.Length;
    for (uint32_t i = 0; i < blocks; ++i) {
      ContainerBlock block;
      uint64_t overshoot = 0;
      Check(ReadContainerBlock(at, remaining, block, overshoot) == BlockCheck::kGood);
      g_sink = ImageCrc32(at + block.PayloadOffset, block.SendSize());
      at += block.Size;
      remaining -= block.Size;
    }
    Check(remaining == 0);
  }
  return 0;
}
