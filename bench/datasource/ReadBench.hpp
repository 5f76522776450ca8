#pragma once
// The read benchmarks of datasource_bench: loading the generated model from a
// stored repository file through the data source (all of it, one subtree,
// single elements by uuid) against reading the same objects through the
// repository's API alone, and the heap a loaded element and a proxy take.

#include "BenchCommon.hpp"

#include <cstddef>

namespace read_bench {

// Registers the read benchmarks at `elements` elements. The stored file they
// read is written (and checked) by the first of them that runs.
void registerBenchmarks(std::size_t elements, int repetitions);

// Prints the load, subtree and fetch ratios and the memory figures; false
// when a read benchmark ran and failed.
bool printResults(const bench_common::RatioReporter& reporter);

// Removes the stored file.
void removeFiles();

}  // namespace read_bench
