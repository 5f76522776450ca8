#include "backend/PgRowBatch.hpp"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <utility>

namespace vlt::sql::pg {

std::string dollarPlaceholders(const std::string& sql) {
  std::string out;
  out.reserve(sql.size());
  char quote = 0;
  for (char c : sql) {
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == '?') {
      c = '$';
    }
    out.push_back(c);
  }
  return out;
}

InsertShape insertShape(const std::string& text) {
  InsertShape shape;
  const std::string into = "INSERT INTO ";
  const std::size_t values = text.find(" VALUES (");
  if (text.rfind(into, 0) != 0 || values == std::string::npos) return shape;
  const std::size_t close = text.find(')', values);
  const auto n = static_cast<int>(std::count(text.begin() + static_cast<std::ptrdiff_t>(values),
                                             text.begin() + static_cast<std::ptrdiff_t>(close), '$'));
  std::string row = "(";
  for (int k = 1; k <= n; ++k) row += (k > 1 ? ", $" : "$") + std::to_string(k);
  if (n == 0 || text.compare(values + 8, row.size() + 1, row + ")") != 0) return shape;
  shape.tail = text.substr(close + 1);
  shape.upsert = shape.tail.rfind(" ON CONFLICT (id) DO UPDATE SET ", 0) == 0;
  if (!shape.tail.empty() && !shape.upsert) return shape;
  shape.columns = n;
  shape.table = text.substr(into.size(), text.find(' ', into.size()) - into.size());
  shape.head = text.substr(0, values + 8);
  return shape;
}

namespace {

// The word after `prefix` at the start of `sql`, up to a space.
std::string wordAfter(const std::string& sql, const std::string& prefix) {
  if (sql.rfind(prefix, 0) != 0) return std::string();
  const std::size_t end = sql.find(' ', prefix.size());
  return end == std::string::npos ? std::string() : sql.substr(prefix.size(), end - prefix.size());
}

}  // namespace

std::string createdTable(const std::string& sql) { return wordAfter(sql, "CREATE TABLE "); }

IndexText createdIndex(const std::string& sql) {
  IndexText index;
  index.name = wordAfter(sql, "CREATE INDEX ");
  const std::string on = "CREATE INDEX " + index.name + " ON ";
  if (!index.name.empty()) index.table = wordAfter(sql, on);
  if (index.table.empty()) index.name.clear();
  return index;
}

namespace {

// The binary COPY format's signature, flags and header extension length.
constexpr char copyHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";

void appendBigEndian(std::string& out, std::uint32_t value, int size) {
  for (int k = size - 1; k >= 0; --k) out.push_back(static_cast<char>((value >> (8 * k)) & 0xFF));
}

}  // namespace

RowBatch::RowBatch(std::string sqlText, InsertShape insert)
    : sql(std::move(sqlText)), shape(std::move(insert)), copy(!shape.upsert) {
  const std::size_t most = std::min<std::size_t>(maxRows, 65535 / static_cast<std::size_t>(shape.columns));
  while (limit * 2 <= most) limit *= 2;
  if (copy) bytes.assign(copyHeader, sizeof copyHeader - 1);
}

void RowBatch::add(const std::vector<Parameter>& parameters) {
  if (copy) {
    appendBigEndian(bytes, static_cast<std::uint32_t>(parameters.size()), 2);
    for (const Parameter& p : parameters) {
      appendBigEndian(bytes, p.null ? 0xFFFFFFFFu : static_cast<std::uint32_t>(p.bytes.size()), 4);
      if (!p.null) bytes += p.bytes;
    }
  } else {
    for (const Parameter& p : parameters) {
      lengths.push_back(p.null ? -1 : static_cast<int>(p.bytes.size()));
      if (!p.null) bytes += p.bytes;
    }
  }
  ++rows;
}

namespace {

// The column list of an INSERT's head, "INSERT INTO <table> [(<columns>) ]VALUES ",
// with its parentheses; empty without one.
std::string columnList(const std::string& head) {
  const std::size_t open = head.find('(');
  return open == std::string::npos ? std::string() : head.substr(open, head.rfind(')') + 1 - open);
}

// A temporary table: dropped by the statement that empties it, and gone with
// a transaction that fails before.
constexpr char stagingTable[] = "vlt_staged";

}  // namespace

std::string RowBatch::copyText() const {
  const std::string columns = columnList(shape.head);
  return "COPY " + shape.table + " " + columns + (columns.empty() ? "" : " ") + "FROM STDIN (FORMAT binary)";
}

const std::string& RowBatch::copyData() {
  appendBigEndian(bytes, 0xFFFFu, 2);  // the trailer: a row of -1 fields
  return bytes;
}

// The staging table takes its columns' types from the target's, so that
// the COPY reads each value in the binary form the target's column reads.
std::string RowBatch::stagingText() const {
  const std::string columns = columnList(shape.head);
  return std::string("CREATE TEMP TABLE ") + stagingTable + " AS SELECT " + columns.substr(1, columns.size() - 2) +
         " FROM " + shape.table + " WITH NO DATA; COPY " + stagingTable + " " + columns + " FROM STDIN (FORMAT binary)";
}

std::string RowBatch::stagingData() const {
  std::string data(copyHeader, sizeof copyHeader - 1);
  data.reserve(data.size() + bytes.size() + rows * (2 + 4 * static_cast<std::size_t>(shape.columns)) + 2);
  std::size_t offset = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    appendBigEndian(data, static_cast<std::uint32_t>(shape.columns), 2);
    for (int c = 0; c < shape.columns; ++c) {
      const int length = lengths[r * static_cast<std::size_t>(shape.columns) + static_cast<std::size_t>(c)];
      appendBigEndian(data, length < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(length), 4);
      if (length <= 0) continue;
      data.append(bytes, offset, static_cast<std::size_t>(length));
      offset += static_cast<std::size_t>(length);
    }
  }
  appendBigEndian(data, 0xFFFFu, 2);
  return data;
}

std::string RowBatch::stagedUpsertText() const {
  const std::string columns = columnList(shape.head);
  return "INSERT INTO " + shape.table + " " + columns + " SELECT " + columns.substr(1, columns.size() - 2) +
         " FROM " + stagingTable + shape.tail + "; DROP TABLE " + stagingTable;
}

std::string RowBatch::text(std::size_t count) const {
  std::string t = shape.head;
  int parameter = 0;
  for (std::size_t r = 0; r < count; ++r) {
    t += r > 0 ? ", (" : "(";
    for (int c = 0; c < shape.columns; ++c) t += (c > 0 ? ", $" : "$") + std::to_string(++parameter);
    t += ")";
  }
  return t + shape.tail;
}

void RowBatch::clear() noexcept {
  rows = 0;
  bytes.resize(copy ? sizeof copyHeader - 1 : 0);  // the header stays
  lengths.clear();
  keys.clear();
}

}  // namespace vlt::sql::pg
