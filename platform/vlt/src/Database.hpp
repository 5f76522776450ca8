#pragma once
// The database a repository is open on: the engine's connection (until the
// repository closes), where it is, and whether it may be written. Every part
// reaches the engine through it, and names the repository in what it throws.

#include "backend/Backend.hpp"

#include <vlt/Errors.hpp>

#include <memory>
#include <string>

namespace vlt::detail {

/// Not synchronised.
class Database {
 public:
  Database(std::unique_ptr<sql::Connection> connection, std::string filespec, bool readOnly)
      : connection_(std::move(connection)), filespec_(std::move(filespec)), readOnly_(readOnly) {}
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool isOpen() const noexcept { return connection_ != nullptr; }
  bool readOnly() const noexcept { return readOnly_; }
  const std::string& filespec() const noexcept { return filespec_; }

  /// The open connection; throws UsageError when closed.
  sql::Connection& connection() const {
    checkOpen();
    return *connection_;
  }
  void checkOpen() const {
    if (!connection_) throw UsageError("the repository is closed", filespec_);
    if (connection_->tracing()) refuseFromTrace();
  }
  /// Whether the trace callback is running.
  bool tracing() const noexcept { return connection_ && connection_->tracing(); }
  [[noreturn]] void refuseFromTrace() const;
  [[noreturn]] void usage(const std::string& message) const;

  /// Closes the connection; what was open is rolled back by the caller first.
  void close() noexcept { connection_.reset(); }
  /// Closes the connection and removes the database when opening created it.
  void discard() noexcept;

 private:
  std::unique_ptr<sql::Connection> connection_;
  std::string filespec_;
  bool readOnly_;
};

}  // namespace vlt::detail
