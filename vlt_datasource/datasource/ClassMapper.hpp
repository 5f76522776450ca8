#pragma once
// DataSource::ClassMapper: the framework's metamodel and the repository's,
// mapped onto each other for one connection.

#include <vlt_datasource/DataSource.hpp>

#include "external/Metamodel.hpp"
#include "external/Repository.hpp"

#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vlt_datasource {

/// Framework classes and enumerations to repository ones (made in the
/// repository when missing, compared with it when stored), stored classes to
/// framework classes (through the connection's type provider), the index of
/// the one-way references into each class, and the package-version records.
/// Made when the data source connects; registers what it forgets when a
/// repository transaction rolls back with the data source's TransactionHooks.
class DataSource::ClassMapper {
 public:
  /// Framework class to the unidirectional, non-composite references into it
  /// (declared by any mapped class): what a destroyed object must be cut from.
  using IncomingProperties =
      std::unordered_map<qm::zero::meta::Class, std::unordered_set<qm::zero::meta::Property>>;

  /// The mapper of `dataSource`'s repository for a connection whose loaded
  /// elements are `reflective`, and whose stored classes and versions go
  /// through a type-evolution provider with `evolve`.
  ClassMapper(DataSource& dataSource, bool reflective, bool evolve);
  ~ClassMapper();
  ClassMapper(const ClassMapper&) = delete;
  ClassMapper& operator=(const ClassMapper&) = delete;

  bool loadsReflectively() const noexcept { return reflective; }

  // The opening.
  /// Chooses the type provider before the repository opens: the evolution
  /// provider with "evolve=true" (NoTypeEvolutionProvider without one), else
  /// the built-in one; each required family added to it.
  void chooseTypeProvider(const std::u16string& connectionString,
                          const std::unordered_set<std::u16string>& requiredFamilies);
  /// Indexes the references into each class of the opened repository that
  /// the type provider knows.
  void indexStoredClasses();
  /// Releases the prepared statements (before the repository closes) and
  /// forgets the stored classes' framework classes.
  void disconnect();

  // Metamodel mapping.
  vlt::ClassRef getVltClass(const qm::zero::meta::Class& cls, bool addWholePackage);
  vlt::EnumerationRef getVltEnumeratedType(const qm::zero::meta::Enum& enumType);
  vlt::EnumeralRef getVltEnumeral(const qm::zero::meta::Type& type, const qm::zero::Value& value);
  const IncomingProperties& incomingProperties() const noexcept { return incoming; }
  /// The framework class of a stored class, by its qualified name, asked of
  /// the type provider once per name and connection; the reference stays
  /// valid until the connection ends.
  const qm::zero::meta::Class& frameworkClassOf(const vlt::ClassRef& vltClass);

  // Package versions recorded in the repository.
  void loadAndCheckVltPackageVersions();
  void checkAndStoreVltPackageVersions();
  /// Whether a package the model uses has no version recorded yet.
  bool packageVersionsToRecord() const;
  /// Records every known version again: after every object was deleted.
  void restoreVltPackageVersions();

 private:
  void processIncomingPropertiesFrom(const qm::zero::meta::Class& cls);
  /// Appends `property` to `classRef` (its type mapped first); false, with
  /// a record, for a type the repository cannot store.
  bool appendStoredProperty(const vlt::ClassRef& classRef, const qm::zero::meta::Property& property);
  /// Compares `cls` with `stored`, the repository class of its name, once
  /// per connection and class: a changed superclass, or a property whose
  /// stored type, multiplicity or containment differs, throws
  /// StoredClassMismatch; a property the class gained is appended to the
  /// stored class when `grow` (a write; a read finds nothing stored for it
  /// anyway), a stored property the class lost keeps its values. Each with a
  /// warning record. Nothing is compared with "evolve=true": the
  /// type-evolution provider decides how stored classes are read.
  void checkStoredClass(const qm::zero::meta::Class& cls, const vlt::ClassRef& stored, bool grow);
  void establishPackageVersionQueryCtor();
  void checkAndStoreVltPackage(const qm::zero::meta::Package& package);
  void storeVltPackageVersion(const std::u16string& family, const std::u16string& version);
  /// Registers with the data source's transaction hooks what is forgotten
  /// when a repository transaction is rolled back (or fails to commit).
  void registerTransactionHooks();

  DataSource& dataSource;
  vlt::DataModelRepository& repository;
  const bool reflective;
  const bool evolve;
  std::unique_ptr<TypeProvider> typeProvider;
  IncomingProperties incoming;
  // Framework classes compared with their stored class (checkStoredClass)
  // since the last rollback.
  std::unordered_set<const void*> checkedClasses;
  std::unordered_map<std::string, qm::zero::meta::Class> frameworkClasses;  // until disconnect
  // Family to version: read from the repository when opening, then grown by
  // every version recorded. Families recorded inside the open repository
  // transaction are listed in uncommittedFamilies until it ends, so that a
  // rollback takes them out of the map again.
  std::unordered_map<std::u16string, std::u16string> packageVersions;
  std::vector<std::u16string> uncommittedFamilies;
  std::u16string packageFamilyBuffer;
  std::u16string packageVersionBuffer;
  std::unique_ptr<vlt::ObjectQuery> packageVersionQuery;              // until disconnect
  std::unique_ptr<vlt::ObjectConstructor> packageVersionConstructor;  // until disconnect
};

}  // namespace vlt_datasource
