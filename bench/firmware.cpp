// The firmware path's three costs, each against a baseline measured in the
// same run, in rounds that alternate the two sides (median ratio, spread):
//
// - the image CRC of 64 MiB against a straightforward table loop, one byte
//   at a time (goal <= 0.5);
// - reading and merging an Intel HEX file with 4 MiB of data into the memory
//   image (a small reader process, bench_hex_reader) against srec_cat
//   converting the same file to binary, both timed as whole processes
//   (goal <= 1.0);
// - staging a 4 MiB image through UploadImage against raw driver writes of
//   the same commands (the chunks, the closing write, the query) on the same
//   simulated instrument (goal <= 1.15).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench_rounds.h"
#include "bench_simulator.h"
#include "platform/driver.h"
#include "protocol/crc32.h"
#include "protocol/real_usb_device.h"

namespace {

volatile uint32_t g_sink;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = 12345;
  for (uint8_t& b : bytes) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  return bytes;
}

void PrintFigure(const char* label, const RatioRounds& rounds, double scale, const char* unit,
                 const char* goal) {
  std::printf("%s: measured %.2f %s, baseline %.2f %s (medians of %zu rounds)\n", label,
              rounds.Measured() * scale, unit, rounds.Baseline() * scale, unit, rounds.Rounds());
  std::printf("%s: round ratios lowest %.3f, highest %.3f\n", label, rounds.Lowest(),
              rounds.Highest());
  std::printf("ratio %s: %.3f (goal <= %s)\n", label, rounds.Ratio(), goal);
}

// --- CRC ---------------------------------------------------------------

// The baseline: the 256-entry table, one byte at a time, each little-endian
// word fed most significant byte first.
struct BytewiseCrc {
  uint32_t table[256];
  BytewiseCrc() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t value = i << 24;
      for (int bit = 0; bit < 8; ++bit)
        value = (value & 0x80000000u) != 0 ? (value << 1) ^ kImageCrcPolynomial : value << 1;
      table[i] = value;
    }
  }
  uint32_t operator()(const uint8_t* p, size_t size) const {
    uint32_t crc = kImageCrcInitial;
    size_t i = 0;
    for (; i + 4 <= size; i += 4)
      for (int k = 3; k >= 0; --k)
        crc = (crc << 8) ^ table[(crc >> 24) ^ p[i + k]];
    if (i < size) {
      uint8_t word[4] = {};
      std::memcpy(word, p + i, size - i);
      for (int k = 3; k >= 0; --k)
        crc = (crc << 8) ^ table[(crc >> 24) ^ word[k]];
    }
    return crc;
  }
};

bool CrcFigure() {
  const std::vector<uint8_t> data = Pattern(64u << 20);
  const BytewiseCrc bytewise;
  if (ImageCrc32(data.data(), data.size()) != bytewise(data.data(), data.size())) {
    std::printf("CRC: the two forms disagree\n");
    return false;
  }
  RatioRounds rounds;
  for (int round = 0; round < 15; ++round)
    rounds.Run(
        [&] {
          const BenchTimer timer;
          g_sink = ImageCrc32(data.data(), data.size());
          return timer.Seconds();
        },
        [&] {
          const BenchTimer timer;
          g_sink = bytewise(data.data(), data.size());
          return timer.Seconds();
        });
  std::printf("image CRC of 64 MiB: ImageCrc32 against a bytewise table loop\n");
  PrintFigure("CRC-32 64 MiB/bytewise table", rounds, 1e3, "ms", "0.5");
  return true;
}

// --- Intel HEX ---------------------------------------------------------

// A HEX file of `size` data bytes from address 0: 16 bytes a line, an
// extended linear address line at every 64 KiB.
bool WriteHexFile(const std::string& path, size_t size) {
  const std::vector<uint8_t> data = Pattern(size);
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  static const char kDigits[] = "0123456789ABCDEF";
  std::string line;
  for (size_t at = 0; at < size; at += 16) {
    if (at % 0x10000 == 0) {
      const unsigned high = static_cast<unsigned>(at >> 16);
      std::fprintf(file, ":02000004%04X%02X\n", high,
                   (0x100 - ((2 + 4 + (high >> 8) + (high & 0xFF)) & 0xFF)) & 0xFF);
    }
    const unsigned n = static_cast<unsigned>(size - at < 16 ? size - at : 16);
    const unsigned address = static_cast<unsigned>(at & 0xFFFF);
    unsigned sum = n + (address >> 8) + (address & 0xFF);
    line.clear();
    char head[16];
    std::snprintf(head, sizeof head, ":%02X%04X00", n, address);
    line += head;
    for (unsigned i = 0; i < n; ++i) {
      const uint8_t b = data[at + i];
      line += kDigits[b >> 4];
      line += kDigits[b & 0xF];
      sum += b;
    }
    const unsigned checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    line += kDigits[checksum >> 4];
    line += kDigits[checksum & 0xF];
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), file);
  }
  std::fputs(":00000001FF\n", file);
  return std::fclose(file) == 0;
}

// Seconds of one command run through the shell; -1 when it fails.
double TimeCommand(const std::string& command) {
  const BenchTimer timer;
  if (std::system(command.c_str()) != 0) return -1;
  return timer.Seconds();
}

