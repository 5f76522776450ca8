#pragma once
// The repository's metamodel in memory: classes, properties and enumerations
// (MetamodelInfo.hpp) as read from (and written to) the metamodel tables.

#include "Database.hpp"
#include "MetamodelInfo.hpp"
#include "StatementCache.hpp"
#include "TransactionState.hpp"

#include <boost/uuid/random_generator.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt::detail {

struct MetamodelFile;

/// The ids of `cls` and, with `withSubclasses`, of every class below it,
/// each once: "3, 7, 12", for a statement's `class_id IN (...)`.
std::string classIdList(const ClassInfo* cls, bool withSubclasses = true);

/// The metamodel cache. Creating classes, properties and enumerations writes
/// the metamodel tables and the value tables inside the current transaction
/// (or an implicit one); a rollback retires what the transaction created.
/// Lookups answer from memory and re-read the tables on a miss, because
/// another client may have added what is asked for.
///
/// Infos are owned here for the life of the repository object (also after
/// close), so that handles can keep pointing at them. Not synchronised.
class Schema final : public TransactionParticipant {
 public:
  Schema(Database& database, StatementCache& statements, TransactionState& transaction)
      : database_(database), statements_(statements), transaction_(transaction) {}

  /// Creates the metamodel tables of a new repository.
  void createTables();
  /// The names of the tables that describe the metamodel (the others hold
  /// objects and their values).
  static const std::vector<std::string>& metamodelTableNames();
  /// Reads the rows this connection does not know yet. Rows that do not
  /// hold together (an unknown class, type or enumeration, a cycle of
  /// superclasses) throw NotARepositoryError when `opening`, StorageError
  /// otherwise.
  void load(bool opening = false);
  /// Creates what the base metamodel file describes (checked whole by
  /// readMetamodelFile).
  void apply(const MetamodelFile& file);

  std::vector<ClassInfo*> classes() const;
  std::vector<EnumerationInfo*> enumerations() const;
  /// Every property ever read or created, retired ones included.
  const std::vector<std::unique_ptr<PropertyInfo>>& allProperties() const noexcept { return propertyStore_; }
  ClassInfo* findClass(const std::string& qualifiedName);
  EnumerationInfo* findEnumeration(const std::string& qualifiedName);
  ClassInfo* classById(std::int64_t id);
  const PropertyInfo* propertyById(std::int64_t id) const;
  /// The property `name` of `cls` or of a superclass, as known here.
  const PropertyInfo* findProperty(const ClassInfo* cls, const std::string& name) const;
  /// The same, reading the metamodel again when it is not known here.
  const PropertyInfo* lookUpProperty(const ClassInfo* cls, const std::string& name);

  ClassInfo* createClass(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses);
  /// Appends a property described by `d` (name, type name, bounds, flags,
  /// texts, uuid) to `cls`.
  PropertyInfo* appendProperty(ClassInfo* cls, const PropertyInfo& d);
  EnumerationInfo* createEnumeration(const std::string& qualifiedName,
                                     const std::vector<std::pair<std::string, int>>& literals);

  /// Changes whenever a class or property is added or forgotten.
  std::uint64_t generation() const noexcept { return generation_; }

  /// Throws UsageError for a null or retired info.
  void checkUsable(const ClassInfo* cls) const;
  void checkUsable(const PropertyInfo* property) const;

  void transactionEnded(bool committed) noexcept override;

 private:
  [[noreturn]] void damaged(const std::string& what) const;
  void loadEnumerations();
  std::vector<ClassInfo*> loadClasses();
  void loadProperties();
  ClassInfo* addClass(std::int64_t id, const std::string& qualifiedName);
  EnumerationInfo* addEnumeration(std::int64_t id, const std::string& qualifiedName);
  void addProperty(std::unique_ptr<PropertyInfo> info);
  void resolveType(PropertyInfo& p, bool strict);
  void checkNameIsFree(const std::string& qualifiedName);
  template <class Write, class Check>
  std::int64_t unlessTakenMeanwhile(Write&& write, Check&& check);
  void checkInheritedNames(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses) const;
  void checkNewProperty(const ClassInfo* cls, const PropertyInfo& d) const;
  void forgetCreated() noexcept;
  static void computeLineage(ClassInfo* cls);
  static void touchLayout(ClassInfo* cls);

  Database& database_;
  StatementCache& statements_;
  TransactionState& transaction_;
  std::vector<std::unique_ptr<ClassInfo>> classStore_;
  std::vector<std::unique_ptr<PropertyInfo>> propertyStore_;
  std::vector<std::unique_ptr<EnumerationInfo>> enumerationStore_;
  std::unordered_map<std::string, ClassInfo*> classesByName_;
  std::unordered_map<std::int64_t, ClassInfo*> classesById_;
  std::unordered_map<std::int64_t, PropertyInfo*> propertiesById_;
  std::unordered_map<std::string, EnumerationInfo*> enumerationsByName_;
  std::unordered_map<std::int64_t, EnumerationInfo*> enumerationsById_;
  std::int64_t maxClassId_ = 0;
  std::int64_t maxPropertyId_ = 0;
  std::int64_t maxEnumerationId_ = 0;
  std::uint64_t generation_ = 0;
  bool opening_ = false;
  // Created in the open transaction, retired when it rolls back.
  std::vector<ClassInfo*> newClasses_;
  std::vector<PropertyInfo*> newProperties_;
  std::vector<EnumerationInfo*> newEnumerations_;
  boost::uuids::random_generator uuidGenerator_;
};

}  // namespace vlt::detail
