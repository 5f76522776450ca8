// The benchmark rows of vlt_bench and the repository file that holds them.

#include "Rows.hpp"

#include "BenchSupport.hpp"
#include "RepositoryReads.hpp"

#include <sqlite3.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VLT_BASE_METAMODEL
#error "VLT_BASE_METAMODEL names the base metamodel file"
#endif

namespace vlt_bench::rowset {

using boost::posix_time::ptime;

namespace {
const char* const className = "bench.Row";
}  // namespace

// ---------------------------------------------------------------- the rows

// The rows every benchmark writes or reads: fixed random values, so that each
// run and each benchmark sees the same ones.
const std::vector<Row>& rows() {
  static const std::vector<Row> all = [] {
    std::mt19937_64 random(20261205);
    auto uuid = [&] {
      boost::uuids::uuid u{};
      const std::uint64_t a = random(), b = random();
      std::memcpy(u.data, &a, 8);
      std::memcpy(u.data + 8, &b, 8);
      u.data[6] = static_cast<std::uint8_t>((u.data[6] & 0x0F) | 0x40);  // version 4
      u.data[8] = static_cast<std::uint8_t>((u.data[8] & 0x3F) | 0x80);  // variant
      return u;
    };
    const std::u16string letters = u"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ \u00e9\u00df\u0436\u4e2d";
    std::vector<Row> out(rowCount);
    for (Row& r : out) {
      r.objectUuid = uuid();
      r.int32Value = static_cast<std::int32_t>(random());
      r.int64Value = static_cast<std::int64_t>(random());
      r.realValue = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
      const std::size_t length = 8 + random() % 17;
      for (std::size_t i = 0; i < length; ++i) r.ustringValue.push_back(letters[random() % letters.size()]);
      const std::size_t bytes = 8 + random() % 17;
      for (std::size_t i = 0; i < bytes; ++i) r.stringValue.push_back(static_cast<char>('!' + random() % 94));
      r.boolValue = random() % 2 == 0;
      // Microseconds between 1970 and 2030.
      r.timeValue = epoch + boost::posix_time::microseconds(static_cast<std::int64_t>(random() % 1893456000000000ULL));
      r.uuidValue = uuid();
    }
    return out;
  }();
  return all;
}

// The rows the find benchmarks look up, in order: random, the same for both.
const std::vector<std::size_t>& lookups() {
  static const std::vector<std::size_t> all = [] {
    std::mt19937_64 random(7);
    std::vector<std::size_t> out(lookupCount);
    for (std::size_t& i : out) i = random() % rowCount;
    return out;
  }();
  return all;
}

// What a lookup contributes to the check sum; both find benchmarks fold the
// values they read with it, and the sum over the expected rows must match.
std::uint64_t fold(std::int32_t i32, std::int64_t i64, double real, const std::u16string& ustring,
                   const std::string& string, bool flag, const ptime& time, const boost::uuids::uuid& uuid) {
  std::uint64_t h = static_cast<std::uint32_t>(i32);
  h = h * 31 + static_cast<std::uint64_t>(i64);
  h = h * 31 + static_cast<std::uint64_t>(static_cast<std::int64_t>(real * 1000));
  for (const char16_t c : ustring) h = h * 31 + c;
  for (const char c : string) h = h * 31 + static_cast<unsigned char>(c);
  h = h * 31 + (flag ? 1 : 2);
  h = h * 31 + static_cast<std::uint64_t>((time - epoch).total_microseconds());
  for (const std::uint8_t b : uuid.data) h = h * 31 + b;
  return h;
}

std::uint64_t expectedLookupSum() {
  std::uint64_t sum = 0;
  for (const std::size_t i : lookups()) {
    const Row& r = rows()[i];
    sum += fold(r.int32Value, r.int64Value, r.realValue, r.ustringValue, r.stringValue, r.boolValue, r.timeValue,
                r.uuidValue);
  }
  return sum;
}

// ---------------------------------------------------------------- repository side

namespace {
vlt::PropertyRef addProperty(vlt::DataModelRepository& repo, const vlt::ClassRef& cls, const char* name,
                             const char* type) {
  return repo.appendPropertyToClass(cls, name, type, "", 1, 1, false, false, false, "",
                                    vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, true);
}
}  // namespace

// Creates a new repository at `path` with the class of the benchmark rows.
void createRepository(vlt::DataModelRepository& repo, const std::string& path) {
  vlt::DataModelRepository::ServiceOptions options;
  options.createIfMissing = 1;
  repo.open(path, VLT_BASE_METAMODEL, options);
  repo.performDictionaryFunction([&] {
    const vlt::ClassRef cls = repo.createClass(className, {repo.metamodel().findClass("ModelElement")});
    addProperty(repo, cls, "count", "int32");
    addProperty(repo, cls, "total", "int64");
    addProperty(repo, cls, "measure", "real64");
    addProperty(repo, cls, "label", "ustring");
    addProperty(repo, cls, "code", "string");
    addProperty(repo, cls, "active", "bool");
    addProperty(repo, cls, "stamp", "DateTime");
    addProperty(repo, cls, "reference", "UUID");
  });
}

RowClass rowClass(const vlt::DataModelRepository& repo) {
  RowClass c;
  c.cls = repo.metamodel().findClass(className);
  c.int32Property = c.cls.findProperty("count");
  c.int64Property = c.cls.findProperty("total");
  c.realProperty = c.cls.findProperty("measure");
  c.ustringProperty = c.cls.findProperty("label");
  c.stringProperty = c.cls.findProperty("code");
  c.boolProperty = c.cls.findProperty("active");
  c.timeProperty = c.cls.findProperty("stamp");
  c.uuidProperty = c.cls.findProperty("reference");
  return c;
}

// Writes the first `count` rows through one ObjectConstructor in one
// transaction.
void writeRowsThroughRepository(vlt::DataModelRepository& repo, std::size_t count) {
  const RowClass c = rowClass(repo);
  std::int32_t int32Cell = 0;
  std::int64_t int64Cell = 0;
  double realCell = 0;
  std::u16string ustringCell;
  std::string stringCell;
  bool boolCell = false;
  ptime timeCell;
  boost::uuids::uuid uuidCell{};
  repo.beginTransaction();
  vlt::ObjectConstructor constructor(c.cls);
  constructor.setPropertyValueSource(c.int32Property, &int32Cell);
  constructor.setPropertyValueSource(c.int64Property, &int64Cell);
  constructor.setPropertyValueSource(c.realProperty, &realCell);
  constructor.setPropertyValueSource(c.ustringProperty, &ustringCell);
  constructor.setPropertyValueSource(c.stringProperty, &stringCell);
  constructor.setPropertyValueSource(c.boolProperty, &boolCell);
  constructor.setPropertyValueSource(c.timeProperty, &timeCell);
  constructor.setPropertyValueSource(c.uuidProperty, &uuidCell);
  const vlt::DataModelRef data = repo.defaultDataModel();
  for (std::size_t i = 0; i < count; ++i) {
    const Row& r = rows()[i];
    int32Cell = r.int32Value;
    int64Cell = r.int64Value;
    realCell = r.realValue;
    ustringCell = r.ustringValue;
    stringCell = r.stringValue;
    boolCell = r.boolValue;
    timeCell = r.timeValue;
    uuidCell = r.uuidValue;
    constructor.setObjectUUID(r.objectUuid);
    constructor.createObject(data);
  }
  repo.commitTransaction();
}

// A repository file holding every row, made once and copied for each find
// iteration.
const std::string& filledRepository() {
  static TempFolder folder;
  static const std::string path = [] {
    const std::string p = folder.file("filled.db");
    vlt::DataModelRepository repo;
    createRepository(repo, p);
    writeRowsThroughRepository(repo);
    repo.close();
    return p;
  }();
  return path;
}

// ---------------------------------------------------------------- raw SQLite side

// The tables the repository made for the row class: its class table and the
// column of each property there (named after the ids, as the repository
// names them; checked against the file so that a change of the layout stops
// the benchmark instead of measuring something else).

RawLayout rawLayout(const std::string& path) {
  RawLayout layout;
  {
    vlt::DataModelRepository repo;
    openRepository(repo, path);
    const RowClass c = rowClass(repo);
    layout.classId = c.cls.id();
    layout.table = "vlt_c" + std::to_string(c.cls.id());
    for (const vlt::PropertyRef& p : {c.int32Property, c.int64Property, c.realProperty, c.ustringProperty,
                                      c.stringProperty, c.boolProperty, c.timeProperty, c.uuidProperty}) {
      layout.columns.push_back("p" + std::to_string(p.id()));
    }
  }
  const Database db = openRaw(path);
  // The repository makes a class's table when the first value is written;
  // a client writing its tables by hand makes it the same way.
  static const char* const types[] = {"INTEGER", "INTEGER", "INTEGER", "TEXT", "TEXT", "INTEGER", "INTEGER", "BLOB"};
  std::string create = "CREATE TABLE IF NOT EXISTS " + layout.table + " (id INTEGER PRIMARY KEY";
  for (std::size_t i = 0; i < layout.columns.size(); ++i) create += ", " + layout.columns[i] + " " + types[i];
  execute(db.get(), (create + ")").c_str());
  std::vector<std::string> found;
  const Statement info = prepare(db.get(), "SELECT name FROM pragma_table_info('" + layout.table + "')");
  while (sqlite3_step(info.get()) == SQLITE_ROW) {
    found.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(info.get(), 0)));
  }
  for (const std::string& column : layout.columns) {
    if (std::find(found.begin(), found.end(), column) == found.end()) {
      throw std::runtime_error("the repository's table layout is not the one this benchmark knows: no column " +
                               column + " in " + layout.table);
    }
  }
  return layout;
}

