#pragma once
// The interfaces the test bundles provide.

#include <string>

namespace testbundles {

struct Greeter {
  virtual ~Greeter() = default;
  virtual std::string greet(const std::string& name) const = 0;
};

struct Described {
  virtual ~Described() = default;
  virtual std::string description() const = 0;
};

}  // namespace testbundles
