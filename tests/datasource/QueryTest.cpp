// Reflective queries answered by the repository: random queries on a random
// stored model compared with the same queries evaluated over the model in
// memory, then what the translation refuses, how bound results switch
// between rows and counts, where result elements come from, and that the
// package-version records are never elements.

#include "DataSourceTestSupport.hpp"
#include "Kinds.hpp"

#include <qm/zero/query/ReflectiveQuery.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <map>
#include <optional>
#include <random>
#include <set>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
namespace query = qm::zero::query;
using qm::zero::ModelElement;
using qm::zero::Value;
using Query = std::unique_ptr<query::ReflectiveQuery>;

// ---------------------------------------------------------------------------
// One primitive (or enumeration) property: random values from a small domain
// (so that equal values are common), and how two single values compare.

bool matchesPattern(const std::u16string& text, std::size_t t, const std::u16string& pattern, std::size_t p) {
  if (p == pattern.size()) return t == text.size();
  if (pattern[p] == u'*')
    return matchesPattern(text, t, pattern, p + 1) || (t < text.size() && matchesPattern(text, t + 1, pattern, p));
  return t < text.size() && (pattern[p] == u'?' || pattern[p] == text[t]) &&
         matchesPattern(text, t + 1, pattern, p + 1);
}

struct Field {
  meta::Property property;
  std::function<Value(std::mt19937&)> random;
  std::function<int(const Value&, std::size_t, const Value&)> compare;  // entry of a, b's only entry
  std::function<std::u16string(const Value&, std::size_t)> text;        // for strings; null otherwise
  std::vector<query::ValueMatchRelation> relations;
};

const std::vector<query::ValueMatchRelation> equality{query::Equal, query::NotEqual};
const std::vector<query::ValueMatchRelation> ordering{query::Equal,       query::NotEqual, query::Less,
                                                      query::LessOrEqual, query::Greater,  query::GreaterOrEqual};
const std::vector<query::ValueMatchRelation> textual{
    query::Equal,   query::Contains,       query::NotEqual,   query::Less,     query::LessOrEqual,
    query::Greater, query::GreaterOrEqual, query::StartsWith, query::EndsWith, query::Matches};

template <class T>
Field field(const meta::Property& property, std::vector<T> domain, std::vector<query::ValueMatchRelation> relations) {
  Field f{property,
          [property, domain](std::mt19937& rng) {
            return Value(property->getType(),
                         domain[std::uniform_int_distribution<std::size_t>(0, domain.size() - 1)(rng)]);
          },
          [](const Value& a, std::size_t at, const Value& b) {
            const T x = a.get<T>(at), y = b.get<T>(0);
            return x < y ? -1 : y < x ? 1 : 0;
          },
          nullptr, std::move(relations)};
  if constexpr (std::is_same_v<T, std::u16string>) {
    f.text = [](const Value& v, std::size_t at) { return v.get<std::u16string>(at); };
  } else if constexpr (std::is_same_v<T, std::string>) {
    f.text = [](const Value& v, std::size_t at) { return u16(v.get<std::string>(at)); };
  }
  return f;
}

std::vector<Field> fields(const Kinds& m) {
  using boost::posix_time::ptime;
  const ptime day(boost::gregorian::date(2024, 3, 1));
  const std::vector<std::u16string> words{u"", u"a", u"ab", u"ba", u"abc", u"b", u"cab"};
  // `l`, required, is also each element's serial number (unique, in creation order).
  return {field<std::int64_t>(m.l, {-5, 0, 5, 20, std::int64_t(1) << 40}, ordering),
          field<std::int32_t>(m.i, {-2, 0, 3}, ordering),
          field<std::uint32_t>(m.u, {0, 7, 4000000000u}, ordering),
          field<std::uint64_t>(m.ul, {0, 2, ~std::uint64_t(0)}, ordering),
          field<double>(m.r, {-1.5, 0.0, 2.25}, ordering),
          field<std::u16string>(m.s, words, textual),
          field<std::string>(m.ss, {"", "x", "xy", "yx"}, textual),
          field<ptime>(m.dt, {day, day + boost::posix_time::hours(5), day - boost::posix_time::minutes(1)}, ordering),
          field<boost::uuids::uuid>(m.id, {boost::uuids::uuid{{1}}, boost::uuids::uuid{{2}}}, equality),
          field<bool>(m.flag, {false, true}, equality),
          field<std::uint8_t>(m.small, {0, 1, 200}, equality),
          field<std::int32_t>(m.colourProp, {1, 2, 4}, equality),
          field<std::int32_t>(m.shade, {1, 2, 4}, equality),
          field<std::u16string>(m.texts, words, {query::Equal, query::NotEqual, query::Less, query::Greater}),
          field<std::int32_t>(m.ints, {-2, 0, 3}, ordering),
          field<double>(m.reals, {-1.5, 2.25}, ordering),
          field<bool>(m.flags, {false, true}, equality),
          field<std::int32_t>(m.colours, {1, 2, 4}, equality)};
}

