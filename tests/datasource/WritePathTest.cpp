// Changes made to a model in its transactions, read back from the repository
// with vlt alone: every kind of value and multiplicity, ordered-collection
// histories, new objects referring to each other and owning existing ones,
// destruction with the links into the destroyed objects, passive data
// sources, failing reports, and the transactions around them.

#include "DataSourceTestSupport.hpp"
#include "Kinds.hpp"

#include <matrix/Array.hpp>
#include <qm/zero/ReferenceCollection.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/string_generator.hpp>

#include <numeric>

namespace dstest {
namespace {

using meta::StandardTypes;
using qm::zero::ModelElement;
using qm::zero::Value;

// An object, named by its element or by its uuid.
struct Id {
  Id(const ModelElement& element) : uuid(element.getUUID()) {}
  Id(const boost::uuids::uuid& id) : uuid(id) {}
  boost::uuids::uuid uuid;
};

// What the repository holds, read through a connection of its own.
class Stored {
 public:
  explicit Stored(const std::string& location) : repository(openDirectly(location)) {}
  vlt::ObjectRef object(const Id& element) const {
    return repository.defaultDataModel().findObject(element.uuid, repository.metamodel().findClass("ModelElement"));
  }
  template <class T>
  T get(const Id& element, const std::string& property) const {
    const vlt::ObjectRef found = object(element);
    EXPECT_FALSE(found.isNull()) << "no object for " << element.uuid;
    T value{};
    if (found) found.getPropertyValue(found.objectRuntimeClass().findProperty(property), value);
    return value;
  }
  std::vector<boost::uuids::uuid> targets(const Id& element, const std::string& property) const {
    std::vector<boost::uuids::uuid> ids;
    for (const vlt::ObjectRef& target : get<std::vector<vlt::ObjectRef>>(element, property))
      ids.push_back(target.objectIdentity());
    return ids;
  }
  std::size_t count(const char* cls) const {
    return repository.defaultDataModel().countObjects(repository.metamodel().findClass(cls));
  }
  std::size_t elementCount() const { return count("ModelElement") - count("qm.zero.vlt_datasource.PackageInfo"); }
  vlt::DataModelRepository repository;
};

std::vector<boost::uuids::uuid> ids(std::initializer_list<ModelElement> elements) {
  std::vector<boost::uuids::uuid> result;
  for (const ModelElement& e : elements) result.push_back(e.getUUID());
  return result;
}

class WritePathTest : public BackendTest {
 protected:
  WritePathTest() : k(Kinds::get()) {}
  DataSource* attach(bool active = true) {
    return open(location, DataSource::Synchronous, DataSource::SyncAllToDataSource, !active);
  }
  ModelElement holder() {
    ModelElement h = ModelElement::createReflective(model, k.holder);
    h.set(k.l, Value(qm::zero::meta::StandardTypes::integer64Meta(), std::int64_t(1)));
    h.set(k.shade, Value(k.colour, std::int32_t(1)));
    return h;
  }
  /// Makes each of `elements` a new holder, in this order.
  void makeHolders(std::initializer_list<ModelElement*> elements) {
    for (ModelElement* element : elements) *element = holder();
  }
  Value enumValues(std::vector<std::int32_t> literals) const { return Value(k.colour, literals); }
  /// A property of every kind of value, single and collections.
  std::vector<meta::Property> valueProperties() const {
    return {k.i,   k.u,    k.l,          k.ul,    k.r,       k.s,    k.ss,    k.dt,    k.id,    k.flag, k.arr,  k.small,
            k.map, k.size, k.colourProp, k.shade, k.colours, k.ints, k.reals, k.texts, k.flags, k.next, k.links, k.bag};
  }
  /// Each value of `h` (the first entry of a collection) looked for by a
  /// query on the repository reopened: found on exactly the elements of
  /// `all` that hold it, except where the kind's values compare in no
  /// relation.
  void expectQueriesFindTheValuesOf(const ModelElement& h, const std::vector<ModelElement>& all) {
    const qm::zero::Model reader = qm::zero::Model::create();
    DataSource* ds = DataSource::create(u16(location), reader, DataSource::NoSyncToModel,
                                        DataSource::NoSyncToDataSource, DataSource::Synchronous);
    for (const meta::Property& p : valueProperties()) {
      SCOPED_TRACE(fl::i18n::ustring_to_utf8(p->getName()));
      const Value held = h.get(p);
      const bool many = p->getUpper() > 1;
      const Value probe = many ? Value(held.getMeta(), qm::zero::Entries{held.getEntries().at(0)}) : held;
      // Positions in `all`.
      std::vector<std::size_t> expected, found;
      for (std::size_t at = 0; at < all.size(); ++at) {
        const Value v = all[at].get(p);
        const auto& entries = v.getEntries();
        if (many ? std::find(entries.begin(), entries.end(), probe.getEntries()[0]) != entries.end() : v == probe)
          expected.push_back(at);
      }
      const std::unique_ptr<qm::zero::query::ReflectiveQuery> q = ds->createQuery();
      q->addSearchClass(k.holder, qm::zero::query::WithSubclasses);
      const ThrownId added = thrownId([&] { q->addPropertyValueConstraint(p, qm::zero::query::Equal, probe, 0); });
      if (p == k.arr || p == k.map) {
        // No relation compares arrays or a serializer's text of its own.
        EXPECT_EQ(added.id, "m2t_vlt:datasource:UnsupportedPrimitiveType");
        continue;
      }
      ASSERT_EQ(added.id, "nothing thrown");
      // A datatype is stored as text that no relation compares: no constraint.
      if (p == k.size) {
        expected.resize(all.size());
        std::iota(expected.begin(), expected.end(), std::size_t(0));
      }
      const auto rows = q->execute({});
      for (std::vector<ModelElement> row; rows->next(row);) {
        const auto at = std::find_if(all.begin(), all.end(),
                                     [&](const ModelElement& e) { return e.getUUID() == row.at(0).getUUID(); });
        found.push_back(std::size_t(at - all.begin()));
      }
      std::sort(expected.begin(), expected.end());
      std::sort(found.begin(), found.end());
      EXPECT_EQ(found, expected);
    }
  }
  static Value integer(std::int32_t v) { return Value(StandardTypes::integerMeta(), v); }

