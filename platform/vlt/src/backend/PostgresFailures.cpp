// What a PostgreSQL failure means for the repository, apart from the
// connection that met it, so that it is tested without a server.

#include "backend/Backend.hpp"

#include <string>

namespace vlt::sql {

PostgresqlFailure postgresqlFailure(const std::string& state, bool connectionBad) {
  if (state == "55P03" || state == "40001" || state == "40P01") return PostgresqlFailure::locked;
  if (state.rfind("23", 0) == 0) return PostgresqlFailure::constraint;
  if (state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0 || connectionBad)
    return PostgresqlFailure::connectionLost;
  return PostgresqlFailure::other;
}

// libpq gives no SQLSTATE for a failed connection, only the server's words;
// the SQLSTATE they stand for, so that callers can tell the cases apart.
const char* postgresqlConnectionState(const std::string& message) {
  auto has = [&message](const char* words) { return message.find(words) != std::string::npos; };
  if (has("password")) return "28P01";                      // invalid_password
  if (has("does not exist") && has("role")) return "28000";  // invalid_authorization_specification
  if (has("does not exist") && has("database")) return "3D000";  // invalid_catalog_name
  return "08001";                                            // sqlclient_unable_to_establish_sqlconnection
}

}  // namespace vlt::sql
