// vlt_bench, the PostgreSQL pairs: the repository on a PostgreSQL schema
// against hand-written libpq calls on the same rows (Rows.hpp), in the same
// tables, on the same server. They run only when a server is given with
// --postgresql URI.
//
//   BM_PgRepositoryCreateObjects  ObjectConstructor with bound cells, 100,000
//                                 objects, one transaction
//   BM_PgRawInsert                the same rows as prepared INSERTs into
//                                 vlt_object and the class's table, sent in
//                                 libpq's pipeline mode with binary
//                                 parameters, one transaction
//   BM_PgRepositoryFindObject     20,000 findObject by uuid, then the 8 values
//                                 read, one transaction
//   BM_PgRawSelect                one prepared SELECT joining vlt_object and
//                                 the class's table per uuid (PQexecPrepared,
//                                 binary results), one transaction
//   BM_PgQueryLoadByObject        one ObjectQuery (an object constraint and
//                                 the 8 values as results) executed again for
//                                 each of the 20,000 objects, one transaction
//   BM_PgRawSelectById            one prepared SELECT of the class's table per
//                                 object id, one transaction
//
// Every iteration works in a schema of its own, made with CREATE SCHEMA and
// dropped when the iteration ends; both sides connect with the server's URI
// plus options=-csearch_path=<schema>. The repository makes the tables (a
// new repository with the base metamodel and the row class); the raw side
// writes and reads the tables the repository made, in its stored forms
// (integers, bools, times and doubles as int8, doubles in the repository's
// ordered encoding, text as UTF-8 bytea, uuids as 16-byte bytea). The find
// and query pairs read a schema filled with all 100,000 rows and vacuumed
// before the timing starts. Only the work named above is timed.

#include "PgBench.hpp"

#include "BenchSupport.hpp"
#include "PgSupport.hpp"
#include "RepositoryReads.hpp"
#include "Rows.hpp"

#include <vlt/ObjectQuery.hpp>
#include <vlt/Repository.hpp>

#include <fl/i18n/Unicode.hpp>

