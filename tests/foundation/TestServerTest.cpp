// The throw-away PostgreSQL server that scripts/test starts: every repository
// test on PostgreSQL relies on the URI it hands over, so check it here first.

#include <testsupport/TestServer.hpp>

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <memory>

namespace {

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;
using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

TEST(TestServerTest, PostgreSQLServerAcceptsThePasswordAndRunsStatements) {
  const std::string uri = testsupport::postgresqlTestUri();
  ASSERT_FALSE(uri.empty());
  Connection connection(PQconnectdb(uri.c_str()), &PQfinish);
  ASSERT_EQ(PQstatus(connection.get()), CONNECTION_OK) << PQerrorMessage(connection.get());
  EXPECT_GE(PQserverVersion(connection.get()), 150000);

  Result result(PQexec(connection.get(), "SELECT current_database(), inet_server_addr()::text"), &PQclear);
  ASSERT_EQ(PQresultStatus(result.get()), PGRES_TUPLES_OK) << PQerrorMessage(connection.get());
  EXPECT_STREQ(PQgetvalue(result.get(), 0, 0), "vlt_test");
  EXPECT_STREQ(PQgetvalue(result.get(), 0, 1), "127.0.0.1/32");
}

}  // namespace
