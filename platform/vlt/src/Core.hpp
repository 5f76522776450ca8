#pragma once
// The repository core: the in-memory metamodel, the statement caches, the
// transaction state and every operation behind the public handles. Only the
// SQL seam (sql::Connection) touches the database.

#include "sql/Sql.hpp"

#include <vlt/Errors.hpp>
#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>

#include <boost/function.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vlt::detail {

struct EnumerationInfo {
  struct Literal {
    std::string name;
    std::int32_t value;
  };
  std::int64_t id = 0;
  std::string qualifiedName;
  std::string name;
  std::vector<Literal> literals;
  bool retired = false;
};

struct ClassInfo;

// Statements of one multi-valued (table-stored) property, prepared on first use.
enum PropertyStatement : std::size_t {
  psSelectAll,      // value (with class and uuid for links) in order
  psSelectAt,       // value at an ordinal
  psCount,
  psIndexOf,
  psInsert,         // (object, ordinal, value)
  psShiftUp,        // ordinals >= n move up
  psShiftDown,      // ordinals > n move down
  psDeleteAt,
  psDeleteAll,
  psReplaceAt,
  psIncoming,       // entries referring to an object, for links
  psUpsert,         // single-valued column write
  psNullify,        // single-valued reference column: clear references to an object
  psCountStatements
};

struct PropertyInfo {
  std::int64_t id = 0;
  ClassInfo* owner = nullptr;
  std::string name;
  std::string typeName;
  ValueType valueType = ValueType::int32;
  ClassInfo* typeClass = nullptr;
  EnumerationInfo* typeEnumeration = nullptr;
  std::uint32_t lower = 0;
  std::uint32_t upper = 1;
  bool composite = false;
  bool multi = false;
  bool ordered = false;
  bool optional = false;
  bool unique = true;
  std::string documentation;
  std::string opposite;
  std::string annotation;
  int association = 0;
  boost::uuids::uuid uuid{};
  std::string column;  // single, non-composite: the column in the owner's class table
  std::string table;   // multi, non-composite: the property's own table
  int rowColumn = -1;  // position of `column` in the owner's row select
  bool retired = false;
  std::array<std::unique_ptr<sql::Statement>, psCountStatements> statements;

  bool inObjectTable() const noexcept { return composite; }
  bool inOwnTable() const noexcept { return !composite && multi; }
  bool inClassTable() const noexcept { return !composite && !multi; }
};

struct ClassInfo {
  std::int64_t id = 0;
  std::string qualifiedName;
  std::string name;
  std::string packageName;
  std::string table;
  std::vector<ClassInfo*> superclasses;
  std::vector<ClassInfo*> subclasses;
  std::vector<PropertyInfo*> properties;  // own, in creation order
  std::vector<ClassInfo*> lineage;        // this class, then every superclass once (depth first)
  std::unique_ptr<sql::Statement> selectRow;
  std::unique_ptr<sql::Statement> findWithRow;  // find by uuid, with this class's row
  std::unique_ptr<sql::Statement> deleteRow;
  int rowColumns = 0;
  bool retired = false;

  bool conformsTo(const ClassInfo* other) const noexcept {
    for (const ClassInfo* c : lineage) {
      if (c == other) return true;
    }
    return false;
  }
};

// One column value copied out of a row.
struct Cell {
  sql::ColumnKind kind = sql::ColumnKind::null;
  std::int64_t integer = 0;
  double real = 0;
  std::string bytes;
};

class Core : public std::enable_shared_from_this<Core> {
 public:
  struct OpenOptions {
    std::string path;
    std::string filespec;
    std::u16string filespecUtf16;
    std::string baseMetamodelPath;
    int maxGenerations = 1;
    bool readOnly = false;
    bool createIfMissing = false;
    int lockTimeoutMs = 1000;
    int journalMode = 0;
  };

  /// Opens a SQLite repository; see DataModelRepository::open.
  static std::shared_ptr<Core> openSqlite(const OpenOptions& options);
  ~Core();

  void close() noexcept;
  bool isOpen() const noexcept { return connection_ != nullptr; }
  const std::u16string& filespecUtf16() const noexcept { return filespecUtf16_; }
  const std::string& filespec() const noexcept { return filespec_; }

  // Metamodel.
  std::vector<ClassInfo*> classes() const;
  std::vector<EnumerationInfo*> enumerations() const;
  ClassInfo* findClass(const std::string& qualifiedName);
  EnumerationInfo* findEnumeration(const std::string& qualifiedName);
  ClassInfo* createClass(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses);
  PropertyInfo* appendProperty(ClassInfo* cls, const PropertyInfo& description);
  EnumerationInfo* createEnumeration(const std::string& qualifiedName,
                                     const std::vector<std::pair<std::string, int>>& literals);
  const PropertyInfo* findProperty(const ClassInfo* cls, const std::string& name) const;
  std::uint64_t schemaGeneration() const noexcept { return schemaGeneration_; }

