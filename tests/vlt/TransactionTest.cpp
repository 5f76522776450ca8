// Transactions: explicit ones, the implicit one of performDictionaryFunction,
// rollback of data and metamodel, failing commits, and the trace callback.

#include "RawSqlite.hpp"
#include "RepositoryFixture.hpp"

#include <stdexcept>

namespace vlttest {
namespace {

using ::testing::HasSubstr;

class TransactionTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    item = makeClass("test.Item");
    count = addProperty(item, "count", "int32", 0, 1, false, false, true);
  }
  /// Reopens with this lock timeout, `item` taken afresh.
  void reopenWaiting(int seconds) {
    options.lockTimeoutSeconds = seconds;
    reopen();
    item = findClass("test.Item");
  }

  vlt::ClassRef item;
  vlt::PropertyRef count;
};

TEST_P(TransactionTest, RollbackForgetsObjectsValuesAndMetamodelChanges) {
  vlt::ObjectRef kept = create(item, 1);
  kept.setPropertyValue(count, 1);
  repo.beginTransaction();
  EXPECT_TRUE(repo.inTransaction());
  vlt::ClassRef added = makeClass("test.Added", {item});
  vlt::PropertyRef extra = addProperty(item, "extra", "ustring");
  addProperty(added, "own", "test.Added", 0, 0xFFFFFFFF);
  vlt::EnumerationRef e = repo.createEnumeration("test.E", {{"a", 1}});
  vlt::ObjectRef doomed = create(added, 2);
  doomed.setPropertyValue(extra, std::u16string(u"gone"));
  vlt::ObjectConstructor ctor(item);  // made before the rollback, with a property it takes back
  const std::u16string cell = u"late";
  ctor.setPropertyValueSource(extra, &cell);
  kept.setPropertyValue(count, 2);
  EXPECT_EQ(findClass("test.Added"), added);
  repo.rollbackTransaction();
  EXPECT_FALSE(repo.inTransaction());

  EXPECT_TRUE(findClass("test.Added").isNull());
  EXPECT_TRUE(item.findProperty("extra").isNull());
  EXPECT_TRUE(repo.metamodel().findEnumeration("test.E").isNull());
  EXPECT_TRUE(find(2, "test.Item").isNull());
  EXPECT_EQ(added.qualifiedName(), "test.Added") << "a retired handle keeps its name";
  EXPECT_THROW(vlt::ObjectConstructor{added}, vlt::UsageError);
  EXPECT_THROW(doomed.setPropertyValue(extra, std::u16string(u"x")), vlt::UsageError);
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { ctor.createObject(repo.defaultDataModel()); }),
              HasSubstr("rolled back"));
  EXPECT_TRUE(e.findEnumeral(1).isNull());

  // The names are free again, and everything works as if nothing happened.
  create(makeClass("test.Added"), 3);
  addProperty(item, "extra", "int64");
  write(1, entry("extra", 5ll));
  expectStored(1, entry("extra", 5ll), entry("count", boost::optional<int>(1)));
  EXPECT_EQ(findClass("test.Added").superclasses().size(), 0u);
  EXPECT_EQ(property("test.Item", "extra").valueType(), vlt::ValueType::int64);
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Item")), 1u);
}

TEST_P(TransactionTest, ACallThatFailsHalfWayChangesNothingAndTheTransactionCommitsTheRest) {
  vlt::PropertyRef kids = addProperty(item, "kids", "test.Item", 0, 0xFFFFFFFF, true, true);
  for (unsigned i = 1; i <= 4; ++i) create(item, i);
  write(1, entry("kids", objects({2, 3})));
  vlt::ObjectId spare = 0;
  repo.allocateObjectIds(1, spare);
  repo.beginTransaction();
  makeClass("test.Added");
  vlt::ObjectRef owner = find(1);
  const vlt::ObjectRef four = find(4);
  create(item, 5);  // written before the call: kept, wherever the server batches its row
  // 4 is attached first, then the missing object stops the call.
  EXPECT_THROW(owner.setPropertyValue(kids, std::vector<vlt::ObjectRef>{four, repo.getObjectRef(spare, item)}),
               vlt::ObjectNotFoundError);
  EXPECT_EQ(ownerOf(4), "root");
  write(4, entry("count", boost::optional<int>(7)));
  repo.commitTransaction();
  expectStored(1, entry("kids", objects({2, 3})));
  expectStored(4, entry("count", boost::optional<int>(7)));
  EXPECT_FALSE(find(5).isNull());
  EXPECT_FALSE(findClass("test.Added").isNull());
}