// Whether the stored value `v` (entry `at`) is in `relation` to `cell`, both present.
bool holds(const Field& f, query::ValueMatchRelation relation, const Value& v, std::size_t at, const Value& cell) {
  if (relation == query::Contains || relation == query::StartsWith || relation == query::EndsWith ||
      relation == query::Matches) {
    const std::u16string a = f.text(v, at), b = f.text(cell, 0);
    if (relation == query::Contains) return a.find(b) != std::u16string::npos;
    if (relation == query::StartsWith) return a.compare(0, b.size(), b) == 0 && a.size() >= b.size();
    if (relation == query::EndsWith) return a.size() >= b.size() && a.compare(a.size() - b.size(), b.size(), b) == 0;
    return matchesPattern(a, 0, b, 0);
  }
  const int c = f.compare(v, at, cell);
  switch (relation) {
    case query::Equal: return c == 0;
    case query::NotEqual: return c != 0;
    case query::Less: return c < 0;
    case query::LessOrEqual: return c <= 0;
    case query::Greater: return c > 0;
    default: return c >= 0;
  }
}

// A value constraint evaluated in memory as the repository is asked it: a
// required (or multi-valued) property against a plain cell (an empty value
// reads as the type's zero), an optional one against a cell that may be
// absent, "equal" and "notEqual" then also deciding for absent values.
bool satisfies(const ModelElement& e, const Field& f, query::ValueMatchRelation relation, const Value& given) {
  const meta::Property& p = f.property;
  const Value v = e.get(p);
  const bool required = p->getLower() > 0 || p->getUpper() > 1;
  if (p->getUpper() > 1) {
    for (std::size_t at = 0; at < v.size(); ++at)
      if (holds(f, relation, v, at, given)) return true;
    return false;
  }
  const bool enumeration = bool(meta::Enum::downcast(p->getType()));
  const bool either = !required || enumeration;
  if (either && (relation == query::Equal || relation == query::NotEqual)) {
    if (v.isEmpty() || given.isEmpty()) return (v.isEmpty() != given.isEmpty()) == (relation == query::NotEqual);
  }
  if (v.isEmpty() || given.isEmpty()) return false;
  return holds(f, relation, v, 0, given);
}

// ---------------------------------------------------------------------------
// One random query with one or two search classes, drawn part after part:
// value constraints, a disjunction, reference constraints, top-level or
// sub-object constraints, then an order by l with limit and offset, or none
// (rows then compared as sets). Each part adds itself to the query and a
// check of its own to the answer the model in memory gives.

using Row = std::vector<boost::uuids::uuid>;
using Predicate = std::function<bool(const ModelElement&)>;

class RandomQuery {
 public:
  /// `elements` is the stored model in l order; wildcard patterns for
  /// Matches, object constraints and orders by object id come from
  /// `patternRng`, a stream of
  /// their own, so that the queries drawn from `rng` stay what they were.
  /// `objectIds` holds the stored object id of each element.
  RandomQuery(const Kinds& kinds, const std::vector<ModelElement>& stored,
              const std::map<boost::uuids::uuid, vlt::ObjectId>& objectIds, std::mt19937& draws,
              std::mt19937& patternDraws)
      : m(kinds), elements(stored), ids(objectIds), all(fields(kinds)), rng(draws), patternRng(patternDraws) {}

