#include <testsupport/EcoreReader.hpp>

#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <boost/property_tree/ptree.hpp>
#include <boost/property_tree/xml_parser.hpp>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace testsupport {
namespace {

namespace meta = qm::zero::meta;
namespace pt = boost::property_tree;

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

struct Feature {
  std::string name, type, opposite;
  bool reference = false, containment = false;
  std::uint32_t lower = 0, upper = 1;
};

struct EClass {
  std::string name;
  bool abstract = false;
  std::vector<std::string> supertypes;
  std::vector<Feature> features;
};

// "#//Name" (or "#//Class/feature") without its prefix.
std::string local(const std::string& reference) {
  const std::size_t at = reference.find("#//");
  return at == std::string::npos ? std::string() : reference.substr(at + 3);
}

const meta::Type* ecoreType(const std::string& type) {
  using meta::StandardTypes;
  static const std::map<std::string, const meta::PrimitiveType*> types = {
      {"EString", &StandardTypes::stringMeta()},      {"EBoolean", &StandardTypes::booleanMeta()},
      {"EBooleanObject", &StandardTypes::booleanMeta()}, {"EInt", &StandardTypes::integerMeta()},
      {"EIntegerObject", &StandardTypes::integerMeta()}, {"ELong", &StandardTypes::integer64Meta()},
      {"EDouble", &StandardTypes::realMeta()},        {"EFloat", &StandardTypes::realMeta()},
      {"EDate", &StandardTypes::dateTimeMeta()}};
  if (type.find("emf/2002/Ecore#//") == std::string::npos) return nullptr;
  const auto found = types.find(local(type));
  return found == types.end() ? nullptr : found->second;
}

}  // namespace

