// Opening, the schema, the metamodel and transactions of the repository core.

#include "Core.hpp"

#include "MetamodelFile.hpp"
#include "sql/SqliteConnection.hpp"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/nil_generator.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <set>

namespace vlt::detail {
namespace {

// Marks a SQLite file as a repository ("VLTR").
constexpr std::int64_t applicationId = 0x564C5452;
constexpr std::int64_t formatVersion = 1;
// Automatically chosen object ids are reserved in blocks of this size inside
// a transaction; the unused rest is given back at commit.
constexpr ObjectId idBlock = 64;

struct BuiltinName {
  const char* name;
  ValueType type;
};
constexpr BuiltinName builtinNames[] = {
    {"int32", ValueType::int32},       {"uint32", ValueType::uint32}, {"int64", ValueType::int64},
    {"uint64", ValueType::uint64},     {"real64", ValueType::real64}, {"ustring", ValueType::ustring},
    {"string", ValueType::string},     {"DateTime", ValueType::dateTime}, {"UUID", ValueType::uuid},
    {"bool", ValueType::boolean},      {"qxarray", ValueType::qxarray},
};

std::string lastSegment(const std::string& qualifiedName, std::string& package) {
  const std::size_t dot = qualifiedName.rfind('.');
  if (dot == std::string::npos) {
    package.clear();
    return qualifiedName;
  }
  package = qualifiedName.substr(0, dot);
  return qualifiedName.substr(dot + 1);
}

}  // namespace

// ---------------------------------------------------------------- encoding

// Text is stored as UTF-8. Unpaired surrogates, which UTF-8 cannot express,
// are written as the three-byte form of their code unit (as WTF-8 does), so
// every UTF-16 string round-trips exactly while valid text stays plain UTF-8
// that SQL can compare and order.
std::string toStoredText(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string fromStoredText(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    std::uint32_t c = 0xFFFD;
    std::size_t length = 1;
    auto continuation = [&](std::size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
    if (b < 0x80) {
      c = b;
    } else if (b >= 0xC2 && b < 0xE0 && continuation(1)) {
      c = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      length = 2;
    } else if (b >= 0xE0 && b < 0xF0 && continuation(1) && continuation(2)) {
      c = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      length = c >= 0x800 ? 3 : 1;
      if (length == 1) c = 0xFFFD;
    } else if (b >= 0xF0 && b < 0xF5 && continuation(1) && continuation(2) && continuation(3)) {
      c = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      length = (c >= 0x10000 && c <= 0x10FFFF) ? 4 : 1;
      if (length == 1) c = 0xFFFD;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return out;
}

// DateTime is stored as microseconds since 1970-01-01; the special values
// take the ends of the range, so that they order as their meaning says.
namespace {
const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));
constexpr std::int64_t storedNegInfinity = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t storedPosInfinity = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t storedNotADateTime = std::numeric_limits<std::int64_t>::max() - 1;
}  // namespace

std::int64_t toStoredTime(const boost::posix_time::ptime& time) {
  if (time.is_neg_infinity()) return storedNegInfinity;
  if (time.is_pos_infinity()) return storedPosInfinity;
  if (time.is_not_a_date_time()) return storedNotADateTime;
  return (time - epoch).total_microseconds();
}

boost::posix_time::ptime fromStoredTime(std::int64_t value) {
  if (value == storedNegInfinity) return boost::posix_time::ptime(boost::posix_time::neg_infin);
  if (value == storedPosInfinity) return boost::posix_time::ptime(boost::posix_time::pos_infin);
  if (value == storedNotADateTime) return boost::posix_time::ptime(boost::posix_time::not_a_date_time);
  return epoch + boost::posix_time::microseconds(value);
}

// ---------------------------------------------------------------- WriteScope

WriteScope::WriteScope(Core& core, bool savepoint) : core_(core) {
  core_.checkOpen();
  if (core_.readOnly_) core_.usage("the repository was opened read-only");
  if (core_.noticeAbortedTransaction()) core_.abortedTransaction();
  if (core_.transaction_ == Core::Transaction::none) {
    core_.connection_->execute(core_.connection_->dialect().beginWrite());
    core_.transaction_ = Core::Transaction::implicitly;
    implicit_ = true;
  } else if (savepoint) {
    sql::Statement& s = core_.statement("SAVEPOINT vlt_operation");
    sql::StatementUse use(s);
    s.step();
    savepoint_ = true;
  }
}

void WriteScope::commit() {
  if (implicit_) {
    core_.transaction_ = Core::Transaction::explicitly;  // commitTransaction refuses implicit ones
    try {
      core_.commitTransaction(true);
    } catch (...) {
      done_ = true;
      throw;
    }
  } else if (savepoint_) {
    sql::Statement& s = core_.statement("RELEASE vlt_operation");
    sql::StatementUse use(s);
    s.step();
  }
  done_ = true;
}

WriteScope::~WriteScope() {
  ++core_.writeSerial_;
  if (done_) return;
  if (implicit_) {
    core_.rollbackQuietly();
  } else if (savepoint_ && core_.connection_) {
    try {
      core_.connection_->execute("ROLLBACK TO vlt_operation; RELEASE vlt_operation");
    } catch (...) {
      // The transaction itself may be gone; noticed below. The caller sees
      // the original failure.
    }
  }
  if (!implicit_) core_.noticeAbortedTransaction();
}

// ---------------------------------------------------------------- opening

Core::Core(std::unique_ptr<sql::Connection> connection, const OpenOptions& options)
    : connection_(std::move(connection)),
      filespec_(options.filespec),
      filespecUtf16_(options.filespecUtf16),
      readOnly_(options.readOnly) {}

Core::~Core() { close(); }

void Core::close() noexcept {
  if (!connection_) return;
  if (transaction_ != Transaction::none) rollbackQuietly();
  rowCache_ = RowCache{};
  statements_.clear();
  findByUuid_ = nullptr;
  insertObject_ = nullptr;
  for (auto& c : classStore_) {
    c->selectRow.reset();
    c->findWithRow.reset();
    c->deleteRow.reset();
  }
  for (auto& p : propertyStore_) {
    for (auto& s : p->statements) s.reset();
  }
  connection_.reset();
  ++schemaGeneration_;
}

std::shared_ptr<Core> Core::openSqlite(const OpenOptions& options) {
  struct stat info {};
  const bool exists = ::stat(options.path.c_str(), &info) == 0;
  if (exists && S_ISDIR(info.st_mode)) throw OpenError("the repository path names a folder", options.filespec);
  if (!exists) {
    if (errno != ENOENT) {
      throw OpenError(std::string("the repository file cannot be examined: ") + std::strerror(errno),
                      options.filespec);
    }
    const std::size_t slash = options.path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : options.path.substr(0, slash));
    struct stat folderInfo {};
    if (::stat(folder.c_str(), &folderInfo) != 0 || !S_ISDIR(folderInfo.st_mode)) {
      throw OpenError("the folder of the repository file does not exist", options.filespec);
    }
    if (!options.createIfMissing || options.readOnly) {
      throw OpenError("the repository file does not exist", options.filespec);
    }
  }
  const bool emptyFile = !exists || info.st_size == 0;
  if (exists && !options.readOnly) {
    // SQLite writes its journal (or WAL index) beside the file: a folder this
    // process may not write would only fail at the first commit.
    const std::size_t slash = options.path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : options.path.substr(0, slash));
    if (::access(folder.c_str(), W_OK) != 0) {
      throw OpenError("the folder of the repository file may not be written by this process", options.filespec);
    }
  }

