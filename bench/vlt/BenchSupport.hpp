#pragma once
// What the benchmark pairs of vlt_bench share: temporary folders, the raw
// SQLite handles, the stopwatch that keeps every timed part for the ratios,
// and the printing of a ratio at the end of the run.

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace vlt_bench {

namespace fs = std::filesystem;

// ---------------------------------------------------------------- files

// A fresh folder in $TMPDIR (else /tmp), removed with everything in it at the
// end of the scope.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string file(const char* name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Opens an existing repository file as the benchmarks do: the connector's
// default options, no base metamodel.
void openRepository(vlt::DataModelRepository& repo, const std::string& path);

// ---------------------------------------------------------------- raw SQLite

struct SqliteCloser {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const noexcept { sqlite3_finalize(s); }
};
using Database = std::unique_ptr<sqlite3, SqliteCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// Throws with SQLite's message for the last failed call on `db`.
[[noreturn]] void sqliteFailed(sqlite3* db, const std::string& what);

// Opens the file as the repository's SQLite connector does: read-write, no
// pragmas (the repository keeps SQLite's journal and synchronous defaults).
Database openRaw(const std::string& path);
// A statement prepared to be kept (SQLITE_PREPARE_PERSISTENT).
Statement prepare(sqlite3* db, const std::string& sql);
void execute(sqlite3* db, const char* sql);
// Steps `s` once and throws unless the result is `expected`.
void step(sqlite3* db, sqlite3_stmt* s, int expected);

// ---------------------------------------------------------------- timing

// The timed part of each repetition, per benchmark, for the ratios (medians
// and minima over the repetitions, which Google Benchmark does not give for
// manual and CPU time together).
struct Timings {
  std::vector<double> wall;  // seconds
  std::vector<double> cpu;   // seconds of this thread's CPU time
  double statementsPerObject = 0;  // SQL statements run per object, when the benchmark counts them
};
std::map<std::string, Timings>& timings();

double threadCpuSeconds();

// Times one iteration's timed part: the wall time becomes the iteration's
// manual time, and both times are kept for the ratios.
class Stopwatch {
 public:
  Stopwatch() : wallStart_(std::chrono::steady_clock::now()), cpuStart_(threadCpuSeconds()) {}
  void stop(benchmark::State& state, const char* benchmark) const;

 private:
  std::chrono::steady_clock::time_point wallStart_;
  double cpuStart_;
};

// ---------------------------------------------------------------- ratios

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

// Prints "NAME ratio: R (goal <= G)", or "(for information)" when `goal` is
// 0. R is the ratio of the median wall times of the timed parts; the ratio
// of the fastest repetitions and of the median CPU times follow, and the
// statements per object when both sides counted them. False when a side
// failed; a pair that a --benchmark_filter left out prints nothing (one side
// left out: "not measured") and is no failure.
bool printRatio(const RatioReporter& reporter, const char* name, const char* repository, const char* raw,
                double goal);

}  // namespace vlt_bench
