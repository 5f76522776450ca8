#pragma once
// What the benchmark pairs of vlt_bench share besides bench_common: the raw
// SQLite handles and the opening of a repository file.

#include "BenchCommon.hpp"

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
using bench_common::median;
using bench_common::minimum;
using bench_common::printRatio;
using bench_common::RatioReporter;
using bench_common::Stopwatch;
using bench_common::TempFolder;
using bench_common::threadCpuSeconds;
using bench_common::Timings;
using bench_common::timings;

// ---------------------------------------------------------------- files

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

}  // namespace vlt_bench