  const Kinds& k;
};

TEST_P(WritePathTest, EveryKindOfValueIsWrittenAtCreationChangedAndCleared) {
  attach();
  matrix::qxArray_tag* array = matrix::createNumericArray(matrix::ClassId::Double, {2, 3});
  static_cast<double*>(matrix::data(array))[4] = 6.5;
  const boost::uuids::uuid someId = boost::uuids::string_generator()("0123abcd-0000-4000-8000-00000000cafe");
  const boost::posix_time::ptime when = boost::posix_time::time_from_string("2026-12-06 10:00:00.123456");
  qm::zero::DataValue dims(k.dims);
  dims.set(k.width, Value(StandardTypes::realMeta(), 1.25));

  ModelElement full, empty, target;
  commit([&] {
    makeHolders({&target, &empty, &full});
    full.set(k.i, integer(-7));
    full.set(k.u, Value(StandardTypes::unlimitedNaturalMeta(), std::uint32_t(4000000000u)));
    full.set(k.l, Value(StandardTypes::integer64Meta(), std::int64_t(-(std::int64_t(1) << 40))));
    full.set(k.ul, Value(StandardTypes::uinteger64Meta(), std::uint64_t(1) << 63));
    full.set(k.r, Value(StandardTypes::realMeta(), 2.5));
    full.set(k.s, Value(StandardTypes::stringMeta(), std::u16string(u"h\u00e9llo")));
    full.set(k.ss, Value(StandardTypes::stdstringMeta(), std::string("by\x01tes")));
    full.set(k.dt, Value(StandardTypes::dateTimeMeta(), when));
    full.set(k.id, Value(StandardTypes::uuidMeta(), someId));
    full.set(k.flag, Value(StandardTypes::booleanMeta(), true));
    full.set(k.arr, Value(StandardTypes::qxArrayMeta(), array));
    full.set(k.small, Value(StandardTypes::uinteger8Meta(), std::uint8_t(200)));
    full.set(k.map, Value(StandardTypes::stringToStringMapMeta(), qm::zero::StringToStringMap{{u"a", u"b"}}));
    full.set(k.size, Value(k.dims, dims));
    full.set(k.colourProp, Value(k.colour, std::int32_t(2)));
    full.set(k.shade, Value(k.colour, std::int32_t(4)));
    full.set(k.colours, enumValues({4, 1, 4}));
    full.set(k.ints, Value(StandardTypes::integerMeta(), std::vector<std::int32_t>{3, 1, 3}));
    full.set(k.reals, Value(StandardTypes::realMeta(), std::vector<double>{0.5, 1.5}));
    full.set(k.texts, Value(StandardTypes::stringMeta(), std::vector<std::u16string>{u"x", u"y"}));
    full.set(k.flags, Value(StandardTypes::booleanMeta(), std::vector<bool>{true, false, true}));
    full.set(k.next, target);
    full.set(k.links, Value(k.holder, std::vector<ModelElement>{target, empty}));
    full.set(k.bag, Value(k.holder, std::vector<ModelElement>{empty}));
    full.set(k.notes, Value(StandardTypes::stringMeta(), std::u16string(u"never stored")));
  });

  // Read back with vlt alone, every value is the element's; a few mapping
  // rules are checked on their own too.
  const auto expectStored = [&](const ModelElement& h, const char* written) {
    SCOPED_TRACE(written);
    const Stored stored(location);
    EXPECT_EQ(expectRepositoryHoldsModel(model, stored.repository), 0u);
    EXPECT_EQ(stored.get<vlt::Boolean>(h, "flag").value, 1);  // one byte holding 1
    EXPECT_EQ(stored.get<std::u16string>(h, "small"), u"200");
    EXPECT_EQ(stored.get<vlt::EnumeralRef>(h, "colour").name(), "Green");
    EXPECT_EQ(stored.get<std::uint32_t>(h, "u"), 4000000000u);
    EXPECT_TRUE(stored.object(h).objectRuntimeClass().findProperty("notes").isNull());
    // And read back into a new model, every value comes back, and is found
    // by a query.
    EXPECT_EQ(expectRepositoryHoldsModel(loadAll(location), stored.repository), 0u);
    expectQueriesFindTheValuesOf(h, {full, empty, target});
  };
  expectStored(full, "written at creation");
  // The same values written by modification, moved from one element to
  // the other: every property of both is written again, the emptied ones
  // absent (or their type's zero where they are required).
  commit([&] {
    for (const meta::Property& p : valueProperties()) {
      const Value v = full.get(p);
      full.unset(p);
      empty.set(p, v);
    }
  });
  expectStored(empty, "written by modification, then cleared");
  matrix::destroyArray(array);
}

// The objects of modified elements are looked up a window at a time: more
// than one window, elements of two classes interleaved, each written right.

// What a reopened model reads is what memory held, isSet included: a
// required single value that memory never held (or no longer holds) is
// stored absent and reads back unset, one set to 0 reads back as 0, whether
// written with a new object or as a change.

// Ordered histories are replayed, every insert at its index, so that the
// stored collection is memory's entry for entry; a qualified collection is
// written whole.
TEST_P(WritePathTest, OrderedHistoriesAreReplayedByTheirKind) {
  attach();
  ModelElement h, a, b, c, d;
  commit([&] {
    makeHolders({&h, &a, &b, &c, &d});
    h.set(k.ints, Value(StandardTypes::integerMeta(), std::vector<std::int32_t>{10, 20, 30, 40}));
    h.set(k.texts, Value(StandardTypes::stringMeta(), std::vector<std::u16string>{u"p", u"q"}));
    h.set(k.links, Value(k.holder, std::vector<ModelElement>{a, b}));
    h.set(k.keyed, Value(k.holder, std::vector<ModelElement>{a}));
  });
  commit([&] {
    h.insert(k.ints, 0, integer(9));
    h.insert(k.ints, 5, integer(7));
    h.removeAt(k.ints, 2);
    h.replace(k.texts, 0, Value(StandardTypes::stringMeta(), std::u16string(u"z")));
    h.insert(k.links, 0, Value(c));
    h.insert(k.links, 3, Value(d));
    h.removeAt(k.links, 1);
    h.insert(k.keyed, 0, Value(b));
  });
  const Stored stored(location);
  EXPECT_EQ(stored.get<std::vector<std::int32_t>>(h, "ints"), (std::vector<std::int32_t>{9, 10, 30, 40, 7}));
  EXPECT_EQ(stored.get<std::vector<std::u16string>>(h, "texts"), (std::vector<std::u16string>{u"z", u"q"}));
  EXPECT_EQ(stored.targets(h, "links"), ids({c, b, d}));
  EXPECT_EQ(stored.targets(h, "keyed"), ids({b, a}));
}

// Opening writes the elements the model holds already, links and ownership
// included. New objects refer to each other through their reserved ids and
// are created in their place under a new owner; existing children join a new
// owner by a write of the whole collection.
TEST_P(WritePathTest, OpeningPushesTheModelAndChildrenEndWhereMemoryHasThem) {
  ModelElement existing, existingSpare, owner, first, last, spare, pushedOwner, child, other;
  commit([&] {
    makeHolders({&existing, &existingSpare, &pushedOwner, &child, &other});
    pushedOwner.set(k.parts, Value(k.holder, std::vector<ModelElement>{child}));
    child.set(k.links, Value(k.holder, std::vector<ModelElement>{other, pushedOwner}));
    other.set(k.next, child);
  });
  attach();
  EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);
  commit([&] {
    other.set(k.i, integer(8));
    makeHolders({&first, &owner, &last, &spare});
    first.set(k.next, last);
    owner.set(k.parts, Value(k.holder, std::vector<ModelElement>{first, existing, last}));
    owner.set(k.spare, spare);
    first.set(k.spare, existingSpare);
  });
  // Owners, positions and links as memory has them.
  EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);

