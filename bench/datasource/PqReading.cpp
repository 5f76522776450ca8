#include "PqReading.hpp"

#include <fl/i18n/Unicode.hpp>
#include <libpq-fe.h>

#include <endian.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pq_reading {

namespace {

using java_model::ElementValues;
using java_model::Kind;
using java_model::kindCount;

[[noreturn]] void fails(const std::string& what) { throw std::runtime_error(what); }

using Connection = std::unique_ptr<PGconn, void (*)(PGconn*)>;
using Result = std::unique_ptr<PGresult, void (*)(PGresult*)>;

Connection connect(const std::string& uri) {
  Connection c(PQconnectdb(uri.c_str()), PQfinish);
  if (PQstatus(c.get()) != CONNECTION_OK) fails(std::string("cannot connect: ") + PQerrorMessage(c.get()));
  return c;
}

Result checked(PGresult* r, const char* what) {
  Result result(r, PQclear);
  const ExecStatusType status = PQresultStatus(r);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    fails(std::string(what) + ": " + PQresultErrorMessage(r));
  return result;
}

// Binary results: bigint columns are 8 bytes in network order.
std::int64_t int8At(const PGresult* r, int row, int column) {
  std::uint64_t v = 0;
  std::memcpy(&v, PQgetvalue(r, row, column), sizeof v);
  return static_cast<std::int64_t>(be64toh(v));
}

bool isNull(const PGresult* r, int row, int column) { return PQgetisnull(r, row, column) != 0; }

boost::uuids::uuid uuidAt(const PGresult* r, int row, int column) {
  boost::uuids::uuid u{};
  if (!isNull(r, row, column) && PQgetlength(r, row, column) == 16) std::memcpy(u.data, PQgetvalue(r, row, column), 16);
  return u;
}

std::u16string textAt(const PGresult* r, int row, int column) {
  if (isNull(r, row, column)) return {};
  return fl::i18n::utf8_to_ustring(std::string_view(PQgetvalue(r, row, column), PQgetlength(r, row, column)));
}

// The columns of the row statement (rowSql).
enum Column {
  objectId, classId, ownerId, ordinal, ownerUuid, objectUuid, packageName, className, isAbstract, sourceSize,
  superclassUuid, methodName, visibility, returnTypeUuid, text, line, statementKind
};

}  // namespace

std::string freshSchema(const std::string& base, const std::string& schema) {
  const Connection c = connect(base);
  checked(PQexec(c.get(), ("SET client_min_messages = warning; DROP SCHEMA IF EXISTS " + schema +
                           " CASCADE; CREATE SCHEMA " + schema)
                              .c_str()),
          "making the schema");
  return base + (base.find('?') == std::string::npos ? "?" : "&") + "options=-csearch_path%3D" + schema;
}

void dropSchema(const std::string& base, const std::string& schema) noexcept {
  Connection c(PQconnectdb(base.c_str()), PQfinish);
  if (PQstatus(c.get()) == CONNECTION_OK)
    PQclear(PQexec(c.get(), ("SET client_min_messages = warning; DROP SCHEMA IF EXISTS " + schema + " CASCADE").c_str()));
}

struct PqReader::Impl {
  Connection connection;
  std::array<std::int64_t, kindCount> classIds{};
  // A populated object's children, with what their proxies need.
  std::vector<std::pair<boost::uuids::uuid, Kind>> children;

  // Every statement is a lookup by key whose best plan does not depend on
  // the key; left to choose, the server planned some of them afresh at each
  // run (custom plans): with generic plans the fetches took 985 instead of
  // 1,294 ms (100,000 elements, 2,000 fetches).
  explicit Impl(const std::string& uri) : connection(connect(uri)) {
    checked(PQexec(connection.get(), "SET plan_cache_mode = force_generic_plan"), "plan_cache_mode");
  }

  // An id the layout names, read as text with text parameters (not timed).
  std::int64_t idOf(const char* sql, const std::vector<std::string>& parameters) {
    std::vector<const char*> values;
    for (const std::string& p : parameters) values.push_back(p.c_str());
    const Result r = checked(PQexecParams(connection.get(), sql, static_cast<int>(values.size()), nullptr,
                                          values.data(), nullptr, nullptr, 0),
                             sql);
    if (PQntuples(r.get()) != 1) fails(std::string("not in the repository: ") + parameters.back());
    return std::stoll(PQgetvalue(r.get(), 0, 0));
  }
  std::int64_t classId(Kind kind) {
    return idOf("SELECT id FROM vlt_class WHERE qualified_name = convert_to($1, 'UTF8')", {java_model::kindName(kind)});
  }
  std::string column(Kind kind, const char* property) {
    return "p" + std::to_string(idOf("SELECT id FROM vlt_property WHERE class_id = $1 AND name = convert_to($2, 'UTF8')",
                                     {std::to_string(classIds[static_cast<std::size_t>(kind)]), property}));
  }
  std::string table(Kind kind) { return "vlt_c" + std::to_string(classIds[static_cast<std::size_t>(kind)]); }