  // The base metamodel is read before anything is created, so that a bad
  // file leaves no half-made repository behind.
  MetamodelFile base;
  bool haveBase = false;
  if (emptyFile && !options.readOnly && !options.baseMetamodelPath.empty()) {
    base = readMetamodelFile(options.baseMetamodelPath, options.filespec);
    haveBase = true;
  }

  sql::SqliteConnection::OpenRequest request;
  request.path = options.path;
  request.filespec = options.filespec;
  request.readOnly = options.readOnly;
  request.create = !exists;
  request.busyTimeoutMs = options.lockTimeoutMs;
  std::unique_ptr<sql::SqliteConnection> sqlite = sql::SqliteConnection::open(request);
  sql::SqliteConnection& connection = *sqlite;
  if (!options.readOnly && connection.openedReadOnly()) {
    throw OpenError("the repository file may not be written by this process", options.filespec);
  }

  // Look before touching anything: only read statements until the file is
  // known to be a repository (or a new, empty database).
  std::int64_t tables = 0;
  std::int64_t appId = 0;
  try {
    auto count = connection.prepare("SELECT count(*) FROM sqlite_master");
    if (count->step()) tables = count->columnInt64(0);
    count->reset();
    auto app = connection.prepare("PRAGMA application_id");
    if (app->step()) appId = app->columnInt64(0);
    app->reset();
  } catch (const LockedError&) {
    throw;
  } catch (const RepositoryError& e) {
    throw OpenError("the repository file is not a database or is damaged", options.filespec, e.backendCode(),
                    e.backendMessage(), e.statement());
  }
  const bool isNew = tables == 0 && appId == 0;
  if (!isNew) {
    if (appId != applicationId) {
      throw NotARepositoryError("the database is not a repository", options.filespec);
    }
    std::int64_t version = 0;
    try {
      auto v = connection.prepare("SELECT value FROM vlt_info WHERE name = 'format_version'");
      if (v->step()) version = v->columnInt64(0);
      v->reset();
    } catch (const LockedError&) {
      throw;
    } catch (const RepositoryError& e) {
      throw NotARepositoryError("the repository's tables are missing or damaged", options.filespec,
                                e.backendCode(), e.backendMessage(), e.statement());
    }
    if (version != formatVersion) {
      throw NotARepositoryError("the repository has the unknown format version " + std::to_string(version),
                                options.filespec);
    }
  } else if (options.readOnly) {
    throw NotARepositoryError("the empty database is not a repository and may not be written", options.filespec);
  }

  if (!isNew && options.maxGenerations > 1 && !options.readOnly) {
    // Shift the older generations up and save the current content as .gen1.
    const std::string stem = options.path + ".gen";
    std::remove((stem + std::to_string(options.maxGenerations - 1)).c_str());
    for (int g = options.maxGenerations - 2; g >= 1; --g) {
      std::rename((stem + std::to_string(g)).c_str(), (stem + std::to_string(g + 1)).c_str());
    }
    connection.backupTo(stem + "1");
  }

