#include "ModelTestSupport.hpp"

#include <qm/zero/ModelElementBuilder.hpp>
#include <qm/zero/ReferenceCollection.hpp>
#include <qm/zero/datasource/DataSource.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>
#include <qm/zero/query/ValueMatchRelation.hpp>

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>

namespace {

using namespace qm0test;
using datasource::TransactionId;

// A data source that writes down every call the model makes, in order, and
// keeps a summary of every snapshot. Hooks let a test act inside a call.
class RecordingDataSource : public datasource::ActiveDataSource {
 public:
  struct Log {
    std::vector<std::string> calls;
    std::vector<ReportSummary> snapshots;
    bool destroyed = false;
  };

  RecordingDataSource(Model::Impl& model, std::shared_ptr<Log> log) : ActiveDataSource(model), log_(std::move(log)) {}
  ~RecordingDataSource() override { log_->destroyed = true; }

  std::function<void(const ShallowChangeReport<ModelElement>&)> onSnapshot;
  std::function<void()> onCommit;
  std::function<void()> onBegin;
  ModelElement fetched;

  ModelElement fetchElement(const boost::uuids::uuid&) override {
    log_->calls.push_back("fetchElement");
    return fetched;
  }
  std::vector<ModelElement> fetchAllElements() override {
    log_->calls.push_back("fetchAllElements");
    return {};
  }
  // Loads an element of `store` the way a data source resolves a proxy: a
  // builder inside a loading transaction.
  ModelElement findElement(const meta::Class&, const ElementId& id) override {
    log_->calls.push_back("findElement");
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
    log_->calls.push_back("loadCollectionContents");
    auto it = collections.find(collection.getOwner().getUUID());
    if (it == collections.end()) return;
    std::vector<ModelElement> members;
    for (const auto& id : it->second) members.push_back(getModel()->findElement(id));
    propagateDataSourceValuesToMemory(collection.getOwner(), collection.getCollectionProperty(), members);
  }
  bool hasCollectionContents(const ModelElement& element, const meta::Property&) override {
    log_->calls.push_back("hasCollectionContents");
    auto it = collections.find(element.getUUID());
    return it != collections.end() && !it->second.empty();
  }
  std::map<boost::uuids::uuid, std::vector<boost::uuids::uuid>> collections;
  std::function<void(const ModelElement&)> onLoadSubtree;
  void loadElementSubtree(const ModelElement& element) override {
    log_->calls.push_back("loadElementSubtree");
    if (onLoadSubtree) onLoadSubtree(element);
  }
  TransactionId beginTransaction(const TransactionId& id) override {
    log_->calls.push_back("beginTransaction");
    lastId = id;
    if (onBegin) onBegin();
    return id;
  }
  void snapshot(const ShallowChangeReport<ModelElement>& report) override {
    log_->calls.push_back("snapshot");
    log_->snapshots.push_back(summarize(report));
    if (onSnapshot) onSnapshot(report);
  }
  void precommit() override { log_->calls.push_back("precommit"); }
  void commit() override {
    log_->calls.push_back("commit");
    if (onCommit) onCommit();
  }
  void rollback() override { log_->calls.push_back("rollback"); }
  void rollbackShallowTransaction() override { log_->calls.push_back("rollbackShallowTransaction"); }

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

 private:
  std::shared_ptr<Log> log_;
};

using Calls = std::vector<std::string>;

class DataSourceTest : public ::testing::Test {
 protected:
  const TestMetamodel& mm = TestMetamodel::get();
  Model model = Model::create();
  std::shared_ptr<RecordingDataSource::Log> log = std::make_shared<RecordingDataSource::Log>();
  RecordingDataSource* ds = nullptr;

  void SetUp() override {
    auto owned = std::make_unique<RecordingDataSource>(*model, log);
    ds = owned.get();
    model->setDataSource(std::move(owned));
  }
  ModelElement make(const meta::Class& cls, int n) { return ModelElement::createReflective(model, cls, uuidOf(n)); }
};

TEST_F(DataSourceTest, ResettingTheDataSourceDestroysIt) {
  model->resetDataSource();
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(model->getDataSource(), nullptr);
}

TEST_F(DataSourceTest, TheDataSourceDiesWithItsModel) {
  model = Model();
  EXPECT_TRUE(log->destroyed);
}

TEST_F(DataSourceTest, ACommitCallsBeginSnapshotPrecommitCommitInOrder) {
  Transaction tx = model->beginTransaction();
  EXPECT_EQ(log->calls, Calls{"beginTransaction"});
  ModelElement lib = make(mm.library, 1);
  tx.commit();
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "precommit", "commit"}));
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_EQ(log->snapshots[0].created, (std::vector<ModelElement>{lib}));
  // Every transaction has an id of its own.
  TransactionId first = ds->lastId;
  model->beginTransaction().commit();
  EXPECT_NE(ds->lastId, first);
  EXPECT_EQ(log->calls.size(), 8u);
  EXPECT_TRUE(log->snapshots[1].created.empty());
}

