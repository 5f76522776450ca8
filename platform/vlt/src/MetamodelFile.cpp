#include "MetamodelFile.hpp"

#include <vlt/Errors.hpp>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <set>

namespace vlt::detail {
namespace {

namespace pt = boost::property_tree;

class Reader {
 public:
  Reader(std::string path, std::string filespec) : path_(std::move(path)), filespec_(std::move(filespec)) {}

  [[noreturn]] void fail(const std::string& why) const {
    throw MetamodelFileError("the base metamodel file '" + path_ + "' " + why, filespec_);
  }

  std::string required(const pt::ptree& node, const char* element, const char* attribute) const {
    const auto value = node.get_optional<std::string>(std::string("<xmlattr>.") + attribute);
    if (!value || value->empty()) fail(std::string("has a <") + element + "> without the attribute \"" + attribute + "\"");
    return *value;
  }

  bool flag(const pt::ptree& node, const char* attribute, bool fallback, const std::string& where) const {
    const auto value = node.get_optional<std::string>(std::string("<xmlattr>.") + attribute);
    if (!value) return fallback;
    if (*value == "true") return true;
    if (*value == "false") return false;
    fail("gives " + where + " the attribute " + attribute + "=\"" + *value + "\"; expected true or false");
  }

  long long integer(const std::string& text, long long low, long long high, const std::string& where) const {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
      fail("gives " + where + " the number \"" + text + "\", which is not an integer in range");
    }
    return value;
  }

  void checkAttributes(const pt::ptree& node, std::initializer_list<const char*> allowed, const std::string& where) const {
    const auto attributes = node.get_child_optional("<xmlattr>");
    if (!attributes) return;
    for (const auto& attribute : *attributes) {
      bool known = false;
      for (const char* a : allowed) known = known || attribute.first == a;
      if (!known) fail("gives " + where + " the unknown attribute \"" + attribute.first + "\"");
    }
  }

  MetamodelFile::Property property(const pt::ptree& node, const std::string& className) const {
    MetamodelFile::Property p;
    p.name = required(node, "property", "name");
    const std::string where = "the property \"" + p.name + "\" of class \"" + className + "\"";
    checkAttributes(node, {"name", "type", "lower", "upper", "composite", "ordered", "optional", "unique", "opposite",
                           "documentation"},
                    where);
    p.type = required(node, "property", "type");
    p.lower = static_cast<std::uint32_t>(
        integer(node.get<std::string>("<xmlattr>.lower", "0"), 0, std::numeric_limits<std::uint32_t>::max(), where));
    const std::string upper = node.get<std::string>("<xmlattr>.upper", "1");
    p.upper = upper == "*" ? std::numeric_limits<std::uint32_t>::max()
                           : static_cast<std::uint32_t>(
                                 integer(upper, 0, std::numeric_limits<std::uint32_t>::max(), where));
    p.composite = flag(node, "composite", false, where);
    p.ordered = flag(node, "ordered", false, where);
    p.optional = flag(node, "optional", false, where);
    p.unique = flag(node, "unique", true, where);
    p.opposite = node.get<std::string>("<xmlattr>.opposite", "");
    p.documentation = node.get<std::string>("<xmlattr>.documentation", "");
    return p;
  }