EcorePackage readEcore(const std::string& path, const std::u16string& version) {
  pt::ptree tree;
  try {
    pt::read_xml(path, tree);
  } catch (const pt::ptree_error& e) {
    throw std::runtime_error("cannot read the Ecore file " + path + ": " + e.what());
  }
  const pt::ptree& root = tree.get_child("ecore:EPackage");
  const std::string packageName = root.get<std::string>("<xmlattr>.name");

  std::map<std::string, EClass> classes;
  std::vector<std::string> classOrder;
  std::map<std::string, std::vector<std::pair<std::string, int>>> enums;
  std::set<std::string> dataTypes;
  for (const auto& [tag, node] : root) {
    if (tag != "eClassifiers") continue;
    const std::string kind = node.get<std::string>("<xmlattr>.xsi:type");
    const std::string name = node.get<std::string>("<xmlattr>.name");
    if (kind == "ecore:EEnum") {
      auto& literals = enums[name];
      for (const auto& [literalTag, literal] : node)
        if (literalTag == "eLiterals")
          literals.emplace_back(literal.get<std::string>("<xmlattr>.name"),
                                literal.get<int>("<xmlattr>.value", static_cast<int>(literals.size())));
    } else if (kind == "ecore:EDataType") {
      dataTypes.insert(name);
    } else if (kind == "ecore:EClass") {
      EClass& c = classes[name];
      classOrder.push_back(name);
      c.name = name;
      c.abstract = node.get<bool>("<xmlattr>.abstract", false) || node.get<bool>("<xmlattr>.interface", false);
      std::istringstream supers(node.get<std::string>("<xmlattr>.eSuperTypes", ""));
      for (std::string s; supers >> s;) c.supertypes.push_back(local(s));
      for (const auto& [featureTag, f] : node) {
        if (featureTag != "eStructuralFeatures") continue;
        if (f.get<bool>("<xmlattr>.transient", false) || f.get<bool>("<xmlattr>.derived", false) ||
            f.get<bool>("<xmlattr>.volatile", false))
          continue;
        Feature feature;
        feature.name = f.get<std::string>("<xmlattr>.name");
        feature.type = f.get<std::string>("<xmlattr>.eType", "");
        feature.reference = f.get<std::string>("<xmlattr>.xsi:type") == "ecore:EReference";
        feature.containment = f.get<bool>("<xmlattr>.containment", false);
        feature.opposite = local(f.get<std::string>("<xmlattr>.eOpposite", ""));
        feature.lower = f.get<std::uint32_t>("<xmlattr>.lowerBound", 0);
        const int upper = f.get<int>("<xmlattr>.upperBound", 1);
        feature.upper = upper < 0 ? meta::unbounded : static_cast<std::uint32_t>(upper);
        c.features.push_back(feature);
      }
    }
  }

  EcorePackage result;
  result.classes = classes.size();
  result.enumerations = enums.size();
  const std::string family = root.get<std::string>("<xmlattr>.nsURI");
  meta::PackageBuilder builder(u16(packageName), u16(family), version);

  // Classes after their first supertype.
  std::map<std::string, meta::Class> built;
  std::function<meta::Class(const std::string&)> buildClass = [&](const std::string& name) {
    if (auto found = built.find(name); found != built.end()) return found->second;
    const EClass& c = classes.at(name);
    const meta::Class superclass = c.supertypes.empty() ? meta::Class() : buildClass(c.supertypes.front());
    return built[name] = builder.addClass(u16(name), superclass, c.abstract);
  };
  for (const std::string& name : classOrder) buildClass(name);
  std::map<std::string, meta::Enum> builtEnums;
  for (const auto& [name, literals] : enums) {
    std::vector<std::pair<std::u16string, std::int32_t>> converted;
    for (const auto& [literal, value] : literals) converted.emplace_back(u16(literal), value);
    builtEnums[name] = builder.addEnum(u16(name), converted);
  }

  // The features of a class: its own, then those of its other supertypes and
  // their ancestors that its first-supertype chain does not have already.
  const auto chainOf = [&](const std::string& name) {
    std::set<std::string> chain;
    for (std::string at = name; !at.empty();) {
      chain.insert(at);
      const EClass& c = classes.at(at);
      at = c.supertypes.empty() ? std::string() : c.supertypes.front();
    }
    return chain;
  };
  std::map<std::string, meta::Property> properties;  // "Class/feature"
  std::vector<std::pair<std::string, std::string>> opposites;
  for (const std::string& name : classOrder) {
    const std::set<std::string> inherited = chainOf(name);
    std::vector<std::string> sources{name};
    std::set<std::string> visited = inherited;
    for (std::size_t i = 0; i < sources.size(); ++i) {
      const EClass& source = classes.at(sources[i]);
      for (std::size_t s = i == 0 ? 1 : 0; s < source.supertypes.size(); ++s)
        if (visited.insert(source.supertypes[s]).second) sources.push_back(source.supertypes[s]);
    }
    // Names the class has already through its superclass chain.
    std::set<std::string> names;
    for (const std::string& ancestor : inherited)
      if (ancestor != name)
        for (const Feature& f : classes.at(ancestor).features) names.insert(f.name);
    for (const std::string& sourceName : sources) {
      for (const Feature& f : classes.at(sourceName).features) {
        if (!names.insert(f.name).second) continue;
        const std::string target = local(f.type);
        meta::Type type;
        if (const meta::Type* standard = ecoreType(f.type)) type = *standard;
        else if (f.reference && f.type.rfind("#//", 0) == 0 && classes.count(target)) type = buildClass(target);
        else if (f.type.rfind("#//", 0) == 0 && builtEnums.count(target)) type = builtEnums.at(target);
        else if (f.type.rfind("#//", 0) == 0 && dataTypes.count(target)) type = meta::StandardTypes::stringMeta();
        if (!type || f.upper == 0) {
          ++result.skippedFeatures;
          continue;
        }
        meta::PropertyOptions options;
        options.bounds(std::min(f.lower, f.upper), f.upper).setOrdered(f.upper > 1);
        options.setComposite(f.containment && f.reference);
        const meta::Property property = builder.addProperty(built.at(name), u16(f.name), type, options);
        // Opposites only between the declaring classes' own features.
        if (sourceName == name) {
          properties[name + "/" + f.name] = property;
          if (!f.opposite.empty()) opposites.emplace_back(name + "/" + f.name, f.opposite);
        }
      }
    }
  }
  for (const auto& [from, to] : opposites) {
    // Each pair once, when both ends were kept.
    if (from < to && properties.count(to)) builder.setOpposite(properties.at(from), properties.at(to));
  }
  result.package = builder.build();
  return result;
}

}  // namespace testsupport
