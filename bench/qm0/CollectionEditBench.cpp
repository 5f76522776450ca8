// What an open transaction pays for one edit of a large collection that
// existed before it: the undo log's share, in time and in memory.
//
// BM_AppendToLargeCollections/N: N elements of bench.Shelf, each with an
// ordered Integer collection of 1,000 entries, are made and committed
// (not timed). Then one transaction appends one entry to each of the N
// collections; that loop is timed (wall clock), and the memory in use is
// read before and after its commit (mallinfo2, as for the element
// benchmarks), so the difference is what the open transaction held: its
// undo log and its report. A second transaction appends again and rolls
// back; the rollback is timed and checked to give back every collection
// whole. Prints the medians per append.

#include "BenchRatios.hpp"

#include <qm/zero/Model.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <vector>

namespace qm0_bench {
namespace {

using namespace qm::zero;
using Clock = std::chrono::steady_clock;

constexpr std::int64_t shelves = 1000;
constexpr std::int32_t entriesPerShelf = 1000;

// bench.Shelf  values: Integer [0..*] ordered
struct ShelfClass {
  meta::Class shelf;
  meta::Property values;

  static const ShelfClass& get() {
    static const ShelfClass instance;
    return instance;
  }

 private:
  ShelfClass() {
    meta::PackageBuilder b(u"bench", u"urn:qm0-bench-shelf", u"1");
    shelf = b.addClass(u"Shelf");
    values = b.addProperty(shelf, u"values", meta::StandardTypes::integerMeta(),
                           meta::PropertyOptions().bounds(0, meta::unbounded).setOrdered().setUnique(false));
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

struct EditMeasures {
  std::vector<double> appendNs;    // per append
  std::vector<double> bytes;       // the open transaction's, per append
  std::vector<double> rollbackNs;  // per append undone
  bool failed = false;
};
EditMeasures& editMeasures() {
  static EditMeasures all;
  return all;
}

double nanoseconds(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::nano>(to - from).count();
}

void BM_AppendToLargeCollections(benchmark::State& state) {
  const ShelfClass& s = ShelfClass::get();
  const std::int64_t n = state.range(0);
  const auto per = static_cast<double>(n);
  EditMeasures& m = editMeasures();
  for (auto _ : state) {
    Model model = Model::create();
    std::vector<ModelElement> all;
    all.reserve(static_cast<std::size_t>(n));
    {
      std::vector<std::int32_t> contents(entriesPerShelf);
      for (std::int32_t i = 0; i < entriesPerShelf; ++i) contents[static_cast<std::size_t>(i)] = i;
      const Value full(meta::StandardTypes::integerMeta(), contents);
      Transaction tx = model->beginTransaction();
      for (std::int64_t i = 0; i < n; ++i) {
        all.push_back(ModelElement::createReflective(model, s.shelf));
        all.back().set(s.values, full);
      }
      tx.commit();
    }
    const Value extra(meta::StandardTypes::integerMeta(), std::int32_t{-1});
    // Appends that are committed: what the transaction held is what the
    // commit gives back (the collections keep what they grew by).
    Transaction tx = model->beginTransaction();
    const auto start = Clock::now();
    for (ModelElement& e : all) e.append(s.values, extra);
    const auto appended = Clock::now();
    const double open = bytesInUse();
    tx.commit();
    const double committed = bytesInUse();
    // The same again, rolled back.
    Transaction undone = model->beginTransaction();
    for (ModelElement& e : all) e.append(s.values, extra);
    const auto rollbackStart = Clock::now();
    undone.rollback();
    const auto rolledBack = Clock::now();
    state.SetIterationTime(std::chrono::duration<double>(appended - start).count());
    m.appendNs.push_back(nanoseconds(start, appended) / per);
    m.bytes.push_back((open - committed) / per);
    m.rollbackNs.push_back(nanoseconds(rollbackStart, rolledBack) / per);
    state.counters["tx bytes/append"] = m.bytes.back();
    state.counters["rollback ns/append"] = m.rollbackNs.back();
    for (const ModelElement& e : all) {
      const Value v = e.get(s.values);
      if (v.size() != static_cast<std::size_t>(entriesPerShelf) + 1 || v.getAll<std::int32_t>().back() != -1 ||
          v.getAll<std::int32_t>()[static_cast<std::size_t>(entriesPerShelf) - 1] != entriesPerShelf - 1) {
        m.failed = true;
        state.SkipWithError("a rollback did not give a collection back whole");
        break;
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(BM_AppendToLargeCollections)
    ->Arg(shelves)
    ->Iterations(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

bool printCollectionEditFigures() {
  const EditMeasures& m = editMeasures();
  if (m.appendNs.empty()) return true;
  std::printf("collection edit: %.0f ns and %.0f bytes of open transaction per append, rollback %.0f ns per append"
              "  [medians of %zu, %lld collections of %d entries]\n",
              median(m.appendNs), median(m.bytes), median(m.rollbackNs), m.appendNs.size(),
              static_cast<long long>(shelves), entriesPerShelf);
  if (m.failed) std::printf("collection edit: a repetition failed its check\n");
  return !m.failed;
}

}  // namespace qm0_bench
