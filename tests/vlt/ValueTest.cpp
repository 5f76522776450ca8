// Every value type survives closing and reopening the repository exactly.

#include "RepositoryFixture.hpp"

#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cmath>
#include <cstring>
#include <limits>

namespace vlttest {
namespace {

namespace pt = boost::posix_time;
using boost::optional;

class ValueTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    target = makeClass("test.Target");
    color = repo.createEnumeration("test.Color", {{"red", 1}, {"green", 5}, {"blue", -3}});
    holder = makeClass("test.Holder");
    for (const char* type : {"int32", "uint32", "int64", "uint64", "real64", "ustring", "string", "DateTime", "UUID",
                             "bool", "qxarray", "test.Color", "test.Target"}) {
      addProperty(holder, std::string("one_") + type, type, 1, 1);
      addProperty(holder, std::string("opt_") + type, type, 0, 1, false, false, true);
      addProperty(holder, std::string("many_") + type, type, 0, 0xFFFFFFFF, false, true, false, false);
    }
  }
  vlt::PropertyRef p(const std::string& name) { return property("test.Holder", name); }

  vlt::ClassRef target;
  vlt::ClassRef holder;
  vlt::EnumerationRef color;
};

const std::u16string trickyText = std::u16string(u"a\0b", 3) + u"\U0001F600 \u00e9\u4e2d" + char16_t(0xD800) + u"x" +
                                  char16_t(0xDC00);
const std::string trickyBytes = std::string("n\0ul\xff\xfe bytes", 12);

TEST_P(ValueTest, EverySingleValueTypeRoundTripsThroughReopen) {
  vlt::ObjectRef t = create(target, 1);
  vlt::ObjectRef h = create(holder, 2);
  matrix::ArrayPtr array(matrix::createNumericArray(matrix::ClassId::Int16, {2, 3}));
  static_cast<std::int16_t*>(matrix::data(array.get()))[5] = -77;
  const pt::ptime when = pt::time_from_string("2024-02-29 23:59:58.123456");

  h.setPropertyValue(p("one_int32"), std::numeric_limits<std::int32_t>::min());
  h.setPropertyValue(p("one_uint32"), std::numeric_limits<std::uint32_t>::max());
  h.setPropertyValue(p("one_int64"), std::numeric_limits<long long>::min());
  h.setPropertyValue(p("one_uint64"), std::numeric_limits<unsigned long long>::max());
  h.setPropertyValue(p("one_real64"), -0.1);
  h.setPropertyValue(p("one_ustring"), trickyText);
  h.setPropertyValue(p("one_string"), trickyBytes);
  h.setPropertyValue(p("one_DateTime"), when);
  h.setPropertyValue(p("one_UUID"), makeUuid(0xDEADBEEF));
  h.setPropertyValue(p("one_bool"), vlt::Boolean::fromByte(7));
  h.setPropertyValue(p("one_qxarray"), static_cast<const matrix::qxArray_tag*>(array.get()));
  h.setPropertyValue(p("one_test.Color"), color.findEnumeral(-3));
  h.setPropertyValue(p("one_test.Target"), t);
  reopen();

  vlt::ObjectRef r = find(2, "test.Holder");
  ASSERT_FALSE(r.isNull());
  int i32 = 0;
  unsigned u32 = 0;
  long long i64 = 0;
  unsigned long long u64 = 0;
  double real = 0;
  std::u16string text;
  std::string bytes;
  pt::ptime time;
  boost::uuids::uuid uuid{};
  vlt::Boolean flag;
  matrix::qxArray_tag* readArray = nullptr;
  vlt::EnumeralRef enumeral;
  vlt::ObjectRef ref;
  r.getPropertyValue(p("one_int32"), i32);
  r.getPropertyValue(p("one_uint32"), u32);
  r.getPropertyValue(p("one_int64"), i64);
  r.getPropertyValue(p("one_uint64"), u64);
  r.getPropertyValue(p("one_real64"), real);
  r.getPropertyValue(p("one_ustring"), text);
  r.getPropertyValue(p("one_string"), bytes);
  r.getPropertyValue(p("one_DateTime"), time);
  r.getPropertyValue(p("one_UUID"), uuid);
  r.getPropertyValue(p("one_bool"), flag);
  r.getPropertyValue(p("one_qxarray"), readArray);
  matrix::ArrayPtr owned(readArray);
  r.getPropertyValue(p("one_test.Color"), enumeral);
  r.getPropertyValue(p("one_test.Target"), ref);

  EXPECT_EQ(i32, std::numeric_limits<std::int32_t>::min());
  EXPECT_EQ(u32, std::numeric_limits<std::uint32_t>::max());
  EXPECT_EQ(i64, std::numeric_limits<long long>::min());
  EXPECT_EQ(u64, std::numeric_limits<unsigned long long>::max());
  EXPECT_EQ(real, -0.1);
  EXPECT_EQ(text, trickyText);
  EXPECT_EQ(bytes, trickyBytes);
  EXPECT_EQ(time, when);
  EXPECT_EQ(uuid, makeUuid(0xDEADBEEF));
  EXPECT_EQ(flag.value, 7);
  ASSERT_NE(readArray, nullptr);
  EXPECT_NE(readArray, array.get());
  EXPECT_TRUE(matrix::arraysEqual(readArray, array.get()));
  EXPECT_EQ(enumeral.id(), -3);
  EXPECT_EQ(enumeral.name(), "blue");
  EXPECT_EQ(ref.objectId(), t.objectId());
  EXPECT_EQ(ref.objectIdentity(), makeUuid(1));
}

