// A host process killed (SIGKILL) in the middle of a large commit through the
// library, at a random moment in each of many rounds: whoever opens the
// repository next finds the state before the transaction or the state after
// it, never a mix. SQLite in both journal modes, and PostgreSQL.
// VLT_KILLED_HOST_ROUNDS sets the number of rounds per journal mode.

#include "DataSourceTestSupport.hpp"

#include <testsupport/ChildProcess.hpp>
#include <testsupport/Sanitizers.hpp>

#include <chrono>
#include <random>
#include <thread>

#include <unistd.h>

namespace dstest {
namespace {

constexpr int baseBooks = 1000;   // pages 1; the transaction sets 2
constexpr int destroyed = 200;    // the first ones, destroyed by the transaction
constexpr int addedBooks = 600;   // made by the transaction, pages 3

using qm0test::integer;

// What a repository holds, in the terms of the transaction: "before",
// "after", or a description of the mix.
std::string stateOf(const std::string& location) {
  const TestMetamodel& mm = TestMetamodel::get();
  const qm::zero::Model model = loadAll(location);
  std::map<std::int32_t, int> books;  // by their pages, 0 for unset
  for (const ModelElement& e : model->getAllElements())
    if (e.getMetaClass()->conformsTo(mm.book)) ++books[e.isSet(mm.pages) ? e.get(mm.pages).get<std::int32_t>() : 0];
  if (books == std::map<std::int32_t, int>{{1, baseBooks}}) return "before";
  if (books == std::map<std::int32_t, int>{{2, baseBooks - destroyed}, {3, addedBooks}}) return "after";
  std::string mix = "a mix:";
  for (const auto& [pages, count] : books) mix += " " + std::to_string(count) + " books of " + std::to_string(pages);
  return mix + " pages";
}

class KilledHostTest : public BackendTest {
 protected:
  // The base: a library owning `baseBooks` books of one page.
  void storeBase(const std::string& at) {
    storeModel(at, [&](const qm::zero::Model& writer) {
      std::vector<ModelElement> books;
      for (int n = 0; n < baseBooks; ++n) {
        books.push_back(ModelElement::createReflective(writer, mm.book, qm0test::uuidOf(1 + n)));
        books.back().set(mm.pages, integer(1));
      }
      ModelElement::createReflective(writer, mm.library).set(mm.books, Value(mm.book, books));
    });
  }

  // The host: loads everything, changes every book, adds and destroys some,
  // tells `ready` just before the commit, commits. It runs in a child
  // process, with the fixture's model (empty) as its own.
  int host(const std::string& at, int ready) {
    attachTo(model, at, DataSource::SyncAllToModel, DataSource::NoSyncToDataSource);
    qm::zero::Transaction tx = model->beginTransaction();
    ModelElement library;
    for (ModelElement e : model->getAllElements()) {
      if (e.getMetaClass() == mm.library) library = e;
      if (e.getMetaClass()->conformsTo(mm.book)) e.set(mm.pages, integer(2));
    }
    for (int n = 1; n <= destroyed; ++n) model->findElement(qm0test::uuidOf(n)).destroy();
    for (int n = 0; n < addedBooks; ++n) {
      ModelElement book = ModelElement::createReflective(model, mm.book);
      book.set(mm.pages, integer(3));
      library.append(mm.books, Value(book));
    }
    const char c = 'r';
    if (::write(ready, &c, 1) != 1) return 2;
    tx.commit();
    return 0;
  }

  // Runs the host on a fresh copy of the base, killing it `delay` after it
  // said it commits (never, for a negative delay); the time from then to
  // its end when it was not killed.
  std::chrono::microseconds round(const std::string& at, std::chrono::microseconds delay) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    testsupport::ChildProcess child([&] { return host(at, ready[1]); });
    char c = 0;
    EXPECT_EQ(::read(ready[0], &c, 1), 1);
    const auto start = std::chrono::steady_clock::now();
    for (const int fd : ready) ::close(fd);
    if (delay.count() >= 0) {
      std::this_thread::sleep_for(delay);
      child.kill();
      return {};
    }
    EXPECT_EQ(child.wait(), 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  }

  // A new repository holding the base, in the journal mode of the round.
  std::string fresh(bool wal) {
    const std::string at = newLocation("round" + std::to_string(++made) + ".vlt") + (wal ? "?wal=true" : "");
    storeBase(at);
    return at;
  }

  int made = 0;
};

TEST_P(KilledHostTest, AHostKilledInACommitLeavesTheStateBeforeOrAfterNeverAMix) {
  const bool server = GetParam() == Backend::PostgreSQL;
  std::mt19937 rng(20240611);
  for (const bool wal : server ? std::vector<bool>{false} : std::vector<bool>{false, true}) {
    // How long the commit takes when nobody kills it.
    const std::string first = fresh(wal);
    const auto commit = round(first, std::chrono::microseconds(-1));
    ASSERT_EQ(stateOf(first), "after");
    const auto rounds = static_cast<int>(
        environmentNumber("VLT_KILLED_HOST_ROUNDS", (server ? 8 : 16) / (testsupport::underSanitizer ? 4 : 1)));
    std::map<std::string, int> outcomes;
    for (int k = 0; k < rounds; ++k) {
      // Spread over the commit and as long again after it.
      const std::chrono::microseconds delay(rng() % (commit.count() * 2 + 1));
      SCOPED_TRACE((wal ? "WAL, killed after " : "killed after ") + std::to_string(delay.count()) + " us of " +
                   std::to_string(commit.count()));
      const std::string at = fresh(wal);
      round(at, delay);
      const std::string state = stateOf(at);
      EXPECT_TRUE(state == "before" || state == "after") << state;
      ++outcomes[state];
    }
    for (const auto& [state, count] : outcomes)
      RecordProperty((wal ? "wal_" : "journal_") + state.substr(0, 6), count);
  }
}

INSTANTIATE_BACKEND_TEST_SUITE(KilledHostTest);

}  // namespace
}  // namespace dstest
