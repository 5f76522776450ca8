#include "MetamodelFile.hpp"

#include <vlt/Errors.hpp>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
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
  // built in or defined in it, so that creating it cannot fail half way.
  // Names may be used before their definition.
  void check(const MetamodelFile& file) const {
    std::map<std::string, const MetamodelFile::Class*> classes;
    std::set<std::string> enumerations;
    for (const auto& e : file.enumerations) {
      if (!enumerations.insert(e.name).second) fail("defines the name \"" + e.name + "\" twice");
      std::set<std::string> literals;
      for (const auto& l : e.literals) {
        if (!literals.insert(l.first).second) {
          fail("gives the enumeration \"" + e.name + "\" two literals \"" + l.first + "\"");
        }
      }
    }
    for (const auto& c : file.classes) {
      if (enumerations.count(c.name) || !classes.emplace(c.name, &c).second) {
        fail("defines the name \"" + c.name + "\" twice");
      }
    }
    for (const auto& c : file.classes) {
      std::set<std::string> supers;
      for (const auto& s : c.superclasses) {
        if (!classes.count(s) || s == c.name) fail("names the unknown superclass \"" + s + "\" for class \"" + c.name + "\"");
        if (!supers.insert(s).second) fail("names the superclass \"" + s + "\" twice for class \"" + c.name + "\"");
      }
      std::set<std::string> names;
      for (const auto& p : c.properties) {
        const std::string where = "the property \"" + p.name + "\" of class \"" + c.name + "\"";
        if (!names.insert(p.name).second) fail("defines " + where + " twice");
        const bool isClass = classes.count(p.type) != 0;
        if (!builtins().count(p.type) && !isClass && !enumerations.count(p.type)) {
          fail("gives " + where + " the unknown type \"" + p.type + "\"");
        }
        if (p.composite && !isClass) fail("makes " + where + " composite, but its type is not a class");
        if (p.upper != 0 && p.lower > p.upper) fail("gives " + where + " a lower bound above its upper bound");
      }
    }
  }

  static const std::set<std::string>& builtins() {
    static const std::set<std::string> names{"int32",  "uint32",   "int64", "uint64", "real64",  "ustring",
                                             "string", "DateTime", "UUID",  "bool",   "qxarray"};
    return names;
  }

  // Puts every class after its superclasses (keeping document order where it
  // may), and refuses a cycle of superclasses or a property name that a class
  // shares with a class above it.
  std::vector<MetamodelFile::Class> ordered(const std::vector<MetamodelFile::Class>& classes) const {
    std::map<std::string, std::size_t> index;
    for (std::size_t i = 0; i < classes.size(); ++i) index[classes[i].name] = i;
    enum Mark { unseen, visiting, done };
    std::vector<Mark> marks(classes.size(), unseen);
    std::vector<MetamodelFile::Class> out;
    for (std::size_t start = 0; start < classes.size(); ++start) {
      // Iterative depth-first walk: (class, next superclass to visit).
      std::vector<std::pair<std::size_t, std::size_t>> stack;
      if (marks[start] == unseen) stack.emplace_back(start, 0);
      while (!stack.empty()) {
        auto& [at, next] = stack.back();
        if (next == 0) marks[at] = visiting;
        if (next < classes[at].superclasses.size()) {
          const std::size_t super = index.at(classes[at].superclasses[next++]);
          if (marks[super] == visiting) fail("makes the class \"" + classes[super].name + "\" its own superclass");
          if (marks[super] == unseen) stack.emplace_back(super, 0);
          continue;
        }
        marks[at] = done;
        out.push_back(classes[at]);
        stack.pop_back();
      }
    }
    for (const auto& c : out) checkInheritedNames(c, classes, index);
    return out;
  }

  // A property name is declared once along every line of superclasses.
  void checkInheritedNames(const MetamodelFile::Class& cls, const std::vector<MetamodelFile::Class>& classes,
                           const std::map<std::string, std::size_t>& index) const {
    std::map<std::string, std::string> declaredBy;
    std::set<std::string> visited;
    std::vector<const MetamodelFile::Class*> pending{&cls};
    while (!pending.empty()) {
      const MetamodelFile::Class* c = pending.back();
      pending.pop_back();
      if (!visited.insert(c->name).second) continue;
      for (const auto& p : c->properties) {
        auto [it, fresh] = declaredBy.emplace(p.name, c->name);
        if (!fresh) {
          fail("declares the property \"" + p.name + "\" in both \"" + it->second + "\" and \"" + c->name +
               "\", which are in the superclasses of \"" + cls.name + "\"");
        }
      }
      for (const auto& s : c->superclasses) pending.push_back(&classes[index.at(s)]);
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
    std::vector<MetamodelFile::Class> classes;
    for (const auto& [element, node] : *root) {
      if (element == "<xmlattr>" || element == "<xmlcomment>") continue;
      if (element == "class") {
        MetamodelFile::Class entry;
        entry.name = required(node, "class", "name");
        const std::string where = "the class \"" + entry.name + "\"";
        checkAttributes(node, {"name"}, where);
        for (const auto& [child, childNode] : node) {
          if (child == "<xmlattr>" || child == "<xmlcomment>") continue;
          if (child == "superclass") {
            entry.superclasses.push_back(required(childNode, "superclass", "name"));
          } else if (child == "property") {
            entry.properties.push_back(property(childNode, entry.name));
          } else {
            fail("has the unknown element <" + child + "> in " + where);
          }
        }
        classes.push_back(std::move(entry));
      } else if (element == "enumeration") {
        MetamodelFile::Enumeration entry;
        entry.name = required(node, "enumeration", "name");
        const std::string where = "the enumeration \"" + entry.name + "\"";
        checkAttributes(node, {"name"}, where);
        for (const auto& [child, childNode] : node) {
          if (child == "<xmlattr>" || child == "<xmlcomment>") continue;
          if (child != "literal") fail("has the unknown element <" + child + "> in " + where);
          const std::string name = required(childNode, "literal", "name");
          const long long value = integer(required(childNode, "literal", "value"),
                                          std::numeric_limits<int>::min(), std::numeric_limits<int>::max(),
                                          "the literal \"" + name + "\" of " + where);
          entry.literals.emplace_back(name, static_cast<int>(value));
        }
        file.enumerations.push_back(std::move(entry));
      } else {
        fail("has the unknown element <" + element + ">");
      }
    }
    file.classes = std::move(classes);
    check(file);
    file.classes = ordered(file.classes);
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
