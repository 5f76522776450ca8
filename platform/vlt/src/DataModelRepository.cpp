// DataModelRepository: opening, the metamodel calls and transactions.

#include "Core.hpp"
#include "PostgresTarget.hpp"

#include <vlt/Repository.hpp>

#include <fl/i18n/Unicode.hpp>

namespace vlt {

using detail::Core;
using detail::HandleAccess;

namespace {
const std::u16string emptyText16;

// A closed repository has no core: every call but open and close says so.
Core& requireCore(const detail::CorePtr& core) { return Core::of(core, "the repository is closed"); }
}  // namespace

DataModelRepository::DataModelRepository() = default;
DataModelRepository::~DataModelRepository() { close(); }
DataModelRepository::DataModelRepository(DataModelRepository&& other) noexcept : core_(std::move(other.core_)) {}
DataModelRepository& DataModelRepository::operator=(DataModelRepository&& other) noexcept {
  if (this != &other) {
    close();
    core_ = std::move(other.core_);
  }
  return *this;
}

void DataModelRepository::open(const std::string& connectionString, const std::string& baseMetamodelPath,
                               const ServiceOptions& options) {
  open(fl::i18n::utf8_to_ustring(connectionString), fl::i18n::utf8_to_ustring(baseMetamodelPath), options);
}

namespace {

// Largest accepted options: beyond them a value is a mistake (an overflowing
// wait, hours of renames at open), not a wish.
constexpr std::int32_t maxLockTimeoutSeconds = 86400;
constexpr std::int32_t maxGenerationsLimit = 1000;
// SQLite takes the cache size as an int.
constexpr std::int64_t maxPageCacheKiB = 0x7FFFFFFF;

bool startsWithFileScheme(const std::u16string& text) {
  if (text.size() < 5) return false;
  const std::u16string scheme = text.substr(0, 5);
  return (scheme[0] == u'f' || scheme[0] == u'F') && (scheme[1] == u'i' || scheme[1] == u'I') &&
         (scheme[2] == u'l' || scheme[2] == u'L') && (scheme[3] == u'e' || scheme[3] == u'E') && scheme[4] == u':';
}

detail::Core::OpenOptions openOptions(const std::u16string& connectionString, const std::u16string& baseMetamodelPath,
                                      const DataModelRepository::ServiceOptions& options) {
  detail::Core::OpenOptions o;
  const std::unique_ptr<Uri> uri = Uri::parse(connectionString);
  if (!uri) {
    throw OpenError("the connection string is not valid: \"" + fl::i18n::ustring_to_utf8(connectionString) + "\"");
  }
  if (uri->kind() == Uri::postgresql) {
    detail::PostgresTarget target = detail::postgresTarget(uri->fullText());
    o.request.location = std::move(target.libpqUri);
    o.request.filespec = std::move(target.filespec);
    o.postgresql = true;
  } else {
    // A plain path names the file literally, "?" included: it is what a
    // caller gets from Uri::getLocation of a file: URI (where "?" is written
    // %3F). Parameters only come with a file: URI.
    o.request.location = startsWithFileScheme(connectionString) ? uri->getLocation()
                                                                 : fl::i18n::ustring_to_utf8(connectionString);
    o.request.filespec = o.request.location;
  }
  // The file system would cut the path at the NUL, and open another file.
  if (!o.postgresql && o.request.location.find('\0') != std::string::npos)
    throw OpenError("the repository path holds a NUL character", fl::i18n::ustring_to_utf8(connectionString));
  o.filespecUtf16 = fl::i18n::utf8_to_ustring(o.request.filespec);
  o.baseMetamodelPath = fl::i18n::ustring_to_utf8(baseMetamodelPath);
  const std::string& filespec = o.request.filespec;
  if (options.maxGenerations < 1 || options.maxGenerations > maxGenerationsLimit) {
    throw UsageError("maxGenerations must be from 1 to " + std::to_string(maxGenerationsLimit) + ", not " +
                         std::to_string(options.maxGenerations),
                     filespec);
  }
  if (options.journalMode < 0 || options.journalMode > 2) {
    throw UsageError("the journal mode must be 0, 1 or 2, not " + std::to_string(options.journalMode), filespec);
  }
  if (options.lockTimeoutSeconds < 0 || options.lockTimeoutSeconds > maxLockTimeoutSeconds) {
    throw UsageError("the lock timeout must be from 0 to " + std::to_string(maxLockTimeoutSeconds) + " seconds, not " +
                         std::to_string(options.lockTimeoutSeconds),
                     filespec);
  }
  if (options.pageCacheKiB < 0 || options.pageCacheKiB > maxPageCacheKiB) {
    throw UsageError("the page cache must be from 0 to " + std::to_string(maxPageCacheKiB) + " KiB, not " +
                         std::to_string(options.pageCacheKiB),
                     filespec);
  }
  o.maxGenerations = options.maxGenerations;
  o.request.readOnly = options.readOnly != 0;
  o.request.createIfMissing = options.createIfMissing != 0;
  o.request.lockTimeoutMs = options.lockTimeoutSeconds * 1000;
  o.journalMode = static_cast<sql::JournalMode>(options.journalMode);
  o.pageCacheKiB = options.pageCacheKiB != 0 ? options.pageCacheKiB : DataModelRepository::defaultPageCacheKiB;
  return o;
}

}  // namespace

void DataModelRepository::open(const std::u16string& connectionString, const std::u16string& baseMetamodelPath,
                               const ServiceOptions& options) {
  if (isOpen()) throw UsageError("the repository is open already", core_->filespec());
  // UTF-8 has no form for an unpaired surrogate: two different names would
  // open one file.
  if (fl::i18n::find_unpaired_surrogate(connectionString) != std::u16string::npos)
    throw OpenError("the connection string holds an unpaired surrogate, which no file name can hold",
                    fl::i18n::ustring_to_utf8(connectionString));
  Core::OpenOptions o = openOptions(connectionString, baseMetamodelPath, options);
  o.request.interrupted = interrupted_.get();
  if (interrupted_->load()) throw OpenError("the opening was interrupted", o.request.filespec);
  core_ = Core::open(o);
}

void DataModelRepository::interruptOpen() noexcept { interrupted_->store(true); }

bool DataModelRepository::isOpen() const noexcept { return core_ && core_->isOpen(); }
const std::u16string& DataModelRepository::filespec() const noexcept {
  return isOpen() ? core_->filespecUtf16() : emptyText16;
}
void DataModelRepository::close() noexcept {
  // From the trace callback, in the middle of a statement: not now.
  if (core_ && core_->tracing()) return;
  if (core_) core_->close();
  core_.reset();
  interrupted_->store(false);
}

MetamodelRef DataModelRepository::metamodel() const {
  requireCore(core_).checkOpen();
  return MetamodelRef(core_);
}
DataModelRef DataModelRepository::defaultDataModel() const {
  requireCore(core_).checkOpen();
  return DataModelRef(core_);
}

ClassRef DataModelRepository::createClass(const std::string& qualifiedName, const std::set<ClassRef>& superclasses) {
  Core& core = requireCore(core_);
  std::vector<detail::ClassInfo*> supers;
  for (const ClassRef& s : superclasses) {
    if (s.isNull()) core.usage("a null superclass was given for \"" + qualifiedName + "\"");
    if (s.core_ != core_) core.usage("a superclass of another repository was given for \"" + qualifiedName + "\"");
    supers.push_back(const_cast<detail::ClassInfo*>(HandleAccess::info(s)));
  }
  return core.handles().classRef(core.schema().createClass(qualifiedName, supers));
}

PropertyRef DataModelRepository::appendPropertyToClass(const ClassRef& cls, const std::string& name,
                                                       const std::string& typeName, const std::string& documentation,
                                                       std::uint32_t lower, std::uint32_t upper, bool composite,
                                                       bool ordered, bool valueIsOptional,
                                                       const std::string& oppositeName,
                                                       AssociationByOption association, const std::string& annotation,
                                                       const boost::uuids::uuid& propertyUuid, bool unique) {
  Core& core = requireCore(core_);
  if (cls.isNull()) core.usage("a null class handle was given for the property \"" + name + "\"");
  if (cls.core_ != core_) core.usage("the class \"" + cls.qualifiedName() + "\" belongs to another repository");
  detail::PropertyInfo d;
  d.name = name;
  d.typeName = typeName;
  d.documentation = documentation;
  d.lower = lower;
  d.upper = upper;
  d.composite = composite;
  d.ordered = ordered;
  d.optional = valueIsOptional;
  d.opposite = oppositeName;
  d.association = association;
  d.annotation = annotation;
  d.uuid = propertyUuid;
  d.unique = unique;
  auto* owner = const_cast<detail::ClassInfo*>(HandleAccess::info(cls));
  return core.handles().propertyRef(core.schema().appendProperty(owner, d));
}

EnumerationRef DataModelRepository::createEnumeration(const std::string& qualifiedName,
                                                      const std::vector<std::pair<std::string, int>>& literals) {
  Core& core = requireCore(core_);
  return core.handles().enumerationRef(core.schema().createEnumeration(qualifiedName, literals));
}

void DataModelRepository::beginTransaction() { requireCore(core_).transaction().begin(false); }
void DataModelRepository::beginReadTransaction() { requireCore(core_).transaction().begin(true); }
void DataModelRepository::commitTransaction() { requireCore(core_).transaction().commit(true); }
void DataModelRepository::rollbackTransaction() { requireCore(core_).transaction().rollback(); }
void DataModelRepository::unsafeCommitPotentiallyFailingTransaction() { requireCore(core_).transaction().commit(false); }
bool DataModelRepository::inTransaction() const noexcept { return core_ && core_->isOpen() && core_->transaction().active(); }
void DataModelRepository::performDictionaryFunction(const boost::function<void()>& f) {
  // `f` may close this repository or move another into it: the core it runs
  // on stays alive until the call has ended (and then finds it closed).
  const detail::CorePtr core = core_;
  requireCore(core).transaction().performDictionaryFunction(f);
}
void DataModelRepository::allocateObjectIds(std::size_t count, ObjectId& first) {
  first = requireCore(core_).ids().reserve(count);
}
ObjectRef DataModelRepository::getObjectRef(ObjectId id, const ClassRef& cls) const {
  Core& core = requireCore(core_);
  core.schema().checkUsable(core.ownClass(cls));
  return core.handles().objectRef(HandleAccess::info(cls), id);
}
void DataModelRepository::setTraceCallback(TraceCallback callback, void* context) {
  requireCore(core_).connection().setTrace(callback, context);
}

DataModelRepository::RoundTrips DataModelRepository::roundTrips() const {
  const sql::ServerTraffic traffic = requireCore(core_).connection().traffic();
  return RoundTrips{traffic.roundTrips, traffic.preparations};
}

}  // namespace vlt