  // The file describes a whole new metamodel: every name it uses must be
  // built in or defined before, so that creating it cannot fail half way.
  void check(const MetamodelFile& file) const {
    static const std::set<std::string> builtins{"int32",  "uint32",   "int64", "uint64", "real64",  "ustring",
                                                "string", "DateTime", "UUID",  "bool",   "qxarray"};
    std::set<std::string> classes;
    std::set<std::string> enumerations;
    for (const auto& entry : file.entries) {
      if (!entry.isClass) {
        if (classes.count(entry.enumeration.name) || !enumerations.insert(entry.enumeration.name).second) {
          fail("defines the name \"" + entry.enumeration.name + "\" twice");
        }
        std::set<std::string> literals;
        for (const auto& l : entry.enumeration.literals) {
          if (!literals.insert(l.first).second) {
            fail("gives the enumeration \"" + entry.enumeration.name + "\" two literals \"" + l.first + "\"");
          }
        }
        continue;
      }
      const auto& c = entry.cls;
      if (enumerations.count(c.name) || !classes.insert(c.name).second) fail("defines the name \"" + c.name + "\" twice");
      for (const auto& s : c.superclasses) {
        if (!classes.count(s) || s == c.name) fail("names the unknown superclass \"" + s + "\" for class \"" + c.name + "\"");
      }
      std::set<std::string> names;
      for (const auto& p : c.properties) {
        const std::string where = "the property \"" + p.name + "\" of class \"" + c.name + "\"";
        if (!names.insert(p.name).second) fail("defines " + where + " twice");
        const bool isClass = classes.count(p.type) != 0;
        if (!builtins.count(p.type) && !isClass && !enumerations.count(p.type)) {
          fail("gives " + where + " the unknown type \"" + p.type + "\"");
        }
        if (p.composite && !isClass) fail("makes " + where + " composite, but its type is not a class");
        if (p.upper != 0 && p.lower > p.upper) fail("gives " + where + " a lower bound above its upper bound");
      }
    }
  }

  MetamodelFile read() const {
    {
      std::ifstream probe(path_);
      if (!probe) fail("cannot be read");
    }
    pt::ptree tree;
    try {
      pt::read_xml(path_, tree, pt::xml_parser::trim_whitespace);
    } catch (const pt::xml_parser_error& e) {
      fail("is not well-formed XML: " + std::string(e.what()));
    }
    const auto root = tree.get_child_optional("metamodel");
    std::size_t elements = 0;
    for (const auto& top : tree) elements += top.first != "<xmlcomment>" ? 1 : 0;
    if (!root || elements != 1) fail("does not have the single root element <metamodel>");
    const std::string format = root->get<std::string>("<xmlattr>.format", "1");
    if (format != "1") fail("has the unknown format \"" + format + "\"");

    MetamodelFile file;
    for (const auto& [element, node] : *root) {
      if (element == "<xmlattr>" || element == "<xmlcomment>") continue;
      MetamodelFile::Entry entry;
      if (element == "class") {
        entry.cls.name = required(node, "class", "name");
        const std::string where = "the class \"" + entry.cls.name + "\"";
        checkAttributes(node, {"name"}, where);
        for (const auto& [child, childNode] : node) {
          if (child == "<xmlattr>" || child == "<xmlcomment>") continue;
          if (child == "superclass") {
            entry.cls.superclasses.push_back(required(childNode, "superclass", "name"));
          } else if (child == "property") {
            entry.cls.properties.push_back(property(childNode, entry.cls.name));
          } else {
            fail("has the unknown element <" + child + "> in " + where);
          }
        }
      } else if (element == "enumeration") {
        entry.isClass = false;
        entry.enumeration.name = required(node, "enumeration", "name");
        const std::string where = "the enumeration \"" + entry.enumeration.name + "\"";
        checkAttributes(node, {"name"}, where);
        for (const auto& [child, childNode] : node) {
          if (child == "<xmlattr>" || child == "<xmlcomment>") continue;
          if (child != "literal") fail("has the unknown element <" + child + "> in " + where);
          const std::string name = required(childNode, "literal", "name");
          const long long value = integer(required(childNode, "literal", "value"),
                                          std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                                          "the literal \"" + name + "\" of " + where);
          entry.enumeration.literals.emplace_back(name, static_cast<int>(value));
        }
      } else {
        fail("has the unknown element <" + element + ">");
      }
      file.entries.push_back(std::move(entry));
    }
    check(file);
    return file;
  }

 private:
  std::string path_;
  std::string filespec_;
};

}  // namespace

MetamodelFile readMetamodelFile(const std::string& path, const std::string& filespec) {
  return Reader(path, filespec).read();
}

}  // namespace vlt::detail
