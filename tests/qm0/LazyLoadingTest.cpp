// What a data source loads lazily: proxies resolved in place, deferred
// reference collections, and subtrees asked for once.

#include "RecordingDataSource.hpp"
#include "Seed.hpp"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <random>

namespace {

using namespace qm0test;

using ProxyTest = DataSourceTest;

TEST_F(ProxyTest, AProxyIsKnownByIdentityStaysOneIfTheDataSourceCannotLoadItAndGoesWithAllElements) {
  ModelElement p = proxy(mm.book, 5);
  EXPECT_FALSE(p.isDestroyed());
  EXPECT_EQ(p.getUUID(), uuidOf(5));
  EXPECT_EQ(p.getModel(), model);
  EXPECT_FALSE(model->findElement(uuidOf(5)));
  EXPECT_TRUE(model->getAllElements().empty());
  EXPECT_EQ(proxy(mm.book, 5), p);  // one proxy per identity
  // Upper-case id text is a uuid too; other id types are not supported.
  datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
  const ProxyId upper(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-00000000000A", boost::none);
  // An id made from a uuid is its lower-case text, and names the same proxy.
  const ProxyId fromUuid(uuidOf(10));
  EXPECT_EQ(fromUuid.getElementId(), ElementId(ElementId::UUID_TYPE, u"00000000-0000-0000-0000-00000000000a"));
  EXPECT_EQ(ModelElement::createProxy(model, mm.book, fromUuid), ModelElement::createProxy(model, mm.book, upper));
  EXPECT_THROW(ModelElement::createProxy(model, mm.book, ProxyId(u"PATH", u"/a/b", boost::none)),
               std::invalid_argument);
  EXPECT_THROW(ModelElement::createProxy(model, mm.book, ProxyId(ElementId::UUID_TYPE, u"{not}", boost::none)),
               std::invalid_argument);
  loading.commit();
  EXPECT_FALSE(p.isSet(mm.pages));
  EXPECT_TRUE(p.isProxy());
  EXPECT_EQ(ds->calls, Calls{"findElement"});  // only now: making proxies asks nothing
  // Destroying all elements takes proxies too: only a proxy made again can
  // stand for the element then.
  ModelElement lib;
  inTransaction([&] {
    lib = make(mm.library, 1);
    model->destroyAllElements();
  });
  EXPECT_TRUE(p.isDestroyed());
  EXPECT_TRUE(lib.isDestroyed());
  ASSERT_EQ(ds->snapshots.size(), 3u);  // before, the all-destroyed step, the empty rest
  EXPECT_TRUE(ds->snapshots[1].allDestroyed);
  EXPECT_TRUE(ds->snapshots[2].created.empty() && !ds->snapshots[2].allDestroyed);
  EXPECT_NE(proxy(mm.book, 5), p);
}

// Proxy ids are written and read without boost's stream conversions: the
// result must be the same text and uuid as boost's, and a near miss refused.
TEST(ElementIdText, MatchesTheCanonicalFormBothWays) {
  const unsigned seed = testSeed(3);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 engine(seed);
  boost::uuids::basic_random_generator<std::mt19937> generate(engine);
  for (int i = 0; i < 200; ++i) {
    const boost::uuids::uuid uuid = generate();
    const std::string canonical = boost::uuids::to_string(uuid);
    const std::u16string text = ElementId::uuidText(uuid);
    ASSERT_EQ(text, std::u16string(canonical.begin(), canonical.end()));
    boost::uuids::uuid parsed;
    EXPECT_TRUE(ElementId::parseUUID(text, parsed) && parsed == uuid) << canonical;
    std::u16string upper = text;
    for (char16_t& c : upper) c = c >= u'a' && c <= u'f' ? static_cast<char16_t>(c - u'a' + u'A') : c;
    EXPECT_TRUE(ElementId::parseUUID(upper, parsed) && parsed == uuid) << canonical << " in upper case";
    // Every position spoilt in turn: a digit for a hyphen, a non-digit for a digit.
    std::u16string spoilt = text;
    const std::size_t at = static_cast<std::size_t>(i) % text.size();
    spoilt[at] = text[at] == u'-' ? u'0' : u'g';
    EXPECT_FALSE(ElementId::parseUUID(spoilt, parsed)) << canonical << " at " << at;
  }
  boost::uuids::uuid untouched{};
  EXPECT_FALSE(ElementId::parseUUID(u"", untouched));
  EXPECT_FALSE(ElementId::parseUUID(u"00000000-0000-0000-0000-0000000000001", untouched));
  EXPECT_FALSE(ElementId::parseUUID(u"{00000000-0000-0000-0000-000000000001}", untouched));
  EXPECT_TRUE(untouched.is_nil());
}

// Loaded as a subclass, the element has slots the proxy lacks: a rollback
// forgets what was set in them and turns the element back into the proxy.
TEST_F(ProxyTest, PublicAccessLoadsTheProxyIntoTheSameHandleAndARollbackTurnsItBack) {
  ds->store[uuidOf(5)] = {mm.ebook, {{mm.pages, integer(300)}, {mm.name, str(u"Dune")}}};
  ds->store[uuidOf(6)] = ds->store[uuidOf(5)];
  ModelElement lib, fan;
  inTransaction([&] { lib = make(mm.library, 1), fan = make(mm.person, 2); });
  ModelElement p = proxy(mm.book, 5);
  ds->propagateDataSourceValueToMemory(fan, mm.favorite, p);
  ds->propagateDataSourceValuesToMemory(lib, mm.books, Elements{p});
  ds->calls.clear();
  EXPECT_TRUE(p.get(mm.pages, ds->privileged()).isEmpty());  // privileged: never loads
  EXPECT_TRUE(ds->calls.empty());
  rolledBack([&] {
    EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
    p.set(mm.pages, integer(301));
    p.set(mm.url, stdstr("http://example.com/a-long-address"));
  });
  EXPECT_TRUE(p.isProxy());
  EXPECT_EQ(p.getMetaClass(), mm.book);
  EXPECT_FALSE(p.isSet(mm.pages, ds->privileged()));
  EXPECT_FALSE(model->findElement(uuidOf(5)));
  // Loaded again, it is what the store holds, without the forgotten values.
  ds->calls.clear();
  EXPECT_EQ(p.get(mm.pages).get<int>(), 300);
  EXPECT_FALSE(p.isSet(mm.url));
  EXPECT_FALSE(p.isProxy());
  EXPECT_EQ(p.getMetaClass(), mm.ebook);  // the stored class
  EXPECT_EQ(p.get(mm.name).get<std::u16string>(), u"Dune");
  EXPECT_EQ(p.getOwner(), lib);  // what was set into the proxy stays
  EXPECT_EQ(fan.get(mm.favorite).getElement(), p);
  EXPECT_EQ(model->findElement(uuidOf(5)), p);
  EXPECT_EQ(ds->calls, Calls{"findElement"});  // loaded once, for all of these reads
  EXPECT_EQ(pendingChanges(), Lists());  // loading is no change of the model
  // A proxy made in a rolled back transaction is removed, with the class it
  // was made with; so is one made by an abandoned loading.
  ModelElement gone;
  {
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    gone = ModelElement::createProxy(model, mm.book, idOf(7));
  }
  EXPECT_TRUE(gone.isDestroyed());
  EXPECT_EQ(proxy(mm.book, 7).isProxy(), true);
  ModelElement made;
  rolledBack([&] {
    made = proxy(mm.book, 6);
    EXPECT_EQ(made.get(mm.pages).get<int>(), 300);
    EXPECT_EQ(made.getMetaClass(), mm.ebook);
  });
  EXPECT_TRUE(made.isDestroyed());
  EXPECT_EQ(made.getMetaClass(), mm.book);
  EXPECT_FALSE(made.isSet(mm.pages, ds->privileged()));
  EXPECT_FALSE(model->findElement(uuidOf(6)));
  EXPECT_NE(proxy(mm.book, 6), made);  // the identity is free again
}

class DeferredCollectionTest : public DataSourceTest {
 protected:
  ModelElement b1, b2, b3, reviewer;
  void SetUp() override {
    DataSourceTest::SetUp();
    inTransaction([&] { b1 = make(mm.book, 1), b2 = make(mm.book, 2), b3 = make(mm.book, 3); });
    // Person 5 is stored with two reviewed books; the data source loads it.
    ds->store[uuidOf(5)] = {mm.person, {{mm.name, str(u"critic")}}};
    ds->collections[uuidOf(5)] = {uuidOf(1), uuidOf(2)};
    reviewer = ds->findElement(mm.person, idOf(5).getElementId());
    ds->calls.clear();
    ds->snapshots.clear();
  }
};

TEST_F(DeferredCollectionTest, ALoadedElementsDeferredCollectionLoadsOnFirstPublicReadOrEditButNotInARolledBackOne) {
  ASSERT_TRUE(reviewer);
  ReferenceCollection collection(reviewer, mm.reviewed);
  // An edit sees the whole collection first; a rollback forgets what was
  // loaded in the transaction.
  rolledBack([&] {
    reviewer.append(mm.reviewed, ref(b3));
    EXPECT_EQ(targets(reviewer, mm.reviewed), (Elements{b1, b2, b3}));
  });
  EXPECT_EQ(std::count(ds->calls.begin(), ds->calls.end(), "loadCollectionContents"), 1);
  ds->calls.clear();
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(collection.size(), 0u);
  EXPECT_TRUE(reviewer.get(mm.reviewed, ds->privileged()).isEmpty());
  EXPECT_FALSE(reviewer.isSet(mm.reviewed, ds->privileged()));
  EXPECT_TRUE(reviewer.isSet(mm.reviewed));  // asks, does not load
  EXPECT_EQ(ds->calls, Calls{"hasCollectionContents"});
  EXPECT_EQ(targets(reviewer, mm.reviewed), (Elements{b1, b2}));  // still unloaded: this loads
  EXPECT_EQ(ds->calls, (Calls{"hasCollectionContents", "loadCollectionContents"}));
  EXPECT_TRUE(collection.isLoaded());
  EXPECT_EQ(targets(reviewer, mm.reviewed).size(), 2u);
  EXPECT_EQ(ds->calls.size(), 2u);  // loaded once
  EXPECT_EQ(pendingChanges(), Lists());  // loading is no change
}

// Collections of elements made by hosts are loaded from the start; values of
// collections read as collections.
TEST_F(DeferredCollectionTest, HostMadeCollectionsAreLoadedValuesReadAsCollectionsAndARollbackKeepsPropagatedEntries) {
  ModelElement own;
  inTransaction([&] { own = make(mm.person, 9); });
  EXPECT_TRUE(ReferenceCollection(own, mm.reviewed).isLoaded());
  EXPECT_FALSE(own.isSet(mm.reviewed));
  EXPECT_TRUE(targets(own, mm.reviewed).empty());
  // Neither hasCollectionContents nor loadCollectionContents was asked.
  EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "snapshot", "precommit", "commit"}));
  // A value of a reference collection reads as the collection.
  ReferenceCollection c = reviewer.get(mm.reviewed, ds->privileged()).get<ReferenceCollection>();
  EXPECT_EQ(c.getOwner(), reviewer);
  EXPECT_EQ(c.getCollectionProperty(), mm.reviewed);
  for (const meta::Property& single : {mm.name, mm.favorite})
    EXPECT_EQ(errorIdOf([&] { reviewer.get(single).get<ReferenceCollection>(); }),
              "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_THROW(ReferenceCollection(reviewer, mm.favorite), std::invalid_argument);
  // A data source may add to a collection it has not loaded yet; a rollback
  // gives back those entries and the unloaded state after later edits.
  ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b1, 0);
  ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b2, 1);
  ReferenceCollection collection(reviewer, mm.reviewed);
  ASSERT_FALSE(collection.isLoaded());
  rolledBack([&] {
    ds->propagateDataSourceValueToMemory(reviewer, mm.reviewed, b3, 1);
    EXPECT_EQ(targets(reviewer, mm.reviewed), (Elements{b1, b2}));  // loads: what is stored
    reviewer.removeAt(mm.reviewed, 0);
    reviewer.append(mm.reviewed, ref(b3));
    EXPECT_TRUE(collection.isLoaded());
  });
  EXPECT_FALSE(collection.isLoaded());
  EXPECT_EQ(reviewer.get(mm.reviewed, ds->privileged()).getAll<ModelElement>(), (Elements{b1, b2}));
}