  // Transactions.
  void beginTransaction();
  void commitTransaction(bool rollbackOnFailure);
  void rollbackTransaction();
  bool inTransaction() const noexcept { return transaction_ != Transaction::none; }
  void performDictionaryFunction(const boost::function<void()>& f);
  void allocateObjectIds(std::size_t count, ObjectId& first);
  void setTrace(sql::Connection::TraceCallback callback, void* context);

  // Objects.
  ObjectRef findObject(const boost::uuids::uuid& uuid, const ClassInfo* cls);
  std::vector<ObjectRef> objectsOf(const ClassInfo* cls, bool withSubclasses, bool countOnly, std::size_t& count);
  std::vector<ObjectRef> rootObjects();
  void deleteAllObjects();
  ObjectRef makeObjectRef(const ClassInfo* cls, ObjectId id);
  ObjectRef makeObjectRef(const ClassInfo* cls, ObjectId id, const boost::uuids::uuid& uuid);
  const boost::uuids::uuid& objectIdentity(const ObjectRef& object);
  ClassInfo* runtimeClass(ObjectId id);
  void getOwnership(const ObjectRef& object, ObjectRef& owner, PropertyRef& property, std::uint64_t& ordinal);
  void deleteObject(const ObjectRef& object);
  void processIncoming(const ObjectRef& object, const std::function<void(CollectionRef&, std::size_t)>& callback);

