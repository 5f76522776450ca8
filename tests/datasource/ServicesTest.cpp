// The services a data source finds in the process's bundle container, as
// the test bundles provide them: template databases, from which a new
// SQLite repository of a family starts as a copy, and the type provider
// that answers for stored classes and package versions (the built-in one, or
// a type-evolution bundle's with "evolve=true").

#include "DataSourceTestSupport.hpp"

#include <TemplateProbe.hpp>

#include <vlt_datasource/TemplateDBService.hpp>
#include <vlt_datasource/TypeProvider.hpp>

#include <qm/zero/services/BundleContainer.hpp>

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <unistd.h>

namespace dstest {
namespace {

using vlt_datasource::TemplateDBService;

const std::string bundles = DATASOURCE_TEST_BUNDLES;
const std::string templateFile = bundles + "/templated/template.vlt";

// The template path found for `family`, "(none)" when there is none.
std::u16string templateOf(const std::u16string& family) {
  return TemplateDBService::getTemplateSqliteDB(family).value_or(u"(none)");
}

class TemplateDBServiceTest : public DataSourceTest {
 protected:
  static void SetUpTestSuite() {
    auto& container = qm::zero::services::getQm0BundleContainer();
    for (const char* name : {"templated", "fileless", "misnamed", "oversized"})
      container.installBundle(u16(bundles + "/" + name));
  }

  // How often the "templated" bundle's service was asked for its family.
  static int familyNameCalls() {
    auto context = qm::zero::services::getQm0BundleContainer().getFrameworkContext();
    for (const auto& reference : context.GetServiceReferences<testbundles::TemplateProbe>())
      if (reference.GetBundle().GetSymbolicName() == "templated")
        return context.GetService(reference)->familyNameCalls();
    return -1;
  }

