// Live collections keep their order through inserts, removals and
// replacements, and every edit is stored.

#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

class CollectionTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    item = makeClass("test.Item");
    name = addProperty(item, "name", "ustring", 1, 1);
    owner = makeClass("test.Owner");
    links = addProperty(owner, "links", "test.Item", 0, 0xFFFFFFFF, false, true);
    parts = addProperty(owner, "parts", "test.Item", 0, 0xFFFFFFFF, true, true);
    numbers = addProperty(owner, "numbers", "int32", 0, 0xFFFFFFFF, false, true, false, false);
    tags = addProperty(owner, "tags", "ustring", 0, 0xFFFFFFFF, false, false, false, true);
    level = repo.createEnumeration("test.Level", {{"low", 0}, {"high", 9}});
    levels = addProperty(owner, "levels", "test.Level", 0, 0xFFFFFFFF, false, true, false, false);
    o = create(owner, 1);
    for (unsigned i = 0; i < 5; ++i) items.push_back(create(item, 100 + i));
  }
  // The uuids (as small numbers) of the stored collection, read after a reopen.
  std::vector<unsigned> storedOrder(const std::string& prop) {
    reopen();
    std::vector<vlt::ObjectRef> objects;
    find(1, "test.Owner").getPropertyValue(property("test.Owner", prop), objects);
    std::vector<unsigned> out;
    for (const auto& x : objects) out.push_back(x.objectIdentity().data[15] + 256u * x.objectIdentity().data[14]);
    refresh();
    return out;
  }
  // Handles of a closed repository are dead: take them again after a reopen.
  void refresh() {
    o = find(1, "test.Owner");
    for (unsigned i = 0; i < items.size(); ++i) items[i] = find(100 + i, "test.Item");
    item = findClass("test.Item");
    owner = findClass("test.Owner");
    name = item.findProperty("name");
    links = owner.findProperty("links");
    parts = owner.findProperty("parts");
    numbers = owner.findProperty("numbers");
    tags = owner.findProperty("tags");
    levels = owner.findProperty("levels");
    level = repo.metamodel().findEnumeration("test.Level");
  }
  vlt::CollectionRef live(const vlt::PropertyRef& p) {
    vlt::CollectionRef c;
    o.getPropertyValue(p, c);
    return c;
  }

  vlt::ClassRef item, owner;
  vlt::PropertyRef name, links, parts, numbers, tags, levels;
  vlt::EnumerationRef level;
  vlt::ObjectRef o;
  std::vector<vlt::ObjectRef> items;
};

TEST_P(CollectionTest, LinksKeepOrderThroughInsertsAtIndexRemovalsAndReplacements) {
  for (const char* prop : {"links", "parts"}) {
    SCOPED_TRACE(prop);
    vlt::CollectionRef c = live(property("test.Owner", prop));
    c.push_back(items[0]);
    c.push_back(items[1]);
    c.push_back(items[2], 0u);            // 2 0 1
    c.push_back(items[3], 2u);            // 2 0 3 1
    c.push_back(items[4], c.size());      // 2 0 3 1 4
    EXPECT_EQ(storedOrder(prop), (std::vector<unsigned>{102, 100, 103, 101, 104}));
    c = live(property("test.Owner", prop));
    c.removeAt(1);                        // 2 3 1 4
    c.setAt(0, items[0]);                 // 0 3 1 4
    EXPECT_TRUE(c.remove(items[1]));      // 0 3 4
    EXPECT_FALSE(c.remove(items[2]));
    EXPECT_EQ(c.size(), 3u);
    EXPECT_EQ(c.indexOf(items[4]), 2u);
    EXPECT_EQ(c.indexOf(items[1]), vlt::CollectionRefBase::npos);
    EXPECT_EQ(c.at(1).objectIdentity(), makeUuid(103));
    EXPECT_EQ(storedOrder(prop), (std::vector<unsigned>{100, 103, 104}));
    c = live(property("test.Owner", prop));
    EXPECT_THROW(c.push_back(items[1], 9u), vlt::UsageError);
    EXPECT_THROW(c.removeAt(3), vlt::UsageError);
    EXPECT_THROW(c.setAt(3, items[1]), vlt::UsageError);
    EXPECT_EQ(storedOrder(prop), (std::vector<unsigned>{100, 103, 104})) << "a refused edit changes nothing";
  }
}

TEST_P(CollectionTest, CompositeCollectionsGiveOwnershipAndDetachOnRemoval) {
  vlt::CollectionRef c = live(parts);
  c.push_back(items[0]);
  c.push_back(items[1]);
  c.push_back(items[2], 0u);
  reopen();
  refresh();
  vlt::ObjectRef owner2;
  vlt::PropertyRef through;
  std::uint64_t ordinal = 99;
  find(100, "test.Item").getOwnership(owner2, through, ordinal);
  EXPECT_EQ(owner2.objectIdentity(), makeUuid(1));
  EXPECT_EQ(through, parts);
  EXPECT_EQ(ordinal, 1u);
  o = find(1, "test.Owner");
  c = live(property("test.Owner", "parts"));
  c.removeAt(0);
  find(102, "test.Item").getOwnership(owner2, through, ordinal);
  EXPECT_TRUE(owner2.isNull()) << "a removed part becomes a root, it is not deleted";
  EXPECT_TRUE(through.isNull());
  EXPECT_TRUE(find(102, "test.Item").exists());
  // Moving an owned object within its collection.
  c.push_back(items[1], 0u);
  EXPECT_EQ(storedOrder("parts"), (std::vector<unsigned>{101, 100}));
}

