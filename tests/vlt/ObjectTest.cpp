// Objects: identity and class, ownership, cascading deletion, incoming links.

#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

class ObjectTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {  // one commit
      base = makeClass("test.Base");
      node = makeClass("test.Node", {base});
      leaf = makeClass("test.Leaf", {node});
      addProperty(base, "label", "ustring", 0, 1, false, false, true);
      kids = addProperty(node, "kids", "test.Base", 0, 0xFFFFFFFF, true, true);
      only = addProperty(node, "only", "test.Base", 0, 1, true);
      addProperty(base, "watch", "test.Base", 0, 0xFFFFFFFF, false, true, false, false);
      addProperty(base, "mirror", "test.Base", 0, 0xFFFFFFFF, false, true, false, false, "mirror");
      best = addProperty(base, "best", "test.Base", 0, 1, false, false, true);
    });
  }
  // Each incoming entry as (owner's uuid number, property, index), the entry removed.
  std::vector<std::tuple<unsigned, std::string, std::size_t>> cutIncoming(unsigned uuid) {
    std::vector<std::tuple<unsigned, std::string, std::size_t>> seen;
    find(uuid).processIncomingMultiValuedUnidirectionalAssociations([&](vlt::CollectionRef& c, std::size_t index) {
      seen.emplace_back(numberOf(c.owningObject().objectIdentity()), c.owningProperty().name(), index);
      c.removeAt(index);
    });
    return seen;
  }

  vlt::ClassRef base, node, leaf;
  vlt::PropertyRef kids, only, best;
};

TEST_P(ObjectTest, HandlesCarryTheObjectsOwnClassWhateverClassWasAsked) {
  create(leaf, 1);
  create(base, 2);
  write(2, entry("watch", objects({1})));
  reopen();
  vlt::ObjectRef byBase = find(1, "test.Base");
  ASSERT_FALSE(byBase.isNull());
  EXPECT_EQ(byBase.objectClass().qualifiedName(), "test.Leaf");
  EXPECT_EQ(byBase.objectRuntimeClass().qualifiedName(), "test.Leaf");
  EXPECT_EQ(byBase, find(1, "test.Leaf")) << "the same object through any class of its lineage";
  EXPECT_TRUE(find(2, "test.Node").isNull()) << "a Base is not a Node";
  EXPECT_TRUE(find(3, "test.Base").isNull());
  const auto watched = readValue<std::vector<vlt::ObjectRef>>(find(2), property("test.Base", "watch"));
  ASSERT_EQ(watched.size(), 1u);
  EXPECT_EQ(watched[0].objectClass().qualifiedName(), "test.Leaf") << "a link carries its target's own class";
  const vlt::ObjectRef byId = repo.defaultDataModel().objectById(byBase.objectId());
  EXPECT_EQ(byId.objectClass().qualifiedName(), "test.Leaf");
  EXPECT_EQ(byId.objectIdentity(), byBase.objectIdentity());
  EXPECT_TRUE(repo.defaultDataModel().objectById(byBase.objectId() + 1000).isNull());
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Node")), 1u);
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 2u);
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base"), false), 1u);
  // Inside a transaction findObject brings the row along and lookUpObject
  // does not: they still find the same objects, and what is read next is the
  // object's own (not the row of the object found before it).
  repo.beginTransaction();
  const vlt::DataModelRef data = repo.defaultDataModel();
  EXPECT_FALSE(data.findObject(makeUuid(1), findClass("test.Base")).isNull());
  const vlt::ObjectRef looked = data.lookUpObject(makeUuid(2), findClass("test.Base"));
  EXPECT_EQ(looked, find(2));
  EXPECT_EQ(readValue<std::vector<vlt::ObjectRef>>(looked, property("test.Base", "watch")).size(), 1u);
  EXPECT_EQ(data.lookUpObject(makeUuid(1), findClass("test.Base")), byBase);
  EXPECT_TRUE(data.lookUpObject(makeUuid(2), findClass("test.Node")).isNull());
  EXPECT_TRUE(data.lookUpObject(makeUuid(3), findClass("test.Base")).isNull());
  // Many at once answer as one at a time, in order, past a statement's share.
  for (const char* cls : {"test.Base", "test.Leaf", "test.Node"}) {
    std::vector<boost::uuids::uuid> uuids;
    for (unsigned i = 0; i < 600; ++i) uuids.push_back(makeUuid(i * 7 % 4));
    const std::vector<vlt::ObjectRef> many = data.lookUpObjects(uuids, findClass(cls));
    ASSERT_EQ(many.size(), uuids.size());
    for (std::size_t i = 0; i < uuids.size(); ++i) ASSERT_EQ(many[i], data.lookUpObject(uuids[i], findClass(cls))) << cls << i;
    // The ids alone come whatever the class.
    const std::vector<vlt::ObjectId> ids = data.lookUpObjectIds(uuids);
    for (std::size_t i = 0; i < uuids.size(); ++i)
      ASSERT_EQ(ids[i], data.lookUpObject(uuids[i], findClass("test.Base")).objectId()) << i;
  }
  repo.rollbackTransaction();
}

