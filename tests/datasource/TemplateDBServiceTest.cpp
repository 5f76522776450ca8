// Template databases: the services of the template-provider test bundles,
// found through the process's bundle container, and a new SQLite repository
// that starts as a copy of its family's template.

#include "DataSourceTestSupport.hpp"

#include <TemplateProbe.hpp>

#include <vlt_datasource/TemplateDBService.hpp>

#include <qm/zero/services/BundleContainer.hpp>

#include <csignal>
#include <fstream>
#include <sys/resource.h>

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
    for (const char* name : {"templated", "fileless", "misnamed", "oversized"}) container.installBundle(u16(bundles + "/" + name));
  }

  // How often the "templated" bundle's service was asked for its family.
  static int familyNameCalls() {
    auto context = qm::zero::services::getQm0BundleContainer().getFrameworkContext();
    for (const auto& reference : context.GetServiceReferences<testbundles::TemplateProbe>())
      if (reference.GetBundle().GetSymbolicName() == "templated") return context.GetService(reference)->familyNameCalls();
    return -1;
  }

  // A template repository that holds a class a new repository would not.
  void writeTemplate() {
    ::unlink(templateFile.c_str());
    createRepository(templateFile);
    changeDirectly(templateFile, [](vlt::DataModelRepository& repository) {
      repository.createClass("template.Marker", {});
    });
  }

  // In the child process: exits with 0 when the copy failed, said so, and
  // left no part of the template at `path`.
  [[noreturn]] void copyUnderAFileSizeLimit(const std::string& path) {
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
    std::ifstream in(path, std::ios::binary);
    char first = 0;
    in.get(first);
    std::exit(logged && first != 'T' ? 0 : 1);
  }

  static bool hasMarker(const std::string& path) {
    return static_cast<bool>(openDirectly(path).metamodel().findClass("template.Marker"));
  }
};

// A service is found by the family it reports, and asked only once.
TEST_F(TemplateDBServiceTest, ServiceIsFoundOnceByTheFamilyItReports) {
  EXPECT_EQ(templateOf(u"templated"), u16(templateFile));
  const int calls = familyNameCalls();
  ASSERT_GE(calls, 1);
  EXPECT_EQ(templateOf(u"templated"), u16(templateFile));
  EXPECT_EQ(familyNameCalls(), calls);
  EXPECT_EQ(templateOf(u"nobody"), u"(none)");
  EXPECT_EQ(texts(256), std::vector<std::string>{});

  EXPECT_EQ(templateOf(u"fileless"), u"(none)");
  EXPECT_EQ(texts(256), std::vector<std::string>{"Microservice failed to provide template file for family fileless"});

  // The bundle declares "claimed" but its service reports "other": it serves
  // "other" only.
  EXPECT_EQ(templateOf(u"claimed"), u"(none)");
  EXPECT_EQ(templateOf(u"other"), u16(bundles + "/misnamed/template.vlt"));
}

TEST_F(TemplateDBServiceTest, NewFileOfAFamilyStartsFromItsTemplate) {
  writeTemplate();
  enableProgressRecords();
  const std::string path = file("new.vlt");
  createRepository(path + "?family=templated");
  EXPECT_TRUE(hasMarker(path));
  EXPECT_TRUE(anyRecordContains("Copying template file for family templated"));

  // An existing file, older generations kept, or a family without a
  // template: no copy.
  createRepository(path + "?family=templated");
  createRepository(file("generations.vlt") + "?family=templated&maxGenerations=2");
  EXPECT_FALSE(hasMarker(file("generations.vlt")));
  records.clear();
  createRepository(file("plain.vlt") + "?family=nobody");
  EXPECT_FALSE(hasMarker(file("plain.vlt")));
  EXPECT_FALSE(anyRecordContains("Copying"));
}

// A copy that fails half-way (the file size limit reached) leaves nothing
// that could be taken for a repository. Runs in a child process, which may
// lower its own limits.
TEST_F(TemplateDBServiceTest, FailedCopyLeavesNoPartialFile) {
  const std::string oversized = bundles + "/oversized/template.vlt";
  testsupport::writeFile(oversized, std::string(1 << 20, 'T'));
  const std::string path = file("partial.vlt");
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(copyUnderAFileSizeLimit(path), testing::ExitedWithCode(0), "");
  ::unlink(oversized.c_str());
}

}  // namespace
}  // namespace dstest