bool HexFigure(const std::string& folder) {
  if (std::system("command -v srec_cat >/dev/null 2>&1") != 0) {
    std::printf("Intel HEX: srec_cat is not installed (Debian package srecord)\n");
    return false;
  }
  const size_t size = 4u << 20;
  const std::string hex = folder + "/data.hex";
  if (!WriteHexFile(hex, size)) {
    std::printf("Intel HEX: cannot write %s\n", hex.c_str());
    return false;
  }
  const std::string reader =
      std::string(NVD_BENCH_HEX_READER) + " " + hex + " " + std::to_string(size);
  const std::string srec =
      "srec_cat " + hex + " -Intel -o " + folder + "/data.bin -Binary >/dev/null 2>&1";
  RatioRounds rounds;
  bool ok = TimeCommand(reader) >= 0 && TimeCommand(srec) >= 0;  // warm the page cache
  for (int round = 0; ok && round < 11; ++round)
    ok = rounds.Run([&] { return TimeCommand(reader); }, [&] { return TimeCommand(srec); });
  if (!ok) {
    std::printf("Intel HEX: a run failed\n");
    return false;
  }
  std::printf(
      "Intel HEX file with 4 MiB of data (16 bytes a line): reader process against "
      "srec_cat to binary\n");
  PrintFigure("Intel HEX read 4 MiB/srec_cat", rounds, 1e3, "ms", "1.0");
  return true;
}

// --- Image upload ------------------------------------------------------

constexpr uint32_t kChunk = 4096;

void StoreU32(uint8_t* p, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The library's side: the whole image through UploadImage.
double RunUpload(RealUSBDevice& device) {
  FirmwareImageState& state = device.ImageState;
  state.Loaded = 0;
  state.Complete = false;
  state.Chunk = kChunk;
  const BenchTimer timer;
  if (!device.UploadImage()) return -1;
  return timer.Seconds();
}

// One raw command frame and its reply; false on failure.
bool RawCommand(RealUSBDevice& device, std::vector<uint8_t>& frame, uint32_t size, uint8_t& index,
                std::vector<uint8_t>& reply) {
  StoreU32(frame.data(), size - 4);
  frame[7] = static_cast<uint8_t>(0x80 | index);
  index = static_cast<uint8_t>((index + 1) & 0x1F);
  uint32_t written = 0, received = 0;
  return platform::WriteDriver(device.Handle, frame.data(), size, written) && written == size &&
         platform::ReadDriver(device.Handle, reply.data(), static_cast<uint32_t>(reply.size()),
                              received) &&
         received >= 12;
}

// The baseline: the same commands as raw driver writes and reads.
double RunRaw(RealUSBDevice& device, const std::vector<uint8_t>& image) {
  const uint32_t signature = ImageSignature(image);
  std::vector<uint8_t> frame(20 + kChunk), reply(device.InBufferSize);
  uint8_t index = device.CurrentIndex();
  const BenchTimer timer;
  const uint32_t length = static_cast<uint32_t>(image.size());
  for (uint32_t offset = 0;; offset += kChunk) {
    const uint32_t n = offset < length ? std::min(kChunk, length - offset) : 0;
    StoreU32(frame.data() + 4, FW_IMAGE_WRITE);
    StoreU32(frame.data() + 8, signature);
    StoreU32(frame.data() + 12, offset < length ? offset : length);
    StoreU32(frame.data() + 16, n);
    if (n != 0) std::memcpy(frame.data() + 20, image.data() + offset, n);
    if (!RawCommand(device, frame, 20 + n, index, reply)) return -1;
    if (n == 0) break;
  }
  StoreU32(frame.data() + 4, FW_IMAGE_GET_INFO);
  if (!RawCommand(device, frame, 8, index, reply)) return -1;
  const double seconds = timer.Seconds();
  device.ExchangeIndex = static_cast<uint8_t>((device.ExchangeIndex & ~0x1F) | index);
  return seconds;
}

bool UploadFigure(BenchSimulator& sim) {
  nvsim::InstrumentConfig config;
  config.name = "fw";
  config.inBufferSize = 8192;
  config.outBufferSize = 8192;
  config.imageChunk = kChunk;
  config.imageCapacity = 8u << 20;
  const nvsim::Simulator::Id id = sim.Sim().Add(config);
  if (id == 0) return false;
  auto device = std::make_unique<RealUSBDevice>(sim.Sim().DevicePath(id).c_str());
  std::vector<uint8_t> image = Pattern(4u << 20);
  StoreU32(image.data() + 12, 0x5B8A6C21);
  device->ImageState.Image = image;
  device->ImageState.Signature = ImageSignature(image);
  // Warm-up of both sides; the log file is opened (its header written) here.
  bool ok = device->IsOpen() && device->SetExchange() && RunUpload(*device) >= 0 &&
            RunRaw(*device, image) >= 0;
  RatioRounds rounds;
  for (int round = 0; ok && round < 21; ++round)
    ok = rounds.Run([&] { return RunUpload(*device); }, [&] { return RunRaw(*device, image); });
  if (!ok) {
    std::printf("image upload failed: %s\n", device->LastError.Text());
    return false;
  }
  std::printf(
      "image upload of 4 MiB in chunks of %u (%u writes, the closing write and the "
      "query): UploadImage against raw driver writes, the library log on\n",
      kChunk, (4u << 20) / kChunk);
  PrintFigure("UploadImage 4 MiB/raw writes", rounds, 1e3, "ms", "1.15");
  return true;
}

}  // namespace

int main() {
  BenchSimulator sim("nvbf", true);  // its folder holds the HEX files and the log too
  if (!sim.Start()) return 1;
  bool ok = CrcFigure();
  ok = HexFigure(sim.Root()) && ok;
  ok = UploadFigure(sim) && ok;
  return ok ? 0 : 1;
}
