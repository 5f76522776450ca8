// ObjectConstructor: bound storage read afresh for every object, pre-allocated
// ids, membership at construction.

#include "RawSqlite.hpp"
#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

namespace pt = boost::posix_time;

class ObjectConstructorTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {  // one commit
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
    });
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
  matrix::ArrayPtr array(matrix::createNumericArray(matrix::ClassId::Int32, {1, 2}));
  matrix::qxArray_tag* blobCell = nullptr;
  // The values of object i + 1 (its peer is object i).
  auto fill = [&](unsigned i) {
    numberCell = static_cast<int>(i);
    bigCell = -static_cast<long long>(i) * 1000000000000ll;
    nameCell = u"thing " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    noteCell = i % 2 ? boost::optional<std::string>("odd") : boost::none;
    whenCell = i % 3 ? boost::optional<pt::ptime>(pt::ptime(pt::pos_infin)) : boost::none;
    flagCell = i % 5 == 0;
    sizeCell = kind.findEnumeral(i % 2 ? 2 : 1);
    blobCell = i == 7 ? array.get() : nullptr;
  };
  vlt::ObjectRef peerCell;
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
    for (unsigned i = 0; i < 300; ++i) {
      fill(i);
      peerCell = construct(ctor, i + 1);
      EXPECT_EQ(peerCell.objectClass(), thing);
    }
  });
  EXPECT_EQ(repo.defaultDataModel().countObjects(thing), 300u);
  for (unsigned i : {0u, 7u, 150u, 299u}) {
    SCOPED_TRACE(i);
    fill(i);
    expectStored(i + 1, entry("number", numberCell), entry("big", bigCell), entry("name", nameCell),
                 entry("note", noteCell), entry("when", whenCell), entry("flag", vlt::Boolean(flagCell)),
                 entry("size", sizeCell), entry("peer", Obj{i}), entry("blob", blobCell));
  }
}

// Ids a transaction reserved for objects without an id but did not use are
// given back: numbering stays dense across implicit and explicit
// transactions, and goes on past ids reserved for the caller. Ids that cannot
// be or were not reserved are refused.
TEST_P(ObjectConstructorTest, AutomaticIdsStayConsecutiveAndIdsNotReservedAreRefused) {
  const auto nextAutomaticId = [&](unsigned uuid) { return create(base, uuid).objectId(); };
  const vlt::ObjectId automatic = nextAutomaticId(1);
  EXPECT_EQ(nextAutomaticId(2), automatic + 1);
  repo.performDictionaryFunction([&] { EXPECT_EQ(nextAutomaticId(3), automatic + 2); });
  repo.beginTransaction();
  EXPECT_EQ(nextAutomaticId(4), automatic + 3);
  repo.commitTransaction();
  repo.beginTransaction();
  nextAutomaticId(5);
  repo.rollbackTransaction();
  EXPECT_EQ(nextAutomaticId(6), automatic + 4);

  vlt::ObjectId first = 0;
  EXPECT_THROW(repo.allocateObjectIds(std::numeric_limits<std::size_t>::max(), first), vlt::UsageError);
  EXPECT_THROW(repo.allocateObjectIds(std::numeric_limits<vlt::ObjectId>::max(), first), vlt::UsageError);
  vlt::ObjectConstructor ctor(base);
  for (vlt::ObjectId id : {vlt::ObjectId{-5}, vlt::ObjectId{1000000}}) {
    ctor.setObjectID(id);
    EXPECT_THAT(messageOf<vlt::UsageError>([&] { ctor.createObject(repo.defaultDataModel()); }),
                ::testing::HasSubstr("not reserved"));
  }
  repo.beginTransaction();
  repo.allocateObjectIds(10, first);
  repo.rollbackTransaction();
  ctor.setObjectID(first + 3);
  EXPECT_THROW(ctor.createObject(repo.defaultDataModel()), vlt::UsageError) << "its reservation was rolled back";
  repo.allocateObjectIds(10, first);
  ctor.setObjectID(first + 9);
  EXPECT_EQ(ctor.createObject(repo.defaultDataModel()).objectId(), first + 9);
  reopen();  // automatic ids go on past them, also after reopening
  base = findClass("test.Base");
  EXPECT_EQ(nextAutomaticId(7), first + 10);
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
      construct(child, 10 + static_cast<unsigned>(i), first + 1 + i);
    }
    membership = vlt::PropertyRef();
    construct(child, 20);  // unowned: the source says no property
    vlt::ObjectConstructor owner(thing);
    construct(owner, 1, first);
  });
  expectStored(1, entry("parts", objects({11, 12, 10})));
  EXPECT_EQ(ownerOf(10), "1.parts[2]");
  EXPECT_EQ(ownerOf(20), "root");
}