std::int64_t storedTime(const ptime& t) { return (t - epoch).total_microseconds(); }

// The repository keeps a double as its 64 bits reordered so that integer
// order is numeric order (and NaN and -0.0 survive); a hand-written client of
// its tables does the same.
std::int64_t storedReal(double d) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &d, sizeof bits);
  const auto signedBits = static_cast<std::int64_t>(bits);
  return signedBits >= 0 ? signedBits : signedBits ^ std::numeric_limits<std::int64_t>::max();
}

double realFromStored(std::int64_t stored) {
  const std::int64_t signedBits = stored >= 0 ? stored : stored ^ std::numeric_limits<std::int64_t>::max();
  double d = 0;
  std::memcpy(&d, &signedBits, sizeof d);
  return d;
}

// Inserts every row with prepared statements in one transaction, into the
// object table and the class's table, and advances the repository's next
// object id as the repository does.
void writeRowsRaw(sqlite3* db, const RawLayout& layout) {
  execute(db, "BEGIN IMMEDIATE");
  std::int64_t nextId = 0;
  {
    const Statement s = prepare(db, "SELECT value FROM vlt_info WHERE name = 'next_object_id'");
    step(db, s.get(), SQLITE_ROW);
    nextId = sqlite3_column_int64(s.get(), 0);
  }
  const Statement object = prepare(db,
                                   "INSERT INTO vlt_object (id, uuid, class_id, owner_id, owner_property_id, ordinal) "
                                   "VALUES (?1, ?2, ?3, NULL, NULL, 0)");
  std::string sql = "INSERT INTO " + layout.table + " (id";
  for (const std::string& c : layout.columns) sql += ", " + c;
  sql += ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)";
  const Statement values = prepare(db, sql);
  sqlite3_stmt* o = object.get();
  sqlite3_stmt* v = values.get();
  for (const Row& r : rows()) {
    const std::int64_t id = nextId++;
    sqlite3_bind_int64(o, 1, id);
    sqlite3_bind_blob(o, 2, r.objectUuid.data, 16, SQLITE_STATIC);
    sqlite3_bind_int64(o, 3, layout.classId);
    step(db, o, SQLITE_DONE);
    sqlite3_reset(o);
    sqlite3_bind_int64(v, 1, id);
    sqlite3_bind_int64(v, 2, r.int32Value);
    sqlite3_bind_int64(v, 3, r.int64Value);
    sqlite3_bind_int64(v, 4, storedReal(r.realValue));
    sqlite3_bind_text16(v, 5, r.ustringValue.data(), static_cast<int>(r.ustringValue.size() * 2), SQLITE_STATIC);
    sqlite3_bind_text(v, 6, r.stringValue.data(), static_cast<int>(r.stringValue.size()), SQLITE_STATIC);
    sqlite3_bind_int64(v, 7, r.boolValue ? 1 : 0);
    sqlite3_bind_int64(v, 8, storedTime(r.timeValue));
    sqlite3_bind_blob(v, 9, r.uuidValue.data, 16, SQLITE_STATIC);
    step(db, v, SQLITE_DONE);
    sqlite3_reset(v);
  }
  {
    const Statement s = prepare(db, "UPDATE vlt_info SET value = ?1 WHERE name = 'next_object_id'");
    sqlite3_bind_int64(s.get(), 1, nextId);
    step(db, s.get(), SQLITE_DONE);
  }
  execute(db, "COMMIT");
}

