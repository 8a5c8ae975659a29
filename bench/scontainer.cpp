// SContainer with a sorted tail (flag 0x20) against std::vector + std::sort +
// std::lower_bound, on the same adds and finds of text-keyed objects.
//
// Both sides add 1 000 000 keys in the same shuffled order and then find each
// of them once. The SContainer side holds Istr objects (one heap object and
// its text per key, compared through the virtual IsEqual/IsGreater); the
// baseline holds std::string values, sorts once after the adds and searches
// with lower_bound, the plain way to do the same work. Best of several
// repetitions, steady clock.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/containers.h"
#include "base/strings.h"

namespace {

constexpr uint32_t kItems = 1000000;
constexpr int kContainerRepetitions = 2;
constexpr int kVectorRepetitions = 3;

volatile int64_t g_sink;

struct Timing {
  double addNs = 1e30;
  double findNs = 1e30;
};

double Nanos(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
  return std::chrono::duration<double, std::nano>(b - a).count();
}

Timing RunContainer(const std::vector<std::string>& keys) {
  Timing best;
  std::vector<std::unique_ptr<Istr>> probes;
  probes.reserve(keys.size());
  for (const std::string& key : keys)
    probes.push_back(std::make_unique<Istr>(key.c_str()));
  for (int rep = 0; rep < kContainerRepetitions; ++rep) {
    IstrContainer container(32, SContainer::kSortedTail);
    auto start = std::chrono::steady_clock::now();
    for (const std::string& key : keys)
      container.Add(new Istr(key.c_str()));
    auto added = std::chrono::steady_clock::now();
    int64_t found = 0;
    for (const auto& probe : probes)
      found += container.Find(probe.get()) >= 0;
    auto end = std::chrono::steady_clock::now();
    if (found != static_cast<int64_t>(keys.size())) std::printf("scontainer: lost keys!\n");
    g_sink = found;
    best.addNs = std::min(best.addNs, Nanos(start, added) / keys.size());
    best.findNs = std::min(best.findNs, Nanos(added, end) / keys.size());
  }
  return best;
}

Timing RunVector(const std::vector<std::string>& keys) {
  Timing best;
  std::vector<std::string> probes(keys);
  for (int rep = 0; rep < kVectorRepetitions; ++rep) {
    std::vector<std::string> values;
    auto start = std::chrono::steady_clock::now();
    for (const std::string& key : keys)
      values.emplace_back(key);
    std::sort(values.begin(), values.end());
    auto added = std::chrono::steady_clock::now();
    int64_t found = 0;
    for (const std::string& probe : probes) {
      auto at = std::lower_bound(values.begin(), values.end(), probe);
      found += at != values.end() && *at == probe;
    }
    auto end = std::chrono::steady_clock::now();
    g_sink = found;
    best.addNs = std::min(best.addNs, Nanos(start, added) / keys.size());
    best.findNs = std::min(best.findNs, Nanos(added, end) / keys.size());
  }
  return best;
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

  Timing container = RunContainer(keys);
  Timing vector = RunVector(keys);
  std::printf("scontainer add: ratio %.2f (SContainer %.0f ns/op, vector+sort %.0f ns/op)\n",
              container.addNs / vector.addNs, container.addNs, vector.addNs);
  std::printf("scontainer find: ratio %.2f (SContainer %.0f ns/op, lower_bound %.0f ns/op)\n",
              container.findNs / vector.findNs, container.findNs, vector.findNs);
  double containerTotal = container.addNs + container.findNs;
  double vectorTotal = vector.addNs + vector.findNs;
  std::printf("scontainer total: ratio %.2f (SContainer %.0f ns/op, vector %.0f ns/op)\n",
              containerTotal / vectorTotal, containerTotal, vectorTotal);
  return 0;
}
