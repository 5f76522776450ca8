#include "BenchSupport.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <system_error>

namespace vlt_bench {

TempFolder::TempFolder() {
  std::string pattern = (fs::temp_directory_path() / "vlt_bench.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a temporary folder " + pattern);
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

void openRepository(vlt::DataModelRepository& repo, const std::string& path) {
  repo.open(path, std::string(), vlt::DataModelRepository::ServiceOptions{});
}

void sqliteFailed(sqlite3* db, const std::string& what) {
  throw std::runtime_error(what + ": " + sqlite3_errmsg(db));
}

Database openRaw(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database owned(db);
  if (rc != SQLITE_OK) sqliteFailed(db, "cannot open " + path);
  return owned;
}

Statement prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
      SQLITE_OK) {
    sqliteFailed(db, "cannot prepare " + sql);
  }
  return Statement(s);
}

void execute(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) sqliteFailed(db, sql);
}

void step(sqlite3* db, sqlite3_stmt* s, int expected) {
  if (sqlite3_step(s) != expected) sqliteFailed(db, sqlite3_sql(s));
}

std::map<std::string, Timings>& timings() {
  static std::map<std::string, Timings> all;
  return all;
}

double threadCpuSeconds() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void Stopwatch::stop(benchmark::State& state, const char* benchmark) const {
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

namespace {

double minimum(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

bool printRatio(const RatioReporter& reporter, const char* name, const char* repository, const char* raw,
                double goal) {
  if (!reporter.ran(repository) && !reporter.ran(raw)) return true;
  if (!reporter.ran(repository) || !reporter.ran(raw)) {
    std::printf("%s ratio: not measured (%s left out by the filter)\n", name,
                reporter.ran(repository) ? raw : repository);
    return true;
  }
  const auto a = timings().find(repository);
  const auto b = timings().find(raw);
  if (!reporter.succeeded(repository) || !reporter.succeeded(raw) || a == timings().end() || b == timings().end()) {
    std::printf("%s ratio: not measured (%s / %s)\n", name, repository, raw);
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
              name, ratio, verdict, a->second.wall.size(), b->second.wall.size(), repository,
              median(a->second.wall) * 1e3, raw, median(b->second.wall) * 1e3,
              minimum(a->second.wall) / minimum(b->second.wall), median(a->second.cpu) / median(b->second.cpu),
              statements);
  return true;
}

}  // namespace vlt_bench