TEST_F(DataSourceTest, ARollbackCallsRollbackAndSendsNoSnapshot) {
  Transaction tx = model->beginTransaction();
  make(mm.library, 1);
  tx.rollback();
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "rollback"}));
  EXPECT_EQ(model->getElementCount(), 0u);
}

TEST_F(DataSourceTest, RequestSnapshotHandsOverTheChangesSoFar) {
  ModelElement lib, book;
  Transaction tx = model->beginTransaction();
  lib = make(mm.library, 1);
  ds->requestSnapshot();
  ds->requestSnapshot();  // nothing new: no call
  book = make(mm.book, 2);
  lib.append(mm.books, ref(book));
  lib.set(mm.name, str(u"x"));
  tx.commit();
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "snapshot", "precommit", "commit"}));
  ASSERT_EQ(log->snapshots.size(), 2u);
  EXPECT_EQ(log->snapshots[0].created, (std::vector<ModelElement>{lib}));
  EXPECT_EQ(log->snapshots[1].created, (std::vector<ModelElement>{book}));
  EXPECT_EQ(log->snapshots[1].modified, (std::vector<ModelElement>{lib}));
  EXPECT_EQ(log->snapshots[1].changed.at(lib), (std::vector<meta::Property>{mm.books, mm.name}));
  ASSERT_EQ(log->snapshots[1].changes(lib, mm.books).size(), 1u);
  EXPECT_EQ(log->snapshots[1].changes(lib, mm.books)[0]->getTargetId(), uuidOf(2));
}

TEST_F(DataSourceTest, ListenersSeeEveryChangeOnceWhenTheyActOnPartsAndUnreportedWholes) {
  RecordingListener listener;
  model->addListener<1>(&listener);
  ModelElement lib, book;
  Transaction tx = model->beginTransaction();
  lib = make(mm.library, 1);
  ds->requestSnapshot();
  book = make(mm.book, 2);
  tx.commit();
  ASSERT_EQ(listener.deliveries.size(), 3u);
  EXPECT_TRUE(listener.deliveries[0].part);
  EXPECT_EQ(listener.deliveries[0].report.created, (std::vector<ModelElement>{lib}));
  EXPECT_TRUE(listener.deliveries[1].part);
  EXPECT_EQ(listener.deliveries[1].report.created, (std::vector<ModelElement>{book}));
  EXPECT_FALSE(listener.deliveries[2].part);
  EXPECT_TRUE(listener.deliveries[2].alreadyReported);
  EXPECT_EQ(listener.deliveries[2].report.created, (std::vector<ModelElement>{lib, book}));
  model->removeListener(&listener);
}

TEST_F(DataSourceTest, APartReportsAsCreatedWhatWasMadeInItAndTheWholeWhatWasMadeInTheTransaction) {
  RecordingListener listener;
  model->addListener<1>(&listener);
  using Elements = std::vector<ModelElement>;
  ModelElement lib, book;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    book = make(mm.book, 2);
    ds->requestSnapshot();
    lib.set(mm.name, str(u"x"));
    book.destroy();
    tx.commit();
  }
  ASSERT_EQ(listener.deliveries.size(), 3u);
  const ReportSummary& second = listener.deliveries[1].report;
  EXPECT_TRUE(second.created.empty());
  EXPECT_EQ(second.modified, (Elements{lib}));
  EXPECT_EQ(second.destroyed, (Elements{book}));
  EXPECT_TRUE(second.ephemeral.empty());
  const ReportSummary& whole = listener.deliveries[2].report;
  EXPECT_EQ(whole.created, (Elements{lib}));
  EXPECT_TRUE(whole.modified.empty());
  EXPECT_TRUE(whole.destroyed.empty());
  EXPECT_EQ(whole.ephemeral, (Elements{book}));
  // In the next transaction the element is an old one, in its parts and
  // in the whole.
  listener.deliveries.clear();
  {
    Transaction tx = model->beginTransaction();
    ModelElement other = make(mm.book, 3);
    ds->requestSnapshot();
    lib.set(mm.name, str(u"y"));
    tx.commit();
  }
  ASSERT_EQ(listener.deliveries.size(), 3u);
  EXPECT_EQ(listener.deliveries[1].report.modified, (Elements{lib}));
  EXPECT_EQ(listener.deliveries[2].report.created, (Elements{model->findElement(uuidOf(3))}));
  EXPECT_EQ(listener.deliveries[2].report.modified, (Elements{lib}));
  model->removeListener(&listener);
}

