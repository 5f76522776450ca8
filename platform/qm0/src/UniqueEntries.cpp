#include "UniqueEntries.hpp"

#include <boost/container_hash/hash.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid_hash.hpp>

#include <algorithm>
#include <functional>
#include <utility>
#include <vector>

namespace qm::zero::detail {

namespace {

// A hash consistent with Entry equality. Alternatives without a cheap hash
// (data values, arrays, maps, elements) all hash alike: they fall back to
// comparing each pair.
std::size_t hashOf(const Entry& entry) {
  return std::visit(
      [](const auto& v) -> std::size_t {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, double>) {
          return v == 0.0 ? 0 : std::hash<double>()(v);  // 0.0 == -0.0
        } else if constexpr (std::is_integral_v<T> || std::is_same_v<T, std::u16string> ||
                             std::is_same_v<T, std::string>) {
          return std::hash<T>()(v);
        } else if constexpr (std::is_same_v<T, boost::uuids::uuid>) {
          return boost::hash<boost::uuids::uuid>()(v);
        } else if constexpr (std::is_same_v<T, boost::posix_time::ptime>) {
          // Special values (not-a-date-time, infinities) have a day number
          // and ticks of their own, equal for equal values.
          std::size_t h = 0;
          boost::hash_combine(h, v.date().day_number());
          boost::hash_combine(h, v.time_of_day().ticks());
          return h;
        } else {
          return 0;
        }
      },
      entry);
}

}  // namespace

bool hasRepeatedEntry(const Entries& entries) {
  const std::size_t n = entries.size();
  if (n < 2) return false;
  // Entry indexes sorted by hash: equal entries sit in one run of equal hashes.
  std::vector<std::pair<std::size_t, std::size_t>> byHash;
  byHash.reserve(n);
  for (std::size_t i = 0; i < n; ++i) byHash.emplace_back(hashOf(entries[i]), i);
  std::sort(byHash.begin(), byHash.end());
  for (std::size_t run = 0; run < n;) {
    std::size_t end = run + 1;
    while (end < n && byHash[end].first == byHash[run].first) ++end;
    for (std::size_t a = run; a < end; ++a)
      for (std::size_t b = a + 1; b < end; ++b)
        if (entries[byHash[a].second] == entries[byHash[b].second]) return true;
    run = end;
  }
  return false;
}

bool holdsEqualEntry(const Entries& entries, const Entry& entry, std::size_t except) {
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (i != except && entries[i] == entry) return true;
  return false;
}

}  // namespace qm::zero::detail
