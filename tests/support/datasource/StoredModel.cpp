// Both sides are turned into lists of texts, one per entry, in one notation
// (numbers in decimal, strings quoted and escaped, references as uuids,
// arrays as their serialized bytes), so that one comparison serves every
// kind of value and a difference prints as it is.

#include "DataSourceTestSupport.hpp"

#include "serialization/ValueText.hpp"

#include <qm/zero/ReferenceCollection.hpp>

#include <matrix/Array.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>
#include <vlt/Errors.hpp>
#include <vlt/ObjectQuery.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <type_traits>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
using qm::zero::ModelElement;
using qm::zero::Value;
using Texts = std::vector<std::string>;

std::string utf8(const std::u16string& text) { return fl::i18n::ustring_to_utf8(text); }

// --- One notation for both sides --------------------------------------------

// Printable ASCII as it is, anything else escaped: "\u00e9" in a u"..." text,
// "\x01" in a byte string.
template <class C>
std::string quoted(const std::basic_string<C>& text) {
  const bool wide = sizeof(C) > 1;
  std::string out = wide ? "u\"" : "\"";
  for (const C c : text) {
    const auto code = static_cast<unsigned>(static_cast<std::make_unsigned_t<C>>(c));
    if (code >= 0x20 && code < 0x7f && c != '"' && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, wide ? "\\u%04x" : "\\x%02x", code);
      out += escaped;
    }
  }
  return out + "\"";
}