  static bool hasMarker(const std::string& path) {
    return static_cast<bool>(openDirectly(path).metamodel().findClass("template.Marker"));
  }
};

// A service is found by the family it reports, matched literally (neither a
// wildcard nor a parenthesis finds another family's template, nor asks its
// service), and asked only once. A new file of a family starts as a copy of
// its template; an existing file, older generations kept, or a family
// without a template get no copy. A template that cannot be copied (its file
// is gone) leaves a new, empty repository.
TEST_F(TemplateDBServiceTest, ANewFileStartsFromTheTemplateOfItsLiteralFamily) {
  EXPECT_EQ(templateOf(u"templated"), u16(templateFile));
  const int calls = familyNameCalls();
  ASSERT_GE(calls, 1);
  EXPECT_EQ(templateOf(u"templated"), u16(templateFile));
  for (const std::u16string family : {u"nobody", u"*", u"templ*", u"a(b", u"a)b", u"a\\b"})
    EXPECT_EQ(templateOf(family), u"(none)");
  EXPECT_EQ(familyNameCalls(), calls);
  EXPECT_EQ(texts(256), std::vector<std::string>{});
  EXPECT_EQ(templateOf(u"fileless"), u"(none)");
  EXPECT_EQ(texts(256), std::vector<std::string>{"Microservice failed to provide template file for family fileless"});
  // The bundle declares "claimed" but its service reports "other": it serves
  // "other" only.
  EXPECT_EQ(templateOf(u"claimed"), u"(none)");
  EXPECT_EQ(templateOf(u"other"), u16(bundles + "/misnamed/template.vlt"));

  // A template repository that holds a class a new repository would not.
  ::unlink(templateFile.c_str());
  createRepository(templateFile);
  changeDirectly(templateFile,
                 [](vlt::DataModelRepository& repository) { repository.createClass("template.Marker", {}); });
  enableProgressRecords();
  const std::string path = file("new.vlt");
  createRepository(path + "?family=templated");
  EXPECT_TRUE(hasMarker(path));
  EXPECT_TRUE(anyRecordContains("Copying template file for family templated"));
  records.clear();
  createRepository(path + "?family=templated");
  EXPECT_TRUE(hasMarker(path)) << "the existing file is kept";
  createRepository(file("generations.vlt") + "?family=templated&maxGenerations=2");
  EXPECT_FALSE(hasMarker(file("generations.vlt")));
  createRepository(file("odd.vlt") + "?family=a(b");
  createRepository(file("any.vlt") + "?family=*");
  EXPECT_FALSE(hasMarker(file("any.vlt")));
  EXPECT_FALSE(anyRecordContains("Copying"));

  ::unlink(templateFile.c_str());
  EXPECT_NO_THROW(createRepository(file("missing.vlt") + "?family=templated"));
  EXPECT_TRUE(openDirectly(file("missing.vlt")).metamodel().findClass("ModelElement")) << "a new repository";
}

// A copy that fails half-way (the file size limit reached) leaves nothing
// that could be taken for a repository. Runs in a child process, which may
// lower its own limits; the child exits with 0 when the copy failed, said
// so, and left no part of the template behind.
TEST_F(TemplateDBServiceTest, FailedCopyLeavesNoPartialFile) {
  const std::string oversized = bundles + "/oversized/template.vlt";
  testsupport::writeFile(oversized, std::string(1 << 20, 'T'));
  const std::string path = file("partial.vlt");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const auto copyUnderAFileSizeLimit = [&] {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{64 * 1024, 64 * 1024};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    enableProgressRecords();
    try {
      createRepository(path + "?family=oversized");
    } catch (const std::exception&) {
      // The open after the failed copy may fail under the limit too.
    }
    const bool logged = anyRecordContains("Exception occurred while copying template file: ");
    const int first = std::ifstream(path, std::ios::binary).get();
    // No exit handlers: under the lowered limit they would write coverage
    // data cut short, spoiling a coverage run.
    ::_exit(logged && first != 'T' ? 0 : 1);
  };
  EXPECT_EXIT(copyUnderAFileSizeLimit(), testing::ExitedWithCode(0), "");
  ::unlink(oversized.c_str());
}

using TypeProviderTest = DataSourceTest;

// Without an evolution bundle, "evolve=true" fails the open. An installed
// one answers only when asked to ("evolve=true"): then "old.Book" is read as
// lib.Book, and its one-way reference is indexed. A family whose package the
// process replaces between two openings: the built-in provider refuses the
// stored version when opening; the evolution provider accepts it, and then
// recording the model's version finds the family recorded with another.
TEST_F(TypeProviderTest, EvolutionBundleReadsOldNamesAndVersionsButNotAModelOfAnotherVersion) {
  const std::string path = file("model.vlt");
  createRepository(path + "?evolve=yes");  // only "true" asks for evolution
  if (!vlt_datasource::TypeProvider::Factory::createEvolutionTypeProvider()) {  // not installed by an earlier test
    const ThrownId evolve = thrownId([&] { open(path + "?evolve=true"); });
    EXPECT_EQ(evolve.id, "m2t_vlt:datasource:NoTypeEvolutionProvider");
    EXPECT_EQ(evolve.arguments, MsgArguments{u16(path)});
  }
  qm::zero::services::getQm0BundleContainer().installBundle(u16(bundles + "/evolution"));
  // A class "old.Book" and an old version record of the test library's family.
  changeDirectly(path, [&](vlt::DataModelRepository& repository) {
    repository.createClass("old.Book", {repository.metamodel().findClass("ModelElement")});
    recordVersion(repository, mm.lib->getFamily(), u"0.9");
  });
  // Not asked to: the built-in provider refuses the old version (ConnectionTest checks the message).
  EXPECT_EQ(qm0test::errorIdOf([&] { open(path); }), "m2t_vlt:datasource:PackageVersionMismatch");
  DataSource* ds = open(path + "?evolve=true");
  const auto& incoming = vlt_datasource::DataSourceTestAccess::incomingProperties(*ds);
  ASSERT_EQ(incoming.count(mm.book), 1u);
  EXPECT_EQ(incoming.at(mm.book), std::unordered_set<meta::Property>{mm.related});

  // A required family is checked before any provider looks at versions.
  model->resetDataSource();
  const ThrownId required = thrownId([&] { open(path + "?evolve=true&requiredFamily=absent"); });
  EXPECT_EQ(required.arguments, (MsgArguments{u16(path), u"absent", u"?", u"?"}));

  const std::string other = file("other.vlt");
  meta::Package package;
  const auto openWith = [&](const std::u16string& version, const std::string& parameters) {
    if (package) meta::MetaRegistry::getInstance()->unregisterPackage(package->getUri());
    meta::PackageBuilder b(u"ver", u"http://example.com/ver", version);
    const meta::Class thing = b.addClass(u"Thing");
    package = b.build();
    meta::MetaRegistry::getInstance()->registerPackage(package);
    model = qm::zero::Model::create();
    commit([&] { qm::zero::ModelElement::createReflective(model, thing); });
    open(other + parameters);
    model->resetDataSource();
  };
  openWith(u"1.0", "");
  for (const std::string parameters : {"", "?evolve=true"}) {
    const ThrownId refused = thrownId([&] { openWith(u"2.0", parameters); });
    EXPECT_EQ(refused.id, "m2t_vlt:datasource:PackageVersionMismatch") << parameters;
    EXPECT_EQ(refused.arguments, (MsgArguments{u16(other), u"http://example.com/ver", u"1.0", u"2.0"})) << parameters;
  }
  meta::MetaRegistry::getInstance()->unregisterPackage(package->getUri());
}

}  // namespace
}  // namespace dstest
