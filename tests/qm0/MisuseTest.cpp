// The framework used as an unlucky or hostile host would: structures deep
// enough to break recursion, listeners that act on the model while it tells
// them something, and collections pushed past their upper bound. Each case
// checks that the call is refused cleanly or works, and that the model is
// consistent afterwards.

#include "ModelTestSupport.hpp"

#include <gtest/gtest.h>

#include <memory>
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

class MisuseTest : public ::testing::Test {
 protected:
  const Misuse& mm = Misuse::get();
  Model model = Model::create();

  ModelElement node() { return ModelElement::createReflective(model, mm.node); }

  template <class F>
  void inTransaction(F&& f) {
    Transaction tx = model->beginTransaction();
    f();
    tx.commit();
  }
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
      leaf.append(mm.kids, ref(next));
      leaf = next;
    }
  }
  void buildCommittedChain() { inTransaction([&] { buildChain(); }); }
};

TEST_F(DeepTest, DestroyingADeepChainAndRollingItBackWork) {
  buildCommittedChain();
  ModelElement beforeLeaf = leaf.getOwner();
  {
    Transaction tx = model->beginTransaction();
    root.destroy();
    EXPECT_EQ(model->getElementCount(), 0u);
    EXPECT_TRUE(leaf.isDestroyed());
    tx.rollback();
  }
  EXPECT_EQ(model->getElementCount(), depth);
  EXPECT_EQ(leaf.getOwner(), beforeLeaf);
  EXPECT_EQ(targets(beforeLeaf, mm.kids), (std::vector<ModelElement>{leaf}));
  inTransaction([&] { root.destroy(); });
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(leaf.isDestroyed());
}

TEST_F(DeepTest, RollingBackTheCreationOfADeepChainRemovesIt) {
  Transaction tx = model->beginTransaction();
  buildChain();
  tx.rollback();
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(root.isDestroyed());
  EXPECT_TRUE(leaf.isDestroyed());
}

TEST_F(DeepTest, DestroyingAllElementsOfADeepChainWorks) {
  buildCommittedChain();
  inTransaction([&] { model->destroyAllElements(); });
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(root.isDestroyed());
}

TEST_F(DeepTest, AnElementCannotBecomeOwnedByItsDeepestDescendant) {
  buildCommittedChain();
  Transaction tx = model->beginTransaction();
  EXPECT_THROW(leaf.append(mm.kids, ref(root)), std::invalid_argument);
  EXPECT_THROW(root.set(mm.parent, leaf), std::invalid_argument);
  EXPECT_FALSE(root.getOwner());
  EXPECT_TRUE(targets(leaf, mm.kids).empty());
  // Moving the deep part under the root is no cycle.
  ModelElement middle = leaf.getOwner().getOwner();
  root.append(mm.kids, ref(middle));
  EXPECT_EQ(middle.getOwner(), root);
  EXPECT_EQ(targets(root, mm.kids).size(), 2u);
  tx.commit();
}

}  // namespace