  // Children moved in one transaction end where memory has them: under their
  // new owner, the old owner's other children in their order, whichever
  // owner the report lists first; after passing through another owner on the
  // way; as a root when taken out of an owner that is then destroyed.
  for (const bool oldOwnerFirst : {true, false}) {
    SCOPED_TRACE(oldOwnerFirst ? "old owner reported first" : "new owner reported first");
    ModelElement from, to, a, b, c, d;
    commit([&] {
      makeHolders({&from, &to, &a, &b, &c, &d});
      from.set(k.parts, Value(k.holder, std::vector<ModelElement>{a, b, c}));
      to.set(k.parts, Value(k.holder, std::vector<ModelElement>{d}));
    });
    commit([&] {
      (oldOwnerFirst ? from : to).set(k.i, integer(1));
      to.insert(k.parts, 0, Value(b));
    });
    EXPECT_EQ(Stored(location).targets(from, "parts"), ids({a, c}));
    EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);
  }

  ModelElement passedThrough, wanderer, newOwner, doomedOwner, survivor;
  commit([&] {
    makeHolders({&passedThrough, &wanderer, &doomedOwner, &survivor});
    doomedOwner.set(k.parts, Value(k.holder, std::vector<ModelElement>{survivor}));
  });
  commit([&] {
    newOwner = holder();
    passedThrough.append(k.parts, Value(wanderer));
    newOwner.append(k.parts, Value(wanderer));
    doomedOwner.removeAt(k.parts, 0);
    doomedOwner.destroy();
  });
  EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);
}

