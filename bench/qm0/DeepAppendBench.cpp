// Building a composite chain by appending each new node under the deepest
// one, at two depths, N and 2N. Each append must cost the same whatever the
// depth, so the time for 2N over the time for N is about 2 when the model
// stays linear and about 4 when something walks the chain on every append
// (an ownership check, the undo log, the report).
//
// One iteration per repetition: a fresh model, one transaction that creates
// the N nodes and appends each under the one before, and its commit; only
// that is timed (wall clock), not the model's destruction. The repetitions of
// both sizes run interleaved so that both sample the same stretch of a
// machine that may be busy with other work. Prints the ratio of the medians.

#include <qm/zero/Model.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>

#include "BenchRatios.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

namespace qm0_bench {
namespace {

using namespace qm::zero;

constexpr std::int64_t shallow = 50000;
constexpr std::int64_t deep = 2 * shallow;

// bench.Node  kids: Node [0..*] composite ordered <-> parent: Node [0..1]
struct Chain {
  meta::Class node;
  meta::Property kids;

  static const Chain& get() {
    static const Chain instance;
    return instance;
  }

 private:
  Chain() {
    meta::PackageBuilder b(u"bench", u"urn:qm0-bench", u"1");
    node = b.addClass(u"Node");
    kids = b.addProperty(node, u"kids", node,
                         meta::PropertyOptions().bounds(0, meta::unbounded).setOrdered().setComposite());
    meta::Property parent = b.addProperty(node, u"parent", node);
    b.setOpposite(kids, parent);
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

std::map<std::int64_t, std::vector<double>>& wallTimes() {
  static std::map<std::int64_t, std::vector<double>> all;
  return all;
}

void BM_DeepAppend(benchmark::State& state) {
  const Chain& chain = Chain::get();
  const std::int64_t depth = state.range(0);
  for (auto _ : state) {
    Model model = Model::create();
    const auto start = std::chrono::steady_clock::now();
    Transaction tx = model->beginTransaction();
    ModelElement deepest = ModelElement::createReflective(model, chain.node);
    for (std::int64_t i = 1; i < depth; ++i) {
      ModelElement next = ModelElement::createReflective(model, chain.node);
      deepest.append(chain.kids, Value(next));
      deepest = next;
    }
    tx.commit();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    state.SetIterationTime(wall);
    wallTimes()[depth].push_back(wall);
    // The chain is whole: the deepest node is `depth - 1` owners below the root.
    std::int64_t levels = 0;
    for (ModelElement e = deepest.getOwner(); e; e = e.getOwner()) ++levels;
    if (levels != depth - 1 || model->getElementCount() != static_cast<std::size_t>(depth))
      state.SkipWithError("the chain is not whole");
  }
  state.SetItemsProcessed(state.iterations() * depth);
}

BENCHMARK(BM_DeepAppend)->Arg(shallow)->Arg(deep)->Iterations(1)->Repetitions(5)->ReportAggregatesOnly()
    ->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

bool printDeepAppendRatio() {
  const auto& times = wallTimes();
  const auto a = times.find(shallow), b = times.find(deep);
  if (a == times.end() && b == times.end()) return true;  // left out by a filter
  if (a == times.end() || b == times.end()) {
    std::printf("deep append ratio: not measured\n");
    return false;
  }
  const double ratio = median(b->second) / median(a->second);
  std::printf("deep append ratio: %.2f (linear: about 2)  [medians: %lld deep %.1f ms, %lld deep %.1f ms]\n", ratio,
              static_cast<long long>(shallow), median(a->second) * 1e3, static_cast<long long>(deep),
              median(b->second) * 1e3);
  return true;
}

}  // namespace qm0_bench
