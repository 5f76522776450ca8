// A failure in the middle of a write, at every point a small case reaches:
// the commit of a model transaction (changes of every kind made through a
// model opened lazily, a subtree loaded on the way, a family recorded for
// the first time) and the push of a model's elements when a data source
// opens on it. On SQLite the N-th durable file operation fails (the
// fault-injecting VFS), on PostgreSQL the N-th row written (a trigger) or the
// server process itself at the commit. After each failure the call that
// failed threw, memory is as it was before, the repository too, and the next
// attempt writes everything, the family's version included.

#include "DataSourceTestSupport.hpp"

#include <qm/zero/ReferenceCollection.hpp>
#include <testsupport/FaultInjectionVfs.hpp>

#include <filesystem>
#include <optional>

namespace dstest {
namespace {

// Everything a model has loaded, as text, loading nothing: elements by uuid
// with class, owner, proxy state and every value (a deferred collection not
// loaded as such).
std::string memoryText(const qm::zero::Model& model) {
  std::vector<ModelElement> all = model->getAllElements();
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.getUUID() < b.getUUID(); });
  std::string out;
  for (const ModelElement& e : all) {
    out += boost::uuids::to_string(e.getUUID()) + " " + fl::i18n::ustring_to_utf8(e.getMetaClass()->getName());
    if (e.getOwner()) out += " in " + boost::uuids::to_string(e.getOwner().getUUID());
    for (const meta::Property& p : e.getMetaClass()->getAllAttributes()) {
      out += " " + fl::i18n::ustring_to_utf8(p->getName()) + "=";
      if (p->isReference() && p->isMultiValued() && !qm::zero::ReferenceCollection(e, p).isLoaded())
        out += "(unloaded)";
      else
        out += valueText(e.get(p, Access::privileged()));
    }
    out += "\n";
  }
  return out;
}

class FailureTest : public DataSourceTest {
 protected:
  // The stored model the failing writes start from: a library owning books
  // and members, links between them, of the lib family only.
  void storeBase(const std::string& at) {
    storeModel(at, [&](const qm::zero::Model& writer) { storeBaseIn(writer); });
  }
  void storeBaseIn(const qm::zero::Model& writer) {
    ModelElement library = make(writer, mm.library, 1);
    std::vector<ModelElement> books, persons;
    for (int n = 0; n < 4; ++n) books.push_back(make(writer, mm.book, 10 + n));
    for (int n = 0; n < 3; ++n) persons.push_back(make(writer, mm.person, 20 + n));
    library.set(mm.books, Value(mm.book, books));
    library.set(mm.members, Value(mm.person, persons));
    library.set(mm.tags, Value(meta::StandardTypes::stringMeta(), std::vector<std::u16string>{u"a", u"b", u"c"}));
    books[0].set(mm.authors, Value(mm.person, std::vector<ModelElement>{persons[0], persons[1]}));
    books[1].set(mm.sequel, books[2]);
    books[2].set(mm.ratings, Value(meta::StandardTypes::integerMeta(), std::vector<std::int32_t>{5, 3, 4}));
    persons[1].set(mm.mentor, persons[0]);
    persons[2].set(mm.mentor, persons[0]);
    persons[2].set(mm.reviewed, Value(mm.book, std::vector<ModelElement>{books[3], books[0]}));
    persons[2].set(mm.favorite, books[3]);
  }

  static ModelElement make(const qm::zero::Model& model, const meta::Class& cls, int n) {
    ModelElement e = ModelElement::createReflective(model, cls, qm0test::uuidOf(n));
    e.set(TestMetamodel::get().name, Value(meta::StandardTypes::stringMeta(), u"n" + u16(std::to_string(n))));
    return e;
  }
  ModelElement fetch(int n) { return model->findElement(qm0test::uuidOf(n), qm::zero::FetchFromDataSource); }
  // The repository a connection string names, opened with vlt alone.
  static vlt::DataModelRepository directly(const std::string& at) {
    const std::size_t wal = at.find("?wal=true");
    return openDirectly(wal == std::string::npos ? at : at.substr(0, wal));
  }

  // The changes under test, on `model` opened lazily on the base: every
  // kind, through fetched elements and the proxies their links hold, a
  // subtree loaded on the way, and an element of the ext family, which the
  // repository has no version of yet.
  void change() {
    ModelElement library = fetch(1);
    library.insert(mm.tags, 1, Value(meta::StandardTypes::stringMeta(), std::u16string(u"x")));
    library.removeAt(mm.tags, 0);
    ModelElement first = library.get(mm.books).getElement(0);  // a proxy until used
    first.set(mm.pages, Value(meta::StandardTypes::integerMeta(), std::int32_t(42)));
    first.removeAt(mm.authors, 0);
    ModelElement mentee = fetch(21);
    mentee.set(mm.mentor, fetch(22));  // leaves #20's mentees for #22's
    library.getAllContents();
    fetch(12).destroy();                // the other end of #11's sequel
    fetch(13).insert(mm.ratings, 0, Value(meta::StandardTypes::integerMeta(), std::int32_t(9)));
    ModelElement ebook = ModelElement::createReflective(model, mm.ebook, qm0test::uuidOf(30));
    library.insert(mm.books, 1, Value(ebook));
    ebook.set(mm.prequel, fetch(11));
    fetch(22).append(mm.reviewed, Value(ebook));
  }