  /// Draws a query into `q`; returns the rows the model in memory answers,
  /// in order when `ordered()`.
  std::vector<Row> drawInto(query::ReflectiveQuery& q) {
    pairs = chance(20);
    checks.assign(pairs ? 2 : 1, {});
    drawSearchClasses(q);
    for (std::size_t index = 0; index < checks.size(); ++index)
      for (int k = int(pick(3)); k > 0; --k) addConstraint(q, index);
    if (chance(30)) drawDisjunction(q);
    if (chance(25)) drawNext(q);
    if (chance(20)) drawLinks(q);
    if (!pairs && chance(15)) {
      q.addTopLevelConstraint(0);
      what << "top level; ";
      checks[0].push_back([](const ModelElement& e) { return !e.getOwner(); });
    }
    if (pairs) drawParts(q);
    if (patternRng() % 10 == 0) drawObject(q);
    std::vector<Row> expected = answer();
    ordered_ = !pairs && chance(50);
    if (ordered_) drawOrder(q, expected);
    return expected;
  }
  bool ordered() const noexcept { return ordered_; }
  /// The query in words, for a failure's message.
  std::string description() const { return what.str(); }

 private:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }
  bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; }

  // Holder with subclasses, Holder or Special alone (mode 0, or 2 read as 0).
  void drawSearchClasses(query::ReflectiveQuery& q) {
    for (std::size_t index = 0; index < checks.size(); ++index) {
      const std::size_t mode = pick(3);
      classes.push_back(mode == 2 ? m.special : m.holder);
      withSubclasses.push_back(mode == 0);
      EXPECT_EQ(q.addSearchClass(classes.back(), mode == 0 ? 1 : pick(2) * 2), index);
      what << "class " << index << ": " << (mode == 2 ? "Special" : "Holder") << (mode == 0 ? "+" : "") << "; ";
    }
  }

  Value patternFor(const meta::Property& property) {
    const std::vector<std::u16string> texts{u"*", u"a*", u"*b", u"?b", u"a?c", u"*a*", u"c?*", u"??"};
    const std::vector<std::string> stdTexts{"*", "x*", "?y", "*y*", "??"};
    const auto any = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(patternRng); };
    return property == m.s ? Value(property->getType(), texts[any(texts.size())])
                           : Value(property->getType(), stdTexts[any(stdTexts.size())]);
  }

  struct Constraint {
    meta::Property property;
    query::ValueMatchRelation relation;
    Value value;
    Predicate check;
  };
  Constraint randomConstraint(std::size_t index, bool forDisjunction) {
    const Field& f = all[pick(all.size())];
    const query::ValueMatchRelation relation = f.relations[pick(f.relations.size())];
    const bool single = f.property->getUpper() == 1;
    Value value = single && f.property->getLower() == 0 && chance(15) ? Value(f.property->getType(), boost::none)
                                                                      : f.random(rng);
    if (relation == query::Matches && !value.isEmpty() && patternRng() % 2 == 0) value = patternFor(f.property);
    what << (forDisjunction ? "or " : "") << "[" << index << "] " << fl::i18n::ustring_to_utf8(f.property->getName())
         << " " << query::ValueMatchRelationName(relation) << " "
         << (value.isEmpty() ? std::string("(none)")
             : f.text        ? fl::i18n::ustring_to_utf8(f.text(value, 0))
                             : std::string("v"))
         << "; ";
    const std::size_t at = std::size_t(&f - all.data());
    return {f.property, relation, value, [this, at, relation, value](const ModelElement& e) {
              return satisfies(e, all[at], relation, value);
            }};
  }
  void addConstraint(query::ReflectiveQuery& q, std::size_t index) {
    Constraint c = randomConstraint(index, false);
    q.addPropertyValueConstraint(c.property, c.relation, c.value, index);
    checks[index].push_back(std::move(c.check));
  }

  void drawDisjunction(query::ReflectiveQuery& q) {
    query::ReflectiveDisjunction* any = q.createDisjunction();
    std::vector<Predicate> members;
    for (int k = 1 + int(pick(2)); k >= 0; --k) {
      Constraint c = randomConstraint(0, true);
      any->addPropertyValueConstraint(c.property, c.relation, c.value, 0);
      members.push_back(std::move(c.check));
    }
    any->finish();
    any->finish();  // a second finish changes nothing
    checks[0].push_back([members](const ModelElement& e) {
      return std::any_of(members.begin(), members.end(), [&](const Predicate& p) { return p(e); });
    });
  }

  void drawNext(query::ReflectiveQuery& q) {
    const ModelElement target = chance(20) ? ModelElement() : elements[pick(elements.size())];
    const bool positive = chance(60);
    q.addPropertyValueConstraint(m.next, positive ? query::Equal : query::NotEqual,
                                 target ? Value(target) : Value(m.holder, boost::none), 0);
    what << "next " << (positive ? "==" : "!=") << (target ? " some" : " none") << "; ";
    checks[0].push_back([this, target, positive](const ModelElement& e) {
      const Value v = e.get(m.next);
      const bool same = v.isEmpty() ? !target : target && v.getElement() == target;
      return same == positive;
    });
  }

  void drawLinks(query::ReflectiveQuery& q) {
    const ModelElement target = elements[pick(elements.size())];
    q.addPropertyValueConstraint(m.links, query::Equal, Value(target), 0);
    what << "links holds some; ";
    checks[0].push_back([this, target](const ModelElement& e) {
      const auto links = e.get(m.links).getAll<ModelElement>();
      return std::find(links.begin(), links.end(), target) != links.end();
    });
  }

  // The first search class is one element, mostly one that the other
  // constraints may keep.
  void drawObject(query::ReflectiveQuery& q) {
    const ModelElement element = elements[patternRng() % elements.size()];
    q.addObjectConstraint(element.getMetaClass(), element, 0);
    what << "[0] is one element; ";
    checks[0].push_back([element](const ModelElement& e) { return e == element; });
  }

  // The second search class is a part of the first, perhaps with l or i
  // (required, optional) in a relation between the two.
  void drawParts(query::ReflectiveQuery& q) {
    q.addSubObjectConstraint(m.parts, 0, 1);
    if (!chance(50)) return;
    const std::size_t at = chance(50) ? 0 : 1;
    const Field& f = all[at];
    const query::ValueMatchRelation relation = ordering[pick(ordering.size())];
    q.addPropertyRelationConstraint(f.property, relation, f.property, 0, 1);
    what << "[0] " << fl::i18n::ustring_to_utf8(f.property->getName()) << " " << query::ValueMatchRelationName(relation)
         << " [1]; ";
    related = [this, at, relation](const ModelElement& a, const ModelElement& b) {
      return satisfies(a, all[at], relation, b.get(all[at].property));
    };
  }

  bool matches(std::size_t index, const ModelElement& e) const {
    const meta::Class cls = e.getMetaClass();
    if (withSubclasses[index] ? !cls->conformsTo(classes[index]) : cls != classes[index]) return false;
    return std::all_of(checks[index].begin(), checks[index].end(), [&](const Predicate& p) { return p(e); });
  }
  std::vector<Row> answer() const {
    std::vector<Row> expected;
    for (const ModelElement& e : elements) {
      if (!matches(0, e)) continue;
      if (!pairs) expected.push_back({e.getUUID()});
      for (const ModelElement& part : e.get(m.parts).getAll<ModelElement>())
        if (pairs && matches(1, part) && (!related || related(e, part)))
          expected.push_back({e.getUUID(), part.getUUID()});
    }
    return expected;
  }

  // `elements` is in l order: the ordered answer is a slice of it, or of
  // the rows sorted by object id.
  void drawOrder(query::ReflectiveQuery& q, std::vector<Row>& expected) {
    const bool descending = chance(50);
    const bool byId = patternRng() % 4 == 0;
    if (byId)
      std::sort(expected.begin(), expected.end(),
                [&](const Row& a, const Row& b) { return ids.at(a[0]) < ids.at(b[0]); });
    if (descending) std::reverse(expected.begin(), expected.end());
    if (byId)
      q.setOrderByObjectId(0, descending ? 1 : 0);
    else
      q.setOrderByProperty(m.l, 0, descending ? 1 : 0);
    const std::size_t offset = chance(50) ? pick(5) : 0, limit = chance(60) ? pick(8) : 0;
    if (offset) q.setOffset(offset);
    if (limit) q.setLimit(limit);
    expected.erase(expected.begin(), expected.begin() + std::ptrdiff_t(std::min(offset, expected.size())));
    if (limit && expected.size() > limit) expected.resize(limit);
    what << (byId ? "by id " : "by l ") << (descending ? "desc" : "asc") << " offset " << offset << " limit " << limit;
  }

  const Kinds& m;
  const std::vector<ModelElement>& elements;
  const std::map<boost::uuids::uuid, vlt::ObjectId>& ids;
  const std::vector<Field> all;
  std::mt19937& rng;
  std::mt19937& patternRng;
  bool pairs = false;
  bool ordered_ = false;
  std::vector<std::vector<Predicate>> checks;  // per search class
  std::vector<meta::Class> classes;
  std::vector<bool> withSubclasses;
  std::function<bool(const ModelElement&, const ModelElement&)> related;
  std::ostringstream what;
};