  void prepare(const char* name, const std::string& sql) {
    checked(PQprepare(connection.get(), name, sql.c_str(), 1, nullptr), name);
  }
  std::string rowSql();
  std::string collectionsSql(Kind kind, const char* links);
  void prepareAll();

  Result run(const char* statement, const char* parameter, int length, std::uint64_t& roundTrips) {
    const int binary = 1;
    ++roundTrips;
    return checked(PQexecPrepared(connection.get(), statement, 1, &parameter, &length, &binary, 1), statement);
  }
  Kind kindOf(std::int64_t cls) const {
    for (std::size_t k = 0; k < kindCount; ++k)
      if (classIds[k] == cls) return static_cast<Kind>(k);
    fails("an object of another class than the java package's");
  }
  void values(const PGresult* r, Kind kind, ElementValues& out) const;
  void collections(std::int64_t id, Kind kind, ElementValues& out, std::uint64_t& roundTrips);
};

// One object's row, its single values from its class's table (each object's
// class is one of the four: left joins), its single reference's target and
// its owner with their uuids; `$1` is the uuid or the id (see prepareAll).
std::string PqReader::Impl::rowSql() {
  const std::string p = table(Kind::package), c = table(Kind::cls), m = table(Kind::method),
                    s = table(Kind::statement);
  return "SELECT o.id, o.class_id, o.owner_id, o.ordinal, w.uuid, o.uuid, pk." + column(Kind::package, "name") +
         ", c." + column(Kind::cls, "name") + ", c." + column(Kind::cls, "isAbstract") + ", c." +
         column(Kind::cls, "sourceSize") + ", sc.uuid, m." + column(Kind::method, "name") + ", m." +
         column(Kind::method, "visibility") + ", rt.uuid, s." + column(Kind::statement, "text") + ", s." +
         column(Kind::statement, "line") + ", s." + column(Kind::statement, "kind") +
         " FROM vlt_object o LEFT JOIN vlt_object w ON w.id = o.owner_id LEFT JOIN " + p +
         " pk ON pk.id = o.id LEFT JOIN " + c + " c ON c.id = o.id LEFT JOIN vlt_object sc ON sc.id = c." +
         column(Kind::cls, "superclass") + " LEFT JOIN " + m + " m ON m.id = o.id LEFT JOIN vlt_object rt ON rt.id = m." +
         column(Kind::method, "returnType") + " LEFT JOIN " + s + " s ON s.id = o.id WHERE o.";
}

// An owner's children through all its composite properties (kind 0), then
// the entries of its link collection, if any (kind 1), with their targets'
// uuids and classes, in order.
std::string PqReader::Impl::collectionsSql(Kind kind, const char* links) {
  std::string sql =
      "SELECT 0::int8 AS k, owner_property_id AS p, ordinal, uuid, class_id FROM vlt_object WHERE owner_id = $1";
  if (links != nullptr) {
    sql += " UNION ALL SELECT 1::int8, 0::int8, l.ordinal, t.uuid, t.class_id FROM vlt_" + column(kind, links) +
           " l JOIN vlt_object t ON t.id = l.value WHERE l.object_id = $1";
  }
  return sql + " ORDER BY 1, 2, 3";
}

void PqReader::Impl::prepareAll() {
  for (std::size_t k = 0; k < kindCount; ++k) classIds[k] = classId(static_cast<Kind>(k));
  const std::string row = rowSql();
  prepare("row_by_uuid", row + "uuid = $1");
  prepare("row_by_id", row + "id = $1");
  prepare("collections_package", collectionsSql(Kind::package, nullptr));
  prepare("collections_class", collectionsSql(Kind::cls, "implements"));
  prepare("collections_method", collectionsSql(Kind::method, "calls"));
}

