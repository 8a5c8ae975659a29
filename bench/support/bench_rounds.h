// A figure taken in rounds that alternate the measured side and its
// baseline: the measured side first in even rounds, the baseline first in odd
// ones, so that neither always runs right after the other. Each round gives
// one ratio; the figure is the median over the rounds, with their spread
// (lowest and highest ratio) beside it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
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
    if (a < 0 || b <= 0) return false;
    measured_.push_back(a);
    baseline_.push_back(b);
    ratios_.push_back(a / b);
    return true;
  }

  size_t Rounds() const { return ratios_.size(); }
  double Ratio() const { return Median(ratios_); }
  double Lowest() const { return ratios_.empty() ? 0 : *std::ranges::min_element(ratios_); }
  double Highest() const { return ratios_.empty() ? 0 : *std::ranges::max_element(ratios_); }
  // Median seconds of one round of each side.
  double Measured() const { return Median(measured_); }
  double Baseline() const { return Median(baseline_); }
  // The seconds of each side in the latest round.
  double LastMeasured() const { return measured_.empty() ? 0 : measured_.back(); }
  double LastBaseline() const { return baseline_.empty() ? 0 : baseline_.back(); }

  static double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::ranges::sort(values);
    const size_t mid = values.size() / 2;
    return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  }

 private:
  std::vector<double> measured_, baseline_, ratios_;
};