TEST_F(DataSourceTest, AFailingSnapshotRollsTheTransactionBack) {
  ModelElement lib;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    tx.commit();
  }
  const std::string before = dump(model);
  log->calls.clear();
  RecordingListener listener;
  model->addListener<1>(&listener);
  ds->onSnapshot = [](const ShallowChangeReport<ModelElement>&) { throw std::runtime_error("disk full"); };
  Transaction tx = model->beginTransaction();
  lib.set(mm.name, str(u"changed"));
  make(mm.book, 2);
  EXPECT_THROW(tx.commit(), std::runtime_error);
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "rollback"}));
  EXPECT_EQ(dump(model), before);
  EXPECT_FALSE(model->isInTransaction());
  EXPECT_FALSE(tx.isOpen());
  EXPECT_TRUE(listener.deliveries.empty());
  model->removeListener(&listener);
}

TEST_F(DataSourceTest, AFailingCommitRollsTheTransactionBack) {
  ds->onCommit = [] { throw std::runtime_error("lost connection"); };
  Transaction tx = model->beginTransaction();
  make(mm.book, 1);
  EXPECT_THROW(tx.commit(), std::runtime_error);
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "precommit", "commit", "rollback"}));
  EXPECT_EQ(model->getElementCount(), 0u);
}

TEST_F(DataSourceTest, AFailingBeginLeavesNoTransactionOpen) {
  ds->onBegin = [] { throw std::runtime_error("busy"); };
  EXPECT_THROW(model->beginTransaction(), std::runtime_error);
  EXPECT_FALSE(model->isInTransaction());
}

TEST_F(DataSourceTest, ChangesUnderTheModificationGuardAreAppliedButNotReported) {
  ModelElement lib, p1, book;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    p1 = make(mm.person, 2);
    book = make(mm.book, 3);
    p1.set(mm.favorite, book);
    tx.commit();
  }
  // As a data source does when it cuts one-way links to a destroyed element
  // during the snapshot.
  ds->onSnapshot = [&](const ShallowChangeReport<ModelElement>& report) {
    if (report.getDestroyedElements().empty()) return;
    auto guard = ds->startDataSourceModification();
    ds->setPrivileged(p1, mm.favorite, Value::createEmptyValue(mm.favorite));
  };
  log->snapshots.clear();
  Transaction tx = model->beginTransaction();
  book.destroy();
  tx.commit();
  EXPECT_FALSE(p1.isSet(mm.favorite));
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_TRUE(log->snapshots[0].modified.empty());
}

TEST_F(DataSourceTest, ChangesTheDataSourceMakesUnguardedDuringSnapshotFollowInAnotherSnapshot) {
  ModelElement lib;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    tx.commit();
  }
  bool once = false;
  ds->onSnapshot = [&](const ShallowChangeReport<ModelElement>&) {
    if (once) return;
    once = true;
    lib.set(mm.name, str(u"stamped"));
  };
  log->calls.clear();
  log->snapshots.clear();
  Transaction tx = model->beginTransaction();
  lib.append(mm.tags, str(u"t"));
  tx.commit();
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "snapshot", "precommit", "commit"}));
  ASSERT_EQ(log->snapshots.size(), 2u);
  EXPECT_EQ(log->snapshots[1].changed.at(lib), (std::vector<meta::Property>{mm.name}));
}