// Objects looked up or made in a transaction are not looked up again by the
// writes that follow, until an object is deleted: one statement per write,
// one per entry of a new object's collection.
TEST_P(TransactionTest, WritesAfterALookUpOrACreationRunOneStatementEach) {
  std::vector<boost::uuids::uuid> uuids;
  create(item, 1000).setPropertyValue(count, 0);  // the table exists
  for (unsigned i = 1; i <= 300; ++i) uuids.push_back(create(item, i).objectIdentity());
  const vlt::PropertyRef links = addProperty(item, "links", "test.Item", 0, 0xFFFFFFFF);
  find(1).setPropertyValue(links, std::vector<vlt::ObjectRef>{find(2)});  // the link table exists
  repo.beginTransaction();
  std::vector<vlt::ObjectRef> objects = repo.defaultDataModel().lookUpObjects(uuids, item);
  traceStatements();
  for (unsigned i = 0; i < objects.size(); ++i) objects[i].setPropertyValue(count, static_cast<int>(i));
  EXPECT_EQ(trace.size(), objects.size());
  vlt::ObjectConstructor ctor(item);
  std::vector<vlt::ObjectRef> made;
  for (unsigned i = 0; i < 3; ++i) made.push_back(ctor.createObject(repo.defaultDataModel()));
  trace.clear();
  made[0].setPropertyValue(count, 5);
  EXPECT_EQ(traced("SELECT"), 0u) << "a new object was looked up";
  // A deletion makes every object seen before unsure; a new object's
  // collection is still written without a look-up.
  find(1000).deleteObject();
  trace.clear();
  made[1].setPropertyValue(links, made, true);
  EXPECT_EQ(traced("SELECT"), 0u) << "a new object was looked up";
  EXPECT_EQ(traced("INSERT"), made.size());
  repo.setTraceCallback(nullptr);
  repo.commitTransaction();
  EXPECT_EQ(readValue<boost::optional<int>>(find(300), count).value_or(-1), 299);
  EXPECT_EQ(readValue<std::vector<vlt::ObjectRef>>(made[1], links), made);
}

