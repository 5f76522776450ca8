#pragma once

#include <qm0/export.hpp>

#include <cstdint>

namespace qm::zero::query {

/// How a reflective query compares a property's value with a given value.
/// The numbers are fixed: data sources translate them by number.
enum ValueMatchRelation : std::uint32_t {
  Equal = 0,
  Contains = 1,
  NotEqual = 2,
  Less = 3,
  LessOrEqual = 4,
  Greater = 5,
  GreaterOrEqual = 6,
  StartsWith = 7,
  EndsWith = 8,
  Matches = 9,
};

/// The relation's name ("equal", "contains", "notEqual", "less",
/// "lessOrEqual", "greater", "greaterOrEqual", "startsWith", "endsWith",
/// "matches"); "unknown" for any other number. The text lives for the whole
/// program.
QM0_API const char* ValueMatchRelationName(std::uint32_t relation) noexcept;

}  // namespace qm::zero::query
