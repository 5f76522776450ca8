// What one element costs, in memory and in time to make, against the same
// data in a plain C++ struct, in the same run.
//
// One class, `bench.Record`, of six single-valued attributes: Integer,
// Integer64, Real, String, StdString and Boolean.
// - BM_FrameworkElements/N: a fresh model; one transaction makes N elements,
//   each with createReflective (random uuid) and six `set` calls; commit.
// - BM_PlainStructs/N: the same six values and a random uuid in a struct,
//   in a std::vector, with a std::unordered_map from uuid to index: what a
//   host would write by hand. Both containers are reserved up front, which
//   is the baseline at its best.
// The texts are a letter and the element's index ("n123456"): names, short
// enough for the standard strings' own small-string buffers.
//
// Memory is what glibc says is in use (mallinfo2: `uordblks` for the heap
// plus `hblkhd` for blocks mapped on their own), read before and after. It
// includes malloc's per-block overhead, which a counting operator new would
// miss and which many small blocks do pay. Per element:
// - committed: (in use after the commit - in use before) / N;
// - open transaction: (in use before the commit - in use after it) / N,
//   what the open transaction holds on top of the elements it made.
// Time: wall clock of making the elements plus the commit; neither the
// reading of the memory nor the model's destruction is timed. The
// repetitions of both sides run interleaved; the ratios are of medians.

#include "BenchRatios.hpp"

#include <qm/zero/Model.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <benchmark/benchmark.h>

#include <boost/functional/hash.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace qm0_bench {
namespace {

using namespace qm::zero;
using Clock = std::chrono::steady_clock;

const char* const frameworkName = "BM_FrameworkElements";
const char* const plainName = "BM_PlainStructs";

// bench.Record: integer, integer64, real, text, stdText, flag.
struct RecordClass {
  meta::Class cls;
  meta::Property integer, integer64, real, text, stdText, flag;

  static const RecordClass& get() {
    static const RecordClass instance;
    return instance;
  }

