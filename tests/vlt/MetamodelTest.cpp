// The metamodel: classes, properties, enumerations, their persistence, and
// names that look like SQL.

#include "RepositoryFixture.hpp"

#include <tuple>

namespace vlttest {
namespace {

using ::testing::HasSubstr;

class MetamodelTest : public RepositoryTest {};

TEST_P(MetamodelTest, ClassesPropertiesAndEnumerationsSurviveReopen) {
  open();
  vlt::ClassRef a = makeClass("pkg.one.A");
  vlt::ClassRef b = makeClass("pkg.one.B", {a});
  makeClass("C");
  repo.createEnumeration("pkg.two.Mode", {{"off", 0}, {"on", 1}, {"auto", 7}});
  boost::uuids::uuid id = makeUuid(42);
  repo.appendPropertyToClass(b, "refs", "pkg.one.A", "the refs", 1, 0xFFFFFFFF, true, true, false, "back",
                             Repo::AssociationByOption(0), "note", id, false);
  addProperty(a, "mode", "pkg.two.Mode", 0, 1, false, false, true);
  reopen();

  vlt::ClassRef rb = findClass("pkg.one.B");
  ASSERT_FALSE(rb.isNull());
  EXPECT_EQ(rb.packageName() + " " + rb.name(), "pkg.one B");
  ASSERT_EQ(rb.superclasses().size(), 1u);
  EXPECT_EQ(rb.superclasses()[0].qualifiedName(), "pkg.one.A");
  vlt::PropertyRef refs = rb.findProperty("refs");
  ASSERT_FALSE(refs.isNull());
  EXPECT_EQ(refs.typeClass(), findClass("pkg.one.A"));
  EXPECT_EQ(refs.owningClass(), rb);
  EXPECT_EQ(std::make_tuple(refs.lowerBound(), refs.upperBound(), refs.isComposite(), refs.isMultiValue(),
                            refs.isOrdered(), refs.valueIsOptional(), refs.isUnique()),
            std::make_tuple(1u, 0xFFFFFFFFu, true, true, true, false, false));
  EXPECT_EQ(std::make_tuple(refs.documentation(), refs.oppositeName(), refs.annotation(), refs.uuid()),
            std::make_tuple("the refs", "back", "note", id));
  vlt::PropertyRef mode = rb.findProperty("mode");
  ASSERT_FALSE(mode.isNull()) << "inherited from pkg.one.A";
  EXPECT_EQ(std::make_tuple(mode.owningClass().qualifiedName(), mode.valueIsOptional(), mode.isMultiValue(),
                            mode.valueType()),
            std::make_tuple("pkg.one.A", true, false, vlt::ValueType::enumeral));
  EXPECT_EQ(mode.typeEnumeration().findEnumeral(7).name(), "auto");
  EXPECT_TRUE(mode.typeEnumeration().findEnumeral(3).isNull());
  EXPECT_TRUE(findClass("pkg.one.A").findProperty("refs").isNull()) << "a superclass does not see subclass properties";
  EXPECT_EQ(findClass("pkg.one.A").ownProperties().size(), 1u);
  EXPECT_EQ(rb.allProperties().size(), 2u);

  std::vector<std::string> packages;
  for (const auto& p : repo.metamodel().packages()) packages.push_back(p.name());
  EXPECT_EQ(packages, (std::vector<std::string>{"", "pkg.one"}));
  std::vector<std::string> names;
  for (const auto& k : repo.metamodel().packages()[1].classes()) names.push_back(k.qualifiedName());
  EXPECT_EQ(names, (std::vector<std::string>{"pkg.one.A", "pkg.one.B"}));
  std::set<vlt::ClassRef> ordered{findClass("C"), findClass("pkg.one.A")};
  EXPECT_EQ(ordered.begin()->qualifiedName(), "pkg.one.A") << "classes order by creation";
}

TEST_P(MetamodelTest, NamesThatLookLikeSqlAreStoredAsData) {
  open();
  const std::vector<std::string> names{"Robert'); DROP TABLE vlt_object;--", "select", "a\"b\"c", "x;y", "table",
                                       "p.q'r.\"S\"", "\xe2\x82\xac uro"};
  for (std::size_t i = 0; i < names.size(); ++i) {
    SCOPED_TRACE(names[i]);
    vlt::ClassRef cls = makeClass(names[i]);
    addProperty(cls, names[i], "ustring", 0, 1, false, false, true);
    addProperty(cls, "values; DELETE FROM vlt_class", "int32", 0, 0xFFFFFFFF, false, true);
    create(cls, static_cast<unsigned>(i) + 1);
    expectRoundTrip(static_cast<unsigned>(i) + 1, entry(names[i], std::u16string(u"' OR 1=1 --")),
                    entry("values; DELETE FROM vlt_class", std::vector<int>{1, 2}));
  }
  repo.createEnumeration("enum'; --", {{"lit\"eral", 1}, {"drop table", 2}});
  reopen();
  for (const auto& n : names) EXPECT_FALSE(findClass(n).isNull()) << n;
  EXPECT_EQ(repo.metamodel().findEnumeration("enum'; --").findEnumeral(2).name(), "drop table");
}

// Classes and enumerations share one namespace; no class has two properties
// of one name, however it came by them.
TEST_P(MetamodelTest, ConflictingDefinitionsAreRefusedAndChangeNothing) {
  open();
  vlt::ClassRef a = makeClass("A");
  vlt::ClassRef b = makeClass("B", {a});
  addProperty(a, "x", "int32");
  addProperty(b, "y", "int32");
  repo.createEnumeration("Color", {{"red", 1}});
  EXPECT_THROW(makeClass("A"), vlt::MetamodelError);
  EXPECT_THAT(messageOf<vlt::MetamodelError>([&] { makeClass("Color"); }), HasSubstr("enumeration"));
  EXPECT_THROW(repo.createEnumeration("A", {}), vlt::MetamodelError);
  EXPECT_THROW(makeClass(""), vlt::MetamodelError);
  EXPECT_THROW(addProperty(a, "x", "int64"), vlt::MetamodelError);
  EXPECT_THROW(addProperty(b, "x", "int32"), vlt::MetamodelError) << "inherited name";
  EXPECT_THROW(addProperty(a, "y", "int32"), vlt::MetamodelError) << "a subclass declares it";
  EXPECT_THROW(addProperty(a, "z", "nosuchtype"), vlt::MetamodelError);
  EXPECT_THROW(addProperty(a, "z", "int32", 0, 1, true), vlt::MetamodelError) << "composite needs a class type";
  EXPECT_THROW(addProperty(a, "z", "int32", 3, 2), vlt::MetamodelError);
  EXPECT_THROW(repo.createEnumeration("E", {{"a", 1}, {"a", 2}}), vlt::MetamodelError);
  EXPECT_THROW(repo.createClass("C", {vlt::ClassRef()}), vlt::UsageError);
  EXPECT_THAT(messageOf<vlt::UsageError>([&] { addProperty(vlt::ClassRef(), "x", "int32"); }), HasSubstr("null class"));
  vlt::ClassRef other = makeClass("Other");
  addProperty(other, "x", "string");
  EXPECT_THAT(messageOf<vlt::MetamodelError>([&] { makeClass("C", {a, other}); }), HasSubstr("two properties"));
  vlt::ClassRef mixin = makeClass("Mixin");
  vlt::ClassRef both = makeClass("Both", {b, mixin});  // the same, reached by adding a property later
  addProperty(mixin, "m", "int32");
  EXPECT_THROW(addProperty(b, "m", "int32"), vlt::MetamodelError);
  EXPECT_EQ(both.allProperties().size(), 3u) << "x, y and m";
  reopen();
  EXPECT_TRUE(findClass("A").findProperty("z").isNull());
  EXPECT_TRUE(findClass("C").isNull());
  EXPECT_TRUE(repo.metamodel().findEnumeration("E").isNull());
  EXPECT_EQ(repo.metamodel().classes().size(), 5u);
}

TEST_P(MetamodelTest, ClassesAndPropertiesAddedByAnotherConnectionAreFoundOnAMiss) {
  open();
  makeClass("First");
  Repo other;
  other.open(connectionString(), "", options);
  other.createClass("Second", {other.metamodel().findClass("First")});
  vlt::ClassRef second = findClass("Second");
  ASSERT_FALSE(second.isNull());
  EXPECT_TRUE(second.conformsTo(findClass("First")));
  other.appendPropertyToClass(other.metamodel().findClass("First"), "late", "int32", "", 0, 1, false, false, true,
                              "", Repo::AssociationByOption(0), "", boost::uuids::uuid{}, true);
  EXPECT_FALSE(findClass("First").findProperty("late").isNull()) << "a property missing here is looked for again";
}

INSTANTIATE_TEST_SUITE_P(Backends, MetamodelTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