TEST_F(DataSourceTest, PropagatedValuesReachMemoryWithoutReportsEvenOutsideTransactions) {
  ModelElement lib, b1, b2, p1;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    b2 = make(mm.book, 3);
    p1 = make(mm.person, 4);
    tx.commit();
  }
  log->snapshots.clear();
  ds->propagateDataSourceValueToMemory(b1, mm.pages, integer(12));
  ds->propagateDataSourceValuesToMemory(b1, mm.ratings, std::vector<Value>{integer(1), integer(2)});
  ds->propagateDataSourceValueToMemory(b1, mm.related, b2);
  ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{b2});
  ds->propagateDataSourceValueToMemory(lib, mm.books, b1, 0);
  ds->propagateDataSourceValueToMemory(b2, mm.authors, p1, 7);
  EXPECT_EQ(b1.get(mm.pages).get<int>(), 12);
  EXPECT_EQ(b1.get(mm.ratings).getAll<int>(), (std::vector<int>{1, 2}));
  EXPECT_EQ(b1.get(mm.related).getElement(), b2);
  EXPECT_EQ(targets(lib, mm.books), (std::vector<ModelElement>{b1, b2}));
  EXPECT_EQ(b1.getOwner(), lib);
  EXPECT_EQ(targets(p1, mm.wrote), (std::vector<ModelElement>{b2}));
  ds->propagateDataSourceValueToMemory(b1, mm.related, ModelElement());
  EXPECT_FALSE(b1.isSet(mm.related));
  // Nothing of it is reported by the next transaction.
  Transaction tx = model->beginTransaction();
  tx.commit();
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_TRUE(log->snapshots[0].modified.empty());
  EXPECT_TRUE(log->snapshots[0].created.empty());
}

TEST_F(DataSourceTest, APropagatedListOfElementsSkipsTheNullOnes) {
  ModelElement lib, b1, b2;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    b2 = make(mm.book, 3);
    tx.commit();
  }
  ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{ModelElement(), b1, ModelElement(), b2});
  EXPECT_EQ(targets(lib, mm.books), (std::vector<ModelElement>{b1, b2}));
  EXPECT_EQ(b2.getOwner(), lib);
  ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{ModelElement()});
  EXPECT_FALSE(lib.isSet(mm.books));
}

TEST_F(DataSourceTest, FindingAnElementNotInMemoryCanAskTheDataSource) {
  ModelElement book;
  {
    Transaction tx = model->beginTransaction();
    book = make(mm.book, 1);
    tx.commit();
  }
  log->calls.clear();
  EXPECT_FALSE(model->findElement(uuidOf(9)));
  EXPECT_TRUE(log->calls.empty());
  ds->fetched = book;
  EXPECT_EQ(model->findElement(uuidOf(9), FetchFromDataSource), book);
  EXPECT_EQ(model->findElement(uuidOf(1), FetchFromDataSource), book);
  EXPECT_EQ(log->calls, Calls{"fetchElement"});
  EXPECT_EQ(model->getAllElements(FetchFromDataSource).size(), 1u);
  EXPECT_EQ(log->calls, (Calls{"fetchElement", "fetchAllElements"}));
}

TEST_F(DataSourceTest, TheDataSourceCannotBeReplacedInsideATransaction) {
  Transaction tx = model->beginTransaction();
  EXPECT_THROW(model->setDataSource(nullptr), std::logic_error);
  tx.commit();
}

TEST_F(DataSourceTest, ACommittedLoadingTransactionKeepsWhatItLoadedUnreported) {
  ModelElement lib;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    tx.commit();
  }
  log->snapshots.clear();
  // Loading outside any transaction, as a fetch does.
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement book = make(mm.book, 2);
    ds->propagateDataSourceValueToMemory(lib, mm.books, book, 0);
    book.set(mm.pages, integer(7));
    loading.commit();
    EXPECT_FALSE(loading.isOpen());
  }
  ModelElement book = model->findElement(uuidOf(2));
  ASSERT_TRUE(book);
  EXPECT_EQ(book.getOwner(), lib);
  EXPECT_EQ(book.get(mm.pages).get<int>(), 7);
  // Outside the loading transaction the model refuses changes again.
  EXPECT_EQ(errorIdOf([&] { book.set(mm.pages, integer(8)); }), "qm0:messages:NoOpenTransaction");
  Transaction tx = model->beginTransaction();
  tx.commit();
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_TRUE(log->snapshots[0].created.empty());
  EXPECT_TRUE(log->snapshots[0].modified.empty());
}

TEST_F(DataSourceTest, AnAbandonedLoadingTransactionTakesItsLoadingBack) {
  ModelElement lib;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    lib.set(mm.name, str(u"kept"));
    tx.commit();
  }
  const std::string before = dump(model);
  ModelElement loaded;
  {
    datasource::LoadingTransaction outer = ds->beginLoadingTransaction();
    {
      datasource::LoadingTransaction inner = ds->beginLoadingTransaction();
      loaded = make(mm.book, 2);
      EXPECT_THROW(outer.commit(), std::logic_error);  // the inner one is still open
      inner.commit();
    }
    ds->propagateDataSourceValueToMemory(lib, mm.books, loaded, 0);
    ds->propagateDataSourceValueToMemory(lib, mm.name, str(u"changed by loading"));
    EXPECT_NE(dump(model), before);
  }  // abandoned
  EXPECT_EQ(dump(model), before);
  EXPECT_TRUE(loaded.isDestroyed());
  EXPECT_FALSE(model->findElement(uuidOf(2)));
}

