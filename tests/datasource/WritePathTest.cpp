// Changes made to a model in its transactions, read back from the repository
// with vlt alone, in the cases random transactions hardly meet (every kind
// of value and ordered histories of every kind are theirs): a model pushed
// on opening, children moved through several owners in one transaction,
// passive data sources, failing reports, entries the repository cannot
// hold, and the transactions around them.

#include "DataSourceTestSupport.hpp"
#include "Kinds.hpp"

namespace dstest {
namespace {

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
  static Value integer(std::int32_t v) { return Value(StandardTypes::integerMeta(), v); }

  const Kinds& k;
};

// Opening writes the elements the model holds already, links and ownership
// included: new objects refer to each other through their reserved ids.
TEST_P(WritePathTest, OpeningPushesTheModelAndChildrenEndWhereMemoryHasThem) {
  ModelElement pushedOwner, child, other;
  commit([&] {
    makeHolders({&pushedOwner, &child, &other});
    pushedOwner.set(k.parts, Value(k.holder, std::vector<ModelElement>{child}));
    child.set(k.links, Value(k.holder, std::vector<ModelElement>{other, pushedOwner}));
    other.set(k.next, child);
  });
  attach();
  EXPECT_EQ(expectRepositoryHoldsModel(model, openDirectly(location)), 0u);

  // A child that passed through another owner on the way ends under its
  // last one; one taken out of an owner that is then destroyed, as a root.
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
  EXPECT_EQ(expectRepositoryHoldsModel(model, openDirectly(location)), 0u);
}

// A report that fails writes nothing. An active data source's transaction
// is rolled back: here an element whose uuid another host gave to an object
// of another class, which has a property of the same name and keeps its
// value, and which destroying the element leaves. A passive one writes each
// report in a transaction of its own and drops one that no retry can write
// (its object is gone), with a warning.
TEST_P(WritePathTest, AFailingReportWritesNothing) {
  for (const bool active : {true, false}) {
    SCOPED_TRACE(active ? "active" : "passive");
    if (!active) location = newLocation("passive.vlt");
    attach(active);
    ModelElement gone, created;
    commit([&] { gone = ModelElement::createReflective(model, mm.book); });
    changeDirectly(location, [&](vlt::DataModelRepository& r) {
      r.defaultDataModel().findObject(gone.getUUID(), r.metamodel().findClass("lib.Book")).deleteObject();
      const vlt::ClassRef person = r.metamodel().findClass("lib.Person");
      const std::u16string name = u"someone";
      vlt::ObjectConstructor constructor(person);
      constructor.setObjectUUID(gone.getUUID());
      constructor.setPropertyValueSource(person.findProperty("name"), &name);
      // Remembered where the other object is: the uuid matches, the class does not.
      if (active) gone.setStoreHint(constructor.createObject(r.defaultDataModel()).objectId(), Access::privileged());
    });
    const auto change = [&] {
      commit([&] {
        created = holder();
        gone.set(mm.name, qm0test::str(u"renamed"));
      });
    };
    if (active) {
      EXPECT_EQ(thrownId(change).id, "m2t_vlt:datasource:VltObjectNotFound");
      EXPECT_TRUE(created.isDestroyed());
      ModelElement stored;
      commit([&] { stored = holder(); });
      enableProgressRecords();
      commit([&] {
        gone.destroy();
        stored.destroy();
      });
      EXPECT_TRUE(anyRecordContains("destroyed object " + boost::uuids::to_string(stored.getUUID()) + " in VLT"));
      EXPECT_TRUE(
          anyRecordContains("destroyed object " + boost::uuids::to_string(gone.getUUID()) + " not found in VLT"));
    } else {
      change();
      EXPECT_EQ(texts(256).size(), 1u);
      EXPECT_TRUE(anyRecordContains("): the changes of 2 elements are not stored"));
    }
    const std::string person = boost::uuids::to_string(gone.getUUID()).substr(30) + " Person name=[someone]\n";
    EXPECT_EQ(qm0test::dump(loadAll(location)), active ? person : "");
    model->resetDataSource();
    model = qm::zero::Model::create();
  }
}

// A passive data source cannot fail its model's commit: a report that meets
// another connection's lock waits, with every later one (a transaction split
// by snapshots is one report), and all are written in order once the lock
// has gone, by the next report or by waitForIdle, which throws while they
// still cannot be written. Memory went on meanwhile: the reports that waited
// write their ordered collections whole (here the second and third would be
// written whole, and the fourth's move replayed on the result would move an
// entry twice).
TEST_P(WritePathTest, APassiveDataSourceWritesWhatMetALockInOrderAndASplitTransactionWhole) {
  DataSource* ds = attach(false);
  ModelElement a, b, x, y, z;
  const auto split = [&](std::int32_t i) {
    commit([&] {
      b = holder();
      model->requestSnapshot();
      b.set(k.i, integer(i));
      a.insert(k.ints, 0, integer(i));
    });
  };
  commit([&] {
    makeHolders({&a, &x, &y, &z});
    a.set(k.links, Value(k.holder, std::vector<ModelElement>{z}));
  });
  split(1);
  EXPECT_EQ(expectRepositoryHoldsModel(model, openDirectly(location)), 0u);

  vlt::DataModelRepository other = openDirectly(location);
  other.beginTransaction();  // holds the write lock
  records.clear();
  split(2);
  commit([&] {
    a.set(k.i, integer(3));
    a.replace(k.links, 0, Value(x));
  });
  commit([&] { a.append(k.links, Value(y)); });
  commit([&] {
    a.removeAt(k.links, 0);
    a.insert(k.links, 1, Value(x));
  });
  // One warning per report, counting all that wait: the split transaction
  // (b made, a changed), then the commits after (a each).
  std::vector<std::string> waiting;
  for (const std::string& text : texts(256)) waiting.push_back(text.substr(text.rfind("): ") + 3));
  EXPECT_EQ(waiting, (std::vector<std::string>{"the changes of 2 elements wait to be written",
                                               "the changes of 3 elements wait to be written",
                                               "the changes of 4 elements wait to be written",
                                               "the changes of 5 elements wait to be written"}));
  EXPECT_THROW(ds->waitForIdle(), vlt::LockedError);
  other.rollbackTransaction();
  records.clear();
  ds->waitForIdle();
  EXPECT_EQ(texts(256), std::vector<std::string>{});
  EXPECT_EQ(expectRepositoryHoldsModel(model, openDirectly(location)), 0u);

  // A split transaction's parts come after the commit too, when memory holds
  // the end of the last part: written part by part, the first (whose edits
  // no longer lead to memory's collection) would be written whole, and the
  // second's edits replayed on top of it, beyond the end of the stored one.
  ASSERT_EQ(a.get(k.links).size(), 2u);
  commit([&] {
    a.replace(k.links, 0, Value(z));
    model->requestSnapshot();
    a.replace(k.links, 1, Value(b));
    model->requestSnapshot();
    a.set(k.links, Value(k.holder, std::vector<ModelElement>{y}));
  });
  EXPECT_EQ(texts(256), std::vector<std::string>{});
  EXPECT_EQ(expectRepositoryHoldsModel(model, openDirectly(location)), 0u);
}

// Destroying every element keeps the classes and the version records; a
// snapshot inside a transaction writes what changed so far, the rest
// follows at the commit, and a rollback takes both back, classes and version
// records created on the way included, so that a later write creates them
// again.
TEST_P(WritePathTest, AllDestroyedSnapshotsAndRollbacks) {
  attach();
  const auto stored = [&] { return openDirectly(location); };
  {
    qm::zero::Transaction tx = model->beginTransaction();
    holder();
    model->requestSnapshot();
    EXPECT_EQ(expectRepositoryHoldsModel(qm::zero::Model::create(), stored()), 0u) << "not committed yet";
    tx.rollback();
  }
  EXPECT_TRUE(stored().metamodel().findClass("kinds.Holder").isNull());
  ModelElement first, second;
  commit([&] {
    first = holder();
    model->requestSnapshot();
    first.set(k.i, integer(3));
    second = holder();
    second.set(k.next, first);
  });
  EXPECT_EQ(expectRepositoryHoldsModel(model, stored()), 0u);
  // The rollback forgot the version it had recorded: it is recorded again.
  EXPECT_EQ(recordedFamilies(stored()).size(), 1u);
  commit([&] { model->destroyAllElements(); });
  EXPECT_EQ(expectRepositoryHoldsModel(model, stored()), 0u);
  EXPECT_EQ(recordedFamilies(stored()).size(), 1u);
  EXPECT_FALSE(stored().metamodel().findClass("kinds.Holder").isNull());
}

// What the repository cannot hold is left out of a collection or a single
// value, of a new element or a changed one, with a warning: a link to an
// element it no longer holds (a passive data source leaves such links in
// memory), a literal its enumeration lacks.
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
    h.set(k.colours, Value(k.colour, std::vector<std::int32_t>{4, 1}));
    h.set(k.colourProp, Value(k.colour, 4));
  });
  commit([&] { target.destroy(); });
  EXPECT_EQ(h.get(k.links).size(), 2u);  // a passive data source cuts nothing in memory
  ModelElement added;
  commit([&] {
    added = holder();
    h.append(k.links, Value(added));
  });
  const qm::zero::Model stored = loadAll(location);
  const ModelElement read = stored->findElement(h.getUUID());
  EXPECT_EQ(valueText(read.get(k.links)), valueText(Value(k.holder, std::vector<ModelElement>{kept, added})));
  EXPECT_EQ(read.get(k.colours), Value(k.colour, std::vector<std::int32_t>{1}));
  EXPECT_FALSE(read.isSet(k.colourProp));
  EXPECT_TRUE(anyRecordContains("not stored: a literal without enumeral in colours"));
  EXPECT_TRUE(anyRecordContains("not stored: a literal without enumeral in colour "));
  EXPECT_TRUE(anyRecordContains("not stored: a link to an element that is not stored in links"));
  // A single link to an element another host deleted, of a changed element
  // and of a new one.
  changeDirectly(location, [&](vlt::DataModelRepository& r) {
    r.defaultDataModel().findObject(kept.getUUID(), r.metamodel().findClass("ModelElement")).deleteObject();
  });
  records.clear();
  ModelElement fan;
  commit([&] {
    h.set(k.colourProp, Value(k.colour, 2));
    h.set(k.next, kept);
    fan = holder();
    fan.set(k.next, kept);
  });
  EXPECT_TRUE(anyRecordContains("not stored: a literal without enumeral in colour ")) << "a change of an element";
  for (const ModelElement& holder : {h, fan}) {
    EXPECT_TRUE(anyRecordContains("not stored: a link to an element that is not stored in next of " +
                                  boost::uuids::to_string(holder.getUUID())));
    EXPECT_FALSE(loadAll(location)->findElement(holder.getUUID()).isSet(k.next));
  }
}

INSTANTIATE_BACKEND_TEST_SUITE(WritePathTest);

}  // namespace
}  // namespace dstest
