#include "ModelTestSupport.hpp"

#include <qm/zero/io/Serializer.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

#include <limits>

namespace {

using namespace qm0test;
using meta::StandardTypes;
namespace pt = boost::posix_time;

// Datatypes with every kind of attribute, in a package of their own.
struct Shapes {
  meta::DataType point, box;
  meta::Property x, y, tags, genre, min, max, label, id, when, flags, extra;
  static const Shapes& get() {
    static const Shapes instance;
    return instance;
  }

 private:
  Shapes() {
    const TestMetamodel& mm = TestMetamodel::get();
    meta::PackageBuilder b(u"shapes", u"urn:shapes", u"1");
    point = b.addDataType(u"Point");
    box = b.addDataType(u"Box");
    x = b.addProperty(point, u"x", StandardTypes::realMeta());
    y = b.addProperty(point, u"y", StandardTypes::realMeta());
    tags = b.addProperty(point, u"tags", StandardTypes::stringMeta(), meta::PropertyOptions().bounds(0, meta::unbounded));
    genre = b.addProperty(point, u"genre", mm.genre);
    min = b.addProperty(box, u"min", point);
    max = b.addProperty(box, u"max", point);
    label = b.addProperty(box, u"label", StandardTypes::stdstringMeta());
    id = b.addProperty(box, u"id", StandardTypes::uuidMeta());
    when = b.addProperty(box, u"when", StandardTypes::dateTimeMeta());
    flags = b.addProperty(box, u"flags", StandardTypes::booleanMeta(), meta::PropertyOptions().bounds(0, 3));
    extra = b.addProperty(box, u"extra", StandardTypes::stringToStringMapMeta());
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

meta::PropertySerializer& standard(const meta::PrimitiveType& t) {
  meta::PropertySerializer* s = meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(t, "");
  EXPECT_NE(s, nullptr) << text(t->getName());
  return *s;
}

// Writes `value` and reads it back as `type`.
template <class T>
void expectRoundTrip(const meta::PrimitiveType& type, const T& native, const std::u16string& expectedText) {
  meta::PropertySerializer& s = standard(type);
  std::u16string written = s.serializeValue(Value(type, native));
  if (!expectedText.empty()) {
    EXPECT_EQ(written, expectedText) << text(type->getName());
  }
  Value back = s.deserializeValue(written, type);
  EXPECT_EQ(back.getType(), type);
  EXPECT_EQ(back.get<T>(), native) << text(type->getName()) << " " << text(written);
}

TEST(PropertySerializerTest, StandardTypesRoundTripThroughTheirTextAndOtherTextIsRefused) {
  expectRoundTrip(StandardTypes::integerMeta(), std::numeric_limits<std::int32_t>::min(), u"-2147483648");
  expectRoundTrip(StandardTypes::unlimitedNaturalMeta(), 4294967295u, u"4294967295");
  expectRoundTrip(StandardTypes::integer64Meta(), -(std::int64_t(1) << 62), u"-4611686018427387904");
  expectRoundTrip(StandardTypes::uinteger8Meta(), std::uint8_t(255), u"255");
  expectRoundTrip(StandardTypes::uinteger64Meta(), std::numeric_limits<std::uint64_t>::max(), u"18446744073709551615");
  expectRoundTrip(StandardTypes::realMeta(), 0.1, u"0.1");
  expectRoundTrip(StandardTypes::realMeta(), -1e300, u"");
  expectRoundTrip(StandardTypes::stringMeta(), std::u16string(u"a\U0001F600\u00e9"), u"a\U0001F600\u00e9");
  expectRoundTrip(StandardTypes::stdstringMeta(), std::string("caf\xc3\xa9"), u"caf\u00e9");
  expectRoundTrip(StandardTypes::booleanMeta(), false, u"false");
  expectRoundTrip(StandardTypes::uuidMeta(), boost::uuids::string_generator()("01234567-89ab-cdef-0123-456789abcdef"),
                  u"01234567-89ab-cdef-0123-456789abcdef");
  expectRoundTrip(StandardTypes::dateTimeMeta(),
                  pt::ptime(boost::gregorian::date(2024, 2, 29), pt::hours(23) + pt::microseconds(5)),
                  u"2024-02-29T23:00:00.000005");
  expectRoundTrip(StandardTypes::dateTimeMeta(), pt::ptime(boost::date_time::not_a_date_time), u"not-a-date-time");
  expectRoundTrip(StandardTypes::dateTimeMeta(), pt::ptime(boost::date_time::neg_infin), u"-infinity");
  expectRoundTrip(StandardTypes::dateTimeMeta(), pt::ptime(boost::date_time::pos_infin), u"+infinity");
  expectRoundTrip(StandardTypes::stringToStringMapMeta(), StringToStringMap{{u"k", u"v\""}, {u"a", u""}}, u"");
  // Text that stands for no value is refused.
  const std::pair<const meta::PrimitiveType*, std::u16string> bad[] = {
      {&StandardTypes::integerMeta(), u"12x"},          {&StandardTypes::integerMeta(), u"2147483648"},
      {&StandardTypes::integerMeta(), u""},             {&StandardTypes::uinteger8Meta(), u"256"},
      {&StandardTypes::unlimitedNaturalMeta(), u"-1"},  {&StandardTypes::realMeta(), u"1.5e"},
      {&StandardTypes::booleanMeta(), u"TRUE"},         {&StandardTypes::uuidMeta(), u"{01234567-89ab-cdef-0123-456789abcdef}"},
      {&StandardTypes::dateTimeMeta(), u"yesterday"},   {&StandardTypes::stringToStringMapMeta(), u"{\"a\": 1}"}};
  for (const auto& refused : bad)
    EXPECT_EQ(errorIdOf([&] { standard(*refused.first).deserializeValue(refused.second, *refused.first); }),
              "qm0:messages:InvalidValue")
        << text((*refused.first)->getName()) << " " << text(refused.second);
}

TEST(PropertySerializerTest, LookupsUseTheFormatNameAndRegistrationKeepsTheFirst) {
  meta::PropertySerializerRegistry& registry = *meta::PropertySerializerRegistry::getInstance();
  EXPECT_EQ(registry.getPropertySerializer(StandardTypes::integerMeta(), "json"), nullptr);
  EXPECT_EQ(registry.getPropertySerializer(StandardTypes::qxArrayMeta(), ""), nullptr);
  EXPECT_EQ(registry.getDatatypeSerializer(Shapes::get().point), nullptr);
  EXPECT_TRUE(standard(StandardTypes::stringMeta()).defaultValue(StandardTypes::stringMeta()).isEmpty());

  struct Upper : meta::PropertySerializer {
    std::u16string serializeValue(const Value&) const override { return u"X"; }
    Value deserializeValue(const std::u16string&, const meta::Type& t) const override { return Value(t, 1); }
  };
  meta::PropertySerializer* before = registry.getPropertySerializer(StandardTypes::integerMeta(), "");
  EXPECT_FALSE(registry.registerPropertySerializer(StandardTypes::integerMeta(), "", std::make_unique<Upper>()));
  EXPECT_EQ(registry.getPropertySerializer(StandardTypes::integerMeta(), ""), before);
  EXPECT_TRUE(registry.registerPropertySerializer(StandardTypes::integerMeta(), "upper", std::make_unique<Upper>()));
  EXPECT_EQ(registry.getPropertySerializer(StandardTypes::integerMeta(), "upper")->serializeValue(integer(3)), u"X");

  struct Defaults : meta::DatatypeSerializer {
    Value defaultValue(const meta::Type& t) const override { return Value(t, boost::none); }
    Value fallbackValue() const override { return Value(Shapes::get().box, DataValue(Shapes::get().box)); }
  };
  EXPECT_TRUE(registry.registerDatatypeSerializer(Shapes::get().box, std::make_unique<Defaults>()));
  ASSERT_NE(registry.getDatatypeSerializer(Shapes::get().box), nullptr);
  EXPECT_EQ(registry.getDatatypeSerializer(Shapes::get().box)->fallbackValue().getType(), Shapes::get().box);
}

// --- JSON ------------------------------------------------------------------

class JsonTest : public ::testing::Test {
 protected:
  const Shapes& s = Shapes::get();

  std::u16string write(const Value& v) {
    std::u16string out = u"prefix:";
    auto writer = io::Serializer::create("json");
    auto output = io::SerializationOutput::forUTF16String(out);
    writer->serialize(v, *output);
    EXPECT_EQ(out.substr(0, 7), u"prefix:");  // appends
    return out.substr(7);
  }
  std::vector<io::ParseItem> read(const std::u16string& textValue) {
    auto reader = io::Parser::create("json");
    reader->parseString(textValue);
    return reader->getCreatedTopLevelItems();
  }
  DataValue point(double px, double py) {
    DataValue p(s.point);
    p.set(s.x, Value(StandardTypes::realMeta(), px));
    p.set(s.y, Value(StandardTypes::realMeta(), py));
    return p;
  }
};

TEST_F(JsonTest, ADatatypeValueWithAttributesOfEveryKindReadsBackEqual) {
  DataValue b(s.box);
  DataValue lo = point(0.5, -2);
  lo.set(s.tags, strs({u"a", u"\u00fc\"", u""}));
  lo.set(s.genre, Value(TestMetamodel::get().genre, 5));
  b.set(s.min, Value(s.point, lo));
  b.set(s.max, Value(s.point, point(1e10, 3)));
  b.set(s.label, Value(StandardTypes::stdstringMeta(), "caf\xc3\xa9"));
  b.set(s.id, Value(StandardTypes::uuidMeta(), uuidOf(7)));
  b.set(s.when, Value(StandardTypes::dateTimeMeta(), pt::ptime(boost::gregorian::date(2020, 1, 2), pt::seconds(3))));
  b.set(s.flags, Value(StandardTypes::booleanMeta(), std::vector<bool>{true, false}));
  b.set(s.extra, Value(StandardTypes::stringToStringMapMeta(), StringToStringMap{{u"k", u"v"}}));
  std::u16string json = write(Value(s.box, b));
  EXPECT_NE(json.find(u"\"$type\":\"shapes.Box\""), std::u16string::npos);
  EXPECT_NE(json.find(u"\"genre\":\"Poetry\""), std::u16string::npos);  // literals by name
  std::vector<io::ParseItem> items = read(json);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].getMetaClass(), s.box);
  EXPECT_EQ(items[0].getValue().getType(), s.box);
  EXPECT_EQ(items[0].getValue().get<DataValue>(), b);
}

// A value of several entries is written as an array; an array is read as its
// items, skipping those of unknown types. Malformed text, values that do not
// fit and text after the first document are errors, and a failed read keeps
// no items: neither its own nor those of the read before.
TEST_F(JsonTest, AnArrayIsSeveralItemsUnknownTypesAreSkippedAndMalformedTextIsAnError) {
  const std::u16string first = write(Value(s.point, point(1, 2)));
  const std::u16string second = write(Value(s.point, point(3, 4)));
  auto reader = io::Parser::create("json");
  reader->parseString(u"[" + first + u"," + second + u"]");
  ASSERT_EQ(reader->getCreatedTopLevelItems().size(), 2u);
  EXPECT_EQ(reader->getCreatedTopLevelItems()[0].getValue().get<DataValue>(), point(1, 2));
  EXPECT_EQ(reader->getCreatedTopLevelItems()[1].getValue().get<DataValue>(), point(3, 4));
  std::vector<io::ParseItem> items = read(write(Value(s.point, std::vector<DataValue>{point(1, 2), point(3, 4)})));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[1].getValue().get<DataValue>(), point(3, 4));
  items = read(u"[{\"$type\":\"shapes.Point\",\"x\":1},{\"$type\":\"shapes.Nothing\"},{\"x\":2},3]");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].getValue().get<DataValue>().get(s.x).get<double>(), 1.0);
  EXPECT_TRUE(items[0].getValue().get<DataValue>().get(s.y).isEmpty());
  EXPECT_TRUE(read(u"{\"$type\":\"lib.Book\"}").empty());  // a class, not a datatype
  EXPECT_TRUE(read(u"[]").empty());
  for (const char16_t* bad : {u"{\"$type\":", u"{\"$type\":\"shapes.Point\",\"x\":\"one\"}",
                              u"{\"$type\":\"shapes.Point\",\"genre\":\"Drama\"}",
                              u"{\"$type\":\"shapes.Point\",\"tags\":\"not a list\"}",
                              u"{\"$type\":\"shapes.Box\",\"flags\":[true,false,true,false]}"})
    EXPECT_EQ(errorIdOf([&] { read(bad); }), "qm0:messages:UnparsableText") << text(bad);
  const ThrownId twoDocuments = thrownId([&] { reader->parseString(first + u"\n" + second); });
  EXPECT_EQ(twoDocuments.id, "qm0:messages:UnparsableText");
  EXPECT_EQ(twoDocuments.arguments,
            (MsgArguments{std::string("json"), std::string("text follows the first JSON document")}));
  EXPECT_TRUE(reader->getCreatedTopLevelItems().empty());
  EXPECT_EQ(errorIdOf([&] { reader->parseString(u"[" + first + u",{\"$type\":\"shapes.Point\",\"x\":\"one\"}]"); }),
            "qm0:messages:UnparsableText");
  EXPECT_TRUE(reader->getCreatedTopLevelItems().empty());  // not even the good first item
  EXPECT_EQ(errorIdOf([&] { write(integer(3)); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(io::Serializer::create("xml"), nullptr);
  EXPECT_EQ(io::Parser::create(""), nullptr);
}

}  // namespace