// Links into destroyed objects through one-way references are cut, in the
// repository and in loaded elements, also links declared by a superclass,
// from objects that are not loaded, from collections holding several
// destroyed elements, and from a deferred collection that was never loaded;
// a two-way link is left to the framework, which removed it
// in memory already.
TEST_P(WritePathTest, DestroyCutsOneWayLinksInMemoryAndInTheRepository) {
  enableProgressRecords();
  DataSource* ds = attach();
  const qm0test::TestMetamodel& lib = qm0test::TestMetamodel::get();
  ModelElement doomed, doomedToo, single, ordered, unordered, book, author, other;
  commit([&] {
    makeHolders({&doomed, &doomedToo, &single, &ordered, &unordered});
    single.set(k.next, doomed);
    ordered.set(k.links, Value(k.holder, std::vector<ModelElement>{single, doomedToo, unordered, doomed, ordered}));
    unordered.set(k.bag, Value(k.holder, std::vector<ModelElement>{doomedToo, single, doomed}));
    book = ModelElement::createReflective(model, lib.book);
    book.set(lib.pages, integer(1));
    author = ModelElement::createReflective(model, lib.person);
    other = ModelElement::createReflective(model, lib.person);
    book.set(lib.authors, Value(lib.person, std::vector<ModelElement>{author, other}));
  });
  // Two referrers the model has not loaded: one only in the repository, one
  // loaded but with its deferred collection never loaded.
  const boost::uuids::uuid unloadedId = boost::uuids::string_generator()("00000000-0000-4000-8000-0000000000a1");
  const boost::uuids::uuid deferredId = boost::uuids::string_generator()("00000000-0000-4000-8000-0000000000a2");
  changeDirectly(location, [&](vlt::DataModelRepository& repository) {
    const vlt::ClassRef holderClass = repository.metamodel().findClass("kinds.Holder");
    const vlt::ObjectRef target = repository.defaultDataModel().findObject(doomed.getUUID(), holderClass);
    for (const boost::uuids::uuid& id : {unloadedId, deferredId}) {
      vlt::ObjectConstructor constructor(holderClass);
      constructor.setObjectUUID(id);
      vlt::ObjectRef object = constructor.createObject(repository.defaultDataModel());
      object.setPropertyValue(holderClass.findProperty(id == unloadedId ? "next" : "deferred"),
                              std::vector<vlt::ObjectRef>{target}, false);
    }
  });
  ModelElement deferred = vlt_datasource::DataSourceTestAccess::createAsLoaded(*ds, k.holder, deferredId);

  commit([&] {
    doomed.destroy();
    doomedToo.destroy();
    author.destroy();
  });
  EXPECT_TRUE(single.get(k.next).isEmpty());
  EXPECT_EQ(ordered.get(k.links).getAll<ModelElement>(), (std::vector<ModelElement>{single, unordered, ordered}));
  EXPECT_EQ(unordered.get(k.bag).getAll<ModelElement>(), (std::vector<ModelElement>{single}));
  EXPECT_FALSE(qm::zero::ReferenceCollection(deferred, k.deferred).isLoaded());
  EXPECT_TRUE(anyRecordContains("from " + boost::uuids::to_string(unloadedId) + ", object is  not loaded"));

  const Stored stored(location);
  EXPECT_TRUE(stored.object(doomed).isNull());
  EXPECT_TRUE(stored.get<vlt::ObjectRef>(single, "next").isNull());
  EXPECT_EQ(stored.targets(ordered, "links"), ids({single, unordered, ordered}));
  EXPECT_EQ(stored.targets(unordered, "bag"), ids({single}));
  EXPECT_EQ(stored.targets(book, "authors"), ids({other}));
  EXPECT_TRUE(stored.targets(deferredId, "deferred").empty());
  EXPECT_TRUE(stored.get<vlt::ObjectRef>(unloadedId, "next").isNull());
}