void PqReader::Impl::values(const PGresult* r, Kind kind, ElementValues& out) const {
  out.kind = kind;
  out.uuid = uuidAt(r, 0, objectUuid);
  out.links.clear();
  out.target = boost::uuids::uuid{};
  switch (kind) {
    case Kind::package:
      out.name = textAt(r, 0, packageName);
      break;
    case Kind::cls:
      out.name = textAt(r, 0, className);
      out.isAbstract = !isNull(r, 0, isAbstract) && int8At(r, 0, isAbstract) != 0;
      out.sourceSize = isNull(r, 0, sourceSize) ? 0 : int8At(r, 0, sourceSize);
      out.target = uuidAt(r, 0, superclassUuid);
      break;
    case Kind::method:
      out.name = textAt(r, 0, methodName);
      out.visibility = isNull(r, 0, visibility) ? 0 : static_cast<std::int32_t>(int8At(r, 0, visibility));
      out.target = uuidAt(r, 0, returnTypeUuid);
      break;
    case Kind::statement:
      out.name = textAt(r, 0, text);
      out.line = isNull(r, 0, line) ? 0 : static_cast<std::int32_t>(int8At(r, 0, line));
      out.statementKind = isNull(r, 0, statementKind) ? 0 : static_cast<std::int32_t>(int8At(r, 0, statementKind));
      break;
  }
}

void PqReader::Impl::collections(std::int64_t id, Kind kind, ElementValues& out, std::uint64_t& roundTrips) {
  static const char* const statements[kindCount] = {"collections_package", "collections_class", "collections_method",
                                                    nullptr};
  const char* const statement = statements[static_cast<std::size_t>(kind)];
  if (statement == nullptr) return;
  const std::uint64_t parameter = htobe64(static_cast<std::uint64_t>(id));
  const Result r = run(statement, reinterpret_cast<const char*>(&parameter), sizeof parameter, roundTrips);
  children.clear();
  for (int row = 0; row < PQntuples(r.get()); ++row) {
    const boost::uuids::uuid target = uuidAt(r.get(), row, 3);
    const Kind targetKind = kindOf(int8At(r.get(), row, 4));
    if (int8At(r.get(), row, 0) == 0) {
      children.emplace_back(target, targetKind);
    } else {
      out.links.push_back(target);
    }
  }
}

PqReader::PqReader(const std::string& uri) : impl_(std::make_unique<Impl>(uri)) { impl_->prepareAll(); }

PqReader::~PqReader() = default;

void PqReader::beginRead() {
  ++roundTrips_;
  checked(PQexec(impl_->connection.get(), "BEGIN"), "BEGIN");
}

void PqReader::endRead() {
  ++roundTrips_;
  checked(PQexec(impl_->connection.get(), "COMMIT"), "COMMIT");
}

std::size_t PqReader::readOne(const boost::uuids::uuid& uuid, ElementValues& out,
                              std::unordered_set<std::int64_t>& read) {
  Impl& i = *impl_;
  Result r = i.run("row_by_uuid", reinterpret_cast<const char*>(uuid.data), 16, roundTrips_);
  if (PQntuples(r.get()) != 1) fails("no object with a fetched uuid");
  const std::int64_t id = int8At(r.get(), 0, objectId);
  const Kind kind = i.kindOf(int8At(r.get(), 0, classId));
  i.values(r.get(), kind, out);
  const bool owned = !isNull(r.get(), 0, ownerId);
  out.owner = uuidAt(r.get(), 0, ownerUuid);
  out.owningProperty = owned ? java_model::owningPropertyName(kind) : "";
  out.position = static_cast<std::uint64_t>(int8At(r.get(), 0, ordinal));
  std::int64_t owner = owned ? int8At(r.get(), 0, ownerId) : 0;
  i.collections(id, kind, out, roundTrips_);
  read.insert(id);
  // Owners not read before, each as the object itself, up to the first one
  // read before or the root.
  std::size_t owners = 0;
  ElementValues ownerValues;
  while (owner != 0 && read.insert(owner).second) {
    ++owners;
    const std::uint64_t parameter = htobe64(static_cast<std::uint64_t>(owner));
    r = i.run("row_by_id", reinterpret_cast<const char*>(&parameter), sizeof parameter, roundTrips_);
    if (PQntuples(r.get()) != 1) fails("an owner without its row");
    const Kind ownerKind = i.kindOf(int8At(r.get(), 0, classId));
    i.values(r.get(), ownerKind, ownerValues);
    const std::int64_t current = owner;
    owner = isNull(r.get(), 0, ownerId) ? 0 : int8At(r.get(), 0, ownerId);
    i.collections(current, ownerKind, ownerValues, roundTrips_);
  }
  return owners;
}

}  // namespace pq_reading
