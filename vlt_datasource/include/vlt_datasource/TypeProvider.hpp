#pragma once
// vlt_datasource::TypeProvider: which framework class stands for a stored
// class name, and whether a repository's stored package versions may be used.

#include <vlt_datasource/export.hpp>

#include <qm/zero/meta/Metamodel.hpp>

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace vlt_datasource {

class DataSource;

/// The answers a data source needs about the metamodels of the process. A data
/// source holds one, chosen when it opens: a built-in provider that answers
/// from the framework's MetaRegistry and accepts only current package
/// versions, or (with "evolve=true") one made by a type-evolution bundle that
/// registers a TypeProvider::Factory service and declares
/// "bundle.qm0.vltTypeProvider" in its manifest. Copyable; not thread-safe.
class VLT_DATASOURCE_API TypeProvider {
 public:
  /// The service a type-evolution bundle registers.
  class VLT_DATASOURCE_API Factory {
   public:
    virtual ~Factory();
    virtual std::unique_ptr<TypeProvider> createTypeProvider() = 0;

    /// The provider of the first factory found among the process's bundles
    /// (qm::zero::services::initQM0Microservices) whose manifest declares
    /// "bundle.qm0.vltTypeProvider"; empty when none provides one. Bundle and
    /// service failures pass on.
    static std::unique_ptr<TypeProvider> createEvolutionTypeProvider();
  };

  TypeProvider() = default;
  TypeProvider(const TypeProvider&) = default;
  TypeProvider& operator=(const TypeProvider&) = default;
  virtual ~TypeProvider();

  /// The framework class for a stored class's qualified name; an invalid
  /// class when there is none.
  virtual qm::zero::meta::Class getClass(const std::u16string& qualifiedName) = 0;
  /// Throws m2t_vlt:datasource:PackageVersionMismatch when a stored version
  /// (family to version) cannot be used.
  virtual void validatePackageVersions(DataSource& dataSource,
                                       const std::unordered_map<std::u16string, std::u16string>& storedVersions) = 0;

  /// A family every repository opened through this provider must contain.
  void addRequiredFamily(const std::u16string& family);
  const std::unordered_set<std::u16string>& getRequiredFamilies() const noexcept { return requiredFamilies; }

  /// Fails with PackageVersionMismatch (stored version "?") for the first
  /// required family missing from `storedVersions`, then validates the
  /// versions.
  void validatePackageVersionsAndRequiredFamilies(
      DataSource& dataSource, const std::unordered_map<std::u16string, std::u16string>& storedVersions);

 protected:
  /// The version of the family's package in the process; "?" when the
  /// framework has no package for it.
  static std::u16string getCurrentPackageVersion(const std::u16string& family);

 private:
  std::unordered_set<std::u16string> requiredFamilies;
};

}  // namespace vlt_datasource
