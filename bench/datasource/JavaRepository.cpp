#include "JavaRepository.hpp"

#include <vlt/ObjectConstructor.hpp>
#include <vlt/Repository.hpp>

#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <unordered_map>

namespace java_model {

// ---------------------------------------------------------------- layout

const std::vector<ClassLayout>& classLayouts() {
  constexpr std::uint32_t many = 0xFFFFFFFFu;
  // A class-typed single value without an opposite may be absent; the
  // attributes are not optional; collections are unique (references always
  // are); only collections keep an order flag.
  static const std::vector<ClassLayout> all = {
      {Kind::package,
       {{"classes", "java.Class", 0, many, true, true, false, true},
        {"name", "ustring", 0, 1, false, false, false, true},
        {"packages", "java.Package", 0, many, true, true, false, true}}},
      {Kind::cls,
       {{"implements", "java.Class", 0, many, false, true, false, true},
        {"isAbstract", "bool", 0, 1, false, false, false, true},
        {"methods", "java.Method", 0, many, true, true, false, true},
        {"name", "ustring", 0, 1, false, false, false, true},
        {"sourceSize", "int64", 0, 1, false, false, false, true},
        {"superclass", "java.Class", 0, 1, false, false, true, true}}},
      {Kind::method,
       {{"calls", "java.Method", 0, many, false, false, false, true},
        {"name", "ustring", 0, 1, false, false, false, true},
        {"returnType", "java.Class", 0, 1, false, false, true, true},
        {"statements", "java.Statement", 0, many, true, true, false, true},
        {"visibility", "java.Visibility", 0, 1, false, false, false, true}}},
      {Kind::statement,
       {{"kind", "java.StatementKind", 0, 1, false, false, false, true},
        {"line", "int32", 0, 1, false, false, false, true},
        {"text", "ustring", 0, 1, false, false, false, true}}},
  };
  return all;
}

const std::vector<EnumerationLayout>& enumerationLayouts() {
  static const std::vector<EnumerationLayout> all = {
      {"java.StatementKind", {{"Declaration", 1}, {"Expression", 0}, {"If", 3}, {"Loop", 4}, {"Return", 2}}},
      {"java.Visibility", {{"Package", 2}, {"Private", 3}, {"Protected", 1}, {"Public", 0}}},
  };
  return all;
}

namespace {

const char* const packageInfoClass = "qm.zero.vlt_datasource.PackageInfo";

[[noreturn]] void differs(const std::string& what) { throw std::runtime_error(what); }

// ---------------------------------------------------------------- check sum

// FNV-1a over 64-bit words: one element's fields in a fixed order.
class Fold {
 public:
  void add(std::uint64_t v) { h_ = (h_ ^ v) * 0x100000001b3ULL; }
  void add(const boost::uuids::uuid& u) {
    std::uint64_t high = 0, low = 0;
    for (int i = 0; i < 8; ++i) {
      high = high << 8 | u.data[i];
      low = low << 8 | u.data[8 + i];
    }
    add(high);
    add(low);
  }
  void add(const std::u16string& s) {
    add(s.size());
    for (const char16_t c : s) add(c);
  }
  void add(const char* s) {
    for (; *s != 0; ++s) add(static_cast<unsigned char>(*s));
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

// An unordered collection's targets: a sum of their folded uuids.
std::uint64_t unorderedPart(const boost::uuids::uuid& u) {
  Fold f;
  f.add(u);
  return f.value();
}

// An unordered collection folded in: its size and the sum of its targets.
void addUnordered(Fold& f, const std::vector<boost::uuids::uuid>& targets) {
  std::uint64_t sum = 0;
  for (const boost::uuids::uuid& t : targets) sum += unorderedPart(t);
  f.add(targets.size());
  f.add(sum);
}

}  // namespace

const char* owningPropertyName(Kind kind) {
  static const char* const names[kindCount] = {"packages", "classes", "methods", "statements"};
  return names[static_cast<std::size_t>(kind)];
}

std::uint64_t checksumOf(const ElementValues& v, Fields fields) {
  Fold f;
  f.add(static_cast<std::uint64_t>(v.kind));
  f.add(v.uuid);
  f.add(v.owner);
  f.add(v.owningProperty);
  f.add(v.position);
  f.add(v.name);
  const bool links = fields == Fields::all;
  switch (v.kind) {
    case Kind::package:
      break;
    case Kind::cls:
      f.add(v.isAbstract ? 1 : 0);
      f.add(static_cast<std::uint64_t>(v.sourceSize));
      f.add(v.target);
      if (links) {
        f.add(v.links.size());
        for (const boost::uuids::uuid& l : v.links) f.add(l);
      }
      break;
    case Kind::method:
      f.add(static_cast<std::uint64_t>(v.visibility));
      f.add(v.target);
      if (links) {
        addUnordered(f, v.links);
        addUnordered(f, v.uses);
      }
      break;
    case Kind::statement:
      f.add(static_cast<std::uint64_t>(static_cast<std::int64_t>(v.line)));
      f.add(static_cast<std::uint64_t>(v.statementKind));
      break;
  }
  return f.value();
}

std::uint64_t oppositeEntry(const boost::uuids::uuid& holder, const boost::uuids::uuid& referrer) {
  Fold f;
  f.add("usedBy");
  f.add(holder);
  f.add(referrer);
  return f.value();
}

std::uint64_t usedByChecksum(const ElementValues& v) {
  std::uint64_t sum = 0;
  for (const boost::uuids::uuid& u : v.uses) sum += oppositeEntry(u, v.uuid);
  return sum;
}

void valuesOf(const Element& e, std::uint64_t seed, ElementValues& out) {
  auto target = [&](Kind kind, std::int64_t ordinal) {
    return ordinal < 0 ? boost::uuids::uuid{} : uuidOf(seed, kind, static_cast<std::uint64_t>(ordinal));
  };
  out.kind = e.kind;
  out.uuid = uuidOf(seed, e.kind, e.ordinal);
  out.owner = e.owned ? uuidOf(seed, e.ownerKind(), e.ownerOrdinal) : boost::uuids::uuid{};
  out.owningProperty = e.owned ? owningPropertyName(e.kind) : "";
  out.position = e.position;
  out.name = e.name;
  out.isAbstract = e.isAbstract;
  out.sourceSize = e.sourceSize;
  out.target = e.kind == Kind::cls ? target(Kind::cls, e.superclass)
                                   : e.kind == Kind::method ? target(Kind::cls, e.returnType) : boost::uuids::uuid{};
  out.links.clear();
  if (e.kind == Kind::cls)
    for (std::uint32_t i = 0; i < e.implementsCount; ++i) out.links.push_back(target(Kind::cls, e.implements[i]));
  out.uses.clear();
  if (e.kind == Kind::method) {
    for (std::uint32_t i = 0; i < e.callCount; ++i) out.links.push_back(target(Kind::method, e.calls[i]));
    for (std::uint32_t i = 0; i < e.useCount; ++i) out.uses.push_back(target(Kind::cls, e.uses[i]));
  }
  out.visibility = e.visibility;
  out.line = e.line;
  out.statementKind = e.statementKind;
}

namespace {

// ---------------------------------------------------------------- layout check

std::string describe(const PropertyLayout& p) {
  return std::string(p.name) + " : " + p.type + " [" + std::to_string(p.lower) + ".." + std::to_string(p.upper) +
         "]" + (p.composite ? " composite" : "") + (p.ordered ? " ordered" : "") + (p.optional ? " optional" : "") +
         (p.unique ? " unique" : "");
}

void checkLayout(const vlt::MetamodelRef& metamodel) {
  const vlt::ClassRef modelElement = metamodel.findClass("ModelElement");
  for (const ClassLayout& layout : classLayouts()) {
    const char* name = kindName(layout.kind);
    const vlt::ClassRef cls = metamodel.findClass(name);
    if (!cls) differs(std::string("no class ") + name);
    const std::vector<vlt::ClassRef> superclasses = cls.superclasses();
    if (superclasses.size() != 1 || superclasses.front() != modelElement)
      differs(std::string(name) + " does not derive from ModelElement alone");
    std::vector<vlt::PropertyRef> own = cls.ownProperties();
    std::sort(own.begin(), own.end(), [](const vlt::PropertyRef& a, const vlt::PropertyRef& b) {
      return a.name() < b.name();
    });
    std::string found, expected;
    for (const vlt::PropertyRef& p : own) {
      found += describe({p.name().c_str(), p.typeName().c_str(), p.lowerBound(), p.upperBound(), p.isComposite(),
                         p.isOrdered(), p.valueIsOptional(), p.isUnique()}) +
               "; ";
    }
    for (const PropertyLayout& p : layout.properties) expected += describe(p) + "; ";
    if (found != expected) differs(std::string(name) + " has the properties " + found + "expected " + expected);
  }
  for (const EnumerationLayout& layout : enumerationLayouts()) {
    const vlt::EnumerationRef enumeration = metamodel.findEnumeration(layout.name);
    if (!enumeration) differs(std::string("no enumeration ") + layout.name);
    std::vector<std::pair<std::string, int>> literals;
    for (const vlt::EnumeralRef& e : enumeration.enumerals()) literals.emplace_back(e.name(), e.id());
    if (literals != layout.literals) differs(std::string("the literals of ") + layout.name + " differ");
  }
}

}  // namespace

// ---------------------------------------------------------------- writing

namespace {

// The java classes, enumerations and properties, made in a repository that
// holds none (enumerations and classes first: a property may be typed by
// any of them), and the package-version record of the family.
std::array<vlt::ClassRef, kindCount> createMetamodel(vlt::DataModelRepository& repo) {
  for (const EnumerationLayout& e : enumerationLayouts()) repo.createEnumeration(e.name, e.literals);
  const vlt::ClassRef modelElement = repo.metamodel().findClass("ModelElement");
  std::array<vlt::ClassRef, kindCount> classes;
  for (const ClassLayout& c : classLayouts())
    classes[static_cast<std::size_t>(c.kind)] = repo.createClass(kindName(c.kind), {modelElement});
  for (const ClassLayout& c : classLayouts()) {
    for (const PropertyLayout& p : c.properties) {
      repo.appendPropertyToClass(classes[static_cast<std::size_t>(c.kind)], p.name, p.type, std::string(), p.lower,
                                 p.upper, p.composite, p.ordered, p.optional, std::string(),
                                 vlt::DataModelRepository::byReference, std::string(), boost::uuids::uuid{}, p.unique);
    }
  }
  const vlt::ClassRef info = repo.metamodel().findClass(packageInfoClass);
  const std::u16string familyValue = family, versionValue = version;
  vlt::ObjectConstructor record(info);
  record.setPropertyValueSource(info.findProperty("family"), &familyValue);
  record.setPropertyValueSource(info.findProperty("version"), &versionValue);
  record.createObject(repo.defaultDataModel());
  return classes;
}

// Writes generated elements through one constructor per kind, whose value
// sources are the cells below (shared where the classes share a name). Ids
// follow creation order from `first`; references name classes and methods
// by ordinal, so their ids are kept.
class ElementWriter {
 public:
  ElementWriter(vlt::DataModelRepository& repo, const std::array<vlt::ClassRef, kindCount>& classes,
                vlt::ObjectId first, std::uint64_t seed)
      : repo_(repo), classes_(classes), first_(first), seed_(seed) {
    implements_ = property(Kind::cls, "implements");
    calls_ = property(Kind::method, "calls");
    owning_ = {property(Kind::package, "packages"), property(Kind::package, "classes"), property(Kind::cls, "methods"),
               property(Kind::method, "statements")};
    const vlt::EnumerationRef visibility = repo.metamodel().findEnumeration("java.Visibility");
    const vlt::EnumerationRef statementKind = repo.metamodel().findEnumeration("java.StatementKind");
    for (int i = 0; i < 4; ++i) visibilities_[static_cast<std::size_t>(i)] = visibility.findEnumeral(i);
    for (int i = 0; i < 5; ++i) statementKinds_[static_cast<std::size_t>(i)] = statementKind.findEnumeral(i);
    for (std::size_t k = 0; k < kindCount; ++k) {
      constructors_[k] = std::make_unique<vlt::ObjectConstructor>(classes_[k]);
      constructors_[k]->setCompositionMembershipSource(&membership_, &ownerId_, &ordinal_);
    }
    source(Kind::package, "name", &name_);
    source(Kind::cls, "name", &name_);
    source(Kind::cls, "isAbstract", &isAbstract_);
    source(Kind::cls, "sourceSize", &sourceSize_);
    source(Kind::cls, "superclass", &superclass_);
    source(Kind::method, "name", &name_);
    source(Kind::method, "visibility", &visibility_);
    source(Kind::method, "returnType", &returnType_);
    source(Kind::statement, "text", &name_);
    source(Kind::statement, "line", &line_);
    source(Kind::statement, "kind", &statementKind_);
  }

