// The contract every back end keeps (backend/Backend.hpp), written once and
// run against each back end: bindings that survive reset, deferred indexes,
// the repository's mark, and the mapping of the engine's failures to the
// repository's error types. That every stored form reads back exactly,
// ValueTest checks through the repository, and that stored doubles compare
// and order as numbers, ObjectQueryDifferentialTest.

#include "backend/Backend.hpp"

#include "RepositoryFixture.hpp"

#include <testsupport/FaultInjectionVfs.hpp>

namespace vlttest {
namespace {

using vlt::sql::Connection;
using vlt::sql::StatementUse;

class BackendContractTest : public ::testing::TestWithParam<Backend> {
 protected:
  // A connection to the database `name`: a file, or a schema of the test
  // server (the same one for the same name).
  std::unique_ptr<Connection> connect(const std::string& name = "contract.db", int lockTimeoutMs = 0) {
    vlt::sql::OpenRequest request;
    request.createIfMissing = true;
    request.lockTimeoutMs = lockTimeoutMs;
    if (GetParam() == Backend::SQLite) {
      request.location = request.filespec = dir.file(name);
      return vlt::sql::openSqlite(request);
    }
    std::string& uri = schemas[name];
    if (uri.empty()) uri = testsupport::freshPostgresqlSchema();
    request.location = request.filespec = uri;
    return vlt::sql::openPostgresql(request);
  }
  std::string filespecOf(const std::string& name) {
    return GetParam() == Backend::SQLite ? dir.file(name) : schemas[name];
  }
  // A table with one column of each stored form.
  void createValues(Connection& c) {
    const vlt::sql::Dialect& d = c.dialect();
    c.execute(vlt::sql::fillIn("CREATE TABLE v (k {int} PRIMARY KEY, i {int}, r {real}, t {text}, b {bytes})",
                               {{"int", d.integerType}, {"real", d.realType}, {"text", d.textType},
                                {"bytes", d.bytesType}}));
  }

