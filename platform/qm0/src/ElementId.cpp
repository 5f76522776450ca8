#include <qm/zero/ElementId.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>
#include <qm/zero/query/ValueMatchRelation.hpp>

namespace qm::zero {

const std::u16string ElementId::UUID_TYPE = u"UUID";

namespace query {

ReflectiveQuery::~ReflectiveQuery() = default;
ReflectiveQuery::ResultIterator::~ResultIterator() = default;
ReflectiveDisjunction::~ReflectiveDisjunction() = default;

const char* ValueMatchRelationName(std::uint32_t relation) noexcept {
  static const char* const names[] = {"equal",   "contains",       "notEqual",   "less",     "lessOrEqual",
                                      "greater", "greaterOrEqual", "startsWith", "endsWith", "matches"};
  return relation < std::size(names) ? names[relation] : "unknown";
}

}  // namespace query
}  // namespace qm::zero