TEST_P(ObjectTest, OwnershipReportsOwnerPropertyAndPositionAndHasNoCycles) {
  create(node, 1);
  create(leaf, 2);
  for (unsigned i = 3; i <= 5; ++i) create(base, i);
  expectRoundTrip(1, entry("kids", objects({2, 3, 5})), entry("only", Obj{4}));
  EXPECT_EQ(ownerOf(3), "1.kids[1]");
  EXPECT_EQ(ownerOf(4), "1.only[0]");
  EXPECT_EQ(ownerOf(1), "root");
  vlt::ObjectRef owner;
  vlt::PropertyRef through;
  std::uint64_t ordinal = 0;
  find(2).getOwnership(owner, through, ordinal);
  EXPECT_EQ(owner.objectClass().qualifiedName(), "test.Node");
  EXPECT_EQ(repo.defaultDataModel().rootObjects().size(), 1u);
  // An object cannot own its owner, nor itself (handles of the reopened repository).
  EXPECT_THROW(find(2).setPropertyValue(property("test.Node", "only"), find(1)), vlt::UsageError);
  EXPECT_THROW(find(2).setPropertyValue(property("test.Node", "kids"), std::vector<vlt::ObjectRef>{find(2)}, false),
               vlt::UsageError);
  EXPECT_EQ(ownerOf(1), "root");
  // Deleting an owned object leaves its owner and siblings.
  find(3).deleteObject();
  expectStored(1, entry("kids", objects({2, 5})));
  EXPECT_EQ(ownerOf(5), "1.kids[1]") << "the position counts the remaining siblings";
  // In a transaction the lookup reads the place too; a write that moves the
  // object makes it read again.
  repo.beginTransaction();
  vlt::ObjectRef one = find(1, "test.Node");
  const vlt::ObjectRef five = find(5, "test.Base");
  one.setPropertyValue(property("test.Node", "only"), five);
  five.getOwnership(owner, through, ordinal);
  EXPECT_EQ(through.name(), "only");
  repo.commitTransaction();
}

// What a deletion leaves of the objects and links around it is drawn by
// RandomDeletionsLeaveWhatAModelOfThemLeaves; here what only whole
// deletions and closed repositories show.
TEST_P(ObjectTest, DeletingEveryObjectKeepsTheMetamodelAndHandsOutNewIds) {
  vlt::ObjectRef outsider = create(base, 4);
  create(node, 5);
  reopen();
  EXPECT_THROW(outsider.deleteObject(), vlt::UsageError) << "its handle belongs to the closed repository";
  // Deleting every object keeps the metamodel; a new object with an old uuid
  // starts empty, with a new id.
  write(5, entry("label", std::u16string(u"five")), entry("kids", objects({4})));
  const vlt::ObjectId five = find(5).objectId();
  repo.defaultDataModel().deleteAllObjects();
  reopen();
  EXPECT_TRUE(repo.defaultDataModel().rootObjects().empty());
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 0u);
  vlt::ObjectRef again = create(findClass("test.Node"), 5);
  expectStored(5, entry("label", boost::optional<std::u16string>()));
  EXPECT_NE(again.objectId(), five) << "ids are not handed out twice";
}

