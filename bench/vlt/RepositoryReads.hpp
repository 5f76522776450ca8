#pragma once
// The repository sides of the find and query-load pairs, shared by the
// SQLite and the PostgreSQL pairs: the same reads, timed the same way,
// whatever the repository is stored in.

#include "Rows.hpp"

#include <vlt/Repository.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>

namespace vlt_bench::rowset {

/// Reads the 8 values of `o` into `into` (its buffers reused between calls).
void readRow(const RowClass& c, const vlt::ObjectRef& o, Row& into);
std::uint64_t fold(const Row& r);

/// Finds each looked-up row by uuid and reads its values, in one
/// transaction or each call on its own; timed as `name`. Returns the fold
/// of what it read.
std::uint64_t timedFind(benchmark::State& state, const char* name, vlt::DataModelRepository& repo,
                        bool inTransaction);
/// One ObjectQuery (an object constraint, the 8 values as result
/// properties) executed again for each looked-up object, its cell refilled,
/// in one transaction; the objects are found before the timing starts.
/// Timed as `name`; returns the fold of what it read.
std::uint64_t timedQueryLoad(benchmark::State& state, const char* name, vlt::DataModelRepository& repo);

}  // namespace vlt_bench::rowset
