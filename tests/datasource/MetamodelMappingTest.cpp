// Framework classes and enumerations mapped into a real repository, and the
// package-version records that mapping leaves. Some cases ask the mapping
// directly, to see what it made before any element is written.

#include "DataSourceTestSupport.hpp"

#include <testsupport/EcoreReader.hpp>

#include <boost/uuid/random_generator.hpp>

#include <fstream>

namespace dstest {
namespace {

// A package whose attribute map (by name) and position order differ, with
// the kinds of property the mapping treats apart.
struct MappingPackage {
  meta::Class item;
  meta::Property link;

  static const MappingPackage& get() {
    static const MappingPackage instance;
    return instance;
  }

 private:
  MappingPackage() {
    using meta::PropertyOptions;
    meta::PackageBuilder b(u"map", u"http://example.com/map", u"1.0");
    item = b.addClass(u"Item");
    const meta::PrimitiveType odd = b.addPrimitiveType(u"Odd", qm::zero::EntryType::Integer);
    const meta::DataType plain = b.addDataType(u"Plain");
    b.addProperty(plain, u"x", StandardTypes::realMeta());
    b.addProperty(item, u"a", StandardTypes::integerMeta(), PropertyOptions().setPositionIndex(3).setOrdered());
    b.addProperty(item, u"b", StandardTypes::stringMeta(),
                  PropertyOptions().setPositionIndex(1).bounds(0, meta::unbounded).setOrdered().setUnique(false));
    b.addProperty(item, u"c", odd, PropertyOptions().setPositionIndex(2));
    b.addProperty(item, u"d", plain, PropertyOptions().setPositionIndex(0));
    link = b.addProperty(item, u"link", item, PropertyOptions().setPositionIndex(4));
    b.addProperty(item, u"excluded", item, PropertyOptions().setPositionIndex(5).setNotStored());
    b.addProperty(item, u"e", StandardTypes::integerMeta(), PropertyOptions().setPositionIndex(6).bounds(0, 9));
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

// A package whose classes a repository stores in the form an earlier version
// of it gave them (made with vlt alone in the test): drift.Thing gained
// `label` and lost `old` since.
struct DriftPackage {
  meta::Class thing;
  meta::Property count, label;

  static const DriftPackage& get() {
    static const DriftPackage instance;
    return instance;
  }

 private:
  DriftPackage() {
    meta::PackageBuilder b(u"drift", u"http://example.com/drift", u"2");
    const meta::Class base = b.addClass(u"Base", meta::Class(), true);
    thing = b.addClass(u"Thing", base);
    count = b.addProperty(thing, u"count", StandardTypes::integerMeta());
    label = b.addProperty(thing, u"label", StandardTypes::stringMeta());
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

// The earlier form of drift.Thing, with `count` stored as `countType` and
// its superclass `superclass`, and one object of it (element 1) holding `old`.
void storeEarlierThing(vlt::DataModelRepository& repository, const std::string& countType,
                       const std::string& superclass) {
  const vlt::ClassRef root = repository.metamodel().findClass("ModelElement");
  const vlt::ClassRef base = repository.createClass("drift.Base", {root});
  const vlt::ClassRef thing = repository.createClass("drift.Thing", {superclass == "drift.Base" ? base : root});
  for (const auto& [name, type] : {std::pair<std::string, std::string>{"count", countType}, {"old", "ustring"}})
    repository.appendPropertyToClass(thing, name, type, "", 0, 1, false, false, true, "",
                                     vlt::DataModelRepository::AssociationByOption(0), "", boost::uuids::uuid{}, true);
  const std::u16string kept = u"kept";
  vlt::ObjectConstructor constructor(thing);
  constructor.setObjectUUID(uuidOf(1));
  constructor.setPropertyValueSource(thing.findProperty("old"), &kept);
  constructor.createObject(repository.defaultDataModel());
}

class MetamodelMappingTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (HasFatalFailure()) return;
    ds = open(location);
  }
  const vlt::DataModelRepository& repository() { return Access::repository(*ds); }
  vlt::ClassRef find(const std::string& name) { return repository().metamodel().findClass(name); }

  std::vector<std::u16string> families() { return recordedFamilies(repository()); }

  const MappingPackage& mapping = MappingPackage::get();
  DataSource* ds = nullptr;
};

// The labels of the drift.Thing elements `location` holds, "(unset)" for
// none, sorted.
std::vector<std::u16string> storedLabels(const std::string& location) {
  const meta::Property& label = DriftPackage::get().label;
  const qm::zero::Model stored = loadAll(location);  // alive while its elements are read
  std::vector<std::u16string> labels;
  for (const qm::zero::ModelElement& e : stored->getAllElements())
    labels.push_back(e.isSet(label) ? e.get(label).get<std::u16string>() : u"(unset)");
  std::sort(labels.begin(), labels.end());
  return labels;
}

std::vector<std::string> names(const std::vector<vlt::PropertyRef>& properties) {
  std::vector<std::string> result;
  for (const auto& p : properties) result.push_back(p.name());
  return result;
}

// A class comes with its superclass and their packages; its properties
// follow their position and flags.
TEST_P(MetamodelMappingTest, ClassIsMappedWithItsSuperclassPackagesAndProperties) {
  enableProgressRecords();
  const vlt::ClassRef ebook = Access::getVltClass(*ds, mm.ebook);
  const vlt::ClassRef book = find("lib.Book");
  ASSERT_TRUE(book);
  EXPECT_EQ(ebook.superclasses(), std::vector<vlt::ClassRef>{book});
  EXPECT_EQ(book.superclasses(), std::vector<vlt::ClassRef>{find("lib.Named")});
  EXPECT_EQ(names(book.ownProperties()), (std::vector<std::string>{"library", "authors", "genre", "pages",
                                                                   "ratings", "related", "sequel", "prequel"}));
  for (const char* other : {"lib.Library", "lib.Person"}) EXPECT_TRUE(find(other)) << other;
  EXPECT_EQ(ebook.findProperty("pages"), book.findProperty("pages")) << "inherited, not repeated";
  EXPECT_EQ(ebook.findProperty("formats").typeName(), "lib.Genre");

  // The superclass chain first: each class is added after its superclass.
  std::vector<std::string> added;
  for (const std::string& text : texts(4))
    if (text.rfind("adding ", 0) == 0) added.push_back(text.substr(7, text.find(' ', 7) - 7));
  const auto position = [&](const std::string& name) { return std::find(added.begin(), added.end(), name); };
  EXPECT_LT(position("lib.Named"), position("lib.Book"));
  EXPECT_LT(position("lib.Book"), position("ext.Ebook"));
  EXPECT_EQ(families(), (std::vector<std::u16string>{u"http://example.com/ext", u"http://example.com/lib"}));

  // Mapped once: a second call changes and logs nothing.
  records.clear();
  EXPECT_EQ(Access::getVltClass(*ds, mm.ebook), ebook);
  EXPECT_EQ(texts(4), std::vector<std::string>{});
  EXPECT_EQ(families().size(), 2u);

  const vlt::ClassRef item = Access::getVltClass(*ds, mapping.item);
  // "c" (a primitive type without serializer) and "d" (a datatype not stored
  // as text) have no column; "excluded" is not stored.
  EXPECT_EQ(names(item.ownProperties()), (std::vector<std::string>{"b", "a", "link", "e"}));
  std::vector<std::string> unsupported;
  for (const std::string& text : texts(4))
    if (text.rfind("unsupported property type: ", 0) == 0) unsupported.push_back(text);
  EXPECT_EQ(unsupported, (std::vector<std::string>{"unsupported property type: map.Plain",
                                                   "unsupported property type: map.Odd"}));

  const vlt::PropertyRef a = item.findProperty("a"), b = item.findProperty("b"), link = item.findProperty("link");
  EXPECT_FALSE(a.isOrdered()) << "a single value is never ordered";
  EXPECT_TRUE(a.isUnique());
  EXPECT_TRUE(b.isOrdered());
  EXPECT_FALSE(b.isUnique());
  EXPECT_TRUE(item.findProperty("e").isUnique());
  EXPECT_FALSE(item.findProperty("e").isOrdered());
  EXPECT_TRUE(link.valueIsOptional()) << "a one-way single reference may be absent";
  EXPECT_FALSE(a.valueIsOptional());

  // Only stored one-way references are indexed for the destroy path.
  const auto& incoming = Access::incomingProperties(*ds);
  ASSERT_EQ(incoming.count(mapping.item), 1u);
  EXPECT_EQ(incoming.at(mapping.item), std::unordered_set<meta::Property>{mapping.link});
}

TEST_P(MetamodelMappingTest, EnumerationLiteralsInNameOrderAndValuesToEnumerals) {
  Access::getVltClass(*ds, mm.book);
  const vlt::EnumerationRef genre = repository().metamodel().findEnumeration("lib.Genre");
  ASSERT_TRUE(genre);
  std::vector<std::pair<std::string, int>> literals;
  for (const vlt::EnumeralRef& e : genre.enumerals()) literals.emplace_back(e.name(), e.id());
  EXPECT_EQ(literals, (std::vector<std::pair<std::string, int>>{{"Fiction", 2}, {"Poetry", 5}, {"Science", 1}}));

  EXPECT_EQ(Access::getVltEnumeral(*ds, mm.genre, Value(mm.genre, std::int32_t(5))), genre.findEnumeral(5));
  EXPECT_EQ(Access::getVltEnumeral(*ds, mm.genre, qm0test::integer(1)), genre.findEnumeral(1));
  const ThrownId wrongType = thrownId([&] { Access::getVltEnumeral(*ds, mm.genre, qm0test::str(u"x")); });
  EXPECT_EQ(wrongType.id, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(wrongType.arguments, MsgArguments{u"String"});
}

// An opening records the families of the classes the model uses, even when
// it pushes nothing; the records are read back, not repeated, on a reopening.
// (That a rolled-back record is recorded again, the write path's rollback
// test shows.)
TEST_P(MetamodelMappingTest, VersionsAreRecordedOncePerFamily) {
  ds->beginTransaction(qm::zero::datasource::TransactionId(1));
  Access::getVltClass(*ds, mapping.item);
  ds->commit();
  EXPECT_EQ(families(), std::vector<std::u16string>{u"http://example.com/map"});

  model->resetDataSource();
  commit([&] { qm::zero::ModelElement::createReflective(model, mm.ebook); });
  ds = open(location, DataSource::Synchronous, DataSource::NoSyncToDataSource);
  const std::vector<std::u16string> all{u"http://example.com/ext", u"http://example.com/lib",
                                        u"http://example.com/map"};
  EXPECT_EQ(families(), all);
  model->resetDataSource();
  ds = open(location);
  Access::getVltClass(*ds, mapping.item);
  EXPECT_EQ(families(), all) << "each family once";
}

// A real metamodel that nobody here wrote: every class mapped, one object of
// each concrete class stored, and the repository opened again.
TEST_P(MetamodelMappingTest, RealMetamodelIsMappedStoredAndReopened) {
  const std::string ecore = std::string(VLT_SHARED_DATA) + "/metamodels/BPMN20.ecore";
  if (!std::ifstream(ecore).good()) GTEST_SKIP() << ecore << " is not there";
  static const testsupport::EcorePackage bpmn = [&] {
    testsupport::EcorePackage read = testsupport::readEcore(ecore, u"1.0");
    meta::MetaRegistry::getInstance()->registerPackage(read.package);
    return read;
  }();
  ASSERT_EQ(bpmn.classes, 138u);
  std::vector<meta::Class> concrete;
  for (const meta::Type& type : bpmn.package->getOwnedTypes()) {
    if (const meta::Class cls = meta::Class::downcast(type)) {
      Access::getVltClass(*ds, cls);
      if (!cls->isAbstract()) concrete.push_back(cls);
    }
  }
  std::size_t mapped = 0;
  for (const vlt::ClassRef& cls : repository().metamodel().classes())
    mapped += cls.qualifiedName().rfind("bpmn2.", 0) == 0;
  EXPECT_EQ(mapped, bpmn.classes);
  model->resetDataSource();

  std::vector<std::pair<std::string, boost::uuids::uuid>> stored;
  changeDirectly(location, [&](vlt::DataModelRepository& repository) {
    for (const meta::Class& cls : concrete) {
      const std::string name = fl::i18n::ustring_to_utf8(cls->getQualifiedName());
      vlt::ObjectConstructor constructor(repository.metamodel().findClass(name));
      stored.emplace_back(name, boost::uuids::random_generator()());
      constructor.setObjectUUID(stored.back().second);
      constructor.createObject(repository.defaultDataModel());
    }
  });
  const std::string family = fl::i18n::ustring_to_utf8(bpmn.package->getFamily());
  ds = open(location + (location.find('?') == std::string::npos ? "?" : "&") + "requiredFamily=" + family);
  for (const auto& [name, uuid] : stored)
    EXPECT_TRUE(repository().defaultDataModel().findObject(uuid, repository().metamodel().findClass(name))) << name;
}

// A stored class that an earlier version of its metamodel made is used as
// long as its stored values read the same: what the class gained is added,
// what it lost is kept, each with a warning; a changed type or superclass is
// refused, on writing and on reading.
TEST_P(MetamodelMappingTest, AStoredClassOfAnEarlierMetamodelGrowsKeepsWhatItLostAndRefusesAChangedType) {
  const DriftPackage& drift = DriftPackage::get();
  model->resetDataSource();
  changeDirectly(location, [](vlt::DataModelRepository& r) { storeEarlierThing(r, "int32", "drift.Base"); });
  ds = open(location);
  commit([&] {
    ModelElement thing = ModelElement::createReflective(model, drift.thing);
    thing.set(drift.count, qm0test::integer(3));
    thing.set(drift.label, qm0test::str(u"new"));
  });
  EXPECT_EQ(texts(256),
            (std::vector<std::string>{
                "the stored property old of drift.Thing is no property of the framework class: its stored values "
                "are kept and not read",
                "the property label of drift.Thing is new to the stored class: added"}));
  model->resetDataSource();
  EXPECT_EQ(storedLabels(location), (std::vector<std::u16string>{u"(unset)", u"new"}));
  const vlt::DataModelRepository stored = openDirectly(location);
  const vlt::ClassRef thing = stored.metamodel().findClass("drift.Thing");
  boost::optional<std::u16string> old;
  stored.defaultDataModel().findObject(uuidOf(1), thing).getPropertyValue(thing.findProperty("old"), old);
  EXPECT_EQ(old.value_or(u"(none)"), u"kept");

  // A rollback takes away the property it appended, and what was made to
  // read it: the next write appends it again and stores its value there, and
  // the next read reads it from there.
  {
    const std::string again = newLocation("again.vlt");
    attachTo(qm::zero::Model::create(), again, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);  // new
    changeDirectly(again, [](vlt::DataModelRepository& r) { storeEarlierThing(r, "int32", "drift.Base"); });
    const qm::zero::Model writer = qm::zero::Model::create();
    attachTo(writer, again, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource);
    const auto makeThing = [&](const std::u16string& label) {
      ModelElement::createReflective(writer, drift.thing).set(drift.label, qm0test::str(label));
      writer->requestSnapshot();  // written now, in the transaction
    };
    qm::zero::Transaction undone = writer->beginTransaction();
    makeThing(u"undone");
    EXPECT_TRUE(writer->findElement(uuidOf(1), qm::zero::FetchFromDataSource));
    undone.rollback();
    qm::zero::Transaction kept = writer->beginTransaction();
    makeThing(u"kept");
    const ModelElement read = writer->findElement(uuidOf(1), qm::zero::FetchFromDataSource);
    ASSERT_TRUE(read);
    EXPECT_FALSE(read.isSet(drift.label));
    kept.commit();
    writer->resetDataSource();
    EXPECT_EQ(storedLabels(again), (std::vector<std::u16string>{u"(unset)", u"kept"}));
  }

  // Refused: the count stored as text, and the class under another superclass.
  struct Drift {
    std::string countType, superclass;
    MsgArguments expected;
  };
  const Drift drifts[] = {
      {"ustring", "drift.Base",
       {u"drift.Thing", u"count", std::string("ustring [0..1]"), std::string("int32 [0..1]")}},
      {"int32", "ModelElement",
       {u"drift.Thing", u"", std::string("superclass ModelElement"), std::string("superclass drift.Base")}}};
  for (const Drift& drifted : drifts) {
    const std::string& countType = drifted.countType;
    const std::string& superclass = drifted.superclass;
    SCOPED_TRACE(countType + " under " + superclass);
    const std::string other = newLocation(countType + superclass + ".vlt");
    attachTo(qm::zero::Model::create(), other, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);  // new
    changeDirectly(other, [&](vlt::DataModelRepository& r) { storeEarlierThing(r, countType, superclass); });
    const ThrownId reading = thrownId([&] { loadAll(other); });
    EXPECT_EQ(reading.id, "m2t_vlt:datasource:StoredClassMismatch");
    EXPECT_EQ(reading.arguments, drifted.expected);
    const qm::zero::Model writer = qm::zero::Model::create();
    attachTo(writer, other, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource);
    qm::zero::Transaction transaction = writer->beginTransaction();
    qm::zero::ModelElement::createReflective(writer, drift.thing);
    const ThrownId writing = thrownId([&] { transaction.commit(); });
    EXPECT_EQ(writing.id, "m2t_vlt:datasource:StoredClassMismatch");
    EXPECT_EQ(writing.arguments, drifted.expected);
  }
}

INSTANTIATE_BACKEND_TEST_SUITE(MetamodelMappingTest);

}  // namespace
}  // namespace dstest
