#include "RepositoryReads.hpp"

#include "BenchSupport.hpp"

#include <vlt/ObjectQuery.hpp>

#include <stdexcept>
#include <vector>

namespace vlt_bench::rowset {

void readRow(const RowClass& c, const vlt::ObjectRef& o, Row& into) {
  vlt::Boolean flag;
  o.getPropertyValue(c.int32Property, into.int32Value);
  o.getPropertyValue(c.int64Property, into.int64Value);
  o.getPropertyValue(c.realProperty, into.realValue);
  o.getPropertyValue(c.ustringProperty, into.ustringValue);
  o.getPropertyValue(c.stringProperty, into.stringValue);
  o.getPropertyValue(c.boolProperty, flag);
  o.getPropertyValue(c.timeProperty, into.timeValue);
  o.getPropertyValue(c.uuidProperty, into.uuidValue);
  into.boolValue = bool(flag);
}

std::uint64_t fold(const Row& r) {
  return fold(r.int32Value, r.int64Value, r.realValue, r.ustringValue, r.stringValue, r.boolValue, r.timeValue,
              r.uuidValue);
}

std::uint64_t timedFind(benchmark::State& state, const char* name, vlt::DataModelRepository& repo,
                        bool inTransaction) {
  const RowClass c = rowClass(repo);
  const vlt::DataModelRef data = repo.defaultDataModel();
  Row read{};
  std::uint64_t sum = 0;

  const Stopwatch watch;
  if (inTransaction) repo.beginTransaction();
  for (const std::size_t i : lookups()) {
    readRow(c, data.findObject(rows()[i].objectUuid, c.cls), read);
    sum += fold(read);
  }
  if (inTransaction) repo.commitTransaction();
  watch.stop(state, name);
  return sum;
}

std::uint64_t timedQueryLoad(benchmark::State& state, const char* name, vlt::DataModelRepository& repo) {
  const RowClass c = rowClass(repo);
  std::vector<vlt::ObjectRef> objects;
  for (const std::size_t i : lookups()) objects.push_back(repo.defaultDataModel().findObject(rows()[i].objectUuid, c.cls));
  vlt::ObjectRef current;
  Row read{};
  bool flag = false;
  std::uint64_t sum = 0;

  const Stopwatch watch;
  repo.beginTransaction();
  vlt::ObjectQuery q(repo);
  q.addObjectConstraint(c.cls, &current, 0);
  q.addResultProperty(c.int32Property, &read.int32Value, 0);
  q.addResultProperty(c.int64Property, &read.int64Value, 0);
  q.addResultProperty(c.realProperty, &read.realValue, 0);
  q.addResultProperty(c.ustringProperty, &read.ustringValue, 0);
  q.addResultProperty(c.stringProperty, &read.stringValue, 0);
  q.addResultProperty(c.boolProperty, &flag, 0);
  q.addResultProperty(c.timeProperty, &read.timeValue, 0);
  q.addResultProperty(c.uuidProperty, &read.uuidValue, 0);
  for (const vlt::ObjectRef& o : objects) {
    current = o;
    if (!q.execute().getNextResult()) throw std::runtime_error("the query found no row for an object");
    read.boolValue = flag;
    sum += fold(read);
  }
  repo.commitTransaction();
  watch.stop(state, name);
  return sum;
}

}  // namespace vlt_bench::rowset
