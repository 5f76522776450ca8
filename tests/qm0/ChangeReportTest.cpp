// Change reports and listeners: what a transaction reports, in which order,
// to whom, and what it never reports.

#include "ModelTestSupport.hpp"

#include <foundation/log/RecordCapture.hpp>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace qm0test;

class ReportTest : public ModelTest {
 protected:
  RecordingListener listener;
  void SetUp() override { ASSERT_TRUE(model->addListener<1>(&listener)); }
  void TearDown() override { model->removeListener(&listener); }

  // The report of the only notification of the last transaction.
  const ReportSummary& onlyReport() {
    EXPECT_EQ(listener.deliveries.size(), 1u);
    EXPECT_FALSE(listener.deliveries.back().part);
    EXPECT_FALSE(listener.deliveries.back().alreadyReported);
    return listener.deliveries.back().report;
  }
};

TEST_F(ReportTest, NewElementsAreReportedAsCreatedWithoutPropertyChanges) {
  ModelElement lib, book;
  inTransaction([&] {
    lib = make(mm.library, 1);
    book = make(mm.book, 2);
    lib.append(mm.books, ref(book));
    book.set(mm.pages, integer(100));
  });
  const ReportSummary& r = onlyReport();
  EXPECT_EQ(r.created, (std::vector<ModelElement>{lib, book}));
  EXPECT_TRUE(r.modified.empty());
  EXPECT_TRUE(r.destroyed.empty());
  EXPECT_TRUE(r.ephemeral.empty());
  EXPECT_FALSE(r.allDestroyed);
  EXPECT_EQ(listener.firstChanges, 1);
}

TEST_F(ReportTest, ModificationsListChangedPropertiesAndOrderedChangesInOrder) {
  ModelElement lib, b1, b2, ebook;
  inTransaction([&] {
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    b2 = make(mm.book, 3);
    ebook = make(mm.ebook, 4);
    lib.set(mm.books, refs(mm.books, {b1, b2}));
    lib.set(mm.tags, Value(meta::StandardTypes::stringMeta(), std::vector<std::u16string>{u"a", u"b"}));
    b1.set(mm.ratings, Value(meta::StandardTypes::integerMeta(), std::vector<int>{1, 2, 3}));
  });
  listener.deliveries.clear();
  ModelElement b3;
  inTransaction([&] {
    lib.insert(mm.tags, 0, str(u"c"));
    lib.set(mm.name, str(u"main"));
    b1.removeAt(mm.ratings, 1);
    b1.replace(mm.ratings, 0, integer(9));
    b3 = make(mm.book, 5);
    lib.insert(mm.books, 1, ref(b3));
    ebook.append(mm.formats, Value(mm.genre, 5));
    lib.removeAt(mm.tags, 2);
  });
  const ReportSummary& r = onlyReport();
  EXPECT_EQ(r.created, (std::vector<ModelElement>{b3}));
  EXPECT_EQ(r.modified, (std::vector<ModelElement>{lib, b1, ebook}));
  EXPECT_EQ(r.changed.at(lib), (std::vector<meta::Property>{mm.tags, mm.name, mm.books}));
  EXPECT_EQ(r.changed.at(b1), (std::vector<meta::Property>{mm.ratings}));
  EXPECT_EQ(r.changed.at(ebook), (std::vector<meta::Property>{mm.formats}));

  const OCDChangeList& tags = r.changes(lib, mm.tags);
  ASSERT_EQ(tags.size(), 2u);
  EXPECT_EQ(tags[0]->getKind(), 0u);
  EXPECT_EQ(tags[0]->getIndex(), 0u);
  EXPECT_EQ(tags[0]->getPrimitiveValue<std::u16string>().value_or(u""), u"c");
  EXPECT_EQ(tags[1]->getKind(), 1u);
  EXPECT_EQ(tags[1]->getIndex(), 2u);
  EXPECT_FALSE(tags[1]->getPrimitiveValue<std::u16string>());

  const OCDChangeList& ratings = r.changes(b1, mm.ratings);
  ASSERT_EQ(ratings.size(), 2u);
  EXPECT_EQ(ratings[0]->getKind(), 1u);
  EXPECT_EQ(ratings[0]->getIndex(), 1u);
  EXPECT_EQ(ratings[1]->getKind(), 2u);
  EXPECT_EQ(ratings[1]->getIndex(), 0u);
  EXPECT_EQ(ratings[1]->getPrimitiveValue<int>().value_or(0), 9);

  const OCDChangeList& books = r.changes(lib, mm.books);
  ASSERT_EQ(books.size(), 1u);
  EXPECT_EQ(books[0]->getKind(), 0u);
  EXPECT_EQ(books[0]->getIndex(), 1u);
  EXPECT_EQ(books[0]->getTargetId(), uuidOf(5));

  const OCDChangeList& formats = r.changes(ebook, mm.formats);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0]->getEnumValue(), 5);
  EXPECT_TRUE(r.changes(lib, mm.name).empty());
}