TEST_P(CollectionTest, AppendingToACompositeCollectionMovesTheObjectToTheEnd) {
  vlt::ObjectRef other = create(owner, 2);
  vlt::CollectionRef mine = live(parts);
  vlt::CollectionRef theirs;
  other.getPropertyValue(parts, theirs);
  theirs.push_back(items[4]);
  for (int i = 0; i < 4; ++i) mine.push_back(items[static_cast<std::size_t>(i)]);
  mine.push_back(items[4]);  // leaves the other owner
  mine.push_back(items[1]);  // already here: moves to the end
  EXPECT_EQ(theirs.size(), 0u);
  EXPECT_EQ(storedOrder("parts"), (std::vector<unsigned>{100, 102, 103, 104, 101}));
  vlt::ObjectRef ownerOf;
  vlt::PropertyRef through;
  std::uint64_t position = 0;
  items[4].getOwnership(ownerOf, through, position);
  EXPECT_EQ(ownerOf, o);
  EXPECT_EQ(position, 3u);
}

TEST_P(CollectionTest, BuiltinAndEnumeralCollectionsEditInPlace) {
  vlt::BuiltinTypeCollectionRef<int> n;
  o.getPropertyValue(numbers, n);
  n.push_back(5);
  n.push_back(7);
  n.push_back(5);
  n.setAt(1, 8);
  EXPECT_EQ(n.indexOf(5), 0u);
  EXPECT_TRUE(n.remove(5));
  EXPECT_EQ(n.at(0), 8);
  vlt::EnumeralCollectionRef e;
  o.getPropertyValue(levels, e);
  e.push_back(level.findEnumeral(9));
  e.push_back(level.findEnumeral(0));
  e.setAt(0, level.findEnumeral(0));
  EXPECT_EQ(e.indexOf(level.findEnumeral(9)), vlt::CollectionRefBase::npos);
  reopen();
  refresh();
  std::vector<int> values;
  std::vector<vlt::EnumeralRef> enumerals;
  find(1, "test.Owner").getPropertyValue(property("test.Owner", "numbers"), values);
  find(1, "test.Owner").getPropertyValue(property("test.Owner", "levels"), enumerals);
  EXPECT_EQ(values, (std::vector<int>{8, 5}));
  ASSERT_EQ(enumerals.size(), 2u);
  EXPECT_EQ(enumerals[0].name(), "low");
  EXPECT_EQ(enumerals[1].name(), "low");
}

TEST_P(CollectionTest, UniqueCollectionsRefuseDuplicates) {
  vlt::BuiltinTypeCollectionRef<std::u16string> t;
  o.getPropertyValue(tags, t);
  t.push_back(u"a");
  t.push_back(u"b");
  EXPECT_THROW(t.push_back(u"a"), vlt::ConstraintError);
  EXPECT_THROW(t.setAt(1, u"a"), vlt::ConstraintError);
  t.setAt(0, u"a");  // replacing a value by itself is fine
  EXPECT_THROW(o.setPropertyValue(tags, std::vector<std::u16string>{u"x", u"x"}), vlt::ConstraintError);
  vlt::CollectionRef l = live(links);
  l.push_back(items[0]);
  EXPECT_THROW(l.push_back(items[0]), vlt::ConstraintError);
  std::vector<std::u16string> stored;
  o.getPropertyValue(tags, stored);
  EXPECT_EQ(stored, (std::vector<std::u16string>{u"a", u"b"}));
}

TEST_P(CollectionTest, WholeVectorWritesReplaceTheCollection) {
  o.setPropertyValue(links, std::vector<vlt::ObjectRef>{items[3], items[1]}, false);
  o.setPropertyValue(links, std::vector<vlt::ObjectRef>{items[2], items[3]}, false);
  EXPECT_EQ(storedOrder("links"), (std::vector<unsigned>{102, 103}));
  o.setPropertyValue(parts, std::vector<vlt::ObjectRef>{items[0], items[1]}, false);
  o.setPropertyValue(parts, std::vector<vlt::ObjectRef>{items[1]}, false);
  EXPECT_EQ(storedOrder("parts"), (std::vector<unsigned>{101}));
  vlt::ObjectRef former;
  vlt::PropertyRef through;
  std::uint64_t ordinal = 0;
  find(100, "test.Item").getOwnership(former, through, ordinal);
  EXPECT_TRUE(former.isNull()) << "dropped from a composite collection: a root again";
}

TEST_P(CollectionTest, SingleValuedPropertiesHaveNoCollection) {
  vlt::ObjectRef i = items[0];
  vlt::BuiltinTypeCollectionRef<std::u16string> c;
  EXPECT_THROW(i.getPropertyValue(name, c), vlt::UsageError);
}

INSTANTIATE_TEST_SUITE_P(Backends, CollectionTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
