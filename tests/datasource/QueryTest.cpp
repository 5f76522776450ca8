// Reflective queries answered by the repository. Random queries on a random
// stored model are compared with a small oracle that evaluates the same
// query over the model in memory; the run is drawn from a seed, which a
// failure prints and VLT_RANDOM_QUERIES_SEED overrides. Then a table of what
// the translation refuses, how bound results switch between rows and counts,
// where result elements come from, and that the package-version records are
// never elements.

#include "DataSourceTestSupport.hpp"
#include "Kinds.hpp"

#include <qm/zero/query/ReflectiveQuery.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <map>
#include <random>
#include <set>

namespace dstest {
namespace {

namespace query = qm::zero::query;
using qm::zero::Entry;
using Query = std::unique_ptr<query::ReflectiveQuery>;
using Relations = std::vector<query::ValueMatchRelation>;
using Row = std::vector<boost::uuids::uuid>;
using Predicate = std::function<bool(const ModelElement&)>;

// ---------------------------------------------------------------------------
// The oracle: a constraint on one entry, as the repository is asked it.

int compare(const Entry& a, const Entry& b) {
  return std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::u16string> || std::is_same_v<T, std::string> ||
                      std::is_same_v<T, boost::posix_time::ptime> || std::is_same_v<T, boost::uuids::uuid>) {
          const T& y = std::get<T>(b);
          return x < y ? -1 : y < x ? 1 : 0;
        } else {
          ADD_FAILURE() << "no order for entry kind " << a.index();
          return 0;
        }
      },
      a);
}

std::u16string text(const Entry& e) {
  const auto* bytes = std::get_if<std::string>(&e);
  return bytes ? u16(*bytes) : std::get<std::u16string>(e);
}

bool matchesPattern(const std::u16string& text, std::size_t t, const std::u16string& pattern, std::size_t p) {
  if (p == pattern.size()) return t == text.size();
  if (pattern[p] == u'*')
    return matchesPattern(text, t, pattern, p + 1) || (t < text.size() && matchesPattern(text, t + 1, pattern, p));
  return t < text.size() && (pattern[p] == u'?' || pattern[p] == text[t]) &&
         matchesPattern(text, t + 1, pattern, p + 1);
}

bool endsWith(const std::u16string& x, const std::u16string& y) {
  return x.size() >= y.size() && x.compare(x.size() - y.size(), y.size(), y) == 0;
}

bool holds(query::ValueMatchRelation relation, const Entry& a, const Entry& b) {
  switch (relation) {
    case query::Contains: return text(a).find(text(b)) != std::u16string::npos;
    case query::StartsWith: return text(a).rfind(text(b), 0) == 0;
    case query::EndsWith: return endsWith(text(a), text(b));
    case query::Matches: return matchesPattern(text(a), 0, text(b), 0);
    case query::Equal: return compare(a, b) == 0;
    case query::NotEqual: return compare(a, b) != 0;
    case query::Less: return compare(a, b) < 0;
    case query::LessOrEqual: return compare(a, b) <= 0;
    case query::Greater: return compare(a, b) > 0;
    default: return compare(a, b) >= 0;
  }
}

// A collection matches when an entry does. A required single value is
// compared as it is; an optional one (or a literal) may be absent, and
// "equal" and "notEqual" then also decide for absent values.
bool satisfies(const ModelElement& e, const meta::Property& p, query::ValueMatchRelation relation, const Value& given) {
  const Value v = e.get(p);
  if (p->getUpper() > 1)
    return std::any_of(v.getEntries().begin(), v.getEntries().end(),
                       [&](const Entry& x) { return holds(relation, x, given.getEntries()[0]); });
  const bool either = p->getLower() == 0 || meta::Enum::downcast(p->getType());
  if (either && (relation == query::Equal || relation == query::NotEqual) && (v.isEmpty() || given.isEmpty()))
    return (v.isEmpty() != given.isEmpty()) == (relation == query::NotEqual);
  return !v.isEmpty() && !given.isEmpty() && holds(relation, v.getEntries()[0], given.getEntries()[0]);
}

// One primitive (or enumeration) property of a holder and the relations it
// is asked; its values are the plain random values of its type.
struct Field {
  meta::Property property;
  Relations relations;
};

