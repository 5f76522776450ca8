// Change reports and listeners: what a transaction reports, in which order,
// to whom, what it never reports, and what a listener may do while it is told.

#include "ModelTestSupport.hpp"
#include "Seed.hpp"

#include <foundation/log/RecordCapture.hpp>

#include <optional>
#include <random>

namespace {

using namespace qm0test;

class ReportTest : public ModelTest {
 protected:
  RecordingListener listener;
  void SetUp() override { ASSERT_TRUE(model->addListener<1>(&listener)); }
  void TearDown() override { model->removeListener(&listener); }

  // Commits `f` in a transaction of its own and returns the report of its
  // only notification.
  template <class F>
  const ReportSummary& reportOf(F&& f) {
    listener.deliveries.clear();
    inTransaction(f);
    EXPECT_EQ(listener.kinds(), "whole");
    return listener.deliveries.back().report;
  }
  static void drop(Elements& from, const ModelElement& e) { from.erase(std::find(from.begin(), from.end(), e)); }
  // Each of `live` is found by its uuid, none of `gone`, and the model
  // counts the live ones.
  void expectFound(const Elements& live, const Elements& gone) {
    for (const ModelElement& e : live) ASSERT_EQ(model->findElement(e.getUUID()), e);
    for (const ModelElement& e : gone) ASSERT_FALSE(model->findElement(e.getUUID()));
    EXPECT_EQ(model->getElementCount(), live.size());
  }
};

// Created elements come without property changes; modified ones with their
// changed properties and the ordered changes of each, in order. The owner of
// an element destroyed, or created and destroyed in one transaction
// (ephemeral), saw it go.
TEST_F(ReportTest, ReportsListElementsByWhatHappenedToThemAndChangedPropertiesWithTheirOrderedChanges) {
  ModelElement lib, b1, b2, ebook, author, p1, b3, temp;
  const ReportSummary& created = reportOf([&] {
    lib = make(mm.library, 1), b1 = make(mm.book, 2), b2 = make(mm.book, 3), ebook = make(mm.ebook, 4);
    author = make(mm.person, 6), p1 = make(mm.person, 7);
    lib.set(mm.books, refs(mm.books, {b1, b2}));
    lib.set(mm.tags, strs({u"a", u"b"}));
    lib.append(mm.members, ref(p1));
    b1.set(mm.ratings, integers({1, 2, 3}));
    b1.append(mm.authors, ref(author));
  });
  EXPECT_EQ(created.lists(), (Lists{{lib, b1, b2, ebook, author, p1}, {}, {}, {}}));
  const ReportSummary& r = reportOf([&] {
    lib.insert(mm.tags, 0, str(u"c"));
    lib.set(mm.name, str(u"main"));
    b1.removeAt(mm.ratings, 1);
    b1.replace(mm.ratings, 0, integer(9));
    b3 = make(mm.book, 5);
    lib.insert(mm.books, 1, ref(b3));
    ebook.append(mm.formats, Value(mm.genre, 5));
    lib.removeAt(mm.tags, 2);
    // A whole value set replaces the ordered changes of that property.
    b2.append(mm.ratings, integer(1));
    b2.set(mm.ratings, integers({7}));
    b2.append(mm.ratings, integer(8));
  });
  EXPECT_EQ(r.lists(), (Lists{{b3}, {lib, b1, ebook, b2}, {}, {}}));
  EXPECT_EQ(r.changed, (std::map<ModelElement, Properties>{
      {lib, {mm.tags, mm.name, mm.books}}, {b1, {mm.ratings}}, {ebook, {mm.formats}}, {b2, {mm.ratings}}}));
  EXPECT_EQ(r.changes(lib, mm.tags), "+0:c -2");
  EXPECT_EQ(r.changes(b1, mm.ratings), "-1 ~0:9");
  EXPECT_EQ(r.changes(lib, mm.books), "+1:000005");
  EXPECT_EQ(r.changes(ebook, mm.formats), "+0:5");
  EXPECT_EQ(r.changes(lib, mm.name), "");
  EXPECT_EQ(r.changes(b2, mm.ratings), "");
  const ReportSummary& gone = reportOf([&] {
    b1.destroy();
    temp = make(mm.book, 9);
    lib.append(mm.books, ref(temp));
    temp.destroy();
  });
  EXPECT_EQ(gone.lists(), (Lists{{}, {lib, author}, {b1}, {temp}}));
  EXPECT_EQ(gone.changes(lib, mm.books), "-0 +2:000009 -2");
  EXPECT_EQ(gone.changed.at(author), (Properties{mm.wrote}));
  EXPECT_EQ(gone.changes(author, mm.wrote), "");  // unordered: the whole value counts
  // Destroying an owner reports its contents first.
  EXPECT_EQ(reportOf([&] { lib.destroy(); }).lists(), (Lists{{}, {}, {b3, b2, p1, lib}, {}}));
}

// Random edits of thousands of elements in one transaction, against a
// simple model of the report: modified elements in the order of their first
// change (a value set equal to the present one is none), each with its
// properties in the order of their first change; an element destroyed drops
// out of them, one made and destroyed is ephemeral.
// The element table, grown meanwhile and emptied in the middle of its runs
// (uuids that differ in their last two bytes only, among random ones), finds
// exactly the live elements, after the commit and after a rollback too.
TEST_F(ReportTest, RandomEditsOfThousandsOfElementsAreReportedAsASimpleModelSaysAndFoundByUuid) {
  constexpr int count = 3000;
  Elements alive(count);
  reportOf([&] {
    for (int i = 0; i < count; ++i) {
      alive[static_cast<std::size_t>(i)] = make(mm.book, i + 1);
      alive[static_cast<std::size_t>(i)].set(mm.pages, integer(i % 3));
    }
  });
  const unsigned seed = testSeed(7);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  Elements created, modified, destroyed, ephemeral;
  std::map<ModelElement, std::vector<meta::Property>> changed;
  const ReportSummary& r = reportOf([&] {
    for (int step = 1; step <= 4 * count && !alive.empty(); ++step) {
      const std::size_t k = random() % alive.size();
      ModelElement e = alive[k];
      const bool isNew = std::find(created.begin(), created.end(), e) != created.end();
      const unsigned what = random() % 10;
      if (what < 7) {
        const meta::Property& p = what < 4 ? mm.name : mm.pages;
        const std::string digits = std::to_string(step);
        const Value value = what < 4 ? str(std::u16string(digits.begin(), digits.end())) : integer(step % 3);
        const bool equal = e.get(p) == value;  // no change
        e.set(p, value);
        if (isNew || equal) continue;
        if (!changed.count(e)) modified.push_back(e);
        std::vector<meta::Property>& properties = changed[e];
        if (std::find(properties.begin(), properties.end(), p) == properties.end()) properties.push_back(p);
      } else if (what < 9) {
        e.destroy();
        alive.erase(alive.begin() + static_cast<std::ptrdiff_t>(k));
        if (isNew) {
          drop(created, e);
          ephemeral.push_back(e);
        } else {
          if (changed.erase(e) != 0) drop(modified, e);
          destroyed.push_back(e);
        }
      } else {
        alive.push_back(step % 2 ? make(mm.book, count + step) : ModelElement::createReflective(model, mm.book));
        created.push_back(alive.back());
      }
    }
  });
  EXPECT_EQ(r.lists(), (Lists{created, modified, destroyed, ephemeral}));
  EXPECT_EQ(r.changed, changed);
  expectFound(alive, destroyed);
  Elements rest, third;
  for (std::size_t i = 0; i < alive.size(); ++i) (i % 3 == 1 ? third : rest).push_back(alive[i]);
  rolledBack([&] {
    for (ModelElement& e : third) e.destroy();
    expectFound(rest, third);
    const boost::uuids::uuid taken = rest.front().getUUID(), freed = third.front().getUUID();
    EXPECT_EQ(errorIdOf([&] { ModelElement::createReflective(model, mm.book, taken); }),
              "qm0:messages:DuplicateElementId");
    const ModelElement again = ModelElement::createReflective(model, mm.book, freed);  // its uuid is free
    EXPECT_EQ(model->findElement(freed), again);
  });
  expectFound(alive, ephemeral);  // every one of them back
}

// Listeners are called by priority, then in the order they were added; one that
// fails does not stop the others, and one may unregister itself while told.
TEST_F(ReportTest, ListenersAreRegisteredOnceCalledByPriorityDespiteAFailingOneAndToldWhenTheyAreRemoved) {
  EXPECT_FALSE(model->addListener<5>(&listener));
  std::vector<std::string> order;
  // One that keeps the default first-change and removal hooks.
  struct Throwing : Listener {
    std::vector<std::string>* order;
    explicit Throwing(std::vector<std::string>* o) : order(o) {}
    void reportChanges(const ShallowChangeReport<ModelElement>&) {}
    void reportChanges(const ShallowChangeReport<ModelElement>&, bool) {
      order->push_back("throwing");
      throw std::runtime_error("listener failure");
    }
  } first(&order);
  RecordingListener late, leaving;
  listener.onReport = [&] { order.push_back("listener"); };
  late.onReport = [&] { order.push_back("late"); };
  leaving.onReport = [&] {
    order.push_back("leaving");
    model->removeListener(&leaving);
  };
  model->addListener<9>(&late);
  model->addListener<0>(&first);
  model->addListener<0>(&leaving);
  foundation::log::RecordCapture capture("qm::zero::framework");
  inTransaction([&] { make(mm.book, 1); });
  inTransaction([&] { make(mm.book, 2); });
  EXPECT_EQ(order, (std::vector<std::string>{"throwing", "leaving", "listener", "late", "throwing", "listener", "late"}));
  const foundation::log::CapturedRecord failure{"qm::zero::framework", 256,
                                                "Exception from a model listener: listener failure"};
  EXPECT_EQ(capture.records(), std::vector<foundation::log::CapturedRecord>(2, failure));
  model->removeListener(&first);
  model->removeListener(&late);
  // Removed by the host inside a transaction, a listener is told so, but
  // cannot change the model then, and hears nothing of the rest.
  ModelElement book;
  std::string refused;
  listener.onRemoved = [&] { refused = errorIdOf([&] { book.destroy(); }); };
  inTransaction([&] {
    book = make(mm.book, 3);
    EXPECT_TRUE(model->removeListener(&listener));
  });
  EXPECT_EQ(listener.removed, 1);
  EXPECT_EQ(refused, "qm0:messages:ModelIsNotifying");
  EXPECT_FALSE(book.isDestroyed());
  EXPECT_FALSE(model->removeListener(&listener));
  EXPECT_EQ(listener.deliveries.size(), 2u);
}

// --- Listeners acting on the model while it tells them something ------------

TEST_F(ReportTest, ListenersCannotChangeTheModelOrItsTransactionWhileTheyAreToldButMayDropIt) {
  ModelElement lib, book;
  inTransaction([&] { lib = make(mm.library, 1), book = make(mm.book, 2); });
  Transaction tx = model->beginTransaction();
  std::vector<std::string> refusals;
  listener.onFirstChange = [&] {
    refusals = {errorIdOf([&] { tx.rollback(); }),
                errorIdOf([&] { tx.commit(); }),
                errorIdOf([&] { book.destroy(); }),
                errorIdOf([&] { lib.set(mm.books, refs(mm.books, {})); }),
                errorIdOf([&] { make(mm.person, 3); }),
                errorIdOf([&] { model->destroyAllElements(); }),
                errorIdOf([&] { model->requestSnapshot(); }),
                errorIdOf([&] { model->beginTransaction(); })};
  };
  lib.append(mm.books, ref(book));
  EXPECT_EQ(refusals, std::vector<std::string>(8, "qm0:messages:ModelIsNotifying"));
  // Told once the change was complete; the transaction goes on.
  EXPECT_TRUE(model->isInTransaction());
  tx.commit();
  EXPECT_EQ(targets(lib, mm.books), (Elements{book}));
  EXPECT_EQ(book.getOwner(), lib);
  // A transaction a listener drops is rolled back when the notification ends.
  std::optional<Transaction> held(model->beginTransaction());
  listener.onFirstChange = [&] { held.reset(); };
  ModelElement n = make(mm.person, 4);
  EXPECT_FALSE(model->isInTransaction());
  EXPECT_TRUE(n.isDestroyed());
  EXPECT_EQ(model->getElementCount(), 2u);
  EXPECT_NO_THROW(model->beginTransaction().commit());
}

enum class Moment { FirstChange, Report, ModelTeardown };

// Makes `react` the reaction of `l` at `moment`, then makes that moment
// happen in `local`, which it leaves to the caller dead or alive; returns the
// element the transaction made, if one did.
ModelElement happen(Moment moment, Model& local, RecordingListener& l, std::function<void()> react) {
  (moment == Moment::FirstChange ? l.onFirstChange : moment == Moment::Report ? l.onReport : l.onRemoved) =
      std::move(react);
  if (moment == Moment::ModelTeardown) {
    local = Model();
    return ModelElement();
  }
  Transaction tx = local->beginTransaction();
  ModelElement made = ModelElement::createReflective(local, TestMetamodel::get().person);
  tx.commit();
  return made;
}

// At every moment it is told something, a listener may remove another one,
// which is then never called again, but may not begin a transaction. It may
// drop the last handle of its model.
TEST(ListenerTest, AListenerRemovedDuringANotificationIsNeverCalledAgainAndOneMayDropItsModel) {
  for (Moment moment : {Moment::FirstChange, Moment::Report, Moment::ModelTeardown}) {
    SCOPED_TRACE(static_cast<int>(moment));
    Model local = Model::create();
    RecordingListener remover, victim;
    local->addListener<0>(&remover);
    local->addListener<1>(&victim);
    Model::Impl* impl = local.get();
    bool removed = false;
    int callsWhenRemoved = -1;
    std::string refused;
    happen(moment, local, remover, [&] {
      removed = impl->removeListener(&victim);
      callsWhenRemoved = victim.calls();  // the victim could be deleted now
      refused = errorIdOf([&] { impl->beginTransaction(); });
    });
    EXPECT_TRUE(removed);
    EXPECT_EQ(victim.calls(), callsWhenRemoved);
    EXPECT_EQ(refused, "qm0:messages:ModelIsNotifying");
    if (local) {
      local->removeListener(&remover);
      EXPECT_NO_THROW(local->beginTransaction().commit());
    }
  }
  Model local = Model::create();
  RecordingListener dropping, next;
  local->addListener<0>(&dropping);
  local->addListener<1>(&next);
  EXPECT_TRUE(happen(Moment::Report, local, dropping, [&] { local = Model(); }).isDestroyed());
  EXPECT_FALSE(local);
  // The model lived until the commit returned: each heard of the first
  // change, the report and its removal.
  EXPECT_EQ(dropping.calls(), 3);
  EXPECT_EQ(next.calls(), 3);
}

}  // namespace