// ---------------------------------------------------------------------------

class QueryTest : public BackendTest {
 protected:
  QueryTest() : m(Kinds::get()) {}

  /// Stores a random model: `count` elements, a third of them top-level, the
  /// others parts of an earlier one, every property random.
  void storeRandomModel(std::mt19937& rng, std::size_t count) {
    writer = storeModel(location, [&](const qm::zero::Model& made) { makeRandomModel(made, rng, count); });
  }
  void makeRandomModel(const qm::zero::Model& made, std::mt19937& rng, std::size_t count) {
    const std::vector<Field> all = fields(m);
    const auto chance = [&](int percent) { return std::uniform_int_distribution<int>(0, 99)(rng) < percent; };
    const auto any = [&] { return elements[std::uniform_int_distribution<std::size_t>(0, elements.size() - 1)(rng)]; };
    for (std::size_t n = 0; n < count; ++n) {
      ModelElement e = ModelElement::createReflective(made, chance(30) ? m.special : m.holder);
      for (const Field& f : all) {
        const bool required = f.property->getLower() > 0;
        if (f.property == m.l) {
          e.set(m.l, Value(m.l->getType(), std::int64_t(n)));
        } else if (f.property->isMultiValued()) {  // up to three entries, unique where the property says
          std::optional<Value> entries;
          for (int k = std::uniform_int_distribution<int>(0, 3)(rng); k > 0; --k) {
            const Value entry = f.random(rng);
            if (!entries) {
              entries = entry;
            } else {
              qm::zero::Entries& held = entries->getEntries();
              if (!f.property->isUnique() || std::find(held.begin(), held.end(), entry.getEntries()[0]) == held.end())
                held.push_back(entry.getEntries()[0]);
            }
          }
          if (entries) e.set(f.property, *entries);
        } else if (required || chance(75)) {
          e.set(f.property, f.random(rng));
        }
      }
      if (!elements.empty() && chance(65)) {
        ModelElement owner = any();
        std::vector<ModelElement> list = owner.get(m.parts).getAll<ModelElement>();
        list.push_back(e);
        owner.set(m.parts, Value(m.holder, list));
      }
      elements.push_back(e);
    }
    for (ModelElement& e : elements) {
      if (chance(60)) e.set(m.next, any());
      std::vector<ModelElement> links;
      for (int k = std::uniform_int_distribution<int>(0, 2)(rng); k > 0; --k) links.push_back(any());
      std::sort(links.begin(), links.end());
      links.erase(std::unique(links.begin(), links.end()), links.end());
      e.set(m.links, Value(m.holder, links));
    }
  }