TEST_P(ValueTest, OptionalsAreAbsentUntilSetAndAbsentAgainWhenCleared) {
  vlt::ObjectRef h = create(holder, 2);
  optional<int> i;
  optional<std::u16string> s;
  optional<pt::ptime> t;
  optional<vlt::EnumeralRef> e;
  optional<vlt::Boolean> b;
  h.getPropertyValue(p("opt_int32"), i);
  h.getPropertyValue(p("opt_ustring"), s);
  h.getPropertyValue(p("opt_DateTime"), t);
  h.getPropertyValue(p("opt_test.Color"), e);
  h.getPropertyValue(p("opt_bool"), b);
  EXPECT_FALSE(i);
  EXPECT_FALSE(s);
  EXPECT_FALSE(t);
  EXPECT_FALSE(e);
  EXPECT_FALSE(b);

  h.setPropertyValue(p("opt_int32"), optional<int>(0));
  h.setPropertyValue(p("opt_ustring"), optional<std::u16string>(u""));
  h.setPropertyValue(p("opt_bool"), optional<bool>(false));
  h.setPropertyValue(p("opt_test.Color"), optional<vlt::EnumeralRef>(color.findEnumeral(5)));
  reopen();
  vlt::ObjectRef r = find(2, "test.Holder");
  r.getPropertyValue(p("opt_int32"), i);
  r.getPropertyValue(p("opt_ustring"), s);
  r.getPropertyValue(p("opt_bool"), b);
  r.getPropertyValue(p("opt_test.Color"), e);
  ASSERT_TRUE(i && s && b && e);
  EXPECT_EQ(*i, 0);  // a present zero is not an absent value
  EXPECT_EQ(*s, u"");
  EXPECT_EQ(b->value, 0);
  EXPECT_EQ(e->name(), "green");

  r.setPropertyValue(p("opt_int32"), optional<int>());
  r.setPropertyValue(p("opt_ustring"), optional<std::u16string>());
  reopen();
  r = find(2, "test.Holder");
  r.getPropertyValue(p("opt_int32"), i);
  r.getPropertyValue(p("opt_ustring"), s);
  EXPECT_FALSE(i);
  EXPECT_FALSE(s);
  int plain = 42;
  r.getPropertyValue(p("opt_int32"), plain);
  EXPECT_EQ(plain, 0) << "an absent value read into a plain target gives the default";
}