// A writer of millions of objects looks their ids up by uuid, then asks for
// their handles a window at a time. On a server the lookup brings the
// classes, and the windows ask nothing more, until an object may have gone:
// a handle of a deleted object would have its writes land in rows of no
// object.
TEST_P(TransactionTest, ObjectsLookedUpByIdAreNotAskedForAgainUntilOneMayHaveGone) {
  const vlt::ClassRef special = makeClass("test.Special", {item});
  const vlt::ClassRef other = makeClass("test.Other", {item});
  std::vector<boost::uuids::uuid> uuids{makeUuid(999)};  // none stored
  repo.beginTransaction();
  for (unsigned i = 1; i <= 600; ++i) uuids.push_back(create(i % 3 == 0 ? special : item, i).objectIdentity());
  create(other, 700);
  repo.commitTransaction();
  const vlt::DataModelRef model = repo.defaultDataModel();
  const auto handles = [&](const std::vector<vlt::ObjectId>& ids) {
    traceStatements();
    std::vector<vlt::ObjectRef> objects = model.objectsById(ids);
    repo.setTraceCallback(nullptr);
    return objects;
  };
  repo.beginTransaction();
  const std::vector<vlt::ObjectId> ids = model.lookUpObjectIds(uuids);
  std::vector<vlt::ObjectRef> objects = handles(ids);
  EXPECT_EQ(traced("SELECT"), isSqlite() ? 3u : 0u);
  EXPECT_TRUE(objects[0].isNull());
  for (unsigned i = 1; i <= 600; ++i) {
    ASSERT_EQ(objects[i].objectClass(), i % 3 == 0 ? special : item) << i;
    EXPECT_EQ(objects[i].objectIdentity(), makeUuid(i));
  }
  find(5).deleteObject();
  objects = handles(ids);
  EXPECT_GE(traced("SELECT"), 1u) << "a handle of a deleted object";
  EXPECT_TRUE(objects[5].isNull());
  repo.commitTransaction();
  repo.beginTransaction();
  EXPECT_TRUE(handles(ids)[5].isNull());
  EXPECT_GE(traced("SELECT"), 1u) << "what an earlier transaction found";
  repo.rollbackTransaction();
  // Found anew, a third class first, then the two in another order: each
  // object keeps its own.
  std::vector<boost::uuids::uuid> specials;
  for (unsigned i = 3; i <= 600; i += 3) specials.push_back(makeUuid(i));
  repo.beginTransaction();
  model.lookUpObjectIds({makeUuid(700)});
  model.lookUpObjectIds(specials);
  objects = handles(model.lookUpObjectIds(uuids));
  EXPECT_EQ(traced("SELECT"), isSqlite() ? 3u : 0u);
  for (unsigned i = 1; i <= 600; ++i) {
    if (i == 5) continue;  // deleted
    ASSERT_EQ(objects[i].objectClass(), i % 3 == 0 ? special : item) << i;
  }
  repo.rollbackTransaction();
  // Confirmed by id, the same; an id that holds another uuid, or nothing
  // any more, is none.
  std::vector<vlt::ObjectId> remembered = ids;
  remembered[1] = ids[2];
  repo.beginTransaction();
  const std::vector<vlt::ObjectId> confirmed = model.confirmObjectIds(remembered, uuids);
  handles(confirmed);
  EXPECT_EQ(traced("SELECT"), isSqlite() ? 3u : 0u);
  for (unsigned i = 0; i <= 600; ++i) EXPECT_EQ(confirmed[i], i == 0 || i == 1 || i == 5 ? 0 : ids[i]) << i;
  EXPECT_THROW(model.confirmObjectIds({ids[2]}, {}), vlt::UsageError);
  EXPECT_THROW(repo.defaultDataModel().deleteIdentifiedObjects({{item, {uuids[2]}, {ids[2], ids[3]}}}),
               vlt::UsageError);
  repo.rollbackTransaction();
}

// The trace callback sees every statement as it runs: it counts the commits.
TEST_P(TransactionTest, PerformDictionaryFunctionRunsOnceInOneImplicitTransaction) {
  traceStatements();
  int calls = 0;
  repo.performDictionaryFunction([&] {
    ++calls;
    EXPECT_TRUE(repo.inTransaction());
    for (unsigned i = 0; i < 20; ++i) create(item, 10 + i).setPropertyValue(count, static_cast<int>(i));
  });
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(repo.inTransaction());
  EXPECT_EQ(traced("COMMIT"), 1u) << "a batch costs one commit";
  EXPECT_EQ(repo.defaultDataModel().countObjects(item), 20u);
  // Outside it each call is a transaction of its own.
  trace.clear();
  vlt::ObjectRef o = create(item, 1);
  o.setPropertyValue(count, 3);
  EXPECT_GE(traced("INSERT INTO vlt_object"), 1u);
  EXPECT_GE(traced("BEGIN"), 2u);
  EXPECT_TRUE(std::any_of(trace.begin(), trace.end(),
                          [](const std::string& s) { return s.find("ON CONFLICT") != std::string::npos; }));
  const std::size_t seen = trace.size();
  repo.setTraceCallback(nullptr);
  o.setPropertyValue(count, 4);
  EXPECT_EQ(trace.size(), seen);

  // Outside a transaction there is nothing to end, inside one nothing to
  // begin, but a dictionary function just runs and the transaction stays open.
  EXPECT_THROW(repo.commitTransaction(), vlt::UsageError);
  EXPECT_THROW(repo.rollbackTransaction(), vlt::UsageError);
  repo.beginTransaction();
  EXPECT_THROW(repo.beginTransaction(), vlt::UsageError);
  repo.performDictionaryFunction([&] { create(item, 50); });
  EXPECT_TRUE(repo.inTransaction());
  repo.rollbackTransaction();
  EXPECT_TRUE(find(50, "test.Item").isNull());
  EXPECT_THROW(repo.performDictionaryFunction([&] { repo.commitTransaction(); }), vlt::UsageError);
  EXPECT_THROW(repo.performDictionaryFunction([&] { repo.beginTransaction(); }), vlt::UsageError);
  EXPECT_FALSE(repo.inTransaction());
}

