#include "JavaReading.hpp"

#include <qm/zero/Value.hpp>
#include <qm/zero/meta/Metamodel.hpp>

#include <stdexcept>
#include <unordered_map>

namespace java_model {

namespace {

[[noreturn]] void fails(const std::string& what) { throw std::runtime_error(what); }

}  // namespace

// ---------------------------------------------------------------- the repository

RepositoryReader::RepositoryReader(const std::string& path) {
  repo_.open(path, std::string(), vlt::DataModelRepository::ServiceOptions{});
  const vlt::MetamodelRef metamodel = repo_.metamodel();
  data_ = repo_.defaultDataModel();
  modelElement_ = metamodel.findClass("ModelElement");
  for (std::size_t k = 0; k < kindCount; ++k) {
    const Kind kind = static_cast<Kind>(k);
    const vlt::ClassRef cls = metamodel.findClass(kindName(kind));
    if (!cls) fails(std::string("no class ") + kindName(kind));
    classes_[k] = cls;
    ClassProperties& p = properties_[k];
    p.name = cls.findProperty(kind == Kind::statement ? "text" : "name");
    switch (kind) {
      case Kind::package:
        p.children[0] = cls.findProperty("packages");
        p.children[1] = cls.findProperty("classes");
        break;
      case Kind::cls:
        p.isAbstract = cls.findProperty("isAbstract");
        p.sourceSize = cls.findProperty("sourceSize");
        p.target = cls.findProperty("superclass");
        p.links = cls.findProperty("implements");
        p.children[0] = cls.findProperty("methods");
        break;
      case Kind::method:
        p.visibility = cls.findProperty("visibility");
        p.target = cls.findProperty("returnType");
        p.links = cls.findProperty("calls");
        p.children[0] = cls.findProperty("statements");
        break;
      case Kind::statement:
        p.line = cls.findProperty("line");
        p.statementKind = cls.findProperty("kind");
        break;
    }
  }
}

RepositoryReader::~RepositoryReader() { repo_.close(); }

Kind RepositoryReader::kindOf(const vlt::ClassRef& cls) const {
  for (std::size_t k = 0; k < kindCount; ++k)
    if (classes_[k] == cls) return static_cast<Kind>(k);
  fails("an object of another class than the java package's");
}

void RepositoryReader::readValues(const vlt::ObjectRef& object, Kind kind, ElementValues& out, bool collections) {
  const ClassProperties& p = properties_[static_cast<std::size_t>(kind)];
  out.kind = kind;
  out.uuid = object.objectIdentity();
  object.getPropertyValue(p.name, out.name);
  out.links.clear();
  switch (kind) {
    case Kind::package:
      return;
    case Kind::cls:
      object.getPropertyValue(p.isAbstract, out.isAbstract);
      object.getPropertyValue(p.sourceSize, out.sourceSize);
      break;
    case Kind::method: {
      vlt::EnumeralRef visibility;
      object.getPropertyValue(p.visibility, visibility);
      out.visibility = visibility.id();
      break;
    }
    case Kind::statement: {
      vlt::EnumeralRef statementKind;
      object.getPropertyValue(p.line, out.line);
      object.getPropertyValue(p.statementKind, statementKind);
      out.statementKind = statementKind.id();
      return;
    }
  }
  if (collections) {
    // Links come with their targets' uuids.
    object.getPropertyValue(p.links, links_);
    for (const vlt::ObjectRef& l : links_) out.links.push_back(l.objectIdentity());
  }
}

void RepositoryReader::walk(const vlt::ObjectRef& object, Kind kind, std::size_t depth,
                            std::vector<ElementValues>& out) {
  const std::size_t at = out.size() - 1;
  readValues(object, kind, out[at], true);
  ids_.push_back(object.objectId());
  const ClassProperties& p = properties_[static_cast<std::size_t>(kind)];
  if (p.target) {
    vlt::ObjectRef target;
    object.getPropertyValue(p.target, target);
    out[at].target = boost::uuids::uuid{};
    if (target) targets_.emplace_back(at, target.objectId());
  }
  if (children_.size() <= depth) children_.resize(depth + 1);
  for (std::size_t c = 0; c < 2; ++c) {
    const vlt::PropertyRef& property = p.children[c];
    if (!property) continue;
    // The children of one owner through one property: the buffer of this
    // depth, reused by the next owner at the same depth.
    const std::vector<vlt::ObjectRef>& children = children_[depth];
    object.getPropertyValue(property, children_[depth]);
    const Kind childKind = kind == Kind::package && c == 0 ? Kind::package : static_cast<Kind>(static_cast<int>(kind) + 1);
    const boost::uuids::uuid owner = out[at].uuid;
    for (std::size_t i = 0; i < children.size(); ++i) {
      ElementValues& child = out.emplace_back();
      child.owner = owner;
      child.owningProperty = owningPropertyName(childKind);
      child.position = i;
      walk(children[i], childKind, depth + 1, out);
    }
  }
}

void RepositoryReader::resolveTargets(std::vector<ElementValues>& out) {
  // The objects read, by id; a target outside them is asked for its uuid.
  std::unordered_map<vlt::ObjectId, std::size_t> byId;
  byId.reserve(ids_.size());
  for (std::size_t i = 0; i < ids_.size(); ++i) byId.emplace(ids_[i], i);
  for (const auto& [record, id] : targets_) {
    const auto found = byId.find(id);
    out[record].target =
        found != byId.end() ? out[found->second].uuid : repo_.getObjectRef(id, modelElement_).objectIdentity();
  }
}

void RepositoryReader::readAll(std::vector<ElementValues>& out) {
  out.clear();
  ids_.clear();
  targets_.clear();
  const vlt::ClassRef& packageClass = classes_[static_cast<std::size_t>(Kind::package)];
  for (const vlt::ObjectRef& root : data_.rootObjects()) {
    if (root.objectClass() != packageClass) continue;  // the package-version records
    ElementValues& top = out.emplace_back();
    top.owner = boost::uuids::uuid{};
    top.owningProperty = "";
    top.position = 0;
    walk(root, Kind::package, 0, out);
  }
  resolveTargets(out);
}

bool RepositoryReader::readSubtree(const boost::uuids::uuid& uuid, std::vector<ElementValues>& out) {
  out.clear();
  ids_.clear();
  targets_.clear();
  const vlt::ObjectRef root = data_.findObject(uuid, modelElement_);
  if (!root) return false;
  // The root read as any other object, then dropped: its descendants are
  // what is asked for.
  out.emplace_back();
  walk(root, kindOf(root.objectClass()), 0, out);
  resolveTargets(out);
  out.erase(out.begin());
  return true;
}

void RepositoryReader::readPopulated(const vlt::ObjectRef& object, Kind kind, ElementValues& out) {
  readValues(object, kind, out, true);
  const ClassProperties& p = properties_[static_cast<std::size_t>(kind)];
  out.target = boost::uuids::uuid{};
  if (p.target) {
    vlt::ObjectRef target;
    object.getPropertyValue(p.target, target);
    if (target) out.target = target.objectIdentity();
  }
  // A populated element's children arrive as proxies: the children read
  // come with their classes and uuids, all a proxy needs.
  for (const vlt::PropertyRef& property : p.children)
    if (property) object.getPropertyValue(property, links_);
}

std::size_t RepositoryReader::readOne(const boost::uuids::uuid& uuid, ElementValues& out,
                                      std::unordered_set<vlt::ObjectId>& read) {
  const vlt::ObjectRef object = data_.findObject(uuid, modelElement_);
  if (!object) fails("no object with a fetched uuid");
  const Kind kind = kindOf(object.objectClass());
  readPopulated(object, kind, out);
  read.insert(object.objectId());
  vlt::ObjectRef owner;
  vlt::PropertyRef owning;
  object.getOwnership(owner, owning, out.position);
  out.owner = owner ? owner.objectIdentity() : boost::uuids::uuid{};
  out.owningProperty = owner ? owningPropertyName(kind) : "";
  if (owner && owning != properties_[static_cast<std::size_t>(kindOf(owner.objectClass()))]
                              .children[kind == Kind::cls ? 1 : 0])
    fails("an object owned through another property");
  // Owners not read before, each as the object itself, up to the first one
  // read before or the root.
  std::size_t owners = 0;
  ElementValues ownerValues;
  while (owner && read.insert(owner.objectId()).second) {
    ++owners;
    const vlt::ObjectRef current = owner;
    readPopulated(current, kindOf(current.objectClass()), ownerValues);
    current.getOwnership(owner, owning);
  }
  return owners;
}

// ---------------------------------------------------------------- the model

namespace {

// The element's owner, owning property (its name kept in `owningName`) and
// position among its siblings.
void readPlace(const qm::zero::ModelElement& e, ElementValues& v, std::string& owningName) {
  const qm::zero::ModelElement owner = e.getOwner();
  v.owner = owner ? owner.getUUID() : boost::uuids::uuid{};
  v.position = 0;
  owningName.clear();
  if (owner) {
    const qm::zero::meta::Property owning = e.getOwningProperty();
    for (const char16_t c : owning->getName()) owningName.push_back(static_cast<char>(c));
    const qm::zero::Value siblings = owner.get(owning);
    while (v.position < siblings.size() && siblings.getElement(v.position) != e) ++v.position;
    if (v.position == siblings.size()) fails("an element not in its owner's collection");
  }
  v.owningProperty = owningName.c_str();
}

}  // namespace

namespace {

// Reads one loaded element's values for checksumOf: targets by uuid,
// proxies counted.
class ValueReader {
 public:
  ValueReader(const Metamodel& mm, Fields fields, std::size_t& proxyTargets)
      : mm_(mm), fields_(fields), proxyTargets_(proxyTargets) {}

