#pragma once
// The data source's memos of repository classes and enumerations, valid for
// one write.

#include "external/Repository.hpp"

#include <unordered_map>

namespace vlt_datasource {

// The class and enumeration memos hold for one write: a rollback between two
// writes may take away what they remember.
class WriteMemoScope {
 public:
  WriteMemoScope(std::unordered_map<const void*, vlt::ClassRef>& classes,
                 std::unordered_map<const void*, vlt::EnumerationRef>& enumerations)
      : classMemo(classes), enumerationMemo(enumerations) {
    clear();
  }
  ~WriteMemoScope() { clear(); }
  WriteMemoScope(const WriteMemoScope&) = delete;
  WriteMemoScope& operator=(const WriteMemoScope&) = delete;

 private:
  void clear() {
    classMemo.clear();
    enumerationMemo.clear();
  }
  std::unordered_map<const void*, vlt::ClassRef>& classMemo;
  std::unordered_map<const void*, vlt::EnumerationRef>& enumerationMemo;
};

}  // namespace vlt_datasource
