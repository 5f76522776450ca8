#pragma once
// The PostgreSQL pairs of vlt_bench (PgBench.cpp): registered and judged
// only when a server was given with --postgresql.

#include "BenchSupport.hpp"

#include <string>

namespace vlt_bench::pg {

/// The server's URI given with --postgresql; empty when none was (then
/// nothing about PostgreSQL runs).
std::string& serverUri();

/// Checks that the server answers and says which one it is ("PostgreSQL
/// 15.4 at 127.0.0.1:35000, database vlt_test"); throws when it cannot be
/// reached.
std::string describeServer();

/// Registers the PostgreSQL pairs with Google Benchmark.
void registerBenchmarks();

/// Prints the "pg create", "pg find" and "pg query-load" ratios; false when
/// one of them could not be measured.
bool printRatios(const RatioReporter& reporter);

/// Drops what the run left on the server.
void finish() noexcept;

}  // namespace vlt_bench::pg
