// The metamodel: classes, properties, enumerations, their persistence, names
// that look like SQL, and the base metamodel file.

#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class MetamodelTest : public RepositoryTest {};

TEST_P(MetamodelTest, ClassesPropertiesAndEnumerationsSurviveReopenAndAreFoundWhenAnotherConnectionMadeThem) {
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

  // Classes and properties another connection added are found on a miss.
  Repo other;
  other.open(connectionString(), "", options);
  other.createClass("D", {other.metamodel().findClass("C")});
  ASSERT_FALSE(findClass("D").isNull());
  EXPECT_TRUE(findClass("D").conformsTo(findClass("C")));
  addPropertyIn(other, other.metamodel().findClass("C"), "late", "int32", 0, 1, false, false, true);
  EXPECT_FALSE(findClass("C").findProperty("late").isNull()) << "a property missing here is looked for again";
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

// The base metamodel file: what a new repository starts from, and files
// refused before anything is created.

// A new repository starts from the file; real metamodels name classes before
// their definition and in cycles (a node owns comments, and a comment is a
// node). An existing repository is opened without reading the file.
TEST_P(MetamodelTest, ANewRepositoryStartsFromAFileThatNamesClassesBeforeTheirDefinitionAndInCycles) {
  const std::string xml = dir.file("base.xml");
  testsupport::writeFile(xml, R"(<?xml version="1.0" encoding="UTF-8"?>
<!-- subclasses first, a property typed by a later class, a cycle through properties -->
<metamodel format="1">
  <class name="ast.Comment">
    <superclass name="ast.Node"/>
    <property name="text" type="ustring" documentation="&lt;&amp;&quot;&apos;&#x20AC;&#128512;&gt;"/>
  </class>
  <class name="ast.Node">
    <superclass name="ModelElement"/>
    <property name="comments" type="ast.Comment" upper="*" composite="true" ordered="true"/>
    <property name="kind" type="ast.Kind" optional="true"/>
  </class>
  <class name="ModelElement"/>
  <enumeration name="ast.Kind"><literal name="leaf" value="1"/></enumeration>
</metamodel>)");
  open(xml);
  vlt::ClassRef node = findClass("ast.Node");
  vlt::ClassRef comment = findClass("ast.Comment");
  ASSERT_FALSE(node.isNull());
  ASSERT_FALSE(comment.isNull());
  EXPECT_TRUE(comment.conformsTo(node));
  EXPECT_TRUE(node.conformsTo(findClass("ModelElement")));
  const vlt::PropertyRef comments = node.findProperty("comments");
  EXPECT_EQ(std::make_tuple(comments.typeClass(), comments.lowerBound(), comments.upperBound(), comments.isComposite(),
                            comments.isOrdered(), comments.isUnique()),
            std::make_tuple(comment, 0u, 0xFFFFFFFFu, true, true, true));
  EXPECT_EQ(comment.findProperty("comments").typeClass(), comment) << "inherited through the cycle";
  EXPECT_EQ(std::make_tuple(node.findProperty("kind").valueType(), node.findProperty("kind").valueIsOptional()),
            std::make_tuple(vlt::ValueType::enumeral, true));
  const vlt::PropertyRef text = comment.findProperty("text");
  EXPECT_EQ(std::make_tuple(text.upperBound(), text.isComposite(), text.valueIsOptional(), text.documentation()),
            std::make_tuple(1u, false, false, std::string("<&\"'\xE2\x82\xAC\xF0\x9F\x98\x80>")));
  repo.close();
  repo.open(connectionString(), dir.file("no-such-file.xml"), options);
  EXPECT_FALSE(findClass("ast.Comment").isNull());
}

// Each message names the file, the repository (once) and what is wrong (with
// its line where there is one); nothing is created.
TEST_P(MetamodelTest, BadOrHostileFilesAreClearErrorsAndCreateNothing) {
  std::string deep = "<metamodel>" + std::string(30000, ' ');
  for (int i = 0; i < 30000; ++i) deep += "<a>";
  deep += "</metamodel>";
  const std::string inClassA = "<metamodel><class name='A'>";
  const std::vector<std::tuple<const char*, std::string, const char*>> cases{
      {"not xml", inClassA, ""},
      {"wrong root", "<model/>", ""},
      {"unknown superclass", inClassA + "<superclass name='Z'/></class></metamodel>", ""},
      {"unknown type", inClassA + "<property name='p' type='blob'/></class></metamodel>", ""},
      {"bad flag", inClassA + "<property name='p' type='int32' ordered='yes'/></class></metamodel>", ""},
      {"bad bound", inClassA + "<property name='p' type='int32' upper='-1'/></class></metamodel>", ""},
      {"crossed bounds", inClassA + "<property name='p' type='int32' lower='3' upper='2'/></class></metamodel>", ""},
      {"no name", "<metamodel><class/></metamodel>", ""},
      {"unknown element", "<metamodel><klass name='A'/></metamodel>", ""},
      {"superclass cycle",
       inClassA + "<superclass name='B'/></class>\n<class name='B'><superclass name='A'/></class></metamodel>",
       "own superclass"},
      {"superclass twice",
       "<metamodel><class name='A'/>\n<class name='B'><superclass name='A'/><superclass name='A'/></class></metamodel>",
       "line 2"},
      {"inherited name",
       inClassA + "<property name='x' type='int32'/></class>"
                  "<class name='B'><superclass name='A'/><property name='x' type='int32'/></class></metamodel>",
       "\"x\""},
      {"class and enumeration of one name", "<metamodel><class name='A'/><enumeration name='A'/></metamodel>",
       "twice"},
      {"unknown attribute", "<metamodel>\n\n<class name='A' color='red'/></metamodel>", "line 3"},
      {"stray text", "<metamodel>\n<class name='A'>hello</class></metamodel>", "line 2"},
      {"nested too deep", deep, "deeper"},
      {"not UTF-8", "<metamodel>\n<class name='\xff'/></metamodel>", "line 2"},
      {"other encoding", "<?xml version='1.0' encoding='ISO-8859-1'?><metamodel/>", "ISO-8859-1"},
      {"a DOCTYPE", "<!DOCTYPE metamodel><metamodel/>", "DOCTYPE"},
      {"an attribute twice", "<metamodel><class name='A' name='B'/></metamodel>", "twice"},
  };
  const std::string xml = dir.file("base.xml");
  auto expectRefused = [&](const std::string& file, const char* expected) {
    const std::string message =
        messageOf<vlt::MetamodelFileError>([&] { repo.open(connectionString(), file, options); });
    EXPECT_THAT(message, AllOf(HasSubstr(file), HasSubstr(shownFilespec()), HasSubstr(expected)));
    EXPECT_EQ(message.find(shownFilespec()), message.rfind(shownFilespec())) << "the repository is named once";
    EXPECT_FALSE(repo.isOpen());
    if (isSqlite()) {
      EXPECT_FALSE(exists(location())) << "a failed creation leaves no file";
    }
  };
  for (const auto& [what, text, expected] : cases) {
    SCOPED_TRACE(what);
    testsupport::writeFile(xml, text);
    expectRefused(xml, expected);
  }
  expectRefused(dir.file("missing.xml"), "");
  // Not a regular file: a folder, and a pipe (which would block a reader).
  expectRefused(dir.path(), "not a regular file");
  ASSERT_EQ(::mkfifo(dir.file("pipe.xml").c_str(), 0600), 0);
  expectRefused(dir.file("pipe.xml"), "not a regular file");
}

INSTANTIATE_TEST_SUITE_P(Backends, MetamodelTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