#include <benchmark/benchmark.h>
#include <libpq-fe.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vlt_bench::pg {
namespace {

using namespace vlt_bench::rowset;
using boost::posix_time::ptime;

// Objects the create pair writes (all rows of Rows.hpp): one repetition
// takes one to two seconds on a local server.
constexpr std::size_t createCount = rowCount;
// Rows sent between two pipeline syncs by the raw writer.
constexpr std::size_t pipelineRows = 1000;

// A writing transaction as the repository's writers start one: they take
// one advisory lock per repository (schema) so that writers queue as on
// SQLite; a hand-written client of the same tables plays by the same rule.
constexpr const char* beginWrite = "BEGIN; SELECT pg_advisory_xact_lock(1448366162, hashtext(current_schema()))";

// The column types the repository gives the row class's values on
// PostgreSQL, in the order of Row's values: int32, int64, real64 (ordered
// int8), bool and DateTime as BIGINT, ustring and string (bytes of any
// kind) and UUID as BYTEA.
const char* const columnTypes[] = {"bigint", "bigint", "bigint", "bytea", "bytea", "bigint", "bigint", "bytea"};

// ---------------------------------------------------------------- the layout

// Checks that the class table has the columns and types this benchmark
// writes and reads, and no index but its primary key (as the repository
// makes it for values that are not references), so that a change of the
// layout stops the benchmark instead of measuring something else.
void checkTable(PGconn* c, const RawLayout& layout) {
  const Result columns = exec(c,
                              "SELECT column_name, data_type FROM information_schema.columns "
                              "WHERE table_schema = current_schema() AND table_name = '" +
                                  layout.table + "'");
  std::map<std::string, std::string> found;
  for (int row = 0; row < PQntuples(columns.get()); ++row) {
    found[PQgetvalue(columns.get(), row, 0)] = PQgetvalue(columns.get(), row, 1);
  }
  if (found["id"] != "bigint" || found.size() != layout.columns.size() + 1) {
    throw std::runtime_error("the repository's table " + layout.table + " is not the one this benchmark knows");
  }
  for (std::size_t i = 0; i < layout.columns.size(); ++i) {
    if (found[layout.columns[i]] != columnTypes[i]) {
      throw std::runtime_error("the repository's layout is not the one this benchmark knows: column " +
                               layout.columns[i] + " of " + layout.table + " is " + found[layout.columns[i]] +
                               ", not " + columnTypes[i]);
    }
  }
  const Result indexes = exec(c, "SELECT indexdef FROM pg_indexes WHERE schemaname = current_schema() AND "
                                 "tablename = '" + layout.table + "'");
  if (PQntuples(indexes.get()) != 1 ||
      std::string(PQgetvalue(indexes.get(), 0, 0)).find("UNIQUE INDEX") == std::string::npos) {
    throw std::runtime_error("the repository's table " + layout.table +
                             " has other indexes than its primary key: the raw side would not do the same work");
  }
}

// The class table and columns of the row class in the repository of
// `schema` (named after the ids, as the repository names them). The raw side
// makes the class table as the repository makes it when the first value is
// written, unless it exists.
RawLayout rawLayout(PGconn* c, const FreshSchema& schema) {
  RawLayout layout;
  {
    vlt::DataModelRepository repo;
    openRepository(repo, schema.uri());
    const RowClass rc = rowClass(repo);
    layout.classId = rc.cls.id();
    layout.table = "vlt_c" + std::to_string(rc.cls.id());
    for (const vlt::PropertyRef& p : {rc.int32Property, rc.int64Property, rc.realProperty, rc.ustringProperty,
                                      rc.stringProperty, rc.boolProperty, rc.timeProperty, rc.uuidProperty}) {
      layout.columns.push_back("p" + std::to_string(p.id()));
    }
  }
  std::string create = "CREATE TABLE IF NOT EXISTS " + layout.table + " (id BIGINT PRIMARY KEY";
  for (std::size_t i = 0; i < layout.columns.size(); ++i) create += ", " + layout.columns[i] + " " + columnTypes[i];
  exec(c, create + ")");
  checkTable(c, layout);
  return layout;
}

// ---------------------------------------------------------------- the raw writer

// Reads the results of one pipeline sync's statements; throws the first
// failure.
void readUntilSync(PGconn* c) {
  for (;;) {
    const Result r(PQgetResult(c));
    if (!r) {
      // The end of one statement's results; a broken connection gives no more.
      if (PQstatus(c) == CONNECTION_BAD) throw std::runtime_error(PQerrorMessage(c));
      continue;
    }
    const ExecStatusType status = PQresultStatus(r.get());
    if (status == PGRES_PIPELINE_SYNC) return;
    if (status == PGRES_PIPELINE_ABORTED) throw std::runtime_error("a pipelined statement was skipped after a failure");
    check(c, r.get(), "a pipelined statement");
  }
}

// Inserts the first `count` rows in one transaction: the next object id read
// and advanced past them as the repository does, two prepared INSERTs per
// row (the object table, the class's table) sent in pipeline mode with binary
// parameters, a sync every 1,000 rows, the results of a batch read while the
// next is on its way.
void writeRowsRaw(PGconn* c, const RawLayout& layout, std::size_t count) {
  exec(c, beginWrite);
  std::int64_t nextId = 0;
  {
    const Result r = exec(c, "SELECT value FROM vlt_info WHERE name = 'next_object_id'");
    if (PQntuples(r.get()) != 1) throw std::runtime_error("the repository has no next_object_id");
    nextId = std::stoll(PQgetvalue(r.get(), 0, 0));
  }
  prepare(c, "object_insert",
          "INSERT INTO vlt_object (id, uuid, class_id, owner_id, owner_property_id, ordinal) "
          "VALUES ($1, $2, $3, NULL, NULL, 0)",
          3);
  std::string sql = "INSERT INTO " + layout.table + " (id";
  for (const std::string& column : layout.columns) sql += ", " + column;
  sql += ") VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)";
  prepare(c, "values_insert", sql, 9);

  if (PQenterPipelineMode(c) != 1) throw std::runtime_error(PQerrorMessage(c));
  std::size_t syncs = 0;  // sent and not yet read
  auto sync = [&](std::size_t keep) {
    if (PQpipelineSync(c) != 1) throw std::runtime_error(PQerrorMessage(c));
    ++syncs;
    for (; syncs > keep; --syncs) readUntilSync(c);
  };
  static const int binary[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
  static const int objectLengths[3] = {8, 16, 8};
  const Int8 classId(layout.classId);
  Int8 id;
  Int8 int32Value, int64Value, realValue, boolValue, timeValue;
  std::string label;
  const auto& all = rows();
  for (std::size_t i = 0; i < count; ++i) {
    const Row& r = all[i];
    id.set(nextId + static_cast<std::int64_t>(i));
    const char* object[3] = {id.bytes, reinterpret_cast<const char*>(r.objectUuid.data), classId.bytes};
    if (PQsendQueryPrepared(c, "object_insert", 3, object, objectLengths, binary, 1) != 1) {
      throw std::runtime_error(PQerrorMessage(c));
    }
    int32Value.set(r.int32Value);
    int64Value.set(r.int64Value);
    realValue.set(storedReal(r.realValue));
    label = fl::i18n::ustring_to_utf8(r.ustringValue);
    boolValue.set(r.boolValue ? 1 : 0);
    timeValue.set(storedTime(r.timeValue));
    const char* values[9] = {id.bytes,         int32Value.bytes, int64Value.bytes,
                             realValue.bytes,  label.data(),     r.stringValue.data(),
                             boolValue.bytes,  timeValue.bytes,  reinterpret_cast<const char*>(r.uuidValue.data)};
    const int lengths[9] = {8, 8, 8, 8, static_cast<int>(label.size()), static_cast<int>(r.stringValue.size()),
                            8, 8, 16};
    if (PQsendQueryPrepared(c, "values_insert", 9, values, lengths, binary, 1) != 1) {
      throw std::runtime_error(PQerrorMessage(c));
    }
    if ((i + 1) % pipelineRows == 0) sync(1);
  }
  const Int8 next(nextId + static_cast<std::int64_t>(count));
  const char* counter[1] = {next.bytes};
  const int counterLength[1] = {8};
  if (PQsendQueryParams(c, "UPDATE vlt_info SET value = $1 WHERE name = 'next_object_id'", 1, nullptr, counter,
                        counterLength, binary, 1) != 1) {
    throw std::runtime_error(PQerrorMessage(c));
  }
  sync(0);
  if (PQexitPipelineMode(c) != 1) throw std::runtime_error(PQerrorMessage(c));
  exec(c, "COMMIT");
}

// A fresh schema holding a new repository with every row, vacuumed.
struct FilledSchema {
  FreshSchema schema;
  RawLayout layout;

  FilledSchema() {
    {
      vlt::DataModelRepository repo;
      createRepository(repo, schema.uri());
    }
    const Connection c = connect(schema.uri());
    layout = rawLayout(c.get(), schema);
    writeRowsRaw(c.get(), layout, rowCount);
    settle(schema);
  }
};

// The raw side's reads of one row of 8 values (columns 0 to 7 of `r`, in
// binary) into the same C++ types as the repository's, folded.
std::uint64_t foldRow(const PGresult* r) {
  const auto i32 = static_cast<std::int32_t>(int8At(r, 0, 0));
  const std::int64_t i64 = int8At(r, 0, 1);
  const double real = realFromStored(int8At(r, 0, 2));
  const std::u16string ustring = fl::i18n::utf8_to_ustring(bytesAt(r, 0, 3));
  const std::string string(bytesAt(r, 0, 4));
  const bool flag = int8At(r, 0, 5) != 0;
  const ptime time = epoch + boost::posix_time::microseconds(int8At(r, 0, 6));
  boost::uuids::uuid uuid{};
  const std::string_view bytes = bytesAt(r, 0, 7);
  if (bytes.size() != 16) throw std::runtime_error("a stored uuid does not have 16 bytes");
  std::memcpy(uuid.data, bytes.data(), 16);
  return fold(i32, i64, real, ustring, string, flag, time, uuid);
}

// Runs the prepared statement `name` with one binary parameter and expects
// one row.
Result oneRow(PGconn* c, const char* name, const char* value, int length) {
  static const int binary[1] = {1};
  Result r(PQexecPrepared(c, name, 1, &value, &length, binary, 1));
  check(c, r.get(), name);
  if (PQntuples(r.get()) != 1) throw std::runtime_error(std::string(name) + " found no row");
  return r;
}

std::string selectList(const RawLayout& layout, const char* alias) {
  std::string list;
  for (const std::string& column : layout.columns) list += (list.empty() ? "" : ", ") + (alias + column);
  return list;
}

// ---------------------------------------------------------------- create

void BM_PgRepositoryCreateObjects(benchmark::State& state) {
  try {
    for (auto _ : state) {
      const FreshSchema schema;
      vlt::DataModelRepository repo;
      createRepository(repo, schema.uri());
      const Stopwatch watch;
      writeRowsThroughRepository(repo, createCount);
      watch.stop(state, "BM_PgRepositoryCreateObjects");
      repo.close();
      checkWrittenRows(schema.uri(), createCount);
      const Connection c = connect(schema.uri());
      rawLayout(c.get(), schema);  // the table the repository made is the one the raw side writes
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * createCount));
}

void BM_PgRawInsert(benchmark::State& state) {
  try {
    for (auto _ : state) {
      const FreshSchema schema;
      {
        vlt::DataModelRepository repo;
        createRepository(repo, schema.uri());  // the same empty tables
      }
      const Connection c = connect(schema.uri());
      const RawLayout layout = rawLayout(c.get(), schema);
      const Stopwatch watch;
      writeRowsRaw(c.get(), layout, createCount);
      watch.stop(state, "BM_PgRawInsert");
      checkWrittenRows(schema.uri(), createCount);
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * createCount));
}

// ---------------------------------------------------------------- find

void BM_PgRepositoryFindObject(benchmark::State& state) {
  try {
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      const FilledSchema filled;
      vlt::DataModelRepository repo;
      openRepository(repo, filled.schema.uri());
      const std::uint64_t sum = timedFind(state, "BM_PgRepositoryFindObject", repo, true);
      if (sum != expected) throw std::runtime_error("the repository read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

// A reader's transaction (plain BEGIN: a reading client takes no writer's
// lock) around one prepared SELECT per uuid.
void BM_PgRawSelect(benchmark::State& state) {
  try {
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      const FilledSchema filled;
      const Connection connection = connect(filled.schema.uri());
      PGconn* c = connection.get();
      const std::string sql = "SELECT " + selectList(filled.layout, "c.") + " FROM vlt_object o JOIN " +
                              filled.layout.table + " c ON c.id = o.id WHERE o.uuid = $1";
      std::uint64_t sum = 0;

      const Stopwatch watch;
      prepare(c, "find", sql, 1);
      exec(c, "BEGIN");
      for (const std::size_t i : lookups()) {
        const Result r = oneRow(c, "find", reinterpret_cast<const char*>(rows()[i].objectUuid.data), 16);
        sum += foldRow(r.get());
      }
      exec(c, "COMMIT");
      watch.stop(state, "BM_PgRawSelect");
      if (sum != expected) throw std::runtime_error("the raw SELECT read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

// ---------------------------------------------------------------- query-load

// As BM_QueryLoadByObject (QueryBench.cpp): the objects are found before the
// timing starts.
void BM_PgQueryLoadByObject(benchmark::State& state) {
  try {
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      const FilledSchema filled;
      vlt::DataModelRepository repo;
      openRepository(repo, filled.schema.uri());
      const std::uint64_t sum = timedQueryLoad(state, "BM_PgQueryLoadByObject", repo);
      if (sum != expected) throw std::runtime_error("the query read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

// What a hand-written client that knows its objects' ids runs for the same
// values: one prepared SELECT of the class's table by id per object, in a
// reader's transaction. The ids are read before the timing starts, as the
// repository side finds its objects before.
void BM_PgRawSelectById(benchmark::State& state) {
  try {
    const std::uint64_t expected = expectedLookupSum();
    for (auto _ : state) {
      const FilledSchema filled;
      const Connection connection = connect(filled.schema.uri());
      PGconn* c = connection.get();
      std::vector<Int8> ids;
      {
        const Result all(PQexecParams(c, "SELECT uuid, id FROM vlt_object", 0, nullptr, nullptr, nullptr, nullptr, 1));
        check(c, all.get(), "SELECT uuid, id FROM vlt_object");
        std::map<std::string, std::int64_t> byUuid;
        for (int row = 0; row < PQntuples(all.get()); ++row) {
          byUuid[std::string(bytesAt(all.get(), row, 0))] = int8At(all.get(), row, 1);
        }
        for (const std::size_t i : lookups()) {
          const auto it = byUuid.find(std::string(reinterpret_cast<const char*>(rows()[i].objectUuid.data), 16));
          if (it == byUuid.end()) throw std::runtime_error("a looked-up row is missing");
          ids.emplace_back(it->second);
        }
      }
      const std::string sql =
          "SELECT " + selectList(filled.layout, "") + " FROM " + filled.layout.table + " WHERE id = $1";
      std::uint64_t sum = 0;

      const Stopwatch watch;
      prepare(c, "load", sql, 1);
      exec(c, "BEGIN");
      for (const Int8& id : ids) {
        const Result r = oneRow(c, "load", id.bytes, 8);
        sum += foldRow(r.get());
      }
      exec(c, "COMMIT");
      watch.stop(state, "BM_PgRawSelectById");
      if (sum != expected) throw std::runtime_error("the raw SELECT by id read other values than the rows hold");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * lookupCount));
}

void add(const char* name, void (*function)(benchmark::State&), int repetitions) {
  bench_common::registerTimed(name, function, repetitions);
}

}  // namespace

std::string describeServer() {
  const Connection c = connect(serverUri());
  const Result version = exec(c.get(), "SHOW server_version");
  return std::string("PostgreSQL ") + PQgetvalue(version.get(), 0, 0) + " at " + PQhost(c.get()) + ":" +
         PQport(c.get()) + ", database " + PQdb(c.get());
}

// One iteration per repetition, interleaved with all others (see main).
void registerBenchmarks() {
  add("BM_PgRepositoryCreateObjects", BM_PgRepositoryCreateObjects, 6);
  add("BM_PgRawInsert", BM_PgRawInsert, 6);
  add("BM_PgRepositoryFindObject", BM_PgRepositoryFindObject, 6);
  add("BM_PgRawSelect", BM_PgRawSelect, 6);
  add("BM_PgQueryLoadByObject", BM_PgQueryLoadByObject, 6);
  add("BM_PgRawSelectById", BM_PgRawSelectById, 6);
}

bool printRatios(const RatioReporter& reporter) {
  const bool create = printRatio(reporter, "pg create", "BM_PgRepositoryCreateObjects", "BM_PgRawInsert", 1.5);
  const bool find = printRatio(reporter, "pg find", "BM_PgRepositoryFindObject", "BM_PgRawSelect", 1.5);
  const bool queryLoad = printRatio(reporter, "pg query-load", "BM_PgQueryLoadByObject", "BM_PgRawSelectById", 1.5);
  return create && find && queryLoad;
}

void finish() noexcept { dropLeftSchemas(); }

}  // namespace vlt_bench::pg
