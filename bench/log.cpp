// The cost of a log entry against the plain C library: entries through
// LogPrint (format, thread check, length check, write, flush) against
// fprintf + fflush of the same texts to a file in the same folder. Both start
// from a new file each round; the rounds alternate which side goes first (the
// second writer of a pair tends to pay for the first one's dirty pages), and
// the median of the round ratios counts.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "base/log.h"
#include "bench_rounds.h"
#include "platform/files.h"
#include "platform/thread.h"

namespace {

constexpr int kEntries = 20000;  // per side and round
constexpr int kRounds = 21;

// The entry texts: a typical trace line with a few numbers and a short text.
constexpr const char* kFormat = "Exchange %u: command 0x%08X, %u bytes, reply '%s', total %I64u\n";
const char* const kReplies[] = {"OK", "unrecognized command", "time-out", "partial"};

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

double RunLog(const std::string& path) {
  CloseLog();
  std::filesystem::remove(path);
  SetLogBaseName(path.c_str());
  LogPrint("start\n");  // opens the log and writes its header
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEntries; ++i) {
    LogPrint(kFormat, static_cast<unsigned>(i), 0xE0000006u ^ static_cast<unsigned>(i),
             static_cast<unsigned>(i % 4096), kReplies[i & 3], static_cast<uint64_t>(i) * 977);
  }
  return Seconds(std::chrono::steady_clock::now() - start);
}

double RunBaseline(const std::string& path) {
  std::filesystem::remove(path);
  FILE* file = std::fopen(path.c_str(), "w+");
  if (file == nullptr) return 0;
  // The same texts, with the C library's own 64-bit modifier.
  const char* format = "Exchange %u: command 0x%08X, %u bytes, reply '%s', total %llu\n";
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEntries; ++i) {
    std::fprintf(file, format, static_cast<unsigned>(i), 0xE0000006u ^ static_cast<unsigned>(i),
                 static_cast<unsigned>(i % 4096), kReplies[i & 3],
                 static_cast<unsigned long long>(i) * 977);
    std::fflush(file);
  }
  const double seconds = Seconds(std::chrono::steady_clock::now() - start);
  std::fclose(file);
  return seconds;
}

}  // namespace

int main() {
  const std::filesystem::path folder =
      std::filesystem::path(platform::TempFolder()) /
      ("nvd_bench_log_" + std::to_string(platform::CurrentProcessId()));
  std::filesystem::create_directories(folder);
  const std::string logPath = (folder / "NVDevices.log").string();
  const std::string baselinePath = (folder / "baseline.log").string();

  RatioRounds rounds;
  for (int round = 0; round < kRounds; ++round) {
    if (!rounds.Run([&] { return RunLog(logPath); }, [&] { return RunBaseline(baselinePath); })) {
      std::printf("log: the baseline file could not be written\n");
      return 1;
    }
  }
  CloseLog();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);

  rounds.Report("log", "LogPrint", "fprintf+fflush",
                BenchUnit{1e6 / kEntries, "us/entry", false, 2});
  return 0;
}
