// Live collections keep their order through inserts, removals and
// replacements, and every edit is stored.

#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

using ::testing::HasSubstr;

class CollectionTest : public RepositoryTest {
 protected:
  // Owner 1 and items 100..104.
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {  // one commit
      vlt::ClassRef item = makeClass("test.Item");
      addProperty(item, "name", "ustring", 1, 1);
      vlt::ClassRef owner = makeClass("test.Owner");
      addProperty(owner, "links", "test.Item", 0, 0xFFFFFFFF, false, true);
      addProperty(owner, "parts", "test.Item", 0, 0xFFFFFFFF, true, true);
      addProperty(owner, "numbers", "int32", 0, 0xFFFFFFFF, false, true, false, false);
      addProperty(owner, "tags", "ustring", 0, 0xFFFFFFFF, false, false, false, true);
      repo.createEnumeration("test.Level", {{"low", 0}, {"high", 9}});
      addProperty(owner, "levels", "test.Level", 0, 0xFFFFFFFF, false, true, false, false);
      create(owner, 1);
      for (unsigned i = 0; i < 5; ++i) create(item, 100 + i);
    });
  }
  vlt::ObjectRef item(unsigned i) { return find(100 + i); }
  template <class C = vlt::CollectionRef>
  C collection(const std::string& name, unsigned owner = 1) {
    return readValue<C>(find(owner), property("test.Owner", name));
  }
  vlt::EnumeralRef level(int value) { return repo.metamodel().findEnumeration("test.Level").findEnumeral(value); }
  // What owner 1's objects owned through `owning` link to through `link`,
  // in one read: "holder>target<class of the target> ...".
  std::string linksOfParts(const std::string& link, const std::string& owning = "parts", bool identity = true) {
    std::vector<vlt::LinkEntry> entries{{7, vlt::ObjectRef()}};  // replaced
    find(1).getLinksOfOwnedObjects(property("test.Owner", owning), property("test.Item", link), entries, identity);
    const auto number = [&](vlt::ObjectId id) {
      return std::to_string(numberOf(repo.defaultDataModel().objectById(id).objectIdentity()));
    };
    std::string text;
    for (const vlt::LinkEntry& e : entries) {
      if (identity) {  // carried, not looked up
        EXPECT_EQ(e.target.objectIdentity(), repo.defaultDataModel().objectById(e.target.objectId()).objectIdentity());
      }
      text += number(e.holder) + ">" + number(e.target.objectId()) + e.target.objectClass().name() + " ";
    }
    return text;
  }
  // holder -> its targets, checking that each holder's entries come together.
  static std::map<vlt::ObjectId, std::vector<vlt::ObjectId>> linksByHolder(const std::vector<vlt::LinkEntry>& entries) {
    std::map<vlt::ObjectId, std::vector<vlt::ObjectId>> out;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (i > 0 && entries[i - 1].holder != entries[i].holder) {
        EXPECT_EQ(out.count(entries[i].holder), 0u);
      }
      out[entries[i].holder].push_back(entries[i].target.objectId());
    }
    return out;
  }
};

TEST_P(CollectionTest, LinksAndPartsKeepOrderThroughInsertsAtIndexRemovalsAndReplacements) {
  for (const char* prop : {"links", "parts"}) {
    SCOPED_TRACE(prop);
    vlt::CollectionRef c = collection(prop);
    c.push_back(item(0));
    c.push_back(item(1));
    c.push_back(item(2), 0u);        // 2 0 1
    c.push_back(item(3), 2u);        // 2 0 3 1
    c.push_back(item(4), c.size());  // 2 0 3 1 4
    expectStored(1, entry(prop, objects({102, 100, 103, 101, 104})));
    c = collection(prop);
    c.removeAt(1);                    // 2 3 1 4
    c.setAt(0, item(0));              // 0 3 1 4
    EXPECT_TRUE(c.remove(item(1)));  // 0 3 4
    EXPECT_FALSE(c.remove(item(2)));
    EXPECT_EQ(c.size(), 3u);
    EXPECT_EQ(c.indexOf(item(4)), 2u);
    EXPECT_EQ(c.indexOf(item(1)), vlt::CollectionRefBase::npos);
    EXPECT_EQ(c.at(1).objectIdentity(), makeUuid(103));
    EXPECT_THROW(c.push_back(item(1), 9u), vlt::UsageError);
    EXPECT_THROW(c.removeAt(3), vlt::UsageError);
    EXPECT_THROW(c.setAt(3, item(1)), vlt::UsageError);
    expectStored(1, entry(prop, objects({100, 103, 104})));  // the refused edits changed nothing
  }
  EXPECT_THROW(readValue<vlt::BuiltinTypeCollectionRef<std::u16string>>(item(0), property("test.Item", "name")),
               vlt::UsageError)
      << "a single-valued property has no collection";
  // but takes a vector of one value, and refuses more.
  const vlt::PropertyRef name = property("test.Item", "name");
  item(0).setPropertyValue(name, std::vector<std::u16string>{u"one"});
  EXPECT_TRUE(readValue<boost::optional<std::u16string>>(item(0), name) == std::u16string(u"one"));
  EXPECT_THROW(item(0).setPropertyValue(name, std::vector<std::u16string>{u"a", u"b"}), vlt::UsageError);
}

