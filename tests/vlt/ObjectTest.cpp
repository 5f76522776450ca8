// Objects: identity and class, ownership, cascading deletion, incoming links.

#include "RepositoryFixture.hpp"

#include <tuple>

namespace vlttest {
namespace {

class ObjectTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    base = makeClass("test.Base");
    node = makeClass("test.Node", {base});
    leaf = makeClass("test.Leaf", {node});
    label = addProperty(base, "label", "ustring", 0, 1, false, false, true);
    kids = addProperty(node, "kids", "test.Base", 0, 0xFFFFFFFF, true, true);
    only = addProperty(node, "only", "test.Base", 0, 1, true);
    watch = addProperty(base, "watch", "test.Base", 0, 0xFFFFFFFF, false, true, false, false);
    mirror = addProperty(base, "mirror", "test.Base", 0, 0xFFFFFFFF, false, true, false, false, "mirror");
    best = addProperty(base, "best", "test.Base", 0, 1, false, false, true);
  }
  std::tuple<vlt::ObjectRef, vlt::PropertyRef, std::uint64_t> ownership(unsigned uuid) {
    vlt::ObjectRef owner;
    vlt::PropertyRef through;
    std::uint64_t ordinal = 77;
    find(uuid, "test.Base").getOwnership(owner, through, ordinal);
    return {owner, through, ordinal};
  }

  vlt::ClassRef base, node, leaf;
  vlt::PropertyRef label, kids, only, watch, mirror, best;
};

TEST_P(ObjectTest, FindObjectGivesTheObjectsOwnClassAndHonoursTheAskedClass) {
  vlt::ObjectRef l = create(leaf, 1);
  create(base, 2);
  reopen();
  vlt::ObjectRef byBase = find(1, "test.Base");
  ASSERT_FALSE(byBase.isNull());
  EXPECT_EQ(byBase.objectClass().qualifiedName(), "test.Leaf");
  EXPECT_EQ(byBase.objectRuntimeClass().qualifiedName(), "test.Leaf");
  EXPECT_EQ(byBase, find(1, "test.Leaf")) << "the same object through any class of its lineage";
  EXPECT_TRUE(find(2, "test.Node").isNull()) << "a Base is not a Node";
  EXPECT_TRUE(find(3, "test.Base").isNull());
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Node")), 1u);
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 2u);
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base"), false), 1u);
}

TEST_P(ObjectTest, OwnershipReportsOwnerPropertyAndPosition) {
  vlt::ObjectRef root = create(node, 1);
  vlt::ObjectRef a = create(leaf, 2);
  vlt::ObjectRef b = create(base, 3);
  vlt::ObjectRef single = create(base, 4);
  root.setPropertyValue(kids, std::vector<vlt::ObjectRef>{a, b}, false);
  root.setPropertyValue(only, single);
  reopen();
  auto [owner, through, ordinal] = ownership(3);
  EXPECT_EQ(owner.objectIdentity(), makeUuid(1));
  EXPECT_EQ(owner.objectClass().qualifiedName(), "test.Node");
  EXPECT_EQ(through.name(), "kids");
  EXPECT_EQ(ordinal, 1u);
  std::tie(owner, through, ordinal) = ownership(4);
  EXPECT_EQ(through.name(), "only");
  EXPECT_EQ(ordinal, 0u);
  std::tie(owner, through, ordinal) = ownership(1);
  EXPECT_TRUE(owner.isNull());
  EXPECT_EQ(owner.objectId(), 0);
  EXPECT_TRUE(through.isNull());
  EXPECT_EQ(ordinal, 0u);
  vlt::ObjectRef child;
  find(1, "test.Node").getPropertyValue(findClass("test.Node").findProperty("only"), child);
  EXPECT_EQ(child.objectIdentity(), makeUuid(4));
  EXPECT_EQ(repo.defaultDataModel().rootObjects().size(), 1u);
}

TEST_P(ObjectTest, AnObjectCannotOwnItselfOrItsOwner) {
  vlt::ObjectRef a = create(node, 1);
  vlt::ObjectRef b = create(node, 2);
  a.setPropertyValue(only, b);
  EXPECT_THROW(b.setPropertyValue(only, a), vlt::UsageError);
  EXPECT_THROW(a.setPropertyValue(kids, std::vector<vlt::ObjectRef>{a}, false), vlt::UsageError);
  auto [owner, through, ordinal] = ownership(1);
  EXPECT_TRUE(owner.isNull());
}

