#include "ModelTestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using namespace qm0test;
using meta::StandardTypes;
using ValueTest = ModelTest;

TEST_F(ValueTest, EmptyValuesReadAsNoneAndRefuseTypedReadsAndEqualValuesHaveTheSameTypeAndEntries) {
  Value empty = Value::createEmptyValue(mm.pages);
  EXPECT_EQ(empty.getType(), StandardTypes::integerMeta());
  EXPECT_FALSE(empty.getOptional<int>());
  EXPECT_EQ(errorOf([&] { empty.get<int>(); }).first, "qm0:messages:InvalidValue");
  Value one(StandardTypes::integerMeta(), 3);
  EXPECT_EQ(one.getOptional<int>().value_or(0), 3);
  EXPECT_EQ(errorOf([&] { one.get<int>(1); }).first, "qm0:messages:InvalidValue");
  // Equal values have the same type and entries.
  EXPECT_EQ(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 1));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 2));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(mm.genre, 1));
  EXPECT_EQ(Value(StandardTypes::integerMeta(), boost::none), empty);
}

TEST_F(ValueTest, ReadingAsAnotherTypeNamesTheValuesType) {
  auto error = errorOf([] { Value(StandardTypes::integerMeta(), 3).get<std::u16string>(); });
  EXPECT_EQ(error.first, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(error.second, u"Integer");
  error = errorOf([&] { Value(mm.genre, 2).get<ModelElement>(); });
  EXPECT_EQ(error.second, u"lib.Genre");
  // A native value that does not fit the type is refused when the value is made.
  error = errorOf([] { Value(StandardTypes::stringMeta(), 3); });
  EXPECT_EQ(error.first, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(error.second, u"String");
  error = errorOf([] { Value(StandardTypes::integerMeta(), std::int64_t(3)); });
  EXPECT_EQ(error.second, u"Integer");
  // A stored Boolean byte becomes a bool before it is a value.
  error = errorOf([] { Value(StandardTypes::booleanMeta(), std::uint8_t(2)); });
  EXPECT_EQ(error.second, u"Boolean");
}

TEST_F(ValueTest, MultiValuedValuesKeepTheirEntriesInOrder) {
  Value v(StandardTypes::integerMeta(), std::vector<int>{3, 1, 2});
  EXPECT_EQ(v.size(), 3u);
  EXPECT_EQ(v.getAll<int>(), (std::vector<int>{3, 1, 2}));
  v.append(7);
  EXPECT_EQ(v.get<int>(3), 7);
  EXPECT_EQ(errorOf([&] { v.append(std::u16string(u"x")); }).first, "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(v.size(), 4u);
  Value empty(StandardTypes::integerMeta(), std::vector<int>{});
  EXPECT_TRUE(empty.isEmpty());
}

TEST_F(ValueTest, DataValuesHoldOneValuePerAttributeAndCopyOnWrite) {
  DataValue d(mm.dimensions);
  EXPECT_TRUE(d.get(mm.width).isEmpty());
  d.set(mm.width, Value(StandardTypes::realMeta(), 2.0));
  DataValue copy = d;
  EXPECT_EQ(copy, d);
  copy.set(mm.height, Value(StandardTypes::realMeta(), 3.0));
  EXPECT_TRUE(d.get(mm.height).isEmpty());
  EXPECT_EQ(copy.get(mm.height).get<double>(), 3.0);
  EXPECT_NE(copy, d);
  EXPECT_EQ(errorOf([&] { d.set(mm.height, Value(StandardTypes::integerMeta(), 3)); }).second, u"Integer");
  EXPECT_EQ(errorOf([&] { d.get(mm.pages); }).first, "qm0:messages:PropertyNotOfClass");
  Value v(mm.dimensions, d);
  EXPECT_EQ(v.getMeta().getEntryType(), EntryType::DataValue);
  EXPECT_EQ(v.get<DataValue>().get(mm.width).get<double>(), 2.0);
}

}  // namespace