const Relations equality{query::Equal, query::NotEqual};
const Relations ordering{query::Equal,       query::NotEqual, query::Less,
                         query::LessOrEqual, query::Greater,  query::GreaterOrEqual};
const Relations textual{query::Equal,   query::Contains,       query::NotEqual,   query::Less,     query::LessOrEqual,
                        query::Greater, query::GreaterOrEqual, query::StartsWith, query::EndsWith, query::Matches};
const Relations collectionText{query::Equal, query::NotEqual, query::Less, query::Greater};

std::vector<Field> fields(const Kinds& m) {
  std::vector<Field> out;
  std::shared_ptr<matrix::qxArray_tag> none;
  const std::vector<meta::Property> unasked{m.arr, m.map, m.size, m.notes, m.sizes, m.arrs};
  for (const meta::Property& p : m.holder->getAllAttributes()) {
    if (meta::Class::downcast(p->getType()) || std::count(unasked.begin(), unasked.end(), p)) continue;
    const Entry sample = randomValue(p->getType(), [](std::size_t) { return 0; }, none, true).getEntries()[0];
    const bool text = std::holds_alternative<std::u16string>(sample) || std::holds_alternative<std::string>(sample);
    const bool equal = meta::Enum::downcast(p->getType()) || std::holds_alternative<bool>(sample) ||
                       std::holds_alternative<boost::uuids::uuid>(sample) ||
                       std::holds_alternative<std::uint8_t>(sample);
    out.push_back({p, equal ? equality : !text ? ordering : p->isMultiValued() ? collectionText : textual});
  }
  return out;
}

// What a drawn query answers in memory: per search class, its class,
// whether subclasses count and its checks; for a pair, the relation between
// owner and part; the query in words for a failure's message.
struct Oracle {
  std::vector<meta::Class> classes;
  std::vector<bool> subclasses;
  std::vector<std::vector<Predicate>> checks;
  std::function<bool(const ModelElement&, const ModelElement&)> related;
  bool ordered = false;
  std::ostringstream what;

  bool matches(std::size_t index, const ModelElement& e) const {
    const meta::Class cls = e.getMetaClass();
    if (subclasses[index] ? !cls->conformsTo(classes[index]) : cls != classes[index]) return false;
    return std::all_of(checks[index].begin(), checks[index].end(), [&](const Predicate& p) { return p(e); });
  }
};

using Add = std::function<void(const meta::Property&, query::ValueMatchRelation, const Value&)>;

// ---------------------------------------------------------------------------

