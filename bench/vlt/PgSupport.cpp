#include "PgSupport.hpp"

#include "PgBench.hpp"

#include <unistd.h>

#include <cstdio>
#include <set>
#include <stdexcept>

namespace vlt_bench::pg {

std::string& serverUri() {
  static std::string uri;
  return uri;
}

namespace {

std::string trimmed(std::string message) {
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  return message;
}

// The connection that makes and drops the schemas, opened on first use and
// kept for the run.
PGconn* admin() {
  static Connection connection = [] {
    Connection c = connect(serverUri());
    exec(c.get(), "SET client_min_messages = warning");
    return c;
  }();
  return connection.get();
}

// Schemas made and not yet dropped.
std::set<std::string>& liveSchemas() {
  static std::set<std::string> names;
  return names;
}

}  // namespace

Connection connect(const std::string& uri) {
  Connection c(PQconnectdb(uri.c_str()));
  if (!c) throw std::runtime_error("cannot connect to the PostgreSQL server: out of memory");
  if (PQstatus(c.get()) != CONNECTION_OK) {
    // libpq's message names the host and the database, never the password.
    throw std::runtime_error("cannot connect to the PostgreSQL server: " + trimmed(PQerrorMessage(c.get())));
  }
  // Notices ("relation exists, skipping") are no news here.
  PQsetNoticeProcessor(c.get(), [](void*, const char*) {}, nullptr);
  return c;
}

void check(PGconn* c, const PGresult* r, const std::string& what) {
  const ExecStatusType status = r ? PQresultStatus(r) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return;
  throw std::runtime_error(what + ": " + trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(c)));
}

Result exec(PGconn* c, const std::string& sql) {
  Result r(PQexec(c, sql.c_str()));
  check(c, r.get(), sql);
  return r;
}

void prepare(PGconn* c, const char* name, const std::string& sql, int parameters) {
  const Result r(PQprepare(c, name, sql.c_str(), parameters, nullptr));
  check(c, r.get(), "cannot prepare " + sql);
}

FreshSchema::FreshSchema() {
  static int counter = 0;
  name_ = "vlt_bench_" + std::to_string(::getpid()) + "_" + std::to_string(++counter);
  const std::string& base = serverUri();
  uri_ = base + (base.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + name_;
  exec(admin(), "DROP SCHEMA IF EXISTS " + name_ + " CASCADE");
  exec(admin(), "CREATE SCHEMA " + name_);
  liveSchemas().insert(name_);
}

FreshSchema::~FreshSchema() {
  try {
    exec(admin(), "DROP SCHEMA " + name_ + " CASCADE");
    liveSchemas().erase(name_);
  } catch (...) {
    // Left for dropLeftSchemas at the end of the run.
  }
}

void dropLeftSchemas() noexcept {
  if (liveSchemas().empty()) return;
  try {
    for (const std::string& name : liveSchemas()) exec(admin(), "DROP SCHEMA IF EXISTS " + name + " CASCADE");
    liveSchemas().clear();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vlt_bench: cannot drop the benchmark schemas: %s\n", e.what());
  }
}

void settle(const FreshSchema& schema) {
  const Result tables = exec(admin(), "SELECT table_name FROM information_schema.tables WHERE table_schema = '" +
                                          schema.name() + "' AND table_type = 'BASE TABLE'");
  for (int row = 0; row < PQntuples(tables.get()); ++row) {
    exec(admin(), "VACUUM ANALYZE " + schema.name() + "." + PQgetvalue(tables.get(), row, 0));
  }
}

}  // namespace vlt_bench::pg
