#pragma once
// What the data source's caches do when its repository transaction ends. A
// rollback (and a commit that fails, which rolls back) takes away what the
// transaction made in the repository: classes, properties appended to stored
// classes, package-version records. Each cache that may remember such things
// registers once what it then forgets; whoever ends the transaction calls
// rolledBack() or committed() once.

#include <functional>
#include <utility>
#include <vector>

namespace vlt_datasource {

class TransactionHooks {
 public:
  /// `forget` runs after every rollback. It must not throw.
  void onRollback(std::function<void()> forget) { rollbackHooks.push_back(std::move(forget)); }
  /// `keep` runs after every commit. It must not throw.
  void onCommit(std::function<void()> keep) { commitHooks.push_back(std::move(keep)); }

  void rolledBack() const noexcept {
    for (const auto& hook : rollbackHooks) hook();
  }
  void committed() const noexcept {
    for (const auto& hook : commitHooks) hook();
  }

 private:
  std::vector<std::function<void()>> rollbackHooks;
  std::vector<std::function<void()>> commitHooks;
};

}  // namespace vlt_datasource