class QueryTest : public BackendTest {
 protected:
  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng); }
  bool chance(int percent) { return int(pick(100)) < percent; }
  ModelElement any() { return elements[pick(elements.size())]; }
  Value valueOf(const Field& f) { return randomValue(f.property->getType(), drawn, array, true); }

  /// Stores a random model: `count` elements, a third of them top-level, the
  /// others parts of an earlier one, every property random, and reads the
  /// object id of each.
  void storeRandomModel(std::size_t count) {
    writer = storeModel(location, [&](const qm::zero::Model& made) {
      for (std::size_t n = 0; n < count; ++n) {
        ModelElement e = ModelElement::createReflective(made, chance(30) ? m.special : m.holder);
        for (const Field& f : drawable) {
          if (f.property == m.l) {
            e.set(m.l, Value(m.l->getType(), std::int64_t(n)));
          } else if (f.property->isMultiValued()) {  // up to three entries, unique where the property says
            Value v = valueOf(f);
            for (std::size_t k = pick(4); k > 1; --k) {
              const Entry entry = valueOf(f).getEntries()[0];
              qm::zero::Entries& held = v.getEntries();
              if (!f.property->isUnique() || std::find(held.begin(), held.end(), entry) == held.end())
                held.push_back(entry);
            }
            if (chance(75)) e.set(f.property, v);
          } else if (f.property->getLower() > 0 || chance(75)) {
            e.set(f.property, valueOf(f));
          }
        }
        if (!elements.empty() && chance(65)) any().append(m.parts, Value(e));
        elements.push_back(e);
      }
      for (ModelElement& e : elements) {
        if (chance(60)) e.set(m.next, any());
        std::set<ModelElement> links;
        for (std::size_t k = pick(3); k > 0; --k) links.insert(any());
        e.set(m.links, Value(m.holder, std::vector<ModelElement>(links.begin(), links.end())));
      }
    });
    const vlt::DataModelRepository stored = openDirectly(location);
    const vlt::ClassRef root = stored.metamodel().findClass("ModelElement");
    for (const ModelElement& e : elements)
      ids[e.getUUID()] = stored.defaultDataModel().findObject(e.getUUID(), root).objectId();
  }

  /// Draws a constraint of a random field, adds it with `add`, and returns
  /// its check.
  Predicate constraint(Oracle& o, std::size_t index, const Add& add) {
    const Field& f = drawable[pick(drawable.size())];
    const query::ValueMatchRelation relation = f.relations[pick(f.relations.size())];
    Value value = f.property->getUpper() == 1 && f.property->getLower() == 0 && chance(15)
                      ? Value(f.property->getType(), boost::none)
                      : valueOf(f);
    if (relation == query::Matches && chance(50)) {
      static const std::vector<std::string> patterns{"*", "a*", "*b", "?b", "a?c", "*a*", "c?*", "??", "x*", "*y*"};
      const std::string& pattern = patterns[pick(patterns.size())];
      value = f.property == m.s ? Value(m.s->getType(), u16(pattern)) : Value(m.ss->getType(), pattern);
    }
    add(f.property, relation, value);
    o.what << "[" << index << "] " << fl::i18n::ustring_to_utf8(f.property->getName()) << " "
           << query::ValueMatchRelationName(relation) << " " << valueText(value) << "; ";
    return [p = f.property, relation, value](const ModelElement& e) { return satisfies(e, p, relation, value); };
  }

  /// Draws a query into `q`, one or two search classes part after part;
  /// returns the rows the oracle answers, in order when `o.ordered`.
  std::vector<Row> draw(query::ReflectiveQuery& q, Oracle& o) {
    const bool pairs = chance(20);
    for (std::size_t index = 0; index < (pairs ? 2u : 1u); ++index) {
      const std::size_t mode = pick(3);  // Holder with subclasses, Holder or Special alone
      o.classes.push_back(mode == 2 ? m.special : m.holder);
      o.subclasses.push_back(mode == 0);
      EXPECT_EQ(q.addSearchClass(o.classes.back(), mode == 0 ? 1 : pick(2) * 2), index);
      o.what << "class " << index << ": " << (mode == 2 ? "Special" : "Holder") << (mode == 0 ? "+; " : "; ");
      o.checks.emplace_back();
      for (std::size_t k = pick(3); k > 0; --k)
        o.checks[index].push_back(constraint(o, index, [&](const auto& p, auto r, const Value& v) {
          q.addPropertyValueConstraint(p, r, v, index);
        }));
    }
    if (chance(30)) {
      query::ReflectiveDisjunction* any = q.createDisjunction();
      std::vector<Predicate> members;
      for (std::size_t k = 2 + pick(2); k > 0; --k)
        members.push_back(constraint(o, 0, [&](const auto& p, auto r, const Value& v) {
          any->addPropertyValueConstraint(p, r, v, 0);
        }));
      any->finish();
      any->finish();  // a second finish changes nothing
      o.what << "(the last " << members.size() << " or'ed); ";
      o.checks[0].push_back([members](const ModelElement& e) {
        return std::any_of(members.begin(), members.end(), [&](const Predicate& p) { return p(e); });
      });
    }
    drawLinks(q, o);
    if (!pairs && chance(15)) {
      q.addTopLevelConstraint(0);
      o.what << "top level; ";
      o.checks[0].push_back([](const ModelElement& e) { return !e.getOwner(); });
    }
    if (pairs) q.addSubObjectConstraint(m.parts, 0, 1);
    if (pairs && chance(50)) {  // l or i (required, optional) of the owner in a relation to the part's
      const meta::Property p = chance(50) ? m.l : m.i;
      const query::ValueMatchRelation relation = ordering[pick(ordering.size())];
      q.addPropertyRelationConstraint(p, relation, p, 0, 1);
      o.what << "[0] " << fl::i18n::ustring_to_utf8(p->getName()) << " " << query::ValueMatchRelationName(relation)
             << " [1]; ";
      o.related = [p, relation](const ModelElement& a, const ModelElement& b) {
        return satisfies(a, p, relation, b.get(p));
      };
    }
    std::vector<Row> expected;
    for (const ModelElement& e : elements) {
      if (!o.matches(0, e)) continue;
      if (!pairs) expected.push_back({e.getUUID()});
      for (const ModelElement& part : e.get(m.parts).getAll<ModelElement>())
        if (pairs && o.matches(1, part) && (!o.related || o.related(e, part)))
          expected.push_back({e.getUUID(), part.getUUID()});
    }
    o.ordered = !pairs && chance(50);
    if (o.ordered) order(q, o, expected);
    return expected;
  }

  /// The links of the first search class: its next is (or is not) some
  /// element or none; its links hold some element; it is one element.
  void drawLinks(query::ReflectiveQuery& q, Oracle& o) {
    if (chance(25)) {
      const ModelElement target = chance(20) ? ModelElement() : any();
      const bool positive = chance(60);
      q.addPropertyValueConstraint(m.next, positive ? query::Equal : query::NotEqual,
                                   target ? Value(target) : Value(m.holder, boost::none), 0);
      o.what << "next " << (positive ? "==" : "!=") << (target ? " some; " : " none; ");
      o.checks[0].push_back([this, target, positive](const ModelElement& e) {
        const Value v = e.get(m.next);
        return (v.isEmpty() ? !target : target && v.getElement() == target) == positive;
      });
    }
    if (chance(20)) {
      const ModelElement target = any();
      q.addPropertyValueConstraint(m.links, query::Equal, Value(target), 0);
      o.what << "links holds some; ";
      o.checks[0].push_back([this, target](const ModelElement& e) {
        const std::vector<ModelElement> links = e.get(m.links).getAll<ModelElement>();
        return std::find(links.begin(), links.end(), target) != links.end();
      });
    }
    if (chance(10)) {
      const ModelElement element = any();
      q.addObjectConstraint(element.getMetaClass(), element, 0);
      o.what << "[0] is one element; ";
      o.checks[0].push_back([element](const ModelElement& e) { return e == element; });
    }
  }

  /// An order by l (the elements' order) or by object id, either way, with
  /// limit and offset: the answer is a slice of the rows so ordered.
  void order(query::ReflectiveQuery& q, Oracle& o, std::vector<Row>& expected) {
    const bool descending = chance(50), byId = chance(25);
    if (byId) {
      const auto idOrder = [&](const Row& a, const Row& b) { return ids.at(a[0]) < ids.at(b[0]); };
      std::sort(expected.begin(), expected.end(), idOrder);
      q.setOrderByObjectId(0, descending ? 1 : 0);
    } else {
      q.setOrderByProperty(m.l, 0, descending ? 1 : 0);
    }
    if (descending) std::reverse(expected.begin(), expected.end());
    const std::size_t offset = chance(50) ? pick(5) : 0, limit = chance(60) ? pick(8) : 0;
    if (offset) q.setOffset(offset);
    if (limit) q.setLimit(limit);
    expected.erase(expected.begin(), expected.begin() + std::ptrdiff_t(std::min(offset, expected.size())));
    if (limit && expected.size() > limit) expected.resize(limit);
    o.what << (byId ? "by id " : "by l ") << (descending ? "desc" : "asc");
    o.what << " offset " << offset << " limit " << limit;
  }

  /// The reading side: a data source on the stored repository, nothing loaded.
  DataSource& reader() {
    if (!model->getDataSource()) open(location, DataSource::Synchronous, DataSource::NoSyncToDataSource);
    return *static_cast<DataSource*>(model->getDataSource());
  }

  static std::vector<Row> rows(query::ReflectiveQuery& q, const std::vector<std::size_t>& indexes = {}) {
    std::vector<Row> out;
    const std::unique_ptr<query::ReflectiveQuery::ResultIterator> results = q.execute(indexes);
    for (std::vector<ModelElement> row; results->next(row);) {
      out.emplace_back();
      for (const ModelElement& e : row) out.back().push_back(e.getUUID());
    }
    return out;
  }

  const Kinds& m = Kinds::get();
  const std::vector<Field> drawable = fields(m);
  std::mt19937 rng{3};
  const Draw drawn = [this](std::size_t n) { return pick(n); };
  std::shared_ptr<matrix::qxArray_tag> array;
  qm::zero::Model writer;
  std::vector<ModelElement> elements;  // in the writer, in creation order (l)
  std::map<boost::uuids::uuid, vlt::ObjectId> ids;
};

