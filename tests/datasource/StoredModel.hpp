#pragma once
// Whether a repository holds exactly what a model holds, read with the
// repository's own API only, for any metamodel: a test of the data source
// must not trust the data source to tell what it wrote.

#include <qm/zero/Model.hpp>
#include <qm/zero/Value.hpp>
#include <vlt/Repository.hpp>

#include <cstddef>
#include <string>

namespace dstest {

/// Checks `repository` against `model`:
/// - every element in memory has an object of its uuid whose own class has
///   the element's class's qualified name, and whose composite owner (with
///   the owning property's name) is the element's;
/// - every stored property of the element's class has the element's value:
///   primitives and enumeration literals by value, references by target
///   uuid (in order for ordered collections, as multisets otherwise),
///   values stored as text by their text, arrays by contents. An unset
///   required single value (lower bound 1) is stored as its type's default
///   (0, empty text, false, ...), so that the column never holds NULL for
///   it. A reference to
///   a destroyed element counts as absent: the repository cannot point at an
///   object it no longer holds;
/// - the repository holds no other element objects (the bookkeeping
///   PackageInfo objects apart).
/// Each difference is a test failure naming the element, the property, what
/// the model holds and what the repository holds; after `maxReported` of
/// them the others are only counted. Returns the number of differences.
std::size_t expectRepositoryHoldsModel(const qm::zero::Model& model, const vlt::DataModelRepository& repository,
                                       std::size_t maxReported = 10);

/// A value in the notation of those messages: "[e1, e2]".
std::string valueText(const qm::zero::Value& value);

}  // namespace dstest
