#pragma once

#include <qm0/export.hpp>

namespace qm::zero::query {

/// A query over a model's data source, created by DataSource::createQuery.
/// Its search, constraint and result operations belong to the query services
/// and are not part of this component yet; this is the base they extend.
class QM0_API ReflectiveQuery {
 public:
  virtual ~ReflectiveQuery();

 protected:
  ReflectiveQuery() = default;
};

}  // namespace qm::zero::query
