// ObjectQuery on a small fixed data set whose answers are written by hand.

#include "RepositoryFixture.hpp"

#include <boost/optional/optional_io.hpp>

namespace vlttest {
namespace {

using R = vlt::PVMR_wrapper;
using boost::optional;

class ObjectQueryTest : public RepositoryTest {
 protected:
  // Objects (by uuid number): 1-4 test.Item, 5 test.Other (both test.Base),
  // 6 test.Lonely. Item 1 owns 2 and 3 through "parts", 3 owns 4 through
  // "part".
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {
      vlt::EnumerationRef color = repo.createEnumeration("test.Color", {{"red", 1}, {"green", 2}, {"blue", 3}});
      base = makeClass("test.Base");
      item = makeClass("test.Item", {base});
      other = makeClass("test.Other", {base});
      lonely = makeClass("test.Lonely");
      for (const auto& [name, type] : {std::pair<const char*, const char*>{"i32", "int32"}, {"u32", "uint32"},
                                       {"i64", "int64"}, {"real", "real64"}, {"text", "ustring"},
                                       {"bytes", "string"}, {"id", "UUID"}, {"color", "test.Color"}}) {
        addProperty(base, name, type, 0, 1, false, false, true);
      }
      addProperty(base, "tags", "string", 0, 0xFFFFFFFF, false, true, false, false);
      addProperty(item, "parts", "test.Base", 0, 0xFFFFFFFF, true, true);
      addProperty(item, "part", "test.Base", 0, 1, true);
      addProperty(lonely, "i32", "int32", 0, 1, false, false, true);
      for (unsigned n = 1; n <= 4; ++n) create(item, n);
      create(other, 5);
      create(lonely, 6);
      write(1, entry("i32", -5), entry("u32", 4000000000u), entry("i64", std::int64_t{1} << 40), entry("real", -1.5),
            entry("text", std::u16string(u"apple")), entry("id", makeUuid(99)),
            entry("tags", std::vector<std::string>{"x", "y"}), entry("color", color.findEnumeral(2)),
            entry("parts", objects({2, 3})));
      write(2, entry("i32", 7), entry("u32", 3u), entry("i64", std::int64_t{-9}), entry("real", 2.25),
            entry("text", std::u16string(u"\u00e9clair")), entry("tags", std::vector<std::string>{"y"}));
      write(3, entry("i32", 7), entry("text", std::u16string(u"Zebra \U0001F600")), entry("part", Obj{4}));
      write(4, entry("i32", 100), entry("text", std::u16string(u"")));
      write(5, entry("i32", 7), entry("real", 0.0), entry("text", std::u16string(u"apple pie")),
            entry("color", color.findEnumeral(3)));
      write(6, entry("i32", 7));
    });
  }

  vlt::PropertyRef p(const std::string& name) { return property("test.Base", name); }

  // The uuid numbers of the result objects of index 0, row by row.
  static std::vector<unsigned> run(vlt::ObjectQuery& q, vlt::ObjectRef& result) {
    std::vector<unsigned> out;
    vlt::ObjectQuery::ResultIterator it = q.execute();
    while (it.getNextResult()) out.push_back(numberOf(result.objectIdentity()));
    return out;
  }
  // The same for two result objects, at indexes 0 and 1.
  static std::vector<std::pair<unsigned, unsigned>> runPairs(vlt::ObjectQuery& q, vlt::ObjectRef& first,
                                                             vlt::ObjectRef& second) {
    std::vector<std::pair<unsigned, unsigned>> out;
    vlt::ObjectQuery::ResultIterator it = q.execute();
    while (it.getNextResult()) out.emplace_back(numberOf(first.objectIdentity()), numberOf(second.objectIdentity()));
    return out;
  }
  // A query for objects of `cls` (test.Base by default) with subclasses, into `result`.
  std::unique_ptr<vlt::ObjectQuery> query(vlt::ObjectRef& result, vlt::ClassRef cls = {}) {
    auto q = std::make_unique<vlt::ObjectQuery>(repo);
    q->addSearchClass(cls.isNull() ? base : cls, 0, vlt::classAndSubclasses);
    q->addResultObject(base, &result, 0);
    return q;
  }
  // The objects of test.Base (with subclasses) whose `property` is in
  // `relation` to `cell`.
  template <class T>
  std::vector<unsigned> where(const std::string& property, R::PropertyValueMatchRelation relation, const T& cell) {
    vlt::ObjectRef result;
    auto q = query(result);
    q->addConstraint(p(property), relation, &cell, 0);
    return run(*q, result);
  }
  using V = std::vector<unsigned>;

  vlt::ClassRef base, item, other, lonely;
};