 private:
  RecordClass() {
    using meta::StandardTypes;
    meta::PackageBuilder b(u"bench", u"urn:qm0-bench-record", u"1");
    cls = b.addClass(u"Record");
    integer = b.addProperty(cls, u"integer", StandardTypes::integerMeta());
    integer64 = b.addProperty(cls, u"integer64", StandardTypes::integer64Meta());
    real = b.addProperty(cls, u"real", StandardTypes::realMeta());
    text = b.addProperty(cls, u"text", StandardTypes::stringMeta());
    stdText = b.addProperty(cls, u"stdText", StandardTypes::stdstringMeta());
    flag = b.addProperty(cls, u"flag", StandardTypes::booleanMeta());
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

struct Record {
  boost::uuids::uuid id;
  std::int32_t integer;
  std::int64_t integer64;
  double real;
  std::u16string text;
  std::string stdText;
  bool flag;
};

std::string stdTextOf(std::int64_t i) { return "n" + std::to_string(i); }
std::u16string textOf(std::int64_t i) {
  const std::string s = stdTextOf(i);
  return std::u16string(s.begin(), s.end());
}

double seconds(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

struct Measures {
  std::vector<double> wall;         // seconds per repetition
  std::vector<double> committed;    // bytes per element
  std::vector<double> transaction;  // bytes per new element, framework only
  std::int64_t elements = 0;
  bool failed = false;  // a repetition's check failed
};
std::map<std::string, Measures>& measures() {
  static std::map<std::string, Measures> all;
  return all;
}

void frameworkElements(benchmark::State& state) {
  const RecordClass& r = RecordClass::get();
  const std::int64_t n = state.range(0);
  boost::uuids::random_generator generate;
  for (auto _ : state) {
    const double before = bytesInUse();
    {
      Model model = Model::create();
      const auto start = Clock::now();
      Transaction tx = model->beginTransaction();
      for (std::int64_t i = 0; i < n; ++i) {
        ModelElement e = ModelElement::createReflective(model, r.cls, generate());
        e.set(r.integer, Value(meta::StandardTypes::integerMeta(), static_cast<std::int32_t>(i)));
        e.set(r.integer64, Value(meta::StandardTypes::integer64Meta(), static_cast<std::int64_t>(i) * 3));
        e.set(r.real, Value(meta::StandardTypes::realMeta(), static_cast<double>(i) * 0.5));
        e.set(r.text, Value(meta::StandardTypes::stringMeta(), textOf(i)));
        e.set(r.stdText, Value(meta::StandardTypes::stdstringMeta(), stdTextOf(i)));
        e.set(r.flag, Value(meta::StandardTypes::booleanMeta(), i % 2 == 0));
      }
      const auto made = Clock::now();
      const double open = bytesInUse();
      const auto commitStart = Clock::now();
      tx.commit();
      const auto end = Clock::now();
      const double committed = bytesInUse();
      const double wall = seconds(start, made) + seconds(commitStart, end);
      state.SetIterationTime(wall);
      Measures& m = measures()[frameworkName];
      m.wall.push_back(wall);
      m.committed.push_back((committed - before) / static_cast<double>(n));
      m.transaction.push_back((open - committed) / static_cast<double>(n));
      state.counters["bytes/element"] = m.committed.back();
      state.counters["tx bytes/element"] = m.transaction.back();
      // What was made is there.
      m.elements = n;
      const ModelElement any = model->getAllElements().front();
      const auto i = any.get(r.integer).get<std::int32_t>();
      if (model->getElementCount() != static_cast<std::size_t>(n) ||
          any.get(r.stdText).get<std::string>() != stdTextOf(i) || any.get(r.text).get<std::u16string>() != textOf(i) ||
          any.get(r.integer64).get<std::int64_t>() != std::int64_t{i} * 3 || any.get(r.flag).get<bool>() != (i % 2 == 0)) {
        m.failed = true;
        state.SkipWithError("the elements do not hold their values");
      }
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void plainStructs(benchmark::State& state) {
  const std::int64_t n = state.range(0);
  boost::uuids::random_generator generate;
  for (auto _ : state) {
    const double before = bytesInUse();
    {
      const auto start = Clock::now();
      std::vector<Record> records;
      std::unordered_map<boost::uuids::uuid, std::size_t, boost::hash<boost::uuids::uuid>> index;
      records.reserve(static_cast<std::size_t>(n));
      index.reserve(static_cast<std::size_t>(n));
      for (std::int64_t i = 0; i < n; ++i) {
        records.push_back(Record{generate(), static_cast<std::int32_t>(i), static_cast<std::int64_t>(i) * 3,
                                 static_cast<double>(i) * 0.5, textOf(i), stdTextOf(i), i % 2 == 0});
        index.emplace(records.back().id, records.size() - 1);
      }
      const auto end = Clock::now();
      const double after = bytesInUse();
      const double wall = seconds(start, end);
      state.SetIterationTime(wall);
      Measures& m = measures()[plainName];
      m.wall.push_back(wall);
      m.committed.push_back((after - before) / static_cast<double>(n));
      state.counters["bytes/element"] = m.committed.back();
      m.elements = n;
      if (index.size() != static_cast<std::size_t>(n)) {
        m.failed = true;
        state.SkipWithError("records are missing");
      }
      benchmark::DoNotOptimize(records.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void printRatio(const char* name, double ratio, double goal, const char* detail) {
  std::printf("%s ratio: %.2f (goal <= %.1f)%s  [%s]\n", name, ratio, goal, ratio <= goal ? "" : " MISSED", detail);
}

}  // namespace

void registerElementBenchmarks(std::int64_t elements) {
  for (auto [name, function] : {std::pair{frameworkName, &frameworkElements}, std::pair{plainName, &plainStructs}}) {
    benchmark::RegisterBenchmark(name, function)
        ->Arg(elements)
        ->Iterations(1)
        ->Repetitions(5)
        ->ReportAggregatesOnly()
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
}

bool printElementRatios() {
  const auto& all = measures();
  const auto f = all.find(frameworkName), p = all.find(plainName);
  if (f == all.end() && p == all.end()) return true;
  if (f == all.end() || p == all.end()) {
    std::printf("element ratios: not measured (%s left out)\n", f == all.end() ? frameworkName : plainName);
    return true;
  }
  const double frameworkBytes = median(f->second.committed), plainBytes = median(p->second.committed);
  const double transactionBytes = median(f->second.transaction);
  const double frameworkTime = median(f->second.wall), plainTime = median(p->second.wall);
  char detail[200];
  std::snprintf(detail, sizeof detail, "bytes per element: framework %.0f, plain struct %.0f", frameworkBytes,
                plainBytes);
  printRatio("element memory", frameworkBytes / plainBytes, 2.0, detail);
  std::snprintf(detail, sizeof detail, "open transaction %.0f bytes per new element, the element %.0f",
                transactionBytes, frameworkBytes);
  printRatio("transaction memory", transactionBytes / frameworkBytes, 1.0, detail);
  std::snprintf(detail, sizeof detail, "medians of %zu/%zu at %lld elements: framework %.1f ms (%.0f elements/s), plain %.1f ms",
                f->second.wall.size(), p->second.wall.size(), static_cast<long long>(f->second.elements),
                frameworkTime * 1e3, static_cast<double>(f->second.elements) / frameworkTime, plainTime * 1e3);
  printRatio("create", frameworkTime / plainTime, 2.0, detail);
  if (f->second.failed || p->second.failed) {
    std::printf("element ratios: a repetition failed its check\n");
    return false;
  }
  return true;
}

}  // namespace qm0_bench
