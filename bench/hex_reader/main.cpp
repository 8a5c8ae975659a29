// The Intel HEX figure's reader process: reads a HEX file into the library's
// memory image and exits 0 when it holds the expected number of bytes.
//   bench_hex_reader FILE BYTES
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/intel_hex.h"
#include "protocol/memory_image.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* file = std::fopen(argv[1], "rb");
  if (file == nullptr) return 1;
  std::vector<char> text;
  char piece[1 << 16];
  for (size_t got; (got = std::fread(piece, 1, sizeof piece, file)) != 0;)
    text.insert(text.end(), piece, piece + got);
  std::fclose(file);
  DebuggerNS::DataRecords image;
  HexReport report;
  if (!ReadIntelHex(text.data(), text.size(), image, report)) return 1;
  return image.TotalLength() == std::strtoull(argv[2], nullptr, 10) ? 0 : 1;
}
