#include "MetamodelFile.hpp"

#include "XmlReader.hpp"

#include <vlt/Errors.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/filesystem/FileSystem.hpp>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <set>

namespace vlt::detail {
namespace {

// A base metamodel is a few hundred lines; far larger input is a mistake.
constexpr std::uint64_t maxFileSize = 16u << 20;

class Reader {
 public:
  Reader(std::string path, std::string filespec) : path_(std::move(path)), filespec_(std::move(filespec)) {}

  [[noreturn]] void fail(const std::string& why, int line = 0) const {
    const std::string where = line > 0 ? " (line " + std::to_string(line) + ")" : std::string();
    throw MetamodelFileError("the base metamodel file '" + path_ + "'" + where + " " + why, filespec_);
  }

  std::string required(const XmlElement& node, const char* attribute) const {
    const std::string* value = node.attribute(attribute);
    if (value == nullptr || value->empty()) {
      fail("has a <" + node.name + "> without the attribute \"" + attribute + "\"", node.line);
    }
    return *value;
  }

  std::string optional(const XmlElement& node, const char* attribute, const char* fallback) const {
    const std::string* value = node.attribute(attribute);
    return value ? *value : std::string(fallback);
  }

  bool flag(const XmlElement& node, const char* attribute, bool fallback, const std::string& where) const {
    const std::string* value = node.attribute(attribute);
    if (value == nullptr) return fallback;
    if (*value == "true") return true;
    if (*value == "false") return false;
    fail("gives " + where + " the attribute " + attribute + "=\"" + *value + "\"; expected true or false", node.line);
  }

  long long integer(const XmlElement& node, const std::string& text, long long low, long long high,
                    const std::string& where) const {
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || value < low || value > high) {
      fail("gives " + where + " the number \"" + text + "\", which is not an integer in range", node.line);
    }
    return value;
  }

  void checkAttributes(const XmlElement& node, std::initializer_list<const char*> allowed,
                       const std::string& where) const {
    for (const auto& attribute : node.attributes) {
      bool known = false;
      for (const char* a : allowed) known = known || attribute.first == a;
      if (!known) fail("gives " + where + " the unknown attribute \"" + attribute.first + "\"", node.line);
    }
  }

  void checkLeaf(const XmlElement& node, const std::string& where) const {
    if (!node.children.empty()) {
      fail("has the unknown element <" + node.children.front().name + "> in " + where, node.children.front().line);
    }
  }

  MetamodelFile::Property property(const XmlElement& node, const std::string& className) const {
    MetamodelFile::Property p;
    p.line = node.line;
    p.name = required(node, "name");
    const std::string where = "the property \"" + p.name + "\" of class \"" + className + "\"";
    checkAttributes(node, {"name", "type", "lower", "upper", "composite", "ordered", "optional", "unique", "opposite",
                           "documentation"},
                    where);
    checkLeaf(node, where);
    p.type = required(node, "type");
    constexpr long long most = std::numeric_limits<std::uint32_t>::max();
    p.lower = static_cast<std::uint32_t>(integer(node, optional(node, "lower", "0"), 0, most, where));
    const std::string upper = optional(node, "upper", "1");
    p.upper = upper == "*" ? std::numeric_limits<std::uint32_t>::max()
                           : static_cast<std::uint32_t>(integer(node, upper, 0, most, where));
    p.composite = flag(node, "composite", false, where);
    p.ordered = flag(node, "ordered", false, where);
    p.optional = flag(node, "optional", false, where);
    p.unique = flag(node, "unique", true, where);
    p.opposite = optional(node, "opposite", "");
    p.documentation = optional(node, "documentation", "");
    return p;
  }

  MetamodelFile::Class cls(const XmlElement& node) const {
    MetamodelFile::Class entry;
    entry.line = node.line;
    entry.name = required(node, "name");
    const std::string where = "the class \"" + entry.name + "\"";
    checkAttributes(node, {"name"}, where);
    for (const XmlElement& child : node.children) {
      if (child.name == "superclass") {
        checkAttributes(child, {"name"}, "a superclass of " + where);
        checkLeaf(child, "a superclass of " + where);
        entry.superclasses.push_back(required(child, "name"));
      } else if (child.name == "property") {
        entry.properties.push_back(property(child, entry.name));
      } else {
        fail("has the unknown element <" + child.name + "> in " + where, child.line);
      }
    }
    return entry;
  }

