// The metamodel cache: reading, creating and forgetting classes, properties
// and enumerations.

#include "Schema.hpp"

#include "MetamodelFile.hpp"
#include "ValueTraits.hpp"

#include <algorithm>
#include <set>

namespace vlt::detail {
namespace {

std::string lastSegment(const std::string& qualifiedName, std::string& package) {
  const std::size_t dot = qualifiedName.rfind('.');
  package = dot == std::string::npos ? std::string() : qualifiedName.substr(0, dot);
  return dot == std::string::npos ? qualifiedName : qualifiedName.substr(dot + 1);
}

// The metamodel tables. Their names and columns are the repository's format:
// a change here needs a new format version.
constexpr const char* metamodelTables[] = {
    "CREATE TABLE vlt_info (name {text} PRIMARY KEY, value {int} NOT NULL)",
    "CREATE TABLE vlt_class ({id}, qualified_name {text} NOT NULL UNIQUE)",
    "CREATE TABLE vlt_superclass (class_id {int} NOT NULL, position {int} NOT NULL, superclass_id {int} NOT NULL, "
    "PRIMARY KEY (class_id, position))",
    "CREATE TABLE vlt_enumeration ({id}, qualified_name {text} NOT NULL UNIQUE)",
    "CREATE TABLE vlt_enumeral (enumeration_id {int} NOT NULL, position {int} NOT NULL, name {text} NOT NULL, "
    "value {int} NOT NULL, PRIMARY KEY (enumeration_id, position))",
    "CREATE TABLE vlt_property ({id}, class_id {int} NOT NULL, name {text} NOT NULL, type_name {text} NOT NULL, "
    "lower_bound {int} NOT NULL, upper_bound {int} NOT NULL, composite {int} NOT NULL, ordered {int} NOT NULL, "
    "optional {int} NOT NULL, is_unique {int} NOT NULL, documentation {text} NOT NULL, opposite {text} NOT NULL, "
    "annotation {text} NOT NULL, association {int} NOT NULL, uuid {bytes} NOT NULL, UNIQUE (class_id, name))",
    "CREATE TABLE vlt_object (id {int} PRIMARY KEY, uuid {bytes} NOT NULL, class_id {int} NOT NULL, "
    "owner_id {int}, owner_property_id {int}, ordinal {int} NOT NULL DEFAULT 0)",
    // An index rather than a constraint, so that a bulk load can drop it.
    "CREATE UNIQUE INDEX vlt_object_uuid ON vlt_object (uuid)",
    "CREATE INDEX vlt_object_owner ON vlt_object (owner_id, owner_property_id, ordinal)",
    "CREATE INDEX vlt_object_class ON vlt_object (class_id)",
};

}  // namespace

void Schema::createTables() {
  sql::Connection& c = database_.connection();
  const sql::Dialect& d = c.dialect();
  for (const char* text : metamodelTables) {
    c.execute(sql::fillIn(text, {{"int", d.integerType}, {"text", d.textType}, {"bytes", d.bytesType},
                                 {"id", d.generatedId}}));
  }
}

const std::vector<std::string>& Schema::metamodelTableNames() {
  static const std::vector<std::string> names{"vlt_info",       "vlt_class",    "vlt_superclass",
                                              "vlt_enumeration", "vlt_enumeral", "vlt_property"};
  return names;
}

// ---------------------------------------------------------------- loading

void Schema::load(bool opening) {
  opening_ = opening;
  loadEnumerations();
  const std::vector<ClassInfo*> added = loadClasses();
  for (ClassInfo* c : added) computeLineage(c);
  for (ClassInfo* c : added) {
    if (std::find(c->lineage.begin() + 1, c->lineage.end(), c) != c->lineage.end() ||
        std::any_of(c->superclasses.begin(), c->superclasses.end(),
                    [c](const ClassInfo* s) { return s->conformsTo(c); })) {
      damaged("the class \"" + c->qualifiedName + "\" is among its own superclasses");
    }
  }
  loadProperties();
}

// Metamodel rows that do not hold together: refused at open (the file is
// not a repository this library can read), a storage failure later.
void Schema::damaged(const std::string& what) const {
  const std::string message = "the repository's metamodel is damaged: " + what;
  if (opening_) throw NotARepositoryError(message, database_.filespec());
  throw StorageError(message, database_.filespec());
}

EnumerationInfo* Schema::addEnumeration(std::int64_t id, const std::string& qualifiedName) {
  auto e = std::make_unique<EnumerationInfo>();
  e->id = id;
  e->qualifiedName = qualifiedName;
  std::string package;
  e->name = lastSegment(qualifiedName, package);
  EnumerationInfo* result = e.get();
  enumerationsByName_[qualifiedName] = result;
  enumerationsById_[id] = result;
  maxEnumerationId_ = std::max(maxEnumerationId_, id);
  enumerationStore_.push_back(std::move(e));
  return result;
}

void Schema::loadEnumerations() {
  if (opening_) {
    sql::StatementUse s(statements_.fixed(
        "SELECT min(enumeration_id) FROM vlt_enumeral WHERE enumeration_id NOT IN (SELECT id FROM vlt_enumeration)"));
    if (s->step() && !s->columnIsNull(0)) {
      damaged("a literal belongs to the unknown enumeration " + std::to_string(s->columnInt64(0)));
    }
  }
  std::vector<EnumerationInfo*> added;
  {
    sql::StatementUse s(statements_.fixed(
        "SELECT id, qualified_name FROM vlt_enumeration WHERE id > ?1 ORDER BY id"));
    s->bindInt64(1, maxEnumerationId_);
    while (s->step()) added.push_back(addEnumeration(s->columnInt64(0), std::string(s->columnText(1))));
  }
  if (added.empty()) return;
  sql::StatementUse s(statements_.fixed(
      "SELECT enumeration_id, name, value FROM vlt_enumeral WHERE enumeration_id >= ?1 "
      "ORDER BY enumeration_id, position"));
  s->bindInt64(1, added.front()->id);
  while (s->step()) {
    auto it = enumerationsById_.find(s->columnInt64(0));
    if (it == enumerationsById_.end()) {
      damaged("a literal belongs to the unknown enumeration " + std::to_string(s->columnInt64(0)));
    }
    it->second->literals.push_back({std::string(s->columnText(1)), static_cast<std::int32_t>(s->columnInt64(2))});
  }
}

ClassInfo* Schema::addClass(std::int64_t id, const std::string& qualifiedName) {
  auto c = std::make_unique<ClassInfo>();
  c->id = id;
  c->qualifiedName = qualifiedName;
  c->name = lastSegment(qualifiedName, c->packageName);
  c->table = "vlt_c" + std::to_string(id);
  ClassInfo* result = c.get();
  classesByName_[qualifiedName] = result;
  classesById_[id] = result;
  maxClassId_ = std::max(maxClassId_, id);
  classStore_.push_back(std::move(c));
  ++generation_;
  return result;
}

std::vector<ClassInfo*> Schema::loadClasses() {
  std::vector<ClassInfo*> added;
  {
    sql::StatementUse s(statements_.fixed("SELECT id, qualified_name FROM vlt_class WHERE id > ?1 ORDER BY id"));
    s->bindInt64(1, maxClassId_);
    while (s->step()) added.push_back(addClass(s->columnInt64(0), std::string(s->columnText(1))));
  }
  if (added.empty()) return added;
  sql::StatementUse s(statements_.fixed(
      "SELECT class_id, superclass_id FROM vlt_superclass WHERE class_id >= ?1 ORDER BY class_id, position"));
  s->bindInt64(1, added.front()->id);
  while (s->step()) {
    auto c = classesById_.find(s->columnInt64(0));
    auto super = classesById_.find(s->columnInt64(1));
    if (c == classesById_.end() || super == classesById_.end()) {
      damaged("a superclass row names the unknown class " +
              std::to_string(c == classesById_.end() ? s->columnInt64(0) : s->columnInt64(1)));
    }
    c->second->superclasses.push_back(super->second);
    super->second->subclasses.push_back(c->second);
  }
  return added;
}

void Schema::loadProperties() {
  sql::StatementUse s(statements_.fixed(
      "SELECT id, class_id, name, type_name, lower_bound, upper_bound, composite, ordered, optional, is_unique, "
      "documentation, opposite, annotation, association, uuid FROM vlt_property WHERE id > ?1 ORDER BY id"));
  s->bindInt64(1, maxPropertyId_);
  while (s->step()) {
    auto d = std::make_unique<PropertyInfo>();
    d->id = s->columnInt64(0);
    auto owner = classesById_.find(s->columnInt64(1));
    if (owner == classesById_.end()) {
      damaged("the property " + std::to_string(d->id) + " belongs to the unknown class " +
              std::to_string(s->columnInt64(1)));
    }
    d->owner = owner->second;
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
    resolveType(*d, false);
    const std::string where = "the property \"" + d->name + "\" of class \"" + d->owner->qualifiedName + "\"";
    if (d->traits == nullptr) damaged(where + " has the unknown type \"" + d->typeName + "\"");
    if (d->composite && d->valueType != ValueType::object) damaged(where + " is composite but not of a class type");
    addProperty(std::move(d));
  }
}

// Gives a property its value type from its type name: a built-in type, a
// class or an enumeration. A new property (`strict`) may name what another
// client created and refuses an unknown name; a loaded one is resolved from
// what is loaded (the metamodel rows are being read).
void Schema::resolveType(PropertyInfo& p, bool strict) {
  p.typeClass = nullptr;
  p.typeEnumeration = nullptr;
  if (!builtinType(p.typeName, p.valueType)) {
    auto cls = classesByName_.find(p.typeName);
    auto enumeration = enumerationsByName_.find(p.typeName);
    if (cls != classesByName_.end()) {
      p.typeClass = cls->second;
    } else if (enumeration != enumerationsByName_.end()) {
      p.typeEnumeration = enumeration->second;
    } else if (strict) {
      p.typeClass = findClass(p.typeName);
      if (p.typeClass == nullptr) p.typeEnumeration = findEnumeration(p.typeName);
    }
    if (p.typeClass != nullptr) {
      p.valueType = ValueType::object;
    } else if (p.typeEnumeration != nullptr) {
      p.valueType = ValueType::enumeral;
    } else if (strict) {
      throw MetamodelError("the type \"" + p.typeName + "\" is neither a built-in type, a class nor an enumeration",
                           database_.filespec());
    } else {
      p.traits = nullptr;  // unknown: the caller refuses it
      return;
    }
  }
  p.traits = &traitsOf(p.valueType);
}

// Files a property read or created: its storage names and its place in its
// class.
void Schema::addProperty(std::unique_ptr<PropertyInfo> info) {
  PropertyInfo* p = info.get();
  if (p->inClassTable()) {
    p->column = "p" + std::to_string(p->id);
    p->rowColumn = p->owner->rowColumns++;
  } else if (p->inOwnTable()) {
    p->table = "vlt_p" + std::to_string(p->id);
  }
  p->owner->properties.push_back(p);
  touchLayout(p->owner);
  propertiesById_[p->id] = p;
  maxPropertyId_ = std::max(maxPropertyId_, p->id);
  propertyStore_.push_back(std::move(info));
  ++generation_;
}

// Depth first, superclasses in their order, each class once.
void Schema::computeLineage(ClassInfo* cls) {
  cls->lineage.clear();
  std::vector<ClassInfo*> stack{cls};
  while (!stack.empty()) {
    ClassInfo* c = stack.back();
    stack.pop_back();
    if (std::find(cls->lineage.begin(), cls->lineage.end(), c) != cls->lineage.end()) continue;
    cls->lineage.push_back(c);
    for (auto it = c->superclasses.rbegin(); it != c->superclasses.rend(); ++it) stack.push_back(*it);
  }
}

// The class and every class below it read their lineage's columns anew.
void Schema::touchLayout(ClassInfo* cls) {
  std::vector<ClassInfo*> pending{cls};
  std::set<ClassInfo*> seen;
  while (!pending.empty()) {
    ClassInfo* c = pending.back();
    pending.pop_back();
    if (!seen.insert(c).second) continue;
    ++c->layoutVersion;
    pending.insert(pending.end(), c->subclasses.begin(), c->subclasses.end());
  }
}

// ---------------------------------------------------------------- lookups

std::string classIdList(const ClassInfo* cls, bool withSubclasses) {
  std::vector<const ClassInfo*> classes{cls};
  for (std::size_t i = 0; withSubclasses && i < classes.size(); ++i) {
    for (const ClassInfo* sub : classes[i]->subclasses) {
      if (std::find(classes.begin(), classes.end(), sub) == classes.end()) classes.push_back(sub);
    }
  }
  std::string list;
  for (const ClassInfo* c : classes) list += (list.empty() ? "" : ", ") + std::to_string(c->id);
  return list;
}

std::vector<ClassInfo*> Schema::classes() const {
  std::vector<ClassInfo*> out;
  for (const auto& c : classStore_) {
    if (!c->retired) out.push_back(c.get());
  }
  return out;
}

std::vector<EnumerationInfo*> Schema::enumerations() const {
  std::vector<EnumerationInfo*> out;
  for (const auto& e : enumerationStore_) {
    if (!e->retired) out.push_back(e.get());
  }
  return out;
}

ClassInfo* Schema::findClass(const std::string& qualifiedName) {
  auto it = classesByName_.find(qualifiedName);
  if (it != classesByName_.end()) return it->second;
  if (!database_.isOpen()) return nullptr;
  load();  // another client may have added it
  it = classesByName_.find(qualifiedName);
  return it == classesByName_.end() ? nullptr : it->second;
}

EnumerationInfo* Schema::findEnumeration(const std::string& qualifiedName) {
  auto it = enumerationsByName_.find(qualifiedName);
  if (it != enumerationsByName_.end()) return it->second;
  if (!database_.isOpen()) return nullptr;
  load();
  it = enumerationsByName_.find(qualifiedName);
  return it == enumerationsByName_.end() ? nullptr : it->second;
}

ClassInfo* Schema::classById(std::int64_t id) {
  auto it = classesById_.find(id);
  if (it != classesById_.end()) return it->second;
  if (!database_.isOpen()) return nullptr;
  load();
  it = classesById_.find(id);
  return it == classesById_.end() ? nullptr : it->second;
}

const PropertyInfo* Schema::propertyById(std::int64_t id) const {
  auto it = propertiesById_.find(id);
  return it == propertiesById_.end() ? nullptr : it->second;
}

const PropertyInfo* Schema::lookUpProperty(const ClassInfo* cls, const std::string& name) {
  if (const PropertyInfo* p = findProperty(cls, name)) return p;
  if (!database_.isOpen()) return nullptr;
  load();  // another client may have appended it
  return findProperty(cls, name);
}

const PropertyInfo* Schema::findProperty(const ClassInfo* cls, const std::string& name) const {
  for (const ClassInfo* c : cls->lineage) {
    for (const PropertyInfo* p : c->properties) {
      if (p->name == name) return p;
    }
  }
  return nullptr;
}

void Schema::checkUsable(const ClassInfo* cls) const {
  database_.checkOpen();
  if (cls == nullptr) database_.usage("a null class handle was given");
  if (cls->retired) database_.usage("the class \"" + cls->qualifiedName + "\" was rolled back");
}

void Schema::checkUsable(const PropertyInfo* property) const {
  database_.checkOpen();
  if (property == nullptr) database_.usage("a null property handle was given");
  if (property->retired) database_.usage("the property \"" + property->name + "\" was rolled back");
}

}  // namespace vlt::detail