TEST_F(DataSourceTest, LoadingInsideATransactionIsUndoneByItsRollback) {
  ModelElement lib;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    tx.commit();
  }
  log->snapshots.clear();
  Transaction tx = model->beginTransaction();
  lib.set(mm.name, str(u"host"));
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement book = make(mm.book, 2);
    ds->propagateDataSourceValueToMemory(lib, mm.books, book, 0);
    loading.commit();
  }
  ds->requestSnapshot();
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_EQ(log->snapshots[0].modified, (std::vector<ModelElement>{lib}));
  EXPECT_EQ(log->snapshots[0].changed.at(lib), (std::vector<meta::Property>{mm.name}));
  EXPECT_TRUE(log->snapshots[0].created.empty());
  tx.rollback();
  EXPECT_FALSE(model->findElement(uuidOf(2)));
  EXPECT_TRUE(targets(lib, mm.books).empty());
  EXPECT_FALSE(lib.isSet(mm.name));
}

class ProxyTest : public DataSourceTest {
 protected:
  ProxyId idOf(int n) {
    std::string text = boost::uuids::to_string(uuidOf(n));
    return ProxyId(ElementId::UUID_TYPE, std::u16string(text.begin(), text.end()), boost::none);
  }
  // A proxy made the way a data source makes one while loading.
  ModelElement proxy(const meta::Class& cls, int n) {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement p = ModelElement::createProxy(model, cls, idOf(n));
    loading.commit();
    return p;
  }
};

TEST_F(ProxyTest, AProxyIsKnownByIdentityButNotInMemory) {
  ModelElement p = proxy(mm.book, 5);
  EXPECT_TRUE(p.isProxy());
  EXPECT_FALSE(p.isDestroyed());
  EXPECT_EQ(p.getUUID(), uuidOf(5));
  EXPECT_EQ(p.getModel(), model);
  EXPECT_FALSE(model->findElement(uuidOf(5)));
  EXPECT_TRUE(model->getAllElements().empty());
  EXPECT_EQ(proxy(mm.book, 5), p);  // one proxy per identity
  // Upper-case id text is a uuid too; other id types are not supported.
  datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
  EXPECT_EQ(ModelElement::createProxy(model, mm.book,
                                      ProxyId(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-00000000000A", boost::none))
                .getUUID(),
            uuidOf(10));
  EXPECT_THROW(ModelElement::createProxy(model, mm.book, ProxyId(u"PATH", u"/a/b", boost::none)),
               std::invalid_argument);
  EXPECT_THROW(ModelElement::createProxy(model, mm.book, ProxyId(ElementId::UUID_TYPE, u"{not}", boost::none)),
               std::invalid_argument);
  loading.commit();
}

TEST_F(ProxyTest, PublicAccessLoadsTheProxyIntoTheSameHandle) {
  ds->store[uuidOf(5)] = {mm.ebook, {{mm.pages, integer(300)}, {mm.name, str(u"Dune")}}};
  ModelElement lib, fan;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    fan = make(mm.person, 2);
    tx.commit();
  }
  ModelElement p = proxy(mm.book, 5);
  ds->propagateDataSourceValueToMemory(fan, mm.favorite, p);
  ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{p});
  EXPECT_EQ(p.getOwner(), lib);
  log->calls.clear();
  EXPECT_TRUE(p.get(mm.pages, ds->privileged()).isEmpty());  // privileged: never loads
  EXPECT_TRUE(log->calls.empty());
  EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
  EXPECT_EQ(log->calls, Calls{"findElement"});
  EXPECT_FALSE(p.isProxy());
  EXPECT_EQ(p.getMetaClass(), mm.ebook);  // the stored class
  EXPECT_EQ(p.get(mm.name).get<std::u16string>(), u"Dune");
  EXPECT_EQ(p.getOwner(), lib);  // what was set into the proxy stays
  EXPECT_EQ(fan.get(mm.favorite).getElement(), p);
  EXPECT_EQ(model->findElement(uuidOf(5)), p);
  EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
  EXPECT_EQ(log->calls, Calls{"findElement"});  // loaded once
  // Loading is not a change of the model.
  log->snapshots.clear();
  model->beginTransaction().commit();
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_TRUE(log->snapshots[0].created.empty());
  EXPECT_TRUE(log->snapshots[0].modified.empty());
}

