#include "SharedLibrary.hpp"

#include <dlfcn.h>

#include <stdexcept>

namespace cppmicroservices::detail {

std::unique_ptr<SharedLibrary> SharedLibrary::open(const std::string& path) {
  // RTLD_LOCAL: two bundles may export the same activator symbols.
  // RTLD_NODELETE: see the class comment.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* message = ::dlerror();
    throw std::runtime_error(message != nullptr ? message : ("cannot load " + path));
  }
  return std::unique_ptr<SharedLibrary>(new SharedLibrary(handle));
}

SharedLibrary::~SharedLibrary() { ::dlclose(handle_); }

void* SharedLibrary::symbol(const char* name) const noexcept {
  // Searches the library and then what it depends on (see the README: a bundle
  // library should not link another bundle library).
  ::dlerror();
  return ::dlsym(handle_, name);
}

}  // namespace cppmicroservices::detail
