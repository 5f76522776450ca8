#include "ModelTestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using namespace qm0test;
using meta::StandardTypes;
using ValueTest = ModelTest;

TEST_F(ValueTest, EmptyValuesReadAsNoneEqualValuesHaveTheSameTypeAndEntriesAndWrongTypesAreNamed) {
  Value empty = Value::createEmptyValue(mm.pages);
  EXPECT_EQ(empty.getType(), StandardTypes::integerMeta());
  EXPECT_FALSE(empty.getOptional<int>());
  EXPECT_EQ(errorIdOf([&] { empty.get<int>(); }), "qm0:messages:InvalidValue");
  Value one(StandardTypes::integerMeta(), 3);
  EXPECT_EQ(one.getOptional<int>().value_or(0), 3);
  EXPECT_EQ(errorIdOf([&] { one.get<int>(1); }), "qm0:messages:InvalidValue");
  // Equal values have the same type and entries.
  EXPECT_EQ(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 1));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 2));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(mm.genre, 1));
  EXPECT_EQ(Value(StandardTypes::integerMeta(), boost::none), empty);
  // Reading as another type, or making a value of a native value that does
  // not fit (a stored Boolean byte becomes a bool first), names the type.
  const std::pair<std::function<void()>, std::u16string> casts[] = {
      {[] { Value(StandardTypes::integerMeta(), 3).get<std::u16string>(); }, u"Integer"},
      {[&] { Value(mm.genre, 2).get<ModelElement>(); }, u"lib.Genre"},
      {[] { Value(StandardTypes::stringMeta(), 3); }, u"String"},
      {[] { Value(StandardTypes::integerMeta(), std::int64_t(3)); }, u"Integer"},
      {[] { Value(StandardTypes::booleanMeta(), std::uint8_t(2)); }, u"Boolean"}};
  for (const auto& [cast, type] : casts) {
    const ThrownId thrown = thrownId(cast);
    EXPECT_EQ(thrown.id, "qm0:messages:CannotCastIncompatibleTypes");
    EXPECT_EQ(thrown.arguments, MsgArguments{type});
  }
}

TEST_F(ValueTest, MultiValuedAndDataValuesKeepTheirEntries) {
  Value v(StandardTypes::integerMeta(), std::vector<int>{3, 1, 2});
  EXPECT_EQ(v.getAll<int>(), (std::vector<int>{3, 1, 2}));
  v.append(7);
  EXPECT_EQ(v.get<int>(3), 7);
  EXPECT_EQ(errorIdOf([&] { v.append(std::u16string(u"x")); }), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(v.size(), 4u);
  Value empty(StandardTypes::integerMeta(), std::vector<int>{});
  EXPECT_TRUE(empty.isEmpty());
  // Data values hold one value per attribute and copy on write.
  DataValue d(mm.dimensions);
  EXPECT_TRUE(d.get(mm.width).isEmpty());
  d.set(mm.width, Value(StandardTypes::realMeta(), 2.0));
  DataValue copy = d;
  EXPECT_EQ(copy, d);
  copy.set(mm.height, Value(StandardTypes::realMeta(), 3.0));
  EXPECT_TRUE(d.get(mm.height).isEmpty());
  EXPECT_EQ(copy.get(mm.height).get<double>(), 3.0);
  EXPECT_NE(copy, d);
  EXPECT_EQ(thrownId([&] { d.set(mm.height, Value(StandardTypes::integerMeta(), 3)); }).arguments,
            MsgArguments{u"Integer"});
  EXPECT_EQ(errorIdOf([&] { d.get(mm.pages); }), "qm0:messages:PropertyNotOfClass");
  const Value data(mm.dimensions, d);
  EXPECT_EQ(data.getMeta().getEntryType(), EntryType::DataValue);
  EXPECT_EQ(data.get<DataValue>().get(mm.width).get<double>(), 2.0);
}

}  // namespace
