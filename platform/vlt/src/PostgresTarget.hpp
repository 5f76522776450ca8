#pragma once
// What a PostgreSQL connection string means to libpq and to messages.

#include <string>

namespace vlt::detail {

struct PostgresTarget {
  /// The URI for libpq: the repository's own parameters removed (libpq
  /// refuses parameters it does not know).
  std::string libpqUri;
  /// The same with its password (in the user part or as a "password"
  /// parameter) replaced by "***": what messages and filespec() show.
  std::string filespec;
};

/// `text` must parse as a PostgreSQL Uri.
PostgresTarget postgresTarget(const std::string& text);

}  // namespace vlt::detail
