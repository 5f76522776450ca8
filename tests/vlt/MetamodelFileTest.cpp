// The base metamodel file: what a new repository starts from, and files
// refused before anything is created.

#include "RepositoryFixture.hpp"

namespace vlttest {
namespace {

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

TEST_P(MetamodelFileTest, ABadBaseMetamodelFileIsAClearErrorAndCreatesNothing) {
  const std::vector<std::pair<std::string, std::string>> cases{
      {"not xml", "<metamodel><class name='A'>"},
      {"wrong root", "<model/>"},
      {"unknown superclass", "<metamodel><class name='A'><superclass name='Z'/></class></metamodel>"},
      {"unknown type", "<metamodel><class name='A'><property name='p' type='blob'/></class></metamodel>"},
      {"bad flag", "<metamodel><class name='A'><property name='p' type='int32' ordered='yes'/></class></metamodel>"},
      {"bad bound", "<metamodel><class name='A'><property name='p' type='int32' upper='-1'/></class></metamodel>"},
      {"no name", "<metamodel><class/></metamodel>"},
      {"unknown element", "<metamodel><klass name='A'/></metamodel>"},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    const std::string xml = dir.file("base.xml");
    testsupport::writeFile(xml, text);
    EXPECT_THAT(messageOf<vlt::MetamodelFileError>([&] { repo.open(connectionString(), xml, options); }),
                ::testing::AllOf(::testing::HasSubstr("base.xml"), ::testing::HasSubstr(connectionString())));
    EXPECT_FALSE(repo.isOpen());
    if (isSqlite()) {
      EXPECT_FALSE(exists(location())) << "a failed creation leaves no file";
    }
  }
  EXPECT_THROW(repo.open(connectionString(), dir.file("missing.xml"), options), vlt::MetamodelFileError);
  if (isSqlite()) {
    EXPECT_FALSE(exists(location()));
  }
  EXPECT_FALSE(repo.isOpen());
}

INSTANTIATE_TEST_SUITE_P(Backends, MetamodelFileTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
