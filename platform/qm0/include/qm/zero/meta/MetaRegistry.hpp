#pragma once

#include <qm/zero/meta/Metamodel.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace qm::zero::meta {

/// The process-wide registry of metamodel packages: the framework's own
/// package (the root class ModelElement, the metaclasses and the standard
/// primitive types) and the packages hosts register. At most one package per
/// family is registered: the family's current version. Thread-safe.
class QM0_API MetaRegistry {
 public:
  /// The registry; lives for the whole program.
  static MetaRegistry* getInstance();
  MetaRegistry(const MetaRegistry&) = delete;
  MetaRegistry& operator=(const MetaRegistry&) = delete;

  /// Registers a complete package. Throws qm0:messages:PackageAlreadyRegistered
  /// (its URI) when a package of the same family is registered, and
  /// std::invalid_argument for a null or incomplete package.
  void registerPackage(const Package& package);
  /// Removes the package with `uri`; false when there was none.
  bool unregisterPackage(const std::u16string& uri);

  /// Lookups; each returns null when nothing matches.
  Package getPackage(const std::u16string& uri) const;
  Package getPackageForFamily(const std::u16string& family) const;
  /// A type or class by qualified name, among the framework's types and the
  /// registered packages.
  Type getType(const std::u16string& qualifiedName) const;
  Class getClass(const std::u16string& qualifiedName) const;
  /// A standard primitive type by registry name ("Integer", "String", ...).
  PrimitiveType getPrimitiveType(const std::u16string& registryName) const;
  /// The registered packages, in registration order.
  std::vector<Package> getPackages() const;

  /// True when the registered package of the family named by `uri` has the
  /// version named by `uri` (see parseUri).
  bool isVersionCurrentForFamily(const std::u16string& uri) const;
  /// True when the registered package of `family` has `version`.
  bool isVersionCurrentForFamily(const std::u16string& version, const std::u16string& family) const;

  /// A package URI is the family, a slash and the version
  /// ("http://example.com/geo/2.1" is family "http://example.com/geo",
  /// version "2.1"). `parseUri` splits at the last slash and gives
  /// (version, family); a URI without a slash gives (empty, uri).
  static std::pair<std::u16string, std::u16string> parseUri(const std::u16string& uri);
  static std::u16string composeUri(const std::u16string& version, const std::u16string& family);

 private:
  MetaRegistry();
  ~MetaRegistry();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace qm::zero::meta
