#pragma once
// The base metamodel file: classes, properties and enumerations that a new
// repository starts with. The format is described in the component README.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vlt::detail {

struct MetamodelFile {
  struct Property {
    std::string name;
    std::string type;
    std::uint32_t lower = 0;
    std::uint32_t upper = 1;
    bool composite = false;
    bool ordered = false;
    bool optional = false;
    bool unique = true;
    std::string opposite;
    std::string documentation;
    int line = 0;  ///< where it is defined in the file
  };
  struct Class {
    std::string name;
    std::vector<std::string> superclasses;
    std::vector<Property> properties;
    int line = 0;
  };
  struct Enumeration {
    std::string name;
    std::vector<std::pair<std::string, int>> literals;
    int line = 0;
  };
  /// In document order.
  std::vector<Enumeration> enumerations;
  /// Every class after its superclasses, otherwise in document order.
  /// Property types may name any class of the file: create all classes
  /// before the first property.
  std::vector<Class> classes;
};

/// Reads and checks the file at `path` (UTF-8) whole: names may be used
/// before they are defined, but every name must be defined once, superclasses
/// may not form a cycle, and nothing may be created that the repository
/// would refuse. Throws MetamodelFileError naming `filespec` (the repository)
/// and the file.
MetamodelFile readMetamodelFile(const std::string& path, const std::string& filespec);

}  // namespace vlt::detail
