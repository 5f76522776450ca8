#pragma once
// Hash functions for the framework's key types, for unordered containers.

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>

namespace qm::zero::services::hashers {

/// std::hash<T> unless specialised below.
template <class T>
struct QM0Hasher : std::hash<T> {};

/// Element identities. Both halves are mixed: random uuids would do with
/// either, but made-up ones (counters in the last bytes, names hashed into
/// the first) need both. A few multiplications, where a byte-by-byte hash
/// of the sixteen bytes took a dependent step per byte: tables of millions
/// of elements hash on every probe.
template <>
struct QM0Hasher<boost::uuids::uuid> {
  std::size_t operator()(const boost::uuids::uuid& id) const noexcept {
    std::uint64_t high;
    std::uint64_t low;
    std::memcpy(&high, id.data, 8);
    std::memcpy(&low, id.data + 8, 8);
    return static_cast<std::size_t>(mix(low ^ mix(high)));
  }

 private:
  static std::uint64_t mix(std::uint64_t x) noexcept {  // the splitmix64 finalizer
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
  }
};

}  // namespace qm::zero::services::hashers
