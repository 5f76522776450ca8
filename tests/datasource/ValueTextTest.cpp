// Stored text of values without a column type of their own.

#include "DataSourceTestSupport.hpp"

#include "TestMetamodel.hpp"

#include "serialization/ValueText.hpp"

#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
using qm::zero::DataValue;
using qm::zero::Value;
using meta::StandardTypes;

struct Datatypes {
  const meta::DataType& dimensions = qm0test::TestMetamodel::get().dimensions;
  meta::DataType other;  // another datatype, of another package
  meta::DatatypeSerializer* serializer;

  static Datatypes& get() {
    static Datatypes instance;
    return instance;
  }

 private:
  struct Defaults : meta::DatatypeSerializer {
    Value defaultValue(const meta::Type& type) const override { return Value(type, boost::none); }
    Value fallbackValue() const override {
      DataValue zero(qm0test::TestMetamodel::get().dimensions);
      zero.set(qm0test::TestMetamodel::get().width, Value(StandardTypes::realMeta(), -1.0));
      return Value(qm0test::TestMetamodel::get().dimensions, zero);
    }
  };
  Datatypes() {
    meta::PackageBuilder b(u"vt", u"http://example.com/vt", u"1.0");
    other = b.addDataType(u"Other");
    b.addProperty(other, u"width", StandardTypes::realMeta());
    b.build();
    auto* registry = meta::PropertySerializerRegistry::getInstance();
    registry->registerDatatypeSerializer(dimensions, std::make_unique<Defaults>());
    serializer = registry->getDatatypeSerializer(dimensions);
  }
};

Value dimensions(double width, double height) {
  const auto& mm = qm0test::TestMetamodel::get();
  DataValue value(mm.dimensions);
  value.set(mm.width, Value(StandardTypes::realMeta(), width));
  value.set(mm.height, Value(StandardTypes::realMeta(), height));
  return Value(mm.dimensions, value);
}

TEST(ValueTextTest, DatatypeTextReadsBackOrFallsBack) {
  Datatypes& types = Datatypes::get();
  vlt_datasource::DatatypeSerializerUnstringifier reader(types.serializer);
  const Value value = dimensions(1.5, -2);
  EXPECT_EQ(reader.unstringify(vlt_datasource::toStoredText(value), types.dimensions), value);

  // Not exactly one item of the expected datatype: the fallback, not an error.
  const Value fallback = types.serializer->fallbackValue();
  const auto& mm = qm0test::TestMetamodel::get();
  const Value two(mm.dimensions, std::vector<DataValue>{value.get<DataValue>(), value.get<DataValue>()});
  EXPECT_EQ(reader.unstringify(vlt_datasource::DatatypeSerializerStringifier().stringify(two), types.dimensions),
            fallback);
  DataValue otherValue(types.other);
  const std::u16string otherText = vlt_datasource::toStoredText(Value(types.other, otherValue));
  EXPECT_EQ(reader.unstringify(otherText, types.dimensions), fallback);
  EXPECT_TRUE(reader.absentValue(types.dimensions).isEmpty());
  EXPECT_ANY_THROW(reader.unstringify(u"{not json", types.dimensions));
}

TEST(ValueTextTest, PrimitiveTextGoesThroughTheRegistrysSerializer) {
  const auto* serializer =
      meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(StandardTypes::integerMeta(), "");
  ASSERT_NE(serializer, nullptr);
  const Value seven(StandardTypes::integerMeta(), 7);
  EXPECT_EQ(vlt_datasource::toStoredText(seven), serializer->serializeValue(seven));
  vlt_datasource::PrimitiveSerializerUnstringifier reader(serializer);
  EXPECT_EQ(reader.unstringify(vlt_datasource::toStoredText(seven), StandardTypes::integerMeta()), seven);

  // Absent text is the default; an empty text is a value like any other.
  const auto* strings =
      meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(StandardTypes::stringMeta(), "");
  vlt_datasource::PrimitiveSerializerUnstringifier stringReader(strings);
  EXPECT_EQ(stringReader.absentValue(StandardTypes::stringMeta()), strings->defaultValue(StandardTypes::stringMeta()));
  EXPECT_EQ(stringReader.unstringify(u"", StandardTypes::stringMeta()), Value(StandardTypes::stringMeta(), std::u16string()));
}

TEST(ValueTextTest, ValueWithoutTextIsRefusedWithItsType) {
  const auto& mm = qm0test::TestMetamodel::get();
  qm::zero::Model model = qm::zero::Model::create();
  auto transaction = model->beginTransaction();
  const Value book(qm::zero::ModelElement::createReflective(model, mm.book));
  const ThrownId element = thrownId([&] { vlt_datasource::toStoredText(book); });
  EXPECT_EQ(element.id, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(element.arguments, MsgArguments{u"lib.Book"});
  const ThrownId array = thrownId([&] { vlt_datasource::toStoredText(Value(StandardTypes::qxArrayMeta(), boost::none)); });
  EXPECT_EQ(array.arguments, MsgArguments{u"QxArray"});
  transaction.rollback();
}

}  // namespace
}  // namespace dstest