TEST_P(ValueTest, DateTimeSpecialValuesAndExtremesRoundTrip) {
  const std::vector<pt::ptime> times{pt::ptime(pt::not_a_date_time), pt::ptime(pt::pos_infin),
                                     pt::ptime(pt::neg_infin),       pt::ptime(pt::min_date_time),
                                     pt::ptime(pt::max_date_time),   pt::time_from_string("1969-12-31 23:59:59.999999")};
  vlt::ObjectRef h = create(holder, 2);
  h.setPropertyValue(p("many_DateTime"), times);
  h.setPropertyValue(p("opt_DateTime"), optional<pt::ptime>(pt::ptime(pt::not_a_date_time)));
  reopen();
  vlt::ObjectRef r = find(2, "test.Holder");
  std::vector<pt::ptime> back;
  r.getPropertyValue(p("many_DateTime"), back);
  ASSERT_EQ(back.size(), times.size());
  EXPECT_TRUE(back[0].is_not_a_date_time());
  EXPECT_TRUE(back[1].is_pos_infinity());
  EXPECT_TRUE(back[2].is_neg_infinity());
  for (std::size_t i = 3; i < times.size(); ++i) EXPECT_EQ(back[i], times[i]) << i;
  optional<pt::ptime> special;
  r.getPropertyValue(p("opt_DateTime"), special);
  ASSERT_TRUE(special) << "not_a_date_time is a value, not an absent one";
  EXPECT_TRUE(special->is_not_a_date_time());
}

TEST_P(ValueTest, HugeAndOddTextsRoundTrip) {
  std::u16string huge(4 * 1024 * 1024, u'x');
  huge[12345] = 0;
  huge.back() = u'\u20ac';
  std::string hugeBytes(8 * 1024 * 1024, '\0');
  for (std::size_t i = 0; i < hugeBytes.size(); i += 1000) hugeBytes[i] = static_cast<char>(i % 251);
  vlt::ObjectRef h = create(holder, 2);
  h.setPropertyValue(p("one_ustring"), huge);
  h.setPropertyValue(p("one_string"), hugeBytes);
  h.setPropertyValue(p("many_ustring"), std::vector<std::u16string>{u"", trickyText, u"\U0010FFFF"});
  reopen();
  vlt::ObjectRef r = find(2, "test.Holder");
  std::u16string text;
  std::string bytes;
  std::vector<std::u16string> texts;
  r.getPropertyValue(p("one_ustring"), text);
  r.getPropertyValue(p("one_string"), bytes);
  r.getPropertyValue(p("many_ustring"), texts);
  EXPECT_TRUE(text == huge);
  EXPECT_TRUE(bytes == hugeBytes);
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"", trickyText, u"\U0010FFFF"}));
}

TEST_P(ValueTest, NumbersKeepTheirExactBitsIncludingNaNAndInfinity) {
  vlt::ObjectRef h = create(holder, 2);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  h.setPropertyValue(p("many_real64"), std::vector<double>{nan, -std::numeric_limits<double>::infinity(),
                                                            std::numeric_limits<double>::denorm_min(), -0.0, 1e308});
  h.setPropertyValue(p("many_uint64"), std::vector<std::uint64_t>{0, 1ull << 63, ~0ull});
  reopen();
  std::vector<double> reals;
  std::vector<unsigned long long> big;
  find(2, "test.Holder").getPropertyValue(p("many_real64"), reals);
  find(2, "test.Holder").getPropertyValue(p("many_uint64"), big);
  ASSERT_EQ(reals.size(), 5u);
  EXPECT_TRUE(std::isnan(reals[0]));
  EXPECT_EQ(reals[1], -std::numeric_limits<double>::infinity());
  EXPECT_EQ(reals[2], std::numeric_limits<double>::denorm_min());
  EXPECT_TRUE(std::signbit(reals[3]));
  EXPECT_EQ(reals[4], 1e308);
  EXPECT_EQ(big, (std::vector<unsigned long long>{0, 1ull << 63, ~0ull}));
}

