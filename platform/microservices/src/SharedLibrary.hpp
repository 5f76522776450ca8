#pragma once
// The one place that calls the dynamic loader.

#include <memory>
#include <string>

namespace cppmicroservices::detail {

/// A loaded shared library. Loaded with its symbols resolved at once and kept
/// local, and marked never to be unmapped: service objects and activators
/// that came from it may outlive this handle (a host keeps a service for the
/// life of the process), so its code must stay. Not copyable.
class SharedLibrary {
 public:
  /// Loads `path`. Throws std::runtime_error with the loader's message.
  static std::unique_ptr<SharedLibrary> open(const std::string& path);
  ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  /// The address of the exported symbol `name`; null when there is none.
  void* symbol(const char* name) const noexcept;

 private:
  explicit SharedLibrary(void* handle) : handle_(handle) {}
  void* handle_;
};

}  // namespace cppmicroservices::detail