TEST_F(ProxyTest, AProxyTheDataSourceCannotLoadStaysAProxy) {
  ModelElement p = proxy(mm.book, 6);
  EXPECT_FALSE(p.isSet(mm.pages));
  EXPECT_TRUE(p.isProxy());
  EXPECT_EQ(log->calls, Calls{"findElement"});
}

TEST_F(ProxyTest, RollingBackTheLoadTurnsTheElementBackIntoTheProxy) {
  ds->store[uuidOf(5)] = {mm.ebook, {{mm.pages, integer(300)}}};
  ModelElement p = proxy(mm.book, 5);
  Transaction tx = model->beginTransaction();
  EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
  p.set(mm.pages, integer(301));
  tx.rollback();
  EXPECT_TRUE(p.isProxy());
  EXPECT_EQ(p.getMetaClass(), mm.book);
  EXPECT_FALSE(p.isSet(mm.pages, ds->privileged()));
  EXPECT_FALSE(model->findElement(uuidOf(5)));
  // An abandoned loading takes its proxies back too.
  ModelElement gone;
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    gone = ModelElement::createProxy(model, mm.book, idOf(7));
  }
  EXPECT_TRUE(gone.isDestroyed());
  EXPECT_EQ(proxy(mm.book, 7).isProxy(), true);
}

TEST_F(ProxyTest, RollingBackALoadAsASubclassForgetsWhatWasSetInTheSubclass) {
  ds->store[uuidOf(5)] = {mm.ebook, {{mm.pages, integer(300)}}};
  ModelElement p = proxy(mm.book, 5);
  {
    Transaction tx = model->beginTransaction();
    EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
    p.set(mm.url, Value(meta::StandardTypes::stdstringMeta(), std::string("http://example.com/a-long-address")));
    tx.rollback();
  }
  EXPECT_TRUE(p.isProxy());
  EXPECT_EQ(p.getMetaClass(), mm.book);
  // Loaded again, it is what the store holds, without the forgotten value.
  EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
  EXPECT_FALSE(p.isSet(mm.url));
}

TEST_F(ProxyTest, AProxyMadeAndLoadedInARolledBackTransactionIsRemovedWithItsFirstClass) {
  ds->store[uuidOf(5)] = {mm.ebook, {{mm.pages, integer(300)}}};
  ModelElement p;
  {
    Transaction tx = model->beginTransaction();
    p = proxy(mm.book, 5);
    EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
    EXPECT_EQ(p.getMetaClass(), mm.ebook);
    tx.rollback();
  }
  EXPECT_TRUE(p.isDestroyed());
  EXPECT_EQ(p.getMetaClass(), mm.book);
  EXPECT_FALSE(p.isSet(mm.pages, ds->privileged()));
  EXPECT_FALSE(model->findElement(uuidOf(5)));
  EXPECT_NE(proxy(mm.book, 5), p);  // the identity is free again
}

TEST_F(ProxyTest, DestroyingAllElementsTakesProxiesToo) {
  ModelElement p = proxy(mm.book, 5);
  Transaction tx = model->beginTransaction();
  ModelElement lib = make(mm.library, 1);
  model->destroyAllElements();
  tx.commit();
  EXPECT_TRUE(p.isDestroyed());
  EXPECT_TRUE(lib.isDestroyed());
  ASSERT_EQ(log->snapshots.size(), 3u);  // before, the all-destroyed step, the empty rest
  EXPECT_TRUE(log->snapshots[1].allDestroyed);
  EXPECT_TRUE(log->snapshots[2].created.empty() && !log->snapshots[2].allDestroyed);
  // Only a proxy made again can stand for the element now.
  EXPECT_NE(proxy(mm.book, 5), p);
}

// The loading transaction puts the collection back itself; the host's
// rollback must not undo the same edit again.
TEST_F(DataSourceTest, AnAbandonedLoadingInsideATransactionIsUndoneOnlyOnceByItsRollback) {
  ModelElement lib;
  std::vector<ModelElement> books;
  {
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    for (int i = 0; i < 6; ++i) books.push_back(make(mm.book, 10 + i));
    lib.set(mm.books, refs(mm.books, books));
    tx.commit();
  }
  const std::string before = dump(model);
  Transaction tx = model->beginTransaction();
  lib.removeAt(mm.books, 0);
  const std::string edited = dump(model);
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement loaded = make(mm.book, 2);
    ds->propagateDataSourceValueToMemory(lib, mm.books, loaded, 0);
    ds->propagateDataSourceValueToMemory(lib, mm.books, books[0], 3);
  }  // abandoned
  EXPECT_EQ(dump(model), edited);
  tx.rollback();
  EXPECT_EQ(dump(model), before);
  EXPECT_EQ(targets(lib, mm.books), books);
}

