// Stored elements read back lazily into a new model: what a fetch brings
// into memory at each depth, proxies resolved on first use keeping their
// handles, owners loaded up to the first one in memory, an element another
// host added taking its stored place, deferred collections
// that answer "has contents" without loading, subtrees, and the ids a proxy
// may be resolved by.

#include "DataSourceTestSupport.hpp"

#include <qm/zero/ElementId.hpp>
#include <qm/zero/ReferenceCollection.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>
#include <testsupport/Sanitizers.hpp>

#include <boost/algorithm/string/case_conv.hpp>

#include <pthread.h>

#include <chrono>
#include <exception>
#include <functional>
#include <sstream>
#include <thread>

namespace dstest {
namespace {

// lib.Library L owns books [b1, b2] and member p; b1.related = b2,
// b1.authors = [p] (two-way with p.wrote), p.reviewed = [b2] (deferred),
// p.favorite = b1.
class ReadPathTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (HasFatalFailure()) return;
    storeModel(location, [&](const qm::zero::Model& writer) {
      const auto named = [&](const meta::Class& cls, const char16_t* name) {
        ModelElement e = ModelElement::createReflective(writer, cls);
        e.set(mm.name, Value(meta::StandardTypes::stringMeta(), std::u16string(name)));
        if (cls == mm.book) e.set(mm.pages, Value(meta::StandardTypes::integerMeta(), std::int32_t(100)));
        return e;
      };
      ModelElement l = named(mm.library, u"L"), b1 = named(mm.book, u"b1"), b2 = named(mm.book, u"b2"),
                   p = named(mm.person, u"p");
      l.set(mm.books, Value(mm.book, std::vector<ModelElement>{b1, b2}));
      l.set(mm.members, Value(mm.person, std::vector<ModelElement>{p}));
      b1.set(mm.related, b2);
      b1.set(mm.authors, Value(mm.person, std::vector<ModelElement>{p}));
      p.set(mm.reviewed, Value(mm.book, std::vector<ModelElement>{b2}));
      p.set(mm.favorite, b1);
      ids = {l.getUUID(), b1.getUUID(), b2.getUUID(), p.getUUID()};
    });
  }

  DataSource* attach(DataSource::ToModelSync toModel = DataSource::NoSyncToModel) {
    return attachTo(model, location, toModel, DataSource::NoSyncToDataSource);
  }
  static ModelElement findById(DataSource& ds, const meta::Class& cls, const boost::uuids::uuid& uuid) {
    return ds.findElement(cls, qm::zero::ElementId(qm::zero::ElementId::UUID_TYPE, u16(boost::uuids::to_string(uuid))));
  }
  ModelElement fetch(std::size_t which) { return model->findElement(ids[which], qm::zero::FetchFromDataSource); }
  ModelElement inMemory(std::size_t which) { return model->findElement(ids[which]); }

  std::vector<boost::uuids::uuid> ids;  // L, b1, b2, p
};