// A subtree goes with a few statements per table that holds it or links to
// it, however large it is; the links into it are found the same way. (The
// first deletion of a connection also makes what deletions share: it is
// not counted.)
TEST_P(ObjectTest, DeletingASubtreeRunsAsManyStatementsForSixHundredObjectsAsForThreeHundred) {
  create(base, 1);
  std::vector<std::size_t> counts;
  for (const unsigned size : {10u, 300u, 600u}) {
    const unsigned top = size;  // the tree's uuids: size .. 2 * size - 1
    repo.performDictionaryFunction([&] {
      create(findClass("test.Node"), top);
      std::vector<Obj> children;
      for (unsigned i = top + 1; i < 2 * size; ++i) {
        create(findClass(i % 2 ? "test.Leaf" : "test.Node"), i);
        children.push_back(Obj{i});
      }
      write(top, entry("kids", children));
      for (unsigned i = top + 1; i < 2 * size; ++i) write(i, entry("best", Obj{i - 1}), entry("watch", objects({top, 1})));
      write(1, entry("watch", objects({top + 1, 1, top + 3, top + 5})), entry("best", Obj{top + 2}));
    });
    const auto links = repo.defaultDataModel().linksInto(property("test.Base", "watch"), {find(top + 1), find(top + 3)});
    ASSERT_EQ(links.size(), 2u);
    EXPECT_EQ(std::make_tuple(numberOf(links[0].holder.objectIdentity()), links[0].index, links[1].index),
              std::make_tuple(1u, std::size_t{2}, std::size_t{0}));
    traceStatements();
    find(top).deleteObject();
    repo.setTraceCallback(nullptr);
    counts.push_back(trace.size());
    expectStored(1, entry("watch", objects({1})), entry("best", Obj{0}));
    const auto kept = repo.defaultDataModel().linksInto(property("test.Base", "watch"), {find(1)});
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].index, 0u) << "the entries after a removed one moved down";
    EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Base")), 1u);
  }
  EXPECT_EQ(counts[1], counts[2]);
}

