// Atomicity of a commit, proved by failing every durable file operation a
// commit reaches, one at a time, in both journal modes: after each failure a
// fresh open must find an intact repository holding exactly the state before
// or exactly the state after the commit, and the failing call must say so.

#include "RepositoryFixture.hpp"

#include <testsupport/FaultInjectionVfs.hpp>

namespace vlttest {
namespace {

using Repo = vlt::DataModelRepository;
using Vfs = testsupport::FaultInjectionVfs;

enum class Outcome { before, after, mixed };

struct Sweep {
  int journalMode;  // ServiceOptions journal field: 1 rollback journal, 2 WAL
  Vfs::Mode mode;
  const char* name;
};

void PrintTo(const Sweep& sweep, std::ostream* os) { *os << sweep.name; }

class FaultInjectionTest : public ::testing::TestWithParam<Sweep> {
 protected:
  Repo::ServiceOptions options() const {
    Repo::ServiceOptions o;
    o.createIfMissing = 1;
    o.journalMode = GetParam().journalMode;
    return o;
  }

  // Three items (n = 1, 2, 3, labels "one", "two", "three"), committed.
  void makePristine() {
    Repo repo;
    repo.open(pristine_, std::string(), options());
    repo.performDictionaryFunction([&] {
      vlt::ClassRef item = repo.createClass("acme.Item", {});
      auto add = [&](const char* name, const char* type, std::uint32_t lower, std::uint32_t upper, bool many) {
        repo.appendPropertyToClass(item, name, type, "", lower, upper, false, many, lower == 0 && !many, "",
                                   Repo::byReference, "", boost::uuids::uuid{}, false);
      };
      add("n", "int32", 1, 1, false);
      add("label", "ustring", 0, 1, false);
      add("tags", "string", 0, 0xFFFFFFFF, true);
      std::int32_t n = 0;
      boost::optional<std::u16string> label;
      vlt::ObjectConstructor ctor(item);
      ctor.setPropertyValueSource(item.findProperty("n"), &n);
      ctor.setPropertyValueSource(item.findProperty("label"), &label);
      const char16_t* labels[] = {u"one", u"two", u"three"};
      for (unsigned i = 1; i <= 3; ++i) {
        n = static_cast<std::int32_t>(i);
        label = std::u16string(labels[i - 1]);
        ctor.setObjectUUID(makeUuid(i));
        ctor.createObject(repo.defaultDataModel());
      }
    });
    repo.close();
    ASSERT_FALSE(std::filesystem::exists(pristine_ + "-wal"));
    ASSERT_FALSE(std::filesystem::exists(pristine_ + "-journal"));
  }

  // The batch under test: a class created, two items created, one modified
  // (a single value and a collection), one deleted; then the commit.
  static void commitBatch(Repo& repo) {
    repo.beginTransaction();
    writeBatch(repo);
    repo.commitTransaction();
  }

  static void writeBatch(Repo& repo) {
    vlt::ClassRef item = repo.metamodel().findClass("acme.Item");
    repo.createClass("acme.AddedInBatch", {item});
    vlt::PropertyRef n = item.findProperty("n");
    vlt::PropertyRef label = item.findProperty("label");
    std::int32_t cell = 0;
    vlt::ObjectConstructor ctor(item);
    ctor.setPropertyValueSource(n, &cell);
    for (unsigned i = 4; i <= 5; ++i) {
      cell = static_cast<std::int32_t>(i * 10);
      ctor.setObjectUUID(makeUuid(i));
      ctor.createObject(repo.defaultDataModel());
    }
    vlt::ObjectRef first = repo.defaultDataModel().findObject(makeUuid(1), item);
    first.setPropertyValue(n, std::int32_t(100));
    first.setPropertyValue(label, std::u16string(u"changed"));
    first.setPropertyValue(item.findProperty("tags"), std::vector<std::string>{"a", "b", "c"});
    repo.defaultDataModel().findObject(makeUuid(2), item).deleteObject();
  }

  static void createLateItem(Repo& repo) {
    vlt::ObjectConstructor late(repo.metamodel().findClass("acme.Item"));
    late.setObjectUUID(makeUuid(9));
    late.createObject(repo.defaultDataModel());
  }