TEST_P(ReadPathTest, FetchLoadsOneElementAndItsOwnersTheRestOnDemand) {
  DataSource* ds = attach();
  const ModelElement b1 = fetch(1);
  ASSERT_TRUE(b1);
  // b1 and its owner; b2 and p are proxies, which are not in memory.
  EXPECT_EQ(model->getElementCount(), 2u);
  const ModelElement library = inMemory(0);
  ASSERT_TRUE(library);
  EXPECT_EQ(b1.getOwner(), library);
  EXPECT_EQ(qm::zero::ReferenceCollection(library, mm.books).getElements().front(), b1);
  EXPECT_EQ(b1.get(mm.name).get<std::u16string>(), u"b1");

  // A proxy becomes the element on first use, keeping its handle.
  ModelElement b2 = b1.get(mm.related).getElement();
  ASSERT_TRUE(b2.isProxy());
  EXPECT_EQ(b2.get(mm.name).get<std::u16string>(), u"b2");
  EXPECT_FALSE(b2.isProxy());
  EXPECT_EQ(inMemory(2), b2);
  EXPECT_EQ(fetch(2), b2);  // already in memory: the same element

  // A deferred collection answers without loading, then loads when read.
  ModelElement p = b1.get(mm.authors).getElement();
  EXPECT_EQ(p.get(mm.name).get<std::u16string>(), u"p");
  EXPECT_FALSE(qm::zero::ReferenceCollection(p, mm.reviewed).isLoaded());
  EXPECT_TRUE(p.isSet(mm.reviewed));
  EXPECT_FALSE(qm::zero::ReferenceCollection(p, mm.reviewed).isLoaded());
  EXPECT_EQ(p.get(mm.reviewed).getAll<ModelElement>(), std::vector<ModelElement>{b2});
  EXPECT_EQ(p.get(mm.wrote).getAll<ModelElement>(), std::vector<ModelElement>{b1});
  EXPECT_EQ(model->getElementCount(), 4u);

  // An element is found by the text of its uuid in any case, and only by it.
  const std::string text = boost::uuids::to_string(ids[1]);
  const auto find = [&](const std::string& id, const std::u16string& type = qm::zero::ElementId::UUID_TYPE) {
    return ds->findElement(mm.book, qm::zero::ElementId(type, u16(id)));
  };
  EXPECT_TRUE(find(boost::algorithm::to_upper_copy(text)));
  for (const std::string& wrong : {"{" + text + "}", text + " ", std::string("00000000-0000-4000-8000-000000000000")})
    EXPECT_FALSE(find(wrong)) << wrong;
  EXPECT_FALSE(find(text, u"NAME"));

  // An element that another host put among the stored children of a loaded
  // owner takes its stored place there when it is fetched.
  const qm::zero::Model other = loadAll(location);
  qm::zero::Transaction transaction = other->beginTransaction();
  const ModelElement added = ModelElement::createReflective(other, mm.book);
  other->findElement(ids[0]).insert(mm.books, 1, Value(added));
  transaction.commit();
  const ModelElement fetched = model->findElement(added.getUUID(), qm::zero::FetchFromDataSource);
  ASSERT_TRUE(fetched);
  EXPECT_EQ(fetched.getOwner(), library);
  const std::vector<ModelElement> books{b1, fetched, b2};  // between the two stored before
  EXPECT_EQ(qm::zero::ReferenceCollection(library, mm.books).getElements(), books);
}

TEST_P(ReadPathTest, OpeningLoadsTopLevelElementsAtTheDepthAsked) {
  attach(DataSource::SyncTopLevelToModel);
  // The library, its children as proxies; the whole subtree on request.
  EXPECT_EQ(model->getElementCount(), 1u);
  const ModelElement library = inMemory(0);
  ASSERT_TRUE(library);
  EXPECT_TRUE(qm::zero::ReferenceCollection(library, mm.books).getElements().front().isProxy());
  EXPECT_EQ(library.getAllContents().size(), 3u);
  EXPECT_EQ(model->getElementCount(), 4u);
}

// The shapes of the tests below:
//   shapes.Part  links: Part [0..*] (one way)
//   shapes.Node  children: Node [0..*] ordered composite, next: Node [0..1],
//                refs: Node [0..*] ordered; shapes.Leaf : Node
//   shapes.Crate : Node  contents: Part [0..*] ordered composite
struct Shapes {
  meta::Class part, node, leaf, crate;
  meta::Property links, children, next, refs, contents, label;

  static const Shapes& get() {
    static const Shapes instance;
    return instance;
  }

 private:
  Shapes() {
    const auto many = meta::PropertyOptions().bounds(0, meta::unbounded);
    const auto ordered = meta::PropertyOptions(many).setOrdered();
    meta::PackageBuilder builder(u"shapes", u"http://example.com/shapes", u"1");
    part = builder.addClass(u"Part");
    node = builder.addClass(u"Node");
    leaf = builder.addClass(u"Leaf", node);
    children = builder.addProperty(node, u"children", node, meta::PropertyOptions(ordered).setComposite());
    next = builder.addProperty(node, u"next", node);
    refs = builder.addProperty(node, u"refs", node, ordered);
    label = builder.addProperty(node, u"label", meta::StandardTypes::stringMeta());
    links = builder.addProperty(part, u"links", part, many);
    crate = builder.addClass(u"Crate", node);
    contents = builder.addProperty(crate, u"contents", part, meta::PropertyOptions(ordered).setComposite());
    meta::MetaRegistry::getInstance()->registerPackage(builder.build());
  }
};