// ObjectQueryDifferentialTest checks every relation on numbers, times, texts
// and Booleans against a plain evaluation; these are the types and cells it
// does not draw.
TEST_P(ObjectQueryTest, TypesCellsAndCollectionsTheRandomQueriesDoNotDraw) {
  // Unsigned values compare as unsigned, also at the top of the range.
  EXPECT_EQ(where("u32", R::greater, 5u), (V{1}));
  EXPECT_EQ(where("i64", R::less, std::int64_t{0}), (V{2}));
  EXPECT_EQ(where("i32", R::greaterOrEqual, std::uint8_t{7}), (V{2, 3, 4, 5}));
  EXPECT_EQ(where("id", R::equal, makeUuid(99)), (V{1}));
  // A collection holds when some entry does; "contains" is membership.
  EXPECT_EQ(where("tags", R::contains, std::string("y")), (V{1, 2}));
  EXPECT_EQ(where("tags", R::notEqual, std::string("y")), (V{1}));
  EXPECT_EQ(where("tags", R::startsWith, std::string("x")), (V{1}));
}

TEST_P(ObjectQueryTest, EnumerationsReferencesAndOwnership) {
  vlt::EnumerationRef color = repo.metamodel().findEnumeration("test.Color");
  auto enumerals = [&](bool positive, const optional<vlt::EnumeralRef>& cell) {
    vlt::ObjectQuery q(repo);
    vlt::ObjectRef result;
    q.addConstraint(p("color"), positive, &cell, 0);
    q.addResultObject(base, &result, 0);
    return run(q, result);
  };
  EXPECT_EQ(enumerals(true, color.findEnumeral(2)), (V{1}));
  EXPECT_EQ(enumerals(false, color.findEnumeral(2)), (V{2, 3, 4, 5}));
  EXPECT_EQ(enumerals(true, boost::none), (V{2, 3, 4}));
  // A single composite reference of a subclass; the random queries draw the others.
  vlt::ObjectRef part = find(4);
  vlt::ObjectRef holder;
  auto byPart = query(holder, item);
  byPart->addObjectConstraint(property("test.Item", "part"), true, &part, 0);
  EXPECT_EQ(run(*byPart, holder), (V{3}));
  // One of a set of objects, as the set is at each execute.
  std::vector<vlt::ObjectRef> among{find(4), find(2)};
  vlt::ObjectRef chosen;
  vlt::ObjectQuery a(repo);
  a.addObjectConstraint(base, &among, 0);
  a.addResultObject(base, &chosen, 0);
  EXPECT_EQ(run(a, chosen), (V{2, 4}));
  among = {find(5)};
  EXPECT_EQ(run(a, chosen), (V{5}));
  among.clear();
  EXPECT_EQ(run(a, chosen), (V{}));
  among.assign(vlt::ObjectQuery::maxObjectsAmong + 1, find(1));
  EXPECT_THROW(run(a, chosen), vlt::UsageError);
  // Top level, and objects owned through a property by the object at index 0.
  vlt::ObjectQuery q(repo);
  vlt::ObjectRef owner;
  vlt::ObjectRef owned;
  vlt::ClassRef ownedClass = base;
  q.addIsTopLevelObjectConstraint(item, 0);
  q.addSubObjectConstraint(property("test.Item", "parts"), &ownedClass, 0, 1);
  ownedClass = lonely;  // copied when added
  q.addResultObject(item, &owner, 0);
  q.addResultObject(base, &owned, 1);
  q.setOrderByCollectionOrdinal(property("test.Item", "parts"), vlt::descending, 1);
  EXPECT_EQ(runPairs(q, owner, owned), (std::vector<std::pair<unsigned, unsigned>>{{1, 3}, {1, 2}}));
  EXPECT_EQ(owned.objectClass(), item) << "a result object carries its own class";
}

TEST_P(ObjectQueryTest, SearchClassesMatchModesAndRelationsBetweenIndexes) {
  // Pairs of test.Base objects with equal i32, the first of class test.Item only.
  vlt::ObjectQuery q(repo);
  vlt::ObjectRef left;
  vlt::ObjectRef right;
  q.addSearchClass(item, 0, vlt::exactClass);
  q.addSearchClass(base, 1, vlt::classAndSubclasses);
  q.addConstraint(p("i32"), R::equal, p("i32"), 0, 1);
  q.addConstraint(p("real"), R::notEqualOrOneAbsent, p("real"), 0, 1);
  q.addResultObject(item, &left, 0);
  q.addResultObject(base, &right, 1);
  EXPECT_EQ(runPairs(q, left, right), (std::vector<std::pair<unsigned, unsigned>>{{2, 3}, {2, 5}, {3, 2}, {3, 5}}));
  // A class made after the query was built is searched too (mode 1).
  vlt::ObjectRef result;
  auto all = query(result);
  const int seven = 7;
  all->addConstraint(p("i32"), R::equal, &seven, 0);
  create(makeClass("test.Late", {base}), 7);
  find(7).setPropertyValue(p("i32"), 7);
  EXPECT_EQ(run(*all, result), (V{2, 3, 5, 7}));
  // An excluded class leaves out its objects and its subclasses' (a class
  // under it made later too).
  all->excludeClass(item, 0);
  create(makeClass("test.UnderItem", {item}), 8);
  find(8).setPropertyValue(p("i32"), 7);
  EXPECT_EQ(run(*all, result), (V{5, 7}));
}