template <class T, class = std::enable_if_t<std::is_integral_v<T>>>
std::string text(T v) {
  return std::to_string(v);
}
std::string text(double v) {
  std::ostringstream os;
  os << std::setprecision(17) << v;
  return os.str();
}
std::string text(bool v) { return v ? "true" : "false"; }
std::string text(vlt::Boolean v) { return text(static_cast<bool>(v)); }
template <class C>
std::string text(const std::basic_string<C>& v) {
  return quoted(v);
}
std::string text(const boost::posix_time::ptime& v) { return boost::posix_time::to_iso_extended_string(v); }
std::string text(const boost::uuids::uuid& v) { return boost::uuids::to_string(v); }
std::string text(const matrix::qxArray_tag* array) {
  if (array == nullptr) return "<null array>";
  static const char digits[] = "0123456789abcdef";
  std::string out = "array:";
  for (const char c : matrix::serializeArray(array)) {
    const auto byte = static_cast<unsigned char>(c);
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}
std::string text(const vlt::EnumeralRef& v) { return std::to_string(v.id()); }
std::string text(const vlt::ObjectRef& v) {
  try {
    return text(v.objectIdentity());
  } catch (const vlt::ObjectNotFoundError&) {
    return "<missing object id " + std::to_string(v.objectId()) + ">";
  }
}

std::string listText(const Texts& texts, bool many) {
  if (!many) return texts.empty() ? "absent" : texts.front() + (texts.size() > 1 ? " (and more)" : "");
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + texts[i];
  return out + "]";
}

// --- The repository's side ---------------------------------------------------

template <class T>
Texts storedTexts(const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  Texts out;
  if (property.isMultiValue()) {
    std::vector<T> values;
    object.getPropertyValue(property, values);
    for (const T& v : values) out.push_back(text(v));
  } else {
    boost::optional<T> value;
    object.getPropertyValue(property, value);
    if (value) out.push_back(text(*value));
  }
  return out;
}

template <>
Texts storedTexts<matrix::qxArray_tag*>(const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  std::vector<matrix::qxArray_tag*> arrays;
  if (property.isMultiValue()) {
    object.getPropertyValue(property, arrays);
  } else {
    matrix::qxArray_tag* array = nullptr;
    if (object.readSingle(property, vlt::ValueType::qxarray, &array)) arrays.push_back(array);
  }
  Texts out;
  for (matrix::qxArray_tag* array : arrays) {
    out.push_back(text(array));
    matrix::destroyArray(array);
  }
  return out;
}

// --- How a property is stored ------------------------------------------------

// Each column type once: the standard primitive type stored in it (none for
// enumerals and objects) and how its values are read.
struct Column {
  const meta::PrimitiveType& (*standard)();
  vlt::ValueType type;
  Texts (*read)(const vlt::ObjectRef&, const vlt::PropertyRef&);
};

const std::vector<Column>& columns() {
  using boost::posix_time::ptime;
  using meta::StandardTypes;
  using VT = vlt::ValueType;
  static const std::vector<Column> table = {
      {&StandardTypes::integerMeta, VT::int32, &storedTexts<std::int32_t>},
      {&StandardTypes::unlimitedNaturalMeta, VT::uint32, &storedTexts<std::uint32_t>},
      {&StandardTypes::integer64Meta, VT::int64, &storedTexts<std::int64_t>},
      {&StandardTypes::uinteger64Meta, VT::uint64, &storedTexts<std::uint64_t>},
      {&StandardTypes::realMeta, VT::real64, &storedTexts<double>},
      {&StandardTypes::stringMeta, VT::ustring, &storedTexts<std::u16string>},
      {&StandardTypes::stdstringMeta, VT::string, &storedTexts<std::string>},
      {&StandardTypes::dateTimeMeta, VT::dateTime, &storedTexts<ptime>},
      {&StandardTypes::uuidMeta, VT::uuid, &storedTexts<boost::uuids::uuid>},
      {&StandardTypes::booleanMeta, VT::boolean, &storedTexts<vlt::Boolean>},
      {&StandardTypes::qxArrayMeta, VT::qxarray, &storedTexts<matrix::qxArray_tag*>},
      {nullptr, VT::enumeral, &storedTexts<vlt::EnumeralRef>},
      {nullptr, VT::object, &storedTexts<vlt::ObjectRef>}};
  return table;
}

const Column& columnOf(vlt::ValueType type) {
  const auto& all = columns();
  return *std::find_if(all.begin(), all.end(), [type](const Column& c) { return c.type == type; });
}

enum class Kind { None, Builtin, Enumeration, Reference, Text };
struct Storage {
  Kind kind = Kind::None;
  vlt::ValueType type = vlt::ValueType::ustring;
};

Storage storageOf(const meta::Property& property) {
  using VT = vlt::ValueType;
  const meta::Type type = property->getType();
  if (meta::Class::downcast(type)) return {Kind::Reference, VT::object};
  if (meta::Enum::downcast(type)) return {Kind::Enumeration, VT::enumeral};
  if (const meta::PrimitiveType primitive = meta::PrimitiveType::downcast(type)) {
    for (const Column& column : columns())
      if (column.standard && column.standard() == primitive) return {Kind::Builtin, column.type};
    if (meta::PropertySerializerRegistry::getInstance()->getPropertySerializer(primitive, std::string()))
      return {Kind::Text, VT::ustring};
    return {};
  }
  if (meta::DataType::downcast(type) && property->isStoredSerialized()) return {Kind::Text, VT::ustring};
  return {};
}

// --- The model's side --------------------------------------------------------

struct EntryText {
  std::string operator()(std::monostate) const { return "<no entry>"; }
  std::string operator()(const qm::zero::ArrayEntry& v) const { return text(v.get()); }
  std::string operator()(const qm::zero::StringMapEntry&) const { return "<string map>"; }
  std::string operator()(const ModelElement& v) const { return v ? text(v.getUUID()) : "<null element>"; }
  std::string operator()(const qm::zero::DataValue& v) const {
    const qm::zero::ValueMeta single(v.getType(), qm::zero::ValueMeta::Present, qm::zero::EntryType::DataValue);
    return quoted(vlt_datasource::toStoredText(Value(single, qm::zero::Entries{v})));
  }
  template <class T>
  std::string operator()(const T& v) const {
    return text(v);
  }
};

// `loadedOnly`: as memory holds it, loading nothing (a deferred collection
// not loaded is not read at all: the caller skips it).
Texts modelTexts(const ModelElement& element, const meta::Property& property, Kind kind, bool loadedOnly) {
  const Value value = loadedOnly ? element.get(property, vlt_datasource::DataSourceTestAccess::privileged())
                                 : element.get(property);
  Texts out;
  for (const qm::zero::Entry& entry : value.getEntries()) {
    if (kind == Kind::Reference) {
      const ModelElement* target = std::get_if<ModelElement>(&entry);
      if (target != nullptr && *target && target->isDestroyed()) continue;  // cut from the repository
    }
    if (kind == Kind::Text) {
      const qm::zero::ValueMeta single(value.getType(), qm::zero::ValueMeta::Present, value.getMeta().getEntryType());
      out.push_back(quoted(vlt_datasource::toStoredText(Value(single, qm::zero::Entries{entry}))));
    } else {
      out.push_back(std::visit(EntryText(), entry));
    }
  }
  return out;
}

// --- The comparison ----------------------------------------------------------

// A deferred collection that memory has not loaded: it holds only part of
// what is stored.
bool unloaded(const ModelElement& element, const meta::Property& property) {
  return property->isReference() && property->isMultiValued() &&
         !qm::zero::ReferenceCollection(element, property).isLoaded();
}

// Counts and reports differences, ten of them at most.
class Differences {
 public:
  ~Differences() {
    if (count > maxReported) ADD_FAILURE() << count - maxReported << " more differences were not reported";
  }
  void operator()(const std::string& message) {
    if (++count <= maxReported) ADD_FAILURE() << message;
  }
  std::size_t count = 0;

 private:
  const std::size_t maxReported = 10;
};

class Comparison {
 public:
  Comparison(const vlt::DataModelRepository& stored, bool loaded) : repository(stored), loadedOnly(loaded) {}

  void element(const ModelElement& element) {
    const meta::Class cls = element.getMetaClass();
    const std::string where = utf8(element.toString());
    const vlt::ObjectRef object = repository.defaultDataModel().findObject(element.getUUID(), root());
    if (!object) return differ(where + ": no object of this uuid in the repository");
    const vlt::ClassRef stored = object.objectRuntimeClass();
    if (stored.qualifiedName() != utf8(cls->getQualifiedName()))
      return differ(where + ": stored as an object of class " + stored.qualifiedName());
    owner(element, object, where);
    for (const meta::Property& property : cls->getAllAttributes()) {
      if (property->isNotStored() || (loadedOnly && unloaded(element, property))) continue;
      const Storage storage = storageOf(property);
      if (storage.kind == Kind::None) continue;
      const std::string at = where + ", property '" + utf8(property->getName()) + "'";
      const vlt::PropertyRef column = stored.findProperty(utf8(property->getName()));
      if (!column) {
        differ(at + ": the repository class has no such property");
        continue;
      }
      const bool many = property->isMultiValued();
      if (column.valueType() != storage.type || column.isMultiValue() != many) {
        differ(at + ": stored as " + column.typeName() + (column.isMultiValue() ? " [many]" : " [single]"));
        continue;
      }
      Texts expected = modelTexts(element, property, storage.kind, loadedOnly);
      Texts found = columnOf(column.valueType()).read(object, column);
      const std::string expectedText = listText(expected, many), foundText = listText(found, many);
      if (many && !property->isOrdered()) {
        std::sort(expected.begin(), expected.end());
        std::sort(found.begin(), found.end());
      }
      if (expected != found)
        differ(at + (many ? (property->isOrdered() ? " (ordered)" : " (unordered)") : "") + ":\n  expected " +
               expectedText + "\n  found    " + foundText);
    }
  }

  // Objects of element classes that the model does not hold (a count alone
  // would miss one object stored in place of another).
  void extraObjects(const qm::zero::Model& model) {
    const vlt::ClassRef info = repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
    std::size_t stored = 0;
    for (const vlt::ObjectRef& object : repository.defaultDataModel().objectsOf(root())) {
      const vlt::ClassRef cls = object.objectRuntimeClass();
      if (info && cls.conformsTo(info)) continue;
      ++stored;
      if (!model->findElement(object.objectIdentity()))
        differ("object " + std::to_string(object.objectId()) + " of class " + cls.qualifiedName() + " with uuid " +
               text(object.objectIdentity()) + " is no element of the model");
    }
    if (stored != model->getElementCount())
      differ("the repository holds " + std::to_string(stored) + " element objects, the model " +
             std::to_string(model->getElementCount()) + " elements");
  }

  vlt::ClassRef root() const { return repository.metamodel().findClass("ModelElement"); }

  Differences differ;

 private:
  void owner(const ModelElement& element, const vlt::ObjectRef& object, const std::string& where) {
    std::string expected = "none";
    const ModelElement modelOwner = element.getOwner();
    const meta::Property owningProperty = element.getOwningProperty();
    if (modelOwner && !owningProperty->isNotStored())
      expected = text(modelOwner.getUUID()) + "." + utf8(owningProperty->getName());
    vlt::ObjectRef storedOwner;
    vlt::PropertyRef storedProperty;
    std::uint64_t ordinal = 0;
    object.getOwnership(storedOwner, storedProperty, ordinal);
    const std::string found = storedOwner ? text(storedOwner) + "." + storedProperty.name() : "none";
    if (expected != found) differ(where + ": owner\n  expected " + expected + "\n  found    " + found);
  }

  const vlt::DataModelRepository& repository;
  bool loadedOnly;
};

std::size_t compare(const qm::zero::Model& model, const vlt::DataModelRepository& repository, bool loadedOnly) {
  Comparison comparison(repository, loadedOnly);
  if (!comparison.root()) {
    comparison.differ("the repository has no class ModelElement");
    return comparison.differ.count;
  }
  for (const ModelElement& element : model->getAllElements()) comparison.element(element);
  if (!loadedOnly) comparison.extraObjects(model);
  return comparison.differ.count;
}

}  // namespace

