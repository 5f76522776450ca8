// Every value type survives closing and reopening the repository exactly.
// Value tables are made when their first value is written, are forgotten
// with the transaction (or failed call) that made them, and a table another
// connection made is found.

#include "RawSqlite.hpp"
#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

namespace pt = boost::posix_time;
using boost::optional;
using std::numeric_limits;

class ValueTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {  // one commit
      makeClass("test.Target");
      repo.createEnumeration("test.Color", {{"red", 1}, {"green", 5}, {"blue", -3}});
      vlt::ClassRef h = makeClass("test.Holder");
      for (const char* type : {"int32", "uint32", "int64", "uint64", "real64", "ustring", "string", "DateTime",
                               "UUID", "bool", "qxarray", "test.Color", "test.Target"}) {
        addProperty(h, std::string("one_") + type, type, 1, 1);
        addProperty(h, std::string("opt_") + type, type, 0, 1, false, false, true);
        addProperty(h, std::string("many_") + type, type, 0, 0xFFFFFFFF, false, true, false, false);
      }
      create(h, 2);
    });
  }
  // Handles die with a reopen: these take them afresh.
  vlt::PropertyRef p(const std::string& name) { return property("test.Holder", name); }
  vlt::ClassRef holder() { return findClass("test.Holder"); }
  vlt::ClassRef target() { return findClass("test.Target"); }
  vlt::EnumeralRef color(int value) { return repo.metamodel().findEnumeration("test.Color").findEnumeral(value); }
  // The tables of the database, as another connection sees them.
  int tableCount() {
    return std::stoi(isSqlite() ? RawSqlite(location(), SQLITE_OPEN_READONLY)
                                      .answer("SELECT count(*) FROM sqlite_master WHERE type = 'table'")
                                : testsupport::postgresqlAdmin(connectionString(),
                                                               "SELECT count(*) FROM information_schema.tables "
                                                               "WHERE table_schema = current_schema()"));
  }
};

const std::u16string trickyText = std::u16string(u"a\0b", 3) + u"\U0001F600 \u00e9\u4e2d" + char16_t(0xD800) + u"x" +
                                  char16_t(0xDC00);
const std::string trickyBytes = std::string("n\0ul\xff\xfe bytes", 12);

matrix::ArrayPtr makeArray(matrix::ClassId type, std::size_t rows, std::size_t columns) {
  matrix::ArrayPtr array(matrix::createNumericArray(type, {rows, columns}));
  std::memset(matrix::data(array.get()), 0x5A, matrix::numberOfElements(array.get()) * matrix::elementSize(type));
  return array;
}

TEST_P(ValueTest, SingleValuesOfEveryTypeIncludingExtremesAndHugeTexts) {
  create(target(), 1);
  matrix::ArrayPtr array = makeArray(matrix::ClassId::Int16, 2, 3);
  expectRoundTrip(2, entry("one_int32", numeric_limits<std::int32_t>::min()),
                  entry("one_uint32", numeric_limits<std::uint32_t>::max()),
                  entry("one_int64", numeric_limits<long long>::min()),
                  entry("one_uint64", numeric_limits<unsigned long long>::max()), entry("one_real64", -0.1),
                  entry("one_ustring", trickyText), entry("one_string", trickyBytes),
                  entry("one_DateTime", pt::time_from_string("2024-02-29 23:59:58.123456")),
                  entry("one_UUID", makeUuid(0xDEADBEEF)), entry("one_bool", vlt::Boolean::fromByte(7)),
                  entry("one_qxarray", array.get()), entry("one_test.Color", color(-3)),
                  entry("one_test.Target", Obj{1}));
  expectRoundTrip(2, entry("one_real64", -0.0),
                  entry("opt_real64", optional<double>(numeric_limits<double>::quiet_NaN())));
  std::u16string huge(4 * 1024 * 1024, u'x');
  huge[12345] = 0;
  huge.back() = u'\u20ac';
  std::string hugeBytes(8 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < hugeBytes.size(); i += 1000) hugeBytes[i] = static_cast<char>(i % 251);
  expectRoundTrip(2, entry("one_ustring", huge), entry("one_string", hugeBytes));
}