class DeferredCollectionTest : public DataSourceTest {
 protected:
  ModelElement b1, b2, b3, reviewer;
  void SetUp() override {
    DataSourceTest::SetUp();
    Transaction tx = model->beginTransaction();
    b1 = make(mm.book, 1);
    b2 = make(mm.book, 2);
    b3 = make(mm.book, 3);
    tx.commit();
    // Person 5 is stored with two reviewed books; the data source loads it.
    ds->store[uuidOf(5)] = {mm.person, {{mm.name, str(u"critic")}}};
    ds->collections[uuidOf(5)] = {uuidOf(1), uuidOf(2)};
    reviewer = ds->findElement(mm.person, ElementId(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-000000000005"));
    log->calls.clear();
    log->snapshots.clear();
  }
};

TEST_F(DeferredCollectionTest, ALoadedElementsDeferredCollectionLoadsOnFirstPublicRead) {
  ASSERT_TRUE(reviewer);
  ReferenceCollection collection(reviewer, mm.reviewed);
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(collection.size(), 0u);
  EXPECT_TRUE(reviewer.get(mm.reviewed, ds->privileged()).isEmpty());
  EXPECT_FALSE(reviewer.isSet(mm.reviewed, ds->privileged()));
  EXPECT_TRUE(log->calls.empty());
  EXPECT_TRUE(reviewer.isSet(mm.reviewed));  // asks, does not load
  EXPECT_EQ(log->calls, Calls{"hasCollectionContents"});
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(targets(reviewer, mm.reviewed), (std::vector<ModelElement>{b1, b2}));
  EXPECT_EQ(log->calls, (Calls{"hasCollectionContents", "loadCollectionContents"}));
  EXPECT_TRUE(collection.isLoaded());
  EXPECT_EQ(targets(reviewer, mm.reviewed).size(), 2u);
  EXPECT_EQ(log->calls.size(), 2u);  // loaded once
  model->beginTransaction().commit();
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_TRUE(log->snapshots[0].modified.empty());  // loading is no change
}

TEST_F(DeferredCollectionTest, AnEditSeesTheWholeCollectionFirst) {
  Transaction tx = model->beginTransaction();
  reviewer.append(mm.reviewed, ref(b3));
  EXPECT_EQ(targets(reviewer, mm.reviewed), (std::vector<ModelElement>{b1, b2, b3}));
  tx.commit();
  EXPECT_EQ(std::count(log->calls.begin(), log->calls.end(), "loadCollectionContents"), 1);
  ASSERT_EQ(log->snapshots.size(), 1u);
  EXPECT_EQ(log->snapshots[0].modified, (std::vector<ModelElement>{reviewer}));
  EXPECT_EQ(log->snapshots[0].changed.at(reviewer), (std::vector<meta::Property>{mm.reviewed}));
}

TEST_F(DeferredCollectionTest, ARollbackForgetsWhatWasLoadedInTheTransaction) {
  Transaction tx = model->beginTransaction();
  EXPECT_EQ(targets(reviewer, mm.reviewed).size(), 2u);
  tx.rollback();
  ReferenceCollection collection(reviewer, mm.reviewed);
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(collection.size(), 0u);
  EXPECT_EQ(targets(reviewer, mm.reviewed).size(), 2u);  // and loads again
}

// A data source may add to a collection it has not loaded yet; a rollback
// gives back those entries and the unloaded state after later edits.
TEST_F(DeferredCollectionTest, ARollbackGivesBackAnUnloadedCollectionWithItsEntries) {
  ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b1, 0);
  ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b2, 1);
  ReferenceCollection collection(reviewer, mm.reviewed);
  ASSERT_FALSE(collection.isLoaded());
  {
    Transaction tx = model->beginTransaction();
    ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b3, 1);
    EXPECT_EQ(targets(reviewer, mm.reviewed), (std::vector<ModelElement>{b1, b2}));  // loads: what is stored
    reviewer.removeAt(mm.reviewed, 0);
    reviewer.append(mm.reviewed, ref(b3));
    EXPECT_TRUE(collection.isLoaded());
    tx.rollback();
  }
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(reviewer.get(mm.reviewed, ds->privileged()).getAll<ModelElement>(), (std::vector<ModelElement>{b1, b2}));
}

