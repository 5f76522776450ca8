// Random values of every kind.

#include "Kinds.hpp"

#include <fl/i18n/Unicode.hpp>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <limits>

namespace dstest {

using qm::zero::Value;

namespace {

// One of `values`, of the first `plainCount` only when `plain`.
template <class T>
Value oneOf(const meta::Type& type, const std::vector<T>& values, std::size_t plainCount, bool plain,
            const Draw& draw) {
  return Value(type, values[draw(plain ? plainCount : values.size())]);
}

// A numeric array of a few elements of random bytes.
Value randomArray(const Draw& draw, std::shared_ptr<matrix::qxArray_tag>& array) {
  const matrix::ClassId ids[] = {matrix::ClassId::Double, matrix::ClassId::Int32, matrix::ClassId::UInt8};
  const matrix::ClassId id = ids[draw(3)];
  array.reset(matrix::createNumericArray(id, {1 + draw(3), 1 + draw(3)}), matrix::ArrayDeleter());
  auto* bytes = static_cast<unsigned char*>(matrix::data(array.get()));
  const std::size_t size = matrix::numberOfElements(array.get()) * matrix::elementSize(id);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(draw(256));
  if (id == matrix::ClassId::Double)  // no NaN patterns: their bits need not survive a round trip
    for (std::size_t i = 0; i < size; i += 8) bytes[i + 7] &= 0x3f;
  return Value(meta::StandardTypes::qxArrayMeta(), array.get());
}

}  // namespace

Value randomValue(const meta::Type& type, const Draw& draw, std::shared_ptr<matrix::qxArray_tag>& array, bool plain) {
  using meta::StandardTypes;
  using boost::posix_time::ptime;
  if (const meta::Enum e = meta::Enum::downcast(type)) {
    std::vector<std::int32_t> literals;
    for (const auto& [name, value] : e->getLiterals()) literals.push_back(value);
    return oneOf(type, literals, literals.size(), plain, draw);
  }
  if (const meta::DataType d = meta::DataType::downcast(type)) {
    qm::zero::DataValue data(d);
    for (const meta::Property& attribute : d->getAllAttributes())
      if (draw(100) < 85) data.set(attribute, randomValue(attribute->getType(), draw, array, plain));
    return Value(type, data);
  }
  if (type == StandardTypes::integerMeta())
    return oneOf<std::int32_t>(type, {-2, 0, 3, 1, -1, 300, 2147483647, -2147483647 - 1}, 3, plain, draw);
  if (type == StandardTypes::unlimitedNaturalMeta()) return oneOf<std::uint32_t>(type, {0, 7, 4000000000u}, 3, plain, draw);
  if (type == StandardTypes::integer64Meta())
    return oneOf<std::int64_t>(
        type, {-5, 0, 5, 20, std::int64_t(1) << 40, std::numeric_limits<std::int64_t>::min()}, 5, plain, draw);
  if (type == StandardTypes::uinteger64Meta())
    return oneOf<std::uint64_t>(type, {0, 2, ~std::uint64_t(0), std::uint64_t(1) << 63}, 3, plain, draw);
  if (type == StandardTypes::uinteger8Meta()) return oneOf<std::uint8_t>(type, {0, 1, 200, 255}, 3, plain, draw);
  if (type == StandardTypes::booleanMeta()) return oneOf<bool>(type, {false, true}, 2, plain, draw);
  if (type == StandardTypes::realMeta())
    return oneOf<double>(type, {-1.5, 0.0, 2.25, 1.0 / 3, -2.5e300, 6.02214076e23, 1e-300}, 3, plain, draw);
  if (type == StandardTypes::uuidMeta()) {
    const boost::uuids::uuid high{{0xff, 0xfe, 0, 0, 0, 0, 0x4f, 0xff, 0xbf, 0, 0, 0, 0, 0, 0, 0xff}};
    return oneOf<boost::uuids::uuid>(type, {boost::uuids::uuid{{1}}, boost::uuids::uuid{{2}}, high}, 2, plain, draw);
  }
  if (type == StandardTypes::dateTimeMeta()) {
    const ptime day(boost::gregorian::date(2024, 3, 1)), early(boost::gregorian::date(1969, 12, 6));
    return oneOf<ptime>(type,
                        {day, day + boost::posix_time::hours(5), day - boost::posix_time::minutes(1),
                         early + boost::posix_time::microseconds(86399999999), day + boost::posix_time::microseconds(1)},
                        3, plain, draw);
  }
  if (type == StandardTypes::stringToStringMapMeta())
    return oneOf<qm::zero::StringToStringMap>(type, {{{u"a", u"b"}}, {{u"", u"\u00e9"}, {u"k", u"v"}}}, 2, plain, draw);
  if (type == StandardTypes::stringMeta())
    return oneOf<std::u16string>(type,
                                 {u"", u"a", u"ab", u"ba", u"abc", u"b", u"cab", u"Brave New World",
                                  u"\u00dcnic\u00f8de \u2603", u"clef \U0001D11E", u"q'\"\\%_", u"two\nlines",
                                  std::u16string(300, u'x'), std::u16string(u"nul\0inside", 10)},
                                 7, plain, draw);
  if (type == StandardTypes::stdstringMeta())
    return oneOf<std::string>(type,
                              {"", "x", "xy", "yx", "http://example.com/b?x=1&y=2", "\xc3\xbc-utf8",
                               "tab\tand 'quote'", std::string(200, 'y')},
                              4, plain, draw);
  if (type == StandardTypes::qxArrayMeta()) return randomArray(draw, array);
  ADD_FAILURE() << "no values for type " << fl::i18n::ustring_to_utf8(type->getQualifiedName());
  return Value(type, boost::none);
}

}  // namespace dstest
