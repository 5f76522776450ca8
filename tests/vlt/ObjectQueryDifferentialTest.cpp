// Random queries over random objects, each answer compared with a plain
// evaluation of the same query over the objects as the object API reads
// them. VLT_QUERY_ROUNDS (default 150) and VLT_QUERY_SEED (default 1) set
// the run; a longer one: VLT_QUERY_ROUNDS=20000 build/bin/vlt_tests
// --gtest_filter='*Differential*'.

#include "RepositoryFixture.hpp"

#include <fl/i18n/Unicode.hpp>

#include <cstdlib>

namespace vlttest {
namespace {

using R = vlt::PVMR_wrapper;
using boost::optional;
namespace pt = boost::posix_time;

unsigned envOr(const char* name, unsigned fallback) {
  const char* v = std::getenv(name);
  return v ? static_cast<unsigned>(std::strtoul(v, nullptr, 10)) : fallback;
}

// What the repository stores, in the order it compares: the model compares
// the same way (doubles as ordered integers, strings by their stored bytes).
struct Value {
  bool present = false;
  std::int64_t number = 0;  // i32; u64 with its top bit flipped; double's order; time
  std::string text;         // ustring as WTF-8; string
};
bool operator<(const Value& a, const Value& b) { return a.number != b.number ? a.number < b.number : a.text < b.text; }
bool operator==(const Value& a, const Value& b) { return a.number == b.number && a.text == b.text; }

std::int64_t orderOfDouble(double d) {
  std::int64_t bits = 0;
  std::memcpy(&bits, &d, sizeof bits);
  return bits >= 0 ? bits : bits ^ std::numeric_limits<std::int64_t>::max();
}
std::int64_t orderOfTime(const pt::ptime& t) {
  if (t.is_neg_infinity()) return std::numeric_limits<std::int64_t>::min();
  if (t.is_pos_infinity()) return std::numeric_limits<std::int64_t>::max();
  return (t - pt::ptime(boost::gregorian::date(1970, 1, 1))).total_microseconds();
}
// A stored value or a cell as the model compares it.
template <class T>
Value valueOf(const optional<T>& v) {
  Value out;
  out.present = v.has_value();
  if (!v) return out;
  if constexpr (std::is_same_v<T, std::uint64_t>) {
    out.number = static_cast<std::int64_t>(*v ^ (std::uint64_t{1} << 63));
  } else if constexpr (std::is_same_v<T, double>) {
    out.number = orderOfDouble(*v);
  } else if constexpr (std::is_same_v<T, pt::ptime>) {
    out.number = orderOfTime(*v);
  } else if constexpr (std::is_same_v<T, std::u16string>) {
    out.text = fl::i18n::ustring_to_wtf8(*v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    out.text = *v;
  } else {
    out.number = static_cast<std::int64_t>(*v);
  }
  return out;
}

// Code points of UTF-8 text (valid here), for "?" in patterns: each a lead
// byte with its continuation bytes.
std::vector<std::string> codePoints(const std::string& utf8) {
  std::vector<std::string> out;
  for (char c : utf8) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80 || out.empty()) out.emplace_back();
    out.back() += c;
  }
  return out;
}
bool globMatch(const std::vector<std::string>& s, std::size_t i, const std::vector<std::string>& p, std::size_t j) {
  if (j == p.size()) return i == s.size();
  if (p[j] == "*") return globMatch(s, i, p, j + 1) || (i < s.size() && globMatch(s, i + 1, p, j));
  return i < s.size() && (p[j] == "?" || p[j] == s[i]) && globMatch(s, i + 1, p, j + 1);
}

bool holds(const Value& v, int relation, const Value& c) {
  if (relation == 10) return v.present == c.present && (!v.present || v == c);
  if (relation == 11) return v.present != c.present || (v.present && !(v == c));
  if (!v.present || !c.present) return false;
  switch (relation) {
    case 0: return v == c;
    case 1: return v.text.find(c.text) != std::string::npos;
    case 2: return !(v == c);
    case 3: return v < c;
    case 4: return v < c || v == c;
    case 5: return c < v;
    case 6: return c < v || v == c;
    case 7: return v.text.compare(0, c.text.size(), c.text) == 0;
    case 8:
      return v.text.size() >= c.text.size() &&
             v.text.compare(v.text.size() - c.text.size(), c.text.size(), c.text) == 0;
    default: return globMatch(codePoints(v.text), 0, codePoints(c.text), 0);
  }
}

enum Field { i32, u64, real, text, bytes, when, flag, fieldCount };
const char* const fieldNames[] = {"i32", "u64", "real", "text", "bytes", "when", "flag"};

struct Object {
  unsigned uuid = 0;
  vlt::ObjectId id = 0;
  int cls = 0;  // 0 Base, 1 A, 2 B
  Value values[fieldCount];
  Value own;  // d.A's own "own" (int32); absent for the other classes
  unsigned ref = 0;
  std::vector<unsigned> links;
  unsigned owner = 0;
  std::vector<unsigned> parts;  // the objects it owns
};

class ObjectQueryDifferentialTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    random_.seed(envOr("VLT_QUERY_SEED", 1));
    repo.performDictionaryFunction([&] {
      classes_[0] = makeClass("d.Base");
      classes_[1] = makeClass("d.A", {classes_[0]});
      classes_[2] = makeClass("d.B", {classes_[0]});
      const char* types[] = {"int32", "uint64", "real64", "ustring", "string", "DateTime", "bool"};
      for (int f = 0; f < fieldCount; ++f) {
        addProperty(classes_[0], fieldNames[f], types[f], 0, 1, false, false, true);
      }
      addProperty(classes_[0], "ref", "d.Base", 0, 1, false, false, true);
      addProperty(classes_[0], "links", "d.Base", 0, 0xFFFFFFFF, false, true, false, false);
      addProperty(classes_[0], "parts", "d.Base", 0, 0xFFFFFFFF, true, true);
      // A leaf class's own column: a condition on it may read that class's
      // table alone, where an object without a value has no row.
      addProperty(classes_[1], "own", "int32", 0, 1, false, false, true);
      generate();
    });
    readBack();
  }

  template <class T>
  T pick(std::initializer_list<T> choices) {
    return *(choices.begin() + random_() % choices.size());
  }
  bool chance(unsigned percent) { return random_() % 100 < percent; }

  std::u16string randomText() {
    std::u16string s;
    for (unsigned k = random_() % 4; k > 0; --k) {
      s += pick<std::u16string>({u"a", u"b", u"ab", u"\u00e9", u"\U0001F600", u"[", u"Z"});
    }
    return s;
  }
  std::string randomBytes() {
    std::string s;
    for (unsigned k = random_() % 4; k > 0; --k) s += pick<std::string>({"a", "b", "[", "x"});
    return s;
  }

  // Writes random objects through the API; readBack() builds the model.
  void generate() {
    const unsigned count = 40;
    for (unsigned n = 1; n <= count; ++n) {
      vlt::ObjectRef o = create(classes_[random_() % 3], n);
      vlt::ClassRef base = classes_[0];
      auto set = [&](const char* name, auto value) {
        if (chance(80)) o.setPropertyValue(base.findProperty(name), value);
      };
      set("i32", static_cast<int>(random_() % 7) - 3);
      set("u64", pick<std::uint64_t>({0, 1, std::uint64_t{1} << 63, std::numeric_limits<std::uint64_t>::max()}));
      set("real", pick<double>({-1.5, -0.0, 0.0, 2.0, 1e300, -std::numeric_limits<double>::infinity()}));
      set("text", randomText());
      set("bytes", randomBytes());
      set("when", pick<pt::ptime>({pt::ptime(pt::neg_infin), pt::ptime(boost::gregorian::date(1999, 5, 5)),
                                   pt::ptime(boost::gregorian::date(2024, 1, 1)), pt::ptime(pt::pos_infin)}));
      set("flag", chance(50));
      if (o.objectClass() == classes_[1] && chance(50))
        o.setPropertyValue(classes_[1].findProperty("own"), static_cast<int>(random_() % 3) - 1);
    }
    for (unsigned n = 1; n <= count; ++n) {
      vlt::ObjectRef o = find(n);
      if (chance(50)) o.setPropertyValue(classes_[0].findProperty("ref"), find(1 + random_() % count));
      std::vector<vlt::ObjectRef> links;
      for (unsigned k = random_() % 3; k > 0; --k) links.push_back(find(1 + random_() % count));
      o.setPropertyValue(classes_[0].findProperty("links"), links, false);
      if (n > 1 && chance(60)) {  // owned by an earlier object: a forest
        vlt::CollectionRef parts;
        find(1 + random_() % (n - 1)).getPropertyValue(classes_[0].findProperty("parts"), parts);
        parts.push_back(o);
      }
    }
  }

  template <class T>
  Value stored(const vlt::ObjectRef& o, const char* name) {
    optional<T> v;
    o.getPropertyValue(classes_[0].findProperty(name), v);
    return valueOf(v);
  }

  void readBack() {
    for (unsigned n = 1;; ++n) {
      vlt::ObjectRef o = find(n);
      if (o.isNull()) break;
      Object m;
      m.uuid = n;
      m.id = o.objectId();
      for (int c = 0; c < 3; ++c) m.cls = o.objectClass() == classes_[c] ? c : m.cls;
      m.values[i32] = stored<int>(o, "i32");
      m.values[u64] = stored<std::uint64_t>(o, "u64");
      m.values[real] = stored<double>(o, "real");
      m.values[text] = stored<std::u16string>(o, "text");
      m.values[bytes] = stored<std::string>(o, "bytes");
      m.values[when] = stored<pt::ptime>(o, "when");
      m.values[flag] = stored<bool>(o, "flag");
      if (m.cls == 1) {
        optional<int> own;
        o.getPropertyValue(classes_[1].findProperty("own"), own);
        m.own = valueOf(own);
      }
      const auto ref = readValue<vlt::ObjectRef>(o, classes_[0].findProperty("ref"));
      m.ref = ref.isNull() ? 0 : numberOf(ref.objectIdentity());
      for (const auto& l : readValue<std::vector<vlt::ObjectRef>>(o, classes_[0].findProperty("links"))) {
        m.links.push_back(numberOf(l.objectIdentity()));
      }
      m.owner = ownerOf(n) == "root" ? 0 : static_cast<unsigned>(std::stoul(ownerOf(n)));
      model_.push_back(m);
    }
    for (const Object& m : model_) {
      if (m.owner != 0) model_[m.owner - 1].parts.push_back(m.uuid);  // uuids are 1, 2, ...: their places
    }
  }

  std::mt19937 random_;
  vlt::ClassRef classes_[3];
  std::vector<Object> model_;
};