TEST_F(ReportTest, AWholeValueSetReplacesTheOrderedChangesOfThatProperty) {
  ModelElement lib;
  inTransaction([&] { lib = make(mm.library, 1); });
  listener.deliveries.clear();
  inTransaction([&] {
    lib.append(mm.tags, str(u"a"));
    lib.set(mm.tags, Value(meta::StandardTypes::stringMeta(), std::vector<std::u16string>{u"x"}));
    lib.append(mm.tags, str(u"y"));
  });
  const ReportSummary& r = onlyReport();
  EXPECT_EQ(r.changed.at(lib), (std::vector<meta::Property>{mm.tags}));
  EXPECT_TRUE(r.changes(lib, mm.tags).empty());
}

TEST_F(ReportTest, ElementsCreatedAndDestroyedInOneTransactionAreEphemeral) {
  ModelElement lib;
  inTransaction([&] { lib = make(mm.library, 1); });
  listener.deliveries.clear();
  ModelElement temp;
  inTransaction([&] {
    temp = make(mm.book, 2);
    lib.append(mm.books, ref(temp));
    temp.set(mm.pages, integer(3));
    temp.destroy();
  });
  const ReportSummary& r = onlyReport();
  EXPECT_TRUE(r.created.empty());
  EXPECT_TRUE(r.destroyed.empty());
  EXPECT_EQ(r.ephemeral, (std::vector<ModelElement>{temp}));
  // The owner saw the element come and go.
  EXPECT_EQ(r.modified, (std::vector<ModelElement>{lib}));
  const OCDChangeList& books = r.changes(lib, mm.books);
  ASSERT_EQ(books.size(), 2u);
  EXPECT_EQ(books[0]->getKind(), 0u);
  EXPECT_EQ(books[1]->getKind(), 1u);
  EXPECT_EQ(books[1]->getIndex(), 0u);
}

TEST_F(ReportTest, DestroyedElementsAreReportedWithTheChangesTheyCauseElsewhere) {
  ModelElement lib, b1, b2, author;
  inTransaction([&] {
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    b2 = make(mm.book, 3);
    author = make(mm.person, 4);
    lib.set(mm.books, refs(mm.books, {b1, b2}));
    b1.append(mm.authors, ref(author));
  });
  listener.deliveries.clear();
  inTransaction([&] {
    b1.set(mm.pages, integer(5));
    b1.destroy();
  });
  const ReportSummary& r = onlyReport();
  EXPECT_EQ(r.destroyed, (std::vector<ModelElement>{b1}));
  EXPECT_EQ(r.modified, (std::vector<ModelElement>{lib, author}));
  const OCDChangeList& books = r.changes(lib, mm.books);
  ASSERT_EQ(books.size(), 1u);
  EXPECT_EQ(books[0]->getKind(), 1u);
  EXPECT_EQ(books[0]->getIndex(), 0u);
  EXPECT_EQ(r.changed.at(author), (std::vector<meta::Property>{mm.wrote}));
  EXPECT_TRUE(r.changes(author, mm.wrote).empty());  // unordered: the whole value counts
}

TEST_F(ReportTest, DestroyingAnOwnerReportsItsContentsFirst) {
  ModelElement lib, b1, p1;
  inTransaction([&] {
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    p1 = make(mm.person, 3);
    lib.append(mm.books, ref(b1));
    lib.append(mm.members, ref(p1));
  });
  listener.deliveries.clear();
  inTransaction([&] { lib.destroy(); });
  const ReportSummary& r = onlyReport();
  EXPECT_EQ(r.destroyed, (std::vector<ModelElement>{b1, p1, lib}));
  EXPECT_TRUE(r.modified.empty());
}

TEST_F(ReportTest, NothingIsReportedForRollbacksOrTransactionsWithoutChanges) {
  {
    Transaction tx = model->beginTransaction();
    make(mm.book, 1);
    tx.rollback();
  }
  inTransaction([] {});
  EXPECT_TRUE(listener.deliveries.empty());
  EXPECT_EQ(listener.firstChanges, 1);
}