// A part has one owner: appending it moves it (from another owner, or to the
// end of its own collection); removing it or writing a vector without it
// makes it a root, it is not deleted.
TEST_P(CollectionTest, CompositeCollectionsMoveTheirPartsAndDetachOnRemoval) {
  create(findClass("test.Owner"), 2);
  vlt::CollectionRef theirs = collection("parts", 2);
  theirs.push_back(item(4));
  vlt::CollectionRef mine = collection("parts");
  mine.push_back(item(0));
  mine.push_back(item(1));
  mine.push_back(item(2), 0u);
  reopen();
  EXPECT_EQ(ownerOf(100), "1.parts[1]");
  collection("parts").removeAt(0);
  EXPECT_EQ(ownerOf(102), "root");
  EXPECT_TRUE(item(2).exists());
  collection("parts").push_back(item(1), 0u);  // moves within its collection
  expectStored(1, entry("parts", objects({101, 100})));
  mine = collection("parts");
  theirs = collection("parts", 2);
  mine.push_back(item(3));
  mine.push_back(item(4));  // leaves the other owner
  mine.push_back(item(1));  // already here: moves to the end
  EXPECT_EQ(theirs.size(), 0u);
  EXPECT_EQ(ownerOf(104), "1.parts[2]");
  expectStored(1, entry("parts", objects({100, 103, 104, 101})));
  expectRoundTrip(1, entry("links", objects({103, 101})), entry("parts", objects({100, 101})));
  expectRoundTrip(1, entry("links", objects({102, 103})), entry("parts", objects({101})));
  EXPECT_EQ(ownerOf(100), "root");
}

TEST_P(CollectionTest, BuiltinAndEnumeralCollectionsEditInPlace) {
  auto n = collection<vlt::BuiltinTypeCollectionRef<int>>("numbers");
  n.push_back(5);
  n.push_back(7);
  n.push_back(5);
  n.setAt(1, 8);
  EXPECT_EQ(n.indexOf(5), 0u);
  EXPECT_TRUE(n.remove(5));
  EXPECT_EQ(n.at(0), 8);
  n.insert(0, 3);  // 3 8 5
  n.insert(2, 4);  // 3 8 4 5
  n.insert(4, 6);  // 3 8 4 5 6
  EXPECT_THROW(n.insert(6, 1), vlt::UsageError);
  auto e = collection<vlt::EnumeralCollectionRef>("levels");
  e.push_back(level(9));
  e.push_back(level(0));
  e.setAt(0, level(0));
  e.insert(1, level(9));
  EXPECT_EQ(e.indexOf(level(9)), 1u);
  EXPECT_THROW(e.insert(4, level(9)), vlt::UsageError);
  expectStored(1, entry("numbers", std::vector<int>{3, 8, 4, 5, 6}),
               entry("levels", std::vector<vlt::EnumeralRef>{level(0), level(9), level(0)}));
}