// --- Subtrees ----------------------------------------------------------------

TEST_F(DataSourceTest, AllContentsAsksTheDataSourceOnceForTheRootThenWalksWhatItLoadedAndFailuresPassOn) {
  ModelElement lib, b1, b2, b3, p1;
  inTransaction([&] {
    lib = make(mm.library, 1), b1 = make(mm.book, 2);
    lib.append(mm.books, ref(b1));
  });
  ds->calls.clear();
  Elements askedFor, inMemoryWhenAsked;
  ds->onLoadSubtree = [&](const ModelElement& root) {
    askedFor.push_back(root);
    if (root != lib) return;
    inMemoryWhenAsked = root.getAllContents(RecordingDataSource::privileged());
    datasource::LoadingTransaction loading = ds->beginLoadingTransaction();
    b2 = make(mm.book, 3), p1 = make(mm.person, 4);
    // A stored member the data source could only name: the walk lists the
    // proxy and does not try to load it.
    b3 = ModelElement::createProxy(model, mm.book, idOf(5));
    ds->propagateDataSourceValuesToMemory(lib, mm.books, Elements{b1, b2, b3});
    ds->propagateDataSourceValuesToMemory(lib, mm.members, Elements{p1});
    loading.commit();
  };
  const Elements contents = lib.getAllContents();  // loads b2, b3 and p1
  EXPECT_EQ(contents, (Elements{b1, b2, b3, p1}));
  EXPECT_EQ(inMemoryWhenAsked, Elements{b1});  // asked for the root, before walking
  EXPECT_EQ(ds->calls, Calls{"loadElementSubtree"});
  EXPECT_TRUE(b3.isProxy());
  // The privileged walk asks nothing.
  EXPECT_EQ(lib.getAllContents(RecordingDataSource::privileged()).size(), 4u);
  EXPECT_EQ(ds->calls, Calls{"loadElementSubtree"});
  // A proxy's contents are asked for without loading the proxy.
  ModelElement p = proxy(mm.library, 9);
  EXPECT_TRUE(p.getAllContents().empty());
  EXPECT_EQ(askedFor, (Elements{lib, p}));
  EXPECT_EQ(ds->calls, (Calls{"loadElementSubtree", "loadElementSubtree"}));
  EXPECT_TRUE(p.isProxy());
  // The data source's failure passes on; a destroyed element asks nothing.
  ds->onLoadSubtree = [&](const ModelElement&) { throw std::runtime_error("store gone"); };
  EXPECT_THROW(lib.getAllContents(), std::runtime_error);
  ds->calls.clear();
  ds->onLoadSubtree = nullptr;
  inTransaction([&] {
    // A proxy hides part of what it owns: the subtree is asked for first,
    // and the mentees of the loaded member p1, whose mentor goes.
    lib.destroy();
    EXPECT_TRUE(lib.getAllContents().empty());
    EXPECT_EQ(ds->calls, (Calls{"beginTransaction", "loadElementSubtree", "loadCollectionContents"}));
  });
}

}  // namespace