// Deletions of random sets of subtrees, small and large, from random forests,
// against a model of what must be left: which objects, their values, their
// children and their links with the deleted targets taken out. The large
// ones empty whole tables or keep the few survivors aside; a survivor of a
// subclass keeps its class's tables in use.
TEST_P(ObjectTest, RandomDeletionsLeaveWhatAModelOfThemLeaves) {
  repo.performDictionaryFunction([&] {
    addProperty(node, "rank", "int32", 0, 1, false, false, true);
    addProperty(node, "refs", "test.Base", 0, 0xFFFFFFFF, false, true, false, false);
  });
  vlt::PropertyRef label, watch, rank, refs;
  auto refresh = [&] {  // handles die with the connection
    base = findClass("test.Base"), node = findClass("test.Node"), leaf = findClass("test.Leaf");
    kids = property("test.Node", "kids"), best = property("test.Base", "best"), label = property("test.Base", "label");
    watch = property("test.Base", "watch"), rank = property("test.Node", "rank"), refs = property("test.Node", "refs");
  };
  refresh();
  struct Modelled {
    int cls = 0;  // 0 base, 1 node, 2 leaf
    unsigned best = 0;
    std::vector<unsigned> watch, refs, kids;
  };
  std::map<unsigned, Modelled> model;
  std::mt19937 random(GetParam() == Backend::SQLite ? 7 : 8);
  unsigned next = 1;
  auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  for (const int scenario : {0, 1, 2, 3, 4, 5}) {
    SCOPED_TRACE("scenario " + std::to_string(scenario));
    // A forest of 400 new objects beside what earlier scenarios left.
    std::vector<unsigned> made;
    std::map<unsigned, vlt::ObjectRef> handles;
    repo.performDictionaryFunction([&] {
      for (int i = 0; i < 400; ++i) {
        const unsigned n = next++;
        model[n].cls = static_cast<int>(pick(3));
        handles[n] = create(model[n].cls == 0 ? base : model[n].cls == 1 ? node : leaf, n);
        made.push_back(n);
      }
      std::vector<unsigned> all;
      for (const auto& [n, m] : model) all.push_back(n);
      for (const unsigned n : made) {
        Modelled& m = model[n];
        const unsigned owner = made[pick(made.size())];
        if (owner < n && model[owner].cls != 0 && pick(4) != 0) model[owner].kids.push_back(n);
        m.best = pick(3) == 0 ? 0 : all[pick(all.size())];
        for (std::size_t k = pick(4); k > 0; --k) m.watch.push_back(all[pick(all.size())]);
        if (m.cls != 0)
          for (std::size_t k = pick(3); k > 0; --k) m.refs.push_back(all[pick(all.size())]);
      }
      for (const unsigned n : made) {
        const Modelled& m = model[n];
        vlt::ObjectRef o = handles[n];
        o.setPropertyValue(label, std::u16string(u"o") + static_cast<char16_t>(u'a' + n % 26));
        o.setPropertyValue(best, m.best ? find(m.best) : vlt::ObjectRef());
        std::vector<vlt::ObjectRef> targets;
        for (unsigned t : m.watch) targets.push_back(find(t));
        o.setPropertyValue(watch, targets, false);
        if (m.cls == 0) continue;
        o.setPropertyValue(rank, static_cast<int>(n));
        targets.clear();
        for (unsigned t : m.refs) targets.push_back(find(t));
        o.setPropertyValue(refs, targets, false);
        targets.clear();
        for (unsigned t : m.kids) targets.push_back(handles[t]);
        o.setPropertyValue(kids, targets, false);
      }
    });
    // The roots of the deletion: a few objects; every Node with what it
    // owns (the Leaves elsewhere stay); every Node and Leaf; half the trees;
    // all trees but one; everything.
    std::vector<unsigned> roots;
    unsigned keptRoot = 0;
    for (const auto& [n, m] : model) {
      const bool isRoot = std::none_of(model.begin(), model.end(), [n = n](const auto& o) {
        return std::count(o.second.kids.begin(), o.second.kids.end(), n) > 0;
      });
      if (isRoot && keptRoot == 0) keptRoot = n;
      if ((scenario == 0 && pick(40) == 0) || (scenario == 1 && m.cls == 1) || (scenario == 2 && m.cls != 0) ||
          (scenario == 3 && isRoot && pick(2) == 0) || (scenario == 4 && isRoot && n != keptRoot) || scenario == 5)
        roots.push_back(n);
    }
    // What the roots own without naming it is shown to the deletion, which
    // keeps some of it as roots, with what they own.
    const std::set<unsigned> named(roots.begin(), roots.end());
    std::set<unsigned> toShow, kept, shown;
    for (unsigned n : named) {
      for (unsigned kid : model[n].kids) {
        if (named.count(kid)) continue;
        toShow.insert(kid);
        if (kid % 5 == 0) kept.insert(kid);
      }
    }
    std::set<unsigned> doomed(named);
    for (bool grew = true; grew;) {
      grew = false;
      for (const unsigned n : std::vector<unsigned>(doomed.begin(), doomed.end()))
        for (unsigned kid : model[n].kids) grew |= !kept.count(kid) && doomed.insert(kid).second;
    }
    // The links cut in the survivors: (holder, property, target, index).
    std::vector<std::tuple<unsigned, std::string, unsigned, std::size_t>> expectedCuts, cuts;
    for (const auto& [n, m] : model) {
      if (doomed.count(n)) continue;
      if (doomed.count(m.best)) expectedCuts.emplace_back(n, "best", m.best, 0);
      for (std::size_t i = 0; i < m.watch.size(); ++i)
        if (doomed.count(m.watch[i])) expectedCuts.emplace_back(n, "watch", m.watch[i], i);
      for (std::size_t i = 0; i < m.refs.size(); ++i)
        if (doomed.count(m.refs[i])) expectedCuts.emplace_back(n, "refs", m.refs[i], i);
    }
    std::vector<vlt::ObjectRef> handlesOfRoots;
    for (unsigned n : roots) handlesOfRoots.push_back(find(n));
    handlesOfRoots.push_back(find(roots.empty() ? 1 : roots.front()));  // named twice
    std::vector<boost::uuids::uuid> uuids;
    for (const auto& [n, m] : model) uuids.push_back(makeUuid(n));
    const std::vector<vlt::ObjectId> ids = repo.defaultDataModel().lookUpObjectIds(uuids);
    std::map<vlt::ObjectId, unsigned> uuidOf;
    for (std::size_t i = 0; i < ids.size(); ++i) uuidOf[ids[i]] = numberOf(uuids[i]);
    const std::vector<vlt::CutLink> cut =
        repo.defaultDataModel().deleteObjectsCuttingLinks(handlesOfRoots, [&](const vlt::ObjectRef& o) {
          const unsigned n = numberOf(o.objectIdentity());
          shown.insert(n);
          return kept.count(n) > 0;
        });
    EXPECT_EQ(shown, toShow);
    for (std::size_t i = 0; i < cut.size(); ++i) {
      const vlt::CutLink& c = cut[i];
      cuts.emplace_back(numberOf(c.link.holder.objectIdentity()), c.property.name(), uuidOf[c.link.target], c.link.index);
      if (i > 0 && cut[i - 1].property == c.property && cut[i - 1].link.holder == c.link.holder) {
        EXPECT_GT(cut[i - 1].link.index, c.link.index) << "a holder's entries from the last to the first";
      }
    }
    std::sort(expectedCuts.begin(), expectedCuts.end());
    std::sort(cuts.begin(), cuts.end());
    EXPECT_EQ(cuts, expectedCuts);
    for (unsigned n : doomed) model.erase(n);
    for (auto& [n, m] : model) {
      if (doomed.count(m.best)) m.best = 0;
      for (auto* list : {&m.watch, &m.refs, &m.kids})
        list->erase(std::remove_if(list->begin(), list->end(), [&](unsigned t) { return doomed.count(t) > 0; }),
                    list->end());
    }
    reopen();
    refresh();
    EXPECT_EQ(repo.defaultDataModel().countObjects(base), model.size());
    for (unsigned n : doomed) EXPECT_TRUE(find(n).isNull()) << n << " was deleted";
    for (unsigned n : kept) EXPECT_EQ(ownerOf(n), "root") << n << " was kept";
    auto uuidsOf = [](const std::vector<vlt::ObjectRef>& links) {
      std::vector<unsigned> out;
      for (const vlt::ObjectRef& o : links) out.push_back(numberOf(o.objectIdentity()));
      return out;
    };
    for (const auto& [n, m] : model) {
      const vlt::ObjectRef o = find(n);
      ASSERT_FALSE(o.isNull()) << n << " survives";
      const vlt::ObjectRef bestRead = readValue<vlt::ObjectRef>(o, best);
      EXPECT_EQ(bestRead.isNull() ? 0 : numberOf(bestRead.objectIdentity()), m.best) << n;
      EXPECT_EQ(uuidsOf(readValue<std::vector<vlt::ObjectRef>>(o, watch)), m.watch) << n;
      EXPECT_TRUE(readValue<boost::optional<std::u16string>>(o, label)) << n;
      if (m.cls == 0) continue;
      EXPECT_EQ(readValue<boost::optional<int>>(o, rank).value_or(-1), static_cast<int>(n)) << n;
      EXPECT_EQ(uuidsOf(readValue<std::vector<vlt::ObjectRef>>(o, refs)), m.refs) << n;
      EXPECT_EQ(uuidsOf(readValue<std::vector<vlt::ObjectRef>>(o, kids)), m.kids) << n;
    }
    if (HasFailure()) return;
  }
}

