// datasource_bench: writing a framework model into a repository through the
// data source, against writing the same objects through the repository's
// API alone, on new SQLite files.
//
//   datasource_bench [--elements=N] [--repetitions=R] [--fetches=F]
//                    [--postgresql URI] [Google Benchmark flags]
//
// The model is the generated Java-like model of JavaModel.hpp, N elements
// (default 100,000), R repetitions of each benchmark (default 5):
//
//   BM_DataSourcePush    the model made beforehand without a data source;
//                        timed: DataSource::create on a new file (opening it,
//                        making the classes, writing every element), then
//                        resetDataSource
//   BM_DataSourceReport  a data source attached to a new file and the N
//                        elements made in one model transaction beforehand;
//                        timed: the transaction's commit (the one change
//                        report written, the repository committed)
//   BM_VltBaseline       the same objects, values and links through the
//                        repository's API alone (JavaRepository.cpp); timed:
//                        opening the new file to closing it, generating the
//                        elements included
//   BM_GeneratorAlone, BM_ModelCommitWithoutDataSource
//                        for information: the generator's share of the
//                        baseline, the framework's share of the report
//
// Every repetition works on a fresh file in a temporary folder ($TMPDIR or
// /tmp) and checks the file afterwards (JavaRepository.hpp: layout, counts,
// and a check sum of every value, link and owner); a wrong file stops the
// benchmark with an error. The run ends with the push and report ratios (the
// data source's median time over the baseline's, goal at most 1.5 each) and
// the elements written per second.
//
// The read benchmarks (ReadBench.hpp: the full load, one subtree, single
// fetches by uuid, the heap per element and per proxy) run in the same
// program and print their lines after these. With --postgresql only the
// fetches run, on a fresh schema of that database: the data source's, the
// repository API's baseline and a baseline through libpq alone
// (PqReading.hpp), with the round trips per fetch.

#include "BenchCommon.hpp"

#include <filesystem>
#include "JavaModel.hpp"
#include "JavaRepository.hpp"
#include "ReadBench.hpp"

#include <vlt_datasource/DataSource.hpp>

#include <benchmark/benchmark.h>
#include <fl/i18n/Unicode.hpp>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#ifndef VLT_BASE_METAMODEL
#error "VLT_BASE_METAMODEL names the base metamodel file"
#endif

