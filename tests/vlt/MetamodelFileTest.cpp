// The base metamodel file: what a new repository starts from, and files
// refused before anything is created.

#include "RepositoryFixture.hpp"

#include <sys/stat.h>

#include <tuple>

namespace vlttest {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;

class MetamodelFileTest : public RepositoryTest {};

TEST_P(MetamodelFileTest, ANewRepositoryStartsFromTheBaseMetamodelFile) {
  open(VLT_BASE_METAMODEL);
  vlt::ClassRef info = findClass("qm.zero.vlt_datasource.PackageInfo");
  ASSERT_FALSE(info.isNull());
  ASSERT_FALSE(findClass("ModelElement").isNull());
  EXPECT_TRUE(info.conformsTo(findClass("ModelElement")));
  for (const char* name : {"family", "version"}) {
    vlt::PropertyRef p = info.findProperty(name);
    ASSERT_FALSE(p.isNull()) << name;
    EXPECT_EQ(p.valueType(), vlt::ValueType::ustring);
    EXPECT_FALSE(p.isMultiValue());
  }
  // An existing repository is opened without reading the file.
  repo.close();
  repo.open(connectionString(), dir.file("no-such-file.xml"), options);
  EXPECT_FALSE(findClass("ModelElement").isNull());
}

// Real metamodels name classes before their definition and in cycles (a
// node owns comments, and a comment is a node).
TEST_P(MetamodelFileTest, NamesMayBeUsedBeforeTheirDefinitionAndInCycles) {
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
  EXPECT_EQ(node.findProperty("comments").typeClass(), comment);
  EXPECT_EQ(comment.findProperty("comments").typeClass(), comment) << "inherited through the cycle";
  EXPECT_EQ(node.findProperty("kind").valueType(), vlt::ValueType::enumeral);
  EXPECT_EQ(comment.findProperty("text").documentation(), "<&\"'\xE2\x82\xAC\xF0\x9F\x98\x80>");
}

// Each message names the file, the repository (once) and what is wrong (with
// its line where there is one); nothing is created.
TEST_P(MetamodelFileTest, BadOrHostileFilesAreClearErrorsAndCreateNothing) {
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

INSTANTIATE_TEST_SUITE_P(Backends, MetamodelFileTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
