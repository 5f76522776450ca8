// Opening as hosts meet it at the door: calls made while an asynchronous
// opening runs, a server that never answers, another process writing the
// file, and paths that would name another file than the one given.

#include "DataSourceTestSupport.hpp"

#include <qm/zero/query/ReflectiveQuery.hpp>
#include <testsupport/ChildProcess.hpp>

#include <gmock/gmock.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace dstest {
namespace {

using qm::zero::ModelElement;
using qm::zero::Value;
using ::testing::HasSubstr;

// Holds the thread that writes the progress record beginning with `step`
// (the worker of an asynchronous opening) there, until released.
class StepHold {
 public:
  explicit StepHold(std::string step)
      : step_(std::move(step)), capture_("qm::zero::vltdatasource::debug", [this](const auto& record) {
          if (record.text.rfind(step_, 0) == 0) hold();
        }) {}
  ~StepHold() { release(); }
  bool waitUntilHeld() {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), [&] { return held_; });
  }
  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      released_ = true;
    }
    changed_.notify_all();
  }

 private:
  void hold() {
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    changed_.notify_all();
    changed_.wait(lock, [&] { return released_; });
  }

  std::string step_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
  foundation::log::RecordCapture capture_;  // last: its observer uses the rest
};

using OpeningTest = DataSourceTest;

// While the worker is held at each step of its opening (before the
// repository opens, before it loads, before it pushes), every call a host
// makes either waits for the worker (the call sees the opened repository
// and the loaded model) or is safe beside it (the connection string is
// empty until the end). Run under ThreadSanitizer, a call that neither
// waits nor is safe is a data race.
TEST_F(OpeningTest, EveryCallDuringAnAsynchronousOpeningWaitsForItOrIsSafeBesideIt) {
  enableProgressRecords();
  const auto& mm = qm0test::TestMetamodel::get();
  const std::string path = file("model.vlt");
  boost::uuids::uuid book;
  open(path);
  commit([&] { book = ModelElement::createReflective(model, mm.book).getUUID(); });
  model->resetDataSource();

  using Call = std::function<void(DataSource&, const ModelElement& person)>;
  const std::vector<std::pair<std::string, Call>> calls = {
      {"a transaction",
       [&](DataSource&, ModelElement person) {
         commit([&] { person.set(mm.name, Value(qm::zero::meta::StandardTypes::stringMeta(), std::u16string(u"p"))); });
       }},
      {"a fetch",
       [&](DataSource&, const ModelElement&) { EXPECT_TRUE(model->findElement(book, qm::zero::FetchFromDataSource)); }},
      {"a fetch of everything",
       [&](DataSource&, const ModelElement&) {
         EXPECT_GE(model->getAllElements(qm::zero::FetchFromDataSource).size(), 2u);
       }},
      {"a query",
       [&](DataSource& ds, const ModelElement&) {
         const std::unique_ptr<qm::zero::query::ReflectiveQuery> query = ds.createQuery();
         query->addSearchClass(mm.book, qm::zero::query::WithSubclasses);
         EXPECT_EQ(query->count(), 1u);
       }},
      {"whether a collection has contents",
       [&](DataSource& ds, const ModelElement& person) { EXPECT_FALSE(ds.hasCollectionContents(person, mm.reviewed)); }},
      {"a subtree", [&](DataSource& ds, const ModelElement& person) { ds.loadElementSubtree(person); }},
      {"a wait", [&](DataSource& ds, const ModelElement&) { ds.waitForIdle(); }},
  };
  for (const char* step :
       {"Opening repository", "Loading the stored elements", "Writing the model's elements"}) {
    for (const auto& [name, call] : calls) {
      SCOPED_TRACE(std::string(step) + ": " + name);
      model = qm::zero::Model::create();
      ModelElement person;  // pushed by the opening
      commit([&] { person = ModelElement::createReflective(model, mm.person); });
      StepHold hold(step);
      DataSource* ds = DataSource::create(u16(path), model, DataSource::SyncAllToModel,
                                          DataSource::SyncAllToDataSource, DataSource::Asynchronous);
      ASSERT_TRUE(hold.waitUntilHeld());
      EXPECT_EQ(ds->getConnectionString(), u"");
      EXPECT_TRUE(ds->isActive());
      std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        hold.release();
      });
      // A call that throws fails the case, not the whole run.
      EXPECT_NO_THROW(call(*ds, person));
      EXPECT_EQ(ds->getConnectionString(), u16(path)) << "the call did not wait for the opening";
      releaser.join();
      model->resetDataSource();
    }
  }
}