// Bindings are checked when they are made; a property appended after the
// constructor was made can be bound to it.
TEST_P(ObjectConstructorTest, BindingsThatCannotWorkAreRefusedAndLatePropertiesCanBeBound) {
  vlt::ObjectConstructor ctor(base);
  int cell = 0;
  std::u16string text;
  EXPECT_THROW(ctor.setPropertyValueSource(big, &cell), vlt::UsageError) << "a Thing property on a Base";
  vlt::ObjectConstructor things(thing);
  EXPECT_THROW(things.setPropertyValueSource(number, &text), vlt::UsageError) << "type mismatch";
  EXPECT_THROW(things.setPropertyValueSource(parts, &cell), vlt::UsageError) << "composite collection";
  EXPECT_THROW(vlt::ObjectConstructor{vlt::ClassRef()}, vlt::UsageError);
  int numberCell = 4;
  ctor.setPropertyValueSource(number, &numberCell);
  ctor.createObject(repo.defaultDataModel());
  vlt::PropertyRef late = addProperty(base, "late", "real64", 0, 1, false, false, true);
  double lateCell = 2.5;
  ctor.setPropertyValueSource(late, &lateCell);
  construct(ctor, 2);
  expectStored(2, entry("number", 4), entry("late", 2.5));
}

// A transaction that fills an empty repository has its indexes made once,
// at the end: meanwhile uuids stay unique and reads find what was written; a
// rollback leaves the repository as it was, and the commit leaves every index
// a small write leaves, in step with the rows. A server keeps the indexes of
// tables another session is reading.
TEST_P(ObjectConstructorTest, ALargeLoadIntoAnEmptyRepositoryKeepsItsRulesAndIndexes) {
  const vlt::PropertyRef links = addProperty(thing, "links", "test.Thing", 0, 0xFFFFFFFF);
  const vlt::PropertyRef later = addProperty(thing, "later", "test.Thing", 0, 0xFFFFFFFF);
  const auto indexes = [&] {
    if (!isSqlite())
      return testsupport::postgresqlAdmin(connectionString(),
                                          "SELECT count(*) FROM pg_indexes WHERE schemaname = current_schema()");
    return RawSqlite(location()).answer("SELECT count(*) FROM sqlite_master WHERE type = 'index'");
  };
  vlt::ObjectRef first = create(thing, 1);  // tables and indexes of a small write; its object goes again
  first.setPropertyValue(peer, first);
  first.setPropertyValue(links, std::vector<vlt::ObjectRef>{first}, true);
  first.deleteObject();
  const int before = std::stoi(indexes());

  vlt::ObjectRef peerCell;
  vlt::ObjectConstructor ctor(thing);
  ctor.setPropertyValueSource(peer, &peerCell);
  traceStatements();
  for (const bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back, beside a reader");
    Repo reader;
    if (!commit && !isSqlite()) {
      Repo::ServiceOptions reading = options;
      reading.readOnly = 1;
      reader.open(connectionString(), "", reading);
      reader.beginTransaction();
      reader.defaultDataModel().countObjects(reader.metamodel().findClass("test.Thing"));
    }
    trace.clear();
    repo.beginTransaction();
    for (unsigned i = 1; i <= 10200; ++i) {
      peerCell = construct(ctor, i);
      peerCell.setPropertyValue(i % 2 ? links : later, std::vector<vlt::ObjectRef>{peerCell}, true);
    }
    EXPECT_THROW(create(base, 7), vlt::ConstraintError);
    EXPECT_THROW(create(base, 10100), vlt::ConstraintError);
    EXPECT_EQ(create(base, 20000).objectIdentity(), makeUuid(20000));  // the failures took nothing with them
    const bool uuidIndexDropped = std::any_of(trace.begin(), trace.end(), [](const std::string& sql) {
      return sql.rfind("DROP INDEX", 0) == 0 && sql.find("vlt_object_uuid") != std::string::npos;
    });
    if (!isSqlite()) {
      EXPECT_EQ(uuidIndexDropped, commit);
    }
    if (commit) {
      repo.commitTransaction();  // with nothing read before: the commit makes the indexes
    } else {
      create(base, 20001).deleteObject();
      EXPECT_NO_THROW(create(base, 20001)) << "a deleted object's uuid is free again";
      EXPECT_EQ(find(10150, "test.Thing").objectId(), peerCell.objectId() - 50);
      // After a read too (a server's row fails at the next wait for it).
      EXPECT_THROW((create(base, 10150), repo.defaultDataModel().countObjects(base)), vlt::ConstraintError);
      repo.rollbackTransaction();
      if (reader.isOpen()) reader.rollbackTransaction();
      EXPECT_EQ(repo.defaultDataModel().countObjects(base), 0u);
      EXPECT_EQ(indexes(), std::to_string(before));
    }
  }
  EXPECT_EQ(repo.defaultDataModel().countObjects(base), 10201u);
  EXPECT_EQ(indexes(), std::to_string(before + 2)) << "the new link table's two";
  EXPECT_THROW(create(base, 5), vlt::ConstraintError) << "the uuid index made again as it was";
  if (isSqlite()) {
    EXPECT_EQ(RawSqlite(location()).answer("PRAGMA integrity_check"), "ok");
  }
  vlt::ObjectRef last = find(10200, "test.Thing");
  EXPECT_EQ(readValue<std::vector<vlt::ObjectRef>>(last, later), std::vector<vlt::ObjectRef>{last});
  EXPECT_EQ(readValue<vlt::ObjectRef>(last, peer), find(10199, "test.Thing"));
}