TEST_P(ObjectTest, DeletingAnObjectDeletesWhatItOwnsRecursivelyAndTheLinksToThem) {
  vlt::ObjectRef top = create(node, 1);
  vlt::ObjectRef mid = create(node, 2);
  vlt::ObjectRef low = create(leaf, 3);
  vlt::ObjectRef outsider = create(base, 4);
  vlt::ObjectRef keeper = create(base, 5);
  top.setPropertyValue(kids, std::vector<vlt::ObjectRef>{mid}, false);
  mid.setPropertyValue(only, low);
  low.setPropertyValue(label, std::u16string(u"low"));
  low.setPropertyValue(watch, std::vector<vlt::ObjectRef>{outsider}, false);
  keeper.setPropertyValue(watch, std::vector<vlt::ObjectRef>{outsider, low, mid, keeper}, false);
  keeper.setPropertyValue(best, low);
  outsider.setPropertyValue(best, keeper);
  top.deleteObject();
  reopen();
  EXPECT_TRUE(find(1, "test.Base").isNull());
  EXPECT_TRUE(find(2, "test.Base").isNull());
  EXPECT_TRUE(find(3, "test.Base").isNull());
  ASSERT_FALSE(find(4, "test.Base").isNull());
  vlt::ObjectRef k = find(5, "test.Base");
  std::vector<vlt::ObjectRef> watched;
  k.getPropertyValue(property("test.Base", "watch"), watched);
  ASSERT_EQ(watched.size(), 2u) << "links to deleted objects are removed, the rest keep their order";
  EXPECT_EQ(watched[0].objectIdentity(), makeUuid(4));
  EXPECT_EQ(watched[1].objectIdentity(), makeUuid(5));
  vlt::ObjectRef bestOf;
  k.getPropertyValue(property("test.Base", "best"), bestOf);
  EXPECT_TRUE(bestOf.isNull());
  find(4, "test.Base").getPropertyValue(property("test.Base", "best"), bestOf);
  EXPECT_EQ(bestOf.objectIdentity(), makeUuid(5));
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 2u);
  EXPECT_THROW(outsider.deleteObject(), vlt::UsageError) << "its handle belongs to the closed repository";
}

TEST_P(ObjectTest, DeletingAnOwnedObjectLeavesItsOwnerAndSiblings) {
  vlt::ObjectRef top = create(node, 1);
  std::vector<vlt::ObjectRef> children{create(base, 2), create(base, 3), create(base, 4)};
  top.setPropertyValue(kids, children, false);
  children[1].deleteObject();
  reopen();
  std::vector<vlt::ObjectRef> left;
  find(1, "test.Node").getPropertyValue(property("test.Node", "kids"), left);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[1].objectIdentity(), makeUuid(4));
  EXPECT_EQ(std::get<2>(ownership(4)), 1u) << "the position counts the remaining siblings";
}

TEST_P(ObjectTest, IncomingUnidirectionalCollectionsAreReportedWithPositionsAndCanBeCut) {
  vlt::ObjectRef target = create(leaf, 1);
  vlt::ObjectRef x = create(base, 2);
  vlt::ObjectRef y = create(base, 3);
  x.setPropertyValue(watch, std::vector<vlt::ObjectRef>{y, target, x}, false);
  y.setPropertyValue(watch, std::vector<vlt::ObjectRef>{target}, false);
  y.setPropertyValue(mirror, std::vector<vlt::ObjectRef>{target}, false);  // has an opposite: not reported
  y.setPropertyValue(best, target);                                         // single-valued: not reported
  std::vector<std::tuple<unsigned, std::string, std::size_t>> seen;
  target.processIncomingMultiValuedUnidirectionalAssociations([&](vlt::CollectionRef& c, std::size_t index) {
    seen.emplace_back(c.owningObject().objectIdentity().data[15], c.owningProperty().name(), index);
    c.removeAt(index);
  });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], std::make_tuple(2u, std::string("watch"), std::size_t{1}));
  EXPECT_EQ(seen[1], std::make_tuple(3u, std::string("watch"), std::size_t{0}));
  reopen();
  std::vector<vlt::ObjectRef> left;
  find(2, "test.Base").getPropertyValue(property("test.Base", "watch"), left);
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[0].objectIdentity(), makeUuid(3));
  EXPECT_EQ(left[1].objectIdentity(), makeUuid(2));
}

TEST_P(ObjectTest, IncomingEntriesOfOneCollectionComeInDescendingOrder) {
  vlt::ObjectRef target = create(base, 1);
  vlt::ObjectRef x = create(base, 2);
  vlt::PropertyRef loose = addProperty(base, "loose", "test.Base", 0, 0xFFFFFFFF, false, true, false, false);
  x.setPropertyValue(loose, std::vector<vlt::ObjectRef>{target, x, target, target}, false);
  std::vector<std::size_t> indexes;
  target.processIncomingMultiValuedUnidirectionalAssociations([&](vlt::CollectionRef& c, std::size_t index) {
    indexes.push_back(index);
    c.removeAt(index);
  });
  EXPECT_EQ(indexes, (std::vector<std::size_t>{3, 2, 0}));
  std::vector<vlt::ObjectRef> left;
  x.getPropertyValue(loose, left);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0], x);
}

TEST_P(ObjectTest, DeleteAllObjectsEmptiesTheDataModelAndKeepsTheMetamodel) {
  vlt::ObjectRef top = create(node, 1);
  top.setPropertyValue(kids, std::vector<vlt::ObjectRef>{create(base, 2)}, false);
  top.setPropertyValue(label, std::u16string(u"x"));
  repo.defaultDataModel().deleteAllObjects();
  reopen();
  EXPECT_TRUE(repo.defaultDataModel().rootObjects().empty());
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 0u);
  ASSERT_FALSE(findClass("test.Node").isNull());
  // A new object with the old uuid starts empty.
  vlt::ObjectRef again = create(findClass("test.Node"), 1);
  boost::optional<std::u16string> text;
  again.getPropertyValue(property("test.Base", "label"), text);
  EXPECT_FALSE(text);
  EXPECT_NE(again.objectId(), top.objectId()) << "ids are not handed out twice";
}