  if (!options.readOnly) {
    if (options.journalMode == 2) {
      connection.execute("PRAGMA journal_mode = WAL");
    } else if (options.journalMode == 1) {
      connection.execute("PRAGMA journal_mode = DELETE");
    }
  }

  std::shared_ptr<Core> core(new Core(std::move(sqlite), options));
  if (isNew) {
    // A file this call created is removed again when it cannot be made a
    // repository (the connection is closed first).
    struct CreatedFile {
      std::shared_ptr<Core>& core;
      const std::string& path;
      bool remove;
      ~CreatedFile() {
        if (!remove) return;
        core->close();
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::remove((path + suffix).c_str());
      }
    } created{core, options.path, !exists};
    core->beginTransaction();
    try {
      core->createSchema();
      if (haveBase) {
        for (const auto& entry : base.entries) {
          if (!entry.isClass) {
            core->createEnumeration(entry.enumeration.name, entry.enumeration.literals);
            continue;
          }
          std::vector<ClassInfo*> supers;
          for (const auto& name : entry.cls.superclasses) {
            ClassInfo* s = core->findClass(name);
            if (s == nullptr) {
              throw MetamodelFileError("the base metamodel file '" + options.baseMetamodelPath + "' names the unknown superclass \"" +
                                           name + "\" for class \"" + entry.cls.name + "\"",
                                       options.filespec);
            }
            supers.push_back(s);
          }
          ClassInfo* cls = core->createClass(entry.cls.name, supers);
          for (const auto& p : entry.cls.properties) {
            PropertyInfo d;
            d.name = p.name;
            d.typeName = p.type;
            d.lower = p.lower;
            d.upper = p.upper;
            d.composite = p.composite;
            d.ordered = p.ordered;
            d.optional = p.optional;
            d.unique = p.unique;
            d.opposite = p.opposite;
            d.documentation = p.documentation;
            try {
              core->appendProperty(cls, d);
            } catch (const MetamodelError& e) {
              throw MetamodelFileError("the base metamodel file '" + options.baseMetamodelPath + "' is inconsistent: " +
                                           e.what(),
                                       options.filespec);
            }
          }
        }
      }
      core->commitTransaction(true);
    } catch (...) {
      core->rollbackQuietly();
      throw;
    }
    created.remove = false;
  } else {
    core->loadMetamodel();
  }
  return core;
}

void Core::createSchema() {
  sql::Connection& c = *connection_;
  const std::string integer = c.dialect().integerType();
  const std::string blob = c.dialect().blobType();
  const std::string generatedId = c.dialect().generatedIdColumn();
  for (const std::string& mark : c.dialect().markAsRepository(applicationId)) c.execute(mark);
  c.execute("CREATE TABLE vlt_info (name TEXT PRIMARY KEY, value " + integer + " NOT NULL)");
  c.execute("INSERT INTO vlt_info (name, value) VALUES ('format_version', " + std::to_string(formatVersion) +
            "), ('next_object_id', 1)");
  c.execute("CREATE TABLE vlt_class (" + generatedId + ", qualified_name TEXT NOT NULL UNIQUE)");
  c.execute("CREATE TABLE vlt_superclass (class_id " + integer + " NOT NULL, position " + integer +
            " NOT NULL, superclass_id " + integer + " NOT NULL, PRIMARY KEY (class_id, position))");
  c.execute("CREATE TABLE vlt_enumeration (" + generatedId + ", qualified_name TEXT NOT NULL UNIQUE)");
  c.execute("CREATE TABLE vlt_enumeral (enumeration_id " + integer + " NOT NULL, position " + integer +
            " NOT NULL, name TEXT NOT NULL, value " + integer + " NOT NULL, PRIMARY KEY (enumeration_id, position))");
  c.execute("CREATE TABLE vlt_property (" + generatedId + ", class_id " + integer +
            " NOT NULL, name TEXT NOT NULL, type_name TEXT NOT NULL, lower_bound " + integer +
            " NOT NULL, upper_bound " + integer + " NOT NULL, composite " + integer + " NOT NULL, ordered " + integer +
            " NOT NULL, optional " + integer + " NOT NULL, is_unique " + integer +
            " NOT NULL, documentation TEXT NOT NULL, opposite TEXT NOT NULL, annotation TEXT NOT NULL, association " +
            integer + " NOT NULL, uuid " + blob + " NOT NULL, UNIQUE (class_id, name))");
  c.execute("CREATE TABLE vlt_object (id " + integer + " PRIMARY KEY, uuid " + blob + " NOT NULL UNIQUE, class_id " +
            integer + " NOT NULL, owner_id " + integer + ", owner_property_id " + integer + ", ordinal " + integer +
            " NOT NULL DEFAULT 0)");
  c.execute("CREATE INDEX vlt_object_owner ON vlt_object (owner_id, owner_property_id, ordinal)");
  c.execute("CREATE INDEX vlt_object_class ON vlt_object (class_id)");
}