TEST_P(ValueTest, VectorsOfEveryTypeRoundTripInOrder) {
  vlt::ObjectRef t1 = create(target, 10);
  vlt::ObjectRef t2 = create(target, 11);
  vlt::ObjectRef h = create(holder, 2);
  matrix::ArrayPtr a(matrix::createNumericArray(matrix::ClassId::Double, {1, 1}));
  matrix::ArrayPtr b(matrix::createNumericArray(matrix::ClassId::UInt8, {4, 1}));
  h.setPropertyValue(p("many_int32"), std::vector<int>{3, -1, 3});
  h.setPropertyValue(p("many_uint32"), std::vector<unsigned>{7});
  h.setPropertyValue(p("many_int64"), std::vector<long long>{-5, 5});
  h.setPropertyValue(p("many_string"), std::vector<std::string>{"b", "a"});
  h.setPropertyValue(p("many_UUID"), std::vector<boost::uuids::uuid>{makeUuid(9), makeUuid(8)});
  h.setPropertyValue(p("many_bool"), std::vector<vlt::Boolean>{true, false, true});
  h.setPropertyValue(p("many_qxarray"), std::vector<const matrix::qxArray_tag*>{a.get(), b.get()});
  h.setPropertyValue(p("many_test.Color"), std::vector<vlt::EnumeralRef>{color.findEnumeral(5), color.findEnumeral(1)});
  h.setPropertyValue(p("many_test.Target"), std::vector<vlt::ObjectRef>{t2, t1}, false);
  reopen();
  vlt::ObjectRef r = find(2, "test.Holder");
  std::vector<int> i32;
  std::vector<unsigned> u32;
  std::vector<std::int64_t> i64;
  std::vector<std::string> s;
  std::vector<boost::uuids::uuid> u;
  std::vector<vlt::Boolean> flags;
  std::vector<matrix::qxArray_tag*> arrays;
  std::vector<vlt::EnumeralRef> colors;
  std::vector<vlt::ObjectRef> targets;
  r.getPropertyValue(p("many_int32"), i32);
  r.getPropertyValue(p("many_uint32"), u32);
  r.getPropertyValue(p("many_int64"), i64);
  r.getPropertyValue(p("many_string"), s);
  r.getPropertyValue(p("many_UUID"), u);
  r.getPropertyValue(p("many_bool"), flags);
  r.getPropertyValue(p("many_qxarray"), arrays);
  r.getPropertyValue(p("many_test.Color"), colors);
  r.getPropertyValue(p("many_test.Target"), targets);
  EXPECT_EQ(i32, (std::vector<int>{3, -1, 3}));
  EXPECT_EQ(u32, (std::vector<unsigned>{7}));
  EXPECT_EQ(i64, (std::vector<std::int64_t>{-5, 5}));
  EXPECT_EQ(s, (std::vector<std::string>{"b", "a"}));
  EXPECT_EQ(u, (std::vector<boost::uuids::uuid>{makeUuid(9), makeUuid(8)}));
  EXPECT_EQ(flags, (std::vector<vlt::Boolean>{true, false, true}));
  ASSERT_EQ(arrays.size(), 2u);
  EXPECT_TRUE(matrix::arraysEqual(arrays[0], a.get()));
  EXPECT_TRUE(matrix::arraysEqual(arrays[1], b.get()));
  for (auto* x : arrays) matrix::destroyArray(x);
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors[0].name(), "green");
  EXPECT_EQ(colors[1].name(), "red");
  ASSERT_EQ(targets.size(), 2u);
  EXPECT_EQ(targets[0].objectIdentity(), makeUuid(11));
  EXPECT_EQ(targets[1].objectIdentity(), makeUuid(10));
  EXPECT_EQ(targets[0].objectClass(), findClass("test.Target"));

  r.setPropertyValue(p("many_int32"), std::vector<int>{});
  reopen();
  find(2, "test.Holder").getPropertyValue(p("many_int32"), i32);
  EXPECT_TRUE(i32.empty());
}