  /// The reading side: a data source on the stored repository, nothing loaded.
  void attachReader() { open(location, DataSource::Synchronous, DataSource::NoSyncToDataSource); }
  DataSource& reader() { return *static_cast<DataSource*>(model->getDataSource()); }

  static std::vector<std::vector<boost::uuids::uuid>> rows(query::ReflectiveQuery& q,
                                                           const std::vector<std::size_t>& indexes = {}) {
    std::vector<std::vector<boost::uuids::uuid>> out;
    const std::unique_ptr<query::ReflectiveQuery::ResultIterator> results = q.execute(indexes);
    std::vector<ModelElement> row;
    while (results->next(row)) {
      std::vector<boost::uuids::uuid> ids;
      for (const ModelElement& e : row) ids.push_back(e.getUUID());
      out.push_back(ids);
    }
    return out;
  }

  const Kinds& m;
  qm::zero::Model writer = qm::zero::Model::create();
  std::vector<ModelElement> elements;  // in the writer, in creation order (l)
};

// Random queries on a random stored model give the rows, and the counts,
// that the same queries evaluated over the model in memory give.
TEST_P(QueryTest, RandomQueriesGiveWhatTheModelInMemoryGives) {
  const auto seed = static_cast<unsigned>(environmentNumber("VLT_TEST_SEED", 2026));
  std::mt19937 rng(seed);
  storeRandomModel(rng, GetParam() == Backend::SQLite ? 160 : 80);
  std::map<boost::uuids::uuid, vlt::ObjectId> ids;
  {
    const vlt::DataModelRepository stored = openDirectly(location);
    const vlt::ClassRef any = stored.metamodel().findClass("ModelElement");
    for (const ModelElement& e : elements)
      ids[e.getUUID()] = stored.defaultDataModel().findObject(e.getUUID(), any).objectId();
  }
  attachReader();
  std::mt19937 patternRng(seed ^ 0x9e3779b9u);
  const int queries = GetParam() == Backend::SQLite ? 300 : 150;
  for (int n = 0; n < queries; ++n) {
    Query q = reader().createQuery();
    RandomQuery drawn(m, elements, ids, rng, patternRng);
    std::vector<Row> expected = drawn.drawInto(*q);
    std::vector<Row> actual = rows(*q);
    if (!drawn.ordered()) {
      std::sort(actual.begin(), actual.end());
      std::sort(expected.begin(), expected.end());
    }
    ASSERT_EQ(actual, expected) << "seed " << seed << ", query " << n << ": " << drawn.description();
    ASSERT_EQ(q->count(), expected.size()) << "seed " << seed << ", query " << n << ": " << drawn.description();
  }
}

