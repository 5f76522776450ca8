#pragma once
// PostgreSQL statement texts: the repository's "?1" placeholders in the
// server's form, and the rows of single-row INSERTs (and single-value
// upserts) that wait to go out together as multi-row statements. Free of
// libpq: the connection sends them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace vlt::sql::pg {

/// "?1" placeholders as "$1", outside quoted text.
std::string dollarPlaceholders(const std::string& sql);

/// A bound parameter: binary bytes, or NULL; `type` is the server's type
/// oid, 0 when the server decides.
struct Parameter {
  bool null = true;
  std::uint32_t type = 0;
  std::string bytes;
};

/// What a single-row INSERT whose rows may go out together looks like:
/// "INSERT INTO <table> (<columns>) VALUES ($1, ..., $n)", then nothing or
/// the upsert's "ON CONFLICT (id) DO UPDATE SET ..." (in the dollar form).
struct InsertShape {
  int columns = 0;  ///< 0: another statement
  bool upsert = false;
  std::string table;
  std::string head;  ///< up to "VALUES "
  std::string tail;  ///< after the row
};

InsertShape insertShape(const std::string& text);

/// Rows of one single-row INSERT waiting to go out together. They leave as
/// INSERTs of a power of two rows (at most maxRows, and never more than the
/// protocol's 65,535 parameters), each row count a statement prepared on its
/// first use with untyped parameters: the server takes each value as its
/// column's type, whichever rows hold NULLs.
///
/// Rows of different statements may reach the server in another order than
/// they were written, where that changes nothing: the tables have no foreign
/// keys or triggers; upserts of one table commute with each other (each sets
/// its own column), but not with plain INSERTs into it (a row would exist
/// too early), and one upsert may not touch a row twice (the rows of a batch
/// have distinct ids). Everything else that could see the difference (a
/// read, any other write, a savepoint, the commit) sends the rows first.
struct RowBatch {
  static constexpr std::size_t maxRows = 64;

  RowBatch(std::string sqlText, InsertShape insert);
  void add(const std::vector<Parameter>& parameters);
  /// The statement for `count` rows.
  std::string text(std::size_t count) const;
  void clear() noexcept;

  std::string sql;  ///< the single-row statement, for messages
  InsertShape shape;
  std::size_t limit = 1;  ///< rows in the largest statement
  std::size_t rows = 0;
  std::string bytes;         ///< the values of every waiting row, one after another
  std::vector<int> lengths;  ///< a value's length, -1 for NULL
  std::unordered_set<std::string> keys;  ///< an upsert's waiting ids
  /// The prepared statement for 2^k rows, by k; empty until prepared.
  std::vector<std::string> names = std::vector<std::string>(8);
};

}  // namespace vlt::sql::pg
