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

}  // namespace testsupport
