// Prints as the console reporter does, and keeps the median time of each
// benchmark's repetitions for the table of ratios a benchmark prints last.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

class MedianReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.aggregate_name != "median") continue;
      ns_[run.run_name.function_name] =
          run.GetAdjustedRealTime() /
          benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  bool Has(const std::string& name) const { return ns_.count(name) != 0; }
  // The median in nanoseconds; 0 for a benchmark that did not run.
  double At(const std::string& name) const {
    auto found = ns_.find(name);
    return found == ns_.end() ? 0 : found->second;
  }

 private:
  std::map<std::string, double> ns_;
};
