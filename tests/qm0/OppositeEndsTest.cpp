// Both ends of a two-way reference stay in step whichever end is changed and
// however: every edit of every end of the test metamodel's pairs (1-1,
// 1-many, many-many, composite) is made from random starting graphs, and
// after each one memory is checked against the one rule that defines the
// pairs, and the edited end against a plain list edited the same way;
// rolled back, the edits leave the graph as it was and nothing is reported,
// committed, they are reported if and only if they changed something.

#include "RecordingDataSource.hpp"
#include "Seed.hpp"

#include <random>

namespace {

using namespace qm0test;

// Every two-way link of the live elements of `model`, checked from both
// ends: `t` in `e.p` if and only if `e` in `t.q`, once; composite targets
// owned by their holder; no link to a destroyed element. Returns the first
// broken rule, empty when none is.
std::string brokenRule(const Model& model) {
  const auto name = [](const ModelElement& e) { return boost::uuids::to_string(e.getUUID()).substr(30); };
  for (const ModelElement& e : model->getAllElements()) {
    for (const meta::Property& p : e.getMetaClass()->getAllAttributes()) {
      if (!p->isReference()) continue;
      // As memory holds them: nothing is loaded.
      const Elements ts = e.get(p, RecordingDataSource::privileged()).getAll<ModelElement>();
      for (const ModelElement& t : ts) {
        const std::string link = name(e) + "." + text(p->getName()) + " -> " + name(t);
        if (t.isDestroyed()) return link + ": a destroyed element";
        if (p->isComposite() && (t.getOwner() != e || t.getOwningProperty() != p)) return link + ": not its owner";
        const meta::Property q = p->getOpposite();
        if (!q || t.isProxy()) continue;
        const Elements back = t.get(q, RecordingDataSource::privileged()).getAll<ModelElement>();
        if (std::count(back.begin(), back.end(), e) != 1)
          return link + ": the opposite " + text(q->getName()) + " holds it " +
                 std::to_string(std::count(back.begin(), back.end(), e)) + " times";
      }
    }
  }
  return {};
}

class OppositeEndsTest : public ModelTest {
 protected:
  // The ends of the pairs, each with the class that holds it.
  const std::vector<meta::Property> ends{mm.sequel,  mm.prequel, mm.mentor, mm.mentees,
                                         mm.authors, mm.wrote,   mm.books,  mm.bookLibrary};
  enum Edit { SetOne, SetWhole, Clear, Append, Insert, Replace, RemoveAt, Remove, Destroy };
  static constexpr const char* editName[] = {"set",     "set whole", "clear",  "append",  "insert",
                                             "replace", "removeAt",  "remove", "destroy"};

  const unsigned seed = testSeed(7);
  std::mt19937 rng{seed};
  RecordingListener listener;  // of each round's model, which goes first
  void TearDown() override { model = Model(); }
  std::size_t pick(std::size_t n) { return n == 0 ? 0 : rng() % n; }

  // Live elements of `cls`.
  Elements of(const meta::Class& cls) {
    Elements out;
    for (const ModelElement& e : model->getAllElements())
      if (e.getMetaClass()->conformsTo(cls)) out.push_back(e);
    std::sort(out.begin(), out.end());
    return out;
  }
  int next = 1;
  // Enough books that a person's collection of them outgrows a few
  // entries: memory then tells membership from the smaller end.
  void populate() {
    for (const meta::Class& cls : {mm.library, mm.library, mm.ebook, mm.person, mm.person, mm.person}) make(cls, next++);
    for (int i = 0; i < 11; ++i) make(mm.book, next++);
  }
  ModelElement anyOf(const meta::Class& cls) {
    const Elements all = of(cls);
    return all.empty() ? ModelElement() : all[pick(all.size())];
  }

