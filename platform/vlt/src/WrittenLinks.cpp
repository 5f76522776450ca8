// The check of the links a transaction wrote to objects it did not know to
// exist (see WrittenLinks.hpp).

#include "WrittenLinks.hpp"

#include <vlt/Errors.hpp>

#include <algorithm>
#include <iterator>
#include <memory>
#include <string>

namespace vlt::detail {

void WrittenLinks::noteCreated(ObjectId id) {
  if (createdSerial_ != transaction_.removalSerial()) {
    created_.clear();
    createdSorted_ = 0;
    createdSerial_ = transaction_.removalSerial();
  }
  if (!created_.empty() && created_.back().last + 1 == id) {
    created_.back().last = id;  // ids handed out in a row: one range
  } else {
    created_.push_back({id, id});
  }
}

// Sorted and merged when first asked after ranges were added out of order
// (ids given by the caller).
bool WrittenLinks::createdHere(ObjectId id) {
  if (createdSerial_ != transaction_.removalSerial() || created_.empty()) return false;
  if (createdSorted_ != created_.size()) {
    std::sort(created_.begin(), created_.end(), [](const Range& a, const Range& b) { return a.first < b.first; });
    std::size_t merged = 0;
    for (std::size_t k = 1; k < created_.size(); ++k) {
      if (created_[k].first <= created_[merged].last + 1) {
        created_[merged].last = std::max(created_[merged].last, created_[k].last);
      } else {
        created_[++merged] = created_[k];
      }
    }
    created_.resize(merged + 1);
    createdSorted_ = created_.size();
  }
  const auto after = std::upper_bound(created_.begin(), created_.end(), id,
                                      [](ObjectId value, const Range& r) { return value < r.first; });
  return after != created_.begin() && std::prev(after)->last >= id;
}

void WrittenLinks::check() {
  std::vector<ObjectId> ids;
  for (const Link& link : unsure_) {
    if (!createdHere(link.target)) ids.push_back(link.target);
  }
  if (ids.empty()) return;
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  const std::vector<ObjectId> missing = absent(ids);
  if (missing.empty()) return;
  for (const Link& link : unsure_) {
    if (!std::binary_search(missing.begin(), missing.end(), link.target) || !stored(link)) continue;
    throw ObjectNotFoundError("a link to the object " + std::to_string(link.target) + " was written to \"" +
                                  link.property->name + "\", but no object " + std::to_string(link.target) +
                                  " exists",
                              database_.filespec());
  }
}

void WrittenLinks::clear() noexcept {
  std::vector<Link>().swap(unsure_);
  std::vector<Range>().swap(created_);
  createdSorted_ = 0;
}

// One statement text for every chunk: a short last one repeats its last id.
std::vector<ObjectId> WrittenLinks::absent(const std::vector<ObjectId>& ids) {
  static const std::string select = "SELECT id FROM vlt_object WHERE id IN (" + inListPlaceholders(1) + ")";
  std::vector<ObjectId> found;
  for (std::size_t first = 0; first < ids.size(); first += inListSize) {
    const std::size_t last = std::min(first + inListSize, ids.size());
    sql::StatementUse s(statements_.fixed(select.c_str()));
    for (std::size_t i = 0; i < inListSize; ++i) s->bindInt64(static_cast<int>(i + 1), ids[std::min(first + i, last - 1)]);
    while (s->step()) found.push_back(static_cast<ObjectId>(s->columnInt64(0)));
  }
  std::sort(found.begin(), found.end());
  std::vector<ObjectId> missing;
  std::set_difference(ids.begin(), ids.end(), found.begin(), found.end(), std::back_inserter(missing));
  return missing;
}

// Rare (a link to an object that is gone): made for the occasion.
bool WrittenLinks::stored(const Link& link) {
  const PropertyInfo* p = link.property;
  const std::string sql = p->inOwnTable() ? "SELECT 1 FROM " + p->table + " WHERE value = ?1 LIMIT 1"
                                          : "SELECT 1 FROM " + p->owner->table + " WHERE " + p->column + " = ?1 LIMIT 1";
  const std::unique_ptr<sql::Statement> s = database_.connection().prepare(sql);
  s->bindInt64(1, link.target);
  return s->step();
}

}  // namespace vlt::detail
