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