  // The values of `e`, of kind v.kind, into `v`; returns the sum of
  // oppositeEntry over what its opposite collection (a class's usedBy)
  // holds, so that it meets the methods' usedByChecksum.
  std::uint64_t read(const qm::zero::ModelElement& e, ElementValues& v) {
    v.links.clear();
    v.uses.clear();
    v.target = boost::uuids::uuid{};
    std::uint64_t opposites = 0;
    switch (v.kind) {
      case Kind::package:
        v.name = e.get(mm_.packageName).get<std::u16string>();
        break;
      case Kind::cls:
        v.name = e.get(mm_.className).get<std::u16string>();
        v.isAbstract = e.get(mm_.isAbstract).get<bool>();
        v.sourceSize = e.get(mm_.sourceSize).get<std::int64_t>();
        v.target = target(e, mm_.superclass);
        links(e, mm_.implements, v.links);
        links(e, mm_.usedBy, v.uses);
        for (const boost::uuids::uuid& referrer : v.uses) opposites += oppositeEntry(v.uuid, referrer);
        v.uses.clear();
        break;
      case Kind::method:
        v.name = e.get(mm_.methodName).get<std::u16string>();
        v.visibility = e.get(mm_.methodVisibility).get<std::int32_t>();
        v.target = target(e, mm_.returnType);
        links(e, mm_.calls, v.links);
        links(e, mm_.uses, v.uses);
        break;
      case Kind::statement:
        v.name = e.get(mm_.text).get<std::u16string>();
        v.line = e.get(mm_.line).get<std::int32_t>();
        v.statementKind = e.get(mm_.kind).get<std::int32_t>();
        break;
    }
    return opposites;
  }