// The rows of a bulk load go to the database behind the calls that write
// them (SQLite runs them on a thread of its own, PostgreSQL sends them
// together): a row refused there fails a later call or the commit with the
// repository's ConstraintError, and takes its whole transaction with it, not
// the next one. The row takes an id the load took before it; on a server,
// which checks them itself, also a uuid or an id committed before the load,
// among its first rows or its last.
TEST_P(ObjectConstructorTest, ARowRefusedInABulkLoadFailsItsWholeTransactionAndNoLaterOne) {
  int numberCell = 0;
  vlt::ObjectConstructor ctor(base);
  ctor.setPropertyValueSource(number, &numberCell);
  const auto make = [&](unsigned uuid, vlt::ObjectId id = 0) {
    numberCell = static_cast<int>(uuid);
    construct(ctor, uuid, id);
  };
  const bool server = !isSqlite();
  vlt::ObjectId before = 0;  // the id of object 2, committed before the loads
  repo.allocateObjectIds(1, before);
  if (server) {  // SQLite loads in bulk into an empty repository only
    make(1);
    make(2, before);
  }
  struct Twice {
    unsigned at;
    bool byId, committed;
  };
  std::vector<Twice> cases{{10050, true, false}};
  if (server) cases.insert(cases.end(), {{20, false, true}, {20, true, true}, {12990, false, true}, {12990, true, true}});
  int reportedBeforeTheCommit = 0;
  for (const Twice& twice : cases) {
    SCOPED_TRACE(std::to_string(twice.at) + (twice.byId ? " id" : " uuid") + (twice.committed ? " committed" : ""));
    vlt::ObjectId inLoad = 0;
    repo.allocateObjectIds(1, inLoad);
    repo.beginTransaction();
    const std::string refused = messageOf<vlt::ConstraintError>([&] {
      for (unsigned n = 10; n < 13000; ++n) {
        if (n != twice.at) make(n, n + 1 == twice.at ? inLoad : 0);  // the load takes its id just before
        if (n == twice.at) twice.byId ? make(n, twice.committed ? before : inLoad) : make(1);
      }
      repo.commitTransaction();
    });
    EXPECT_THAT(refused, ::testing::AllOf(::testing::HasSubstr("INSERT INTO vlt_object"),
                                          ::testing::HasSubstr(server ? "SQLSTATE 23505" : "constraint failed")));
    if (repo.inTransaction()) {  // else the failed commit ended it
      ++reportedBeforeTheCommit;
      EXPECT_THROW(make(50000), vlt::StorageError) << "writes wait for the caller's rollback";
      EXPECT_THROW(repo.commitTransaction(), vlt::RepositoryError) << "the refused row spoilt the transaction";
    }
    EXPECT_FALSE(repo.inTransaction());
    EXPECT_EQ(repo.defaultDataModel().countObjects(base), server ? 2u : 0u);
  }
  if (server) {  // SQLite's worker may tell only the commit
    EXPECT_GT(reportedBeforeTheCommit, 0);
  }
  repo.beginTransaction();
  for (unsigned n = 10; n < 13000; ++n) make(n);
  EXPECT_EQ(repo.defaultDataModel().countObjects(base), (server ? 2u : 0u) + 12990u) << "a read sees the load";
  repo.commitTransaction();
  EXPECT_EQ(readValue<int>(find(12999, "test.Base"), number), 12999);
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectConstructorTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
