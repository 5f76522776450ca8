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

  friend bool operator==(const Parameter& a, const Parameter& b) noexcept {
    return a.null == b.null && a.type == b.type && a.bytes == b.bytes;
  }
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

/// The table "CREATE TABLE <table> ..." makes; empty for another statement.
std::string createdTable(const std::string& sql);

/// What "CREATE INDEX <name> ON <table> ..." makes; empty names for another
/// statement, a unique index among them.
struct IndexText {
  std::string name;
  std::string table;
};
IndexText createdIndex(const std::string& sql);

/// Rows of one single-row INSERT waiting to go out together.
///
/// A plain INSERT's rows leave as one binary COPY into its table and
/// columns, encoded as they come: the server then takes rows without
/// parsing, binding or planning a statement (which, not the rows, cost most
/// of a load as multi-row INSERTs), and writes the heap in pages at a time.
/// Each value goes in the binary form it would have been bound in, and the
/// column's type reads it, as with untyped parameters.
///
/// An upsert's rows (COPY has no ON CONFLICT) leave as INSERTs of a power of
/// two rows (at most maxRows, and never more than the protocol's 65,535
/// parameters), each row count a statement prepared on its first use with
/// untyped parameters: the server takes each value as its column's type,
/// whichever rows hold NULLs.
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
  /// The COPY data that goes out as one COPY once gathered: large enough
  /// that its two round trips do not count, small enough that the server
  /// works on one while the next is gathered.
  static constexpr std::size_t copyBytes = 512 * 1024;
  /// The rows of all batches together that make every batch go out: many
  /// tables' rows each short of copyBytes would otherwise hold a load in
  /// memory.
  static constexpr std::size_t waitingBytes = 8 * copyBytes;

  RowBatch(std::string sqlText, InsertShape insert);
  void add(const std::vector<Parameter>& parameters);
  /// The statement for `count` rows (an upsert's).
  std::string text(std::size_t count) const;
  /// "COPY <table> (<columns>) FROM STDIN (FORMAT binary)" (a plain INSERT's).
  std::string copyText() const;
  /// The COPY data of every waiting row, with its trailer: the batch must be
  /// cleared after it is sent.
  const std::string& copyData();
  /// Whether enough COPY data waits to go out on its own.
  bool full() const noexcept { return copy && bytes.size() >= copyBytes; }
  void clear() noexcept;

  std::string sql;  ///< the single-row statement, for messages
  InsertShape shape;
  bool copy = false;      ///< the rows go out as COPY data
  std::size_t limit = 1;  ///< rows in the largest statement
  std::size_t rows = 0;
  /// COPY data (header, then row after row), or the values of every waiting
  /// row one after another
  std::string bytes;
  std::vector<int> lengths;  ///< a value's length, -1 for NULL (not for COPY)
  std::unordered_set<std::string> keys;  ///< an upsert's waiting ids
  /// The prepared statement for 2^k rows, by k; empty until prepared.
  std::vector<std::string> names = std::vector<std::string>(8);
};

}  // namespace vlt::sql::pg