  void write(const Element& e) {
    name_ = e.name;
    membership_ = e.owned ? owning_[static_cast<std::size_t>(e.kind)] : vlt::PropertyRef();
    ownerId_ = e.owned ? first_ + static_cast<vlt::ObjectId>(e.ownerIndex) : 0;
    ordinal_ = e.owned ? static_cast<std::int32_t>(e.position) : 0;
    const vlt::ObjectId id = first_ + static_cast<vlt::ObjectId>(e.index);
    targets_.clear();
    setCells(e, id);
    vlt::ObjectConstructor& c = *constructors_[static_cast<std::size_t>(e.kind)];
    c.setObjectID(id);
    c.setObjectUUID(uuidOf(seed_, e.kind, e.ordinal));
    vlt::ObjectRef object = c.createObject(repo_.defaultDataModel());
    if (!targets_.empty()) object.setPropertyValue(e.kind == Kind::cls ? implements_ : calls_, targets_, true);
  }

 private:
  vlt::PropertyRef property(Kind kind, const char* name) const {
    const vlt::PropertyRef p = classes_[static_cast<std::size_t>(kind)].findProperty(name);
    if (!p) differs(std::string("no property ") + name);
    return p;
  }
  template <class T>
  void source(Kind kind, const char* name, T* cell) {
    constructors_[static_cast<std::size_t>(kind)]->setPropertyValueSource(property(kind, name), cell);
  }
  vlt::ObjectRef classAt(std::int64_t ordinal) const {
    if (ordinal < 0) return vlt::ObjectRef();
    return repo_.getObjectRef(classIds_[static_cast<std::size_t>(ordinal)], classes_[static_cast<std::size_t>(Kind::cls)]);
  }

