// A figure taken in rounds that alternate the measured side and its
// baseline: the measured side first in even rounds, the baseline first in odd
// ones, so that neither always runs right after the other (and neither always
// gets the warm caches or the busy moment). Each round gives one ratio; the
// figure is the median over the rounds, with their spread beside it.
//
// Every benchmark prints its figures with Report, in one shape:
//   <label>: <measured> 64.0 us, <baseline> 48.0 us (medians of 31 rounds)
//   <label>: round ratios lowest 0.91, quartiles 1.02 to 1.10, highest 1.40
//   ratio <label>: 1.05 (goal <= 1.5)
// scripts/bench picks up the "ratio <label>: <value>" lines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

// Seconds since construction, on the steady clock.
class BenchTimer {
 public:
  double Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// How a figure's times are printed: seconds of one round times `scale`, in
// `unit` ("us", "ms", "ns/op", "MiB/s" with `inverse`).
struct BenchUnit {
  double scale = 1e6;
  const char* unit = "us";
  bool inverse = false;  // print scale / seconds (a rate) instead
  int decimals = 1;
};

class RatioRounds {
 public:
  // One round: `measured` and `baseline` each run once and return their
  // seconds (negative when they failed). False when one failed.
  template <typename Measured, typename Baseline>
  bool Run(Measured measured, Baseline baseline) {
    double a = 0, b = 0;
    if (ratios_.size() % 2 == 0) {
      a = measured();
      b = a < 0 ? -1 : baseline();
    } else {
      b = baseline();
      a = b < 0 ? -1 : measured();
    }
    return Add(a, b);
  }

  // A round timed elsewhere (for sides that must interleave more finely).
  bool Add(double measured, double baseline) {
    if (measured < 0 || baseline <= 0) return false;
    measured_.push_back(measured);
    baseline_.push_back(baseline);
    ratios_.push_back(measured / baseline);
    return true;
  }

  size_t Rounds() const { return ratios_.size(); }
  double Ratio() const { return Median(ratios_); }
  double Lowest() const { return Quantile(ratios_, 0); }
  double Highest() const { return Quantile(ratios_, 1); }
  // Median seconds of one round of each side.
  double Measured() const { return Median(measured_); }
  double Baseline() const { return Median(baseline_); }
  // The seconds of each side in the latest round.
  double LastMeasured() const { return measured_.empty() ? 0 : measured_.back(); }
  double LastBaseline() const { return baseline_.empty() ? 0 : baseline_.back(); }

  // Prints the figure in the common shape (see the top of this file).
  void Report(const std::string& label, const char* measured, const char* baseline,
              const BenchUnit& unit, const char* goal = nullptr) const {
    std::printf("%s: %s %s, %s %s (medians of %zu rounds)\n", label.c_str(), measured,
                Shown(Measured(), unit).c_str(), baseline, Shown(Baseline(), unit).c_str(),
                Rounds());
    std::printf("%s: round ratios lowest %.3f, quartiles %.3f to %.3f, highest %.3f\n",
                label.c_str(), Lowest(), Quantile(ratios_, 0.25), Quantile(ratios_, 0.75),
                Highest());
    std::printf("ratio %s: %.3f", label.c_str(), Ratio());
    if (goal != nullptr) std::printf(" (goal <= %s)", goal);
    std::printf("\n");
  }

  static double Median(const std::vector<double>& values) { return Quantile(values, 0.5); }

  // The q-quantile (0 lowest, 1 highest), halfway between the two middle
  // values for an even count's median.
  static double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::ranges::sort(values);
    const double at = q * static_cast<double>(values.size() - 1);
    const size_t below = static_cast<size_t>(at);
    const size_t above = std::min(below + 1, values.size() - 1);
    return values[below] + (at - static_cast<double>(below)) * (values[above] - values[below]);
  }

  // A time as the unit prints it.
  static std::string Shown(double seconds, const BenchUnit& unit) {
    const double value = unit.inverse ? unit.scale / seconds : seconds * unit.scale;
    char text[64];
    std::snprintf(text, sizeof text, "%.*f %s", unit.decimals, value, unit.unit);
    return text;
  }

 private:
  std::vector<double> measured_, baseline_, ratios_;
};
