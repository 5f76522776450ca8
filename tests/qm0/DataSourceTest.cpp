// The data-source interface as the model drives it: the order of its calls
// at commit and rollback, snapshots, failures, the modification guard,
// propagated values and loading transactions.

#include "DataSourceTestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using namespace qm0test;

TEST_F(DataSourceTest, ResettingTheDataSourceOrTheModelDestroysIt) {
  model->resetDataSource();
  EXPECT_TRUE(log->destroyed);
  EXPECT_EQ(model->getDataSource(), nullptr);
  Model other = Model::create();
  auto last = std::make_shared<RecordingDataSource::Log>();
  other->setDataSource(std::make_unique<RecordingDataSource>(*other, last));
  other = Model();
  EXPECT_TRUE(last->destroyed);
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
  // Listeners act on the parts; the whole comes marked as reported already.
  ASSERT_EQ(listener.deliveries.size(), 3u);
  EXPECT_TRUE(listener.deliveries[0].part && listener.deliveries[1].part);
  EXPECT_FALSE(listener.deliveries[2].part);
  EXPECT_TRUE(listener.deliveries[2].alreadyReported);
  EXPECT_EQ(listener.deliveries[0].report.created, (Elements{lib, book}));
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

}  // namespace
