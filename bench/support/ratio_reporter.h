// A console reporter that also remembers each benchmark's rate
// (items_per_second) per thread count, so a program can print ratios
// between benchmarks measured in the same run. With
// --benchmark_repetitions the median stands for the benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tavo::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto it = run.counters.find("items_per_second");
      if (it == run.counters.end()) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      const std::string name = run.run_name.function_name;
      if (median || !rates_.contains({name, run.threads}))
        rates_[{name, run.threads}] = it->second.value;
      if (median || !byFullName_.contains(run.run_name.str()))
        byFullName_[run.run_name.str()] = it->second.value;
    }
  }

  // The rate of a benchmark by its full name with arguments
  // ("BM_List/10000"), or 0 when it did not run.
  double Rate(const std::string& fullName) const {
    auto it = byFullName_.find(fullName);
    return it == byFullName_.end() ? 0.0 : it->second;
  }

  // The rate of a benchmark at a thread count, or 0 when it did not run.
  double Rate(const std::string& name, std::int64_t threads) const {
    auto it = rates_.find({name, threads});
    return it == rates_.end() ? 0.0 : it->second;
  }

 private:
  std::map<std::pair<std::string, std::int64_t>, double> rates_;
  std::map<std::string, double> byFullName_;
};

}  // namespace tavo::bench
