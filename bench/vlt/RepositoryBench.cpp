// vlt_bench: the repository against hand-written SQLite statements on the same
// rows, in the same tables, in one run.
//
// One class of 8 single-valued properties (int32, int64, real64, ustring,
// string, bool, DateTime, UUID) and 100,000 objects with fixed random values:
//
//   BM_RepositoryCreateObjects  ObjectConstructor with bound cells, one transaction
//   BM_RawSqliteInsert          prepared INSERTs into the object table and the
//                               class's table, one transaction
//   BM_RepositoryFindObject     findObject by uuid, then the 8 values read
//   BM_RawSqliteSelect          one prepared SELECT by uuid joining the two tables
//
// The find pair runs its 20,000 lookups in one transaction. The *Autocommit
// pair does the same without one (each read its own statement and lock) and
// prints a third ratio, for information.
//
// Each iteration works on a fresh file in a temporary folder ($TMPDIR or /tmp);
// only the work named above is timed (manual time). The run ends with the
// ratios it is judged by: the repository's median time / the raw median time,
// goal <= 1.5 for creation and <= 2 for find-and-read, and the walk pair's
// ratio (WalkTreeBench.cpp), goal <= 1.5. This file holds main.
//
// With --postgresql URI (taken out of the arguments before Google Benchmark
// sees them) the PostgreSQL pairs of PgBench.cpp run too, each iteration in
// a schema of its own on that server, and the run ends with their ratios
// ("pg create", "pg find", "pg query-load"). Without it nothing connects to
// a server.

#include "BenchSupport.hpp"
#include "PgBench.hpp"
#include "RepositoryReads.hpp"
#include "Rows.hpp"
#include "WalkTree.hpp"

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VLT_BASE_METAMODEL
#error "VLT_BASE_METAMODEL names the base metamodel file"
#endif

namespace {

using namespace vlt_bench;
using boost::posix_time::ptime;

using namespace vlt_bench::rowset;

void BM_RepositoryCreateObjects(benchmark::State& state) {
  try {
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("repository.db");
      vlt::DataModelRepository repo;
      createRepository(repo, path);
      const Stopwatch watch;
      writeRowsThroughRepository(repo);
      watch.stop(state, "BM_RepositoryCreateObjects");
      repo.close();
      checkWrittenRows(path);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rowCount));
}

void BM_RawSqliteInsert(benchmark::State& state) {
  try {
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("raw.db");
      {
        vlt::DataModelRepository repo;
        createRepository(repo, path);  // the same empty tables
      }
      const RawLayout layout = rawLayout(path);
      {
        const Database db = openRaw(path);
        const Stopwatch watch;
        writeRowsRaw(db.get(), layout);
        watch.stop(state, "BM_RawSqliteInsert");
      }
      checkWrittenRows(path);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * rowCount));
}