// A tree made in `writer` (in its transaction): the root owns `width` nodes,
// each of which, but every 50th from the third on (a leaf), owns two leaves
// and a node (more leaves than a statement reads of a subclass, when the
// owners of one statement's children are over a hundred and a half), and
// every 50th from the seventh on (a crate) two parts besides, the
// second linking the first: a level holds owners of classes with composite
// properties of their own. Across the levels most nodes refer to one or two
// others, in order, every third has a next. Returns the root.
ModelElement makeTree(const qm::zero::Model& writer, std::size_t width) {
  const Shapes& shapes = Shapes::get();
  std::vector<ModelElement> made;
  const auto make = [&](const meta::Class& cls) {
    made.push_back(ModelElement::createReflective(writer, cls));
    return made.back();
  };
  ModelElement root = make(shapes.node);
  std::vector<ModelElement> level;
  for (std::size_t k = 1; k <= width; ++k)
    level.push_back(make(k % 50 == 3 ? shapes.leaf : k % 50 == 7 ? shapes.crate : shapes.node));
  root.set(shapes.children, Value(shapes.node, level));
  for (ModelElement& e : level) {
    if (e.getMetaClass() == shapes.leaf) continue;
    e.set(shapes.children,
          Value(shapes.node, std::vector<ModelElement>{make(shapes.leaf), make(shapes.leaf), make(shapes.node)}));
    if (e.getMetaClass() != shapes.crate) continue;
    const ModelElement first = ModelElement::createReflective(writer, shapes.part);
    ModelElement second = ModelElement::createReflective(writer, shapes.part);
    second.set(shapes.links, Value(shapes.part, std::vector<ModelElement>{first}));
    e.set(shapes.contents, Value(shapes.part, std::vector<ModelElement>{first, second}));
  }
  const std::size_t count = made.size();
  for (std::size_t n = 0; n < count; ++n) {
    std::vector<ModelElement> refs;
    if (n % 4 != 0) refs.push_back(made[(n * 7 + 1) % count]);
    if (n % 4 > 1 && (n * 3 + 2) % count != (n * 7 + 1) % count) refs.push_back(made[(n * 3 + 2) % count]);
    made[n].set(shapes.refs, Value(shapes.node, refs));
    if (n % 3 == 0) made[n].set(shapes.next, made[(n * 5 + 3) % count]);
  }
  return root;
}

// On a server each wait for an answer is a round trip. A fetch beside an
// element fetched before, and a deferred collection's load, cost two,
// whatever was read before: no look at the catalog or bookkeeping read per
// transaction (b2 has a collection whose table is missing), no statement
// prepared again; a single reference's target comes with the row, the
// collections of links and of owned objects come in one statement, sent
// with the row when the element is of the class asked (a deferred
// collection with its owner's row), an owner's place
// with its row; an owner not in memory is read after the element, with its
// collections. SQLite counts none.
TEST_P(ReadPathTest, AFetchCostsAFewRoundTripsAndPreparesNothingAgain) {
  boost::uuids::uuid reader, shelf, shelved;
  storeModel(location, [&](const qm::zero::Model& writer) {
    ModelElement r = ModelElement::createReflective(writer, mm.person);
    r.set(mm.reviewed, Value(mm.book, std::vector<ModelElement>{ModelElement::createReflective(writer, mm.book)}));
    r.set(mm.favorite, ModelElement::createReflective(writer, mm.book));
    reader = r.getUUID();
    ModelElement s = ModelElement::createReflective(writer, mm.library);
    s.set(mm.books, Value(mm.book, std::vector<ModelElement>{ModelElement::createReflective(writer, mm.book)}));
    s.set(mm.members, Value(mm.person, std::vector<ModelElement>{ModelElement::createReflective(writer, mm.person)}));
    shelf = s.getUUID();
    const ModelElement held = ModelElement::createReflective(writer, mm.book);
    ModelElement::createReflective(writer, mm.library).set(mm.books, Value(mm.book, std::vector<ModelElement>{held}));
    shelved = held.getUUID();
  });
  DataSource* ds = attach();
  const auto roundTrips = [&] { return ds->roundTrips().roundTrips; };
  const auto find = [&](const meta::Class& cls, const boost::uuids::uuid& uuid) { return findById(*ds, cls, uuid); };
  ASSERT_TRUE(find(mm.book, ids[1]));  // b1 and its owner: the statements are made, the tables looked at
  ASSERT_EQ(fetch(3).get(mm.reviewed).size(), 1u);
  ASSERT_TRUE(find(mm.person, ids[3]) && find(mm.library, ids[0]));  // in memory: the lookups are prepared
  const bool server = GetParam() == Backend::PostgreSQL;
  const auto before = ds->roundTrips();
  const ModelElement r = find(mm.person, reader);
  ASSERT_TRUE(r.get(mm.favorite).get<ModelElement>());
  EXPECT_EQ(roundTrips() - before.roundTrips, server ? 2u : 0u)
      << "BEGIN (with the COMMIT before), r with its values, its favorite's class and uuid and its links";
  const std::uint64_t fetched = roundTrips();
  ASSERT_TRUE(find(mm.book, ids[2]));
  EXPECT_EQ(roundTrips() - fetched, server ? 2u : 0u) << "BEGIN, b2 with its owner, values and links";
  const std::uint64_t loaded = roundTrips();
  ASSERT_EQ(r.get(mm.reviewed).size(), 1u);
  EXPECT_EQ(roundTrips() - loaded, server ? 2u : 0u) << "BEGIN, r with its values and the collection";
  EXPECT_EQ(ds->roundTrips().preparations, server ? before.preparations : 0u);
  const std::uint64_t owning = roundTrips();
  const ModelElement s = find(mm.library, shelf);
  ASSERT_EQ(s.get(mm.books).size() + s.get(mm.members).size(), 2u);
  EXPECT_EQ(roundTrips() - owning, server ? 2u : 0u) << "BEGIN, the library with its values, books and members";
  const std::uint64_t owned = roundTrips();
  ASSERT_TRUE(find(mm.book, shelved).getOwner());
  EXPECT_EQ(roundTrips() - owned, server ? 3u : 0u)
      << "BEGIN, the book with its links, then its owner with its place and its books";
}