// A collection read as one value gives its first entry (or owned object);
// one value written to it replaces the whole, an absent one empties it. An
// empty collection of an object that does not exist is still refused.
TEST_P(CollectionTest, ACollectionReadOrWrittenAsOneValueIsItsFirstEntry) {
  // Handles die with the reopens of expectStored: these take them afresh.
  const auto numbers = [&] { return property("test.Owner", "numbers"); };
  const auto links = [&] { return property("test.Owner", "links"); };
  const auto parts = [&] { return property("test.Owner", "parts"); };
  write(1, entry("numbers", std::vector<int>{4, 2}), entry("links", objects({102, 101})),
        entry("parts", objects({103, 100})));
  vlt::ObjectRef owner = find(1);
  EXPECT_EQ(readValue(owner, numbers(), -1), 4);
  EXPECT_EQ(readValue<vlt::ObjectRef>(owner, links()).objectIdentity(), makeUuid(102));
  EXPECT_EQ(readValue<vlt::ObjectRef>(owner, parts()).objectIdentity(), makeUuid(103));
  owner.setPropertyValue(numbers(), 9);
  owner.setPropertyValue(links(), item(4));
  owner.setPropertyValue(parts(), item(1));
  expectStored(1, entry("numbers", std::vector<int>{9}), entry("links", objects({104})),
               entry("parts", objects({101})));
  vlt::ObjectRef formerOwner;
  vlt::PropertyRef through;
  find(103).getOwnership(formerOwner, through);
  EXPECT_TRUE(formerOwner.isNull()) << "a part the write left out is a root";

  owner = find(1);
  owner.setPropertyValue(numbers(), boost::optional<int>());
  owner.setPropertyValue(links(), vlt::ObjectRef());
  owner.setPropertyValue(parts(), vlt::ObjectRef());
  EXPECT_FALSE(readValue<boost::optional<int>>(owner, numbers()));
  EXPECT_TRUE(readValue<vlt::ObjectRef>(owner, links()).isNull());
  EXPECT_TRUE(readValue<vlt::ObjectRef>(owner, parts()).isNull());
  expectStored(1, entry("numbers", std::vector<int>{}), entry("links", objects({})), entry("parts", objects({})));

  vlt::ObjectId spare = 0;
  repo.allocateObjectIds(1, spare);
  vlt::ObjectRef ghost = repo.getObjectRef(spare, findClass("test.Owner"));
  EXPECT_THROW(readValue<boost::optional<int>>(ghost, numbers()), vlt::ObjectNotFoundError);
  EXPECT_THROW(readValue<boost::optional<std::u16string>>(ghost, property("test.Owner", "tags")),
               vlt::ObjectNotFoundError)
      << "a collection whose table was never made";
  EXPECT_THROW(readValue<vlt::ObjectRef>(ghost, parts()), vlt::ObjectNotFoundError);
  EXPECT_THROW(ghost.setPropertyValue(numbers(), 1), vlt::ObjectNotFoundError);
}

// Unique collections refuse duplicates, bounded ones entries past their
// upper bound; neither refusal changes what is stored.
TEST_P(CollectionTest, CollectionsRefuseDuplicatesAndEntriesPastTheirUpperBound) {
  auto t = collection<vlt::BuiltinTypeCollectionRef<std::u16string>>("tags");
  t.push_back(u"a");
  t.push_back(u"b");
  EXPECT_THROW(t.push_back(u"a"), vlt::ConstraintError);
  EXPECT_THROW(t.setAt(1, u"a"), vlt::ConstraintError);
  t.setAt(0, u"a");  // replacing a value by itself is fine
  EXPECT_THROW(find(1).setPropertyValue(property("test.Owner", "tags"), std::vector<std::u16string>{u"x", u"x"}),
               vlt::ConstraintError);
  vlt::CollectionRef l = collection("links");
  l.push_back(item(0));
  EXPECT_THROW(l.push_back(item(0)), vlt::ConstraintError);
  addProperty(findClass("test.Owner"), "pair", "int32", 0, 2);
  addProperty(findClass("test.Owner"), "kids", "test.Item", 0, 2, true, true);
  auto pair = collection<vlt::BuiltinTypeCollectionRef<int>>("pair");
  pair.push_back(1);
  pair.push_back(2);
  EXPECT_THAT(messageOf<vlt::ConstraintError>([&] { pair.push_back(3); }), HasSubstr("at most 2"));
  EXPECT_THROW(find(1).setPropertyValue(property("test.Owner", "pair"), std::vector<int>{1, 2, 3}),
               vlt::ConstraintError);
  vlt::CollectionRef kids = collection("kids");
  kids.push_back(item(2));
  kids.push_back(item(3));
  EXPECT_THROW(kids.push_back(item(4)), vlt::ConstraintError);
  kids.push_back(item(2), 1);  // a move within the collection adds nothing
  expectStored(1, entry("tags", std::vector<std::u16string>{u"a", u"b"}), entry("links", objects({100})),
               entry("pair", std::vector<int>{1, 2}), entry("kids", objects({103, 102})));
}

