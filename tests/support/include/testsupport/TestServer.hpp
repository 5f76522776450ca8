#pragma once

#include <string>

namespace testsupport {

/// The connection URI of the throw-away PostgreSQL server that scripts/test
/// starts, from the environment variable VLT_TEST_POSTGRESQL_URI. Tests that
/// need it have "PostgreSQL" in their name (they get the ctest label
/// "postgresql"). When the variable is missing the calling test fails, so
/// that a broken server set-up never passes as skipped tests.
std::string postgresqlTestUri();

}  // namespace testsupport

namespace testsupport {

/// A URI of the test server whose search path is a schema of its own, made
/// for the caller: a database as empty as a new SQLite file, without the
/// cost of a new database. Gives the empty string (after a test failure)
/// when the server cannot be reached.
std::string freshPostgresqlSchema();

/// Runs one SQL command on the test server (any schema), for tests that
/// must act as the administrator: terminate a backend, drop a schema.
/// Returns the first column of the first row, if any. Fails the test when
/// the command fails.
std::string postgresqlAdmin(const std::string& uri, const std::string& sql);

/// A loopback port that accepts connections into its backlog and never
/// answers, as a server that hangs: a client waits there for its reply until
/// its own timeout, or until the listener is closed (which resets the waiting
/// connections). Not copyable.
class SilentServer {
 public:
  SilentServer();  ///< throws std::runtime_error when it cannot listen
  ~SilentServer();
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;

  /// A PostgreSQL address of it with a password ("s3cret") and the libpq
  /// parameters `parameters` ("connect_timeout=60").
  std::string uri(const std::string& parameters = "connect_timeout=60") const;
  /// Closes the listener.
  void close();

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace testsupport
