// ObjectConstructor: bound storage read afresh for every object, pre-allocated
// ids, membership at construction.

#include "RepositoryFixture.hpp"

#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/optional/optional_io.hpp>

namespace vlttest {
namespace {

namespace pt = boost::posix_time;

class ObjectConstructorTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    base = makeClass("test.Base");
    thing = makeClass("test.Thing", {base});
    kind = repo.createEnumeration("test.Kind", {{"small", 1}, {"large", 2}});
    number = addProperty(base, "number", "int32", 1, 1);
    big = addProperty(thing, "big", "int64", 1, 1);
    name = addProperty(thing, "name", "ustring", 1, 1);
    note = addProperty(thing, "note", "string", 0, 1, false, false, true);
    when = addProperty(thing, "when", "DateTime", 0, 1, false, false, true);
    flag = addProperty(thing, "flag", "bool", 1, 1);
    size = addProperty(thing, "size", "test.Kind", 1, 1);
    peer = addProperty(thing, "peer", "test.Thing", 0, 1, false, false, true);
    blob = addProperty(thing, "blob", "qxarray", 0, 1);
    parts = addProperty(thing, "parts", "test.Base", 0, 0xFFFFFFFF, true, true);
  }

  vlt::ClassRef base, thing;
  vlt::EnumerationRef kind;
  vlt::PropertyRef number, big, name, note, when, flag, size, peer, blob, parts;
};

TEST_P(ObjectConstructorTest, OneConstructorMakesManyObjectsFromRefilledCells) {
  int numberCell = 0;
  long long bigCell = 0;
  std::u16string nameCell;
  boost::optional<std::string> noteCell;
  boost::optional<pt::ptime> whenCell;
  bool flagCell = false;
  vlt::EnumeralRef sizeCell;
  vlt::ObjectRef peerCell;
  matrix::ArrayPtr array(matrix::createNumericArray(matrix::ClassId::Int32, {1, 2}));
  matrix::qxArray_tag* blobCell = nullptr;
  vlt::ObjectConstructor ctor(thing);
  ctor.setPropertyValueSource(number, &numberCell);
  ctor.setPropertyValueSource(big, &bigCell);
  ctor.setPropertyValueSource(name, &nameCell);
  ctor.setPropertyValueSource(note, &noteCell);
  ctor.setPropertyValueSource(when, &whenCell);
  ctor.setPropertyValueSource(flag, &flagCell);
  ctor.setPropertyValueSource(size, &sizeCell);
  ctor.setPropertyValueSource(peer, &peerCell);
  ctor.setPropertyValueSource(blob, &blobCell);
  repo.performDictionaryFunction([&] {
    vlt::ObjectRef previous;
    for (unsigned i = 0; i < 300; ++i) {
      numberCell = static_cast<int>(i);
      bigCell = -static_cast<long long>(i) * 1000000000000ll;
      nameCell = u"thing " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
      noteCell = i % 2 ? boost::optional<std::string>("odd") : boost::none;
      whenCell = i % 3 ? boost::optional<pt::ptime>(pt::ptime(pt::pos_infin)) : boost::none;
      flagCell = i % 5 == 0;
      sizeCell = kind.findEnumeral(i % 2 ? 2 : 1);
      peerCell = previous;
      blobCell = i == 7 ? array.get() : nullptr;
      ctor.setObjectUUID(makeUuid(i + 1));
      previous = ctor.createObject(repo.defaultDataModel());
      EXPECT_EQ(previous.objectClass(), thing);
    }
  });
  reopen();
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Thing")), 300u);
  for (unsigned i : {0u, 7u, 150u, 299u}) {
    SCOPED_TRACE(i);
    vlt::ObjectRef o = find(i + 1, "test.Base");
    ASSERT_FALSE(o.isNull());
    int n = -1;
    long long b = 0;
    std::u16string s;
    boost::optional<std::string> t;
    boost::optional<pt::ptime> w;
    vlt::Boolean f;
    vlt::EnumeralRef k;
    vlt::ObjectRef p;
    matrix::qxArray_tag* a = nullptr;
    o.getPropertyValue(property("test.Base", "number"), n);
    o.getPropertyValue(property("test.Thing", "big"), b);
    o.getPropertyValue(property("test.Thing", "name"), s);
    o.getPropertyValue(property("test.Thing", "note"), t);
    o.getPropertyValue(property("test.Thing", "when"), w);
    o.getPropertyValue(property("test.Thing", "flag"), f);
    o.getPropertyValue(property("test.Thing", "size"), k);
    o.getPropertyValue(property("test.Thing", "peer"), p);
    o.getPropertyValue(property("test.Thing", "blob"), a);
    matrix::ArrayPtr owned(a);
    EXPECT_EQ(n, static_cast<int>(i));
    EXPECT_EQ(b, -static_cast<long long>(i) * 1000000000000ll);
    EXPECT_EQ(s, u"thing " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)));
    EXPECT_EQ(t, i % 2 ? boost::optional<std::string>("odd") : boost::none);
    EXPECT_EQ(w.has_value(), i % 3 != 0);
    EXPECT_EQ(bool(f), i % 5 == 0);
    EXPECT_EQ(k.id(), i % 2 ? 2 : 1);
    if (i == 0) {
      EXPECT_TRUE(p.isNull());
    } else {
      EXPECT_EQ(p.objectIdentity(), makeUuid(i));
    }
    EXPECT_EQ(a != nullptr, i == 7);
    if (i == 7) {
      EXPECT_TRUE(matrix::arraysEqual(a, array.get()));
    }
  }
}