// A trace callback runs in the middle of the statement it reports: every
// call it makes into the repository, through the repository or a handle, is
// refused, closing does nothing, and the statement, the callback's exception
// notwithstanding, runs on.
TEST_P(TransactionTest, ATraceCallbackThatCallsTheRepositoryIsRefused) {
  struct Reentry {
    vlt::DataModelRepository* repo;
    vlt::ObjectRef object;
    vlt::PropertyRef count;
    std::vector<std::string> refusals;
    int calls = 0;
  } reentry{&repo, create(item, 1), count, {}, 0};
  repo.setTraceCallback(
      [](void* context, const char*) {
        auto& r = *static_cast<Reentry*>(context);
        ++r.calls;
        const auto refused = [&](const std::function<void()>& call) {
          try {
            call();
            r.refusals.push_back("accepted");
          } catch (const vlt::UsageError& e) {
            r.refusals.push_back(e.what());
          }
        };
        refused([&] { r.object.setPropertyValue(r.count, 9); });
        refused([&] { r.repo->defaultDataModel().countObjects(r.object.objectClass()); });
        refused([&] { r.repo->beginTransaction(); });
        refused([&] { r.repo->setTraceCallback(nullptr); });
        r.repo->close();
        throw std::runtime_error("thrown by the callback");
      },
      &reentry);
  reentry.object.setPropertyValue(count, 7);
  repo.setTraceCallback(nullptr);
  ASSERT_GT(reentry.calls, 0);
  ASSERT_EQ(reentry.refusals.size(), 4u * static_cast<std::size_t>(reentry.calls));
  for (const std::string& refusal : reentry.refusals) EXPECT_THAT(refusal, HasSubstr("trace callback"));
  EXPECT_TRUE(repo.isOpen());
  EXPECT_FALSE(repo.inTransaction());
  EXPECT_EQ(readValue<std::int32_t>(reentry.object, count), 7);
}

// What a dictionary function wrote before it failed stays (the implicit
// transaction commits); its exception passes on unchanged. Inside the
// caller's transaction the caller decides.
TEST_P(TransactionTest, PerformDictionaryFunctionKeepsEarlierWritesAndPassesTheExceptionOn) {
  struct Marker : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  auto failingBatch = [&](unsigned uuid, const std::string& cls) {
    try {
      repo.performDictionaryFunction([&] {
        create(item, uuid);
        makeClass(cls);
        EXPECT_THROW(makeClass(cls), vlt::MetamodelError);  // a failing call leaves nothing half-made
        throw Marker("stop");
      });
      ADD_FAILURE() << "no exception";
    } catch (const Marker& m) {
      EXPECT_STREQ(m.what(), "stop");
    }
  };
  failingBatch(7, "test.Inside");
  EXPECT_FALSE(repo.inTransaction());
  reopen();
  item = findClass("test.Item");
  EXPECT_FALSE(find(7, "test.Item").isNull());
  EXPECT_FALSE(findClass("test.Inside").isNull());

  repo.beginTransaction();
  failingBatch(8, "test.Other");
  EXPECT_TRUE(repo.inTransaction());
  repo.rollbackTransaction();
  EXPECT_TRUE(find(8, "test.Item").isNull());
  EXPECT_TRUE(findClass("test.Other").isNull());
  // Repository errors pass unchanged too.
  EXPECT_THROW(repo.performDictionaryFunction([&] { makeClass("test.Item"); }), vlt::MetamodelError);
  // A function that closes or replaces the repository commits nothing.
  for (const bool replace : {false, true}) {
    EXPECT_THAT(messageOf<vlt::UsageError>([&] {
                  repo.performDictionaryFunction([&] {
                    create(item, 9);
                    if (replace) {
                      repo = Repo();
                    } else {
                      repo.close();
                    }
                  });
                }),
                HasSubstr("closed"));
    EXPECT_FALSE(repo.isOpen());
    EXPECT_THAT(messageOf<vlt::UsageError>([&] { repo.metamodel(); }), HasSubstr("closed"));
    open();
    item = findClass("test.Item");
    EXPECT_TRUE(find(9, "test.Item").isNull());
  }
}