TEST_F(DeferredCollectionTest, CollectionsOfElementsMadeByHostsAreLoadedFromTheStart) {
  Transaction tx = model->beginTransaction();
  ModelElement own = make(mm.person, 9);
  tx.commit();
  EXPECT_TRUE(ReferenceCollection(own, mm.reviewed).isLoaded());
  EXPECT_FALSE(own.isSet(mm.reviewed));
  EXPECT_TRUE(targets(own, mm.reviewed).empty());
  // Neither hasCollectionContents nor loadCollectionContents was asked.
  EXPECT_EQ(log->calls, (Calls{"beginTransaction", "snapshot", "precommit", "commit"}));
}

TEST_F(DeferredCollectionTest, AValueOfAReferenceCollectionReadsAsTheCollection) {
  ReferenceCollection c = reviewer.get(mm.reviewed, ds->privileged()).get<ReferenceCollection>();
  EXPECT_EQ(c.getOwner(), reviewer);
  EXPECT_EQ(c.getCollectionProperty(), mm.reviewed);
  EXPECT_EQ(errorIdOf([&] { reviewer.get(mm.name).get<ReferenceCollection>(); }),
            "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(errorIdOf([&] { reviewer.get(mm.favorite).get<ReferenceCollection>(); }),
            "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_THROW(ReferenceCollection(reviewer, mm.favorite), std::invalid_argument);
}

// --- Subtrees ----------------------------------------------------------------

class SubtreeTest : public DataSourceTest {
 protected:
  ModelElement lib, b1;
  void SetUp() override {
    DataSourceTest::SetUp();
    Transaction tx = model->beginTransaction();
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    lib.append(mm.books, ref(b1));
    tx.commit();
    log->calls.clear();
  }
};

TEST_F(SubtreeTest, AllContentsAsksTheDataSourceOnceForTheRootThenWalksWhatItLoaded) {
  std::vector<ModelElement> askedFor;
  std::vector<ModelElement> inMemoryWhenAsked;
  ModelElement b2, b3, p1;
  ds->onLoadSubtree = [&](const ModelElement& root) {
    askedFor.push_back(root);
    inMemoryWhenAsked = root.getAllContents(RecordingDataSource::privileged());
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    b2 = make(mm.book, 3);
    p1 = make(mm.person, 4);
    // A stored member the data source could only name: the walk lists the
    // proxy and does not try to load it.
    b3 = ModelElement::createProxy(model, mm.book,
                                   ProxyId(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-000000000005", boost::none));
    ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{b1, b2, b3});
    ds->propagateDataSourceValuesToMemory(lib, mm.members, std::vector<ModelElement>{p1});
    loading.commit();
  };
  std::vector<ModelElement> contents = lib.getAllContents();
  EXPECT_EQ(contents, (std::vector<ModelElement>{b1, b2, b3, p1}));
  EXPECT_EQ(askedFor, std::vector<ModelElement>{lib});
  EXPECT_EQ(inMemoryWhenAsked, std::vector<ModelElement>{b1});  // asked before walking
  EXPECT_EQ(log->calls, Calls{"loadElementSubtree"});
  EXPECT_TRUE(b3.isProxy());
  // The privileged walk asks nothing.
  EXPECT_EQ(lib.getAllContents(RecordingDataSource::privileged()).size(), 4u);
  EXPECT_EQ(log->calls, Calls{"loadElementSubtree"});
}

TEST_F(SubtreeTest, AProxysContentsAreAskedForWithoutLoadingTheProxyFirst) {
  datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
  ModelElement proxy = ModelElement::createProxy(
      model, mm.library, ProxyId(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-000000000009", boost::none));
  loading.commit();
  std::vector<ModelElement> askedFor;
  ds->onLoadSubtree = [&](const ModelElement& root) { askedFor.push_back(root); };
  EXPECT_TRUE(proxy.getAllContents().empty());
  EXPECT_EQ(askedFor, std::vector<ModelElement>{proxy});
  EXPECT_EQ(log->calls, Calls{"loadElementSubtree"});
}

TEST_F(SubtreeTest, TheDataSourcesFailurePassesOnAndADestroyedElementAsksNothing) {
  ds->onLoadSubtree = [&](const ModelElement&) { throw std::runtime_error("store gone"); };
  EXPECT_THROW(lib.getAllContents(), std::runtime_error);
  log->calls.clear();
  Transaction tx = model->beginTransaction();
  lib.destroy();
  EXPECT_TRUE(lib.getAllContents().empty());
  EXPECT_EQ(log->calls, Calls{"beginTransaction"});
  tx.commit();
}

}  // namespace
