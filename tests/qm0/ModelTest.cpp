#include "ModelTestSupport.hpp"
#include "Seed.hpp"

#include <qm/zero/ModelElementBuilder.hpp>

#include <matrix/Array.hpp>

#include <random>
#include <stdexcept>

namespace {

using namespace qm0test;

TEST_F(ModelTest, ReflectiveAccessAndBuildersReadWriteAndCheckValuesInsideATransactionOnly) {
  EXPECT_EQ(errorIdOf([&] { make(mm.book, 1); }), "qm0:messages:NoOpenTransaction");
  Transaction tx = model->beginTransaction();
  EXPECT_EQ(errorIdOf([&] { model->beginTransaction(); }), "qm0:messages:TransactionAlreadyOpen");
  EXPECT_THROW(make(mm.named, 2), std::invalid_argument);  // abstract
  ModelElement book = make(mm.ebook, 1);
  EXPECT_FALSE(book.isSet(mm.name));
  EXPECT_EQ(book.get(mm.name), Value::createEmptyValue(mm.name));  // empty, of the property's type
  book.set(mm.name, str(u"Dune"));
  book.set(mm.genreProp, Value(mm.genre, 2));
  book.set(mm.url, stdstr("http://x"));
  EXPECT_EQ(book.get(mm.url).getMeta().getFlags(), 1u);
  book.unset(mm.name);
  EXPECT_FALSE(book.isSet(mm.name));
  // Wrong property, wrong type, too many entries: refused, nothing changes.
  EXPECT_EQ(errorIdOf([&] { book.get(mm.tags); }), "qm0:messages:PropertyNotOfClass");
  EXPECT_EQ(errorIdOf([&] { book.set(mm.name, integer(3)); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(errorIdOf([&] { book.set(mm.genreProp, integer(3)); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(errorIdOf([&] { book.set(mm.pages, integers({1, 2})); }), "qm0:messages:CannotCastIncompatibleTypes");
  ModelElement person = make(mm.person, 2);
  EXPECT_EQ(errorIdOf([&] { book.set(mm.related, ref(person)); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(book.get(mm.genreProp).get<int>(), 2);
  EXPECT_FALSE(book.isSet(mm.related));
  tx.commit();
  EXPECT_EQ(errorIdOf([&] { book.set(mm.pages, integer(3)); }), "qm0:messages:NoOpenTransaction");
  EXPECT_FALSE(book.isSet(mm.pages));
  EXPECT_EQ(errorIdOf([&] { book.destroy(); }), "qm0:messages:NoOpenTransaction");
  EXPECT_FALSE(book.isDestroyed());
  // A builder makes elements with its values, then forgets them.
  std::unique_ptr<ModelElement::Builder> builder = mm.ebook->instantiateBuilder(model);
  builder->set(mm.name, str(u"first"));
  builder->set(mm.url, stdstr("u"));
  builder->set(mm.name, str(u"First"));
  EXPECT_EQ(errorIdOf([&] { builder->set(mm.tags, str(u"t")); }), "qm0:messages:PropertyNotOfClass");
  EXPECT_EQ(errorIdOf([&] { builder->create(uuidOf(11)); }), "qm0:messages:NoOpenTransaction");
  Transaction building = model->beginTransaction();
  ModelElement e1 = builder->create(uuidOf(11));
  ModelElement e2 = builder->create(uuidOf(12));
  EXPECT_EQ(e1.get(mm.name).get<std::u16string>(), u"First");
  EXPECT_EQ(e1.get(mm.url).get<std::string>(), "u");  // of the builder's class
  EXPECT_FALSE(e2.isSet(mm.name));
  // A value that does not fit: the element is not left behind.
  builder->set(mm.pages, str(u"many"));
  EXPECT_EQ(errorIdOf([&] { builder->create(uuidOf(13)); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_FALSE(model->findElement(uuidOf(13)));
  building.commit();
  EXPECT_THROW(mm.named->instantiateBuilder(model), std::invalid_argument);
}

// That both ends of every pair stay in step and hold what plain lists would,
// moves and duplicates included, is the random test of OppositeEndsTest;
// here what it cannot see.
TEST_F(ModelTest, AllContentsListsWhatAnElementOwnsAndDestroyingItOrItsModelDestroysThatAndCutsBidirectionalLinks) {
  ModelElement lib, b1, b2, p1, fan;
  inTransaction([&] {
    b1 = make(mm.ebook, 2), lib = make(mm.library, 1), b2 = make(mm.book, 3);
    p1 = make(mm.person, 4), fan = make(mm.person, 5);
    lib.append(mm.members, ref(p1));
    lib.append(mm.books, ref(b2));
    lib.insert(mm.books, 0, ref(b1));
    b1.append(mm.authors, ref(fan));  // referred to, not owned
    fan.set(mm.favorite, b2);
    // Removed from a composite, an element is detached, not destroyed; a
    // duplicate or an element of another model is refused.
    EXPECT_TRUE(lib.remove(mm.books, b2));
    EXPECT_FALSE(b2.isDestroyed());
    EXPECT_FALSE(lib.remove(mm.books, b2));
    lib.append(mm.books, ref(b2));
    EXPECT_THROW(b1.set(mm.authors, refs(mm.authors, {fan, fan})), std::invalid_argument);
    Model other = Model::create();
    Transaction otherTx = other->beginTransaction();  // rolled back when the lambda ends
    ModelElement foreign = ModelElement::createReflective(other, mm.book);
    EXPECT_THROW(lib.append(mm.books, ref(foreign)), std::invalid_argument);
    EXPECT_FALSE(foreign.getOwner());
  });
  EXPECT_EQ(model->findElement(uuidOf(2), InMemoryOnly), b1);
  EXPECT_EQ(b1.toString(), u"ext.Ebook 00000000-0000-0000-0000-000000000002");
  EXPECT_EQ(std::hash<ModelElement>()(lib), std::hash<ModelElement>()(model->findElement(uuidOf(1))));  // by identity
  // Used packages follow first use and include superclass packages.
  EXPECT_EQ(model->getUsedPackages(), (std::vector<meta::Package>{mm.ext, mm.lib}));
  // Owners first, without the element or what it refers to.
  EXPECT_EQ(lib.getAllContents(), (Elements{b1, b2, p1}));
  EXPECT_TRUE(b1.getAllContents().empty());
  EXPECT_THROW(ModelElement().getAllContents(), std::invalid_argument);
  // A metaclass is no element of a model.
  EXPECT_THROW(mm.library.getAllContents(), std::logic_error);
  EXPECT_THROW(mm.book.get(mm.name), std::logic_error);
  EXPECT_FALSE(mm.book.getModel());
  EXPECT_FALSE(mm.book.isDestroyed());
  inTransaction([&] { lib.destroy(); });
  EXPECT_EQ(model->getUsedPackages(), (std::vector<meta::Package>{mm.lib}));
  for (const ModelElement& e : {lib, b1, b2, p1}) {
    EXPECT_TRUE(e.isDestroyed());
    EXPECT_FALSE(model->findElement(e.getUUID()));
    EXPECT_FALSE(e.getModel());
  }
  EXPECT_FALSE(fan.isDestroyed());
  // A one-way reference is not cut: it now refers to a destroyed element
  // (that two-way ones are is the random test of OppositeEndsTest).
  EXPECT_TRUE(fan.get(mm.favorite).getElement().isDestroyed());
  inTransaction([&] { EXPECT_EQ(errorIdOf([&] { b1.set(mm.pages, integer(1)); }), "qm0:messages:ElementDestroyed"); });
  // A model destroyed while handles live leaves destroyed elements.
  model = Model();
  EXPECT_TRUE(fan.isDestroyed());
  EXPECT_FALSE(fan.getModel());
  EXPECT_FALSE(fan.isSet(mm.favorite));
  EXPECT_EQ(fan.getMetaClass(), mm.person);
}

// --- Collections of values ---------------------------------------------------
// Properties are unique unless declared otherwise: tags (String) and formats
// (Genre) are, ratings (Integer) is not.

// What an edit did: "nothing thrown", the framework's message id, or "out of range".
std::string outcomeOf(const std::function<void()>& edit) {
  try {
    return errorIdOf(edit);
  } catch (const std::out_of_range&) {
    return "out of range";
  }
}

// Random edits of tags (texts, every third one too long to be kept in place)
// and ratings, some refused, in transactions that commit or roll back: after
// every step each reads as a plain vector edited the same way. A whole value
// is now and then large, and a transaction may edit a collection more often
// than it has entries.
class ValueCollectionTest : public ModelTest {
 protected:
  const unsigned seed = testSeed(5);
  std::mt19937 random{seed};
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(random() % n); }

  // One random edit of `p`, which holds `entries`; a small `pool` of entries
  // makes collisions likely.
  template <class T, class EntryOf>
  void edit(ModelElement e, const meta::Property& p, std::vector<T>& entries, bool unique, std::size_t pool,
            EntryOf entryOf) {
    const std::string ok = "nothing thrown", duplicate = "qm0:messages:DuplicateEntry", range = "out of range";
    const std::size_t index = below(entries.size() + 2);  // one past the end and beyond too
    const T v = entryOf(below(pool));
    const bool present = std::find(entries.begin(), entries.end(), v) != entries.end();
    std::string want = ok, got, kind;
    std::vector<T> after = entries;
    switch (below(5)) {
      case 0:
        kind = "append";
        got = outcomeOf([&] { e.append(p, Value(p->getType(), v)); });
        if (unique && present) want = duplicate; else after.push_back(v);
        break;
      case 1:
        kind = "insert at " + std::to_string(index);
        got = outcomeOf([&] { e.insert(p, index, Value(p->getType(), v)); });
        // Out of range and a duplicate too: either refusal may come first.
        if (index > entries.size()) want = unique && present && got == duplicate ? duplicate : range;
        else if (unique && present) want = duplicate;
        else after.insert(after.begin() + static_cast<std::ptrdiff_t>(index), v);
        break;
      case 2:
        kind = "remove at " + std::to_string(index);
        got = outcomeOf([&] { e.removeAt(p, index); });
        if (index >= entries.size()) want = range; else after.erase(after.begin() + static_cast<std::ptrdiff_t>(index));
        break;
      case 3:
        kind = "replace at " + std::to_string(index);
        got = outcomeOf([&] { e.replace(p, index, Value(p->getType(), v)); });
        if (index >= entries.size()) want = unique && present && got == duplicate ? duplicate : range;
        else if (unique && present && entries[index] != v) want = duplicate;
        else after[index] = v;
        break;
      default: {
        std::vector<T> whole;
        const std::size_t size = below(8) == 0 ? 1000 + below(2000) : below(5);
        const std::size_t offset = below(3001);
        for (std::size_t i = 0; i < size; ++i) whole.push_back(entryOf(unique ? (i * 7919 + offset) % 3001 : below(4)));
        if (unique && !whole.empty() && below(2) == 0) {
          whole.insert(whole.begin() + static_cast<std::ptrdiff_t>(below(whole.size())), whole[below(whole.size())]);
          want = duplicate;
        }
        kind = "set " + std::to_string(whole.size()) + " entries";
        got = outcomeOf([&] { e.set(p, Value(p->getType(), whole)); });
        if (want == ok) after = whole;
      }
    }
    ASSERT_EQ(got, want) << kind << " into " << entries.size() << " entries";
    entries = after;
    ASSERT_EQ(e.get(p).getAll<T>(), entries) << "after " << kind;
  }
};

TEST_F(ValueCollectionTest, RandomEditsReadAsAPlainVectorAcrossCommitsAndRollbacks) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  ModelElement lib, book;
  inTransaction([&] {
    lib = make(mm.library, 1), book = make(mm.book, 2);
    EXPECT_THROW(lib.insert(mm.name, 0, str(u"x")), std::logic_error);
  });
  auto textOf = [](std::size_t k) {
    const std::string n = std::to_string(k);
    return std::u16string(k % 3 ? 0 : 40, u'l') + std::u16string(n.begin(), n.end());
  };
  auto numberOf = [](std::size_t k) { return static_cast<int>(k); };
  std::vector<std::u16string> tags, committedTags;
  std::vector<int> ratings, committedRatings;
  for (int round = 0; round < 150; ++round) {
    SCOPED_TRACE("transaction " + std::to_string(round));
    Transaction tx = model->beginTransaction();
    for (std::size_t steps = 1 + below(20); steps > 0 && !HasFatalFailure(); --steps)
      below(2) ? edit(lib, mm.tags, tags, true, 12, textOf) : edit(book, mm.ratings, ratings, false, 4, numberOf);
    if (HasFatalFailure()) return;
    if (below(2)) {
      tx.commit();
      committedTags = tags;
      committedRatings = ratings;
    } else {
      tx.rollback();
      tags = committedTags;
      ratings = committedRatings;
    }
    ASSERT_EQ(lib.get(mm.tags).getAll<std::u16string>(), tags);
    ASSERT_EQ(book.get(mm.ratings).getAll<int>(), ratings);
  }
}

// --- Refused edits -----------------------------------------------------------

TEST_F(ModelTest, AUniqueCollectionRefusesAnEqualEntryAndAFrozenModelEveryChangeUntilTheGuardIsReleased) {
  ModelElement lib, ebook;
  inTransaction([&] {
    lib = make(mm.library, 1), ebook = make(mm.ebook, 2);
    lib.set(mm.name, str(u"main"));
    ebook.set(mm.formats, Value(mm.genre, std::vector<std::int32_t>{1, 2}));
  });
  const std::string before = dump(model);
  // A refused entry is no change, of the values (the random case above) nor
  // of what listeners hear.
  RecordingListener listener;
  model->addListener<1>(&listener);
  inTransaction([&] {
    EXPECT_EQ(errorIdOf([&] { ebook.append(mm.formats, Value(mm.genre, 2)); }), "qm0:messages:DuplicateEntry");
    const Value twice(mm.genre, std::vector<std::int32_t>{5, 5});
    EXPECT_EQ(errorIdOf([&] { ebook.set(mm.formats, twice); }), "qm0:messages:DuplicateEntry");
  });
  EXPECT_TRUE(listener.deliveries.empty());  // nothing of it was a change
  model->removeListener(&listener);
  {
    Transaction tx = model->beginTransaction();
    FreezeGuard freeze = model->freeze();
    FreezeGuard nested = model->freeze();
    EXPECT_EQ(errorIdOf([&] { lib.set(mm.name, str(u"other")); }), "qm0:messages:ModelIsFrozen");
    EXPECT_EQ(errorIdOf([&] { lib.append(mm.tags, str(u"t")); }), "qm0:messages:ModelIsFrozen");
    EXPECT_EQ(errorIdOf([&] { make(mm.book, 2); }), "qm0:messages:ModelIsFrozen");
    EXPECT_EQ(errorIdOf([&] { lib.destroy(); }), "qm0:messages:ModelIsFrozen");
    EXPECT_EQ(errorIdOf([&] { model->destroyAllElements(); }), "qm0:messages:ModelIsFrozen");
    nested.release();
    EXPECT_TRUE(model->isFrozen());
    EXPECT_EQ(dump(model), before);
    freeze.release();
    lib.set(mm.name, str(u"other"));
    tx.commit();
  }
  EXPECT_EQ(lib.get(mm.name).get<std::u16string>(), u"other");
  FreezeGuard freeze = model->freeze();
  EXPECT_EQ(errorIdOf([&] { model->beginTransaction(); }), "qm0:messages:ModelIsFrozen");
  EXPECT_FALSE(model->isInTransaction());
}

// --- Bounds and deep structures ----------------------------------------------
// A package of its own: a node class that contains itself, with bounded
// collections on both kinds of ends.
//
//   nodes.Node   kids: Node [0..*] composite ordered <-> parent: Node [0..1]
//                pair: Node [0..2] composite ordered <-> pairOf: Node [0..1]
//                friends: Node [0..2] <-> fans: Node [0..*]
//                marks: Integer [0..2] ordered
//   nodes.Tally  counts: Integer [0..2]
struct Nodes {
  meta::Class node;
  meta::DataType tally;
  meta::Property kids, parent, pair, pairOf, friends, fans, marks, counts;

  static const Nodes& get() {
    static const Nodes instance;
    return instance;
  }

 private:
  Nodes() {
    using meta::PropertyOptions;
    meta::PackageBuilder b(u"nodes", u"urn:nodes", u"1");
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

class NodeTest : public ModelTest {
 protected:
  const Nodes& mu = Nodes::get();
  ModelElement node() { return ModelElement::createReflective(model, mu.node); }
};

TEST_F(NodeTest, ABoundedCollectionRefusesAnEntryTooManyWhicheverWayItComes) {
  ModelElement a, b, c, d, x;
  inTransaction([&] {
    a = node(), b = node(), c = node(), d = node(), x = node();
    a.set(mu.marks, integers({1, 2}));
    a.set(mu.friends, refs(mu.friends, {b, c}));
    a.set(mu.pair, refs(mu.pair, {b, c}));
  });
  const std::string before = dump(model);
  Transaction tx = model->beginTransaction();
  const std::vector<std::function<void()>> tooMany = {
      [&] { a.append(mu.marks, integer(3)); },
      [&] { a.insert(mu.marks, 0, integer(3)); },
      [&] { a.set(mu.marks, integers({1, 2, 3})); },
      [&] { a.append(mu.friends, ref(d)); },
      [&] { a.insert(mu.friends, 0, ref(d)); },
      [&] { a.set(mu.friends, d); },
      [&] { a.set(mu.friends, refs(mu.friends, {b, c, d})); },
      [&] { d.append(mu.fans, ref(a)); },           // from the other end
      [&] { d.set(mu.fans, refs(mu.fans, {x, a})); },  // nothing of it stays
      [&] { d.set(mu.pairOf, a); },                  // an owner's full collection
      [&] { a.append(mu.pair, ref(d)); },
      [&] { DataValue(mu.tally).set(mu.counts, integers({1, 2, 3})); }};
  for (std::size_t i = 0; i < tooMany.size(); ++i)
    EXPECT_EQ(errorIdOf(tooMany[i]), "qm0:messages:UpperBoundExceeded") << "case " << i;
  EXPECT_EQ(dump(model), before);
  // A replacement adds nothing; room made first, the entry fits.
  a.replace(mu.pair, 0, ref(d));
  a.removeAt(mu.marks, 0);
  a.append(mu.marks, integer(3));
  // An element has one owner: taken through another composite property, or
  // from that property's other end, it leaves the collection that held it.
  c.set(mu.parent, x);
  EXPECT_EQ(c.getOwner(), x);
  EXPECT_EQ(targets(a, mu.pair), (Elements{d}));
  a.append(mu.pair, ref(c));
  EXPECT_EQ(c.getOwner(), a);
  EXPECT_TRUE(targets(x, mu.kids).empty());
  EXPECT_FALSE(c.isSet(mu.parent));
  tx.commit();
}

// Deep enough that one stack frame per level would overflow the stack.
TEST_F(NodeTest, MakingWalkingDestroyingAndRollingBackADeepChainWorkAndItCannotBecomeACycle) {
  const std::size_t depth = 100000;
  ModelElement root, leaf;
  // Each node the only kid of the one before, appended at the deepest node.
  auto buildChain = [&] {
    root = leaf = node();
    for (std::size_t i = 1; i < depth; ++i) {
      ModelElement next = node();
      leaf.append(mu.kids, ref(next));
      leaf = next;
    }
  };
  rolledBack(buildChain);
  EXPECT_EQ(model->getElementCount(), 0u);
  EXPECT_TRUE(root.isDestroyed());
  EXPECT_TRUE(leaf.isDestroyed());
  inTransaction(buildChain);
  ModelElement beforeLeaf = leaf.getOwner();
  for (bool all : {false, true}) {
    Transaction tx = model->beginTransaction();
    all ? model->destroyAllElements() : root.destroy();
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

// --- How an element keeps its values ------------------------------------------
// A short text or one number is kept in place, a longer text apart, other
// values and collections as lists: each value reads back as it was set
// whatever its form, and a collection keeps its entries while its form
// changes.

TEST_F(ModelTest, TextsReadBackWholeOnEitherSideOfTheInPlaceLengthAndArraysAsCopiesOfTheirOwn) {
  const std::vector<std::u16string> names{u"", u"1234567", u"12345678", u"\u00e9t\u00e9 \u4e16\u754c",
                                          std::u16string(300, u'x')};
  const std::vector<std::string> urls{"", "12345678901234", "123456789012345", std::string(1000, 'u')};
  ModelElement b1;
  inTransaction([&] { b1 = make(mm.ebook, 1); });
  for (const std::u16string& n : names) {
    inTransaction([&] { b1.set(mm.name, str(n)); });
    EXPECT_TRUE(b1.isSet(mm.name));  // an empty text is a value
    EXPECT_EQ(b1.get(mm.name).get<std::u16string>(), n);
  }
  for (const std::string& u : urls) {
    inTransaction([&] { b1.set(mm.url, stdstr(u)); });
    EXPECT_EQ(b1.get(mm.url).get<std::string>(), u);
  }
  EXPECT_EQ(b1.get(mm.name).get<std::u16string>(), names.back());  // one slot does not spill into the next
  // An array is stored as a copy of its own.
  matrix::ArrayPtr array(matrix::createNumericArray(matrix::ClassId::Int32, {1, 2}));
  static_cast<std::int32_t*>(matrix::data(array.get()))[1] = 42;
  Transaction tx = model->beginTransaction();
  b1.set(mm.cover, Value(meta::StandardTypes::qxArrayMeta(), array.get()));
  array.reset();  // the caller frees its array once the value is stored
  Value read = b1.get(mm.cover);
  const matrix::qxArray_tag* stored = read.get<const matrix::qxArray_tag*>();
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(matrix::numberOfElements(stored), 2u);
  EXPECT_EQ(static_cast<const std::int32_t*>(matrix::data(stored))[1], 42);
  // Setting an equal array is no change; a null array is a present value.
  matrix::ArrayPtr same(matrix::duplicateArray(stored));
  EXPECT_EQ(Value(meta::StandardTypes::qxArrayMeta(), same.get()), read);
  b1.set(mm.cover, Value(meta::StandardTypes::qxArrayMeta(), static_cast<matrix::qxArray_tag*>(nullptr)));
  EXPECT_TRUE(b1.isSet(mm.cover));
  EXPECT_EQ(b1.get(mm.cover).get<matrix::qxArray_tag*>(), nullptr);
  // The value read before still holds the stored copy.
  EXPECT_EQ(static_cast<const std::int32_t*>(matrix::data(read.get<matrix::qxArray_tag*>()))[1], 42);
  tx.commit();
}

// --- Rollback --------------------------------------------------------------

// Values of every form (texts in place and apart, a datatype value) and an
// empty one-way collection filled at once take edits that a rollback undoes.
// Random edits of value collections and of graphs of two-way references,
// creations and destructions, rolled back, are the random cases of
// ValueCollectionTest, OppositeEndsTest and ReportTest.
TEST_F(ModelTest, RollbackRestoresMemoryExactly) {
  ModelElement b2, b3, p1;
  DataValue dims(mm.dimensions);
  dims.set(mm.width, Value(meta::StandardTypes::realMeta(), 2.5));
  inTransaction([&] {
    b2 = make(mm.book, 4), b3 = make(mm.ebook, 5), p1 = make(mm.person, 6);
    b2.set(mm.name, str(u"short"));
    b3.set(mm.name, str(std::u16string(300, u'x')));
    b3.set(mm.size, Value(mm.dimensions, dims));
  });
  const std::string before = dump(model);
  rolledBack([&] {
    b3.set(mm.name, str(u"s"));
    b2.set(mm.name, str(std::u16string(100, u'n')));
    b3.unset(mm.size);
    p1.set(mm.reviewed, refs(mm.reviewed, {b2, b3}));  // an empty collection filled at once
    EXPECT_NE(dump(model), before);
  });
  EXPECT_EQ(dump(model), before);
  EXPECT_EQ(b3.get(mm.size).get<DataValue>(), dims);  // not in the dump
}

}  // namespace
