// The data-source interface as the model drives it: the order of its calls
// at commit and rollback, snapshots, failures, the modification guard,
// propagated values and loading transactions.

#include "RecordingDataSource.hpp"

namespace {

using namespace qm0test;

TEST_F(DataSourceTest, CommitAndRollbackCallTheDataSourceInOrderAndFetchesAreAskedFor) {
  Transaction tx = model->beginTransaction();
  EXPECT_EQ(ds->calls, Calls{"beginTransaction"});
  EXPECT_THROW(model->setDataSource(nullptr), std::logic_error);  // not inside a transaction
  ModelElement lib = make(mm.library, 1);
  tx.commit();
  // Every transaction has an id of its own. What a commit calls, and the
  // snapshot it hands over, the cases below check.
  TransactionId first = ds->lastId;
  model->beginTransaction().commit();
  EXPECT_NE(ds->lastId, first);
  ds->calls.clear();
  rolledBack([&] { make(mm.library, 2); });
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "rollback"}));
  // An element not in memory is fetched only when asked for, all elements too.
  EXPECT_FALSE(model->findElement(uuidOf(9)));
  ds->fetched = lib;
  EXPECT_EQ(model->findElement(uuidOf(9), FetchFromDataSource), lib);
  EXPECT_EQ(model->findElement(uuidOf(1), FetchFromDataSource), lib);
  EXPECT_EQ(model->getAllElements(FetchFromDataSource).size(), 1u);
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "rollback", "fetchElement", "fetchAllElements"}));
}

// A data source may ask for the changes so far; listeners act on these parts
// and get the whole marked as reported already.
TEST_F(DataSourceTest, RequestSnapshotHandsOverTheChangesSoFarAndListenersGetThePartsThenTheWhole) {
  RecordingListener listener;
  model->addListener<1>(&listener);
  ModelElement lib, book, added, gone;
  inTransaction([&] {
    lib = make(mm.library, 1), book = make(mm.book, 2);
    ds->requestSnapshot();
    ds->requestSnapshot();  // nothing new: no call
    added = make(mm.book, 3);
    lib.append(mm.books, ref(added));
    lib.set(mm.name, str(u"x"));
    book.destroy();
    gone = make(mm.book, 6);
    gone.destroy();
  });
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "snapshot", "snapshot", "precommit", "commit"}));
  ASSERT_EQ(ds->snapshots.size(), 2u);
  EXPECT_EQ(ds->snapshots[0].created, (Elements{lib, book}));
  EXPECT_EQ(ds->snapshots[1].lists(), (Lists{{added}, {lib}, {book}, {gone}}));
  EXPECT_EQ(ds->snapshots[1].changed.at(lib), (Properties{mm.books, mm.name}));
  EXPECT_EQ(ds->snapshots[1].changes(lib, mm.books), "+0:000003");
  ASSERT_EQ(listener.kinds(), "part part again");
  EXPECT_EQ(listener.deliveries[0].report.created, (Elements{lib, book}));
  EXPECT_EQ(listener.deliveries[1].report.lists(), (Lists{{added}, {lib}, {book}, {gone}}));
  EXPECT_EQ(listener.deliveries[2].report.lists(), (Lists{{lib, added}, {}, {}, {book, gone}}));
  // In the next transaction the element is an old one, in its parts and
  // in the whole, which has the edits of both parts in order.
  listener.deliveries.clear();
  inTransaction([&] {
    lib.append(mm.books, ref(make(mm.book, 4)));
    ds->requestSnapshot();
    lib.set(mm.name, str(u"y"));
    lib.append(mm.books, ref(make(mm.book, 5)));
  });
  ASSERT_EQ(listener.kinds(), "part part again");
  EXPECT_EQ(listener.deliveries[1].report.modified, (Elements{lib}));
  const ReportSummary& whole = listener.deliveries[2].report;
  EXPECT_EQ(whole.lists(), (Lists{{model->findElement(uuidOf(4)), model->findElement(uuidOf(5))}, {lib}, {}, {}}));
  EXPECT_EQ(whole.changed.at(lib), (Properties{mm.books, mm.name}));
  EXPECT_EQ(whole.changes(lib, mm.books), "+1:000004 +2:000005");
  model->removeListener(&listener);
}

