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

std::string RowBatch::copyText() const {
  // The head is "INSERT INTO <table> [(<columns>) ]VALUES ".
  const std::size_t open = shape.head.find('(');
  const std::string columns =
      open == std::string::npos ? std::string() : shape.head.substr(open, shape.head.rfind(')') + 1 - open) + " ";
  return "COPY " + shape.table + " " + columns + "FROM STDIN (FORMAT binary)";
}

const std::string& RowBatch::copyData() {
  appendBigEndian(bytes, 0xFFFFu, 2);  // the trailer: a row of -1 fields
  return bytes;
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
