#include "TestMetamodel.hpp"

#include <qm/zero/Messages.hpp>
#include <qm/zero/Value.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/string_generator.hpp>

#include <matrix/Array.hpp>

#include <gtest/gtest.h>

namespace {

using namespace qm::zero;
using meta::StandardTypes;
using qm0test::TestMetamodel;

// Runs `f` and returns the message identifier and first UTF-16 argument of
// the message-id exception it throws.
template <class F>
std::pair<std::string, std::u16string> errorOf(F&& f) {
  try {
    f();
  } catch (const foundation::core::except::IMsgIDException& e) {
    const auto& args = e.getMessageID().arguments();
    std::u16string first;
    if (!args.empty() && std::holds_alternative<std::u16string>(args.front()))
      first = std::get<std::u16string>(args.front());
    return {e.get_error_id(), first};
  }
  return {"nothing thrown", u""};
}

TEST(ValueTest, EveryStandardTypeHoldsItsNativeValue) {
  const boost::posix_time::ptime when(boost::gregorian::date(2024, 2, 29), boost::posix_time::seconds(3661));
  const boost::uuids::uuid id = boost::uuids::string_generator()("01234567-89ab-cdef-0123-456789abcdef");
  EXPECT_EQ(Value(StandardTypes::integerMeta(), -7).get<int>(), -7);
  EXPECT_EQ(Value(StandardTypes::unlimitedNaturalMeta(), 4000000000u).get<unsigned int>(), 4000000000u);
  EXPECT_EQ(Value(StandardTypes::integer64Meta(), -(1LL << 40)).get<long long>(), -(1LL << 40));
  EXPECT_EQ(Value(StandardTypes::integer64Meta(), std::int64_t(5)).get<std::int64_t>(), 5);
  EXPECT_EQ(Value(StandardTypes::uinteger8Meta(), std::uint8_t(200)).get<std::uint8_t>(), 200);
  EXPECT_EQ(Value(StandardTypes::uinteger64Meta(), ~0ULL).get<unsigned long long>(), ~0ULL);
  EXPECT_EQ(Value(StandardTypes::realMeta(), 2.5).get<double>(), 2.5);
  EXPECT_EQ(Value(StandardTypes::stringMeta(), u"h\u00e9").get<std::u16string>(), u"h\u00e9");
  EXPECT_EQ(Value(StandardTypes::stdstringMeta(), "bytes").get<std::string>(), "bytes");
  EXPECT_EQ(Value(StandardTypes::dateTimeMeta(), when).get<boost::posix_time::ptime>(), when);
  EXPECT_EQ(Value(StandardTypes::uuidMeta(), id).get<boost::uuids::uuid>(), id);
  EXPECT_EQ(Value(StandardTypes::booleanMeta(), true).get<bool>(), true);
  StringToStringMap map{{u"a", u"1"}, {u"b", u"2"}};
  EXPECT_EQ(Value(StandardTypes::stringToStringMapMeta(), map).get<StringToStringMap>(), map);
  matrix::ArrayPtr array(matrix::createNumericArray(matrix::ClassId::Double, {2, 3}));
  Value a(StandardTypes::qxArrayMeta(), array.get());
  EXPECT_EQ(a.get<matrix::qxArray_tag*>(), array.get());  // a value borrows its array
  EXPECT_EQ(a.get<const matrix::qxArray_tag*>(), array.get());
}

TEST(ValueTest, MetaDescribesTypeFlagsAndEntryType) {
  Value v(StandardTypes::realMeta(), 1.0);
  EXPECT_EQ(v.getMeta().getFlags(), 1u);
  EXPECT_EQ(v.getMeta().getEntryType(), EntryType::Real);
  Value e(TestMetamodel::get().genre, 5);
  EXPECT_EQ(e.getMeta().getEntryType(), EntryType::EnumLiteral);
  EXPECT_EQ(e.get<int>(), 5);
  Value empty(StandardTypes::integerMeta(), boost::none);
  EXPECT_EQ(empty.getMeta().getFlags(), 0u);
  EXPECT_EQ(empty.getMeta().getEntryType(), EntryType::Integer);
  EXPECT_TRUE(empty.isEmpty());
}

TEST(ValueTest, EmptyValuesReadAsNoneAndRefuseTypedReads) {
  const TestMetamodel& mm = TestMetamodel::get();
  Value empty = Value::createEmptyValue(mm.pages);
  EXPECT_EQ(empty.getType(), StandardTypes::integerMeta());
  EXPECT_FALSE(empty.getOptional<int>());
  EXPECT_EQ(errorOf([&] { empty.get<int>(); }).first, "qm0:messages:InvalidValue");
  Value one(StandardTypes::integerMeta(), 3);
  EXPECT_EQ(one.getOptional<int>().value_or(0), 3);
  EXPECT_EQ(errorOf([&] { one.get<int>(1); }).first, "qm0:messages:InvalidValue");
}

TEST(ValueTest, ReadingAsAnotherTypeNamesTheValuesType) {
  const TestMetamodel& mm = TestMetamodel::get();
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

TEST(ValueTest, MultiValuedValuesKeepTheirEntriesInOrder) {
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

TEST(ValueTest, EqualityComparesTypeAndEntries) {
  EXPECT_EQ(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 1));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(StandardTypes::integerMeta(), 2));
  EXPECT_NE(Value(StandardTypes::integerMeta(), 1), Value(TestMetamodel::get().genre, 1));
  EXPECT_EQ(Value(StandardTypes::integerMeta(), boost::none), Value::createEmptyValue(TestMetamodel::get().pages));
}

TEST(ValueTest, DataValuesHoldOneValuePerAttributeAndCopyOnWrite) {
  const TestMetamodel& mm = TestMetamodel::get();
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