TEST_P(ObjectQueryTest, OrderByPropertyAndIdLimitAndRefilledCells) {
  vlt::ObjectRef result;
  auto q = query(result);
  optional<std::int32_t> i32;
  int floor = -100;
  q->addConstraint(p("i32"), R::greater, &floor, 0);
  q->addResultProperty(p("i32"), &i32, 0);
  q->setOrderByProperty(p("i32"), vlt::descending, false, 0);
  q->setOrderByObjectID(base, vlt::descending, 0);
  EXPECT_EQ(run(*q, result), (V{4, 5, 3, 2, 1}));
  EXPECT_EQ(i32, optional<std::int32_t>(-5)) << "the last row's value";
  floor = 10;  // read again at each execute
  EXPECT_EQ(run(*q, result), (V{4}));
  // Results asked afresh, under a limit (a count under one:
  // ObjectQueryDifferentialTest).
  q->setLimit(2);
  q->resetResults();
  q->addResultObject(base, &result, 0);
  floor = -100;
  EXPECT_EQ(run(*q, result), (V{4, 5}));
  EXPECT_EQ(i32, optional<std::int32_t>(100)) << "no longer a result: the cell keeps the value it had";
}

// The two callers that name no search class: a loader (the object and its
// values) and a reader of records (values only).
TEST_P(ObjectQueryTest, AnIndexWithoutASearchClassTakesTheClassItIsGiven) {
  vlt::ObjectQuery loader(repo);
  vlt::ObjectRef current;
  optional<std::u16string> text;
  std::uint8_t small = 0;
  loader.addObjectConstraint(item, &current, 0);
  loader.addResultProperty(p("text"), &text, 0);
  loader.addResultProperty(p("i32"), &small, 0);
  for (unsigned n : {2u, 4u}) {
    current = find(n);
    vlt::ObjectQuery::ResultIterator it = loader.execute();
    ASSERT_TRUE(it.getNextResult());
    EXPECT_FALSE(it.getNextResult());
  }
  EXPECT_TRUE(text && text->empty());
  EXPECT_EQ(small, 100);
  current = find(1);
  EXPECT_THROW(loader.execute().getNextResult(), vlt::UsageError) << "-5 does not fit a uint8 cell";
  current = find(6);
  EXPECT_FALSE(loader.execute().getNextResult()) << "not a test.Item";

  vlt::ObjectQuery records(repo);
  optional<std::int32_t> value;
  records.addResultProperty(property("test.Lonely", "i32"), &value, 0);
  vlt::ObjectQuery::ResultIterator it = records.execute();
  ASSERT_TRUE(it.getNextResult());
  EXPECT_EQ(value, optional<std::int32_t>(7));
  EXPECT_FALSE(it.getNextResult());
}

TEST_P(ObjectQueryTest, WrongConstraintsAreRefusedWhenAdded) {
  vlt::ObjectQuery q(repo);
  const int number = 1;
  const std::string text = "x";
  q.addSearchClass(lonely, 0, vlt::exactClass);
  EXPECT_THROW(q.addConstraint(p("i32"), R::equal, &number, 0), vlt::UsageError) << "not of the index's class";
  EXPECT_THROW(q.addConstraint(p("bytes"), R::equal, &number, 1), vlt::UsageError) << "a cell of another type";
  EXPECT_THROW(q.addConstraint(p("i32"), R::contains, &number, 1), vlt::UsageError) << "contains on a number";
  EXPECT_THROW(q.addConstraint(p("bytes"), static_cast<R::PropertyValueMatchRelation>(12), &text, 1), vlt::UsageError);
  EXPECT_THROW(q.addSearchClass(base, 0, vlt::exactClass), vlt::UsageError) << "index 0 has its class";
  EXPECT_THROW(q.setLimit(std::uint64_t{1} << 31), vlt::UsageError);
  q.setLimit((std::uint64_t{1} << 31) - 1);
  EXPECT_THROW(q.execute(), vlt::UsageError) << "no result";
}

// A query outlives what happens around it: a rollback that drops tables it
// reads, iterations interleaved with writes, the repository's close.
TEST_P(ObjectQueryTest, AQuerySurvivesRollbacksWritesAndClose) {
  vlt::ObjectRef result;
  auto q = query(result);
  vlt::ObjectQuery::ResultIterator first = q->execute();
  ASSERT_TRUE(first.getNextResult());
  find(1).deleteObject();  // rows fetched already: the iteration goes on
  vlt::ObjectQuery::ResultIterator second = q->execute();
  std::size_t rest = 0;
  while (first.getNextResult()) ++rest;
  EXPECT_EQ(rest, 4u);
  std::size_t now = 0;
  while (second.getNextResult()) ++now;
  EXPECT_EQ(now, 1u) << "1 and the objects it owned (2, 3 and 4) are gone";
  repo.beginTransaction();
  create(makeClass("test.Late", {base}), 7);
  EXPECT_EQ(run(*q, result), (V{5, 7}));
  repo.rollbackTransaction();
  EXPECT_EQ(run(*q, result), (V{5}));
  repo.close();
  EXPECT_THROW(q->execute(), vlt::UsageError);
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectQueryTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