TEST_P(ValueTest, OptionalsAreAbsentUntilSetAndAbsentAgainWhenCleared) {
  expectStored(2, entry("opt_int32", optional<int>()), entry("opt_ustring", optional<std::u16string>()),
               entry("opt_DateTime", optional<pt::ptime>()), entry("opt_bool", optional<vlt::Boolean>()),
               entry("opt_test.Color", optional<vlt::EnumeralRef>()));
  // A present zero, empty text or false is not an absent value; nor is not_a_date_time.
  expectRoundTrip(2, entry("opt_int32", optional<int>(0)), entry("opt_ustring", optional<std::u16string>(u"")),
                  entry("opt_bool", optional<bool>(false)),
                  entry("opt_DateTime", optional<pt::ptime>(pt::ptime(pt::not_a_date_time))),
                  entry("opt_test.Color", optional<vlt::EnumeralRef>(color(5))));
  expectRoundTrip(2, entry("opt_int32", optional<int>()), entry("opt_ustring", optional<std::u16string>()));
  EXPECT_EQ(readValue(find(2), p("opt_int32"), 42), 0) << "an absent value read into a plain target gives the default";
}

TEST_P(ValueTest, VectorsOfEveryTypeKeepOrderAndExactValues) {
  create(target(), 10);
  create(target(), 11);
  matrix::ArrayPtr a = makeArray(matrix::ClassId::Double, 1, 1);
  matrix::ArrayPtr b = makeArray(matrix::ClassId::UInt8, 4, 1);
  const double inf = numeric_limits<double>::infinity();
  expectRoundTrip(
      2, entry("many_int32", std::vector<int>{3, -1, 3}), entry("many_uint32", std::vector<unsigned>{7}),
      entry("many_int64", std::vector<long long>{-5, 5, numeric_limits<long long>::max()}),
      entry("many_uint64", std::vector<std::uint64_t>{0, 1ull << 63, ~0ull}),
      entry("many_real64", std::vector<double>{numeric_limits<double>::quiet_NaN(), -inf,
                                               numeric_limits<double>::denorm_min(), -0.0, 1e308,
                                               fromBits(0x7FF8000000000123u), fromBits(0xFFF0000000000001u)}),
      entry("many_ustring", std::vector<std::u16string>{u"", trickyText, u"\U0010FFFF"}),
      entry("many_string", std::vector<std::string>{"b", "", "a", trickyBytes}),
      entry("many_DateTime",
            std::vector<pt::ptime>{pt::ptime(pt::not_a_date_time), pt::ptime(pt::pos_infin), pt::ptime(pt::neg_infin),
                                   pt::ptime(pt::min_date_time), pt::ptime(pt::max_date_time),
                                   pt::time_from_string("1969-12-31 23:59:59.999999")}),
      entry("many_UUID", std::vector<boost::uuids::uuid>{makeUuid(9), makeUuid(8)}),
      entry("many_bool", std::vector<vlt::Boolean>{true, false, true}),
      entry("many_qxarray", std::vector<matrix::qxArray_tag*>{a.get(), b.get()}),
      entry("many_test.Color", std::vector<vlt::EnumeralRef>{color(5), color(1)}),
      entry("many_test.Target", objects({11, 10})));
  expectRoundTrip(2, entry("many_int32", std::vector<int>{}));
}

TEST_P(ValueTest, WrongTypesForeignPropertiesNullHandlesAndMissingObjectsAreRefused) {
  vlt::ObjectRef h = find(2);
  vlt::ObjectRef t = create(target(), 3);
  EXPECT_THROW(h.setPropertyValue(p("one_int32"), std::u16string(u"x")), vlt::UsageError);
  EXPECT_THROW(h.setPropertyValue(p("one_int32"), 1ll), vlt::UsageError) << "int64 is not int32";
  EXPECT_THROW(t.setPropertyValue(p("one_int32"), 1), vlt::UsageError) << "not a property of test.Target";
  EXPECT_THROW(h.setPropertyValue(vlt::PropertyRef(), 1), vlt::UsageError);
  EXPECT_THROW(vlt::ObjectRef().setPropertyValue(p("one_int32"), 1), vlt::UsageError);
  vlt::EnumerationRef other = repo.createEnumeration("test.Other", {{"x", 1}});
  EXPECT_THROW(h.setPropertyValue(p("one_test.Color"), other.findEnumeral(1)), vlt::UsageError);
  EXPECT_THROW(h.setPropertyValue(p("one_test.Target"), h), vlt::UsageError) << "a Holder is not a Target";
  EXPECT_THROW(readValue<int>(h, p("one_string")), vlt::UsageError);

  vlt::ObjectId first = 0;
  repo.allocateObjectIds(1, first);
  vlt::ObjectRef ghost = repo.getObjectRef(first, holder());
  EXPECT_THROW(readValue<int>(ghost, p("one_int32")), vlt::ObjectNotFoundError);
  EXPECT_THROW(ghost.setPropertyValue(p("one_int32"), 5), vlt::ObjectNotFoundError);
  EXPECT_THROW(ghost.objectIdentity(), vlt::ObjectNotFoundError);
  EXPECT_FALSE(ghost.exists());
}

