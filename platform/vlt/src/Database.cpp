#include "Database.hpp"

namespace vlt::detail {

void Database::usage(const std::string& message) const { throw UsageError(message, filespec_); }

void Database::refuseFromTrace() const {
  throw UsageError("the repository was called from its trace callback, in the middle of a statement", filespec_);
}

void Database::discard() noexcept {
  if (connection_) connection_->discardIfCreated();
  connection_.reset();
}

}  // namespace vlt::detail