  // Which state `repo` holds. Any item or class that fits neither gives mixed.
  static Outcome outcomeOf(Repo& repo) {
    vlt::ClassRef item = repo.metamodel().findClass("acme.Item");
    if (item.isNull()) return Outcome::mixed;
    vlt::DataModelRef data = repo.defaultDataModel();
    auto valueOf = [&](unsigned id) -> std::int32_t {
      vlt::ObjectRef object = data.findObject(makeUuid(id), item);
      if (object.isNull()) return -1;
      std::int32_t value = 0;
      object.getPropertyValue(item.findProperty("n"), value);
      return value;
    };
    vlt::ObjectRef first = data.findObject(makeUuid(1), item);
    if (first.isNull()) return Outcome::mixed;
    boost::optional<std::u16string> label;
    first.getPropertyValue(item.findProperty("label"), label);
    std::vector<std::string> tags;
    first.getPropertyValue(item.findProperty("tags"), tags);
    const bool added = !repo.metamodel().findClass("acme.AddedInBatch").isNull();

    const bool isBefore = !added && valueOf(1) == 1 && label == std::u16string(u"one") && tags.empty() &&
                          valueOf(2) == 2 && valueOf(3) == 3 && valueOf(4) == -1 && valueOf(5) == -1;
    const bool isAfter = added && valueOf(1) == 100 && label == std::u16string(u"changed") &&
                         tags == std::vector<std::string>{"a", "b", "c"} && valueOf(2) == -1 && valueOf(3) == 3 &&
                         valueOf(4) == 40 && valueOf(5) == 50;
    return isBefore ? Outcome::before : isAfter ? Outcome::after : Outcome::mixed;
  }

  // The same connection goes on after a failure, with the rollback a
  // careful caller makes: it sees one of the two states (a class the failed
  // transaction created is gone from memory too). A write after the failure
  // never outlives the rollback, even when the back end already dropped the
  // transaction by itself.
  static void expectTheConnectionGoesOn(Repo& repo, Vfs& vfs) {
    vfs.reset();
    if (repo.inTransaction()) {
      try {
        createLateItem(repo);
      } catch (const vlt::RepositoryError&) {
      }
      repo.rollbackTransaction();
    }
    EXPECT_NE(outcomeOf(repo), Outcome::mixed);
  }
  // A fresh copy of the pristine repository, opened.
  void openPristineCopy(Repo& repo) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(work_ + suffix);
    std::filesystem::copy_file(pristine_, work_);
    repo.open(work_, std::string(), options());
  }
  // How many durable operations `batch` reaches on a pristine copy when nothing fails.
  int operationsReachedBy(Vfs& vfs, const std::function<void(Repo&)>& batch) {
    Repo repo;
    openPristineCopy(repo);
    vfs.reset();
    batch(repo);
    EXPECT_EQ(outcomeOf(repo), Outcome::after);
    return vfs.operations();
  }
  // What the next user finds, opening the work copy afresh with no faults:
  // its state, and whether it holds the item written after a failure.
  // A reader comes first: it finds the same state, or (after a crash that
  // left a rollback journal) is told to let a writer recover it.
  std::pair<Outcome, bool> reopenedWork(Vfs& vfs) {
    vfs.reset();
    Repo::ServiceOptions readOnly = options();
    readOnly.readOnly = 1;
    try {
      Repo reader;
      reader.open(work_, std::string(), readOnly);
      EXPECT_NE(outcomeOf(reader), Outcome::mixed);
    } catch (const vlt::OpenError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr("open the repository for writing once to recover it"));
      ++journalsLeft_;
    }
    Repo fresh;
    fresh.open(work_, std::string(), options());
    const vlt::ClassRef item = fresh.metamodel().findClass("acme.Item");
    return {outcomeOf(fresh), !fresh.defaultDataModel().findObject(makeUuid(9), item).isNull()};
  }

  int journalsLeft_ = 0;  // work copies a reader could not open for a crash's journal
  testsupport::TempDir dir_;
  std::string pristine_ = dir_.file("pristine.db");
  std::string work_ = dir_.file("work.db");
};