ValueType Core::resolveType(const std::string& typeName, ClassInfo*& cls, EnumerationInfo*& enumeration) {
  cls = nullptr;
  enumeration = nullptr;
  for (const auto& b : builtinNames) {
    if (typeName == b.name) return b.type;
  }
  if ((cls = findClass(typeName)) != nullptr) return ValueType::object;
  if ((enumeration = findEnumeration(typeName)) != nullptr) return ValueType::enumeral;
  throw MetamodelError("the type \"" + typeName + "\" is neither a built-in type, a class nor an enumeration",
                       filespec_);
}

void Core::computeLineage(ClassInfo* cls) {
  cls->lineage.clear();
  std::vector<ClassInfo*> stack{cls};
  // Depth first, superclasses in their order, each class once.
  std::function<void(ClassInfo*)> visit = [&](ClassInfo* c) {
    if (std::find(cls->lineage.begin(), cls->lineage.end(), c) != cls->lineage.end()) return;
    cls->lineage.push_back(c);
    for (ClassInfo* s : c->superclasses) visit(s);
  };
  visit(cls);
}

ClassInfo* Core::classById(std::int64_t id) {
  auto it = classesById_.find(id);
  if (it != classesById_.end()) return it->second;
  loadMetamodel();  // another client may have added it
  it = classesById_.find(id);
  return it == classesById_.end() ? nullptr : it->second;
}

// Reads the metamodel rows this connection does not know yet (all of them
// when opening; those added by other clients later).
void Core::loadMetamodel() {
  {
    sql::StatementUse s(statement("SELECT id, qualified_name FROM vlt_enumeration WHERE id > " + p(1) + " ORDER BY id"));
    s->bindInt64(1, maxEnumerationId_);
    while (s->step()) {
      auto e = std::make_unique<EnumerationInfo>();
      e->id = s->columnInt64(0);
      e->qualifiedName = std::string(s->columnText(1));
      std::string package;
      e->name = lastSegment(e->qualifiedName, package);
      enumerationsByName_[e->qualifiedName] = e.get();
      enumerationsById_[e->id] = e.get();
      maxEnumerationId_ = std::max(maxEnumerationId_, e->id);
      enumerationStore_.push_back(std::move(e));
    }
  }
  {
    sql::StatementUse s(statement("SELECT enumeration_id, name, value FROM vlt_enumeral ORDER BY enumeration_id, position"));
    std::set<std::int64_t> fresh;
    for (auto& e : enumerationStore_) {
      if (e->literals.empty()) fresh.insert(e->id);
    }
    while (s->step()) {
      const std::int64_t id = s->columnInt64(0);
      if (fresh.count(id) == 0) continue;
      enumerationsById_[id]->literals.push_back(
          {std::string(s->columnText(1)), static_cast<std::int32_t>(s->columnInt64(2))});
    }
  }
  std::vector<ClassInfo*> added;
  {
    sql::StatementUse s(statement("SELECT id, qualified_name FROM vlt_class WHERE id > " + p(1) + " ORDER BY id"));
    s->bindInt64(1, maxClassId_);
    while (s->step()) {
      auto c = std::make_unique<ClassInfo>();
      c->id = s->columnInt64(0);
      c->qualifiedName = std::string(s->columnText(1));
      c->name = lastSegment(c->qualifiedName, c->packageName);
      c->table = "vlt_c" + std::to_string(c->id);
      classesByName_[c->qualifiedName] = c.get();
      classesById_[c->id] = c.get();
      maxClassId_ = std::max(maxClassId_, c->id);
      added.push_back(c.get());
      classStore_.push_back(std::move(c));
    }
  }
  if (!added.empty()) {
    sql::StatementUse s(statement("SELECT class_id, superclass_id FROM vlt_superclass WHERE class_id >= " + p(1) +
                                  " ORDER BY class_id, position"));
    s->bindInt64(1, added.front()->id);
    while (s->step()) {
      ClassInfo* c = classesById_.at(s->columnInt64(0));
      ClassInfo* super = classesById_.at(s->columnInt64(1));
      c->superclasses.push_back(super);
      super->subclasses.push_back(c);
    }
    for (ClassInfo* c : added) computeLineage(c);
  }
  {
    sql::StatementUse s(statement(
        "SELECT id, class_id, name, type_name, lower_bound, upper_bound, composite, ordered, optional, is_unique, "
        "documentation, opposite, annotation, association, uuid FROM vlt_property WHERE id > " +
        p(1) + " ORDER BY id"));
    s->bindInt64(1, maxPropertyId_);
    while (s->step()) {
      auto d = std::make_unique<PropertyInfo>();
      d->id = s->columnInt64(0);
      d->owner = classesById_.at(s->columnInt64(1));
      d->name = std::string(s->columnText(2));
      d->typeName = std::string(s->columnText(3));
      d->lower = static_cast<std::uint32_t>(s->columnInt64(4));
      d->upper = static_cast<std::uint32_t>(s->columnInt64(5));
      d->composite = s->columnInt64(6) != 0;
      d->ordered = s->columnInt64(7) != 0;
      d->optional = s->columnInt64(8) != 0;
      d->unique = s->columnInt64(9) != 0;
      d->documentation = std::string(s->columnText(10));
      d->opposite = std::string(s->columnText(11));
      d->annotation = std::string(s->columnText(12));
      d->association = static_cast<int>(s->columnInt64(13));
      const std::string_view uuid = s->columnBlob(14);
      if (uuid.size() == 16) std::copy(uuid.begin(), uuid.end(), d->uuid.begin());
      d->multi = d->upper >= 2;
      for (const auto& b : builtinNames) {
        if (d->typeName == b.name) d->valueType = b.type;
      }
      auto cls = classesByName_.find(d->typeName);
      auto en = enumerationsByName_.find(d->typeName);
      if (cls != classesByName_.end()) {
        d->valueType = ValueType::object;
        d->typeClass = cls->second;
      } else if (en != enumerationsByName_.end()) {
        d->valueType = ValueType::enumeral;
        d->typeEnumeration = en->second;
      }
      if (d->inClassTable()) {
        d->column = "p" + std::to_string(d->id);
        d->rowColumn = d->owner->rowColumns++;
      } else if (d->inOwnTable()) {
        d->table = "vlt_p" + std::to_string(d->id);
      }
      d->owner->properties.push_back(d.get());
      d->owner->selectRow.reset();
      d->owner->findWithRow.reset();
      propertiesById_[d->id] = d.get();
      maxPropertyId_ = std::max(maxPropertyId_, d->id);
      propertyStore_.push_back(std::move(d));
      ++schemaGeneration_;
    }
  }
}