std::size_t expectRepositoryHoldsModel(const qm::zero::Model& model, const vlt::DataModelRepository& repository) {
  return compare(model, repository, false);
}

std::size_t expectRepositoryHoldsLoadedElements(const qm::zero::Model& model,
                                                const vlt::DataModelRepository& repository) {
  return compare(model, repository, true);
}

std::size_t expectLinksInStep(const qm::zero::Model& model, bool oneWayLinksToo) {
  const auto tag = vlt_datasource::DataSourceTestAccess::privileged();
  Differences differ;
  for (const ModelElement& e : model->getAllElements()) {
    for (const meta::Property& p : e.getMetaClass()->getAllAttributes()) {
      if (!p->isReference()) continue;
      const meta::Property q = p->getOpposite();
      for (const ModelElement& t : e.get(p, tag).getAll<ModelElement>()) {
        const std::string link = utf8(e.toString()) + "." + utf8(p->getName()) + " -> " + text(t.getUUID());
        if (t.isDestroyed()) {
          if (q || oneWayLinksToo) differ(link + ": a destroyed element");
          continue;
        }
        if (!q || t.isProxy() || unloaded(t, q)) continue;
        const std::vector<ModelElement> back = t.get(q, tag).getAll<ModelElement>();
        const auto held = std::count(back.begin(), back.end(), e);
        if (held != 1)
          differ(link + ": its opposite " + utf8(q->getName()) + " holds it " + std::to_string(held) + " times");
      }
    }
  }
  return differ.count;
}

std::string valueText(const qm::zero::Value& value) {
  Texts texts;
  for (const qm::zero::Entry& entry : value.getEntries()) texts.push_back(std::visit(EntryText(), entry));
  return listText(texts, true);
}

std::vector<std::u16string> recordedFamilies(const vlt::DataModelRepository& repository) {
  const vlt::ClassRef info = repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
  vlt::ObjectQuery query(repository);
  std::u16string family;
  query.addResultProperty(info.findProperty("family"), &family, 0);
  std::vector<std::u16string> families;
  for (auto results = query.execute(); results.getNextResult();) families.push_back(family);
  std::sort(families.begin(), families.end());
  return families;
}

}  // namespace dstest
