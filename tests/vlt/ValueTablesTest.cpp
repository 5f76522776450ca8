// Value tables are made when their first value is written, are forgotten
// with the transaction (or failed call) that made them, and a table another
// connection made is found.

#include "RepositoryFixture.hpp"

#include <sqlite3.h>

#include <boost/optional/optional_io.hpp>

namespace vlttest {
namespace {

class ValueTablesTest : public RepositoryTest {
 protected:
  void SetUp() override {
    open();
    repo.performDictionaryFunction([&] {
      item = makeClass("test.Item");
      count = addProperty(item, "count", "int32", 0, 1, false, false, true);
      links = addProperty(item, "links", "test.Item", 0, 0xFFFFFFFF, false, true, false, false);
      create(item, 1);
    });
  }
  // The tables of the database, as another connection sees them.
  int tableCount() {
    if (!isSqlite()) {
      return std::stoi(testsupport::postgresqlAdmin(
          connectionString(), "SELECT count(*) FROM information_schema.tables WHERE table_schema = current_schema()"));
    }
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(location().c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table'", -1, &s, nullptr);
    const int n = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int(s, 0) : -1;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return n;
  }
  vlt::ClassRef item;
  vlt::PropertyRef count;
  vlt::PropertyRef links;
};

TEST_P(ValueTablesTest, TablesAreMadeWithTheirFirstValueAndForgottenWithTheirTransaction) {
  const int metamodelOnly = tableCount();
  vlt::ObjectRef o = find(1, "test.Item");
  boost::optional<int> value;
  o.getPropertyValue(count, value);
  EXPECT_FALSE(value) << "no table: no value";
  repo.beginTransaction();
  o.setPropertyValue(count, 5);
  o.setPropertyValue(links, std::vector<vlt::ObjectRef>{o});
  repo.rollbackTransaction();
  EXPECT_EQ(tableCount(), metamodelOnly);
  // A failed call inside a transaction takes the table it made with it.
  Repo other;
  other.open(dir.file("other.db"), "", options);
  vlt::ObjectRef foreign =
      vlt::ObjectConstructor(other.createClass("test.Item", {})).createObject(other.defaultDataModel());
  repo.beginTransaction();
  vlt::CollectionRef collection;
  o.getPropertyValue(links, collection);
  EXPECT_THROW(collection.push_back(foreign), vlt::UsageError);
  collection.push_back(o);
  o.setPropertyValue(count, 7);
  repo.commitTransaction();
  EXPECT_EQ(tableCount(), metamodelOnly + 2);
  expectStored(1, entry("count", boost::optional<int>(7)), entry("links", objects({1})));
}

TEST_P(ValueTablesTest, TablesMadeByAnotherConnectionAreFound) {
  Repo reader;
  reader.open(connectionString(), "", options);
  vlt::ClassRef readerItem = reader.metamodel().findClass("test.Item");
  vlt::ObjectRef seen = reader.defaultDataModel().findObject(makeUuid(1), readerItem);
  auto readCount = [&] {
    boost::optional<int> value;
    seen.getPropertyValue(readerItem.findProperty("count"), value);
    return value;
  };
  auto readLinks = [&] {
    std::vector<vlt::ObjectRef> value;
    seen.getPropertyValue(readerItem.findProperty("links"), value);
    return value.size();
  };
  EXPECT_FALSE(readCount());
  EXPECT_EQ(readLinks(), 0u);
  vlt::ObjectRef o = find(1, "test.Item");
  o.setPropertyValue(count, 5);
  o.setPropertyValue(links, std::vector<vlt::ObjectRef>{o, o});
  EXPECT_EQ(readCount(), boost::optional<int>(5)) << "outside a transaction";
  EXPECT_EQ(readLinks(), 2u);
  reader.beginTransaction();
  EXPECT_EQ(readCount(), boost::optional<int>(5)) << "in a transaction";
  reader.commitTransaction();
}

INSTANTIATE_TEST_SUITE_P(Backends, ValueTablesTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
