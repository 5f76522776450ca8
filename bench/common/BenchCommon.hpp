#pragma once
// What the benchmark programs share: temporary folders, a stopwatch that keeps
// every timed part (wall and thread CPU time) for the ratios, and the ratio
// lines printed at the end of a run.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace bench_common {

// A fresh folder "<prefix>.XXXXXX" in $TMPDIR (else /tmp), removed with
// everything in it at the end of the scope.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "bench");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// The timed part of each repetition, per benchmark (medians and minima over
// the repetitions, which Google Benchmark does not give for manual and CPU
// time together).
struct Timings {
  std::vector<double> wall;        // seconds
  std::vector<double> cpu;         // seconds of this thread's CPU time
  double statementsPerObject = 0;  // SQL statements run per object, when the benchmark counts them
};
std::map<std::string, Timings>& timings();

double median(std::vector<double> v);
double minimum(const std::vector<double>& v);
double threadCpuSeconds();

// Times one repetition's timed part: the wall time becomes the iteration's
// manual time, and both times are kept for the ratios.
class Stopwatch {
 public:
  Stopwatch() : wallStart_(std::chrono::steady_clock::now()), cpuStart_(threadCpuSeconds()) {}
  void stop(benchmark::State& state, const std::string& benchmark) const;

 private:
  std::chrono::steady_clock::time_point wallStart_;
  double cpuStart_;
};

// Prints as the console reporter does and notes which benchmarks ran, and
// which of them without error.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(OutputOptions options) : ConsoleReporter(options) {}
  void ReportRuns(const std::vector<Run>& runs) override;
  bool ran(const std::string& name) const { return ran_.count(name) != 0; }
  bool succeeded(const std::string& name) const { return succeeded_.count(name) != 0; }

 private:
  std::set<std::string> ran_;
  std::set<std::string> succeeded_;
};

// Registers `function` as a benchmark of one iteration per repetition, timed
// by hand (Stopwatch), reported in milliseconds as aggregates only.
void registerTimed(const char* name, void (*function)(benchmark::State&), int repetitions);

// Prints "NAME ratio: R (goal <= G)", or "(for information)" when `goal` is
// 0: R is the median wall time of `measured` over the median of `baseline`;
// the ratio of the fastest repetitions, of the median CPU times and, when
// both sides counted them, the SQL statements per object follow. Nothing
// when a filter left both out, "not measured" when it left out one; false
// when a side ran and failed.
bool printRatio(const RatioReporter& reporter, const char* name, const std::string& measured,
                const std::string& baseline, double goal);

}  // namespace bench_common