// The commit fails: on SQLite a reader of the file keeps it from being
// written; on PostgreSQL a deferred trigger refuses objects 1 and 2 when the
// transaction commits.
TEST_P(TransactionTest, AFailingCommitRollsBackOrStaysOpen) {
  reopenWaiting(0);
  std::optional<RawSqlite> other;  // a connection beside the repository's
  if (isSqlite()) {
    other.emplace(location());
    other->exec("BEGIN; SELECT count(*) FROM vlt_object;");
  } else {
    testsupport::postgresqlAdmin(
        connectionString(),
        "CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
        "RAISE EXCEPTION 'refused at commit' USING ERRCODE = '40001'; END $$; "
        "CREATE CONSTRAINT TRIGGER refuse AFTER INSERT ON vlt_object DEFERRABLE INITIALLY DEFERRED FOR EACH ROW "
        "WHEN (get_byte(NEW.uuid, 15) IN (1, 2)) EXECUTE FUNCTION refuse()");
  }

  repo.beginTransaction();
  create(item, 1);
  EXPECT_THROW(repo.unsafeCommitPotentiallyFailingTransaction(), vlt::LockedError);
  EXPECT_TRUE(repo.inTransaction()) << "the caller decides: the transaction is still open";
  repo.rollbackTransaction();

  repo.beginTransaction();
  create(item, 2);
  try {
    repo.commitTransaction();
    ADD_FAILURE() << "committed";
  } catch (const vlt::LockedError& e) {
    EXPECT_NE(std::string(e.what()).find(shownFilespec()), std::string::npos) << e.what();
    if (isSqlite()) {
      EXPECT_EQ(e.backendCode() & 0xff, SQLITE_BUSY);
    }
  }
  EXPECT_FALSE(repo.inTransaction()) << "commitTransaction rolled back";
  other.reset();  // its read transaction ends with it
  EXPECT_TRUE(find(1, "test.Item").isNull());
  EXPECT_TRUE(find(2, "test.Item").isNull());
  create(item, 3);
  EXPECT_FALSE(find(3, "test.Item").isNull());
}

// Another connection is writing (it holds SQLite's write lock): a write
// transaction waits for the lock timeout, then is refused; a read
// transaction still begins and reads, and its first write fails (SQLite
// does not let it wait for a writer that would wait for it). PostgreSQL's
// read transaction takes the lock with its first statement, or fails it
// (PostgreSQLTest).
TEST_P(TransactionTest, AWriterWaitsForTheLockTimeoutAndAReadTransactionReadsBesideAnotherWriter) {
  if (!isSqlite()) return;
  reopenWaiting(1);
  create(item, 3);
  std::optional<RawSqlite> other(location());
  other->exec("BEGIN IMMEDIATE");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(messageOf<vlt::LockedError>([&] { repo.beginTransaction(); }),
              ::testing::AllOf(HasSubstr("locked"), HasSubstr(location())));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900)) << "it waited for the timeout";
  repo.beginReadTransaction();
  EXPECT_FALSE(find(3, "test.Item").isNull());
  EXPECT_THROW(create(item, 4), vlt::LockedError);
  repo.rollbackTransaction();
  other.reset();
  repo.beginReadTransaction();
  create(item, 5);  // nobody else writing: the lock comes with the write
  repo.commitTransaction();
  EXPECT_FALSE(find(5, "test.Item").isNull());
}

INSTANTIATE_TEST_SUITE_P(Backends, TransactionTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
