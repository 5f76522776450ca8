#pragma once
// What the PostgreSQL pairs of vlt_bench share: the server given with
// --postgresql, a fresh schema per iteration, raw libpq handles and the
// binary forms the repository stores (int8 big-endian, bytea).

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace vlt_bench::pg {

// ---------------------------------------------------------------- raw libpq

struct ConnectionFinish {
  void operator()(PGconn* c) const noexcept { PQfinish(c); }
};
struct ResultClear {
  void operator()(PGresult* r) const noexcept { PQclear(r); }
};
using Connection = std::unique_ptr<PGconn, ConnectionFinish>;
using Result = std::unique_ptr<PGresult, ResultClear>;

/// Connects; throws with libpq's message (never the password) on failure.
Connection connect(const std::string& uri);
/// Runs `sql` (no parameters) and throws unless it succeeded.
Result exec(PGconn* c, const std::string& sql);
/// Throws unless `r` is a success (COMMAND_OK or TUPLES_OK).
void check(PGconn* c, const PGresult* r, const std::string& what);
/// Prepares `sql` as the server-side statement `name` with parameter types
/// left to the server.
void prepare(PGconn* c, const char* name, const std::string& sql, int parameters);

/// An int8 parameter or column in binary: 8 bytes, big-endian.
struct Int8 {
  char bytes[8];
  explicit Int8(std::int64_t value = 0) { set(value); }
  void set(std::int64_t value) {
    auto u = static_cast<std::uint64_t>(value);
    for (int k = 7; k >= 0; --k, u >>= 8) bytes[k] = static_cast<char>(u & 0xFF);
  }
};
inline std::int64_t int8At(const PGresult* r, int row, int column) {
  const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(r, row, column));
  std::uint64_t v = 0;
  for (int k = 0; k < 8; ++k) v = v << 8 | p[k];
  return static_cast<std::int64_t>(v);
}
inline std::string_view bytesAt(const PGresult* r, int row, int column) {
  return std::string_view(PQgetvalue(r, row, column), static_cast<std::size_t>(PQgetlength(r, row, column)));
}

// ---------------------------------------------------------------- schemas

/// A new, empty schema of the server's database, named after the process and
/// a counter, dropped (with everything in it) at the end of the scope. Its
/// URI is the server's with `options=-csearch_path=<name>`, so that both the
/// repository and a raw connection work inside it.
class FreshSchema {
 public:
  FreshSchema();
  ~FreshSchema();
  FreshSchema(const FreshSchema&) = delete;
  FreshSchema& operator=(const FreshSchema&) = delete;
  const std::string& name() const noexcept { return name_; }
  const std::string& uri() const noexcept { return uri_; }

 private:
  std::string name_;
  std::string uri_;
};

/// Drops the schemas of this run that are still there (an iteration that
/// stopped before its scope ended); called at the end of the run.
void dropLeftSchemas() noexcept;

/// "VACUUM ANALYZE" of every table of the schema, outside any transaction:
/// after a fill, so that the autovacuum daemon has nothing to do with them
/// while a timed part runs.
void settle(const FreshSchema& schema);

}  // namespace vlt_bench::pg
