// Changes made to a model in its transactions, read back from the repository
// with vlt alone: every kind of value and multiplicity, ordered-collection
// histories, new objects referring to each other and owning existing ones,
// destruction with the links into the destroyed objects, passive data
// sources, failing reports, and the transactions around them.

#include "DataSourceTestSupport.hpp"

#include "serialization/ValueText.hpp"

#include <matrix/Array.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>
#include <testsupport/TestServer.hpp>
#include <vlt/ObjectConstructor.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/optional/optional_io.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <memory>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
using qm::zero::ModelElement;
using qm::zero::Value;

// Every kind of stored value, in the multiplicities the writes tell apart.
//   kinds.Base (abstract)   next: Holder [0..1] one way
//   kinds.Holder : Base     one property per primitive kind [0..1] (`l` and
//                           `shade` [1..1]), collections of values, one-way
//                           and composite references, a qualified collection
struct Kinds {
  meta::Class base, holder;
  meta::Enum colour;
  meta::DataType dims;
  meta::Property width, next, i, u, l, ul, r, s, ss, dt, id, flag, arr, small, map, size, colourProp, shade, colours,
      ints, reals, texts, flags, links, bag, keyed, parts, spare, notes, deferred;

  static const Kinds& get() {
    static const Kinds instance;
    return instance;
  }

