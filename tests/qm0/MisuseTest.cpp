// The framework used as an unlucky or hostile host would: structures deep
// enough to break recursion, listeners that act on the model while it tells
// them something, and collections pushed past their upper bound. Each case
// checks that the call is refused cleanly or works, and that the model is
// consistent afterwards.

#include "ModelTestSupport.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

namespace {

using namespace qm0test;

// A package of its own: a node class that contains itself, with bounded
// collections on both kinds of ends.
//
//   misuse.Node   kids: Node [0..*] composite ordered <-> parent: Node [0..1]
//                 pair: Node [0..2] composite ordered <-> pairOf: Node [0..1]
//                 friends: Node [0..2] <-> fans: Node [0..*]
//                 marks: Integer [0..2] ordered
//   misuse.Tally  counts: Integer [0..2]
struct Misuse {
  meta::Class node;
  meta::DataType tally;
  meta::Property kids, parent, pair, pairOf, friends, fans, marks, counts;

  static const Misuse& get() {
    static const Misuse instance;
    return instance;
  }

 private:
  Misuse() {
    using meta::PropertyOptions;
    meta::PackageBuilder b(u"misuse", u"urn:misuse", u"1");
    node = b.addClass(u"Node");
    tally = b.addDataType(u"Tally");
    kids = b.addProperty(node, u"kids", node, PropertyOptions().bounds(0, meta::unbounded).setOrdered().setComposite());
    parent = b.addProperty(node, u"parent", node);
    pair = b.addProperty(node, u"pair", node, PropertyOptions().bounds(0, 2).setOrdered().setComposite());
    pairOf = b.addProperty(node, u"pairOf", node);
    friends = b.addProperty(node, u"friends", node, PropertyOptions().bounds(0, 2));
    fans = b.addProperty(node, u"fans", node, PropertyOptions().bounds(0, meta::unbounded));
    marks = b.addProperty(node, u"marks", meta::StandardTypes::integerMeta(), PropertyOptions().bounds(0, 2).setOrdered());
    counts = b.addProperty(tally, u"counts", meta::StandardTypes::integerMeta(), PropertyOptions().bounds(0, 2));
    b.setOpposite(kids, parent);
    b.setOpposite(pair, pairOf);
    b.setOpposite(friends, fans);
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

class MisuseTest : public ModelTest {
 protected:
  const Misuse& mu = Misuse::get();
  ModelElement node() { return ModelElement::createReflective(model, mu.node); }
};

// --- Deep structures -------------------------------------------------------
// Deep enough that one stack frame per level would overflow the stack.

class DeepTest : public MisuseTest {
 protected:
  static constexpr std::size_t depth = 100000;
  ModelElement root, leaf;

  // A chain of `depth` nodes, each the only kid of the one before, made in
  // the open transaction by appending at the deepest node.
  void buildChain() {
    root = leaf = node();
    for (std::size_t i = 1; i < depth; ++i) {
      ModelElement next = node();
      leaf.append(mu.kids, ref(next));
      leaf = next;
    }
  }
};

TEST_F(DeepTest, MakingWalkingDestroyingAndRollingBackADeepChainWorkAndItCannotBecomeACycle) {
  rolledBack([&] { buildChain(); });
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(root.isDestroyed());
  EXPECT_TRUE(leaf.isDestroyed());
  inTransaction([&] { buildChain(); });
  ModelElement beforeLeaf = leaf.getOwner();
  for (bool all : {false, true}) {
    Transaction tx = model->beginTransaction();
    if (all) {
      model->destroyAllElements();
    } else {
      root.destroy();
    }
    EXPECT_EQ(model->getElementCount(), 0u);
    EXPECT_TRUE(leaf.isDestroyed());
    tx.rollback();
  }
  EXPECT_EQ(model->getElementCount(), depth);
  EXPECT_EQ(leaf.getOwner(), beforeLeaf);
  EXPECT_EQ(targets(beforeLeaf, mu.kids), (Elements{leaf}));
  std::vector<ModelElement> contents = root.getAllContents();  // listed top down
  ASSERT_EQ(contents.size(), depth - 1);
  EXPECT_EQ(contents.front().getOwner(), root);
  EXPECT_EQ(contents.back(), leaf);
  // An element cannot become owned by its deepest descendant; moving the
  // deep part under the root is no cycle.
  inTransaction([&] {
    EXPECT_THROW(leaf.append(mu.kids, ref(root)), std::invalid_argument);
    EXPECT_THROW(root.set(mu.parent, leaf), std::invalid_argument);
    EXPECT_FALSE(root.getOwner());
    EXPECT_TRUE(targets(leaf, mu.kids).empty());
    ModelElement middle = leaf.getOwner().getOwner();
    root.append(mu.kids, ref(middle));
    EXPECT_EQ(middle.getOwner(), root);
    EXPECT_EQ(targets(root, mu.kids).size(), 2u);
  });
  inTransaction([&] { root.destroy(); });
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(leaf.isDestroyed());
}

// --- Listeners -------------------------------------------------------------

using Reacting = RecordingListener;

enum class Moment { FirstChange, Report, ModelTeardown };

// Makes `react` the reaction of `l` at `moment`, then makes that moment
// happen in a model of its own, which it returns to the caller dead or alive.
void happen(Moment moment, Model& local, Reacting& l, std::function<void()> react) {
  (moment == Moment::FirstChange ? l.onFirstChange : moment == Moment::Report ? l.onReport : l.onRemoved) =
      std::move(react);
  if (moment == Moment::ModelTeardown) {
    local = Model();
    return;
  }
  Transaction tx = local->beginTransaction();
  ModelElement::createReflective(local, Misuse::get().node);
  tx.commit();
}

// At every moment it is told something, a listener may remove another one,
// which is then never called again, but may not begin a transaction.
TEST(ListenerTest, AListenerRemovedDuringANotificationIsNeverCalledAgain) {
  for (Moment moment : {Moment::FirstChange, Moment::Report, Moment::ModelTeardown}) {
    SCOPED_TRACE(static_cast<int>(moment));
    Model local = Model::create();
    Reacting remover, victim;
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
}

TEST_F(MisuseTest, ListenersCannotChangeTheModelOrItsTransactionWhileTheyAreToldButMayDropIt) {
  ModelElement a, b;
  inTransaction([&] { a = node(), b = node(); });
  Reacting listener;
  model->addListener<0>(&listener);
  Transaction tx = model->beginTransaction();
  std::vector<std::string> refusals;
  listener.onFirstChange = [&] {
    refusals = {errorIdOf([&] { tx.rollback(); }),
                errorIdOf([&] { tx.commit(); }),
                errorIdOf([&] { b.destroy(); }),
                errorIdOf([&] { a.set(mu.kids, refs(mu.kids, {})); }),
                errorIdOf([&] { node(); }),
                errorIdOf([&] { model->destroyAllElements(); }),
                errorIdOf([&] { model->requestSnapshot(); }),
                errorIdOf([&] { model->beginTransaction(); })};
  };
  a.append(mu.kids, ref(b));
  EXPECT_EQ(refusals, std::vector<std::string>(8, "qm0:messages:ModelIsNotifying"));
  // Told once the change was complete; the transaction goes on.
  EXPECT_TRUE(model->isInTransaction());
  tx.commit();
  EXPECT_EQ(targets(a, mu.kids), (std::vector<ModelElement>{b}));
  EXPECT_EQ(b.getOwner(), a);
  EXPECT_FALSE(b.isDestroyed());
  // A transaction a listener drops is rolled back when the notification ends.
  std::optional<Transaction> held(model->beginTransaction());
  listener.onFirstChange = [&] { held.reset(); };
  ModelElement n = node();
  EXPECT_FALSE(model->isInTransaction());
  EXPECT_TRUE(n.isDestroyed());
  EXPECT_EQ(model->getElementCount(), 2u);
  EXPECT_NO_THROW(model->beginTransaction().commit());
  model->removeListener(&listener);
}

TEST(ListenerTest, AListenerRemovedByTheHostInsideATransactionCannotChangeTheModel) {
  Model local = Model::create();
  Reacting listener;
  local->addListener<0>(&listener);
  Transaction tx = local->beginTransaction();
  ModelElement n = ModelElement::createReflective(local, Misuse::get().node);
  std::string refused;
  listener.onRemoved = [&] { refused = errorIdOf([&] { n.destroy(); }); };
  local->removeListener(&listener);
  EXPECT_EQ(refused, "qm0:messages:ModelIsNotifying");
  EXPECT_FALSE(n.isDestroyed());
  tx.commit();
}

TEST(ListenerTest, AListenerMayDropTheLastHandleOfItsModel) {
  Model local = Model::create();
  Reacting dropping, next;
  dropping.onReport = [&] { local = Model(); };
  local->addListener<0>(&dropping);
  local->addListener<1>(&next);
  Transaction tx = local->beginTransaction();
  ModelElement n = ModelElement::createReflective(local, Misuse::get().node);
  tx.commit();
  EXPECT_FALSE(local);
  EXPECT_TRUE(n.isDestroyed());
  // The model lived until the commit returned: each heard of the first
  // change, the report and its removal.
  EXPECT_EQ(dropping.calls(), 3);
  EXPECT_EQ(next.calls(), 3);
}

// --- Bounds ----------------------------------------------------------------

TEST_F(MisuseTest, ABoundedCollectionRefusesAnEntryTooManyWhicheverWayItComes) {
  ModelElement a, b, c, d, x;
  inTransaction([&] {
    a = node(), b = node(), c = node(), d = node(), x = node();
    a.set(mu.marks, Value(meta::StandardTypes::integerMeta(), std::vector<int>{1, 2}));
    a.set(mu.friends, refs(mu.friends, {b, c}));
    a.set(mu.pair, refs(mu.pair, {b, c}));
  });
  const std::string before = dump(model);
  Transaction tx = model->beginTransaction();
  const std::vector<std::function<void()>> tooMany = {
      [&] { a.append(mu.marks, integer(3)); },
      [&] { a.insert(mu.marks, 0, integer(3)); },
      [&] { a.set(mu.marks, Value(meta::StandardTypes::integerMeta(), std::vector<int>{1, 2, 3})); },
      [&] { a.append(mu.friends, ref(d)); },
      [&] { a.insert(mu.friends, 0, ref(d)); },
      [&] { a.set(mu.friends, d); },
      [&] { a.set(mu.friends, refs(mu.friends, {b, c, d})); },
      [&] { d.append(mu.fans, ref(a)); },           // from the other end
      [&] { d.set(mu.fans, refs(mu.fans, {x, a})); },  // nothing of it stays
      [&] { d.set(mu.pairOf, a); },                  // an owner's full collection
      [&] { a.append(mu.pair, ref(d)); },
      [&] {
        DataValue t(mu.tally);
        t.set(mu.counts, Value(meta::StandardTypes::integerMeta(), std::vector<int>{1, 2, 3}));
      }};
  for (std::size_t i = 0; i < tooMany.size(); ++i)
    EXPECT_EQ(errorIdOf(tooMany[i]), "qm0:messages:UpperBoundExceeded") << "case " << i;
  EXPECT_EQ(dump(model), before);
  // A replacement adds nothing; room made first, the entry fits.
  a.replace(mu.pair, 0, ref(d));
  EXPECT_EQ(targets(a, mu.pair), (std::vector<ModelElement>{d, c}));
  EXPECT_FALSE(b.getOwner());
  a.removeAt(mu.marks, 0);
  a.append(mu.marks, integer(3));
  tx.commit();
}

}  // namespace
