#include <Greeter.hpp>

#include <cppmicroservices/Bundle.hpp>
#include <cppmicroservices/BundleContext.hpp>
#include <cppmicroservices/Constants.hpp>
#include <cppmicroservices/Framework.hpp>
#include <cppmicroservices/LDAPFilter.hpp>

#include <testsupport/TempDir.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace cppmicroservices;
using testbundles::Described;
using testbundles::Greeter;
using testing::AllOf;
using testing::HasSubstr;

// Matches a call that throws a std::runtime_error whose text matches `m`.
template <class M>
auto FailsWith(M m) {
  return testing::ThrowsMessage<std::runtime_error>(m);
}

std::string bundleFolder(const std::string& name) { return std::string(MICROSERVICES_TEST_BUNDLES) + "/" + name; }

// A started framework; helpers install the test bundles built beside the tests.
class FrameworkTest : public testing::Test {
 protected:
  void SetUp() override {
    framework = FrameworkFactory().NewFramework();
    framework.Start();
    context = framework.GetBundleContext();
  }
  void TearDown() override { framework.Stop(); }

  Bundle install(const std::string& location) {
    std::vector<Bundle> bundles = context.InstallBundles(location);
    EXPECT_EQ(bundles.size(), 1u);
    return bundles.front();
  }
  Bundle startGreeter() {
    Bundle bundle = install(bundleFolder("greeter"));
    bundle.Start();
    return bundle;
  }
  std::vector<std::string> greetings(const std::string& filter = std::string()) {
    std::vector<std::string> result;
    for (const auto& ref : context.GetServiceReferences<Greeter>(filter))
      result.push_back(context.GetService(ref)->greet("Ann"));
    return result;
  }

  Framework framework;
  BundleContext context;
};

TEST_F(FrameworkTest, InstalledBundleExposesItsManifestAndInstallingItAgainGivesTheSameBundle) {
  Bundle bundle = install(bundleFolder("greeter"));
  EXPECT_EQ(install(bundleFolder("greeter")), bundle);
  EXPECT_EQ(context.GetBundles().size(), 2u);  // the framework and the greeter
  EXPECT_EQ(bundle.GetSymbolicName(), "greeter");
  EXPECT_EQ(bundle.GetState(), Bundle::STATE_INSTALLED);
  EXPECT_EQ(bundle.GetBundleId(), 1);
  EXPECT_FALSE(bundle.GetBundleContext());
  const AnyMap& headers = bundle.GetHeaders();
  EXPECT_EQ(any_cast<std::string>(headers.at("bundle.version")), "1.2.0");
  EXPECT_EQ(any_cast<std::int64_t>(headers.at("priority")), 3);
  EXPECT_EQ(any_cast<std::string>(any_cast<std::vector<Any>>(headers.at("tags")).at(1)), "short");
  EXPECT_TRUE(LDAPFilter("(bundle.qm0.vltTemplateProvider=geo)").Match(bundle));
  EXPECT_FALSE(LDAPFilter("(bundle.qm0.vltTemplateProvider=other)").Match(bundle));
}

// Services are found by interface, best ranked first, and by filter; the
// references a bundle registered convert to their own interfaces only.
TEST_F(FrameworkTest, StartedBundleServicesAreFoundByInterfaceOrFilterAndConvertToTheirOwnInterfacesOnly) {
  Bundle bundle = install(bundleFolder("greeter") + "/libgreeter.so");  // the library's path is a location too
  bundle.Start();
  EXPECT_EQ(greetings(), (std::vector<std::string>{"Bonjour Ann", "Hello Ann"}));
  ServiceReference<Greeter> best = context.GetServiceReference<Greeter>();
  ASSERT_TRUE(best);
  EXPECT_EQ(any_cast<std::string>(best.GetProperty("language")), "fr");
  EXPECT_EQ(best.GetBundle().GetSymbolicName(), "greeter");
  EXPECT_EQ(context.GetService(context.GetServiceReference<Described>())->description(), "French greeter");
  // And by filter.
  EXPECT_EQ(greetings("(language=en)"), std::vector<std::string>{"Hello Ann"});
  EXPECT_EQ(greetings("(&(LANGUAGE=f*)(service.ranking>=5))"), std::vector<std::string>{"Bonjour Ann"});
  EXPECT_TRUE(greetings("(language=de)").empty());
  EXPECT_EQ(context.GetServiceReferences(std::string(), "(objectclass=testbundles::Described)").size(), 1u);
  EXPECT_THROW(greetings("(language=en"), std::invalid_argument);

  std::vector<ServiceReferenceU> refs = bundle.GetRegisteredServices();
  ASSERT_EQ(refs.size(), 2u);
  EXPECT_TRUE(refs[0].IsConvertibleTo("testbundles::Greeter"));
  EXPECT_FALSE(refs[0].IsConvertibleTo("testbundles::Described"));
  EXPECT_TRUE(refs[1].IsConvertibleTo(us_service_interface_iid<Described>()));
  EXPECT_FALSE(ServiceReference<Described>(refs[0]));
  ServiceReference<Described> described(refs[1]);
  ASSERT_TRUE(described);
  EXPECT_EQ(context.GetService(described)->description(), "French greeter");
  // The untyped service is the object under the reference's own interface.
  auto untyped = std::static_pointer_cast<Greeter>(context.GetService(ServiceReferenceBase(refs[0])));
  EXPECT_EQ(untyped->greet("Bo"), "Hello Bo");
}