TEST_P(QueryTest, RandomQueriesGiveWhatTheModelInMemoryGives) {
  const auto seed = static_cast<unsigned>(environmentNumber("VLT_RANDOM_QUERIES_SEED", 2026));
  SCOPED_TRACE("VLT_RANDOM_QUERIES_SEED=" + std::to_string(seed));
  rng.seed(seed);
  const bool server = GetParam() == Backend::PostgreSQL;
  storeRandomModel(server ? 80 : 160);
  for (int n = 0; n < (server ? 150 : 300); ++n) {
    Query q = reader().createQuery();
    Oracle o;
    std::vector<Row> expected = draw(*q, o);
    std::vector<Row> actual = rows(*q);
    if (!o.ordered) {
      std::sort(actual.begin(), actual.end());
      std::sort(expected.begin(), expected.end());
    }
    ASSERT_EQ(actual, expected) << "query " << n << ": " << o.what.str();
    ASSERT_EQ(q->count(), expected.size()) << "query " << n << ": " << o.what.str();
  }
}

// What cannot be translated is refused with the framework's identifiers,
// before anything reaches the repository.
TEST_P(QueryTest, RefusesWhatItCannotTranslate) {
  storeRandomModel(12);
  Query q = reader().createQuery();
  const Value some(model->findElement(elements[0].getUUID(), qm::zero::FetchFromDataSource));
  const Value none(m.holder, boost::none);
  EXPECT_EQ(thrownId([&] { q->addSearchClass(meta::Class(), 1); }).id, "qm0:query:InvalidSearchClass");
  ASSERT_EQ(q->addSearchClass(m.holder, 1), 0u);
  EXPECT_NO_THROW(q->setLimit(2147483647));
  EXPECT_NO_THROW(q->setOffset(2147483647));
  const std::string unsupported = "qm0:query:UnsupportedObjectConstraintRelation";
  const std::vector<std::pair<ThrownId, std::function<void()>>> refusals = {
      {{"qm0:query:InvalidLimitOffsetValue", {}}, [&] { q->setLimit(2147483648u); }},
      {{"qm0:query:InvalidLimitOffsetValue", {}}, [&] { q->setOffset(2147483648u); }},
      {{"qm0:query:PropertyRelationPropertyTypeMismatch", {}},
       [&] { q->addPropertyRelationConstraint(m.i, query::Equal, m.l, 0, 0); }},
      {{"qm0:query:PropertyRelationObjectMultiValue", {}},
       [&] { q->addPropertyValueConstraint(m.links, query::Equal, none, 0); }},
      {{unsupported, {}}, [&] { q->addPropertyValueConstraint(m.links, query::NotEqual, some, 0); }},
      {{unsupported, {}}, [&] { q->addPropertyValueConstraint(m.next, query::Less, some, 0); }},
      {{"qm0:query:UnsupportedEnumConstraintRelation", {}},
       [&] { q->addPropertyValueConstraint(m.colourProp, query::Less, Value(m.colour, std::int32_t(1)), 0); }},
      {{"qm0:query:UnsupportedSorting", {}}, [&] { q->setOrderByCollectionOrdinal(m.width, 0, 0); }},
      // Small integers are stored as text: equality only.
      {{"qm0:query:RelationAndTypeNotSupported", {}},
       [&] { q->addPropertyValueConstraint(m.small, query::Less, Value(m.small->getType(), std::uint8_t(3)), 0); }},
      {{"m2t_vlt:datasource:UnsupportedPrimitiveType", {meta::StandardTypes::qxArrayMeta()->getQualifiedName()}},
       [&] { q->addPropertyValueConstraint(m.arr, query::Equal, Value(), 0); }},
      {{"qm0:query:RelationAndTypeNotSupported", {std::string("equal"), m.holder->getName()}},
       [&] { q->createDisjunction()->addPropertyValueConstraint(m.next, query::Equal, some, 0); }}};
  for (std::size_t i = 0; i < refusals.size(); ++i) {
    const ThrownId thrown = thrownId(refusals[i].second);
    EXPECT_EQ(thrown.id, refusals[i].first.id) << "refusal " << i;
    if (!refusals[i].first.arguments.empty()) {
      EXPECT_EQ(thrown.arguments, refusals[i].first.arguments) << i;
    }
  }
  // A datatype constraint adds nothing: every item still matches.
  q->reset();
  q->addSearchClass(m.holder, 1);
  q->addPropertyValueConstraint(m.size, query::Equal, Value(), 0);
  EXPECT_EQ(q->count(), elements.size());
}

