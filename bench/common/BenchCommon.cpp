#include "BenchCommon.hpp"

#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace bench_common {

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder " + pattern);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::map<std::string, Timings>& timings() {
  static std::map<std::string, Timings> all;
  return all;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double minimum(const std::vector<double>& v) { return v.empty() ? 0 : *std::min_element(v.begin(), v.end()); }

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void Stopwatch::stop(benchmark::State& state, const std::string& benchmark) const {
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart_).count();
  const double cpu = threadCpuSeconds() - cpuStart_;
  state.SetIterationTime(wall);
  Timings& t = timings()[benchmark];
  t.wall.push_back(wall);
  t.cpu.push_back(cpu);
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    ran_.insert(run.run_name.function_name);
    if (!run.error_occurred) succeeded_.insert(run.run_name.function_name);
  }
  ConsoleReporter::ReportRuns(runs);
}

void registerTimed(const char* name, void (*function)(benchmark::State&), int repetitions) {
  benchmark::RegisterBenchmark(name, function)
      ->Iterations(1)
      ->Repetitions(repetitions)
      ->ReportAggregatesOnly()
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
}

bool printRatio(const RatioReporter& reporter, const char* name, const std::string& measured,
                const std::string& baseline, double goal) {
  if (!reporter.ran(measured) && !reporter.ran(baseline)) return true;
  if (!reporter.ran(measured) || !reporter.ran(baseline)) {
    std::printf("%s ratio: not measured (%s left out by the filter)\n", name,
                (reporter.ran(measured) ? baseline : measured).c_str());
    return true;
  }
  const auto a = timings().find(measured);
  const auto b = timings().find(baseline);
  if (!reporter.succeeded(measured) || !reporter.succeeded(baseline) || a == timings().end() ||
      b == timings().end()) {
    std::printf("%s ratio: not measured (%s or %s failed)\n", name, measured.c_str(), baseline.c_str());
    return false;
  }
  const double ratio = median(a->second.wall) / median(b->second.wall);
  char verdict[64];
  if (goal > 0) {
    std::snprintf(verdict, sizeof verdict, "goal <= %.1f)%s", goal, ratio <= goal ? "" : " MISSED");
  } else {
    std::snprintf(verdict, sizeof verdict, "for information)");
  }
  char statements[64] = "";
  if (a->second.statementsPerObject > 0 && b->second.statementsPerObject > 0) {
    std::snprintf(statements, sizeof statements, "; statements per object %.2f / %.2f", a->second.statementsPerObject,
                  b->second.statementsPerObject);
  }
  std::printf("%s ratio: %.2f (%s  [medians of %zu/%zu: %s %.1f ms / %s %.1f ms; fastest ratio %.2f; CPU-time ratio "
              "%.2f%s]\n",
              name, ratio, verdict, a->second.wall.size(), b->second.wall.size(), measured.c_str(),
              median(a->second.wall) * 1e3, baseline.c_str(), median(b->second.wall) * 1e3,
              minimum(a->second.wall) / minimum(b->second.wall), median(a->second.cpu) / median(b->second.cpu),
              statements);
  return true;
}

}  // namespace bench_common