TEST_P(ObjectTest, PreAllocatedIdsGiveHandlesBeforeTheObjectsExist) {
  vlt::ObjectId first = 0;
  repo.allocateObjectIds(3, first);
  vlt::ObjectId next = 0;
  repo.allocateObjectIds(1, next);
  EXPECT_EQ(next, first + 3);
  vlt::ObjectRef early = repo.getObjectRef(first + 1, node);
  EXPECT_EQ(early.objectId(), first + 1);
  EXPECT_FALSE(early.exists());
  vlt::ObjectConstructor ctor(node);
  ctor.setObjectID(first + 1);
  ctor.setObjectUUID(makeUuid(9));
  vlt::ObjectRef made = ctor.createObject(repo.defaultDataModel());
  EXPECT_EQ(made, early);
  EXPECT_TRUE(early.exists());
  EXPECT_EQ(early.objectIdentity(), makeUuid(9));
  ctor.setObjectID(first + 1);
  ctor.setObjectUUID(makeUuid(10));
  EXPECT_THROW(ctor.createObject(repo.defaultDataModel()), vlt::ConstraintError);
  ctor.setObjectUUID(makeUuid(9));
  EXPECT_THROW(ctor.createObject(repo.defaultDataModel()), vlt::ConstraintError) << "the uuid is taken";
  EXPECT_EQ(repo.defaultDataModel().countObjects(node), 1u);
}

TEST_P(ObjectTest, ACallThatFailsHalfWayInsideATransactionChangesNothing) {
  vlt::ObjectRef top = create(node, 1);
  vlt::ObjectRef a = create(base, 2);
  vlt::ObjectRef b = create(base, 3);
  vlt::ObjectRef c = create(base, 4);
  top.setPropertyValue(kids, std::vector<vlt::ObjectRef>{a, b}, false);
  vlt::ObjectId spare = 0;
  repo.allocateObjectIds(1, spare);
  repo.beginTransaction();
  // c is attached first, then the missing object stops the call.
  EXPECT_THROW(top.setPropertyValue(kids, std::vector<vlt::ObjectRef>{c, repo.getObjectRef(spare, base)}, false),
               vlt::ObjectNotFoundError);
  std::vector<vlt::ObjectRef> now;
  top.getPropertyValue(kids, now);
  EXPECT_EQ(now, (std::vector<vlt::ObjectRef>{a, b}));
  EXPECT_TRUE(std::get<0>(ownership(4)).isNull());
  c.setPropertyValue(label, std::u16string(u"still usable"));
  repo.commitTransaction();
  reopen();
  boost::optional<std::u16string> text;
  find(4, "test.Base").getPropertyValue(property("test.Base", "label"), text);
  ASSERT_TRUE(text);
  EXPECT_TRUE(*text == u"still usable");
}

TEST_P(ObjectTest, HandlesOfAnotherRepositoryAreRefused) {
  vlt::ObjectRef mine = create(node, 1);
  Repo other;
  other.open(dir.file("other.db"), "", options);
  vlt::ClassRef foreign = other.createClass("test.Base", {});
  vlt::PropertyRef foreignLabel = other.appendPropertyToClass(foreign, "label", "ustring", "", 0, 1, false, false,
                                                              true, "", Repo::byReference, "", boost::uuids::uuid{},
                                                              true);
  vlt::ObjectConstructor ctor(foreign);
  vlt::ObjectRef theirs = ctor.createObject(other.defaultDataModel());
  EXPECT_THROW(repo.defaultDataModel().findObject(makeUuid(1), foreign), vlt::UsageError);
  EXPECT_THROW(repo.defaultDataModel().countObjects(foreign), vlt::UsageError);
  EXPECT_THROW(repo.getObjectRef(1, foreign), vlt::UsageError);
  EXPECT_THROW(mine.setPropertyValue(foreignLabel, std::u16string(u"x")), vlt::UsageError);
  EXPECT_THROW(mine.setPropertyValue(best, theirs), vlt::UsageError);
  EXPECT_THROW(ctor.createObject(repo.defaultDataModel()), vlt::UsageError);
  vlt::ObjectConstructor local(node);
  std::u16string cell;
  EXPECT_THROW(local.setPropertyValueSource(foreignLabel, &cell), vlt::UsageError);
  vlt::PropertyRef membership = foreignLabel;
  std::int32_t owner = 1;
  std::int32_t ordinal = 0;
  local.setCompositionMembershipSource(&membership, &owner, &ordinal);
  EXPECT_THROW(local.createObject(repo.defaultDataModel()), vlt::UsageError);
  EXPECT_EQ(repo.defaultDataModel().countObjects(base), 1u);
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
