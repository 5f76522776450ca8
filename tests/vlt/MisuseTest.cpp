// Calls a careless or hostile caller makes: each is refused with a clear
// error, never crashes, and leaves a repository that goes on working.

#include "RepositoryFixture.hpp"

#include <limits>

namespace vlttest {
namespace {

using ::testing::HasSubstr;

class MisuseTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {
      a = makeClass("test.A");
      n = addProperty(a, "n", "int32", 0, 1, false, false, true);
      b = makeClass("test.B");
    });
  }
  // The id the next automatically numbered object gets, as it got it.
  vlt::ObjectId nextAutomaticId(unsigned uuid) { return create(a, uuid).objectId(); }

  vlt::ClassRef a;
  vlt::PropertyRef n;
  vlt::ClassRef b;
};

TEST_P(MisuseTest, ClosingOrReplacingTheRepositoryInsideADictionaryFunctionIsSafe) {
  for (int round = 0; round < 2; ++round) {
    EXPECT_THAT(messageOf<vlt::UsageError>([&] {
                  repo.performDictionaryFunction([&] {
                    create(a, 1);
                    if (round == 0) {
                      repo.close();
                    } else {
                      repo = Repo();
                    }
                  });
                }),
                HasSubstr("closed"));
    EXPECT_FALSE(repo.isOpen());
    open();
    EXPECT_TRUE(find(1, "test.A").isNull()) << "nothing was committed";
    a = findClass("test.A");
  }
}

// Ids a transaction reserved for objects without an id but did not use are
// given back: numbering stays dense across implicit and explicit
// transactions, and goes on past ids reserved for the caller.
TEST_P(MisuseTest, IdsThatCannotBeOrWereNotReservedAreRefusedAndAutomaticIdsStayConsecutive) {
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
  vlt::ObjectConstructor ctor(a);
  for (vlt::ObjectId id : {vlt::ObjectId{-5}, vlt::ObjectId{1000000}}) {
    ctor.setObjectID(id);
    EXPECT_THAT(messageOf<vlt::UsageError>([&] { ctor.createObject(repo.defaultDataModel()); }),
                HasSubstr("not reserved"));
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
  a = findClass("test.A");
  EXPECT_EQ(nextAutomaticId(7), first + 10);
}

TEST_P(MisuseTest, WritesThroughAHandleOrMembershipOfAnotherClassAreRefused) {
  vlt::PropertyRef many = addProperty(a, "many", "int32", 0, 5);
  vlt::PropertyRef parts = addProperty(a, "parts", "test.A", 0, 0xFFFFFFFF, true, true);
  vlt::ObjectRef object = create(b, 1);
  vlt::ObjectRef asA = repo.getObjectRef(object.objectId(), a);
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { asA.setPropertyValue(n, 5); }), HasSubstr("test.B"));
  EXPECT_THROW(asA.setPropertyValue(many, std::vector<int>{1, 2}), vlt::UsageError);
  auto values = readValue<vlt::BuiltinTypeCollectionRef<int>>(asA, many);
  EXPECT_THROW(values.push_back(3), vlt::UsageError);
  EXPECT_EQ(values.size(), 0u);
  // Nothing landed in test.A's tables: the object reads no value there.
  EXPECT_FALSE(readValue<boost::optional<int>>(asA, n));
  // A membership given at construction names a property of the owner's class.
  const std::int32_t ownerId = create(a, 2).objectId();
  const std::int32_t ordinal = 0;
  vlt::ObjectConstructor ctor(b);
  ctor.setCompositionMembershipSource(&parts, &ownerId, &ordinal);
  EXPECT_THROW(construct(ctor, 3), vlt::UsageError);
  EXPECT_TRUE(find(3).isNull());
}

TEST_P(MisuseTest, OptionsBeyondTheirMaximumAreRefused) {
  repo.close();
  for (auto bad : {+[](Repo::ServiceOptions& o) { o.lockTimeoutSeconds = 3000000; },
                   +[](Repo::ServiceOptions& o) { o.maxGenerations = 2000000000; },
                   +[](Repo::ServiceOptions& o) { o.pageCacheKiB = std::int64_t{1} << 31; },
                   +[](Repo::ServiceOptions& o) { o.pageCacheKiB = -1; }}) {
    Repo::ServiceOptions o = options;
    bad(o);
    EXPECT_THROW(repo.open(connectionString(), "", o), vlt::UsageError);
    EXPECT_FALSE(repo.isOpen());
  }
}

TEST_P(MisuseTest, MessagesSayWhatHappened) {
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { addProperty(vlt::ClassRef(), "x", "int32"); }),
              HasSubstr("null class"));
  repo.beginTransaction();
  vlt::PropertyRef late = addProperty(a, "late", "int32");
  vlt::ObjectConstructor ctor(a);
  const int cell = 1;
  ctor.setPropertyValueSource(late, &cell);
  repo.rollbackTransaction();
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { ctor.createObject(repo.defaultDataModel()); }),
              HasSubstr("rolled back"));
  repo.close();
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { repo.metamodel(); }), HasSubstr("closed"));
}

INSTANTIATE_TEST_SUITE_P(Backends, MisuseTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