TEST_P(ValueTest, ReadsAndWritesInsideATransactionSeeEveryWriteBeforeThem) {
  repo.beginTransaction();
  vlt::ObjectRef h = repo.defaultDataModel().findObject(makeUuid(2), holder());  // fetches the row with the lookup
  EXPECT_EQ(readValue(h, p("one_int32"), -1), 0);
  h.setPropertyValue(p("one_int32"), 5);
  EXPECT_EQ(readValue(h, p("one_int32"), -1), 5);
  vlt::ObjectRef again = repo.defaultDataModel().findObject(makeUuid(2), holder());
  again.setPropertyValue(p("one_int32"), 6);
  EXPECT_EQ(readValue(h, p("one_int32"), -1), 6);
  repo.rollbackTransaction();
  EXPECT_EQ(readValue(h, p("one_int32"), -1), 0) << "the rollback undid both writes";
  repo.beginTransaction();
  h = repo.defaultDataModel().findObject(makeUuid(2), holder());
  vlt::PropertyRef added = addProperty(holder(), "added", "int32", 0, 1);
  h.setPropertyValue(added, 3);
  EXPECT_EQ(readValue(h, added, -1), 3);
  EXPECT_EQ(readValue(h, p("one_int32"), -1), 0);
  // What a lookup knew of its object goes with the next write.
  vlt::ObjectRef gone = repo.defaultDataModel().lookUpObject(makeUuid(2), holder());
  gone.deleteObject();
  EXPECT_THROW(gone.setPropertyValue(p("one_int32"), 7), vlt::ObjectNotFoundError);
  repo.commitTransaction();
  EXPECT_FALSE(gone.exists());
}

TEST_P(ValueTest, TablesAreMadeWithTheirFirstValueForgottenWithTheirTransactionAndFoundByOtherConnections) {
  const vlt::ObjectRef t = create(target(), 1);
  const int metamodelOnly = tableCount();
  Repo reader;
  reader.open(connectionString(), "", options);
  const vlt::ClassRef readerHolder = reader.metamodel().findClass("test.Holder");
  const vlt::ObjectRef seen = reader.defaultDataModel().findObject(makeUuid(2), readerHolder);
  // What the reader finds in object 2: its opt_int32 ("-" when absent), and how many links.
  auto readBack = [&] {
    const auto value = readValue<optional<int>>(seen, readerHolder.findProperty("opt_int32"));
    const auto targets = readValue<std::vector<vlt::ObjectRef>>(seen, readerHolder.findProperty("many_test.Target"));
    return (value ? std::to_string(*value) : std::string("-")) + " " + std::to_string(targets.size());
  };
  EXPECT_EQ(readBack(), "- 0") << "no table: no value";
  vlt::ObjectRef h = find(2);
  repo.beginTransaction();
  h.setPropertyValue(p("opt_int32"), 5);
  h.setPropertyValue(p("many_test.Target"), std::vector<vlt::ObjectRef>{t});
  repo.rollbackTransaction();
  EXPECT_EQ(tableCount(), metamodelOnly);
  // A failed call inside a transaction takes the table it made with it.
  Repo other;
  other.open(dir.file("other.db"), "", options);
  vlt::ObjectRef foreign =
      vlt::ObjectConstructor(other.createClass("test.Target", {})).createObject(other.defaultDataModel());
  repo.beginTransaction();
  vlt::CollectionRef collection = readValue<vlt::CollectionRef>(h, p("many_test.Target"));
  EXPECT_THROW(collection.push_back(foreign), vlt::UsageError);
  collection.push_back(t);
  collection.push_back(t);
  h.setPropertyValue(p("opt_int32"), 7);
  repo.commitTransaction();
  EXPECT_EQ(tableCount(), metamodelOnly + 2);
  EXPECT_EQ(readBack(), "7 2") << "outside a transaction";
  reader.beginTransaction();
  EXPECT_EQ(readBack(), "7 2") << "in a transaction";
  reader.commitTransaction();
  expectStored(2, entry("opt_int32", optional<int>(7)), entry("many_test.Target", objects({1, 1})));
}

INSTANTIATE_TEST_SUITE_P(Backends, ValueTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