// What a push into a new repository, a load of everything and a change of
// every element ask the repository (the SELECT statements its trace shows),
// for trees of two sizes: a push and a change ask nothing per element, a
// load on a server nothing per owner. On PostgreSQL each is a round trip; a
// push that asked per element once took five times as long, a change that
// read each object's class before its write ten times.
TEST_P(ReadPathTest, APushALoadAndAChangeAskTheRepositoryLessThanOncePerElement) {
  enum Step { push, load, change };
  std::size_t lookupsByUuid = 0;
  const auto selects = [&](std::size_t width, Step step) {
    const std::string at = newLocation("tree" + std::to_string(width) + "-" + std::to_string(step) + ".vlt");
    const std::string tracedAt = at + (at.find('?') == std::string::npos ? "?" : "&") + "trace=true";
    const qm::zero::Model writer = qm::zero::Model::create();
    {
      qm::zero::Transaction tx = writer->beginTransaction();
      makeTree(writer, width);
      tx.commit();
    }
    if (step != push) {
      attachTo(writer, at, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource);
      writer->resetDataSource();
    }
    const qm::zero::Model traced = step != push ? qm::zero::Model::create() : writer;
    if (step != change) testing::internal::CaptureStdout();
    DataSource::create(u16(tracedAt), traced, step != push ? DataSource::SyncAllToModel : DataSource::NoSyncToModel,
                       step != load ? DataSource::SyncAllToDataSource : DataSource::NoSyncToDataSource,
                       DataSource::Synchronous);
    EXPECT_EQ(traced->getElementCount(), writer->getElementCount());
    if (step == change) {
      testing::internal::CaptureStdout();
      qm::zero::Transaction tx = traced->beginTransaction();
      for (ModelElement e : traced->getAllElements(qm::zero::InMemoryOnly))
        if (e.getMetaClass()->conformsTo(Shapes::get().node)) e.set(Shapes::get().label, qm0test::str(u"x"));
      tx.commit();
      qm::zero::Transaction destruction = traced->beginTransaction();
      for (ModelElement e : traced->getAllElements(qm::zero::InMemoryOnly))
        if (!e.isDestroyed()) e.destroy();
      destruction.commit();
    }
    traced->resetDataSource();
    std::istringstream lines(testing::internal::GetCapturedStdout());
    std::size_t count = 0;
    lookupsByUuid = 0;
    for (std::string line; std::getline(lines, line);) {
      count += line.rfind("SELECT", 0) == 0 ? 1 : 0;
      lookupsByUuid += line.find("WHERE uuid IN") != std::string::npos ? 1 : 0;
    }
    return count;
  };
  // Nearly 900 elements more; the schema's reads vary by a few from run to run.
  EXPECT_LE(selects(400, push), selects(100, push) + 20) << "a push";
  EXPECT_LE(selects(400, change), selects(100, change) + 20) << "a change of every element, then its destruction";
  EXPECT_EQ(lookupsByUuid, 0u) << "the loaded elements' objects are checked by id when changed and destroyed";
  // SQLite reads a level owner by owner: in-process, a statement costs little.
  if (GetParam() == Backend::PostgreSQL) {
    EXPECT_LE(selects(400, load), selects(100, load) + 20) << "a load";
  }
}