// A data source may change the model while it takes a snapshot: under the
// modification guard (as when it cuts one-way links to a destroyed element)
// the change is applied but not reported; unguarded, it follows in another
// snapshot. A snapshot that fails rolls the transaction back, and a failing
// begin leaves none open.
TEST_F(DataSourceTest, ChangesDuringASnapshotAreUnreportedUnderTheGuardOrFollowInAnotherAndAFailingOneRollsBack) {
  ModelElement lib, p1, book;
  inTransaction([&] {
    lib = make(mm.library, 1), p1 = make(mm.person, 2), book = make(mm.book, 3);
    p1.set(mm.favorite, book);
  });
  bool once = false;
  ds->onSnapshot = [&](const ShallowChangeReport<ModelElement>& report) {
    if (!report.getDestroyedElements().empty()) {
      auto guard = ds->startDataSourceModification();
      ds->setPrivileged(p1, mm.favorite, Value::createEmptyValue(mm.favorite));
    }
    if (once) return;
    once = true;
    lib.set(mm.name, str(u"stamped"));
  };
  ds->calls.clear();
  ds->snapshots.clear();
  inTransaction([&] {
    book.destroy();
    lib.append(mm.tags, str(u"t"));
  });
  EXPECT_FALSE(p1.isSet(mm.favorite));
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "snapshot", "snapshot", "precommit", "commit"}));
  ASSERT_EQ(ds->snapshots.size(), 2u);
  EXPECT_EQ(ds->snapshots[0].modified, (Elements{lib}));
  EXPECT_EQ(ds->snapshots[1].modified, (Elements{lib}));
  EXPECT_EQ(ds->snapshots[1].changed.at(lib), (Properties{mm.name}));
  const std::string before = dump(model);
  RecordingListener listener;
  model->addListener<1>(&listener);
  ds->calls.clear();
  ds->onSnapshot = [](const ShallowChangeReport<ModelElement>&) { throw std::runtime_error("disk full"); };
  Transaction tx = model->beginTransaction();
  lib.set(mm.name, str(u"changed"));
  make(mm.book, 4);
  EXPECT_THROW(tx.commit(), std::runtime_error);
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "snapshot", "rollback"}));
  EXPECT_EQ(dump(model), before);
  EXPECT_FALSE(tx.isOpen());
  EXPECT_TRUE(listener.deliveries.empty());
  model->removeListener(&listener);
  ds->onBegin = [] { throw std::runtime_error("busy"); };
  EXPECT_THROW(model->beginTransaction(), std::runtime_error);
  EXPECT_FALSE(model->isInTransaction());
}

TEST_F(DataSourceTest, PropagatedValuesReachMemoryWithoutReportsEvenOutsideTransactions) {
  ModelElement lib, b1, b2, p1;
  inTransaction([&] {
    lib = make(mm.library, 1), b1 = make(mm.book, 2);
    b2 = make(mm.book, 3), p1 = make(mm.person, 4);
  });
  ds->propagateDataSourceValueToMemory(b1, mm.pages, integer(12));
  ds->propagateDataSourceValuesToMemory(b1, mm.ratings, std::vector<Value>{integer(1), integer(2)});
  ds->propagateDataSourceValueToMemory(b1, mm.related, b2);
  ds->propagateDataSourceValuesToMemory(lib, mm.books, std::vector<ModelElement>{b2});
  ds->propagateDataSourceValueToMemory(lib, mm.books, b1, 0);
  ds->propagateDataSourceValueToMemory(b2, mm.authors, p1, 7);
  EXPECT_EQ(b1.get(mm.pages).get<int>(), 12);
  EXPECT_EQ(b1.get(mm.ratings).getAll<int>(), (std::vector<int>{1, 2}));
  EXPECT_EQ(b1.get(mm.related).getElement(), b2);
  EXPECT_EQ(targets(lib, mm.books), (Elements{b1, b2}));
  EXPECT_EQ(b1.getOwner(), lib);
  EXPECT_EQ(b2.getOwner(), lib);
  EXPECT_EQ(targets(p1, mm.wrote), (Elements{b2}));
  ds->propagateDataSourceValueToMemory(b1, mm.related, ModelElement());
  EXPECT_FALSE(b1.isSet(mm.related));
  // A list of elements skips the null ones.
  ds->propagateDataSourceValuesToMemory(lib, mm.books, Elements{ModelElement(), b2, ModelElement(), b1});
  EXPECT_EQ(targets(lib, mm.books), (Elements{b2, b1}));
  ds->propagateDataSourceValuesToMemory(lib, mm.books, Elements{ModelElement()});
  EXPECT_FALSE(lib.isSet(mm.books));
  EXPECT_FALSE(b2.getOwner());
  // Nothing of it is reported by the next transaction.
  EXPECT_EQ(pendingChanges(), Lists());
}