// Owner 1's parts [103, 105 (a subclass's), 100, 101] with their refs, in
// one read: by part in the parts' order, in collection order within a part;
// part 100 has none, part 102 belongs to owner 2. Then several collections
// of owner 1 in one read, each in its order.
TEST_P(CollectionTest, LinksOfOwnedObjectsAndSeveralCollectionsAreReadTogetherEachInItsOrder) {
  addProperty(findClass("test.Item"), "refs", "test.Item", 0, 0xFFFFFFFF, false, true);
  addProperty(findClass("test.Item"), "unused", "test.Item", 0, 0xFFFFFFFF, false, true);
  addProperty(findClass("test.Owner"), "unused", "test.Item", 0, 0xFFFFFFFF, false, true);
  create(makeClass("test.Special", {findClass("test.Item")}), 105);
  create(findClass("test.Owner"), 2);
  write(1, entry("parts", objects({103, 105, 100, 101})), entry("links", objects({104, 100, 105})));
  write(2, entry("parts", objects({102})));
  write(101, entry("refs", objects({101})));
  write(102, entry("refs", objects({100})));
  write(103, entry("refs", objects({104, 100, 105})));
  write(105, entry("refs", objects({103, 102})));
  const std::string expected = "103>104Item 103>100Item 103>105Special 105>103Item 105>102Item 101>101Item ";
  EXPECT_EQ(linksOfParts("refs"), expected);
  EXPECT_EQ(linksOfParts("refs", "parts", false),
            "103>104Item 103>100Item 103>105Item 105>103Item 105>102Item 101>101Item ")
      << "the targets' ids only, typed by the property";
  reopen();
  EXPECT_EQ(linksOfParts("refs"), expected);
  EXPECT_EQ(linksOfParts("unused"), "") << "never stored: no table";
  EXPECT_THROW(linksOfParts("refs", "links"), vlt::UsageError) << "not composite";
  EXPECT_THROW(linksOfParts("name"), vlt::UsageError) << "not a collection of links";
  // Each target with its own class and uuid; a collection never stored is empty.
  std::vector<std::vector<vlt::ObjectRef>> read;
  const auto of = [&](const std::string& name) { return property("test.Owner", name); };
  find(1).getCollections({of("parts"), of("unused"), of("links")}, read);
  std::string text;
  for (const std::vector<vlt::ObjectRef>& entries : read) {
    for (const vlt::ObjectRef& e : entries) {
      EXPECT_TRUE(e.carriesOwnClass());
      text += std::to_string(numberOf(e.objectIdentity())) + e.objectClass().name() + " ";
    }
    text += "| ";
  }
  EXPECT_EQ(text, "103Item 105Special 100Item 101Item | | 104Item 100Item 105Special | ");
  EXPECT_THROW(find(1).getCollections({of("links"), of("tags")}, read), vlt::UsageError) << "not of objects";

  // Read for many owners at once (more than one statement takes), each
  // owned object's entries are those a read for its owner alone gives,
  // together.
  const vlt::PropertyRef parts = property("test.Owner", "parts");
  const vlt::PropertyRef refs = property("test.Item", "refs");
  std::vector<vlt::ObjectRef> owners{find(1), find(2)};
  repo.beginTransaction();
  for (unsigned n = 0; n < 300; ++n) {
    owners.push_back(create(findClass("test.Owner"), 1000 + n));
    if (n % 3 == 0) continue;  // owns nothing
    vlt::ObjectRef part = create(findClass("test.Item"), 2000 + n);
    owners.back().setPropertyValue(parts, std::vector<vlt::ObjectRef>{part});
    part.setPropertyValue(refs, n % 3 == 1 ? std::vector<vlt::ObjectRef>{part, item(4)} : std::vector<vlt::ObjectRef>{});
  }
  repo.commitTransaction();
  std::vector<vlt::LinkEntry> entries;
  std::map<vlt::ObjectId, std::vector<vlt::ObjectId>> expectedOfEach;
  for (const vlt::ObjectRef& owner : owners) {
    owner.getLinksOfOwnedObjects(parts, refs, entries);
    for (const auto& [holder, targets] : linksByHolder(entries)) expectedOfEach[holder] = targets;
  }
  EXPECT_EQ(expectedOfEach.size(), 104u);
  std::reverse(owners.begin(), owners.end());
  for (const bool identity : {true, false}) {
    repo.defaultDataModel().getLinksOfOwnedObjects(owners, parts, refs, entries, identity);
    EXPECT_EQ(linksByHolder(entries), expectedOfEach);
  }
  owners.push_back(repo.getObjectRef(999999, findClass("test.Owner")));
  EXPECT_THROW(repo.defaultDataModel().getLinksOfOwnedObjects(owners, parts, refs, entries), vlt::ObjectNotFoundError);
}

INSTANTIATE_TEST_SUITE_P(Backends, CollectionTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
