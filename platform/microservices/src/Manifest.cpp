#include "Manifest.hpp"

#include <cppmicroservices/Constants.hpp>

#include <boost/json/stream_parser.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace cppmicroservices::detail {

namespace {

namespace fs = std::filesystem;

Any toAny(const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::null:
      return Any();
    case boost::json::kind::bool_:
      return value.get_bool();
    case boost::json::kind::int64:
      return value.get_int64();
    case boost::json::kind::uint64:
      // Boost.JSON keeps non-negative integers that fit int64 as int64, so
      // this is only ever above INT64_MAX.
      return value.get_uint64();
    case boost::json::kind::double_:
      return value.get_double();
    case boost::json::kind::string:
      return std::string(value.get_string());
    case boost::json::kind::array: {
      std::vector<Any> items;
      for (const boost::json::value& item : value.get_array()) items.push_back(toAny(item));
      return items;
    }
    case boost::json::kind::object: {
      AnyMap map;
      for (const auto& member : value.get_object()) map.emplace(std::string(member.key()), toAny(member.value()));
      return map;
    }
  }
  return Any();
}

[[noreturn]] void fail(const std::string& location, const std::string& cause) {
  throw std::runtime_error("Cannot install the bundle at \"" + location + "\": " + cause);
}

std::string readFile(const fs::path& path, const std::string& location) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail(location, "cannot read its manifest \"" + path.string() + "\"");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) fail(location, "cannot read its manifest \"" + path.string() + "\"");
  return text.str();
}

}  // namespace

AnyMap parseManifest(const std::string& text, const std::string& path) {
  boost::json::stream_parser parser;
  boost::system::error_code ec;
  // write stops at the first error, so the count it returns is the
  // offset of the fault: worth a lot in a hand-edited file.
  const std::size_t consumed = parser.write(text.data(), text.size(), ec);
  if (!ec) parser.finish(ec);
  if (ec) {
    throw std::runtime_error("the manifest \"" + path + "\" is not valid JSON (" + ec.message() + " at offset " +
                             std::to_string(consumed) + ")");
  }
  const boost::json::value root = parser.release();
  if (!root.is_object()) throw std::runtime_error("the manifest \"" + path + "\" is not a JSON object");
  return any_cast<AnyMap>(toAny(root));
}

Manifest readManifest(const std::string& location) {
  Manifest manifest;
  std::error_code ec;
  const fs::path given(location);
  const bool isFolder = fs::is_directory(given, ec);
  const fs::path folder = isFolder ? given : given.parent_path();
  const fs::path manifestPath = folder / "manifest.json";
  manifest.manifestPath = manifestPath.string();
  if (!fs::exists(manifestPath, ec)) fail(location, "its manifest \"" + manifest.manifestPath + "\" is missing");

  try {
    manifest.headers = parseManifest(readFile(manifestPath, location), manifest.manifestPath);
  } catch (const std::runtime_error& e) {
    fail(location, e.what());
  }

  const auto wrongType = [&](const char* key, const char* expected) {
    fail(location, "the manifest \"" + manifest.manifestPath + "\" has \"" + key + "\" that is not " + expected);
  };
  const auto name = manifest.headers.find(Constants::BUNDLE_SYMBOLICNAME);
  if (name == manifest.headers.end())
    fail(location, "the manifest \"" + manifest.manifestPath + "\" has no \"" + Constants::BUNDLE_SYMBOLICNAME + "\"");
  const std::string* symbolicName = any_cast<std::string>(&name->second);
  if (symbolicName == nullptr || symbolicName->empty())
    wrongType(Constants::BUNDLE_SYMBOLICNAME, "a non-empty string");
  manifest.symbolicName = *symbolicName;

  if (const auto activator = manifest.headers.find(Constants::BUNDLE_ACTIVATOR); activator != manifest.headers.end()) {
    const bool* flag = any_cast<bool>(&activator->second);
    if (flag == nullptr) wrongType(Constants::BUNDLE_ACTIVATOR, "true or false");
    manifest.hasActivator = *flag;
  }

  std::string libraryName = "lib" + manifest.symbolicName + ".so";
  if (const auto library = manifest.headers.find(Constants::BUNDLE_LIBRARY); library != manifest.headers.end()) {
    const std::string* file = any_cast<std::string>(&library->second);
    if (file == nullptr || file->empty() || file->find('/') != std::string::npos)
      wrongType(Constants::BUNDLE_LIBRARY, "a file name");
    libraryName = *file;
  }

  const fs::path libraryPath = isFolder ? folder / libraryName : given;
  manifest.libraryPath = libraryPath.string();
  if (!fs::is_regular_file(libraryPath, ec)) fail(location, "its library \"" + manifest.libraryPath + "\" is missing");
  return manifest;
}

}  // namespace cppmicroservices::detail