// Each failure is tried with commitTransaction and with
// unsafeCommitPotentiallyFailingTransaction; after the latter failed, the
// caller's rollback always succeeds, also when the engine dropped the
// transaction itself, and the commit's own error is the one the caller sees.
TEST_P(FaultInjectionTest, EveryFailedDurableOperationLeavesBeforeOrAfterNeverAMix) {
  Vfs vfs;
  makePristine();

  const int reached = operationsReachedBy(vfs, commitBatch);
  ASSERT_GT(reached, 2) << vfs.log();

  int reportedFailures = 0;
  for (int n = 1; n <= reached; ++n) {
    for (const bool unsafe : {false, true}) {
      SCOPED_TRACE("failing durable operation " + std::to_string(n) + " of " + std::to_string(reached) +
                   (unsafe ? ", unsafe commit" : ""));
      bool threw = false;
      {
        Repo repo;
        openPristineCopy(repo);
        vfs.failAt(n, GetParam().mode);
        try {
          repo.beginTransaction();
          writeBatch(repo);
          if (unsafe) {
            repo.unsafeCommitPotentiallyFailingTransaction();
          } else {
            repo.commitTransaction();
          }
        } catch (const vlt::RepositoryError&) {
          threw = true;
          if (unsafe) {
            ASSERT_TRUE(repo.inTransaction());
            EXPECT_NO_THROW(repo.rollbackTransaction()) << vfs.log();
            EXPECT_FALSE(repo.inTransaction());
          }
        }
        const int failed = vfs.failures();
        EXPECT_GT(failed, 0) << "the sweep did not reach operation " << n;
        if (failed > 0) {
          EXPECT_TRUE(threw) << "a failed write went unreported\n" << vfs.log();
        }
        reportedFailures += threw ? 1 : 0;

        if (GetParam().mode == Vfs::Mode::failOnce && threw) expectTheConnectionGoesOn(repo, vfs);
        // With failFromThenOn the close fails too, as a crash would: what is on
        // disk (a hot journal, a partial log) is what the next open finds.
        repo.close();
      }
      const auto [found, late] = reopenedWork(vfs);
      EXPECT_NE(found, Outcome::mixed) << vfs.log();
      EXPECT_FALSE(late);
    }
  }
  EXPECT_EQ(reportedFailures, 2 * reached);
  EXPECT_EQ(journalsLeft_ > 0, GetParam().journalMode == 1 && GetParam().mode == Vfs::Mode::failFromThenOn);
}

// A dictionary function that swallows a failure and writes on: when the
// database dropped the transaction meanwhile, the later write must not commit
// on its own, and the call must report the failure.
// Only failures the process survives: after a crash nothing writes on.
using DictionaryFunctionFaultTest = FaultInjectionTest;

TEST_P(DictionaryFunctionFaultTest, NeverCommitsWritesMadeAfterTheDatabaseDroppedItsTransaction) {
  Vfs vfs;
  makePristine();
  const int reached =
      operationsReachedBy(vfs, [](Repo& repo) { repo.performDictionaryFunction([&] { writeBatch(repo); }); });
  for (int n = 1; n <= reached; ++n) {
    SCOPED_TRACE("failing durable operation " + std::to_string(n) + " of " + std::to_string(reached));
    bool threw = false;
    {
      Repo repo;
      openPristineCopy(repo);
      vfs.failAt(n);
      try {
        repo.performDictionaryFunction([&] {
          try {
            writeBatch(repo);
          } catch (const vlt::RepositoryError&) {
          }
          createLateItem(repo);
        });
      } catch (const vlt::RepositoryError&) {
        threw = true;
      }
      EXPECT_FALSE(repo.inTransaction());
    }
    const auto [found, late] = reopenedWork(vfs);
    EXPECT_EQ(late, !threw);
    if (threw) {
      EXPECT_EQ(found, Outcome::before);
    }
  }
}

std::string sweepName(const ::testing::TestParamInfo<Sweep>& sweep) { return sweep.param.name; }

INSTANTIATE_TEST_SUITE_P(Journals, FaultInjectionTest,
                         ::testing::Values(Sweep{1, Vfs::Mode::failOnce, "RollbackJournalFailOnce"},
                                           Sweep{1, Vfs::Mode::failFromThenOn, "RollbackJournalCrash"},
                                           Sweep{2, Vfs::Mode::failOnce, "WalFailOnce"},
                                           Sweep{2, Vfs::Mode::failFromThenOn, "WalCrash"}),
                         sweepName);
INSTANTIATE_TEST_SUITE_P(Journals, DictionaryFunctionFaultTest,
                         ::testing::Values(Sweep{1, Vfs::Mode::failOnce, "RollbackJournal"},
                                           Sweep{2, Vfs::Mode::failOnce, "Wal"}),
                         sweepName);

}  // namespace
}  // namespace vlttest
