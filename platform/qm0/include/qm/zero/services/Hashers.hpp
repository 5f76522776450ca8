#pragma once
// Hash functions for the framework's key types, for unordered containers.

#include <qm/zero/ModelElement.hpp>

#include <boost/functional/hash.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <functional>

namespace qm::zero::services::hashers {

/// std::hash<T> unless specialised below.
template <class T>
struct QM0Hasher : std::hash<T> {};

/// Element identities.
template <>
struct QM0Hasher<boost::uuids::uuid> {
  std::size_t operator()(const boost::uuids::uuid& id) const noexcept { return boost::hash<boost::uuids::uuid>()(id); }
};

}  // namespace qm::zero::services::hashers