TEST_F(FrameworkTest, StoppingABundleOrItsFrameworkUnregistersItsServicesUntilItStartsAgain) {
  Bundle bundle = startGreeter();
  BundleContext bundleContext = bundle.GetBundleContext();
  ASSERT_TRUE(bundleContext);
  ServiceReference<Greeter> ref = context.GetServiceReference<Greeter>();
  std::shared_ptr<Greeter> held = context.GetService(ref);

  bundle.Stop();
  EXPECT_EQ(bundle.GetState(), Bundle::STATE_RESOLVED);
  EXPECT_TRUE(context.GetServiceReferences<Greeter>().empty());
  EXPECT_TRUE(bundle.GetRegisteredServices().empty());
  EXPECT_EQ(context.GetService(ref), nullptr);
  EXPECT_FALSE(ref.GetBundle());
  EXPECT_EQ(held->greet("Ann"), "Bonjour Ann");  // the library stays loaded for holders
  EXPECT_FALSE(bundleContext);
  EXPECT_THAT([&] { bundleContext.GetServiceReferences<Greeter>(); }, FailsWith(HasSubstr("not valid")));
  // A restart gives a new context and the services again.
  bundle.Start();
  EXPECT_EQ(bundle.GetState(), Bundle::STATE_ACTIVE);
  EXPECT_TRUE(bundle.GetBundleContext());
  EXPECT_EQ(greetings().size(), 2u);
  // Stopping the framework stops its bundles, which cannot start until it does.
  framework.Stop();
  EXPECT_EQ(bundle.GetState(), Bundle::STATE_RESOLVED);
  EXPECT_FALSE(context);
  EXPECT_THAT([&] { bundle.Start(); }, FailsWith(HasSubstr("framework is not started")));
  EXPECT_FALSE(framework.GetBundleContext());
  framework.Start();
  context = framework.GetBundleContext();
  EXPECT_TRUE(context.GetServiceReferences<Greeter>().empty());
}

struct BadBundle {
  const char* name;
  const char* manifest;  // null: no manifest
  bool withLibrary;
  const char* message;
};

const BadBundle badBundles[] = {
    {"MissingLibrary", R"({"bundle.symbolic_name": "greeter"})", false, "libgreeter.so\" is missing"},
    {"MissingNamedLibrary", R"({"bundle.symbolic_name": "x", "bundle.library": "liby.so"})", true,
     "liby.so\" is missing"},
    {"MissingManifest", nullptr, true, "manifest.json\" is missing"},
    {"MalformedManifest", "{\"bundle.symbolic_name\": \"greeter\",, }", true,
     "is not valid JSON (syntax error at offset 35)"},
    {"TruncatedManifest", "{\"bundle.symbolic_name\": ", true, "is not valid JSON"},
    {"TrailingText", "{\"bundle.symbolic_name\": \"greeter\"} x", true, "is not valid JSON"},
    {"NotAnObject", "[1, 2]", true, "is not a JSON object"},
    {"NoSymbolicName", "{\"bundle.activator\": true}", true, "has no \"bundle.symbolic_name\""},
    {"EmptySymbolicName", "{\"bundle.symbolic_name\": \"\"}", true, "not a non-empty string"},
    {"ActivatorNotABool", R"({"bundle.symbolic_name": "greeter", "bundle.activator": "yes"})", true,
     "\"bundle.activator\" that is not true or false"},
    {"LibraryOutsideTheFolder", R"({"bundle.symbolic_name": "g", "bundle.library": "../libg.so"})", true,
     "\"bundle.library\" that is not a file name"}};

