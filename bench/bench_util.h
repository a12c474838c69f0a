// Helpers shared by the benchmark programs.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace vekbench {

// Scratch files go to memory where the system offers it, so that disk speed
// stays out of the figures.
inline std::string ScratchDir() { return access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/"; }

// Keeps the console output and remembers the mean real time of every run for
// the ratio lines, by benchmark name with `cut` and what follows it removed
// (e.g. "/real_time").
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(const char* cut = nullptr) : cut_(cut) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      std::string name = r.benchmark_name();
      if (cut_) {
        const size_t at = name.find(cut_);
        if (at != std::string::npos) name.erase(at);
      }
      times[name] = r.GetAdjustedRealTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;

 private:
  const char* cut_;
};

}  // namespace vekbench