  // The cells of `e`'s kind, and the targets of its collection of references.
  void setCells(const Element& e, vlt::ObjectId id) {
    switch (e.kind) {
      case Kind::package:
        break;
      case Kind::cls:
        isAbstract_ = e.isAbstract;
        sourceSize_ = e.sourceSize;
        superclass_ = classAt(e.superclass);
        for (std::uint32_t i = 0; i < e.implementsCount; ++i) targets_.push_back(classAt(e.implements[i]));
        classIds_.push_back(id);
        break;
      case Kind::method:
        visibility_ = visibilities_[e.visibility];
        returnType_ = classAt(e.returnType);
        for (std::uint32_t i = 0; i < e.callCount; ++i)
          targets_.push_back(
              repo_.getObjectRef(methodIds_[e.calls[i]], classes_[static_cast<std::size_t>(Kind::method)]));
        methodIds_.push_back(id);
        break;
      case Kind::statement:
        line_ = e.line;
        statementKind_ = statementKinds_[e.statementKind];
        break;
    }
  }

  vlt::DataModelRepository& repo_;
  const std::array<vlt::ClassRef, kindCount>& classes_;
  const vlt::ObjectId first_;
  const std::uint64_t seed_;
  vlt::PropertyRef implements_, calls_;
  std::array<vlt::PropertyRef, kindCount> owning_;  // the composite property of each kind's owner
  std::array<vlt::EnumeralRef, 4> visibilities_;
  std::array<vlt::EnumeralRef, 5> statementKinds_;
  std::array<std::unique_ptr<vlt::ObjectConstructor>, kindCount> constructors_;
  // The cells the constructors read.
  std::u16string name_;
  bool isAbstract_ = false;
  std::int64_t sourceSize_ = 0;
  std::int32_t line_ = 0;
  vlt::ObjectRef superclass_, returnType_;
  vlt::EnumeralRef visibility_, statementKind_;
  vlt::PropertyRef membership_;
  std::int32_t ownerId_ = 0, ordinal_ = 0;
  std::vector<vlt::ObjectId> classIds_, methodIds_;
  std::vector<vlt::ObjectRef> targets_;
};

}  // namespace

void writeThroughRepository(const std::string& path, const std::string& baseMetamodel, std::size_t elements,
                            std::uint64_t seed) {
  vlt::DataModelRepository repo;
  vlt::DataModelRepository::ServiceOptions options;  // the data source's SQLite connector's options
  options.createIfMissing = 1;
  repo.open(path, baseMetamodel, options);
  repo.beginTransaction();
  const std::array<vlt::ClassRef, kindCount> classes = createMetamodel(repo);
  vlt::ObjectId first = 0;
  repo.allocateObjectIds(elements, first);
  ElementWriter writer(repo, classes, first, seed);
  generate(elements, seed, [&](const Element& e) { writer.write(e); });
  repo.commitTransaction();
  repo.close();
}

// ---------------------------------------------------------------- checking

std::uint64_t expectedChecksum(std::size_t elements, std::uint64_t seed) {
  std::uint64_t sum = 0;
  ElementValues values;
  generate(elements, seed, [&](const Element& e) {
    valuesOf(e, seed, values);
    sum += checksumOf(values);
  });
  return sum;
}

namespace {

// Throws unless the data model holds one package-version record of the java
// family, of this version.
void checkFamilyRecord(const vlt::MetamodelRef& metamodel, const vlt::DataModelRef& data) {
  const vlt::ClassRef info = metamodel.findClass(packageInfoClass);
  if (!info) differs("no package-version class");
  std::size_t java = 0;
  for (const vlt::ObjectRef& record : data.objectsOf(info)) {
    std::u16string recordFamily, recordVersion;
    record.getPropertyValue(info.findProperty("family"), recordFamily);
    record.getPropertyValue(info.findProperty("version"), recordVersion);
    if (recordFamily != family) continue;
    if (recordVersion != version) differs("the java family is recorded with another version");
    ++java;
  }
  if (java != 1) differs("the java family is recorded " + std::to_string(java) + " times");
}

// Every stored object's uuid by object id, for the references and owners.
class StoredUuids {
 public:
  StoredUuids(const vlt::MetamodelRef& metamodel, const vlt::DataModelRef& data, std::size_t elements) {
    uuids_.reserve(elements + 16);
    for (const vlt::ObjectRef& o : data.objectsOf(metamodel.findClass("ModelElement"), true))
      uuids_.emplace(o.objectId(), o.objectIdentity());
  }
  // Null for a null reference; throws for an object not stored.
  boost::uuids::uuid of(const vlt::ObjectRef& o) const {
    if (o.isNull()) return boost::uuids::uuid{};
    const auto found = uuids_.find(o.objectId());
    if (found == uuids_.end()) differs("a link to the missing object " + std::to_string(o.objectId()));
    return found->second;
  }

