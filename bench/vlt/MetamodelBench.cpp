// vlt_bench, the metamodel pair: a metamodel of N classes and one of 2N
// (each class with two single values and a collection, under one base
// class), made in one dictionary function on a new file. Linear work gives
// a ratio of about 2; work that grows with the schema already there
// (a table made per class, a schema reparse per column) about 4.

#include "BenchSupport.hpp"

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>

#include <boost/uuid/uuid.hpp>

#include <string>

namespace {

using namespace vlt_bench;

constexpr int smallMetamodel = 5000;

void appendProperty(vlt::DataModelRepository& repo, const vlt::ClassRef& cls, const char* name, const char* type,
                    std::uint32_t upper) {
  repo.appendPropertyToClass(cls, name, type, "", 0, upper, false, upper > 1, true, "",
                             vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, true);
}

void createMetamodel(benchmark::State& state, int classes, const char* name) {
  for (auto _ : state) {
    const TempFolder folder;
    vlt::DataModelRepository repo;
    vlt::DataModelRepository::ServiceOptions options;
    options.createIfMissing = 1;
    repo.open(folder.file("metamodel.db"), "", options);
    const Stopwatch watch;
    repo.performDictionaryFunction([&] {
      const vlt::ClassRef base = repo.createClass("bench.Base", {});
      for (int i = 0; i < classes; ++i) {
        const vlt::ClassRef cls = repo.createClass("bench.Class" + std::to_string(i), {base});
        appendProperty(repo, cls, "count", "int32", 1);
        appendProperty(repo, cls, "label", "ustring", 1);
        appendProperty(repo, cls, "links", "bench.Base", 0xFFFFFFFF);
      }
    });
    watch.stop(state, name);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * classes);
}

void BM_CreateMetamodel(benchmark::State& state) { createMetamodel(state, smallMetamodel, "BM_CreateMetamodel"); }
void BM_CreateMetamodelTwiceAsLarge(benchmark::State& state) {
  createMetamodel(state, 2 * smallMetamodel, "BM_CreateMetamodelTwiceAsLarge");
}

}  // namespace

BENCHMARK(BM_CreateMetamodel)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly()->UseManualTime()->Unit(
    benchmark::kMillisecond);
BENCHMARK(BM_CreateMetamodelTwiceAsLarge)->Iterations(1)->Repetitions(3)->ReportAggregatesOnly()->UseManualTime()->Unit(
    benchmark::kMillisecond);
