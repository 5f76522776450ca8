// Files an unlucky user opens: damaged pages, metamodel rows that do not hold
// together, a journal left by a writer that was killed, a read-only folder,
// things that are not regular files. Each gives an error of the OpenError
// family that says what is true, and no crash.

#include "RawSqlite.hpp"
#include "RepositoryFixture.hpp"

#include <testsupport/ChildProcess.hpp>

#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>

#include <random>

#include <sys/stat.h>
#include <unistd.h>

namespace vlttest {
namespace {

using ::testing::HasSubstr;

class DamagedFileTest : public RepositoryTest {
 protected:
  // A repository with a small metamodel and a few objects, closed.
  void makeRepository(unsigned objects = 3) {
    open();
    repo.performDictionaryFunction([&] {
      vlt::ClassRef base = makeClass("test.Base");
      vlt::ClassRef item = makeClass("test.Item", {base});
      addProperty(base, "label", "ustring", 0, 1, false, false, true);
      addProperty(item, "n", "int32");
      addProperty(item, "tags", "string", 0, 0xFFFFFFFF);
      for (unsigned i = 1; i <= objects; ++i) {
        vlt::ObjectRef o = create(item, i);
        o.setPropertyValue(item.findProperty("n"), static_cast<int>(i));
        o.setPropertyValue(item.findProperty("label"), std::u16string(300, u'x'));
      }
    });
    repo.close();
  }
  void sql(const std::string& statements) { RawSqlite(location()).exec(statements); }
  // Opens read-only and reads everything, as an inspecting tool would. Only
  // repository errors may come out.
  void walkReadOnly() {
    Repo::ServiceOptions o = options;
    o.readOnly = 1;
    Repo r;
    r.open(location(), "", o);
    for (const vlt::ClassRef& c : r.metamodel().classes()) {
      for (const vlt::ObjectRef& object : r.defaultDataModel().objectsOf(c, false)) {
        for (const vlt::PropertyRef& p : c.allProperties()) {
          std::vector<std::string> strings;
          boost::optional<std::u16string> text;
          boost::optional<int> number;
          if (p.valueType() == vlt::ValueType::string) object.getPropertyValue(p, strings);
          if (p.valueType() == vlt::ValueType::ustring) object.getPropertyValue(p, text);
          if (p.valueType() == vlt::ValueType::int32) object.getPropertyValue(p, number);
        }
      }
    }
  }
};

TEST_P(DamagedFileTest, MetamodelRowsThatDoNotHoldTogetherAreRefusedAtOpen) {
  makeRepository();
  const std::string pristine = testsupport::readFile(location());
  const std::pair<const char*, const char*> damages[] = {
      {"UPDATE vlt_property SET type_name = 'vanished.Type' WHERE name = 'n'", "unknown type"},
      {"DELETE FROM vlt_class WHERE qualified_name = 'test.Base'", "unknown class"},
      {"UPDATE vlt_property SET class_id = 999 WHERE name = 'tags'", "unknown class"},
      {"INSERT INTO vlt_superclass SELECT b.id, 0, i.id FROM vlt_class b, vlt_class i "
       "WHERE b.qualified_name = 'test.Base' AND i.qualified_name = 'test.Item'",
       "own superclasses"},
      {"INSERT INTO vlt_enumeral VALUES (999, 0, 'ghost', 1)", "unknown enumeration"},
  };
  for (const auto& [damage, expected] : damages) {
    SCOPED_TRACE(damage);
    testsupport::writeFile(location(), pristine);
    sql(damage);
    EXPECT_THAT(messageOf<vlt::NotARepositoryError>([&] { open(); }), HasSubstr(expected));
    EXPECT_FALSE(repo.isOpen());
  }
}

TEST_P(DamagedFileTest, DamagedPagesAndMissingTablesAreOpenErrorsNeverACrash) {
  makeRepository(200);
  const std::string pristine = testsupport::readFile(location());
  sql("DROP TABLE vlt_enumeral");
  EXPECT_THAT(messageOf<vlt::NotARepositoryError>([&] { open(); }), HasSubstr("vlt_enumeral"));
  std::mt19937 random(11);
  for (int round = 0; round < 40; ++round) {
    std::string damaged = pristine;
    // Random bytes over a part of one page after the header page.
    const std::size_t page = 4096 * (1 + random() % (damaged.size() / 4096 - 1));
    const std::size_t start = page + random() % 4000;
    for (std::size_t i = start; i < std::min(damaged.size(), start + 1 + random() % 200); ++i) {
      damaged[i] = static_cast<char>(random());
    }
    testsupport::writeFile(location(), damaged);
    try {
      walkReadOnly();
    } catch (const vlt::OpenError&) {
    } catch (const vlt::StorageError&) {
      // Found while reading objects after a good open: the damage is in data pages.
    } catch (const std::exception& e) {
      ADD_FAILURE() << "round " << round << ": " << typeid(e).name() << ": " << e.what();
    }
  }
}

// Stored values that no writer could have made: a time beyond the dates a
// ptime holds, an array that does not parse after one that does. Each read is
// a StorageError, and nothing read before the failure is left to leak.
TEST_P(DamagedFileTest, DamagedValuesAreStorageErrors) {
  open();
  vlt::ClassRef cls = makeClass("test.Values");
  vlt::PropertyRef when = addProperty(cls, "when", "DateTime", 0, 1, false, false, true);
  vlt::PropertyRef arrays = addProperty(cls, "arrays", "qxarray", 0, 0xFFFFFFFF, false, true, false, false);
  vlt::ObjectRef object = create(cls, 1);
  object.setPropertyValue(when, boost::posix_time::ptime(boost::gregorian::date(2020, 1, 1)));
  matrix::ArrayPtr a(matrix::createNumericArray(matrix::ClassId::Int16, {1, 2}));
  object.setPropertyValue(arrays, std::vector<const matrix::qxArray_tag*>{a.get(), a.get()});
  const std::string table = "vlt_c" + std::to_string(cls.id());
  repo.close();
  sql("UPDATE " + table + " SET p" + std::to_string(when.id()) + " = 9223372036854775000; UPDATE vlt_p" +
      std::to_string(arrays.id()) + " SET value = x'00' WHERE ordinal = 1");
  open();
  vlt::ObjectRef damaged = find(1, "test.Values");
  boost::optional<boost::posix_time::ptime> time;
  EXPECT_THROW(damaged.getPropertyValue(property("test.Values", "when"), time), vlt::StorageError);
  std::vector<matrix::qxArray_tag*> read;
  EXPECT_THROW(damaged.getPropertyValue(property("test.Values", "arrays"), read), vlt::StorageError);
  EXPECT_TRUE(read.empty());
}

TEST_P(DamagedFileTest, AJournalLeftByAKilledWriterIsNamedAndRecovered) {
  makeRepository();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  {
    // A writer killed in the middle of a transaction big enough to spill
    // into the file (past its page cache, kept small): what it leaves is a
    // hot journal.
    testsupport::ChildProcess writer([&] {
      Repo r;
      Repo::ServiceOptions smallCache = options;
      smallCache.pageCacheKiB = 2048;
      r.open(location(), "", smallCache);
      r.beginTransaction();
      vlt::ClassRef item = r.metamodel().findClass("test.Item");
      const std::u16string big(2000, u'y');
      vlt::ObjectConstructor ctor(item);
      ctor.setPropertyValueSource(item.findProperty("label"), &big);
      for (int i = 0; i < 8000; ++i) ctor.createObject(r.defaultDataModel());
      char c = 'w';
      (void)!::write(ready[1], &c, 1);
      ::pause();
      return 0;
    });
    char c = 0;
    ASSERT_EQ(::read(ready[0], &c, 1), 1);
    writer.kill();
  }
  ASSERT_TRUE(exists(location() + "-journal"));
  Repo::ServiceOptions readOnly = options;
  readOnly.readOnly = 1;
  EXPECT_THAT(messageOf<vlt::OpenError>([&] { repo.open(location(), "", readOnly); }),
              HasSubstr("open the repository for writing once"));
  // A writer recovers it: the state before the killed transaction.
  open();
  EXPECT_EQ(repo.defaultDataModel().countObjects(findClass("test.Item")), 3u);
  repo.close();
  EXPECT_FALSE(exists(location() + "-journal"));
}

TEST_P(DamagedFileTest, AWriteAheadLogRepositoryInAReadOnlyFolderSaysSo) {
  options.journalMode = 2;
  makeRepository();
  ASSERT_EQ(::chmod(dir.path().c_str(), 0555), 0);
  const std::string answer = answerAsNobody([&] {
    Repo::ServiceOptions o = options;
    o.readOnly = 1;
    try {
      Repo r;
      r.open(location(), "", o);
      r.defaultDataModel().countObjects(r.metamodel().findClass("test.Item"));
      return "o";  // opened and read: also fine, SQLite may manage without the folder
    } catch (const vlt::OpenError& e) {
      return std::string(e.what()).find("folder") != std::string::npos ? "f" : "m";
    } catch (...) {
      return "x";
    }
  });
  ::chmod(dir.path().c_str(), 0755);
  if (answer == "s") GTEST_SKIP() << "this process cannot switch to the user nobody";
  EXPECT_TRUE(answer == "f" || answer == "o") << answer << "; m: another message, x: another error";
}

TEST_P(DamagedFileTest, OnlyRegularFilesAreRepositories) {
  ASSERT_EQ(::mkfifo(location().c_str(), 0600), 0);
  EXPECT_THAT(messageOf<vlt::OpenError>([&] { open(); }), HasSubstr("not a regular file"));
  if (exists("/dev/null")) {
    EXPECT_THROW(repo.open("/dev/null", "", options), vlt::OpenError);
    EXPECT_FALSE(exists("/dev/null-journal"));
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, DamagedFileTest, ::testing::Values(Backend::SQLite), backendName);

}  // namespace
}  // namespace vlttest