// Rows and counts share the bound results: each switch binds again, a first
// result leaves the limit at 1, an empty index list binds every search class
// in index order.
TEST_P(QueryTest, BoundResultsFollowTheLastCall) {
  storeRandomModel(12);
  Query q = reader().createQuery();
  q->addSearchClass(m.holder, 1);
  q->addSearchClass(m.holder, 1);
  q->addSubObjectConstraint(m.parts, 0, 1);
  q->setOrderByProperty(m.l, 0, 0);
  q->setOrderByCollectionOrdinal(m.parts, 1, 1);
  std::vector<Row> expected, parts;
  for (const ModelElement& owner : elements) {  // owners by l, parts last to first
    const auto all = owner.get(m.parts).getAll<ModelElement>();
    for (auto part = all.rbegin(); part != all.rend(); ++part) expected.push_back({owner.getUUID(), part->getUUID()});
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(rows(*q), expected);
  for (const Row& row : expected) parts.push_back({row[1]});
  EXPECT_EQ(rows(*q, {1}), parts) << "other indexes bind again";
  EXPECT_EQ(rows(*q), parts) << "an empty list keeps the bound results";
  EXPECT_EQ(q->count(), expected.size());
  const std::vector<ModelElement> first = q->firstResult({0, 1});
  ASSERT_EQ(first.size(), 2u);
  EXPECT_EQ(first[1].getUUID(), expected[0][1]);
  EXPECT_EQ(rows(*q).size(), 1u) << "the limit stays 1";
  EXPECT_EQ(q->count(), 1u) << "a count honours the limit";
}

// A result in memory is the element in memory; one that is not is loaded
// with its owners up to the root, and nothing else. The data source's
// package-version records live under the common root class but are no
// elements: every element is every stored element, and only them.
TEST_P(QueryTest, ResultsAreLoadedWithTheirOwnersOnly) {
  rng.seed(5);
  storeRandomModel(40);
  const auto chainOf = [](ModelElement e) {
    std::set<boost::uuids::uuid> chain;
    for (; e; e = e.getOwner()) chain.insert(e.getUUID());
    return chain;
  };
  const auto deepest = std::max_element(elements.begin(), elements.end(), [&](const auto& a, const auto& b) {
    return chainOf(a).size() < chainOf(b).size();
  });
  ASSERT_GE(chainOf(*deepest).size(), 2u);
  Query q = reader().createQuery();
  q->addSearchClass(m.holder, 1);
  q->addPropertyValueConstraint(m.l, query::Equal, deepest->get(m.l), 0);
  const std::vector<ModelElement> found = q->firstResult({});
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0].isProxy());
  EXPECT_EQ(found[0].get(m.s), deepest->get(m.s));
  std::set<boost::uuids::uuid> populated, expected, all;
  for (const ModelElement& e : model->getAllElements())
    if (!e.isProxy()) populated.insert(e.getUUID());
  EXPECT_EQ(populated, chainOf(*deepest));
  EXPECT_EQ(q->firstResult({})[0], found[0]) << "a second run gives the element in memory";
  for (const ModelElement& e : elements) expected.insert(e.getUUID());
  for (const ModelElement& e : reader().fetchAllElements()) all.insert(e.getUUID());
  EXPECT_EQ(all, expected);
}

INSTANTIATE_BACKEND_TEST_SUITE(QueryTest);

}  // namespace
}  // namespace dstest
