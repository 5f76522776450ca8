// qm0_bench: runs the benchmarks and prints the ratios they are judged by.
//
//   qm0_bench [--elements=N] [Google Benchmark flags]
//
// --elements sets the number of elements of the element benchmarks (default
// 200,000).

#include "BenchRatios.hpp"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  std::int64_t elements = 200000;
  // Interleaved repetitions unless the command line says otherwise (a later
  // flag wins).
  char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> arguments{argv[0], interleave};
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--elements=", 11) == 0) {
      elements = std::strtoll(argv[i] + 11, nullptr, 10);
      if (elements <= 0) {
        std::fprintf(stderr, "qm0_bench: --elements needs a positive count\n");
        return 2;
      }
      continue;
    }
    arguments.push_back(argv[i]);
  }
  qm0_bench::registerElementBenchmarks(elements);
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::fflush(stdout);
  std::printf("\n");
  bool ok = qm0_bench::printDeepAppendRatio();
  ok = qm0_bench::printElementRatios() && ok;
  ok = qm0_bench::printCollectionEditFigures() && ok;
  return ok ? 0 : 1;
}