// ---------------------------------------------------------------- metamodel

void Core::checkOpen() const {
  if (!connection_) throw UsageError("the repository is closed", filespec_);
}

void Core::usage(const std::string& message) const { throw UsageError(message, filespec_); }

void Core::notFound(ObjectId id) const {
  throw ObjectNotFoundError("the object " + std::to_string(id) + " does not exist", filespec_);
}

void Core::checkUsable(const ClassInfo* cls) const {
  checkOpen();
  if (cls == nullptr) usage("a null class handle was given");
  if (cls->retired) usage("the class \"" + cls->qualifiedName + "\" was rolled back");
}

void Core::checkUsable(const PropertyInfo* property) const {
  checkOpen();
  if (property == nullptr) usage("a null property handle was given");
  if (property->retired) usage("the property \"" + property->name + "\" was rolled back");
}

std::vector<ClassInfo*> Core::classes() const {
  std::vector<ClassInfo*> out;
  for (const auto& c : classStore_) {
    if (!c->retired) out.push_back(c.get());
  }
  return out;
}

std::vector<EnumerationInfo*> Core::enumerations() const {
  std::vector<EnumerationInfo*> out;
  for (const auto& e : enumerationStore_) {
    if (!e->retired) out.push_back(e.get());
  }
  return out;
}

ClassInfo* Core::findClass(const std::string& qualifiedName) {
  auto it = classesByName_.find(qualifiedName);
  if (it != classesByName_.end()) return it->second;
  if (!connection_) return nullptr;
  loadMetamodel();
  it = classesByName_.find(qualifiedName);
  return it == classesByName_.end() ? nullptr : it->second;
}

EnumerationInfo* Core::findEnumeration(const std::string& qualifiedName) {
  auto it = enumerationsByName_.find(qualifiedName);
  if (it != enumerationsByName_.end()) return it->second;
  if (!connection_) return nullptr;
  loadMetamodel();
  it = enumerationsByName_.find(qualifiedName);
  return it == enumerationsByName_.end() ? nullptr : it->second;
}

const PropertyInfo* Core::findProperty(const ClassInfo* cls, const std::string& name) const {
  for (const ClassInfo* c : cls->lineage) {
    for (const PropertyInfo* p : c->properties) {
      if (p->name == name) return p;
    }
  }
  return nullptr;
}

ClassInfo* Core::createClass(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses) {
  checkOpen();
  if (qualifiedName.empty()) throw MetamodelError("a class needs a name", filespec_);
  if (findClass(qualifiedName) != nullptr) {
    throw MetamodelError("the class \"" + qualifiedName + "\" exists already", filespec_);
  }
  for (const ClassInfo* s : superclasses) checkUsable(s);
  WriteScope scope(*this);
  std::int64_t id = 0;
  {
    sql::StatementUse s(statement("INSERT INTO vlt_class (qualified_name) VALUES (" + p(1) + ")"));
    s->bindText(1, qualifiedName);
    s->step();
  }
  {
    sql::StatementUse s(statement("SELECT id FROM vlt_class WHERE qualified_name = " + p(1)));
    s->bindText(1, qualifiedName);
    if (s->step()) id = s->columnInt64(0);
  }
  for (std::size_t i = 0; i < superclasses.size(); ++i) {
    sql::StatementUse s(statement("INSERT INTO vlt_superclass (class_id, position, superclass_id) VALUES (" + p(1) +
                                  ", " + p(2) + ", " + p(3) + ")"));
    s->bindInt64(1, id);
    s->bindInt64(2, static_cast<std::int64_t>(i));
    s->bindInt64(3, superclasses[i]->id);
    s->step();
  }
  const std::string table = "vlt_c" + std::to_string(id);
  connection_->execute("CREATE TABLE " + table + " (id " + connection_->dialect().integerType() + " PRIMARY KEY)");
  scope.commit();

  auto c = std::make_unique<ClassInfo>();
  c->id = id;
  c->qualifiedName = qualifiedName;
  c->name = lastSegment(qualifiedName, c->packageName);
  c->table = table;
  c->superclasses = superclasses;
  for (ClassInfo* s : superclasses) s->subclasses.push_back(c.get());
  computeLineage(c.get());
  ClassInfo* result = c.get();
  classesByName_[qualifiedName] = result;
  classesById_[id] = result;
  maxClassId_ = std::max(maxClassId_, id);
  classStore_.push_back(std::move(c));
  if (transaction_ != Transaction::none) newClasses_.push_back(result);
  ++schemaGeneration_;
  return result;
}

