#include <Greeter.hpp>

#include <qm/zero/services/BundleContainer.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/log/DiagnosticLogger.hpp>
#include <foundation/log/RecordCapture.hpp>

#include <testsupport/TempDir.hpp>

#include <gmock/gmock.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using qm::utils::services::BundleContainer;
using testbundles::Greeter;
using namespace testing;  // the matchers

std::string builtBundle(const std::string& name) { return std::string(QM0_TEST_BUNDLES) + "/" + name; }

std::u16string u16(const std::string& text) { return fl::i18n::utf8_to_ustring(text); }

std::vector<std::string> namesOf(const std::vector<cppmicroservices::Bundle>& bundles) {
  std::vector<std::string> names;
  for (const auto& bundle : bundles) names.push_back(bundle.GetSymbolicName());
  return names;
}

// An install folder whose "bundles" folder the tests fill.
class BundleContainerTest : public testing::Test {
 protected:
  std::string bundlesFolder() const { return install.file("bundles"); }
  // Copies a test bundle built by the microservices tests into the folder.
  void addBuiltBundle(const std::string& name, const std::string& as) {
    fs::create_directories(bundlesFolder());
    fs::copy(builtBundle(name), bundlesFolder() + "/" + as, fs::copy_options::recursive);
  }
  void addFolder(const std::string& name, const char* manifest) {
    fs::create_directories(bundlesFolder() + "/" + name);
    if (manifest != nullptr) testsupport::writeFile(bundlesFolder() + "/" + name + "/manifest.json", manifest);
  }
  std::vector<std::string> warnings() const {
    std::vector<std::string> texts;
    for (const auto& record : capture.records())
      if (record.severity == foundation::log::severity::warning) texts.push_back(record.text);
    return texts;
  }

  testsupport::TempDir install;
  foundation::log::RecordCapture capture{"qm::zero::framework"};
};

TEST_F(BundleContainerTest, FindsTheBundlesOfTheInstallPathAndSkipsTheBadOnesWithAWarning) {
  addBuiltBundle("greeter", "b-greeter");
  addBuiltBundle("failing", "c-failing");
  addFolder("a-nolibrary", R"({"bundle.symbolic_name": "nolibrary"})");
  addFolder("d-malformed", R"({"bundle.symbolic_name": )");
  testsupport::writeFile(bundlesFolder() + "/notes.txt", "not a bundle");

  BundleContainer container(u16(install.path()));
  const auto bundles = container.getBundles();
  ASSERT_EQ(namesOf(bundles), std::vector<std::string>{"greeter"});
  EXPECT_EQ(bundles.front().GetState(), cppmicroservices::Bundle::STATE_ACTIVE);  // started: its services are up

  // One warning per bad folder, naming it and why.
  EXPECT_THAT(warnings(), ElementsAre(AllOf(HasSubstr("a-nolibrary\": "), HasSubstr("libnolibrary.so\" is missing")),
                                      AllOf(HasSubstr("c-failing\": "), HasSubstr("no greeting today")),
                                      AllOf(HasSubstr("d-malformed\": "), HasSubstr("is not valid JSON"))));
}

TEST_F(BundleContainerTest, BundlesInstalledByPathFromAnyThreadJoinTheContainerOnceAndFailedInstallsChangeNothing) {
  // No bundles folder: no bundles and no warning.
  BundleContainer container(u16(install.path()));
  EXPECT_TRUE(container.getBundles().empty());
  EXPECT_TRUE(warnings().empty());
  EXPECT_EQ(container.getInstallPath(), u16(install.path()));
  std::vector<std::string> seen;
  std::thread worker([&] {
    container.installBundle(u16(builtBundle("greeter")));
    seen = namesOf(container.getBundles());
  });
  for (int i = 0; i < 100; ++i) EXPECT_LE(container.getBundles().size(), 1u);
  worker.join();
  EXPECT_EQ(seen, std::vector<std::string>{"greeter"});
  addFolder("broken", "[]");
  for (const std::string& location : {bundlesFolder() + "/broken", builtBundle("failing")})
    EXPECT_THAT([&] { container.installBundle(u16(location)); },
                ThrowsMessage<std::runtime_error>(HasSubstr(location)));
  EXPECT_EQ(namesOf(container.getBundles()), std::vector<std::string>{"greeter"});
  EXPECT_EQ(container.getFrameworkContext().GetServiceReferences<Greeter>().size(), 2u);
  // The same bundle at another path is another bundle; at the same path, the same.
  addBuiltBundle("greeter", "greeter");
  const auto added = container.installBundle(u16(bundlesFolder() + "/greeter"));
  EXPECT_EQ(namesOf(container.getBundles()), (std::vector<std::string>{"greeter", "greeter"}));
  EXPECT_EQ(container.installBundle(u16(bundlesFolder() + "/greeter")), added);
  EXPECT_EQ(container.getBundles().size(), 2u);
}

TEST(QM0Microservices, InitialisingTwiceIsHarmless) {
  namespace services = qm::zero::services;
  const auto first = services::initQM0Microservices();
  qm::utils::services::BundleContainer* fromWorker = nullptr;
  std::thread worker([&] { fromWorker = &services::getQm0BundleContainer(); });
  worker.join();
  EXPECT_EQ(services::initQM0Microservices(), first);
  EXPECT_EQ(fromWorker, &services::getQm0BundleContainer());
  EXPECT_TRUE(services::getQm0BundleContainer().getFrameworkContext());
}

}  // namespace
