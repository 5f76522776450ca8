#pragma once
// What the benchmarks of qm0_bench share: the median of the repetitions, and
// the ratio each benchmark family prints at the end of the run.

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qm0_bench {

inline double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// What glibc says is in use: `uordblks` for the heap plus `hblkhd` for blocks
// mapped on their own, malloc's per-block overhead included.
inline double bytesInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks) + static_cast<double>(info.hblkhd);
}

// Each prints its ratio line(s); nothing when a --benchmark_filter left the
// whole family out, "not measured" when it left out one side. False when a
// measured side failed.
bool printDeepAppendRatio();
bool printElementRatios();
// The per-edit figures of the collection edit benchmark (no goal).
bool printCollectionEditFigures();

// The element benchmarks, at `elements` elements per repetition.
void registerElementBenchmarks(std::int64_t elements);

}  // namespace qm0_bench