 private:
  Kinds() {
    using meta::PropertyOptions;
    using meta::StandardTypes;
    const std::uint32_t many = meta::unbounded;
    meta::PackageBuilder b(u"kinds", u"http://example.com/kinds", u"3");
    base = b.addClass(u"Base", meta::Class(), true);
    holder = b.addClass(u"Holder", base);
    colour = b.addEnum(u"Colour", {{u"Red", 1}, {u"Green", 2}, {u"Blue", 4}});
    dims = b.addDataType(u"Dims");
    width = b.addProperty(dims, u"width", StandardTypes::realMeta());
    next = b.addProperty(base, u"next", holder);
    i = b.addProperty(holder, u"i", StandardTypes::integerMeta());
    u = b.addProperty(holder, u"u", StandardTypes::unlimitedNaturalMeta());
    l = b.addProperty(holder, u"l", StandardTypes::integer64Meta(), PropertyOptions().bounds(1, 1));
    ul = b.addProperty(holder, u"ul", StandardTypes::uinteger64Meta());
    r = b.addProperty(holder, u"r", StandardTypes::realMeta());
    s = b.addProperty(holder, u"s", StandardTypes::stringMeta());
    ss = b.addProperty(holder, u"ss", StandardTypes::stdstringMeta());
    dt = b.addProperty(holder, u"dt", StandardTypes::dateTimeMeta());
    id = b.addProperty(holder, u"id", StandardTypes::uuidMeta());
    flag = b.addProperty(holder, u"flag", StandardTypes::booleanMeta());
    arr = b.addProperty(holder, u"arr", StandardTypes::qxArrayMeta());
    small = b.addProperty(holder, u"small", StandardTypes::uinteger8Meta());
    map = b.addProperty(holder, u"map", StandardTypes::stringToStringMapMeta());
    size = b.addProperty(holder, u"size", dims, PropertyOptions().setStoredSerialized().setValueOptional());
    colourProp = b.addProperty(holder, u"colour", colour);
    shade = b.addProperty(holder, u"shade", colour, PropertyOptions().bounds(1, 1));
    colours = b.addProperty(holder, u"colours", colour, PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    ints = b.addProperty(holder, u"ints", StandardTypes::integerMeta(),
                         PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    reals = b.addProperty(holder, u"reals", StandardTypes::realMeta(), PropertyOptions().bounds(0, many));
    texts = b.addProperty(holder, u"texts", StandardTypes::stringMeta(), PropertyOptions().bounds(0, many).setOrdered());
    flags = b.addProperty(holder, u"flags", StandardTypes::booleanMeta(),
                          PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    links = b.addProperty(holder, u"links", holder, PropertyOptions().bounds(0, many).setOrdered());
    bag = b.addProperty(holder, u"bag", holder, PropertyOptions().bounds(0, many));
    keyed = b.addProperty(holder, u"keyed", holder, PropertyOptions().bounds(0, many).setOrdered());
    parts = b.addProperty(holder, u"parts", holder, PropertyOptions().bounds(0, many).setOrdered().setComposite());
    spare = b.addProperty(holder, u"spare", holder, PropertyOptions().setComposite());
    notes = b.addProperty(holder, u"notes", StandardTypes::stringMeta(), PropertyOptions().setNotStored());
    deferred = b.addProperty(holder, u"deferred", holder, PropertyOptions().bounds(0, many).setDeferredContents());
    b.setQualifiedBy(keyed, ss);
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

enum class Backend { SQLite, PostgreSQL };

// What the repository holds, read through a connection of its own.
class Stored {
 public:
  explicit Stored(const std::string& location) {
    repository.open(location, std::string(), vlt::DataModelRepository::ServiceOptions());
  }
  vlt::ObjectRef object(const ModelElement& element) const {
    return repository.defaultDataModel().findObject(element.getUUID(), repository.metamodel().findClass("ModelElement"));
  }
  template <class T>
  T get(const ModelElement& element, const std::string& property) const {
    const vlt::ObjectRef found = object(element);
    EXPECT_FALSE(found.isNull()) << "no object for " << element.getUUID();
    T value{};
    if (found) found.getPropertyValue(found.objectRuntimeClass().findProperty(property), value);
    return value;
  }
  std::vector<boost::uuids::uuid> targets(const ModelElement& element, const std::string& property) const {
    std::vector<boost::uuids::uuid> ids;
    for (const vlt::ObjectRef& target : get<std::vector<vlt::ObjectRef>>(element, property))
      ids.push_back(target.objectIdentity());
    return ids;
  }
  std::size_t elementCount() const {
    const vlt::MetamodelRef metamodel = repository.metamodel();
    return repository.defaultDataModel().countObjects(metamodel.findClass("ModelElement")) -
           repository.defaultDataModel().countObjects(metamodel.findClass("qm.zero.vlt_datasource.PackageInfo"));
  }
  vlt::DataModelRepository repository;
};

std::vector<boost::uuids::uuid> ids(std::initializer_list<ModelElement> elements) {
  std::vector<boost::uuids::uuid> result;
  for (const ModelElement& e : elements) result.push_back(e.getUUID());
  return result;
}

class WritePathTest : public DataSourceTest, public ::testing::WithParamInterface<Backend> {
 protected:
  WritePathTest() : k(Kinds::get()) {}
  void SetUp() override {
    location = GetParam() == Backend::SQLite ? file("model.vlt") : testsupport::freshPostgresqlSchema();
    ASSERT_FALSE(location.empty());
  }
  DataSource* attach(bool active = true) {
    return active ? DataSource::create(u16(location), model, DataSource::NoSyncToModel,
                                       DataSource::SyncAllToDataSource, DataSource::Synchronous)
                  : DataSource::createPassive(u16(location), model, DataSource::NoSyncToModel,
                                              DataSource::SyncAllToDataSource, DataSource::Synchronous);
  }
  ModelElement holder() {
    ModelElement h = ModelElement::createReflective(model, k.holder);
    h.set(k.l, Value(qm::zero::meta::StandardTypes::integer64Meta(), std::int64_t(1)));
    h.set(k.shade, Value(k.colour, std::int32_t(1)));
    return h;
  }
  template <class F>
  void commit(F&& change) {
    qm::zero::Transaction tx = model->beginTransaction();
    change();
    tx.commit();
  }
  Value enumValues(std::vector<std::int32_t> literals) const { return Value(k.colour, literals); }

  const Kinds& k;
  std::string location;
};

TEST_P(WritePathTest, EveryKindOfValueIsWrittenAtCreationChangedAndCleared) {
  using meta::StandardTypes;
  attach();
  matrix::qxArray_tag* array = matrix::createNumericArray(matrix::ClassId::Double, {2, 3});
  static_cast<double*>(matrix::data(array))[4] = 6.5;
  const boost::uuids::uuid someId = boost::uuids::string_generator()("0123abcd-0000-4000-8000-00000000cafe");
  const boost::posix_time::ptime when = boost::posix_time::time_from_string("2026-12-06 10:00:00.123456");
  qm::zero::DataValue dims(k.dims);
  dims.set(k.width, Value(StandardTypes::realMeta(), 1.25));

  ModelElement full, empty, target;
  commit([&] {
    target = holder();
    empty = holder();
    full = holder();
    full.set(k.i, Value(StandardTypes::integerMeta(), std::int32_t(-7)));
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

  auto expectFullValues = [&](const Stored& stored, const ModelElement& h, const ModelElement& linked) {
    EXPECT_EQ(stored.get<boost::optional<std::int32_t>>(h, "i"), -7);
    EXPECT_EQ(stored.get<std::uint32_t>(h, "u"), 4000000000u);
    EXPECT_EQ(stored.get<std::int64_t>(h, "l"), -(std::int64_t(1) << 40));
    EXPECT_EQ(stored.get<std::uint64_t>(h, "ul"), std::uint64_t(1) << 63);
    EXPECT_EQ(stored.get<double>(h, "r"), 2.5);
    EXPECT_EQ(stored.get<std::u16string>(h, "s"), u"h\u00e9llo");
    EXPECT_EQ(stored.get<std::string>(h, "ss"), "by\x01tes");
    EXPECT_EQ(stored.get<boost::posix_time::ptime>(h, "dt"), when);
    EXPECT_EQ(stored.get<boost::uuids::uuid>(h, "id"), someId);
    // A Boolean is one byte holding 1.
    EXPECT_EQ(stored.get<vlt::Boolean>(h, "flag").value, 1);
    matrix::qxArray_tag* storedArray = stored.get<matrix::qxArray_tag*>(h, "arr");
    EXPECT_TRUE(matrix::arraysEqual(storedArray, array));
    matrix::destroyArray(storedArray);
    EXPECT_EQ(stored.get<std::u16string>(h, "small"), u"200");
    EXPECT_EQ(stored.get<std::u16string>(h, "map"), vlt_datasource::toStoredText(h.get(k.map)));
    EXPECT_EQ(stored.get<std::u16string>(h, "size"), vlt_datasource::toStoredText(Value(k.dims, dims)));
    EXPECT_EQ(stored.get<vlt::EnumeralRef>(h, "colour").name(), "Green");
    EXPECT_EQ(stored.get<vlt::EnumeralRef>(h, "shade").id(), 4);
    std::vector<std::int32_t> colours;
    for (const vlt::EnumeralRef& e : stored.get<std::vector<vlt::EnumeralRef>>(h, "colours")) colours.push_back(e.id());
    EXPECT_EQ(colours, (std::vector<std::int32_t>{4, 1, 4}));
    EXPECT_EQ(stored.get<std::vector<std::int32_t>>(h, "ints"), (std::vector<std::int32_t>{3, 1, 3}));
    EXPECT_EQ(stored.get<std::vector<double>>(h, "reals").size(), 2u);
    EXPECT_EQ(stored.get<std::vector<std::u16string>>(h, "texts"), (std::vector<std::u16string>{u"x", u"y"}));
    std::vector<std::uint8_t> flagBytes;
    for (vlt::Boolean b : stored.get<std::vector<vlt::Boolean>>(h, "flags")) flagBytes.push_back(b.value);
    EXPECT_EQ(flagBytes, (std::vector<std::uint8_t>{1, 0, 1}));
    EXPECT_EQ(stored.get<vlt::ObjectRef>(h, "next").objectIdentity(), target.getUUID());
    EXPECT_EQ(stored.targets(h, "links"), ids({target, linked}));
    EXPECT_EQ(stored.targets(h, "bag"), ids({linked}));
    EXPECT_TRUE(stored.object(h).objectRuntimeClass().findProperty("notes").isNull());
  };
  {
    SCOPED_TRACE("written at creation");
    const Stored stored(location);
    EXPECT_EQ(stored.elementCount(), 3u);
    expectFullValues(stored, full, empty);
    // Unset: absent where the property may be absent, else the type's zero.
    EXPECT_FALSE(stored.get<boost::optional<std::int32_t>>(empty, "i"));
    EXPECT_FALSE(stored.get<boost::optional<std::u16string>>(empty, "size"));
    EXPECT_FALSE(stored.get<boost::optional<vlt::EnumeralRef>>(empty, "colour"));
    EXPECT_EQ(stored.get<vlt::EnumeralRef>(empty, "shade").id(), 1);
    EXPECT_TRUE(stored.get<vlt::ObjectRef>(empty, "next").isNull());
    EXPECT_TRUE(stored.get<std::vector<std::int32_t>>(empty, "ints").empty());
  }

  // The same values written by modification, moved from one element to
  // the other: every property of both is written again.
  commit([&] {
    for (const meta::Property& p : {k.i, k.u, k.l, k.ul, k.r, k.s, k.ss, k.dt, k.id, k.flag, k.arr, k.small, k.map,
                                    k.size, k.colourProp, k.shade, k.colours, k.ints, k.reals, k.texts, k.flags, k.next,
                                    k.links, k.bag}) {
      const Value v = full.get(p);
      full.unset(p);
      empty.set(p, v);
    }
  });
  {
    SCOPED_TRACE("written by modification, then cleared");
    const Stored stored(location);
    expectFullValues(stored, empty, empty);
    EXPECT_FALSE(stored.get<boost::optional<std::int32_t>>(full, "i"));
    EXPECT_FALSE(stored.get<boost::optional<std::u16string>>(full, "small"));
    EXPECT_FALSE(stored.get<boost::optional<vlt::EnumeralRef>>(full, "colour"));
    EXPECT_EQ(stored.get<std::int64_t>(full, "l"), 0);
    EXPECT_TRUE(stored.get<vlt::ObjectRef>(full, "next").isNull());
    EXPECT_TRUE(stored.get<std::vector<std::int32_t>>(full, "ints").empty());
    EXPECT_TRUE(stored.targets(full, "links").empty());
  }
  matrix::destroyArray(array);
}

INSTANTIATE_TEST_SUITE_P(, WritePathTest, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         [](const ::testing::TestParamInfo<Backend>& backend) {
                           return backend.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
                         });

}  // namespace
}  // namespace dstest