// A server that accepts the connection and never answers fails a
// synchronous open at the connect timeout: 10 s unless the connection string
// says otherwise.
TEST_F(OpeningTest, AServerThatNeverAnswersFailsTheOpenAtTheConnectTimeout) {
  testsupport::SilentServer server;
  for (const auto& [parameters, seconds] : {std::pair<std::string, std::string>{"connect_timeout=2", "2"}, {"", "10"}}) {
    const std::string uri = server.uri(parameters);
    const std::string failure = whatThrown([&] { open(uri); });
    EXPECT_THAT(failure, HasSubstr("did not answer within " + seconds + " s"));
    EXPECT_EQ(model->getDataSource(), nullptr);
  }
}

// Another process holds a write transaction open, then commits one after
// another: a host that only reads opens beside it, with the rollback journal
// and with a write-ahead log; one that has to write waits for the lock as
// long as "lockTimeout" says (0: not at all).
TEST_F(OpeningTest, AHostThatOnlyReadsOpensBesideAWriterInAnotherProcess) {
  const auto& mm = qm0test::TestMetamodel::get();
  for (const bool wal : {false, true}) {
    SCOPED_TRACE(wal ? "write-ahead log" : "rollback journal");
    const std::string path = file(wal ? "wal.vlt" : "journal.vlt");
    const std::string at = path + (wal ? "?wal=true" : "");
    model = qm::zero::Model::create();
    open(at);
    commit([&] { ModelElement::createReflective(model, mm.book); });
    model->resetDataSource();

    int toChild[2];
    int fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    testsupport::ChildProcess writer([&] {
      vlt::DataModelRepository repository;
      vlt::DataModelRepository::ServiceOptions options;
      options.lockTimeoutSeconds = 60;
      repository.open(path, std::string(), options);
      const vlt::ClassRef base = repository.metamodel().findClass("ModelElement");
      repository.beginTransaction();
      repository.createClass("held.Open", {base});
      char signal = 'h';
      if (::write(fromChild[1], &signal, 1) != 1 || ::read(toChild[0], &signal, 1) != 1) return 1;
      repository.rollbackTransaction();
      pollfd told{toChild[0], POLLIN, 0};
      for (int n = 0; ::poll(&told, 1, 0) == 0; ++n) {
        repository.beginTransaction();
        repository.createClass("steady.C" + std::to_string(n), {base});
        repository.commitTransaction();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
      return 0;
    });
    char signal = 0;
    ASSERT_EQ(::read(fromChild[0], &signal, 1), 1);
    const auto readEverything = [&] {
      const qm::zero::Model reader = qm::zero::Model::create();
      attachTo(reader, at, DataSource::SyncAllToModel, DataSource::NoSyncToDataSource);
      EXPECT_EQ(reader->getElementCount(), 1u);
    };
    for (int round = 0; round < 3; ++round) EXPECT_NO_THROW(readEverything()) << "beside the open transaction";
    model = qm::zero::Model::create();
    commit([&] { ModelElement::createReflective(model, mm.book); });
    EXPECT_THAT(whatThrown([&] { open(at + (wal ? "&" : "?") + "lockTimeout=0"); }), HasSubstr("locked by another connection"))
        << "a host that pushes an element";
    ASSERT_EQ(::write(toChild[1], "s", 1), 1);
    for (int round = 0; round < 15; ++round) EXPECT_NO_THROW(readEverything()) << "beside commits, round " << round;
    ASSERT_EQ(::write(toChild[1], "e", 1), 1);
    EXPECT_EQ(writer.wait(), 0);
    for (const int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
  }
}

// On a server, another host's open write transaction holds the writer lock
// until it ends: a host that opens lazily and pushes nothing reads the
// recorded versions beside it, without the lock.
TEST_F(OpeningTest, AHostThatOpensLazilyOpensBesideAWriterOnPostgreSQL) {
  const std::string uri = testsupport::freshPostgresqlSchema();
  ASSERT_FALSE(uri.empty());
  const auto& mm = qm0test::TestMetamodel::get();
  open(uri);
  commit([&] { ModelElement::createReflective(model, mm.book); });
  model->resetDataSource();
  vlt::DataModelRepository writer;
  writer.open(uri, std::string(), vlt::DataModelRepository::ServiceOptions());
  writer.beginTransaction();
  writer.createClass("held.Open", {writer.metamodel().findClass("ModelElement")});
  model = qm::zero::Model::create();
  EXPECT_NO_THROW(attachTo(model, uri + "&lockTimeout=0", DataSource::NoSyncToModel, DataSource::NoSyncToDataSource));
  model->resetDataSource();
  writer.rollbackTransaction();
}

// A path is opened as given or not at all: one that a NUL would cut (given
// as such, or as "%00" in a file: URI) or that holds an unpaired surrogate
// (which UTF-8 cannot hold, so that two names would open one file) is
// refused with its reason, and no file is made.
TEST_F(OpeningTest, PathsThatWouldNameAnotherFileAreRefused) {
  const std::u16string folder = u16(dir.path());
  const std::vector<std::pair<std::u16string, std::string>> cases = {
      {folder + u"/a.vlt" + std::u16string(1, u'\0') + u"evil.vlt", "NUL"},
      {u"file://" + folder + u"/a.vlt%00evil.vlt", "NUL"},
      {folder + u"/a" + std::u16string(1, char16_t(0xD800)) + u".vlt", "unpaired surrogate"},
      {folder + u"/a" + std::u16string(1, char16_t(0xDC00)) + u"b.vlt", "unpaired surrogate"},
  };
  for (const auto& [connectionString, reason] : cases) {
    const std::u16string& path = connectionString;  // a lambda cannot capture a binding before C++20
    const ThrownId refused = thrownId([&] {
      DataSource::create(path, model, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource,
                         DataSource::Synchronous);
    });
    EXPECT_EQ(refused.id, "m2t_vlt:messages:CannotOpenVLTRepository");
    ASSERT_EQ(refused.arguments.size(), 2u);
    EXPECT_THAT(std::get<std::string>(refused.arguments[1]), HasSubstr(reason));
    EXPECT_EQ(model->getDataSource(), nullptr);
  }
  const std::unique_ptr<vlt::Uri> parsed = vlt::Uri::parse("file://" + dir.path() + "/a.vlt%00evil.vlt");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(thrownId([&] {
              DataSource::create(*parsed, model, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource,
                                 DataSource::Synchronous);
            }).id,
            "m2t_vlt:messages:CannotOpenVLTRepository");
  // The repository refuses them too, when used alone.
  vlt::DataModelRepository::ServiceOptions options;
  options.createIfMissing = 1;
  for (const auto& [connectionString, reason] : cases)
    EXPECT_THROW(vlt::DataModelRepository().open(connectionString, std::u16string(), options), vlt::OpenError);
  EXPECT_FALSE(std::ifstream(file("a.vlt")).good());
  EXPECT_EQ(::rmdir(dir.path().c_str()), 0) << "the folder is still empty";
  ASSERT_EQ(::mkdir(dir.path().c_str(), 0700), 0);
}

}  // namespace
}  // namespace dstest