  // Runs `action`, a write into `at`; whether it threw. After a throw,
  // `memory` and the repository must be as they were before.
  static bool failsLeavingAllAsItWas(const std::string& at, const qm::zero::Model& memory,
                                     const std::function<void()>& action) {
    const std::string before = memoryText(memory);
    const qm::zero::Model stored = loadAll(at);
    try {
      action();
      return false;
    } catch (const std::exception& e) {
      SCOPED_TRACE(std::string("the write failed: ") + e.what());
      EXPECT_EQ(memoryText(memory), before);
      EXPECT_EQ(expectRepositoryHoldsModel(stored, directly(at)), 0u);
      return true;
    }
  }

  // Opens a model lazily on `at`, makes the changes and commits, with `arm`
  // called just before the commit; whether the commit threw.
  bool commitFails(const std::string& at, const std::function<void()>& arm) {
    model = qm::zero::Model::create();
    attachTo(model, at, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);
    fetch(1);  // something loaded before the transaction
    std::optional<qm::zero::Transaction> tx;  // ends after the checks
    return failsLeavingAllAsItWas(at, model, [&] {
      tx.emplace(model->beginTransaction());
      change();
      arm();
      tx->commit();
    });
  }

  // The repository at `at` holds what `written` loaded, and records the ext
  // family once.
  static void expectAllWritten(const qm::zero::Model& written, const std::string& at) {
    EXPECT_EQ(expectRepositoryHoldsLoadedElements(written, directly(at)), 0u);
    const std::vector<std::u16string> families = recordedFamilies(directly(at));
    EXPECT_EQ(std::count(families.begin(), families.end(), u"http://example.com/ext"), 1);
  }

  // The next transaction on the same data source writes everything.
  void nextTransactionWritesAll(const std::string& at) {
    qm::zero::Transaction tx = model->beginTransaction();
    change();
    tx.commit();
    expectAllWritten(model, at);
  }

  // A model with elements of both families, made without a data source.
  qm::zero::Model pushed() {
    const qm::zero::Model made = qm::zero::Model::create();
    qm::zero::Transaction tx = made->beginTransaction();
    ModelElement library = make(made, mm.library, 40);
    ModelElement ebook = make(made, mm.ebook, 41), person = make(made, mm.person, 42);
    library.set(mm.books, Value(mm.book, std::vector<ModelElement>{ebook}));
    ebook.set(mm.authors, Value(mm.person, std::vector<ModelElement>{person}));
    ebook.set(mm.formats, Value(mm.genre, std::vector<std::int32_t>{5, 1}));
    tx.commit();
    return made;
  }

  // Opens a data source on `at` that pushes `made`, with `arm` called just
  // before; whether the opening threw.
  static bool pushFails(const std::string& at, const qm::zero::Model& made, const std::function<void()>& arm) {
    return failsLeavingAllAsItWas(at, made, [&] {
      arm();
      attachTo(made, at, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource);
      made->resetDataSource();
    });
  }

};

class SqliteFailureTest : public FailureTest {
 protected:
  // A fresh copy of the base, in the journal mode of the run.
  std::string copyOfBase(bool wal) {
    const std::string copy = file(wal ? "wal.vlt" : "journal.vlt");
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(copy + suffix);
    std::filesystem::copy_file(base, copy);
    return copy + (wal ? "?wal=true" : "");
  }
  std::string base = file("base.vlt");
};

// Every durable operation of the commit fails once in turn, in both journal
// modes, with the data source that made the changes used again after it.
TEST_F(SqliteFailureTest, ACommitThatFailsAnywhereLeavesMemoryAndTheRepositoryAsTheyWere) {
  storeBase(base);
  testsupport::FaultInjectionVfs vfs;
  for (const bool wal : {false, true}) {
    int n = 1;
    for (;; ++n) {
      SCOPED_TRACE((wal ? "WAL, durable operation " : "journal, durable operation ") + std::to_string(n));
      vfs.reset();
      const std::string at = copyOfBase(wal);
      if (!commitFails(at, [&] { vfs.failAt(n); })) break;
      vfs.reset();
      nextTransactionWritesAll(at);
      model->resetDataSource();
    }
    EXPECT_GT(n, 3) << "the commit reached " << n - 1 << " durable operations";
    RecordProperty(wal ? "walFailurePoints" : "journalFailurePoints", n - 1);
  }
}

TEST_F(SqliteFailureTest, APushThatFailsAnywhereLeavesTheModelAndTheRepositoryAsTheyWere) {
  storeBase(base);
  testsupport::FaultInjectionVfs vfs;
  const qm::zero::Model made = pushed();
  int n = 1;
  for (;; ++n) {
    SCOPED_TRACE("durable operation " + std::to_string(n));
    vfs.reset();
    const std::string at = copyOfBase(false);
    if (!pushFails(at, made, [&] { vfs.failAt(n); })) break;
    vfs.reset();
    EXPECT_FALSE(pushFails(at, made, [] {}));
    expectAllWritten(made, at);
  }
  EXPECT_GT(n, 3) << "the push reached " << n - 1 << " durable operations";
  RecordProperty("pushFailurePoints", n - 1);
}

