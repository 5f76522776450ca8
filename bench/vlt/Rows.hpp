#pragma once
// The rows of vlt_bench's create, find and query pairs: one class of 8
// single-valued properties (int32, int64, real64, ustring, string, bool,
// DateTime, UUID) and 100,000 objects with fixed random values, the
// repository file that holds them, and how a hand-written client reads and
// writes the same tables.

#include <vlt/Repository.hpp>

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vlt_bench::rowset {

constexpr std::size_t rowCount = 100000;
constexpr std::size_t lookupCount = 20000;

struct Row {
  boost::uuids::uuid objectUuid;
  std::int32_t int32Value;
  std::int64_t int64Value;
  double realValue;
  std::u16string ustringValue;
  std::string stringValue;
  bool boolValue;
  boost::posix_time::ptime timeValue;
  boost::uuids::uuid uuidValue;
};

inline const boost::posix_time::ptime epoch(boost::gregorian::date(1970, 1, 1));

/// The rows every benchmark writes or reads (fixed random values), and the
/// rows looked up, by index.
const std::vector<Row>& rows();
const std::vector<std::size_t>& lookups();

/// Folds one row's values into a number: each side of a pair folds what it
/// read, and the sums must match.
std::uint64_t fold(std::int32_t i32, std::int64_t i64, double real, const std::u16string& ustring,
                   const std::string& string, bool flag, const boost::posix_time::ptime& time,
                   const boost::uuids::uuid& uuid);
std::uint64_t expectedLookupSum();

/// The row class and its properties in an open repository.
struct RowClass {
  vlt::ClassRef cls;
  vlt::PropertyRef int32Property, int64Property, realProperty, ustringProperty, stringProperty, boolProperty,
      timeProperty, uuidProperty;
};
void createRepository(vlt::DataModelRepository& repo, const std::string& path);
RowClass rowClass(const vlt::DataModelRepository& repo);
/// Writes the first `count` rows through one ObjectConstructor in one
/// transaction.
void writeRowsThroughRepository(vlt::DataModelRepository& repo, std::size_t count = rowCount);
/// A repository file holding all rows, made once per run.
const std::string& filledRepository();

/// The tables the repository made for the row class: its class table and the
/// column of each property there (named after the ids, as the repository
/// names them; checked against the file so that a change of the layout stops
/// the benchmark instead of measuring something else).
struct RawLayout {
  std::int64_t classId = 0;
  std::string table;
  std::vector<std::string> columns;  // in the order of Row's values
};
RawLayout rawLayout(const std::string& path);

/// Values as the repository stores them.
std::int64_t storedTime(const boost::posix_time::ptime& t);
std::int64_t storedReal(double d);
double realFromStored(std::int64_t stored);

void writeRowsRaw(sqlite3* db, const RawLayout& layout);
/// Checks through the repository that `path` (a file or a PostgreSQL URI)
/// holds the first `count` rows.
void checkWrittenRows(const std::string& path, std::size_t count = rowCount);

}  // namespace vlt_bench::rowset