namespace {

using namespace bench_common;
using qm::zero::Model;
using vlt_datasource::DataSource;

const char* const pushName = "BM_DataSourcePush";
const char* const reportName = "BM_DataSourceReport";
const char* const baselineName = "BM_VltBaseline";
const char* const generatorName = "BM_GeneratorAlone";
const char* const commitName = "BM_ModelCommitWithoutDataSource";

std::size_t elements = 100000;

DataSource* attach(const std::string& path, const Model& model) {
  return DataSource::create(fl::i18n::utf8_to_ustring(path), model, DataSource::NoSyncToModel,
                            DataSource::SyncAllToDataSource, DataSource::Synchronous);
}

void check(const std::string& path) { java_model::checkRepository(path, elements); }

void push(benchmark::State& state) {
  try {
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("push.vlt");
      {
        const Model model = Model::create();
        {
          qm::zero::Transaction tx = model->beginTransaction();
          java_model::addToModel(model, elements);
          tx.commit();
        }
        const Stopwatch watch;
        attach(path, model);
        model->resetDataSource();
        watch.stop(state, pushName);
      }
      check(path);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void report(benchmark::State& state) {
  try {
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("report.vlt");
      {
        const Model model = Model::create();
        attach(path, model);
        qm::zero::Transaction tx = model->beginTransaction();
        java_model::addToModel(model, elements);
        const Stopwatch watch;
        tx.commit();
        watch.stop(state, reportName);
        model->resetDataSource();
      }
      check(path);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void baseline(benchmark::State& state) {
  try {
    for (auto _ : state) {
      TempFolder folder;
      const std::string path = folder.file("baseline.vlt");
      const Stopwatch watch;
      java_model::writeThroughRepository(path, VLT_BASE_METAMODEL, elements);
      watch.stop(state, baselineName);
      check(path);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void generatorAlone(benchmark::State& state) {
  for (auto _ : state) {
    std::uint64_t touched = 0;
    const Stopwatch watch;
    const java_model::Counts counts =
        java_model::generate(elements, java_model::defaultSeed, [&](const java_model::Element& e) {
          touched += e.name.size() + e.index;
        });
    watch.stop(state, generatorName);
    benchmark::DoNotOptimize(touched);
    if (counts.total() != elements) state.SkipWithError("the generator made another number of elements");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void commitWithoutDataSource(benchmark::State& state) {
  for (auto _ : state) {
    const Model model = Model::create();
    qm::zero::Transaction tx = model->beginTransaction();
    java_model::addToModel(model, elements);
    const Stopwatch watch;
    tx.commit();
    watch.stop(state, commitName);
    if (model->getElementCount() != elements) state.SkipWithError("the model lost elements");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void registerBenchmarks(int repetitions) {
  const std::pair<const char*, void (*)(benchmark::State&)> all[] = {{pushName, &push},
                                                                     {reportName, &report},
                                                                     {baselineName, &baseline},
                                                                     {generatorName, &generatorAlone},
                                                                     {commitName, &commitWithoutDataSource}};
  for (const auto& [name, function] : all) registerTimed(name, function, repetitions);
}

// "LABEL 123456 elements/s (812.3 ms, CPU 790.1 ms)" for a benchmark that
// succeeded: median wall time, median thread CPU time of the timed part.
std::string rate(const RatioReporter& reporter, const char* label, const char* name) {
  const auto t = timings().find(name);
  if (!reporter.succeeded(name) || t == timings().end()) return std::string(label) + " not measured";
  const double seconds = median(t->second.wall);
  char text[160];
  std::snprintf(text, sizeof text, "%s %.0f elements/s (%.1f ms, CPU %.1f ms)", label,
                static_cast<double>(elements) / seconds, seconds * 1e3, median(t->second.cpu) * 1e3);
  return text;
}

void printFigures(const RatioReporter& reporter) {
  std::printf("elements per second, median times at %zu elements: %s; %s; %s\n", elements,
              rate(reporter, "push", pushName).c_str(), rate(reporter, "report", reportName).c_str(),
              rate(reporter, "baseline", baselineName).c_str());
  const auto generator = timings().find(generatorName);
  const auto baselineTimes = timings().find(baselineName);
  if (generator != timings().end() && baselineTimes != timings().end()) {
    std::printf("generator alone: %.1f ms, %.1f%% of the baseline's time (which includes it)\n",
                median(generator->second.wall) * 1e3,
                100 * median(generator->second.wall) / median(baselineTimes->second.wall));
  }
  const auto commit = timings().find(commitName);
  const auto reportTimes = timings().find(reportName);
  if (commit != timings().end() && reportTimes != timings().end() && reporter.succeeded(reportName)) {
    std::printf("model commit without a data source: %.1f ms, %.1f%% of the report's time (which includes it)\n",
                median(commit->second.wall) * 1e3, 100 * median(commit->second.wall) / median(reportTimes->second.wall));
  }
}

bool positiveOption(const char* argument, const char* prefix, std::size_t& out) {
  const std::size_t length = std::strlen(prefix);
  if (std::strncmp(argument, prefix, length) != 0) return false;
  char* end = nullptr;
  const long long value = std::strtoll(argument + length, &end, 10);
  if (end == argument + length || *end != 0 || value <= 0 || value > 0xFFFFFFFFLL) {
    std::fprintf(stderr, "datasource_bench: %s needs a positive count\n", prefix);
    std::exit(2);
  }
  out = static_cast<std::size_t>(value);
  return true;
}

// "--postgresql URI" or "--postgresql=URI": the server's database; `at` moves
// past the URI.
bool postgresqlOption(int argc, char** argv, int& at, std::string& uri) {
  const char* const flag = "--postgresql";
  if (std::strcmp(argv[at], flag) == 0) {
    if (at + 1 == argc) {
      std::fprintf(stderr, "datasource_bench: %s needs a PostgreSQL URI\n", flag);
      std::exit(2);
    }
    uri = argv[++at];
    return true;
  }
  const std::size_t length = std::strlen(flag);
  if (std::strncmp(argv[at], flag, length) != 0 || argv[at][length] != '=') return false;
  uri = argv[at] + length + 1;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t repetitions = 5;
  std::size_t fetches = 0;  // 0: 10,000, or 2,000 on a server (each fetch waits for it several times)
  std::string postgresql;
  // Interleaved repetitions unless the command line says otherwise (a later
  // flag wins), so that both sides of a ratio sample the same stretch of a
  // machine that may be busy with other work.
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> arguments{argv[0], interleave};
  for (int i = 1; i < argc; ++i) {
    if (positiveOption(argv[i], "--elements=", elements) || positiveOption(argv[i], "--repetitions=", repetitions) ||
        positiveOption(argv[i], "--fetches=", fetches) || postgresqlOption(argc, argv, i, postgresql))
      continue;
    arguments.push_back(argv[i]);
  }
  if (postgresql.empty()) {
    registerBenchmarks(static_cast<int>(repetitions));
    read_bench::registerBenchmarks(elements, fetches == 0 ? 10000 : fetches, static_cast<int>(repetitions));
  } else {
    read_bench::registerPostgresqlBenchmarks(postgresql, elements, fetches == 0 ? 2000 : fetches,
                                             static_cast<int>(repetitions));
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
  try {
    const java_model::Counts counts = java_model::generate(elements, java_model::defaultSeed, [](const auto&) {});
    std::printf("%zu elements: %zu packages, %zu classes, %zu methods, %zu statements; files in %s\n", elements,
                counts.perKind[0], counts.perKind[1], counts.perKind[2], counts.perKind[3],
                std::filesystem::temp_directory_path().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "datasource_bench: %s\n", e.what());
    return 2;
  }
  RatioReporter reporter(::isatty(::fileno(stdout)) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                    : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::fflush(stdout);
  std::printf("\n");
  const bool pushed = printRatio(reporter, "push", pushName, baselineName, 1.5);
  const bool reported = printRatio(reporter, "report", reportName, baselineName, 1.5);
  printFigures(reporter);
  const bool read = read_bench::printResults(reporter);
  read_bench::removeFiles();
  std::fflush(stdout);
  // A missed goal is marked above; a ratio that could not be measured (a
  // benchmark failed, for instance its check of the file) fails the run.
  return pushed && reported && read ? 0 : 1;
}