  testsupport::TempDir dir;
  std::map<std::string, std::string> schemas;
};

// Bindings stay after a reset, and handles keep their statements after the
// connection closed.
TEST_P(BackendContractTest, BindingsStayAfterResetAndStatementsOutliveTheirConnection) {
  auto c = connect();
  createValues(*c);
  auto insert = c->prepare("INSERT INTO v (k, t) VALUES (?1, ?2)");
  insert->bindInt64(1, 1);
  insert->bindText(2, "kept");
  insert->step();
  insert->reset();
  insert->bindInt64(1, 2);  // the text stays bound
  insert->step();
  insert->reset();
  EXPECT_EQ(c->changes(), 1);
  c->execute("UPDATE v SET i = 5");
  EXPECT_EQ(c->changes(), 2);
  auto select = c->prepare("SELECT t FROM v WHERE k = ?1");
  select->bindInt64(1, 2);
  for (int round = 0; round < 2; ++round) {
    StatementUse s(*select);
    ASSERT_TRUE(s->step());
    EXPECT_EQ(s->columnText(0), "kept");
  }
  // A statement may outlive its connection.
  ASSERT_TRUE(select->step());
  select->reset();
  c.reset();
  select.reset();
}

// Deferred indexes come back before a statement would scan for want of them,
// at the commit (also those a savepoint's rollback dropped again, but not for
// a table it took back), and never outlive a rollback.
TEST_P(BackendContractTest, DeferredIndexesComeBackBeforeTheyAreMissed) {
  // A server's rules of deferral are PostgreSQLTest's
  // (OnlyTheIndexesOfTablesTheTransactionMadeAreDeferred) and
  // ObjectConstructorTest's (ALargeLoadIntoAnEmptyRepository...).
  if (GetParam() != Backend::SQLite) return;
  auto c = connect();
  // The requested page cache, in KiB (a negative cache_size); the indexes are
  // made with another cache and helper threads, and the settings come back.
  c->setPageCache(64 * 1024);
  const auto pragma = [&](const char* name) {
    auto s = c->prepare(std::string("PRAGMA ") + name);
    return s->step() ? s->columnInt64(0) : -1;
  };
  c->execute("CREATE TABLE kept (k INTEGER PRIMARY KEY, n TEXT)");
  c->execute("CREATE INDEX kept_n ON kept (n)");
  c->execute("CREATE TABLE t (id INTEGER PRIMARY KEY, u BLOB NOT NULL, o INTEGER)");
  c->execute("CREATE UNIQUE INDEX t_u ON t (u)");
  c->execute("CREATE INDEX t_o ON t (o)");
  const auto indexes = [&] {
    auto s = c->prepare("SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master WHERE type = 'index' "
                        "ORDER BY name)");
    return s->step() ? std::string(s->columnText(0)) : std::string();
  };
  const auto run = [&](const char* sql) {
    auto s = c->prepare(sql);
    while (s->step()) {
    }
  };
  c->execute("BEGIN");
  ASSERT_TRUE(c->deferIndexes({"kept"}, true));
  EXPECT_EQ(indexes(), "kept_n");
  run("INSERT INTO t (id, u, o) VALUES (1, x'01', 5), (2, x'01', 5)");  // the caller checks what t_u would
  run("SELECT o FROM t WHERE id = 2");
  run("SELECT k FROM kept WHERE n = 'x'");
  c->execute("CREATE TABLE l (a INTEGER)");
  c->execute("CREATE INDEX l_a ON l (a)");
  c->savepoint();
  c->execute("CREATE TABLE gone (a INTEGER)");
  c->execute("CREATE INDEX gone_a ON gone (a)");
  c->rollbackToSavepoint();
  EXPECT_TRUE(c->indexesDeferred()) << "inserts, reads by key and through a kept index, new tables";
  EXPECT_EQ(indexes(), "kept_n");
  c->savepoint();
  EXPECT_THROW(run("SELECT count(*) FROM t WHERE o = 5"), vlt::ConstraintError) << "t_u cannot hold";
  EXPECT_EQ(pragma("cache_size"), -64 * 1024) << "after a failed index too";
  run("DELETE FROM t WHERE id = 2");
  EXPECT_TRUE(c->indexesDeferred()) << "a delete by key";
  run("SELECT count(*) FROM t WHERE o = 5");
  EXPECT_FALSE(c->indexesDeferred());
  EXPECT_EQ(indexes(), "kept_n l_a t_o t_u");
  c->rollbackToSavepoint();  // the delete and the indexes made go again
  EXPECT_EQ(indexes(), "kept_n");
  EXPECT_TRUE(c->indexesDeferred());
  run("DELETE FROM t WHERE id = 2");
  c->execute("COMMIT");
  EXPECT_EQ(indexes(), "kept_n l_a t_o t_u");
  EXPECT_EQ(pragma("cache_size"), -64 * 1024);
  EXPECT_EQ(pragma("threads"), 0);

  c->execute("BEGIN");
  ASSERT_TRUE(c->deferIndexes({}, true));
  c->execute("ROLLBACK");
  EXPECT_EQ(indexes(), "kept_n l_a t_o t_u");
  EXPECT_FALSE(c->indexesDeferred());
}

TEST_P(BackendContractTest, TheRepositoryMarkTellsRepositoriesFromOtherDatabases) {
  auto fresh = connect("fresh.db");
  EXPECT_EQ(fresh->inspect(), vlt::sql::DatabaseState::empty);
  fresh->execute("BEGIN");
  EXPECT_TRUE(fresh->inTransaction());
  fresh->markAsRepository();
  createValues(*fresh);
  fresh->execute("COMMIT");
  EXPECT_FALSE(fresh->inTransaction());
  EXPECT_EQ(fresh->inspect(), vlt::sql::DatabaseState::repository);
  EXPECT_EQ(fresh->tableNames(), std::vector<std::string>{"v"});

  auto other = connect("other.db");
  createValues(*other);
  EXPECT_EQ(other->inspect(), vlt::sql::DatabaseState::foreign);
}

TEST_P(BackendContractTest, EngineFailuresBecomeTheRepositoryErrors) {
  auto c = connect();
  createValues(*c);
  c->execute("INSERT INTO v (k) VALUES (1)");
  try {
    c->execute("INSERT INTO v (k) VALUES (1)");
    ADD_FAILURE() << "no exception";
  } catch (const vlt::ConstraintError& e) {
    EXPECT_NE(e.backendCode(), 0);
    EXPECT_EQ(e.statement(), "INSERT INTO v (k) VALUES (1)");
    EXPECT_EQ(e.filespec(), filespecOf("contract.db"));
  }
  // An engine may check a statement when it is prepared or when it first runs.
  EXPECT_THROW(c->prepare("SELECT nothing FROM nowhere")->step(), vlt::StorageError);

  // Another connection's write transaction: locked once the timeout ran out.
  auto writer = connect();
  writer->execute(writer->dialect().beginWrite);
  EXPECT_THROW(c->execute(c->dialect().beginWrite), vlt::LockedError);
  writer->execute("ROLLBACK");

  if (GetParam() != Backend::SQLite) return;  // the rest is about files
  // A failing write of the file system.
  {
    testsupport::FaultInjectionVfs vfs;
    auto failing = connect("io.db");
    createValues(*failing);
    vfs.failAt(1, testsupport::FaultInjectionVfs::Mode::failFromThenOn);
    EXPECT_THROW(failing->execute("INSERT INTO v (k) VALUES (1)"), vlt::StorageError);
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, BackendContractTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