TEST_P(ObjectTest, IncomingUnidirectionalCollectionsAreReportedInDescendingOrderAndCanBeCut) {
  create(leaf, 1);
  create(base, 2);
  create(base, 3);
  write(2, entry("watch", objects({3, 1, 2})));
  write(3, entry("watch", objects({1})), entry("mirror", objects({1})),  // has an opposite: not reported
        entry("best", Obj{1}));                                          // single-valued: not reported
  EXPECT_EQ(cutIncoming(1), (std::vector<std::tuple<unsigned, std::string, std::size_t>>{
                                {2, "watch", 1}, {3, "watch", 0}}));
  expectStored(2, entry("watch", objects({3, 2})));
  // Entries of one collection come in descending order, so each can be removed at its index.
  addProperty(findClass("test.Base"), "loose", "test.Base", 0, 0xFFFFFFFF, false, true, false, false);
  write(2, entry("loose", objects({1, 2, 1, 1})));
  EXPECT_EQ(cutIncoming(1), (std::vector<std::tuple<unsigned, std::string, std::size_t>>{
                                {2, "loose", 3}, {2, "loose", 2}, {2, "loose", 0}}));
  expectStored(2, entry("loose", objects({2})));
}

// A link is stored only to an object that exists at its commit. One to an
// object another connection deleted, or to an id no object has, fails the
// commit, and nothing of the transaction stays; a link the transaction took
// back (its target deleted, its call rolled back) does not. Links to objects
// the transaction made (ids reserved ahead included) or found need no look.
TEST_P(ObjectTest, ALinkIsStoredOnlyToAnObjectThatExistsAtItsCommit) {
  vlt::ObjectRef holder = create(node, 1);
  const vlt::ObjectRef gone = create(node, 2);
  vlt::ObjectRef doomed = create(node, 3);
  const vlt::PropertyRef watch = property("test.Base", "watch");
  {
    Repo other;
    other.open(connectionString(), "", options);
    other.defaultDataModel().findObject(makeUuid(2), other.metamodel().findClass("test.Node")).deleteObject();
  }
  vlt::ObjectId spare = 0;
  repo.allocateObjectIds(1, spare);
  const auto refused = [&](const std::function<void()>& write) {
    repo.beginTransaction();
    create(node, 9);
    write();
    EXPECT_THROW(repo.commitTransaction(), vlt::ObjectNotFoundError);
    EXPECT_TRUE(find(9).isNull()) << "the transaction went";
  };
  refused([&] { holder.setPropertyValue(best, gone); });
  refused([&] { holder.setPropertyValue(watch, std::vector<vlt::ObjectRef>{holder, gone}); });
  refused([&] {
    vlt::ObjectRef brief = create(node, 14);
    brief.deleteObject();
    holder.setPropertyValue(best, brief);
  });
  refused([&] {
    vlt::ObjectConstructor ctor(node);
    ctor.setPropertyValueSource(best, &gone);
    construct(ctor, 10);
  });
  EXPECT_THROW(holder.setPropertyValue(best, repo.getObjectRef(spare, node)), vlt::ObjectNotFoundError)
      << "a reserved id no object has, outside a transaction";
  EXPECT_TRUE(readValue<vlt::ObjectRef>(holder, best).isNull());

  traceStatements();
  const auto looks = [&] { return traced("SELECT id FROM vlt_object WHERE id IN"); };
  const vlt::ClassRef stranger = makeClass("test.Stranger");
  repo.beginTransaction();
  holder.setPropertyValue(best, doomed);
  EXPECT_THROW(holder.setPropertyValue(watch, std::vector<vlt::ObjectRef>{gone, repo.getObjectRef(1, stranger)}),
               vlt::UsageError);
  doomed.deleteObject();
  holder.setPropertyValue(watch, std::vector<vlt::ObjectRef>{repo.getObjectRef(spare, node), holder});
  vlt::ObjectConstructor late(node);
  late.setPropertyValueSource(best, &holder);
  construct(late, 11, spare);
  trace.clear();
  repo.commitTransaction();
  EXPECT_EQ(looks(), 1u) << "after a deletion, at the commit";
  EXPECT_TRUE(readValue<vlt::ObjectRef>(holder, best).isNull());
  EXPECT_EQ(readValue<std::vector<vlt::ObjectRef>>(holder, watch), (std::vector<vlt::ObjectRef>{find(11), holder}));

  repo.beginTransaction();
  vlt::ObjectId ahead = 0;
  repo.allocateObjectIds(1, ahead);
  vlt::ObjectRef made = create(node, 12);
  holder.setPropertyValue(watch, std::vector<vlt::ObjectRef>{made, find(11), repo.getObjectRef(ahead, node)});
  made.setPropertyValue(best, find(1));
  construct(late, 13, ahead);
  trace.clear();
  repo.commitTransaction();
  repo.setTraceCallback(nullptr);
  EXPECT_EQ(looks(), 0u) << "every target made or found";
}