// A report that fails writes nothing: an active data source's transaction
// is rolled back, and a passive one writes each report in a transaction of
// its own and drops one that no retry can write (its object is gone), with a
// warning.
TEST_P(WritePathTest, AFailingReportWritesNothing) {
  for (const bool active : {true, false}) {
    SCOPED_TRACE(active ? "active" : "passive");
    if (!active) location = newLocation("passive.vlt");
    attach(active);
    ModelElement gone;
    commit([&] { gone = holder(); });
    EXPECT_EQ(Stored(location).elementCount(), 1u);
    changeDirectly(location, [&](vlt::DataModelRepository& repository) {
      repository.defaultDataModel().findObject(gone.getUUID(), repository.metamodel().findClass("ModelElement"))
          .deleteObject();
    });
    ModelElement created;
    const auto change = [&] {
      commit([&] {
        created = holder();
        gone.set(k.i, integer(5));
      });
    };
    if (active) {
      EXPECT_EQ(thrownId(change).id, "m2t_vlt:datasource:VltObjectNotFound");
      EXPECT_TRUE(created.isDestroyed());
    } else {
      change();
      EXPECT_EQ(texts(256).size(), 1u);
      EXPECT_TRUE(anyRecordContains("): the changes of 2 elements are not stored"));
    }
    EXPECT_EQ(Stored(location).elementCount(), 0u);
    model->resetDataSource();
    model = qm::zero::Model::create();
  }
}