TEST_P(ObjectConstructorTest, ANewObjectRefersToAnotherNewObjectThroughItsPreAllocatedId) {
  vlt::ObjectId first = 0;
  repo.allocateObjectIds(2, first);
  vlt::ObjectRef peerCell = repo.getObjectRef(first + 1, thing);
  vlt::ObjectConstructor ctor(thing);
  ctor.setPropertyValueSource(peer, &peerCell);
  repo.performDictionaryFunction([&] {
    ctor.setObjectID(first);
    ctor.setObjectUUID(makeUuid(1));
    ctor.createObject(repo.defaultDataModel());  // refers to an object that does not exist yet
    peerCell = vlt::ObjectRef();
    ctor.setObjectID(first + 1);
    ctor.setObjectUUID(makeUuid(2));
    ctor.createObject(repo.defaultDataModel());
  });
  reopen();
  vlt::ObjectRef target;
  find(1, "test.Thing").getPropertyValue(property("test.Thing", "peer"), target);
  EXPECT_EQ(target.objectId(), first + 1);
  EXPECT_EQ(target.objectIdentity(), makeUuid(2));
}

TEST_P(ObjectConstructorTest, MembershipGivenAtConstructionPlacesChildrenAtTheirOrdinals) {
  vlt::ObjectId first = 0;
  repo.allocateObjectIds(4, first);
  vlt::PropertyRef membership;
  std::int32_t ownerId = 0;
  std::int32_t ordinal = 0;
  vlt::ObjectConstructor child(base);
  child.setCompositionMembershipSource(&membership, &ownerId, &ordinal);
  repo.performDictionaryFunction([&] {
    // Children first, at ordinals 3, 0 and 1; the owner is created last.
    membership = parts;
    ownerId = first;
    const int ordinals[] = {3, 0, 1};
    for (int i = 0; i < 3; ++i) {
      ordinal = ordinals[i];
      child.setObjectID(first + 1 + i);
      child.setObjectUUID(makeUuid(10 + static_cast<unsigned>(i)));
      child.createObject(repo.defaultDataModel());
    }
    membership = vlt::PropertyRef();
    child.setObjectUUID(makeUuid(20));
    child.createObject(repo.defaultDataModel());  // unowned: the source says no property
    vlt::ObjectConstructor owner(thing);
    owner.setObjectID(first);
    owner.setObjectUUID(makeUuid(1));
    owner.createObject(repo.defaultDataModel());
  });
  reopen();
  std::vector<vlt::ObjectRef> kids;
  find(1, "test.Thing").getPropertyValue(property("test.Thing", "parts"), kids);
  ASSERT_EQ(kids.size(), 3u);
  EXPECT_EQ(kids[0].objectIdentity(), makeUuid(11));
  EXPECT_EQ(kids[1].objectIdentity(), makeUuid(12));
  EXPECT_EQ(kids[2].objectIdentity(), makeUuid(10));
  vlt::ObjectRef owner;
  vlt::PropertyRef through;
  std::uint64_t position = 0;
  find(10, "test.Base").getOwnership(owner, through, position);
  EXPECT_EQ(owner.objectIdentity(), makeUuid(1));
  EXPECT_EQ(through.name(), "parts");
  EXPECT_EQ(position, 2u);
  find(20, "test.Base").getOwnership(owner, through, position);
  EXPECT_TRUE(owner.isNull());
}

TEST_P(ObjectConstructorTest, BindingsThatCannotWorkAreRefused) {
  vlt::ObjectConstructor ctor(base);
  int cell = 0;
  std::u16string text;
  std::vector<vlt::ObjectRef> many;
  EXPECT_THROW(ctor.setPropertyValueSource(big, &cell), vlt::UsageError) << "a Thing property on a Base";
  vlt::ObjectConstructor things(thing);
  EXPECT_THROW(things.setPropertyValueSource(number, &text), vlt::UsageError) << "type mismatch";
  EXPECT_THROW(things.setPropertyValueSource(parts, &cell), vlt::UsageError) << "composite collection";
  EXPECT_THROW(vlt::ObjectConstructor{vlt::ClassRef()}, vlt::UsageError);
}

TEST_P(ObjectConstructorTest, PropertiesAppendedLaterCanBeBoundToAnExistingConstructor) {
  int numberCell = 4;
  vlt::ObjectConstructor ctor(base);
  ctor.setPropertyValueSource(number, &numberCell);
  ctor.createObject(repo.defaultDataModel());
  vlt::PropertyRef late = addProperty(base, "late", "real64", 0, 1, false, false, true);
  double lateCell = 2.5;
  ctor.setPropertyValueSource(late, &lateCell);
  ctor.setObjectUUID(makeUuid(2));
  vlt::ObjectRef o = ctor.createObject(repo.defaultDataModel());
  double read = 0;
  o.getPropertyValue(late, read);
  EXPECT_EQ(read, 2.5);
}

TEST_P(ObjectConstructorTest, AFailedCreationLeavesNothingBehind) {
  create(thing, 1);
  int numberCell = 9;
  vlt::ObjectConstructor ctor(thing);
  ctor.setPropertyValueSource(number, &numberCell);
  ctor.setObjectUUID(makeUuid(1));
  EXPECT_THROW(ctor.createObject(repo.defaultDataModel()), vlt::ConstraintError);
  EXPECT_EQ(repo.defaultDataModel().countObjects(base), 1u);
  ctor.setObjectUUID(makeUuid(2));
  EXPECT_EQ(ctor.createObject(repo.defaultDataModel()).objectIdentity(), makeUuid(2));
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectConstructorTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