// What cannot be translated is refused with the framework's identifiers,
// before anything reaches the repository. Rows and counts share the bound
// results: each switch binds again, a first result leaves the limit at 1,
// an empty index list binds every search class in index order.
TEST_P(QueryTest, RefusesWhatItCannotTranslateAndBoundResultsFollowTheLastCall) {
  std::mt19937 rng(3);
  storeRandomModel(rng, 12);
  attachReader();
  Query q = reader().createQuery();
  const ModelElement some = model->findElement(elements[0].getUUID(), qm::zero::FetchFromDataSource);
  EXPECT_EQ(thrownId([&] { q->addSearchClass(meta::Class(), 1); }).id, "qm0:query:InvalidSearchClass");
  ASSERT_EQ(q->addSearchClass(m.holder, 1), 0u);
  EXPECT_NO_THROW(q->setLimit(2147483647));
  EXPECT_NO_THROW(q->setOffset(2147483647));
  const std::vector<std::pair<std::string, std::function<void()>>> refusals = {
      {"qm0:query:InvalidLimitOffsetValue", [&] { q->setLimit(2147483648u); }},
      {"qm0:query:InvalidLimitOffsetValue", [&] { q->setOffset(2147483648u); }},
      {"qm0:query:PropertyRelationPropertyTypeMismatch",
       [&] { q->addPropertyRelationConstraint(m.i, query::Equal, m.l, 0, 0); }},
      {"qm0:query:PropertyRelationObjectMultiValue",
       [&] { q->addPropertyValueConstraint(m.links, query::Equal, Value(m.holder, boost::none), 0); }},
      {"qm0:query:UnsupportedObjectConstraintRelation",
       [&] { q->addPropertyValueConstraint(m.links, query::NotEqual, Value(some), 0); }},
      {"qm0:query:UnsupportedObjectConstraintRelation",
       [&] { q->addPropertyValueConstraint(m.next, query::Less, Value(some), 0); }},
      {"qm0:query:UnsupportedEnumConstraintRelation",
       [&] { q->addPropertyValueConstraint(m.colourProp, query::Less, Value(m.colour, std::int32_t(1)), 0); }},
      {"qm0:query:UnsupportedSorting", [&] { q->setOrderByCollectionOrdinal(m.width, 0, 0); }},
      // Small integers are stored as text: equality only.
      {"qm0:query:RelationAndTypeNotSupported",
       [&] { q->addPropertyValueConstraint(m.small, query::Less, Value(m.small->getType(), std::uint8_t(3)), 0); }}};
  for (std::size_t i = 0; i < refusals.size(); ++i)
    EXPECT_EQ(thrownId(refusals[i].second).id, refusals[i].first) << "refusal " << i;
  const ThrownId array = thrownId([&] { q->addPropertyValueConstraint(m.arr, query::Equal, Value(), 0); });
  EXPECT_EQ(array.id, "m2t_vlt:datasource:UnsupportedPrimitiveType");
  EXPECT_EQ(array.arguments, MsgArguments{meta::StandardTypes::qxArrayMeta()->getQualifiedName()});
  const ThrownId link =
      thrownId([&] { q->createDisjunction()->addPropertyValueConstraint(m.next, query::Equal, Value(some), 0); });
  EXPECT_EQ(link.id, "qm0:query:RelationAndTypeNotSupported");
  EXPECT_EQ(link.arguments, (MsgArguments{std::string("equal"), m.holder->getName()}));
  // A datatype constraint adds nothing: every item still matches.
  q->reset();
  q->addSearchClass(m.holder, 1);
  q->addPropertyValueConstraint(m.size, query::Equal, Value(), 0);
  EXPECT_EQ(q->count(), elements.size());

  q = reader().createQuery();
  q->addSearchClass(m.holder, 1);
  q->addSearchClass(m.holder, 1);
  q->addSubObjectConstraint(m.parts, 0, 1);
  q->setOrderByProperty(m.l, 0, 0);
  q->setOrderByCollectionOrdinal(m.parts, 1, 1);
  std::vector<std::vector<boost::uuids::uuid>> expected;
  for (const ModelElement& owner : elements) {  // owners by l, parts last to first
    const auto parts = owner.get(m.parts).getAll<ModelElement>();
    for (auto part = parts.rbegin(); part != parts.rend(); ++part)
      expected.push_back({owner.getUUID(), part->getUUID()});
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(rows(*q), expected);
  std::vector<std::vector<boost::uuids::uuid>> subs;
  for (const auto& row : expected) subs.push_back({row[1]});
  EXPECT_EQ(rows(*q, {1}), subs) << "other indexes bind again";
  EXPECT_EQ(rows(*q), subs) << "an empty list keeps the bound results";
  EXPECT_EQ(q->count(), expected.size());
  const std::vector<ModelElement> first = q->firstResult({0, 1});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].getUUID(), expected[0][1]);
  EXPECT_EQ(rows(*q).size(), 1u) << "the limit stays 1";
  EXPECT_EQ(q->count(), 1u) << "a count honours limit and offset";
  q->setLimit(1000);
  q->setOffset(std::min<std::size_t>(2, expected.size()));
  EXPECT_EQ(q->count(), expected.size() - std::min<std::size_t>(2, expected.size()));
}

