// vlt_bench, the query pairs, on the rows of the find pair (Rows.hpp):
//
//   BM_QueryLoadByObject   one ObjectQuery (an object constraint and the 8
//                          values as result properties) executed again for
//                          each looked-up object, its cell refilled
//   BM_QueryCountFiltered  one ObjectQuery counting the objects whose int32
//                          value lies in a range, for 50 ranges
//   BM_RawSqliteCount      the same counts with a hand-written prepared SELECT
//
// The load pair is judged against BM_RawSqliteSelect (RepositoryBench.cpp),
// which reads the same values of the same objects. Both sides of each pair
// work in one transaction; the objects are found before the timing starts.

#include "BenchSupport.hpp"
#include "RepositoryReads.hpp"
#include "Rows.hpp"

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace vlt_bench;
using namespace vlt_bench::rowset;
using boost::posix_time::ptime;

void BM_QueryLoadByObject(benchmark::State& state) {
  try {
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("query.db");
      fs::copy_file(filledRepository(), path);
      vlt::DataModelRepository repo;
      openRepository(repo, path);
      const std::uint64_t sum = timedQueryLoad(state, "BM_QueryLoadByObject", repo);
      if (sum != expected) throw std::runtime_error("the query read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

// Ranges of int32 values that the rows' values fall in, and how many do.
const std::vector<std::pair<std::int32_t, std::int32_t>>& ranges() {
  static const std::vector<std::pair<std::int32_t, std::int32_t>> all = [] {
    std::vector<std::pair<std::int32_t, std::int32_t>> out;
    for (int k = 0; k < 50; ++k) {
      const std::int32_t low = rows()[static_cast<std::size_t>(k) * 997].int32Value;
      const std::int32_t high = rows()[static_cast<std::size_t>(k) * 1999 + 1].int32Value;
      out.emplace_back(std::min(low, high), std::max(low, high));
    }
    return out;
  }();
  return all;
}

std::int64_t expectedCountSum() {
  std::int64_t sum = 0;
  for (const auto& [low, high] : ranges()) {
    for (const Row& r : rows()) sum += r.int32Value >= low && r.int32Value <= high ? 1 : 0;
  }
  return sum;
}

void BM_QueryCountFiltered(benchmark::State& state) {
  try {
    const std::int64_t expected = expectedCountSum();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("count.db");
      fs::copy_file(filledRepository(), path);
      vlt::DataModelRepository repo;
      openRepository(repo, path);
      const RowClass c = rowClass(repo);
      std::int32_t low = 0;
      std::int32_t high = 0;
      std::int32_t count = 0;
      std::int64_t sum = 0;

      const Stopwatch watch;
      repo.beginTransaction();
      vlt::ObjectQuery q(repo);
      q.addSearchClass(c.cls, 0, vlt::classAndSubclasses);
      q.addConstraint(c.int32Property, vlt::PVMR_wrapper::greaterOrEqual, &low, 0);
      q.addConstraint(c.int32Property, vlt::PVMR_wrapper::lessOrEqual, &high, 0);
      q.addResultCount(&count);
      for (const auto& range : ranges()) {
        low = range.first;
        high = range.second;
        if (!q.execute().getNextResult()) throw std::runtime_error("a count gave no row");
        sum += count;
      }
      repo.commitTransaction();
      watch.stop(state, "BM_QueryCountFiltered");
      if (sum != expected) throw std::runtime_error("the query counted other rows than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

void BM_RawSqliteCount(benchmark::State& state) {
  try {
    const std::int64_t expected = expectedCountSum();
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("count.db");
      fs::copy_file(filledRepository(), path);
      const RawLayout layout = rawLayout(path);
      const Database db = openRaw(path);
      std::int64_t sum = 0;

      const Stopwatch watch;
      const Statement count = prepare(db.get(), "SELECT count(*) FROM " + layout.table + " WHERE " +
                                                    layout.columns[0] + " BETWEEN ?1 AND ?2");
      execute(db.get(), "BEGIN");
      for (const auto& [low, high] : ranges()) {
        sqlite3_bind_int64(count.get(), 1, low);
        sqlite3_bind_int64(count.get(), 2, high);
        step(db.get(), count.get(), SQLITE_ROW);
        sum += sqlite3_column_int64(count.get(), 0);
        sqlite3_reset(count.get());
      }
      execute(db.get(), "COMMIT");
      watch.stop(state, "BM_RawSqliteCount");
      if (sum != expected) throw std::runtime_error("the raw count counted other rows than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
}

}  // namespace

BENCHMARK(BM_QueryLoadByObject)->Iterations(1)->Repetitions(10)->ReportAggregatesOnly()->UseManualTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_QueryCountFiltered)->Iterations(1)->Repetitions(6)->ReportAggregatesOnly()->UseManualTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_RawSqliteCount)->Iterations(1)->Repetitions(6)->ReportAggregatesOnly()->UseManualTime()->Unit(
    benchmark::kMillisecond);