// Runs `work` on a thread whose stack is `bytes` large, and passes on what
// it throws.
void onStackOf(std::size_t bytes, const std::function<void()>& work) {
  struct Call {
    const std::function<void()>& work;
    std::exception_ptr failure;
  } call{work, nullptr};
  pthread_attr_t attributes;
  ASSERT_EQ(::pthread_attr_init(&attributes), 0);
  ASSERT_EQ(::pthread_attr_setstacksize(&attributes, bytes), 0);
  pthread_t thread;
  const auto run = [](void* argument) -> void* {
    auto* c = static_cast<Call*>(argument);
    try {
      c->work();
    } catch (...) {
      c->failure = std::current_exception();
    }
    return nullptr;
  };
  ASSERT_EQ(::pthread_create(&thread, &attributes, run, &call), 0);
  ::pthread_join(thread, nullptr);
  ::pthread_attr_destroy(&attributes);
  if (call.failure) std::rethrow_exception(call.failure);
}

// A chain of nodes 100,000 levels deep (20,000 on a server), each linking
// the node it owns, is loaded whole when opening and as a subtree on a thread
// with a stack of 512 KiB, where a frame or two per level would not fit 1,000
// levels: the loads go level after level, not deeper into the stack.
TEST_P(ReadPathTest, AChainOfAHundredThousandLevelsLoadsWholeOnASmallStack) {
  const Shapes& shapes = Shapes::get();
  // On a server each level is a round trip or two: fewer there. Under a
  // sanitizer, whose frames are larger still, a tenth overflows as surely.
  const std::size_t depth = (GetParam() == Backend::SQLite ? 100000 : 20000) / (testsupport::underSanitizer ? 10 : 1);
  location = newLocation("deep.vlt");
  boost::uuids::uuid root;
  storeModel(location, [&](const qm::zero::Model& writer) {
    ModelElement above = ModelElement::createReflective(writer, shapes.node);
    root = above.getUUID();
    for (std::size_t level = 1; level < depth; ++level) {
      const ModelElement node = ModelElement::createReflective(writer, shapes.node);
      above.set(shapes.children, Value(shapes.node, std::vector<ModelElement>{node}));
      above.set(shapes.next, node);
      above = node;
    }
  });
  // Each level owns the next one alone and links it (the element count
  // tells that the last owns nothing).
  const auto expectChain = [&] {
    ModelElement node = model->findElement(root);
    ASSERT_TRUE(node);
    std::size_t levels = 1;
    for (; node.isSet(shapes.next); ++levels) {
      const ModelElement next = node.get(shapes.next).get<ModelElement>();
      if (qm0test::targets(node, shapes.children) != std::vector<ModelElement>{next} || next.getOwner() != node) break;
      node = next;
    }
    EXPECT_EQ(levels, depth);
  };
  const std::size_t stack = 512 * 1024;
  onStackOf(stack, [&] { attach(DataSource::SyncAllToModel); });
  EXPECT_EQ(model->getElementCount(), depth);
  expectChain();
  model->resetDataSource();
  model = qm::zero::Model::create();
  attach();
  std::size_t contents = 0;
  onStackOf(stack, [&] { contents = model->findElement(root, qm::zero::FetchFromDataSource).getAllContents().size(); });
  EXPECT_EQ(contents, depth - 1);
  expectChain();
}

// Another connection is writing. On SQLite reads go on beside it, and a read
// that has to write (the first query of a class the repository does not know
// maps it) waits for the writer instead of failing. On PostgreSQL a read
// takes the write lock with its first statement, and waits likewise.
TEST_P(ReadPathTest, ReadsGoOnBesideAWriterAndAReadThatWritesWaitsForIt) {
  DataSource* ds = attach();
  vlt::DataModelRepository writer = openDirectly(location);
  writer.beginTransaction();
  writer.createClass("other.Busy", {writer.metamodel().findClass("ModelElement")});
  std::thread commitLater([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    writer.commitTransaction();
  });
  bool fetched = false;
  EXPECT_NO_THROW(fetched = static_cast<bool>(fetch(1)));
  EXPECT_TRUE(fetched);
  const std::unique_ptr<qm::zero::query::ReflectiveQuery> query = ds->createQuery();
  EXPECT_NO_THROW(query->addSearchClass(Shapes::get().part, qm::zero::query::WithSubclasses));
  commitLater.join();
  EXPECT_EQ(query->count(), 0u);
}

INSTANTIATE_BACKEND_TEST_SUITE(ReadPathTest);

}  // namespace
}  // namespace dstest
