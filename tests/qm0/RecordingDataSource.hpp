#pragma once
// The recording data source of the framework's tests, and the fixture of a
// model that has one.

#include "ModelTestSupport.hpp"

#include <qm/zero/ModelElementBuilder.hpp>
#include <qm/zero/datasource/DataSource.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>

#include <boost/uuid/string_generator.hpp>

#include <memory>
#include <stdexcept>

namespace qm0test {

using datasource::TransactionId;

// A data source that writes down every call the model makes, in order, and
// keeps a summary of every snapshot. Hooks let a test act inside a call.
class RecordingDataSource : public datasource::ActiveDataSource {
 public:
  explicit RecordingDataSource(Model::Impl& model) : ActiveDataSource(model) {}

  std::vector<std::string> calls;
  std::vector<ReportSummary> snapshots;
  std::function<void(const ShallowChangeReport<ModelElement>&)> onSnapshot;
  std::function<void()> onBegin;
  ModelElement fetched;

  ModelElement fetchElement(const boost::uuids::uuid&) override {
    calls.push_back("fetchElement");
    return fetched;
  }
  std::vector<ModelElement> fetchAllElements() override {
    calls.push_back("fetchAllElements");
    return {};
  }
  // Loads an element of `store` the way a data source resolves a proxy: a
  // builder inside a loading transaction.
  ModelElement findElement(const meta::Class&, const ElementId& id) override {
    calls.push_back("findElement");
    const std::u16string& text = id.getId();
    auto it = store.find(boost::uuids::string_generator()(std::string(text.begin(), text.end())));
    if (it == store.end()) return ModelElement();
    datasource::LoadingTransaction loading = beginLoadingTransaction();
    std::unique_ptr<ModelElement::Builder> builder = it->second.first->instantiateBuilder(getModel());
    for (const auto& [property, value] : it->second.second) builder->set(property, value);
    ModelElement element = builder->create(it->first);
    loading.commit();
    return element;
  }
  std::map<boost::uuids::uuid, std::pair<meta::Class, std::vector<std::pair<meta::Property, Value>>>> store;
  std::unique_ptr<query::ReflectiveQuery> createQuery() override { return nullptr; }
  // Fills a collection from `collections` (owner uuid to member uuids).
  void loadCollectionContents(ReferenceCollection& collection) override {
    calls.push_back("loadCollectionContents");
    auto it = collections.find(collection.getOwner().getUUID());
    if (it == collections.end()) return;
    std::vector<ModelElement> members;
    for (const auto& id : it->second) members.push_back(getModel()->findElement(id));
    propagateDataSourceValuesToMemory(collection.getOwner(), collection.getCollectionProperty(), members);
  }
  bool hasCollectionContents(const ModelElement& element, const meta::Property&) override {
    calls.push_back("hasCollectionContents");
    auto it = collections.find(element.getUUID());
    return it != collections.end() && !it->second.empty();
  }
  std::map<boost::uuids::uuid, std::vector<boost::uuids::uuid>> collections;
  std::function<void(const ModelElement&)> onLoadSubtree;
  void loadElementSubtree(const ModelElement& element) override {
    calls.push_back("loadElementSubtree");
    if (onLoadSubtree) onLoadSubtree(element);
  }
  TransactionId beginTransaction(const TransactionId& id) override {
    calls.push_back("beginTransaction");
    lastId = id;
    if (onBegin) onBegin();
    return id;
  }
  void snapshot(const ShallowChangeReport<ModelElement>& report) override {
    calls.push_back("snapshot");
    snapshots.push_back(summarize(report));
    if (onSnapshot) onSnapshot(report);
  }
  void precommit() override { calls.push_back("precommit"); }
  void commit() override { calls.push_back("commit"); }
  void rollback() override { calls.push_back("rollback"); }
  void rollbackShallowTransaction() override { calls.push_back("rollbackShallowTransaction"); }

  // The protected services, opened for the tests.
  using ActiveDataSource::beginLoadingTransaction;
  using ActiveDataSource::getModel;
  using ActiveDataSource::propagateDataSourceValuesToMemory;
  using ActiveDataSource::propagateDataSourceValueToMemory;
  using ActiveDataSource::requestSnapshot;
  using ActiveDataSource::startDataSourceModification;
  void setPrivileged(ModelElement e, const meta::Property& p, const Value& v) { e.set(p, v, DataSource::privilegedTag); }
  static PrivilegedTag privileged() { return DataSource::privilegedTag; }

  TransactionId lastId;
};

using Calls = std::vector<std::string>;

class DataSourceTest : public ModelTest {
 protected:
  RecordingDataSource* ds = nullptr;  // owned by the model

  void SetUp() override {
    auto owned = std::make_unique<RecordingDataSource>(*model);
    ds = owned.get();
    model->setDataSource(std::move(owned));
  }
  static ProxyId idOf(int n) { return ProxyId(uuidOf(n)); }
  // The lists of the snapshot of an empty transaction committed now: what a
  // data source loaded or propagated must leave nothing in it.
  Lists pendingChanges() {
    ds->snapshots.clear();
    model->beginTransaction().commit();
    EXPECT_EQ(ds->snapshots.size(), 1u);
    return ds->snapshots.empty() ? Lists() : ds->snapshots.back().lists();
  }
  // A proxy made the way a data source makes one while loading.
  ModelElement proxy(const meta::Class& cls, int n) {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement p = ModelElement::createProxy(model, cls, idOf(n));
    loading.commit();
    return p;
  }
};

}  // namespace qm0test
