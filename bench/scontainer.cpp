// SContainer with a sorted tail (flag 0x20) against std::set<std::string>,
// on the same adds and finds of text-keyed objects.
//
// Both sides add the same keys in the same shuffled order and then find each
// of them once, the same number of times. The container stays searchable
// after every add (new items go to a short unsorted tail that is sorted into
// the rest when it reaches 128 items), so the baseline is one that is
// searchable after every add too: a std::set of std::string values (a sorted
// vector sorted once after all the adds would do less work). The SContainer
// side holds Istr objects (one heap object and its text per key, compared
// through the virtual IsEqual/IsGreater); the set holds one node per key
// with the short text inside. Rounds alternate which side goes first; each
// round gives the add, find and total ratio, and the medians count.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/containers.h"
#include "base/strings.h"
#include "bench_rounds.h"

namespace {

constexpr uint32_t kItems = 200000;
constexpr int kRounds = 7;

volatile int64_t g_sink;

// Seconds of one side's adds and of its finds; negative when a key was lost.
struct Times {
  double add = -1;
  double find = -1;
};

Times RunContainer(const std::vector<std::string>& keys,
                   const std::vector<std::unique_ptr<Istr>>& probes) {
  Times times;
  IstrContainer container(32, SContainer::kSortedTail);
  const BenchTimer adding;
  for (const std::string& key : keys)
    container.Add(new Istr(key.c_str()));
  times.add = adding.Seconds();
  const BenchTimer finding;
  int64_t found = 0;
  for (const auto& probe : probes)
    found += container.Find(probe.get()) >= 0;
  times.find = finding.Seconds();
  g_sink = found;
  if (found != static_cast<int64_t>(keys.size())) times.add = -1;
  return times;
}

Times RunSet(const std::vector<std::string>& keys, const std::vector<std::string>& probes) {
  Times times;
  std::set<std::string> values;
  const BenchTimer adding;
  for (const std::string& key : keys)
    values.insert(key);
  times.add = adding.Seconds();
  const BenchTimer finding;
  int64_t found = 0;
  for (const std::string& probe : probes)
    found += values.find(probe) != values.end();
  times.find = finding.Seconds();
  g_sink = found;
  if (found != static_cast<int64_t>(keys.size())) times.add = -1;
  return times;
}

}  // namespace

int main() {
  std::vector<std::string> keys;
  keys.reserve(kItems);
  char text[32];
  for (uint32_t i = 0; i < kItems; ++i) {
    std::snprintf(text, sizeof(text), "Key%08u",
                  static_cast<unsigned>(i * 2654435761ull % 100000000ull));
    keys.emplace_back(text);
  }
  std::mt19937 random(12345);
  std::shuffle(keys.begin(), keys.end(), random);
  std::vector<std::unique_ptr<Istr>> istrProbes;
  for (const std::string& key : keys)
    istrProbes.push_back(std::make_unique<Istr>(key.c_str()));
  const std::vector<std::string> stringProbes(keys);

  RatioRounds add, find, total;
  for (int round = 0; round < kRounds; ++round) {
    Times ours, theirs;
    if (round % 2 == 0) {
      ours = RunContainer(keys, istrProbes);
      theirs = RunSet(keys, stringProbes);
    } else {
      theirs = RunSet(keys, stringProbes);
      ours = RunContainer(keys, istrProbes);
    }
    if (!add.Add(ours.add, theirs.add) || !find.Add(ours.find, theirs.find) ||
        !total.Add(ours.add + ours.find, theirs.add + theirs.find)) {
      std::printf("scontainer: a key was lost\n");
      return 1;
    }
  }
  const BenchUnit perKey{1e9 / kItems, "ns/op", false, 0};
  std::printf("scontainer: %u keys added in shuffled order, then each found once\n", kItems);
  add.Report("scontainer add", "SContainer", "std::set", perKey);
  find.Report("scontainer find", "SContainer", "std::set", perKey);
  total.Report("scontainer total", "SContainer", "std::set", perKey);
  return 0;
}