TEST_P(ValueTest, WrongTypesForeignPropertiesAndNullHandlesAreRefused) {
  vlt::ObjectRef h = create(holder, 2);
  vlt::ObjectRef t = create(target, 3);
  EXPECT_THROW(h.setPropertyValue(p("one_int32"), std::u16string(u"x")), vlt::UsageError);
  EXPECT_THROW(h.setPropertyValue(p("one_int32"), 1ll), vlt::UsageError) << "int64 is not int32";
  EXPECT_THROW(t.setPropertyValue(p("one_int32"), 1), vlt::UsageError) << "not a property of test.Target";
  EXPECT_THROW(h.setPropertyValue(vlt::PropertyRef(), 1), vlt::UsageError);
  EXPECT_THROW(vlt::ObjectRef().setPropertyValue(p("one_int32"), 1), vlt::UsageError);
  vlt::EnumerationRef other = repo.createEnumeration("test.Other", {{"x", 1}});
  EXPECT_THROW(h.setPropertyValue(p("one_test.Color"), other.findEnumeral(1)), vlt::UsageError);
  EXPECT_THROW(h.setPropertyValue(p("one_test.Target"), h), vlt::UsageError) << "a Holder is not a Target";
  int value = 0;
  EXPECT_THROW(h.getPropertyValue(p("one_string"), value), vlt::UsageError);
}

TEST_P(ValueTest, ReadingOrWritingAnObjectThatDoesNotExistThrows) {
  vlt::ObjectId first = 0;
  repo.allocateObjectIds(1, first);
  vlt::ObjectRef ghost = repo.getObjectRef(first, holder);
  int value = 0;
  EXPECT_THROW(ghost.getPropertyValue(p("one_int32"), value), vlt::ObjectNotFoundError);
  EXPECT_THROW(ghost.setPropertyValue(p("one_int32"), 5), vlt::ObjectNotFoundError);
  EXPECT_THROW(ghost.objectIdentity(), vlt::ObjectNotFoundError);
  EXPECT_FALSE(ghost.exists());
}

TEST_P(ValueTest, ReadsInsideATransactionSeeEveryWriteBeforeThem) {
  create(holder, 2);
  repo.beginTransaction();
  vlt::ObjectRef h = repo.defaultDataModel().findObject(makeUuid(2), holder);  // fetches the row with the lookup
  int value = -1;
  h.getPropertyValue(p("one_int32"), value);
  EXPECT_EQ(value, 0);
  h.setPropertyValue(p("one_int32"), 5);
  h.getPropertyValue(p("one_int32"), value);
  EXPECT_EQ(value, 5);
  vlt::ObjectRef again = repo.defaultDataModel().findObject(makeUuid(2), holder);
  again.setPropertyValue(p("one_int32"), 6);
  h.getPropertyValue(p("one_int32"), value);
  EXPECT_EQ(value, 6);
  repo.rollbackTransaction();
  h.getPropertyValue(p("one_int32"), value);
  EXPECT_EQ(value, 0) << "the rollback undid both writes";
  repo.beginTransaction();
  h = repo.defaultDataModel().findObject(makeUuid(2), holder);
  vlt::PropertyRef added = addProperty(holder, "added", "int32", 0, 1);
  h.setPropertyValue(added, 3);
  h.getPropertyValue(added, value);
  EXPECT_EQ(value, 3);
  h.getPropertyValue(p("one_int32"), value);
  EXPECT_EQ(value, 0);
  repo.commitTransaction();
}

INSTANTIATE_TEST_SUITE_P(Backends, ValueTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
