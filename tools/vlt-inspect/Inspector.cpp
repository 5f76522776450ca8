#include "Inspector.hpp"

#include <fl/i18n/Unicode.hpp>
#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vlt_inspect {
namespace {

constexpr std::uint32_t unbounded = std::numeric_limits<std::uint32_t>::max();

std::string bound(std::uint32_t value) { return value == unbounded ? "*" : std::to_string(value); }

// Text in double quotes; quotes, backslashes and control characters escaped,
// so that every value stays on one line.
std::string quoted(const std::string& bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20 || u == 0x7F) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02X", u);
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

// The shortest text that reads back as the same double.
std::string realText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

const char* arrayClassName(matrix::ClassId id) {
  switch (id) {
    case matrix::ClassId::Double: return "double";
    case matrix::ClassId::Single: return "single";
    case matrix::ClassId::Int8: return "int8";
    case matrix::ClassId::UInt8: return "uint8";
    case matrix::ClassId::Int16: return "int16";
    case matrix::ClassId::UInt16: return "uint16";
    case matrix::ClassId::Int32: return "int32";
    case matrix::ClassId::UInt32: return "uint32";
    case matrix::ClassId::Int64: return "int64";
    case matrix::ClassId::UInt64: return "uint64";
    case matrix::ClassId::Logical: return "logical";
    case matrix::ClassId::Char: return "char";
  }
  return "unknown";
}

struct ArrayDeleter {
  void operator()(matrix::qxArray_tag* array) const noexcept { matrix::destroyArray(array); }
};
using ArrayPtr = std::unique_ptr<matrix::qxArray_tag, ArrayDeleter>;

std::string arrayText(const matrix::qxArray_tag* array) {
  std::string out = std::string(arrayClassName(matrix::classId(array))) + " array ";
  const auto& dimensions = matrix::dimensions(array);
  for (std::size_t i = 0; i < dimensions.size(); ++i) out += (i ? "x" : "") + std::to_string(dimensions[i]);
  return out;
}

// An object reference: its uuid and own class, or what is known of it when it
// names an object that does not exist.
std::string objectText(const vlt::ObjectRef& object) {
  const vlt::ClassRef cls = object.objectRuntimeClass();
  if (cls.isNull()) return "missing object (id " + std::to_string(object.objectId()) + ")";
  return boost::uuids::to_string(object.objectIdentity()) + " (" + cls.qualifiedName() + ")";
}

// Text of one value of each C++ type the repository reads.
std::string text(std::int32_t v) { return std::to_string(v); }
std::string text(std::uint32_t v) { return std::to_string(v); }
std::string text(std::int64_t v) { return std::to_string(v); }
std::string text(std::uint64_t v) { return std::to_string(v); }
std::string text(double v) { return realText(v); }
std::string text(const std::u16string& v) { return quoted(fl::i18n::ustring_to_utf8(v)); }
std::string text(const std::string& v) { return quoted(v); }
std::string text(const boost::posix_time::ptime& v) { return boost::posix_time::to_iso_extended_string(v); }
std::string text(const boost::uuids::uuid& v) { return boost::uuids::to_string(v); }
std::string text(vlt::Boolean v) {
  if (v.value <= 1) return v.value ? "true" : "false";
  return "true (byte " + std::to_string(v.value) + ")";
}
std::string text(const vlt::EnumeralRef& v) {
  if (v.isNull()) return "unknown literal";
  return v.name() + " (" + std::to_string(v.id()) + ")";
}
std::string text(const vlt::ObjectRef& v) { return objectText(v); }

template <class T>
void writeValues(std::ostream& out, const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  if (property.isMultiValue()) {
    std::vector<T> values;
    object.getPropertyValue(property, values);
    out << " [" << values.size() << (values.size() == 1 ? " value]\n" : " values]\n");
    for (std::size_t i = 0; i < values.size(); ++i) out << "      [" << i << "] " << text(values[i]) << '\n';
    return;
  }
  boost::optional<T> value;
  object.getPropertyValue(property, value);
  out << " = " << (value ? text(*value) : std::string("absent")) << '\n';
}

void writeArrays(std::ostream& out, const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  if (property.isMultiValue()) {
    std::vector<matrix::qxArray_tag*> raw;
    object.getPropertyValue(property, raw);
    std::vector<ArrayPtr> values;
    for (auto* a : raw) values.emplace_back(a);
    out << " [" << values.size() << (values.size() == 1 ? " value]\n" : " values]\n");
    for (std::size_t i = 0; i < values.size(); ++i) {
      out << "      [" << i << "] " << (values[i] ? arrayText(values[i].get()) : std::string("absent")) << '\n';
    }
    return;
  }
  matrix::qxArray_tag* raw = nullptr;
  object.getPropertyValue(property, raw);
  const ArrayPtr value(raw);
  out << " = " << (value ? arrayText(value.get()) : std::string("absent")) << '\n';
}

void writeValue(std::ostream& out, const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  out << "    " << property.name() << ": " << property.typeName();
  switch (property.valueType()) {
    case vlt::ValueType::int32: writeValues<std::int32_t>(out, object, property); break;
    case vlt::ValueType::uint32: writeValues<std::uint32_t>(out, object, property); break;
    case vlt::ValueType::int64: writeValues<std::int64_t>(out, object, property); break;
    case vlt::ValueType::uint64: writeValues<std::uint64_t>(out, object, property); break;
    case vlt::ValueType::real64: writeValues<double>(out, object, property); break;
    case vlt::ValueType::ustring: writeValues<std::u16string>(out, object, property); break;
    case vlt::ValueType::string: writeValues<std::string>(out, object, property); break;
    case vlt::ValueType::dateTime: writeValues<boost::posix_time::ptime>(out, object, property); break;
    case vlt::ValueType::uuid: writeValues<boost::uuids::uuid>(out, object, property); break;
    case vlt::ValueType::boolean: writeValues<vlt::Boolean>(out, object, property); break;
    case vlt::ValueType::qxarray: writeArrays(out, object, property); break;
    case vlt::ValueType::enumeral: writeValues<vlt::EnumeralRef>(out, object, property); break;
    case vlt::ValueType::object: writeValues<vlt::ObjectRef>(out, object, property); break;
  }
}

std::string propertyLine(const vlt::PropertyRef& p) {
  std::string line = p.name() + ": " + p.typeName() + " [" + bound(p.lowerBound()) + ".." + bound(p.upperBound()) + "]";
  if (p.isComposite()) line += " composite";
  if (p.isOrdered()) line += " ordered";
  if (p.valueIsOptional()) line += " optional";
  if (p.isMultiValue() && !p.isUnique()) line += " non-unique";
  if (!p.oppositeName().empty()) line += " opposite " + p.oppositeName();
  return line;
}

}  // namespace

