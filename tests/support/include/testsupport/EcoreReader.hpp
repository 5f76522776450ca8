#pragma once
// Builds a framework package from an Ecore file (EMF's XMI form), so that
// tests can use real metamodels that nobody here wrote.

#include <qm/zero/meta/Metamodel.hpp>

#include <string>

namespace testsupport {

/// What an Ecore file became.
struct EcorePackage {
  qm::zero::meta::Package package;  ///< built, not registered
  std::size_t classes = 0;          ///< EClasses
  std::size_t enumerations = 0;     ///< EEnums
  std::size_t skippedFeatures = 0;  ///< features of types the framework has no counterpart for
};

/// Reads the EPackage in `path` into a package of family = its nsURI and
/// version `version`. The framework has single inheritance: a class keeps its
/// first supertype, and the features of the others (and of their ancestors)
/// are copied into it. Ecore's own data types map to the standard types
/// (EString to String, EInt to Integer, ...); the package's own data types
/// to String. Transient, derived and volatile features are left out, and so
/// are features typed by what the framework has no counterpart for (EObject,
/// feature maps, map entries). Throws std::runtime_error for a file it cannot
/// read.
EcorePackage readEcore(const std::string& path, const std::u16string& version);

}  // namespace testsupport