  bool readSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, void* out);
  void writeSingle(const ObjectRef& object, const PropertyRef& property, ValueType type, const void* in);
  void readMany(const ObjectRef& object, const PropertyRef& property, ValueType type, void* out);
  void writeMany(const ObjectRef& object, const PropertyRef& property, ValueType type, const void* in,
                 bool objectIsNew);

  // Collections.
  void checkCollection(const ObjectRef& object, const PropertyRef& property, ValueType type);
  std::size_t collectionSize(const ObjectRef& object, const PropertyInfo* property);
  void collectionInsert(const ObjectRef& object, const PropertyInfo* property, ValueType type, const void* value,
                        const boost::optional<std::uint64_t>& index);
  void collectionReplace(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                         const void* value);
  void collectionRemoveAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index);
  std::size_t collectionIndexOf(const ObjectRef& object, const PropertyInfo* property, ValueType type,
                                const void* value);
  void collectionAt(const ObjectRef& object, const PropertyInfo* property, std::size_t index, ValueType type,
                    void* out);

  // Object construction (ObjectConstructor).
  struct BoundSource {
    const PropertyInfo* property;
    ValueType type;
    const void* address;
    const void* (*reader)(const void*, void*);
  };
  struct ConstructorPlan {
    std::uint64_t generation = ~std::uint64_t{0};
    struct ClassInsert {
      std::unique_ptr<sql::Statement> statement;
      std::vector<std::size_t> sources;  // indexes into the bound sources, in parameter order
      const ClassInfo* cls;
    };
    std::vector<ClassInsert> inserts;
  };
  ObjectRef construct(const ClassInfo* cls, ConstructorPlan& plan, const std::vector<BoundSource>& sources,
                      ObjectId id, const boost::uuids::uuid& uuid, const PropertyInfo* membershipProperty,
                      ObjectId ownerId, std::int32_t ordinal);
  void checkUsable(const ClassInfo* cls) const;
  void checkUsable(const PropertyInfo* property) const;
  void checkOpen() const;

  // Handles.
  ClassRef classRef(const ClassInfo* cls) { return ClassRef(shared_from_this(), cls); }
  PropertyRef propertyRef(const PropertyInfo* p) { return PropertyRef(shared_from_this(), p); }
  EnumerationRef enumerationRef(const EnumerationInfo* e) { return EnumerationRef(shared_from_this(), e); }
  EnumeralRef enumeralRef(const EnumerationInfo* e, std::size_t index) {
    return EnumeralRef(shared_from_this(), e, index, e->literals[index].value);
  }
  static const ClassInfo* info(const ClassRef& c) noexcept { return c.info_; }
  static const PropertyInfo* info(const PropertyRef& p) noexcept { return p.info_; }
  static const EnumerationInfo* info(const EnumerationRef& e) noexcept { return e.info_; }
  static const EnumerationInfo* enumerationOf(const EnumeralRef& e) noexcept { return e.enumeration_; }
  static Core* core(const ClassRef& c) noexcept { return c.core_.get(); }
  static Core* core(const PropertyRef& p) noexcept { return p.core_.get(); }
  static Core* core(const ObjectRef& o) noexcept { return o.core_.get(); }
  static const ClassInfo* classOf(const ObjectRef& o) noexcept { return o.class_; }
  static void setCollection(CollectionRefBase& c, const ObjectRef& owner, const PropertyRef& property) {
    c.owner_ = owner;
    c.property_ = property;
  }

  [[noreturn]] void usage(const std::string& message) const;
  [[noreturn]] void notFound(ObjectId id) const;

 private:
  friend class WriteScope;
  // `aborted`: the caller's transaction is still open as far as it knows, but
  // the back end dropped it after a failure (SQLite does so on some I/O
  // errors). Memory has been reset; every write is refused until the caller
  // ends the transaction, so that nothing it writes next can commit on its own.
  enum class Transaction { none, explicitly, implicitly, aborted };

  Core(std::unique_ptr<sql::Connection> connection, const OpenOptions& options);
  sql::Statement& statement(const std::string& sql);
  sql::Statement& propertyStatement(const PropertyInfo* property, PropertyStatement which);
  std::string p(int n) const { return connection_->dialect().parameter(n); }

  void createSchema();
  void loadMetamodel();
  void applyBaseMetamodel(const std::string& path);
  void forgetTransaction() noexcept;
  bool noticeAbortedTransaction() noexcept;
  [[noreturn]] void abortedTransaction() const;
  void rollbackQuietly() noexcept;
  void giveBackIds();
  ObjectId nextAutomaticId();
  ValueType resolveType(const std::string& typeName, ClassInfo*& cls, EnumerationInfo*& enumeration);
  void computeLineage(ClassInfo* cls);
  void invalidateSchemaCaches() noexcept;
  const PropertyInfo* checkAccess(const ObjectRef& object, const PropertyRef& property, ValueType type) const;
  ClassInfo* requireObject(ObjectId id);
  const std::vector<Cell>* fetchRow(const ClassInfo* cls, ObjectId id);
  std::string rowColumns(const ClassInfo* cls, const char* alias) const;
  std::vector<ObjectRef> children(ObjectId owner, const PropertyInfo* property);
  void attachChildren(ObjectId owner, const PropertyInfo* property, const std::vector<ObjectId>& children);
  void detachChild(ObjectId child);
  void checkNoCycle(ObjectId owner, ObjectId child);
  void removeLinkAt(ObjectId owner, const PropertyInfo* property, std::int64_t ordinal);
  void deleteOne(ObjectId id, const ClassInfo* cls);

  void bindValue(sql::Statement& s, int index, ValueType type, const void* value, const PropertyInfo* property);
  bool decodeValue(const Cell& cell, ValueType type, void* out, const PropertyInfo* property);
  void appendValue(void* vector, ValueType type, const Cell& cell, const PropertyInfo* property);
  std::string uniquenessKey(ValueType type, const void* value);
  ClassInfo* classById(std::int64_t id);

  std::unique_ptr<sql::Connection> connection_;
  std::string filespec_;
  std::u16string filespecUtf16_;
  bool readOnly_ = false;

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
  std::uint64_t schemaGeneration_ = 0;

  Transaction transaction_ = Transaction::none;
  std::vector<ClassInfo*> newClasses_;  // created in the open transaction
  std::vector<PropertyInfo*> newProperties_;
  std::vector<EnumerationInfo*> newEnumerations_;
  ObjectId autoNext_ = 0;
  ObjectId autoEnd_ = 0;

  std::unordered_map<std::string, std::unique_ptr<sql::Statement>> statements_;
  std::uint64_t writeSerial_ = 1;
  struct RowCache {
    const ClassInfo* cls = nullptr;
    ObjectId id = 0;
    std::uint64_t serial = 0;
    bool present = false;
    std::vector<Cell> cells;
  } rowCache_;
  std::string text_;  // scratch for text conversion
  sql::Statement* findByUuid_ = nullptr;    // owned by statements_
  sql::Statement* insertObject_ = nullptr;  // owned by statements_
  boost::uuids::random_generator uuidGenerator_;
};

/// Makes the calls between its construction and commit() one atomic write:
/// outside a transaction an implicit one, inside one a savepoint (unless
/// `savepoint` is false: the caller then undoes a failure itself).
class WriteScope {
 public:
  explicit WriteScope(Core& core, bool savepoint = true);
  ~WriteScope();
  WriteScope(const WriteScope&) = delete;
  WriteScope& operator=(const WriteScope&) = delete;
  void commit();

 private:
  Core& core_;
  bool implicit_ = false;
  bool savepoint_ = false;
  bool done_ = false;
};

// Value encoding shared with the tests of the storage format.
std::string toStoredText(std::u16string_view text);
std::u16string fromStoredText(std::string_view bytes);
std::int64_t toStoredTime(const boost::posix_time::ptime& time);
boost::posix_time::ptime fromStoredTime(std::int64_t value);

}  // namespace vlt::detail
