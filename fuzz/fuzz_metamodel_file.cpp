// fuzz_metamodel_file: the input is a base metamodel file. It goes through
// the XML reader directly (with the default limits and with small ones), then
// through the reader of the whole file, which is what a new repository's
// open runs.
//
// Promised answers: XmlError from the XML reader, MetamodelFileError from
// the file reader. Anything else is a finding, and so is a broken promise of
// their results: an error line outside the text, a tree that depends on
// limits it did not reach, an error that does not name the file, or classes
// that do not come after their superclasses.

#include "FuzzSupport.hpp"
#include "MetamodelFile.hpp"
#include "XmlReader.hpp"

#include <vlt/Errors.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace {

using vlt::detail::XmlElement;
using vlt::detail::XmlError;
using vlt::detail::XmlLimits;

// Depth is at most the reader's limit, so recursion here is bounded.
bool sameTree(const XmlElement& a, const XmlElement& b) {
  if (a.name != b.name || a.attributes != b.attributes || a.line != b.line || a.children.size() != b.children.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.children.size(); ++i) {
    if (!sameTree(a.children[i], b.children[i])) return false;
  }
  return true;
}

void checkErrorLine(const XmlError& e, std::string_view text) {
  const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
  if (e.line() < 1 || e.line() > lines) {
    vlt_fuzz::finding("XmlError at line " + std::to_string(e.line()) + " of a text of " + std::to_string(lines) +
                      " lines: " + e.what());
  }
}

void parseDirectly(std::string_view text) {
  bool parsed = false;
  XmlElement full;
  try {
    full = vlt::detail::parseXml(text);
    parsed = true;
  } catch (const XmlError& e) {
    checkErrorLine(e, text);
  }
  XmlLimits small;
  small.maxDepth = 4;
  small.maxElements = 16;
  try {
    const XmlElement limited = vlt::detail::parseXml(text, small);
    // Within the small limits the default ones cannot have refused it.
    if (!parsed || !sameTree(full, limited)) vlt_fuzz::finding("the tree depends on limits it stays within");
  } catch (const XmlError& e) {
    checkErrorLine(e, text);
  }
}

void readFile(const std::string& path) {
  const std::string filespec = "/fuzz/repository.db";
  try {
    const vlt::detail::MetamodelFile file = vlt::detail::readMetamodelFile(path, filespec);
    std::set<std::string> seen;
    for (const auto& cls : file.classes) {
      for (const std::string& super : cls.superclasses) {
        if (!seen.count(super)) vlt_fuzz::finding("class " + cls.name + " comes before its superclass " + super);
      }
      seen.insert(cls.name);
    }
  } catch (const vlt::MetamodelFileError& e) {
    if (std::string_view(e.what()).find(path) == std::string_view::npos || e.filespec() != filespec) {
      vlt_fuzz::finding(std::string("MetamodelFileError without the file or the repository: ") + e.what());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const vlt_fuzz::ScratchFolder folder;
  try {
    parseDirectly(std::string_view(reinterpret_cast<const char*>(data), size));
    readFile(folder.freshFile("baseMetamodel.xml", data, size));
  } catch (const std::exception& e) {
    vlt_fuzz::unexpectedException(e);
  }
  return 0;
}