PropertyInfo* Core::appendProperty(ClassInfo* cls, const PropertyInfo& d) {
  checkUsable(cls);
  const std::string where = "the property \"" + d.name + "\" of class \"" + cls->qualifiedName + "\"";
  if (d.name.empty()) throw MetamodelError("a property of class \"" + cls->qualifiedName + "\" needs a name", filespec_);
  if (findProperty(cls, d.name) != nullptr) throw MetamodelError(where + " exists already", filespec_);
  // A subclass may not declare it either: a property is never repeated below.
  std::vector<ClassInfo*> below(cls->subclasses.begin(), cls->subclasses.end());
  for (std::size_t i = 0; i < below.size(); ++i) {
    for (const PropertyInfo* p : below[i]->properties) {
      if (p->name == d.name) throw MetamodelError(where + " is declared by the subclass \"" + below[i]->qualifiedName + "\"", filespec_);
    }
    below.insert(below.end(), below[i]->subclasses.begin(), below[i]->subclasses.end());
  }
  if (d.lower > d.upper && d.upper != 0) throw MetamodelError(where + " has a lower bound above its upper bound", filespec_);
  if (d.association != 0) throw MetamodelError(where + " has an unknown association kind", filespec_);
  auto info = std::make_unique<PropertyInfo>(PropertyInfo{});
  PropertyInfo& n = *info;
  n.owner = cls;
  n.name = d.name;
  n.typeName = d.typeName;
  n.valueType = resolveType(d.typeName, n.typeClass, n.typeEnumeration);
  if (d.composite && n.valueType != ValueType::object) throw MetamodelError(where + " is composite but not of a class type", filespec_);
  n.lower = d.lower;
  n.upper = d.upper;
  n.composite = d.composite;
  n.multi = d.upper >= 2;
  n.ordered = n.multi && d.ordered;
  n.optional = d.optional;
  n.unique = n.multi ? d.unique : true;
  n.documentation = d.documentation;
  n.opposite = d.opposite;
  n.annotation = d.annotation;
  n.association = d.association;
  n.uuid = d.uuid;
  if (n.uuid.is_nil()) n.uuid = uuidGenerator_();

  WriteScope scope(*this);
  {
    sql::StatementUse s(statement(
        "INSERT INTO vlt_property (class_id, name, type_name, lower_bound, upper_bound, composite, ordered, optional, "
        "is_unique, documentation, opposite, annotation, association, uuid) VALUES (" +
        p(1) + ", " + p(2) + ", " + p(3) + ", " + p(4) + ", " + p(5) + ", " + p(6) + ", " + p(7) + ", " + p(8) +
        ", " + p(9) + ", " + p(10) + ", " + p(11) + ", " + p(12) + ", " + p(13) + ", " + p(14) + ")"));
    s->bindInt64(1, cls->id);
    s->bindText(2, n.name);
    s->bindText(3, n.typeName);
    s->bindInt64(4, n.lower);
    s->bindInt64(5, n.upper);
    s->bindInt64(6, n.composite);
    s->bindInt64(7, n.ordered);
    s->bindInt64(8, n.optional);
    s->bindInt64(9, n.unique);
    s->bindText(10, n.documentation);
    s->bindText(11, n.opposite);
    s->bindText(12, n.annotation);
    s->bindInt64(13, n.association);
    s->bindBlob(14, n.uuid.data, 16);
    s->step();
  }
  {
    sql::StatementUse s(statement("SELECT id FROM vlt_property WHERE class_id = " + p(1) + " AND name = " + p(2)));
    s->bindInt64(1, cls->id);
    s->bindText(2, n.name);
    if (s->step()) n.id = s->columnInt64(0);
  }
  const sql::Dialect& dialect = connection_->dialect();
  if (n.inClassTable()) {
    n.column = "p" + std::to_string(n.id);
    connection_->execute("ALTER TABLE " + cls->table + " ADD COLUMN " + n.column + " " + dialect.columnType(n.valueType));
    if (n.valueType == ValueType::object) {
      connection_->execute("CREATE INDEX " + cls->table + "_" + n.column + " ON " + cls->table + " (" + n.column + ")");
    }
  } else if (n.inOwnTable()) {
    n.table = "vlt_p" + std::to_string(n.id);
    connection_->execute("CREATE TABLE " + n.table + " (object_id " + dialect.integerType() + " NOT NULL, ordinal " +
                         dialect.integerType() + " NOT NULL, value " + dialect.columnType(n.valueType) + ")");
    connection_->execute("CREATE INDEX " + n.table + "_object ON " + n.table + " (object_id, ordinal)");
    if (n.valueType == ValueType::object) {
      connection_->execute("CREATE INDEX " + n.table + "_value ON " + n.table + " (value)");
    }
  }
  scope.commit();

  if (n.inClassTable()) n.rowColumn = cls->rowColumns++;
  PropertyInfo* result = info.get();
  cls->properties.push_back(result);
  cls->selectRow.reset();
  cls->findWithRow.reset();
  propertiesById_[n.id] = result;
  maxPropertyId_ = std::max(maxPropertyId_, n.id);
  propertyStore_.push_back(std::move(info));
  if (transaction_ != Transaction::none) newProperties_.push_back(result);
  invalidateSchemaCaches();
  return result;
}