 private:
  boost::uuids::uuid uuidOfTarget(const qm::zero::ModelElement& target) {
    if (!target) return boost::uuids::uuid{};
    if (target.isProxy()) ++proxyTargets_;
    return target.getUUID();
  }
  boost::uuids::uuid target(const qm::zero::ModelElement& e, const qm::zero::meta::Property& p) {
    const qm::zero::Value value = e.get(p);
    return uuidOfTarget(value.isEmpty() ? qm::zero::ModelElement() : value.getElement());
  }
  void links(const qm::zero::ModelElement& e, const qm::zero::meta::Property& p,
             std::vector<boost::uuids::uuid>& out) {
    if (fields_ != Fields::all || !p) return;  // uses and usedBy are null in the uniform shape
    const qm::zero::Value value = e.get(p);
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(uuidOfTarget(value.getElement(i)));
  }

  const Metamodel& mm_;
  Fields fields_;
  std::size_t& proxyTargets_;
};

}  // namespace

std::uint64_t modelChecksum(const std::vector<qm::zero::ModelElement>& elements, Fields fields,
                            std::size_t& proxyTargets, References references) {
  const Metamodel& mm = Metamodel::get(references);
  ValueReader reader(mm, fields, proxyTargets);
  std::uint64_t sum = 0;
  ElementValues v;
  std::string owningName;
  for (const qm::zero::ModelElement& e : elements) {
    if (!e || e.isProxy()) fails("a proxy or null element among the loaded ones");
    const qm::zero::meta::Class cls = e.getMetaClass();
    std::size_t k = 0;
    while (k < kindCount && !(mm.classOf(static_cast<Kind>(k)) == cls)) ++k;
    if (k == kindCount) fails("an element of another class than the java package's");
    v.kind = static_cast<Kind>(k);
    v.uuid = e.getUUID();
    readPlace(e, v, owningName);
    sum += reader.read(e, v);
    sum += checksumOf(v, fields);
  }
  return sum;
}

}  // namespace java_model