// A bad bundle fails its install, an activator that throws or is missing
// fails the start; either leaves nothing registered and the others usable.
TEST_F(FrameworkTest, InstallOfABadBundleOrStartOfABadActivatorFailsClearlyAndTheOthersStayUsable) {
  startGreeter();
  for (const BadBundle& bad : badBundles) {
    SCOPED_TRACE(bad.name);
    testsupport::TempDir dir;
    if (bad.manifest != nullptr) testsupport::writeFile(dir.file("manifest.json"), bad.manifest);
    if (bad.withLibrary)
      std::filesystem::copy_file(bundleFolder("greeter") + "/libgreeter.so", dir.file("libgreeter.so"));
    EXPECT_THAT([&] { context.InstallBundles(dir.path()); },
                FailsWith(AllOf(HasSubstr("Cannot install the bundle at \"" + dir.path() + "\""),
                                HasSubstr(bad.message))));
    EXPECT_EQ(context.GetBundles().size(), 2u);
    EXPECT_EQ(greetings().size(), 2u);
  }
  Bundle failing = install(bundleFolder("failing"));
  EXPECT_THAT([&] { failing.Start(); },
              FailsWith(AllOf(HasSubstr("Cannot start bundle \"failing\""), HasSubstr("no greeting today"))));
  EXPECT_EQ(failing.GetState(), Bundle::STATE_RESOLVED);
  EXPECT_FALSE(failing.GetBundleContext());
  EXPECT_TRUE(greetings("(language=none)").empty());
  EXPECT_EQ(greetings().size(), 2u);
  // A declared activator that is not exported fails the start too.
  EXPECT_THAT([&] { install(bundleFolder("noactivator")).Start(); },
              FailsWith(HasSubstr("does not export cppmicroservices_create_bundle_activator")));
}

TEST_F(FrameworkTest, RegistrationSetsObjectClassAndIdUnregistersOnceAndRefusesANullService) {
  struct Plain : Greeter {
    std::string greet(const std::string& name) const override { return name; }
  };
  auto first = context.RegisterService<Greeter>(std::make_shared<Plain>(), {{"a", 1}});
  auto second = context.RegisterService<Greeter>(std::make_shared<Plain>(), {{Constants::SERVICE_RANKING, 1}});
  ServiceReference<Greeter> ref = first.GetReference();
  EXPECT_EQ(any_cast<std::vector<std::string>>(ref.GetProperty(Constants::OBJECTCLASS)),
            std::vector<std::string>{"testbundles::Greeter"});
  const long firstId = any_cast<long>(ref.GetProperty(Constants::SERVICE_ID));
  EXPECT_EQ(any_cast<long>(second.GetReference().GetProperty("SERVICE.ID")), firstId + 1);
  EXPECT_EQ(context.GetServiceReference<Greeter>(), second.GetReference());  // ranked higher
  EXPECT_TRUE(ref < second.GetReference());

  first.Unregister();
  EXPECT_THROW(first.Unregister(), std::logic_error);
  EXPECT_THROW(first.GetReference(), std::logic_error);
  EXPECT_EQ(context.GetServiceReferences<Greeter>().size(), 1u);
  EXPECT_EQ(context.GetService(ref), nullptr);
  EXPECT_EQ(any_cast<int>(ref.GetProperty("a")), 1);  // properties stay readable
  // A null service is refused.
  EXPECT_THROW(context.RegisterService<Greeter>(std::shared_ptr<Greeter>()), std::invalid_argument);
  EXPECT_THROW(context.RegisterService(InterfaceMap{}), std::invalid_argument);
}

TEST(Framework, ContextOfAFrameworkNotStartedIsInvalidAndFrameworksShareNothing) {
  Framework a = FrameworkFactory().NewFramework();
  EXPECT_EQ(a.GetBundleId(), 0);
  EXPECT_EQ(a.GetSymbolicName(), "system_bundle");
  EXPECT_FALSE(a.GetBundleContext());
  EXPECT_THROW(BundleContext().GetBundles(), std::runtime_error);
  EXPECT_THROW(Bundle().Start(), std::logic_error);
  EXPECT_FALSE(Framework(Bundle()));
  // Two started frameworks share nothing.
  Framework b = FrameworkFactory().NewFramework();
  a.Start();
  b.Start();
  a.GetBundleContext().InstallBundles(bundleFolder("greeter")).front().Start();
  EXPECT_EQ(a.GetBundleContext().GetServiceReferences<Greeter>().size(), 2u);
  EXPECT_TRUE(b.GetBundleContext().GetServiceReferences<Greeter>().empty());
  EXPECT_EQ(b.GetBundleContext().GetBundles().size(), 1u);
  a.Stop();
  b.Stop();
}

}  // namespace