// The cells of one random query, kept at fixed addresses while it runs.
struct Cells {
  optional<int> i32;
  optional<std::uint64_t> u64;
  optional<double> real;
  optional<std::u16string> text;
  optional<std::string> bytes;
  optional<pt::ptime> when;
  optional<bool> flag;
  vlt::ObjectRef object;
};

TEST_P(ObjectQueryDifferentialTest, RandomQueriesAnswerAsThePlainEvaluation) {
  const unsigned rounds = envOr("VLT_QUERY_ROUNDS", 150);
  vlt::PropertyRef properties[fieldCount];
  for (int f = 0; f < fieldCount; ++f) properties[f] = property("d.Base", fieldNames[f]);
  for (unsigned round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " of seed " + std::to_string(envOr("VLT_QUERY_SEED", 1)));
    vlt::ObjectQuery q(repo);
    std::vector<Cells> cells(5);  // one per constraint; never resized below
    std::vector<std::function<bool(const Object&)>> conditions;
    const int searched = static_cast<int>(random_() % 3);
    const bool subclasses = chance(50);
    q.addSearchClass(classes_[searched], 0, subclasses ? vlt::classAndSubclasses : vlt::exactClass);
    conditions.push_back([=](const Object& o) { return o.cls == searched || (subclasses && searched == 0); });
    std::string description = "class " + std::to_string(searched) + (subclasses ? "+" : "");
    // A value constraint on a random field, with a value some object has (or a random one).
    auto valueConstraint = [&](Cells& c, int field, int relation, vlt::DisjunctionMatchConstraint* disjunction) {
      const Object& sample = model_[random_() % model_.size()];
      const bool absent = chance(10);
      Value wanted;
      auto bindCell = [&](auto& cell, auto value) {
        if (!absent) cell = value;
        wanted = valueOf(cell);  // the cell as the model sees it
        const auto r = static_cast<R::PropertyValueMatchRelation>(relation);
        if (disjunction) {
          disjunction->addConstraint(properties[field], r, &cell, 0);
        } else {
          q.addConstraint(properties[field], r, &cell, 0);
        }
      };
      const pt::ptime times[] = {pt::ptime(boost::gregorian::date(1999, 5, 5)), pt::ptime(pt::pos_infin)};
      switch (field) {
        case i32: bindCell(c.i32, static_cast<int>(random_() % 7) - 3); break;
        case u64: bindCell(c.u64, pick<std::uint64_t>({0, 1, std::uint64_t{1} << 63, ~std::uint64_t{0}})); break;
        case real: bindCell(c.real, pick<double>({-1.5, -0.0, 0.0, 2.0, 1e300})); break;
        case text:
          bindCell(c.text, chance(50) ? randomText() : fl::i18n::wtf8_to_ustring(sample.values[text].text));
          break;
        case bytes: bindCell(c.bytes, chance(30) ? std::string("*") + randomBytes() : randomBytes()); break;
        case when: bindCell(c.when, pick<pt::ptime>({times[0], times[1]})); break;
        default: bindCell(c.flag, chance(50)); break;
      }
      return std::function<bool(const Object&)>(
          [=](const Object& o) { return holds(o.values[field], relation, wanted); });
    };
    auto randomRelation = [&](int field) {
      const bool textual = field == text || field == bytes;
      return textual ? static_cast<int>(random_() % 12) : pick<int>({0, 2, 3, 4, 5, 6, 10, 11});
    };
    for (unsigned k = random_() % 3; k > 0; --k) {
      const int field = static_cast<int>(random_() % fieldCount);
      const int relation = randomRelation(field);
      conditions.push_back(valueConstraint(cells[k], field, relation, nullptr));
      description += ", " + std::string(fieldNames[field]) + " r" + std::to_string(relation);
    }
    if (chance(30)) {  // a disjunction of two
      vlt::DisjunctionMatchConstraint either;
      const int f1 = static_cast<int>(random_() % fieldCount);
      const int f2 = static_cast<int>(random_() % fieldCount);
      const int r1 = randomRelation(f1);
      const int r2 = randomRelation(f2);
      auto c1 = valueConstraint(cells[0], f1, r1, &either);
      auto c2 = valueConstraint(cells[3], f2, r2, &either);
      q.addConstraint(either);
      conditions.push_back([=](const Object& o) { return c1(o) || c2(o); });
      description += ", (" + std::string(fieldNames[f1]) + " r" + std::to_string(r1) + " or " + fieldNames[f2] +
                     " r" + std::to_string(r2) + ")";
    }
    Cells& refCell = cells[2];
    if (chance(30)) {  // a reference constraint: ref, links or parts
      const int kind = static_cast<int>(random_() % 3);
      const bool positive = chance(50);
      const unsigned target = chance(20) ? 0 : model_[random_() % model_.size()].uuid;
      refCell.object = target ? find(target) : vlt::ObjectRef();
      const char* names[] = {"ref", "links", "parts"};
      q.addObjectConstraint(property("d.Base", names[kind]), positive, &refCell.object, 0);
      conditions.push_back([=](const Object& o) {
        const std::vector<unsigned>& held = kind == 1 ? o.links : o.parts;
        const bool has = kind == 0 ? o.ref == target  // 0 for none
                         : target  ? std::count(held.begin(), held.end(), target) > 0
                                   : held.empty();
        return positive == has;
      });
      description += std::string(", ") + names[kind] + (positive ? " holds " : " lacks ") + std::to_string(target);
    }
    if (searched == 1 && chance(60)) {  // d.A's own column, often compared with an absent value
      Cells& c = cells[4];
      const int relation = pick<int>({0, 2, 3, 4, 5, 6, 10, 11, 10, 11});
      if (!chance(40)) c.i32 = static_cast<int>(random_() % 3) - 1;
      const Value wanted = valueOf(c.i32);
      q.addConstraint(property("d.A", "own"), static_cast<R::PropertyValueMatchRelation>(relation), &c.i32, 0);
      conditions.push_back([=](const Object& o) { return holds(o.own, relation, wanted); });
      description += ", own r" + std::to_string(relation) + (wanted.present ? "" : " absent");
    }
    if (chance(15)) {
      q.addIsTopLevelObjectConstraint(classes_[searched], 0);
      conditions.push_back([](const Object& o) { return o.owner == 0; });
      description += ", top level";
    }
    // Now and then only the number of rows is asked for: the statement may
    // then read fewer tables.
    const bool counting = chance(30);
    vlt::ObjectRef result;
    std::int32_t count = -1;
    if (counting)
      q.addResultCount(&count);
    else
      q.addResultObject(classes_[searched], &result, 0);
    // Order: maybe by a field, then by id; then limit and offset.
    std::vector<Object> expected;
    for (const Object& o : model_) {
      if (std::all_of(conditions.begin(), conditions.end(), [&](const auto& c) { return c(o); })) expected.push_back(o);
    }
    std::sort(expected.begin(), expected.end(), [](const Object& a, const Object& b) { return a.id < b.id; });
    if (chance(50)) {
      const int field = static_cast<int>(random_() % fieldCount);
      const bool descending = chance(50);
      const bool absentLast = chance(50);
      q.setOrderByProperty(properties[field], descending ? vlt::descending : vlt::ascending, absentLast, 0);
      std::stable_sort(expected.begin(), expected.end(), [&](const Object& a, const Object& b) {
        const Value& x = a.values[field];
        const Value& y = b.values[field];
        if (x.present != y.present) return absentLast || descending ? x.present : !x.present;
        return x.present && (descending ? y < x : x < y);
      });
      description += ", by " + std::string(fieldNames[field]) + (descending ? " desc" : " asc") +
                     (absentLast ? " absent last" : "");
    }
    if (chance(30)) {
      const unsigned offset = random_() % 5;
      const unsigned limit = random_() % 10;
      q.setOffset(offset);
      q.setLimit(limit);
      expected.erase(expected.begin(), expected.begin() + std::min<std::size_t>(offset, expected.size()));
      if (expected.size() > limit) expected.resize(limit);
      description += ", offset " + std::to_string(offset) + " limit " + std::to_string(limit);
    }
    std::vector<unsigned> want;
    for (const Object& o : expected) want.push_back(o.uuid);
    vlt::ObjectQuery::ResultIterator it = q.execute();
    if (counting) {
      ASSERT_TRUE(it.getNextResult());
      ASSERT_EQ(count, static_cast<std::int32_t>(want.size())) << description << ", counted";
      continue;
    }
    std::vector<unsigned> got;
    while (it.getNextResult()) got.push_back(numberOf(result.objectIdentity()));
    ASSERT_EQ(got, want) << description;
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, ObjectQueryDifferentialTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