EnumerationInfo* Core::createEnumeration(const std::string& qualifiedName,
                                         const std::vector<std::pair<std::string, int>>& literals) {
  checkOpen();
  if (qualifiedName.empty()) throw MetamodelError("an enumeration needs a name", filespec_);
  if (findEnumeration(qualifiedName) != nullptr) {
    throw MetamodelError("the enumeration \"" + qualifiedName + "\" exists already", filespec_);
  }
  std::set<std::string> names;
  for (const auto& l : literals) {
    if (!names.insert(l.first).second) {
      throw MetamodelError("the enumeration \"" + qualifiedName + "\" has two literals \"" + l.first + "\"", filespec_);
    }
  }
  WriteScope scope(*this);
  std::int64_t id = 0;
  {
    sql::StatementUse s(statement("INSERT INTO vlt_enumeration (qualified_name) VALUES (" + p(1) + ")"));
    s->bindText(1, qualifiedName);
    s->step();
  }
  {
    sql::StatementUse s(statement("SELECT id FROM vlt_enumeration WHERE qualified_name = " + p(1)));
    s->bindText(1, qualifiedName);
    if (s->step()) id = s->columnInt64(0);
  }
  for (std::size_t i = 0; i < literals.size(); ++i) {
    sql::StatementUse s(statement("INSERT INTO vlt_enumeral (enumeration_id, position, name, value) VALUES (" + p(1) +
                                  ", " + p(2) + ", " + p(3) + ", " + p(4) + ")"));
    s->bindInt64(1, id);
    s->bindInt64(2, static_cast<std::int64_t>(i));
    s->bindText(3, literals[i].first);
    s->bindInt64(4, literals[i].second);
    s->step();
  }
  scope.commit();
  auto e = std::make_unique<EnumerationInfo>();
  e->id = id;
  e->qualifiedName = qualifiedName;
  std::string package;
  e->name = lastSegment(qualifiedName, package);
  for (const auto& l : literals) e->literals.push_back({l.first, l.second});
  EnumerationInfo* result = e.get();
  enumerationsByName_[qualifiedName] = result;
  enumerationsById_[id] = result;
  maxEnumerationId_ = std::max(maxEnumerationId_, id);
  enumerationStore_.push_back(std::move(e));
  if (transaction_ != Transaction::none) newEnumerations_.push_back(result);
  return result;
}

void Core::invalidateSchemaCaches() noexcept {
  ++schemaGeneration_;
  ++writeSerial_;
  rowCache_ = RowCache{};
}

// ---------------------------------------------------------------- transactions

sql::Statement& Core::statement(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return *it->second;
  auto prepared = connection_->prepare(sql);
  sql::Statement& result = *prepared;
  statements_.emplace(sql, std::move(prepared));
  return result;
}

// True when the caller's transaction was dropped by the back end; resets
// memory the first time it is noticed.
bool Core::noticeAbortedTransaction() noexcept {
  if (transaction_ == Transaction::aborted) return true;
  if (transaction_ == Transaction::none || !connection_ || connection_->inTransaction()) return false;
  forgetTransaction();
  transaction_ = Transaction::aborted;
  return true;
}

void Core::abortedTransaction() const {
  throw StorageError("the database rolled the transaction back after an earlier failure; roll it back and start again",
                     filespec_);
}

void Core::beginTransaction() {
  checkOpen();
  if (transaction_ != Transaction::none) usage("a transaction is open already");
  // A read-only repository may still group its reads in one transaction (one
  // consistent view, and the row cache); its writes are refused anyway.
  connection_->execute(readOnly_ ? connection_->dialect().beginRead() : connection_->dialect().beginWrite());
  transaction_ = Transaction::explicitly;
  ++writeSerial_;
}

void Core::giveBackIds() {
  if (autoNext_ >= autoEnd_) return;
  sql::StatementUse s(statement("UPDATE vlt_info SET value = " + p(1) + " WHERE name = 'next_object_id' AND value = " +
                                p(2)));
  s->bindInt64(1, autoNext_);
  s->bindInt64(2, autoEnd_);
  s->step();
}

void Core::commitTransaction(bool rollbackOnFailure) {
  checkOpen();
  if (transaction_ == Transaction::none) usage("no transaction is open");
  if (transaction_ == Transaction::implicitly) usage("the implicit transaction of performDictionaryFunction cannot be committed");
  if (noticeAbortedTransaction()) {
    transaction_ = Transaction::none;
    abortedTransaction();
  }
  try {
    giveBackIds();
    connection_->execute("COMMIT");
  } catch (...) {
    if (!connection_->inTransaction()) {
      // The back end rolled the transaction back itself.
      forgetTransaction();
    } else if (rollbackOnFailure) {
      rollbackQuietly();
    }
    throw;
  }
  newClasses_.clear();
  newProperties_.clear();
  newEnumerations_.clear();
  transaction_ = Transaction::none;
  autoNext_ = autoEnd_ = 0;
  ++writeSerial_;
}

