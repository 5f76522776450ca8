#pragma once
// Inspector: writes a readable, stable description of an open repository (its
// metamodel and object counts) or of one of its objects (every value).

#include <vlt/Repository.hpp>

#include <boost/uuid/uuid.hpp>

#include <ostream>

namespace vlt_inspect {

/// Describes one repository. It borrows the repository, which must stay open
/// while the inspector is used, and only reads from it. Not synchronised.
class Inspector {
 public:
  explicit Inspector(const vlt::DataModelRepository& repository) : repository_(repository) {}

  /// Writes the overview: the repository's file specification, totals, the
  /// enumerations with their literals, then per package (in name order) its
  /// classes (in creation order) with their superclasses, object counts and
  /// own properties. Throws vlt::RepositoryError when a read fails.
  void writeOverview(std::ostream& out) const;

  /// Writes the object `uuid`: its class, id, owner and the value of every
  /// property of its class (inherited ones first). Returns false, writing
  /// nothing, when the repository has no such object. Throws
  /// vlt::RepositoryError when a read fails.
  bool writeObject(std::ostream& out, const boost::uuids::uuid& uuid) const;

 private:
  const vlt::DataModelRepository& repository_;
};

}  // namespace vlt_inspect