TEST_F(ReportTest, DestroyingAllElementsIsAReportOfItsOwn) {
  ModelElement lib, b1;
  inTransaction([&] {
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
  });
  listener.deliveries.clear();
  ModelElement after;
  inTransaction([&] {
    lib.set(mm.name, str(u"gone soon"));
    model->destroyAllElements();
    after = make(mm.person, 3);
  });
  EXPECT_EQ(model->getAllElements(), (std::vector<ModelElement>{after}));
  ASSERT_EQ(listener.deliveries.size(), 4u);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(listener.deliveries[i].part);
  EXPECT_EQ(listener.deliveries[0].report.modified, (std::vector<ModelElement>{lib}));
  EXPECT_FALSE(listener.deliveries[0].report.allDestroyed);
  EXPECT_TRUE(listener.deliveries[1].report.allDestroyed);
  EXPECT_EQ(listener.deliveries[1].report.destroyed.size(), 2u);
  EXPECT_EQ(listener.deliveries[2].report.created, (std::vector<ModelElement>{after}));
  EXPECT_FALSE(listener.deliveries[2].report.allDestroyed);
  // The whole transaction, marked as already reported.
  const auto& whole = listener.deliveries[3];
  EXPECT_FALSE(whole.part);
  EXPECT_TRUE(whole.alreadyReported);
  EXPECT_TRUE(whole.report.allDestroyed);
  EXPECT_EQ(whole.report.created, (std::vector<ModelElement>{after}));
  EXPECT_EQ(whole.report.destroyed.size(), 2u);
  EXPECT_TRUE(whole.report.modified.empty());
}

TEST_F(ReportTest, AListenerIsRegisteredOnceAndToldWhenItIsRemoved) {
  EXPECT_FALSE(model->addListener<5>(&listener));
  inTransaction([&] { make(mm.book, 1); });
  EXPECT_EQ(listener.deliveries.size(), 1u);
  EXPECT_TRUE(model->removeListener(&listener));
  EXPECT_EQ(listener.removed, 1);
  EXPECT_FALSE(model->removeListener(&listener));
  inTransaction([&] { make(mm.book, 2); });
  EXPECT_EQ(listener.deliveries.size(), 1u);
}

TEST_F(ReportTest, SettingTheSameValueAgainIsNoChange) {
  ModelElement lib, b1;
  inTransaction([&] {
    lib = make(mm.library, 1);
    b1 = make(mm.book, 2);
    lib.set(mm.name, str(u"n"));
    lib.append(mm.books, ref(b1));
  });
  listener.deliveries.clear();
  inTransaction([&] {
    lib.set(mm.name, str(u"n"));
    lib.set(mm.books, refs(mm.books, {b1}));
    b1.set(mm.bookLibrary, lib);
  });
  EXPECT_TRUE(listener.deliveries.empty());
}

TEST_F(ReportTest, ListenersAreCalledByPriorityAndOneFailingListenerDoesNotStopTheOthers) {
  struct Throwing : Listener {
    std::vector<std::string>* order;
    void reportChanges(const ShallowChangeReport<ModelElement>&) {}
    void reportChanges(const ShallowChangeReport<ModelElement>&, bool) {
      order->push_back("throwing");
      throw std::runtime_error("listener failure");
    }
  };
  struct Named : Listener {
    std::vector<std::string>* order;
    std::string name;
    void reportChanges(const ShallowChangeReport<ModelElement>&) {}
    void reportChanges(const ShallowChangeReport<ModelElement>&, bool) { order->push_back(name); }
  };
  std::vector<std::string> order;
  Throwing first;
  first.order = &order;
  Named late, early;
  late.order = early.order = &order;
  late.name = "late";
  early.name = "early";
  model->addListener<9>(&late);
  model->addListener<0>(&first);
  model->addListener<0>(&early);
  foundation::log::RecordCapture capture("qm::zero::framework");
  inTransaction([&] { make(mm.book, 1); });
  EXPECT_EQ(order, (std::vector<std::string>{"throwing", "early", "late"}));
  EXPECT_EQ(capture.records(), (std::vector<foundation::log::CapturedRecord>{
                                   {"qm::zero::framework", 256, "Exception from a model listener: listener failure"}}));
  EXPECT_EQ(listener.deliveries.size(), 1u);  // priority 1, between them
  model->removeListener(&first);
  model->removeListener(&early);
  model->removeListener(&late);
}

TEST_F(ReportTest, AListenerMayUnregisterItselfWhileItIsNotified) {
  struct Leaving : Listener {
    Model::Impl* model = nullptr;
    int calls = 0;
    void reportChanges(const ShallowChangeReport<ModelElement>&) {}
    void reportChanges(const ShallowChangeReport<ModelElement>&, bool) {
      ++calls;
      model->removeListener(this);
    }
  } leaving;
  leaving.model = model.get();
  model->addListener<0>(&leaving);
  inTransaction([&] { make(mm.book, 1); });
  inTransaction([&] { make(mm.book, 2); });
  EXPECT_EQ(leaving.calls, 1);
  EXPECT_EQ(listener.deliveries.size(), 2u);
}

}  // namespace
