#include <matrix/Array.hpp>

#include <gtest/gtest.h>

#include <cstring>

namespace {

matrix::ArrayPtr ramp(matrix::ClassId id, std::vector<std::size_t> dims) {
  matrix::ArrayPtr array(matrix::createNumericArray(id, dims));
  auto* bytes = static_cast<unsigned char*>(matrix::data(array.get()));
  const std::size_t n = matrix::numberOfElements(array.get()) * matrix::elementSize(id);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 1);
  return array;
}

TEST(ArrayTest, NewArrayIsZeroFilledAndScalarsAreOneByOne) {
  matrix::ArrayPtr scalar(matrix::createNumericArray(matrix::ClassId::Double, {}));
  EXPECT_EQ(matrix::dimensions(scalar.get()), (std::vector<std::size_t>{1, 1}));
  EXPECT_EQ(*static_cast<const double*>(matrix::data(scalar.get())), 0.0);

  matrix::ArrayPtr empty(matrix::createNumericArray(matrix::ClassId::Int32, {0, 3}));
  EXPECT_EQ(matrix::numberOfElements(empty.get()), 0u);
}

// Arrays are equal when class, shape and bytes are; a duplicate is equal and deep.
TEST(ArrayTest, DuplicateIsDeepAndEqualityNeedsSameClassShapeAndBytes) {
  auto original = ramp(matrix::ClassId::Int16, {2, 3, 4});
  matrix::ArrayPtr copy(matrix::duplicateArray(original.get()));
  EXPECT_TRUE(matrix::arraysEqual(original.get(), copy.get()));
  static_cast<std::int16_t*>(matrix::data(copy.get()))[5] += 1;
  EXPECT_FALSE(matrix::arraysEqual(original.get(), copy.get()));
  EXPECT_EQ(matrix::duplicateArray(nullptr), nullptr);
  auto a = ramp(matrix::ClassId::UInt8, {2, 3});
  auto sameBytesOtherShape = ramp(matrix::ClassId::UInt8, {3, 2});
  auto sameBytesOtherClass = ramp(matrix::ClassId::Int8, {2, 3});
  EXPECT_FALSE(matrix::arraysEqual(a.get(), sameBytesOtherShape.get()));
  EXPECT_FALSE(matrix::arraysEqual(a.get(), sameBytesOtherClass.get()));
  EXPECT_FALSE(matrix::arraysEqual(a.get(), nullptr));
  EXPECT_TRUE(matrix::arraysEqual(nullptr, nullptr));
}

TEST(ArrayTest, SerializationRoundTripsEveryClass) {
  for (int c = 0; c <= static_cast<int>(matrix::ClassId::Char); ++c) {
    const auto id = static_cast<matrix::ClassId>(c);
    auto array = ramp(id, {3, 1, 2});
    matrix::ArrayPtr back(matrix::deserializeArray(matrix::serializeArray(array.get())));
    EXPECT_TRUE(matrix::arraysEqual(array.get(), back.get())) << c;
  }
}

TEST(ArrayTest, MalformedBytesAreRejected) {
  auto array = ramp(matrix::ClassId::Double, {2, 2});
  const std::string good = matrix::serializeArray(array.get());
  EXPECT_THROW(matrix::deserializeArray(""), std::invalid_argument);
  EXPECT_THROW(matrix::deserializeArray("QXA2" + good.substr(4)), std::invalid_argument);
  EXPECT_THROW(matrix::deserializeArray(good.substr(0, good.size() - 1)), std::invalid_argument);
  EXPECT_THROW(matrix::deserializeArray(good + "x"), std::invalid_argument);
  std::string badClass = good;
  badClass[4] = 99;
  EXPECT_THROW(matrix::deserializeArray(badClass), std::invalid_argument);
  std::string huge = good;
  for (int i = 0; i < 8; ++i) huge[9 + i] = '\xFF';  // first dimension 2^64-1
  EXPECT_THROW(matrix::deserializeArray(huge), std::invalid_argument);
}

}  // namespace
