// Stored text of values without a column type of their own.

#include "DataSourceTestSupport.hpp"

#include "serialization/ValueText.hpp"

#include <optional>

namespace dstest {
namespace {

using qm::zero::DataValue;
using vlt_datasource::toStoredText;

// The test metamodel's dimensions, with a serializer whose fallback has the
// width -1.
Value dimensions(double width, std::optional<double> height = std::nullopt) {
  const auto& mm = qm0test::TestMetamodel::get();
  DataValue value(mm.dimensions);
  value.set(mm.width, Value(StandardTypes::realMeta(), width));
  if (height) value.set(mm.height, Value(StandardTypes::realMeta(), *height));
  return Value(mm.dimensions, value);
}
struct Defaults : meta::DatatypeSerializer {
  Value defaultValue(const meta::Type& type) const override { return Value(type, boost::none); }
  Value fallbackValue() const override { return dimensions(-1.0); }
};
const meta::DatatypeSerializer* dimensionsSerializer() {
  static meta::DatatypeSerializer* const serializer = [] {
    const meta::DataType& type = qm0test::TestMetamodel::get().dimensions;
    auto* registry = meta::PropertySerializerRegistry::getInstance();
    registry->registerDatatypeSerializer(type, std::make_unique<Defaults>());
    return registry->getDatatypeSerializer(type);
  }();
  return serializer;
}

// A datatype's text reads back, or falls back; a value that has no text is
// refused with its type.
TEST(ValueTextTest, DatatypeTextReadsBackOrFallsBackAndAValueWithoutTextIsRefused) {
  const auto& mm = qm0test::TestMetamodel::get();
  vlt_datasource::DatatypeSerializerUnstringifier reader(dimensionsSerializer());
  const Value value = dimensions(1.5, -2);
  EXPECT_EQ(reader.unstringify(toStoredText(value), mm.dimensions), value);

  // Not exactly one item of the expected datatype: the fallback, not an error.
  const Value fallback = dimensionsSerializer()->fallbackValue();
  const Value two(mm.dimensions, std::vector<DataValue>{value.get<DataValue>(), value.get<DataValue>()});
  EXPECT_EQ(reader.unstringify(vlt_datasource::DatatypeSerializerStringifier().stringify(two), mm.dimensions),
            fallback);
  meta::PackageBuilder b(u"vt", u"http://example.com/vt", u"1.0");
  const meta::DataType other = b.addDataType(u"Other");  // of another package
  b.addProperty(other, u"width", StandardTypes::realMeta());
  b.build();
  EXPECT_EQ(reader.unstringify(toStoredText(Value(other, DataValue(other))), mm.dimensions), fallback);
  EXPECT_TRUE(reader.absentValue(mm.dimensions).isEmpty());
  EXPECT_ANY_THROW(reader.unstringify(u"{not json", mm.dimensions));

  qm::zero::Model model = qm::zero::Model::create();
  auto transaction = model->beginTransaction();
  const ThrownId element =
      thrownId([&] { toStoredText(Value(qm::zero::ModelElement::createReflective(model, mm.book))); });
  EXPECT_EQ(element.id, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(element.arguments, MsgArguments{u"lib.Book"});
  EXPECT_EQ(thrownId([&] { toStoredText(Value(StandardTypes::qxArrayMeta(), boost::none)); }).arguments,
            MsgArguments{u"QxArray"});
  transaction.rollback();
}

}  // namespace
}  // namespace dstest