// A host may end a transaction with rollbackShallowTransaction, which tries
// to commit the repository transaction and, when that commit fails, rolls it
// back and passes the commit's failure on: the class made in the transaction
// is stored, or the repository is as it was.
TEST_F(SqliteFailureTest, AShallowTransactionIsCommittedOrRolledBackWithTheCommitsFailure) {
  storeBase(base);
  testsupport::FaultInjectionVfs vfs;
  for (const bool failing : {false, true}) {
    SCOPED_TRACE(failing ? "the commit fails" : "the commit succeeds");
    const std::string at = copyOfBase(false);
    model = qm::zero::Model::create();
    DataSource* ds = attachTo(model, at, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);
    ds->beginTransaction(qm::zero::datasource::TransactionId(1));
    Access::getVltClass(*ds, mm.ebook);
    if (failing) vfs.failAt(1);
    const std::string thrown = whatThrown([&] { ds->rollbackShallowTransaction(); });
    EXPECT_EQ(vfs.failures(), failing ? 1 : 0);
    vfs.reset();
    EXPECT_EQ(thrown == "nothing was thrown", !failing) << thrown;
    EXPECT_FALSE(Access::repository(*ds).inTransaction());
    model->resetDataSource();
    EXPECT_EQ(directly(at).metamodel().findClass("ext.Ebook").isNull(), failing);
  }
}

// On PostgreSQL a trigger fails the N-th row written to the tables the base
// made (new tables of the transaction are not watched); then the server
// process is terminated inside the commit itself, after which a new data
// source writes everything.
class PostgreSQLFailureTest : public FailureTest {
 protected:
  // Runs `setup`, then `statement` (a format() string whose %I is the
  // table) for every table of the schema at `at`.
  static void onEveryTable(const std::string& at, const std::string& setup, const std::string& statement) {
    testsupport::postgresqlAdmin(at, setup + "DO $$ DECLARE t text; BEGIN FOR t IN SELECT tablename FROM pg_tables "
                                             "WHERE schemaname = current_schema() AND tablename <> 'injected' LOOP "
                                             "EXECUTE format('" + statement + "', t); END LOOP; END $$");
  }
  // A failing trigger on every table, the N-th row written failing from the
  // next `failAt` on.
  static void installFailingTrigger(const std::string& at) {
    onEveryTable(at,
                 "CREATE TABLE injected (fail_at BIGINT); INSERT INTO injected VALUES (0);"
                 "CREATE SEQUENCE injected_rows;"
                 "CREATE FUNCTION injected_failure() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
                 "IF nextval('injected_rows') = (SELECT fail_at FROM injected) THEN "
                 "RAISE EXCEPTION 'injected failure'; END IF; RETURN NULL; END $$;",
                 "CREATE TRIGGER injected AFTER INSERT OR UPDATE OR DELETE ON %I "
                 "FOR EACH ROW EXECUTE FUNCTION injected_failure()");
  }
  static void failAt(const std::string& at, int n) {
    testsupport::postgresqlAdmin(at, "UPDATE injected SET fail_at = " + std::to_string(n) +
                                         "; SELECT setval('injected_rows', 1, false)");
  }
};

TEST_F(PostgreSQLFailureTest, ACommitThatFailsAnywhereLeavesMemoryAndTheRepositoryAsTheyWere) {
  int n = 1;
  for (;; ++n) {
    SCOPED_TRACE("row " + std::to_string(n));
    const std::string at = testsupport::freshPostgresqlSchema();
    ASSERT_FALSE(at.empty());
    storeBase(at);
    installFailingTrigger(at);
    if (!commitFails(at, [&] { failAt(at, n); })) break;
    failAt(at, 0);
    nextTransactionWritesAll(at);
    model->resetDataSource();
  }
  EXPECT_GT(n, 5) << "the commit wrote " << n - 1 << " rows to watched tables";
  RecordProperty("rowFailurePoints", n - 1);

  // The server process ends inside the commit: a constraint trigger that
  // runs at the commit terminates its own backend.
  const std::string at = testsupport::freshPostgresqlSchema();
  storeBase(at);
  onEveryTable(at,
               "CREATE FUNCTION end_backend() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN "
               "PERFORM pg_terminate_backend(pg_backend_pid()); RETURN NULL; END $$;",
               "CREATE CONSTRAINT TRIGGER ended AFTER INSERT OR UPDATE OR DELETE ON %I "
               "DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION end_backend()");
  EXPECT_TRUE(commitFails(at, [] {}));
  model->resetDataSource();
  onEveryTable(at, "", "DROP TRIGGER ended ON %I");
  EXPECT_FALSE(commitFails(at, [] {}));
  expectAllWritten(model, at);
}

}  // namespace
}  // namespace dstest