// Handles of another repository, and a handle or membership of another class
// than the object's: every write through them is refused and lands nowhere.
TEST_P(ObjectTest, HandlesOfAnotherRepositoryOrClassAreRefused) {
  vlt::ObjectRef mine = create(node, 1);
  Repo other;
  other.open(dir.file("other.db"), "", options);
  vlt::ClassRef foreign = other.createClass("test.Base", {});
  vlt::PropertyRef foreignLabel = addPropertyIn(other, foreign, "label", "ustring", 0, 1, false, false, true);
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

  // A Base seen through a Node handle.
  const vlt::PropertyRef n = addProperty(node, "n", "int32", 0, 1, false, false, true);
  const vlt::PropertyRef many = addProperty(node, "many", "int32", 0, 5);
  vlt::ObjectRef asNode = repo.getObjectRef(create(base, 2).objectId(), node);
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { asNode.setPropertyValue(n, 5); }), ::testing::HasSubstr("test.Base"));
  EXPECT_THROW(asNode.setPropertyValue(many, std::vector<int>{1, 2}), vlt::UsageError);
  auto values = readValue<vlt::BuiltinTypeCollectionRef<int>>(asNode, many);
  EXPECT_THROW(values.push_back(3), vlt::UsageError);
  EXPECT_EQ(values.size(), 0u);
  EXPECT_FALSE(readValue<boost::optional<int>>(asNode, n)) << "nothing landed in test.Node's tables";
  // A membership given at construction needs a child of the property's type.
  membership = kids;
  owner = static_cast<std::int32_t>(mine.objectId());
  vlt::ObjectConstructor outsider(makeClass("test.Outside"));
  outsider.setCompositionMembershipSource(&membership, &owner, &ordinal);
  EXPECT_THROW(construct(outsider, 3), vlt::UsageError);
  EXPECT_TRUE(find(3).isNull());
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
