#pragma once
// Finding equal entries in a collection of values, for properties whose
// collections hold each value at most once.

#include <qm/zero/Value.hpp>

#include <cstddef>

namespace qm::zero::detail {

/// Whether two entries of `entries` are equal (Entry equality: arrays, maps
/// and data values by contents). Entries of types with a hash cost
/// O(n log n); data values, arrays and maps are compared pairwise.
bool hasRepeatedEntry(const Entries& entries);

/// Whether `entries` holds an entry equal to `entry` at an index other than
/// `except` (pass `entries.size()` to check every index).
bool holdsEqualEntry(const Entries& entries, const Entry& entry, std::size_t except);

}  // namespace qm::zero::detail