void Inspector::writeOverview(std::ostream& out) const {
  const vlt::MetamodelRef metamodel = repository_.metamodel();
  const vlt::DataModelRef data = repository_.defaultDataModel();
  const std::vector<vlt::ClassRef> classes = metamodel.classes();
  const std::vector<vlt::PackageRef> packages = metamodel.packages();
  const std::vector<vlt::EnumerationRef> enumerations = metamodel.enumerations();

  // Object counts: of the class itself, and with every subclass.
  std::map<std::int64_t, std::size_t> own;
  std::size_t total = 0;
  for (const vlt::ClassRef& c : classes) {
    own[c.id()] = data.countObjects(c, false);
    total += own[c.id()];
  }

  out << "repository " << fl::i18n::ustring_to_utf8(repository_.filespec()) << '\n';
  out << "packages: " << packages.size() << ", classes: " << classes.size() << ", enumerations: " << enumerations.size()
      << ", objects: " << total << '\n';

  for (const vlt::EnumerationRef& e : enumerations) {
    out << "\nenumeration " << e.qualifiedName() << '\n';
    for (const vlt::EnumeralRef& literal : e.enumerals()) out << "  " << literal.name() << " = " << literal.id() << '\n';
  }

  for (const vlt::PackageRef& package : packages) {
    out << "\npackage " << (package.name().empty() ? std::string("(none)") : package.name()) << '\n';
    for (const vlt::ClassRef& cls : package.classes()) {
      out << "  class " << cls.qualifiedName();
      const std::vector<vlt::ClassRef> supers = cls.superclasses();
      for (std::size_t i = 0; i < supers.size(); ++i) out << (i == 0 ? " : " : ", ") << supers[i].qualifiedName();
      out << '\n';

      std::size_t withSubclasses = 0;
      for (const vlt::ClassRef& c : classes) {
        if (c.conformsTo(cls)) withSubclasses += own[c.id()];
      }
      out << "    objects: " << own[cls.id()];
      if (withSubclasses != own[cls.id()]) out << " (" << withSubclasses << " with subclasses)";
      out << '\n';

      const std::vector<vlt::PropertyRef> properties = cls.ownProperties();
      if (properties.empty()) {
        out << "    properties: none\n";
        continue;
      }
      out << "    properties:\n";
      for (const vlt::PropertyRef& p : properties) out << "      " << propertyLine(p) << '\n';
    }
  }
}

bool Inspector::writeObject(std::ostream& out, const boost::uuids::uuid& uuid) const {
  // findObject looks within a class and its subclasses: ask each class that
  // has no superclass, which together cover every object.
  const vlt::DataModelRef data = repository_.defaultDataModel();
  vlt::ObjectRef object;
  for (const vlt::ClassRef& cls : repository_.metamodel().classes()) {
    if (!cls.superclasses().empty()) continue;
    object = data.findObject(uuid, cls);
    if (!object.isNull()) break;
  }
  if (object.isNull()) return false;

  const vlt::ClassRef cls = object.objectClass();
  out << "object " << boost::uuids::to_string(uuid) << '\n';
  out << "  class: " << cls.qualifiedName() << '\n';
  out << "  id: " << object.objectId() << '\n';

  vlt::ObjectRef owner;
  vlt::PropertyRef through;
  std::uint64_t ordinal = 0;
  object.getOwnership(owner, through, ordinal);
  if (owner.isNull()) {
    out << "  owner: none\n";
  } else {
    out << "  owner: " << objectText(owner) << " through " << through.name() << " at " << ordinal << '\n';
  }

  const std::vector<vlt::PropertyRef> properties = cls.allProperties();
  if (properties.empty()) {
    out << "  values: none\n";
    return true;
  }
  out << "  values:\n";
  for (const vlt::PropertyRef& p : properties) writeValue(out, object, p);
  return true;
}

}  // namespace vlt_inspect
