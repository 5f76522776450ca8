#pragma once
// The read benchmarks of datasource_bench: loading the generated model from a
// stored repository file through the data source (all of it, one subtree,
// single elements by uuid) against reading the same objects through the
// repository's API alone, and the heap a loaded element and a proxy take.

#include "BenchCommon.hpp"

#include <cstddef>
#include <string>

namespace read_bench {

// Registers the read benchmarks at `elements` elements, `fetches` of them
// fetched one by one. The stored file they read is written (and checked) by
// the first of them that runs.
void registerBenchmarks(std::size_t elements, std::size_t fetches, int repetitions);

// Registers instead the fetch benchmarks on the PostgreSQL database `uri`:
// the data source's, the repository API's baseline and the libpq baseline,
// each object read in a transaction of its own. The model is written into a
// fresh schema of that database by the first of them that runs.
void registerPostgresqlBenchmarks(const std::string& uri, std::size_t elements, std::size_t fetches,
                                  int repetitions);

// Prints the load, subtree and fetch ratios and the memory figures (on a
// server, the fetch ratios and round trips per fetch); false when a read
// benchmark ran and failed.
bool printResults(const bench_common::RatioReporter& reporter);

// Removes the stored file (the schema on a server).
void removeFiles();

}  // namespace read_bench