// ---------------------------------------------------------------- checks

// The repository reads back the first, middle and last rows of a file (or a
// PostgreSQL schema) with the values written: it proves that both writers
// produced the same content.
void checkWrittenRows(const std::string& path, std::size_t count) {
  vlt::DataModelRepository repo;
  openRepository(repo, path);
  const RowClass c = rowClass(repo);
  const std::size_t stored = repo.defaultDataModel().countObjects(c.cls);
  if (stored != count) throw std::runtime_error("the repository holds " + std::to_string(stored) + " rows");
  for (const std::size_t i : {std::size_t{0}, count / 2, count - 1}) {
    const Row& r = rows()[i];
    const vlt::ObjectRef o = repo.defaultDataModel().findObject(r.objectUuid, c.cls);
    if (o.isNull()) throw std::runtime_error("row " + std::to_string(i) + " is missing");
    Row read{};
    readRow(c, o, read);
    if (read.int32Value != r.int32Value || read.int64Value != r.int64Value || read.realValue != r.realValue ||
        read.ustringValue != r.ustringValue || read.stringValue != r.stringValue || read.boolValue != r.boolValue ||
        read.timeValue != r.timeValue || read.uuidValue != r.uuidValue) {
      throw std::runtime_error("row " + std::to_string(i) + " reads back other values");
    }
  }
}

// ---------------------------------------------------------------- benchmarks

}  // namespace vlt_bench::rowset