// Loading outside any transaction (as a fetch does) is kept and unreported;
// inside a host transaction the host's rollback undoes it. An abandoned
// loading takes itself back, and the host's rollback must not undo the same
// edit again.
TEST_F(DataSourceTest, ALoadingTransactionKeepsWhatItLoadedUnreportedUnlessItOrItsHostTransactionIsUndone) {
  ModelElement lib;
  std::vector<ModelElement> books;
  inTransaction([&] {
    lib = make(mm.library, 1);
    for (int i = 0; i < 6; ++i) books.push_back(make(mm.book, 10 + i));
    lib.set(mm.books, refs(mm.books, books));
  });
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ModelElement book = make(mm.book, 2);
    ds->propagateDataSourceValueToMemory(lib, mm.books, book, 6);
    book.set(mm.pages, integer(7));
    loading.commit();
    EXPECT_FALSE(loading.isOpen());
  }
  ModelElement book = model->findElement(uuidOf(2));
  books.push_back(book);
  EXPECT_EQ(targets(lib, mm.books), books);
  EXPECT_EQ(book.get(mm.pages).get<int>(), 7);
  // Outside the loading transaction the model refuses changes again.
  EXPECT_EQ(errorIdOf([&] { book.set(mm.pages, integer(8)); }), "qm0:messages:NoOpenTransaction");
  EXPECT_EQ(pendingChanges(), Lists());
  const std::string before = dump(model);
  ModelElement loaded;
  {
    datasource::LoadingTransaction outer = ds->beginLoadingTransaction();
    {
      datasource::LoadingTransaction inner = ds->beginLoadingTransaction();
      loaded = make(mm.book, 3);
      EXPECT_THROW(outer.commit(), std::logic_error);  // the inner one is still open
      inner.commit();
    }
    ds->propagateDataSourceValueToMemory(lib, mm.books, loaded, 0);
    ds->propagateDataSourceValueToMemory(lib, mm.name, str(u"changed by loading"));
    EXPECT_NE(dump(model), before);
  }  // abandoned
  EXPECT_EQ(dump(model), before);  // the element made by the inner one too
  // Inside a host transaction.
  ds->snapshots.clear();
  Transaction tx = model->beginTransaction();
  lib.set(mm.name, str(u"host"));
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ds->propagateDataSourceValueToMemory(lib, mm.books, make(mm.book, 4), 7);
    loading.commit();
  }
  ds->requestSnapshot();
  ASSERT_EQ(ds->snapshots.size(), 1u);
  EXPECT_EQ(ds->snapshots[0].lists(), (Lists{{}, {lib}, {}, {}}));
  EXPECT_EQ(ds->snapshots[0].changed.at(lib), (Properties{mm.name}));
  lib.removeAt(mm.books, 0);
  const std::string edited = dump(model);
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    ds->propagateDataSourceValueToMemory(lib, mm.books, make(mm.book, 5), 0);
    ds->propagateDataSourceValueToMemory(lib, mm.books, books[0], 3);
  }  // abandoned
  EXPECT_EQ(dump(model), edited);
  tx.rollback();
  EXPECT_EQ(dump(model), before);
}

}  // namespace