namespace vlt::detail {

// ---------------------------------------------------------------- creating

ClassInfo* Schema::createClass(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses) {
  database_.checkOpen();
  if (qualifiedName.empty()) throw MetamodelError("a class needs a name", database_.filespec());
  checkNameIsFree(qualifiedName);
  for (const ClassInfo* s : superclasses) checkUsable(s);
  checkInheritedNames(qualifiedName, superclasses);
  const std::int64_t id = unlessTakenMeanwhile(
      [&] {
        WriteScope scope(transaction_);
        std::int64_t made = 0;
        {
          sql::StatementUse s(
              statements_.fixed("INSERT INTO vlt_class (qualified_name) VALUES (?1) RETURNING id"));
          s->bindText(1, qualifiedName);
          if (s->step()) made = s->columnInt64(0);
        }
        for (std::size_t i = 0; i < superclasses.size(); ++i) {
          sql::StatementUse s(statements_.fixed(
              "INSERT INTO vlt_superclass (class_id, position, superclass_id) VALUES (?1, ?2, ?3)"));
          s->bindInt64(1, made);
          s->bindInt64(2, static_cast<std::int64_t>(i));
          s->bindInt64(3, superclasses[i]->id);
          s->step();
        }
        scope.commit();  // its table is made when its first value is written (ValueTables)
        return made;
      },
      [&] { checkNameIsFree(qualifiedName); });

  ClassInfo* c = addClass(id, qualifiedName);
  c->superclasses = superclasses;
  for (ClassInfo* s : superclasses) s->subclasses.push_back(c);
  computeLineage(c);
  if (transaction_.active()) newClasses_.push_back(c);
  return c;
}

// Another client may have taken a name since this connection last read the
// metamodel: the database's unique index refuses the write, and `check`,
// run on the metamodel read again, says so as for a name known here.
template <class Write, class Check>
std::int64_t Schema::unlessTakenMeanwhile(Write&& write, Check&& check) {
  try {
    return write();
  } catch (const ConstraintError&) {
    load();
    check();
    throw;
  }
}

// Classes and enumerations share one namespace: a property's type name must
// name exactly one of them.
void Schema::checkNameIsFree(const std::string& qualifiedName) {
  // One look at the database for both (another client may have taken it).
  if (classesByName_.count(qualifiedName) == 0 && enumerationsByName_.count(qualifiedName) == 0) load();
  if (classesByName_.count(qualifiedName) != 0) {
    throw MetamodelError("the class \"" + qualifiedName + "\" exists already", database_.filespec());
  }
  if (enumerationsByName_.count(qualifiedName) != 0) {
    throw MetamodelError("the name \"" + qualifiedName + "\" is taken by an enumeration", database_.filespec());
  }
}

// A new class inherits every property of its superclasses once: two of them
// may not bring two properties of one name.
void Schema::checkInheritedNames(const std::string& qualifiedName, const std::vector<ClassInfo*>& superclasses) const {
  std::unordered_map<std::string, const PropertyInfo*> seen;
  for (const ClassInfo* super : superclasses) {
    for (const ClassInfo* c : super->lineage) {
      for (const PropertyInfo* p : c->properties) {
        auto [it, fresh] = seen.emplace(p->name, p);
        if (!fresh && it->second != p) {
          throw MetamodelError("the class \"" + qualifiedName + "\" would inherit two properties \"" + p->name +
                                   "\" (of \"" + it->second->owner->qualifiedName + "\" and \"" +
                                   p->owner->qualifiedName + "\")",
                               database_.filespec());
        }
      }
    }
  }
}

// A property is declared by one class and never repeated below or above it.
void Schema::checkNewProperty(const ClassInfo* cls, const PropertyInfo& d) const {
  const std::string& filespec = database_.filespec();
  const std::string where = "the property \"" + d.name + "\" of class \"" + cls->qualifiedName + "\"";
  if (d.name.empty()) throw MetamodelError("a property of class \"" + cls->qualifiedName + "\" needs a name", filespec);
  if (findProperty(cls, d.name) != nullptr) throw MetamodelError(where + " exists already", filespec);
  // Below: a subclass that declares the name, or inherits it along another
  // line of superclasses.
  std::vector<const ClassInfo*> below(cls->subclasses.begin(), cls->subclasses.end());
  for (std::size_t i = 0; i < below.size(); ++i) {
    if (const PropertyInfo* p = findProperty(below[i], d.name)) {
      if (p->owner == below[i]) {
        throw MetamodelError(where + " is declared by the subclass \"" + below[i]->qualifiedName + "\"", filespec);
      }
      throw MetamodelError(where + " would reach the subclass \"" + below[i]->qualifiedName +
                               "\" a second time (it has it from \"" + p->owner->qualifiedName + "\")",
                           filespec);
    }
    below.insert(below.end(), below[i]->subclasses.begin(), below[i]->subclasses.end());
  }
  if (d.lower > d.upper && d.upper != 0) throw MetamodelError(where + " has a lower bound above its upper bound", filespec);
  if (d.association != 0) throw MetamodelError(where + " has an unknown association kind", filespec);
}

PropertyInfo* Schema::appendProperty(ClassInfo* cls, const PropertyInfo& d) {
  checkUsable(cls);
  checkNewProperty(cls, d);
  auto info = std::make_unique<PropertyInfo>(d);
  PropertyInfo& n = *info;
  n.owner = cls;
  resolveType(n, true);
  if (n.composite && n.valueType != ValueType::object) {
    throw MetamodelError("the property \"" + d.name + "\" of class \"" + cls->qualifiedName +
                             "\" is composite but not of a class type",
                         database_.filespec());
  }
  n.multi = d.upper >= 2;
  n.ordered = n.multi && d.ordered;
  n.unique = n.multi ? d.unique : true;
  if (n.uuid.is_nil()) n.uuid = uuidGenerator_();
  n.retired = false;

  n.id = unlessTakenMeanwhile(
      [&] {
        WriteScope scope(transaction_);
        std::int64_t made = 0;
        {
          sql::StatementUse s(statements_.fixed(
              "INSERT INTO vlt_property (class_id, name, type_name, lower_bound, upper_bound, composite, ordered, "
              "optional, is_unique, documentation, opposite, annotation, association, uuid) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14) RETURNING id"));
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
          if (s->step()) made = s->columnInt64(0);
        }
        scope.commit();  // its column or table is made when its first value is written (ValueTables)
        return made;
      },
      [&] { checkNewProperty(cls, d); });

  PropertyInfo* result = info.get();
  addProperty(std::move(info));
  if (transaction_.active()) newProperties_.push_back(result);
  return result;
}

EnumerationInfo* Schema::createEnumeration(const std::string& qualifiedName,
                                           const std::vector<std::pair<std::string, int>>& literals) {
  database_.checkOpen();
  if (qualifiedName.empty()) throw MetamodelError("an enumeration needs a name", database_.filespec());
  checkNameIsFree(qualifiedName);
  std::set<std::string> names;
  for (const auto& l : literals) {
    if (!names.insert(l.first).second) {
      throw MetamodelError("the enumeration \"" + qualifiedName + "\" has two literals \"" + l.first + "\"",
                           database_.filespec());
    }
  }
  const std::int64_t id = unlessTakenMeanwhile(
      [&] {
        WriteScope scope(transaction_);
        std::int64_t made = 0;
        {
          sql::StatementUse s(
              statements_.fixed("INSERT INTO vlt_enumeration (qualified_name) VALUES (?1) RETURNING id"));
          s->bindText(1, qualifiedName);
          if (s->step()) made = s->columnInt64(0);
        }
        for (std::size_t i = 0; i < literals.size(); ++i) {
          sql::StatementUse s(statements_.fixed(
              "INSERT INTO vlt_enumeral (enumeration_id, position, name, value) VALUES (?1, ?2, ?3, ?4)"));
          s->bindInt64(1, made);
          s->bindInt64(2, static_cast<std::int64_t>(i));
          s->bindText(3, literals[i].first);
          s->bindInt64(4, literals[i].second);
          s->step();
        }
        scope.commit();
        return made;
      },
      [&] { checkNameIsFree(qualifiedName); });
  EnumerationInfo* e = addEnumeration(id, qualifiedName);
  for (const auto& l : literals) e->literals.push_back({l.first, l.second});
  if (transaction_.active()) newEnumerations_.push_back(e);
  return e;
}

// Enumerations first, then every class (superclasses first), then the
// properties: a property may be typed by any class of the file. The file was
// checked whole, so nothing here is refused.
void Schema::apply(const MetamodelFile& file) {
  for (const auto& e : file.enumerations) createEnumeration(e.name, e.literals);
  std::vector<ClassInfo*> created;
  for (const auto& c : file.classes) {
    std::vector<ClassInfo*> supers;
    for (const auto& name : c.superclasses) supers.push_back(findClass(name));
    created.push_back(createClass(c.name, supers));
  }
  for (std::size_t i = 0; i < file.classes.size(); ++i) {
    for (const auto& p : file.classes[i].properties) {
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
      appendProperty(created[i], d);
    }
  }
}

// ---------------------------------------------------------------- rollback

void Schema::transactionEnded(bool committed) noexcept {
  if (!committed) forgetCreated();
  newClasses_.clear();
  newProperties_.clear();
  newEnumerations_.clear();
}

// Forgets in memory what the rolled-back transaction added, newest first.
// The infos stay (handles point at them), retired.
void Schema::forgetCreated() noexcept {
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
    touchLayout(p->owner);
    propertiesById_.erase(p->id);
  }
  for (auto it = newClasses_.rbegin(); it != newClasses_.rend(); ++it) {
    ClassInfo* c = *it;
    c->retired = true;
    for (ClassInfo* s : c->superclasses) {
      s->subclasses.erase(std::remove(s->subclasses.begin(), s->subclasses.end(), c), s->subclasses.end());
    }
    classesByName_.erase(c->qualifiedName);
    classesById_.erase(c->id);
  }
  for (EnumerationInfo* e : newEnumerations_) {
    e->retired = true;
    enumerationsByName_.erase(e->qualifiedName);
    enumerationsById_.erase(e->id);
  }
  // The database may hand the ids out again: the maxima go back too.
  maxClassId_ = 0;
  for (const auto& entry : classesById_) maxClassId_ = std::max(maxClassId_, entry.first);
  maxPropertyId_ = 0;
  for (const auto& entry : propertiesById_) maxPropertyId_ = std::max(maxPropertyId_, entry.first);
  maxEnumerationId_ = 0;
  for (const auto& entry : enumerationsById_) maxEnumerationId_ = std::max(maxEnumerationId_, entry.first);
  ++generation_;
}

}  // namespace vlt::detail
