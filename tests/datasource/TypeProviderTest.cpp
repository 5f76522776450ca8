// Which provider answers for stored classes and package versions: the
// built-in one, or one of a type-evolution bundle ("evolve=true").

#include "DataSourceTestSupport.hpp"

#include "TestMetamodel.hpp"

#include <vlt_datasource/TypeProvider.hpp>

#include <qm/zero/ModelElement.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/services/BundleContainer.hpp>
#include <vlt/ObjectConstructor.hpp>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
using Access = vlt_datasource::DataSourceTestAccess;

class TypeProviderTest : public DataSourceTest {
 protected:
  static void installEvolutionBundle() {
    qm::zero::services::getQm0BundleContainer().installBundle(u16(std::string(DATASOURCE_TEST_BUNDLES) + "/evolution"));
  }
};

TEST_F(TypeProviderTest, EvolveWithoutAnEvolutionBundleFailsTheOpen) {
  if (vlt_datasource::TypeProvider::Factory::createEvolutionTypeProvider())
    GTEST_SKIP() << "an evolution bundle was installed by an earlier test of this process";
  const std::string path = file("model.vlt");
  createRepository(path + "?evolve=yes");  // only "true" asks for evolution
  const ThrownId evolve = thrownId([&] { open(path + "?evolve=true"); });
  EXPECT_EQ(evolve.id, "m2t_vlt:datasource:NoTypeEvolutionProvider");
  EXPECT_EQ(evolve.arguments, MsgArguments{u16(path)});
  EXPECT_EQ(model->getDataSource(), nullptr);
}

TEST_F(TypeProviderTest, EvolutionBundleReadsOldNamesAndAcceptsOldVersions) {
  const auto& mm = qm0test::TestMetamodel::get();
  installEvolutionBundle();
  const std::string path = file("model.vlt");
  createRepository(path);
  // A class "old.Book" and an old version record of the test library's family.
  changeDirectly(path, [&](vlt::DataModelRepository& repository) {
    repository.createClass("old.Book", {repository.metamodel().findClass("ModelElement")});
    recordVersion(repository, mm.lib->getFamily(), u"0.9");
  });

  const ThrownId current = thrownId([&] { open(path); });
  EXPECT_EQ(current.id, "m2t_vlt:datasource:PackageVersionMismatch");
  EXPECT_EQ(current.arguments, (MsgArguments{u16(path), mm.lib->getFamily(), u"0.9", mm.lib->getVersion()}));

  DataSource* ds = open(path + "?evolve=true");
  // "old.Book" was read as lib.Book: its one-way reference is indexed.
  const auto& incoming = Access::incomingProperties(*ds);
  ASSERT_EQ(incoming.count(mm.book), 1u);
  EXPECT_EQ(incoming.at(mm.book), std::unordered_set<meta::Property>{mm.related});

  // A required family is checked before any provider looks at versions.
  model->resetDataSource();
  const ThrownId required = thrownId([&] { open(path + "?evolve=true&requiredFamily=absent"); });
  EXPECT_EQ(required.arguments, (MsgArguments{u16(path), u"absent", u"?", u"?"}));
}

// A family whose package the process replaces between two openings.
meta::Package buildVersion(const std::u16string& version) {
  meta::PackageBuilder b(u"ver", u"http://example.com/ver", version);
  b.addClass(u"Thing");
  meta::Package package = b.build();
  meta::MetaRegistry::getInstance()->registerPackage(package);
  return package;
}

TEST_F(TypeProviderTest, ModelOfAnotherVersionIsRefusedByBothProviders) {
  installEvolutionBundle();
  const std::string path = file("model.vlt");
  const auto openWith = [&](const meta::Package& package, const std::string& parameters) {
    model = qm::zero::Model::create();
    commit(
        [&] { qm::zero::ModelElement::createReflective(model, meta::Class::downcast(package->findType(u"Thing"))); });
    open(path + parameters);
    model->resetDataSource();
  };
  const meta::Package first = buildVersion(u"1.0");
  openWith(first, "");
  meta::MetaRegistry::getInstance()->unregisterPackage(first->getUri());
  const meta::Package second = buildVersion(u"2.0");
  const MsgArguments expected{u16(path), u"http://example.com/ver", u"1.0", u"2.0"};
  // The built-in provider refuses the stored version when opening; the
  // evolution provider accepts it, and then recording the model's version
  // finds the family recorded with another.
  for (const std::string parameters : {"", "?evolve=true"}) {
    const ThrownId refused = thrownId([&] { openWith(second, parameters); });
    EXPECT_EQ(refused.id, "m2t_vlt:datasource:PackageVersionMismatch") << parameters;
    EXPECT_EQ(refused.arguments, expected) << parameters;
  }
  meta::MetaRegistry::getInstance()->unregisterPackage(second->getUri());
}

}  // namespace
}  // namespace dstest