void Core::rollbackTransaction() {
  checkOpen();
  if (transaction_ == Transaction::none) usage("no transaction is open");
  if (transaction_ == Transaction::implicitly) usage("the implicit transaction of performDictionaryFunction cannot be rolled back");
  if (transaction_ == Transaction::aborted) {
    transaction_ = Transaction::none;  // the database has done it already
    return;
  }
  rollbackQuietly();
}

void Core::rollbackQuietly() noexcept {
  if (connection_ && connection_->inTransaction()) {
    try {
      connection_->execute("ROLLBACK");
    } catch (...) {
      // Nothing more can be done: the back end keeps or drops the
      // transaction; memory is reset below either way.
    }
  }
  forgetTransaction();
}

// Forgets in memory what the transaction added to the metamodel, newest first.
void Core::forgetTransaction() noexcept {
  for (auto it = newProperties_.rbegin(); it != newProperties_.rend(); ++it) {
    PropertyInfo* p = *it;
    p->retired = true;
    auto& list = p->owner->properties;
    list.erase(std::remove(list.begin(), list.end(), p), list.end());
    if (p->inClassTable()) {
      p->owner->rowColumns = 0;
      for (PropertyInfo* q : list) {
        if (q->inClassTable()) q->rowColumn = p->owner->rowColumns++;
      }
    }
    p->owner->selectRow.reset();
    p->owner->findWithRow.reset();
    p->owner->deleteRow.reset();
    propertiesById_.erase(p->id);
    for (auto& s : p->statements) s.reset();
  }
  for (auto it = newClasses_.rbegin(); it != newClasses_.rend(); ++it) {
    ClassInfo* c = *it;
    c->retired = true;
    for (ClassInfo* s : c->superclasses) {
      s->subclasses.erase(std::remove(s->subclasses.begin(), s->subclasses.end(), c), s->subclasses.end());
    }
    classesByName_.erase(c->qualifiedName);
    classesById_.erase(c->id);
    c->selectRow.reset();
    c->findWithRow.reset();
    c->deleteRow.reset();
  }
  for (EnumerationInfo* e : newEnumerations_) {
    e->retired = true;
    enumerationsByName_.erase(e->qualifiedName);
    enumerationsById_.erase(e->id);
  }
  // Ids may be handed out again by the database: recompute the maxima.
  maxClassId_ = 0;
  for (auto& [id, c] : classesById_) maxClassId_ = std::max(maxClassId_, id);
  maxPropertyId_ = 0;
  for (auto& [id, p] : propertiesById_) maxPropertyId_ = std::max(maxPropertyId_, id);
  maxEnumerationId_ = 0;
  for (auto& [id, e] : enumerationsById_) maxEnumerationId_ = std::max(maxEnumerationId_, id);
  newClasses_.clear();
  newProperties_.clear();
  newEnumerations_.clear();
  transaction_ = Transaction::none;
  autoNext_ = autoEnd_ = 0;
  statements_.clear();
  findByUuid_ = nullptr;
  insertObject_ = nullptr;
  invalidateSchemaCaches();
}

void Core::performDictionaryFunction(const boost::function<void()>& f) {
  checkOpen();
  if (transaction_ != Transaction::none) {
    f();
    return;
  }
  beginTransaction();
  transaction_ = Transaction::implicitly;
  try {
    f();
  } catch (...) {
    rollbackQuietly();
    throw;
  }
  // `f` may have swallowed a failure after which the database dropped the
  // transaction: then nothing may be committed.
  if (noticeAbortedTransaction()) {
    transaction_ = Transaction::none;
    abortedTransaction();
  }
  transaction_ = Transaction::explicitly;
  commitTransaction(true);
}

void Core::allocateObjectIds(std::size_t count, ObjectId& first) {
  WriteScope scope(*this, false);
  std::int64_t next = 0;
  {
    sql::StatementUse s(statement("SELECT value FROM vlt_info WHERE name = 'next_object_id'"));
    if (s->step()) next = s->columnInt64(0);
  }
  if (next <= 0 || static_cast<std::uint64_t>(next) + count > static_cast<std::uint64_t>(std::numeric_limits<ObjectId>::max())) {
    usage("no more object ids: " + std::to_string(count) + " were asked for");
  }
  {
    sql::StatementUse s(statement("UPDATE vlt_info SET value = " + p(1) + " WHERE name = 'next_object_id'"));
    s->bindInt64(1, next + static_cast<std::int64_t>(count));
    s->step();
  }
  scope.commit();
  first = static_cast<ObjectId>(next);
}

ObjectId Core::nextAutomaticId() {
  if (autoNext_ < autoEnd_) return autoNext_++;
  ObjectId first = 0;
  allocateObjectIds(idBlock, first);
  autoNext_ = first + 1;
  autoEnd_ = first + idBlock;
  return first;
}

void Core::setTrace(sql::Connection::TraceCallback callback, void* context) {
  checkOpen();
  connection_->setTrace(callback, context);
}

}  // namespace vlt::detail
