// Value tables are made when their first value is written, are forgotten
// with the transaction (or failed call) that made them, and a table another
// connection made is found.

#include "RawSqlite.hpp"
#include "RepositoryFixture.hpp"

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
    return std::stoi(isSqlite() ? RawSqlite(location(), SQLITE_OPEN_READONLY)
                                      .answer("SELECT count(*) FROM sqlite_master WHERE type = 'table'")
                                : testsupport::postgresqlAdmin(connectionString(),
                                                               "SELECT count(*) FROM information_schema.tables "
                                                               "WHERE table_schema = current_schema()"));
  }
  vlt::ClassRef item;
  vlt::PropertyRef count;
  vlt::PropertyRef links;
};

TEST_P(ValueTablesTest, TablesAreMadeWithTheirFirstValueAndForgottenWithTheirTransaction) {
  const int metamodelOnly = tableCount();
  vlt::ObjectRef o = find(1, "test.Item");
  EXPECT_FALSE(readValue<boost::optional<int>>(o, count)) << "no table: no value";
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
  vlt::CollectionRef collection = readValue<vlt::CollectionRef>(o, links);
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
  // What the reader finds in object 1: its count ("-" when absent), and how many links.
  auto readBack = [&] {
    const auto value = readValue<boost::optional<int>>(seen, readerItem.findProperty("count"));
    const auto targets = readValue<std::vector<vlt::ObjectRef>>(seen, readerItem.findProperty("links"));
    return (value ? std::to_string(*value) : std::string("-")) + " " + std::to_string(targets.size());
  };
  EXPECT_EQ(readBack(), "- 0");
  vlt::ObjectRef o = find(1, "test.Item");
  o.setPropertyValue(count, 5);
  o.setPropertyValue(links, std::vector<vlt::ObjectRef>{o, o});
  EXPECT_EQ(readBack(), "5 2") << "outside a transaction";
  reader.beginTransaction();
  EXPECT_EQ(readBack(), "5 2") << "in a transaction";
  reader.commitTransaction();
}

INSTANTIATE_TEST_SUITE_P(Backends, ValueTablesTest, everyBackend(), backendName);

}  // namespace
}  // namespace vlttest