  MetamodelFile::Enumeration enumeration(const XmlElement& node) const {
    MetamodelFile::Enumeration entry;
    entry.line = node.line;
    entry.name = required(node, "name");
    const std::string where = "the enumeration \"" + entry.name + "\"";
    checkAttributes(node, {"name"}, where);
    for (const XmlElement& child : node.children) {
      if (child.name != "literal") fail("has the unknown element <" + child.name + "> in " + where, child.line);
      const std::string name = required(child, "name");
      const std::string literal = "the literal \"" + name + "\" of " + where;
      checkAttributes(child, {"name", "value"}, literal);
      checkLeaf(child, literal);
      const long long value = integer(child, required(child, "value"), std::numeric_limits<int>::min(),
                                      std::numeric_limits<int>::max(), literal);
      entry.literals.emplace_back(name, static_cast<int>(value));
    }
    return entry;
  }

  // The file describes a whole new metamodel: every name it uses must be
  // built in or defined in it, so that creating it cannot fail half way.
  // Names may be used before their definition.
  void check(const MetamodelFile& file) const {
    std::map<std::string, const MetamodelFile::Class*> classes;
    std::set<std::string> enumerations;
    for (const auto& e : file.enumerations) {
      if (!enumerations.insert(e.name).second) fail("defines the name \"" + e.name + "\" twice", e.line);
      std::set<std::string> literals;
      for (const auto& l : e.literals) {
        if (!literals.insert(l.first).second) {
          fail("gives the enumeration \"" + e.name + "\" two literals \"" + l.first + "\"", e.line);
        }
      }
    }
    for (const auto& c : file.classes) {
      if (enumerations.count(c.name) || !classes.emplace(c.name, &c).second) {
        fail("defines the name \"" + c.name + "\" twice", c.line);
      }
    }
    for (const auto& c : file.classes) {
      std::set<std::string> supers;
      for (const auto& s : c.superclasses) {
        if (!classes.count(s) || s == c.name) fail("names the unknown superclass \"" + s + "\" for class \"" + c.name + "\"", c.line);
        if (!supers.insert(s).second) fail("names the superclass \"" + s + "\" twice for class \"" + c.name + "\"", c.line);
      }
      std::set<std::string> names;
      for (const auto& p : c.properties) {
        const std::string where = "the property \"" + p.name + "\" of class \"" + c.name + "\"";
        if (!names.insert(p.name).second) fail("defines " + where + " twice", p.line);
        const bool isClass = classes.count(p.type) != 0;
        if (!builtins().count(p.type) && !isClass && !enumerations.count(p.type)) {
          fail("gives " + where + " the unknown type \"" + p.type + "\"", p.line);
        }
        if (p.composite && !isClass) fail("makes " + where + " composite, but its type is not a class", p.line);
        if (p.upper != 0 && p.lower > p.upper) fail("gives " + where + " a lower bound above its upper bound", p.line);
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
          if (marks[super] == visiting) {
            fail("makes the class \"" + classes[super].name + "\" its own superclass", classes[super].line);
          }
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
               "\", which are in the superclasses of \"" + cls.name + "\"",
               cls.line);
        }
      }
      for (const auto& s : c->superclasses) pending.push_back(&classes[index.at(s)]);
    }
  }

  std::string contents() const {
    namespace fs = foundation::filesystem;
    const std::u16string path = fl::i18n::utf8_to_ustring(path_);
    fs::FileStatus status;
    try {
      status = fs::fileStatus(path);
    } catch (const fs::FileSystemError& e) {
      fail(std::string("cannot be examined: ") + e.code().message());
    }
    if (status.kind == fs::FileKind::missing) fail("does not exist");
    if (status.kind != fs::FileKind::regular) fail("is not a regular file");
    if (status.size > maxFileSize) fail("is larger than " + std::to_string(maxFileSize) + " bytes");
    std::ifstream in(path_, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) fail("cannot be read");
    return text;
  }

  MetamodelFile read() const {
    XmlElement root;
    try {
      root = parseXml(contents());
    } catch (const XmlError& e) {
      fail(e.what(), e.line());
    }
    if (root.name != "metamodel") fail("does not have the root element <metamodel>", root.line);
    checkAttributes(root, {"format"}, "<metamodel>");
    const std::string format = optional(root, "format", "1");
    if (format != "1") fail("has the unknown format \"" + format + "\"", root.line);

    MetamodelFile file;
    for (const XmlElement& node : root.children) {
      if (node.name == "class") {
        file.classes.push_back(cls(node));
      } else if (node.name == "enumeration") {
        file.enumerations.push_back(enumeration(node));
      } else {
        fail("has the unknown element <" + node.name + ">", node.line);
      }
    }
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