  // Applies `edit` to the end `p` of a random holder, whose targets must
  // then be those of a plain list edited the same way (a refused edit
  // changes nothing); false when the edit does not apply to that end (a
  // single end has no index).
  bool apply(Edit edit, const meta::Property& p) {
    const meta::Class holderClass = meta::Class::downcast(p->getOwningType());
    const meta::Class targetClass = meta::Class::downcast(p->getType());
    ModelElement e = anyOf(holderClass), t = anyOf(targetClass);
    // An edit at an index wants a holder with entries, when one is at hand.
    for (int tries = 0; e && edit >= Replace && edit <= RemoveAt && targets(e, p).empty() && tries < 8; ++tries)
      e = anyOf(holderClass);
    if (!e || !t) return false;
    const Elements before = targets(e, p);
    Elements want = before;
    const bool many = p->isMultiValued(), held = std::count(before.begin(), before.end(), t) != 0;
    const std::size_t i = pick(before.size() + (edit == Insert ? 1 : 0));
    const auto at = [&](std::size_t index) { return want.begin() + static_cast<std::ptrdiff_t>(index); };
    try {
      switch (edit) {
        case SetOne:
          if (many) return false;
          e.set(p, t);
          want = {t};
          break;
        case SetWhole:
          want = of(targetClass);
          std::shuffle(want.begin(), want.end(), rng);
          want.resize(many ? pick(want.size() + 1) : 1);
          if (pick(4) == 0 && !before.empty()) want = before;  // now and then the present value
          e.set(p, many ? refs(p, want) : ref(want.front()));
          break;
        case Clear:
          e.unset(p);
          want.clear();
          break;
        case Append:
        case Insert:
          if (!many) return false;
          edit == Append ? e.append(p, ref(t)) : e.insert(p, i, ref(t));
          if (!held) want.insert(at(edit == Append ? want.size() : i), t);
          break;
        case Replace:
          if (!many || before.empty()) return false;
          e.replace(p, i, ref(t));
          want[i] = t;  // t held elsewhere: refused
          break;
        case RemoveAt:
          if (!many || before.empty()) return false;
          e.removeAt(p, i);
          want.erase(at(i));
          break;
        case Remove:
          if (!many) return false;
          e.remove(p, t);
          want.erase(std::remove(want.begin(), want.end(), t), want.end());
          break;
        case Destroy:
          (pick(2) ? e : t).destroy();
          return true;
      }
    } catch (const std::invalid_argument&) {  // refused: an element twice in a collection
      want = before;
    }
    expectTargets(e, p, want, edit);
    return true;
  }
  // An unordered end is compared as a set.
  void expectTargets(const ModelElement& e, const meta::Property& p, Elements want, Edit edit) {
    Elements got = targets(e, p);
    if (!p->isOrdered()) {
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
    }
    EXPECT_EQ(got, want) << editName[edit] << " of " << text(p->getName());
  }
};

TEST_F(OppositeEndsTest, EveryEditOfEitherEndKeepsTheOtherInStep) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  for (const meta::Property& p : ends) {
    for (Edit edit : {SetOne, SetWhole, Clear, Append, Insert, Replace, RemoveAt, Remove, Destroy}) {
      int applied = 0;
      for (int round = 0; round < 30; ++round) {
        model = Model::create();
        inTransaction([&] {
          populate();
          // A random graph first, from random edits of random ends.
          for (int i = 0; i < 12; ++i) apply(static_cast<Edit>(pick(Destroy)), ends[pick(ends.size())]);
        });
        ASSERT_EQ(brokenRule(model), "") << "while making the graph";
        const std::string before = dump(model);
        model->addListener<1>(&listener);
        listener.deliveries.clear();
        listener.firstChanges = 0;
        Transaction tx = model->beginTransaction();
        if (apply(edit, p)) ++applied;
        ASSERT_EQ(brokenRule(model), "") << editName[edit] << " of " << text(p->getName());
        const bool changed = dump(model) != before;
        if (round % 2) {
          // Rolled back after more edits, destructions too, the graph is as it was.
          for (int i = 0; i < 4; ++i) apply(static_cast<Edit>(pick(Destroy + 1)), ends[pick(ends.size())]);
          tx.rollback();
          ASSERT_EQ(dump(model), before) << "rolled back " << editName[edit] << " of " << text(p->getName());
          EXPECT_EQ(listener.kinds(), "");
        } else {
          // An edit that changed nothing (an equal value, an entry held
          // already, a missing one removed) is no change, reported or first.
          tx.commit();
          EXPECT_EQ(listener.kinds(), changed ? "whole" : "") << editName[edit] << " of " << text(p->getName());
          EXPECT_EQ(listener.firstChanges, changed ? 1 : 0);
        }
      }
      // No such edit of this end: a set of one target, or an indexed edit.
      if (p->isMultiValued() ? edit == SetOne : edit >= Append && edit <= Remove) continue;
      EXPECT_GT(applied, 0) << editName[edit] << " of " << text(p->getName()) << " never applied";
    }
  }
}

}  // namespace