// A result in memory is the element in memory; one that is not is loaded
// with its owners up to the root, and nothing else. The data source's
// package-version records live under the common root class but are no
// elements: every element is every stored element, and only them.
TEST_P(QueryTest, ResultsAreLoadedWithTheirOwnersOnly) {
  attachReader();
  EXPECT_TRUE(model->getAllElements(qm::zero::FetchFromDataSource).empty());
  model->resetDataSource();
  model = qm::zero::Model::create();
  std::mt19937 rng(5);
  storeRandomModel(rng, 40);
  attachReader();
  const auto chainOf = [](ModelElement e) {
    std::set<boost::uuids::uuid> chain;
    for (; e; e = e.getOwner()) chain.insert(e.getUUID());
    return chain;
  };
  const auto deepest = std::max_element(elements.begin(), elements.end(), [&](const auto& a, const auto& b) {
    return chainOf(a).size() < chainOf(b).size();
  });
  const std::set<boost::uuids::uuid> chain = chainOf(*deepest);
  ASSERT_GE(chain.size(), 2u);
  Query q = reader().createQuery();
  q->addSearchClass(m.holder, 1);
  q->addPropertyValueConstraint(m.l, query::Equal, deepest->get(m.l), 0);
  const std::vector<ModelElement> found = q->firstResult({});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0].isProxy());
  EXPECT_EQ(found[0].get(m.s), deepest->get(m.s));
  std::set<boost::uuids::uuid> populated;
  for (const ModelElement& e : model->getAllElements())
    if (!e.isProxy()) populated.insert(e.getUUID());
  EXPECT_EQ(populated, chain);
  EXPECT_EQ(q->firstResult({})[0], found[0]) << "a second run gives the element in memory";

  std::set<boost::uuids::uuid> expected, all;
  for (const ModelElement& e : elements) expected.insert(e.getUUID());
  for (const ModelElement& e : reader().fetchAllElements()) all.insert(e.getUUID());
  EXPECT_EQ(all, expected);
  Query everything = reader().createQuery();
  everything->addSearchClass(ModelElement::metaClass(), 1);
  EXPECT_EQ(everything->count(), elements.size());
}

INSTANTIATE_BACKEND_TEST_SUITE(QueryTest);

}  // namespace
}  // namespace dstest