// A passive data source cannot fail its model's commit: a report that meets
// another connection's lock waits, with every later one (the parts of a
// transaction split by snapshots included), and all are written in order
// once the lock has gone, by the next report or by waitForIdle, which
// throws while they still cannot be written.
TEST_P(WritePathTest, APassiveDataSourceWritesWhatMetALockInOrderOnceItPasses) {
  DataSource* ds = attach(false);
  ModelElement a, b;
  const auto split = [&](std::int32_t i) {
    commit([&] {
      b = holder();
      model->requestSnapshot();
      b.set(k.i, integer(i));
      a.insert(k.ints, 0, integer(i));
    });
  };
  commit([&] { a = holder(); });
  split(1);
  EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);

  vlt::DataModelRepository other = openDirectly(location);
  other.beginTransaction();  // holds the write lock
  records.clear();
  split(2);
  commit([&] { a.set(k.i, integer(3)); });
  // One warning per report, counting all that wait: the parts (b made; b
  // and a changed), then the commit after (a).
  std::vector<std::string> waiting;
  for (const std::string& text : texts(256)) waiting.push_back(text.substr(text.rfind("): ") + 3));
  EXPECT_EQ(waiting, (std::vector<std::string>{"the changes of 1 elements wait to be written",
                                               "the changes of 3 elements wait to be written",
                                               "the changes of 4 elements wait to be written"}));
  EXPECT_THROW(ds->waitForIdle(), vlt::LockedError);
  other.rollbackTransaction();
  ds->waitForIdle();
  EXPECT_EQ(expectRepositoryHoldsModel(model, Stored(location).repository), 0u);
}

// Destroying every element keeps the classes and the version records; a
// snapshot inside a transaction writes what changed so far, the rest
// follows at the commit, and a rollback takes both back, classes and version
// records created on the way included, so that a later write creates them
// again.
TEST_P(WritePathTest, AllDestroyedSnapshotsAndRollbacks) {
  attach();
  ModelElement first, second;
  {
    qm::zero::Transaction tx = model->beginTransaction();
    holder();
    model->requestSnapshot();
    EXPECT_EQ(Stored(location).elementCount(), 0u);  // not committed yet
    tx.rollback();
  }
  EXPECT_TRUE(Stored(location).repository.metamodel().findClass("kinds.Holder").isNull());
  commit([&] {
    first = holder();
    model->requestSnapshot();
    first.set(k.i, integer(3));
    second = holder();
    second.set(k.next, first);
  });
  {
    const Stored stored(location);
    EXPECT_EQ(stored.get<std::int32_t>(first, "i"), 3);
    EXPECT_EQ(stored.get<vlt::ObjectRef>(second, "next").objectIdentity(), first.getUUID());
    // The rollback forgot the version it had recorded: it is recorded again.
    EXPECT_EQ(stored.count("qm.zero.vlt_datasource.PackageInfo"), 1u);
  }
  commit([&] { model->destroyAllElements(); });
  const Stored stored(location);
  EXPECT_EQ(stored.elementCount(), 0u);
  EXPECT_EQ(stored.count("qm.zero.vlt_datasource.PackageInfo"), 1u);
  EXPECT_FALSE(stored.repository.metamodel().findClass("kinds.Holder").isNull());
}

// What the repository cannot hold is left out of a collection, with a
// warning: a link to an element it no longer holds (a passive data source
// leaves such links in memory), a literal its enumeration lacks.
TEST_P(WritePathTest, EntriesTheRepositoryCannotHoldAreLeftOut) {
  createRepository(location);
  changeDirectly(location, [](vlt::DataModelRepository& repository) {
    repository.createEnumeration("kinds.Colour", {{"Red", 1}});
  });
  attach(false);
  ModelElement h, target, kept;
  commit([&] {
    makeHolders({&h, &target, &kept});
    h.set(k.links, Value(k.holder, std::vector<ModelElement>{target, kept}));
    h.set(k.colours, enumValues({4, 1}));
  });
  commit([&] { target.destroy(); });
  EXPECT_EQ(h.get(k.links).size(), 2u);  // a passive data source cuts nothing in memory
  ModelElement added;
  commit([&] {
    added = holder();
    h.append(k.links, Value(added));
  });
  const Stored stored(location);
  EXPECT_EQ(stored.targets(h, "links"), ids({kept, added}));
  std::vector<std::int32_t> colours;
  for (const vlt::EnumeralRef& e : stored.get<std::vector<vlt::EnumeralRef>>(h, "colours")) colours.push_back(e.id());
  EXPECT_EQ(colours, (std::vector<std::int32_t>{1}));
  EXPECT_TRUE(anyRecordContains("not stored: a literal without enumeral in colours"));
  EXPECT_TRUE(anyRecordContains("not stored: a link to an element that is not stored in links"));
}

INSTANTIATE_BACKEND_TEST_SUITE(WritePathTest);

}  // namespace
}  // namespace dstest