 private:
  std::unordered_map<vlt::ObjectId, boost::uuids::uuid> uuids_;
};

// The values of the stored object `o` of `kind` (of the repository class
// `cls`) that its kind has beside its name, owner and uuid, into `values`,
// references named by uuid. The uniform shape's layout: no uses. `links`
// is a buffer kept between objects.
void readStoredValues(const vlt::ObjectRef& o, const vlt::ClassRef& cls, Kind kind, const StoredUuids& uuids,
                      ElementValues& values, std::vector<vlt::ObjectRef>& links) {
  auto property = [&](const char* name) { return cls.findProperty(name); };
  vlt::ObjectRef target;
  links.clear();
  switch (kind) {
    case Kind::package:
      break;
    case Kind::cls:
      o.getPropertyValue(property("isAbstract"), values.isAbstract);
      o.getPropertyValue(property("sourceSize"), values.sourceSize);
      o.getPropertyValue(property("superclass"), target);
      o.getPropertyValue(property("implements"), links);
      break;
    case Kind::method: {
      vlt::EnumeralRef visibility;
      o.getPropertyValue(property("visibility"), visibility);
      o.getPropertyValue(property("returnType"), target);
      o.getPropertyValue(property("calls"), links);
      values.visibility = visibility.id();
      break;
    }
    case Kind::statement: {
      vlt::EnumeralRef statementKind;
      o.getPropertyValue(property("line"), values.line);
      o.getPropertyValue(property("kind"), statementKind);
      values.statementKind = statementKind.id();
      break;
    }
  }
  values.target = uuids.of(target);
  values.links.clear();
  for (const vlt::ObjectRef& l : links) values.links.push_back(uuids.of(l));
  values.uses.clear();
}

}  // namespace

Contents checkRepository(const std::string& path, std::size_t elements, std::uint64_t seed) {
  const Counts expected = generate(elements, seed, [](const Element&) {});

  vlt::DataModelRepository repo;
  repo.open(path, std::string(), vlt::DataModelRepository::ServiceOptions{});
  // One transaction: the reads of one object's single values share a row.
  repo.beginTransaction();
  const vlt::MetamodelRef metamodel = repo.metamodel();
  checkLayout(metamodel);
  const vlt::DataModelRef data = repo.defaultDataModel();
  checkFamilyRecord(metamodel, data);
  const StoredUuids uuids(metamodel, data, elements);

  Contents contents;
  std::vector<vlt::ObjectRef> links;
  ElementValues values;
  std::string owningName;
  for (std::size_t k = 0; k < kindCount; ++k) {
    const Kind kind = static_cast<Kind>(k);
    const vlt::ClassRef cls = metamodel.findClass(kindName(kind));
    const vlt::PropertyRef nameProperty = cls.findProperty(kind == Kind::statement ? "text" : "name");
    const std::vector<vlt::ObjectRef> objects = data.objectsOf(cls, false);
    contents.counts.perKind[k] = objects.size();
    if (objects.size() != expected.perKind[k]) {
      differs(std::string(kindName(kind)) + ": " + std::to_string(objects.size()) + " objects, expected " +
              std::to_string(expected.perKind[k]));
    }
    for (const vlt::ObjectRef& o : objects) {
      values.kind = kind;
      values.uuid = o.objectIdentity();
      vlt::ObjectRef owner;
      vlt::PropertyRef owning;
      o.getOwnership(owner, owning, values.position);
      values.owner = uuids.of(owner);
      owningName = owning.name();
      values.owningProperty = owningName.c_str();
      o.getPropertyValue(nameProperty, values.name);
      readStoredValues(o, cls, kind, uuids, values, links);
      contents.checksum += checksumOf(values);
    }
  }
  repo.rollbackTransaction();
  repo.close();
  if (contents.checksum != expectedChecksum(elements, seed))
    differs("the objects hold other values, links or owners than the generated elements");
  return contents;
}

}  // namespace java_model