// Looks the rows up, all in one transaction (reads of one object's values
// then share one row fetch, as the repository promises inside a transaction)
// or each call on its own.
void findThroughRepository(benchmark::State& state, const char* name, bool inTransaction) {
  try {
    const std::string& filled = filledRepository();
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("find.db");
      fs::copy_file(filled, path);
      vlt::DataModelRepository repo;
      openRepository(repo, path);
      const std::uint64_t sum = timedFind(state, name, repo, inTransaction);

      if (sum != expected) throw std::runtime_error("the repository read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

void selectRaw(benchmark::State& state, const char* name, bool inTransaction) {
  try {
    const std::string& filled = filledRepository();
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("find.db");
      fs::copy_file(filled, path);
      const RawLayout layout = rawLayout(path);
      const Database db = openRaw(path);
      std::string sql = "SELECT ";
      for (std::size_t i = 0; i < layout.columns.size(); ++i) sql += (i ? ", c." : "c.") + layout.columns[i];
      sql += " FROM vlt_object o JOIN " + layout.table + " c ON c.id = o.id WHERE o.uuid = ?1";
      std::int32_t i32 = 0;
      std::int64_t i64 = 0;
      double real = 0;
      std::u16string ustring;
      std::string string;
      bool flag = false;
      ptime time;
      boost::uuids::uuid uuid{};
      std::uint64_t sum = 0;

      const Stopwatch watch;
      const Statement select = prepare(db.get(), sql);
      sqlite3_stmt* s = select.get();
      if (inTransaction) execute(db.get(), "BEGIN");
      for (const std::size_t i : lookups()) {
        sqlite3_bind_blob(s, 1, rows()[i].objectUuid.data, 16, SQLITE_STATIC);
        step(db.get(), s, SQLITE_ROW);
        i32 = static_cast<std::int32_t>(sqlite3_column_int64(s, 0));
        i64 = sqlite3_column_int64(s, 1);
        real = realFromStored(sqlite3_column_int64(s, 2));
        const auto* text16 = static_cast<const char16_t*>(sqlite3_column_text16(s, 3));
        ustring.assign(text16, static_cast<std::size_t>(sqlite3_column_bytes16(s, 3)) / 2);
        string.assign(reinterpret_cast<const char*>(sqlite3_column_text(s, 4)),
                      static_cast<std::size_t>(sqlite3_column_bytes(s, 4)));
        flag = sqlite3_column_int64(s, 5) != 0;
        time = epoch + boost::posix_time::microseconds(sqlite3_column_int64(s, 6));
        std::memcpy(uuid.data, sqlite3_column_blob(s, 7), 16);
        sqlite3_reset(s);
        sum += fold(i32, i64, real, ustring, string, flag, time, uuid);
      }
      if (inTransaction) execute(db.get(), "COMMIT");
      watch.stop(state, name);

      if (sum != expected) throw std::runtime_error("the raw SELECT read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

void BM_RepositoryFindObject(benchmark::State& state) {
  findThroughRepository(state, "BM_RepositoryFindObject", true);
}
void BM_RawSqliteSelect(benchmark::State& state) { selectRaw(state, "BM_RawSqliteSelect", true); }
// The same outside a transaction: every read is a statement of its own.
void BM_RepositoryFindObjectAutocommit(benchmark::State& state) {
  findThroughRepository(state, "BM_RepositoryFindObjectAutocommit", false);
}
void BM_RawSqliteSelectAutocommit(benchmark::State& state) {
  selectRaw(state, "BM_RawSqliteSelectAutocommit", false);
}

// One iteration per repetition, and the repetitions of all benchmarks run in
// random interleaved order (main asks for it), so that both sides of a ratio
// sample the same stretch of a machine that may be busy with other work.
// These counts keep one run under a minute on a small machine.
BENCHMARK(BM_RepositoryCreateObjects)->Iterations(1)->Repetitions(6)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteInsert)->Iterations(1)->Repetitions(6)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepositoryFindObject)->Iterations(1)->Repetitions(10)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteSelect)->Iterations(1)->Repetitions(10)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RepositoryFindObjectAutocommit)->Iterations(1)->Repetitions(2)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteSelectAutocommit)->Iterations(1)->Repetitions(2)->ReportAggregatesOnly()->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Takes "--postgresql URI" (or "--postgresql=URI") out of the arguments:
// the server the PostgreSQL pairs run on. Empty when not given.
std::string takePostgresqlOption(std::vector<char*>& arguments) {
  std::string uri;
  for (auto it = arguments.begin() + 1; it != arguments.end();) {
    const std::string argument = *it;
    if (argument == "--postgresql") {
      if (std::next(it) == arguments.end()) throw std::invalid_argument("--postgresql needs a URI");
      uri = *std::next(it);
      it = arguments.erase(it, it + 2);
    } else if (argument.rfind("--postgresql=", 0) == 0) {
      uri = argument.substr(std::strlen("--postgresql="));
      it = arguments.erase(it);
    } else {
      ++it;
    }
  }
  return uri;
}

}  // namespace

int main(int argc, char** argv) {
  // Interleaved repetitions unless the command line says otherwise (a later
  // flag wins).
  std::vector<char*> arguments(argv, argv + argc);
  try {
    vlt_bench::pg::serverUri() = takePostgresqlOption(arguments);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vlt_bench: %s\n", e.what());
    return 2;
  }
  const bool postgresql = !vlt_bench::pg::serverUri().empty();
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  arguments.insert(arguments.begin() + 1, interleave);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  argc = count;
  argv = arguments.data();
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  std::printf("%zu rows of 8 values, %zu lookups; files in %s; SQLite %s\n", rowCount, lookupCount,
              fs::temp_directory_path().c_str(), sqlite3_libversion());
  std::printf("walk tree: %s\n", vlt_bench::walk::describeTree().c_str());
  if (postgresql) {
    try {
      std::printf("%s; a schema of its own per iteration\n", vlt_bench::pg::describeServer().c_str());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "vlt_bench: %s\n", e.what());
      return 2;
    }
    vlt_bench::pg::registerBenchmarks();
  }
  RatioReporter reporter(::isatty(::fileno(stdout)) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (postgresql) vlt_bench::pg::finish();
  std::fflush(stdout);
  std::printf("\n");
  const bool create = printRatio(reporter, "create", "BM_RepositoryCreateObjects", "BM_RawSqliteInsert", 1.5);
  const bool find = printRatio(reporter, "find", "BM_RepositoryFindObject", "BM_RawSqliteSelect", 2.0);
  printRatio(reporter, "find outside a transaction", "BM_RepositoryFindObjectAutocommit",
             "BM_RawSqliteSelectAutocommit", 0);
  const bool walk = printRatio(reporter, "walk", "BM_RepositoryWalkTree", "BM_RawSqliteWalkTree", 1.5);
  const bool queryLoad = printRatio(reporter, "query-load", "BM_QueryLoadByObject", "BM_RawSqliteSelect", 1.5);
  const bool counted = printRatio(reporter, "count", "BM_QueryCountFiltered", "BM_RawSqliteCount", 1.5);
  // Linear growth doubles the time; quadratic growth quadruples it.
  const bool metamodel =
      printRatio(reporter, "metamodel doubling", "BM_CreateMetamodelTwiceAsLarge", "BM_CreateMetamodel", 2.5);
  const bool server = !postgresql || vlt_bench::pg::printRatios(reporter);
  std::fflush(stdout);
  // A missed goal is reported above; a ratio that could not be measured
  // (a failed benchmark) fails the run.
  return create && find && walk && queryLoad && counted && metamodel && server ? 0 : 1;
}
