// Random transactions on a model with a data source; after each commit and
// each rollback the repository holds what the model has loaded, and no
// loaded element refers to a destroyed one or misses the other end of a
// two-way link. Every few transactions the model is dropped and the
// repository opened again, mostly lazily (or loading the top level,
// everything, or one subtree), and what was loaded is checked: the next
// edits meet elements that are fetched by identity, reached through
// proxies, or hold deferred collections not loaded yet. At the end a new model loads everything and must hold what
// the repository and the last model hold.
//
// The run is generated from a seed. VLT_RANDOM_CHANGES_SEED picks another,
// VLT_RANDOM_CHANGES_ELEMENTS the size of a model built before the random
// transactions (in transactions of up to 10,000 elements),
// VLT_RANDOM_CHANGES_TRANSACTIONS their number. A failing run prints its last
// steps.

#include "DataSourceTestSupport.hpp"
#include "Kinds.hpp"

#include <qm/zero/ReferenceCollection.hpp>

#include <deque>
#include <numeric>
#include <optional>
#include <random>

namespace dstest {
namespace {

std::uint32_t numberOf(const ModelElement& element) {
  std::uint32_t n = 0;
  for (int i = 12; i < 16; ++i) n = (n << 8) | element.getUUID().data[i];
  return n;
}

// One step: an edit of the model, a snapshot request, the end of the
// transaction, or a new model on the repository. Elements are named by
// number, so that a listing of the steps reads like the failures, which name
// uuids; a step whose element does not exist (destroyed, or rolled back) is
// skipped.
struct Step {
  enum Kind {
    Create, Set, Unset, Insert, Append, RemoveAt, Replace, Move, Remove, Destroy, Snapshot, Commit, Rollback, Reopen
  };
  explicit Step(Kind k = Snapshot) : kind(k) {}
  Kind kind;
  std::uint32_t element = 0;  // the element edited; Create: the new one
  ModelElement reached;       // the element as a link reached it (maybe a proxy); else fetched by number
  meta::Class cls;            // Create
  meta::Property property;
  enum Load { Lazily, TopLevel, Everything, Subtree };
  std::size_t index = 0;  // Insert, RemoveAt, Replace, Remove; Move: from; Reopen: what is loaded (Load)
  std::size_t to = 0;     // Move: to
  bool isReference = false;
  std::vector<std::uint32_t> targets;  // a reference value: element numbers (0: no element)
  Value value;                         // any other value
  std::vector<std::shared_ptr<matrix::qxArray_tag>> arrays;  // keep the arrays of `value` alive
  std::string refusal;  // why the framework refused the edit, when it did

  std::string describe() const {
    static const char* const names[] = {"create", "set",     "unset",  "insert",   "append", "removeAt", "replace",
                                        "move",   "remove",  "destroy", "snapshot", "commit", "rollback", "reopen"};
    std::string out = names[kind];
    static const char* const loads[] = {" lazily", " the top level", " everything", " the subtree of #"};
    if (kind == Reopen) return out + loads[index] + (index == Subtree ? std::to_string(element) : "");
    if (kind >= Snapshot) return out;
    out += " #" + std::to_string(element) + (reached && reached.isProxy() ? " (a proxy)" : "");
    if (kind == Create) return out + " " + fl::i18n::ustring_to_utf8(cls->getQualifiedName());
    if (kind == Destroy) return out;
    out += "." + fl::i18n::ustring_to_utf8(property->getName());
    if (kind == Insert || kind == RemoveAt || kind == Replace || kind == Move || kind == Remove)
      out += "[" + std::to_string(index) + "]";
    if (kind == Move) out += " to [" + std::to_string(to) + "]";
    if (kind == Unset || kind == RemoveAt || kind == Move || kind == Remove) return out;
    if (!isReference) return out + " " + valueText(value);
    for (std::size_t i = 0; i < targets.size(); ++i) out += (i ? ", #" : " [#") + std::to_string(targets[i]);
    return out + (targets.empty() ? " []" : "]");
  }
};

// The last steps of a run, for its failure message.
using Listing = std::deque<std::string>;
void note(Listing& listing, const Step& step) {
  const std::string refusal = step.refusal.empty() ? "" : "  (refused: " + step.refusal + ")";
  listing.push_back("  " + step.describe() + refusal + "\n");
  if (listing.size() > 400) listing.pop_front();
}

// A model with an active (or passive) data source on a repository, and a
// second connection that reads what the data source committed.
class ModelRun {
 public:
  ModelRun(const std::string& where, bool passiveSource) : location(where), passive(passiveSource) {
    open(DataSource::SyncAllToDataSource);
    vlt::DataModelRepository::ServiceOptions options;
    options.readOnly = 1;
    reader.open(location, std::string(), options);
  }

  /// Applies `step`; false when it ends in a difference or a failure (test
  /// failures were added).
  bool apply(Step& step) {
    try {
      if (step.kind == Step::Reopen) {
        model->resetDataSource();
        model = qm::zero::Model::create();
        static const DataSource::ToModelSync loads[] = {DataSource::NoSyncToModel, DataSource::SyncTopLevelToModel,
                                                        DataSource::SyncAllToModel, DataSource::NoSyncToModel};
        open(DataSource::NoSyncToDataSource, loads[step.index]);
        const ModelElement top = step.index == Step::Subtree ? element(step.element) : ModelElement();
        // What a subtree's load makes comes with its deferred collections.
        for (const ModelElement& e : top ? top.getAllContents() : std::vector<ModelElement>()) {
          for (const meta::Property& p : e.getMetaClass()->getAllAttributes()) {
            if (p->isReference() && p->isMultiValued()) {
              EXPECT_TRUE(qm::zero::ReferenceCollection(e, p).isLoaded()) << step.describe();
            }
          }
        }
        return check("after reopening");
      }
      if (step.kind == Step::Commit || step.kind == Step::Rollback) {
        if (!transaction) return true;
        const bool commit = step.kind == Step::Commit;
        commit ? transaction->commit() : transaction->rollback();
        transaction.reset();
        return check(commit ? "after the commit" : "after the rollback");
      }
      if (!transaction) transaction.emplace(model->beginTransaction());
      if (step.kind == Step::Snapshot) {
        model->requestSnapshot();
        return true;
      }
    } catch (const std::exception& e) {
      ADD_FAILURE() << step.describe() << " threw: " << e.what();
      return false;
    }
    step.refusal.clear();
    try {
      edit(step);
    } catch (const foundation::core::except::IMsgIDException& e) {
      step.refusal = e.get_error_id();  // refused by the framework: nothing changed
    } catch (const std::exception& e) {
      step.refusal = e.what();
    }
    return true;
  }

  /// Builds `count` elements in transactions of 10,000 or fewer: libraries
  /// owning books and members, books linked to each other and to authors.
  bool build(std::uint32_t count, std::mt19937_64& rng, std::uint32_t& created, std::vector<meta::Class>& classes) {
    const TestMetamodel& mm = TestMetamodel::get();
    const auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
    std::vector<ModelElement> libraries, books, persons;
    while (count > 0) {
      const std::uint32_t batch = std::min<std::uint32_t>(count, 10000);
      count -= batch;
      transaction.emplace(model->beginTransaction());
      for (std::uint32_t i = 0; i < batch; ++i) {
        const std::size_t roll = pick(100);
        const meta::Class cls = roll < 3 || libraries.empty() ? mm.library
                                : roll < 50                   ? mm.book
                                : roll < 60                   ? mm.ebook
                                                              : mm.person;
        ModelElement e = ModelElement::createReflective(model, cls, uuidOf(++created));
        classes.push_back(cls);
        if (cls == mm.library) {
          libraries.push_back(e);
        } else if (cls == mm.person) {
          libraries[pick(libraries.size())].append(mm.members, Value(e));
          if (!persons.empty() && pick(3) == 0) e.set(mm.mentor, persons[pick(persons.size())]);
          persons.push_back(e);
        } else {
          if (pick(10) != 0) libraries[pick(libraries.size())].append(mm.books, Value(e));
          e.set(mm.pages, Value(meta::StandardTypes::integerMeta(), static_cast<std::int32_t>(pick(900))));
          if (!books.empty()) {
            e.set(mm.related, books[pick(books.size())]);
            if (pick(4) == 0) e.set(mm.sequel, books[pick(books.size())]);
          }
          if (!persons.empty()) e.append(mm.authors, Value(persons[pick(persons.size())]));
          books.push_back(e);
        }
      }
      transaction->commit();
      transaction.reset();
    }
    return check("after building");
  }

  /// Disconnects the data source and compares a new connection's view with
  /// the last model and with models that load everything from it: one of
  /// elements built by their class, one of reflective elements.
  bool checkReopened() {
    transaction.reset();
    model->resetDataSource();
    reader.close();
    const vlt::DataModelRepository fresh = openDirectly(location);
    if (expectRepositoryHoldsLoadedElements(model, fresh) != 0) return false;
    const char* separator = location.find('?') == std::string::npos ? "?" : "&";
    for (const std::string& at : {location, location + separator + "reflective=true"}) {
      SCOPED_TRACE("in a model that loaded " + at);
      if (expectRepositoryHoldsModel(loadAll(at), fresh) != 0) return false;
    }
    return true;
  }

  /// The element numbered `n`, loaded from the repository when memory does
  /// not have it.
  ModelElement element(std::uint32_t n) const {
    return n == 0 ? ModelElement() : model->findElement(uuidOf(n), qm::zero::FetchFromDataSource);
  }

  qm::zero::Model model = qm::zero::Model::create();

 private:
  void open(DataSource::ToDataSourceSync toDataSource, DataSource::ToModelSync toModel = DataSource::NoSyncToModel) {
    const std::u16string text = u16(location);
    ds = passive ? DataSource::createPassive(text, model, toModel, toDataSource, DataSource::Synchronous)
                 : DataSource::create(text, model, toModel, toDataSource, DataSource::Synchronous);
  }

  bool check(const char* when) {
    SCOPED_TRACE(when);
    const bool open = Access::repository(*ds).inTransaction();
    EXPECT_FALSE(open) << "the repository transaction is still open";
    // A passive data source leaves one-way links into destroyed elements in
    // memory (the store has cut them): only the two-way ones are checked.
    return !open && expectRepositoryHoldsLoadedElements(model, reader) == 0 && expectLinksInStep(model, !passive) == 0;
  }

  // The value of a step; none when a target element is missing.
  std::optional<Value> valueOf(const Step& step) const {
    if (!step.isReference) return step.value;
    std::vector<ModelElement> targets;
    for (std::uint32_t n : step.targets) {
      ModelElement target = element(n);
      if (!target) return std::nullopt;
      targets.push_back(target);
    }
    return Value(step.property->getType(), targets);
  }

  void edit(const Step& step) {
    if (step.kind == Step::Create) {
      if (!element(step.element)) ModelElement::createReflective(model, step.cls, uuidOf(step.element));
      return;
    }
    ModelElement e = step.reached && !step.reached.isDestroyed() ? step.reached : element(step.element);
    if (!e) return;
    const meta::Property& p = step.property;
    if (step.kind == Step::Set && step.isReference && !p->isMultiValued()) {
      // A single reference: no target clears it.
      const ModelElement target = element(step.targets.at(0));
      if (step.targets[0] == 0 || target) e.set(p, target);
      return;
    }
    const std::optional<Value> value = valueOf(step);
    if (!value) return;
    switch (step.kind) {
      case Step::Set: e.set(p, *value); break;
      case Step::Unset: e.unset(p); break;
      case Step::Insert: e.insert(p, step.index, *value); break;
      case Step::Append: e.append(p, *value); break;
      case Step::RemoveAt: e.removeAt(p, step.index); break;
      case Step::Replace: e.replace(p, step.index, *value); break;
      case Step::Destroy: e.destroy(); break;
      case Step::Remove: {  // by the entry itself, maybe a proxy
        const Value all = e.get(p);
        if (step.index < all.size()) e.remove(p, all.getElement(step.index));
        break;
      }
      case Step::Move: {
        const Value all = e.get(p);
        if (step.index >= all.size()) return;
        const Value entry(all.getMeta(), qm::zero::Entries{all.getEntries()[step.index]});
        e.removeAt(p, step.index);
        e.insert(p, std::min(step.to, all.size() - 1), entry);
        break;
      }
      default: break;
    }
  }

  std::string location;
  bool passive;
  DataSource* ds = nullptr;
  vlt::DataModelRepository reader;
  std::optional<qm::zero::Transaction> transaction;
};

// Makes the steps of a run from the state of its model.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : mm(TestMetamodel::get()), k(Kinds::get()), rng(seed) {}

  /// Builds `count` elements of the library, then holders with every
  /// property drawn, in a transaction of their own: collections of several
  /// entries for the edits to work on, whole values of every kind written
  /// with new objects. Then every property of the first holders is drawn
  /// again or cleared, in one more transaction: every kind written as a
  /// change.
  bool build(ModelRun& run, std::uint32_t count, Listing& listing) {
    if (!run.build(count, rng, created, classes)) return false;
    const std::uint32_t first = created + 1;
    for (std::uint32_t n = 0; n < count / 3; ++n) {
      Step create{Step::Create};
      create.cls = chance(30) ? k.special : k.holder;
      create.element = ++created;
      classes.push_back(create.cls);
      if (!run.apply(create) || !setEveryProperty(run, create.element, create.cls, 0)) return false;
    }
    Step end{Step::Commit};
    note(listing, end);
    if (!run.apply(end)) return false;
    for (std::uint32_t n = first; n < std::min(first + 3, created + 1); ++n)
      if (!setEveryProperty(run, n, classes[n - 1], 30)) return false;
    note(listing, end);
    return run.apply(end);
  }

  bool setEveryProperty(ModelRun& run, std::uint32_t element, const meta::Class& cls, unsigned clearPercent) {
    for (const meta::Property& p : cls->getAllAttributes()) {
      Step set = on(ModelElement(), p);
      set.element = element;
      set.kind = chance(clearPercent) ? Step::Unset : Step::Set;
      if (set.kind == Step::Set) drawValue(set, p->isMultiValued() ? 1 + pick(4) : 1);
      if (!run.apply(set)) return false;
    }
    return true;
  }

  /// The steps of one transaction, applied to `run` as they are made; false
  /// when one failed. Every `reopenEvery` transactions the model is dropped
  /// and the repository opened again, loading nothing, the top level,
  /// everything, or nothing but one element's subtree.
  bool transaction(ModelRun& run, Listing& listing) {
    if (++transactions % reopenEvery == 0) {
      Step reopen{Step::Reopen};
      reopen.index = pick(4);
      reopen.element = anyNumber();
      note(listing, reopen);
      if (!run.apply(reopen)) return false;
    }
    const std::size_t count = 3 + pick(10);
    for (std::size_t i = 0; i < count; ++i) {
      for (Step& step : next(run)) {
        const bool applied = run.apply(step);
        note(listing, step);  // with its refusal, if any
        if (!applied) return false;
      }
    }
    Step end{chance(20) ? Step::Rollback : Step::Commit};
    note(listing, end);
    return run.apply(end);
  }

  std::size_t reopenEvery = 6;

 private:
  std::size_t pick(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); }
  bool chance(unsigned percent) { return pick(100) < percent; }
  template <class T>
  const T& oneOf(const std::vector<T>& items) {
    return items[pick(items.size())];
  }

  // A number among those made, of `cls` (any class when null); 0 when there
  // is none. It may name an element destroyed meanwhile.
  std::uint32_t anyNumber(const meta::Class& cls = meta::Class()) {
    for (int attempt = 0; attempt < 20 && created > 0; ++attempt) {
      const std::uint32_t n = 1 + static_cast<std::uint32_t>(pick(created));
      if (!cls || classes[n - 1]->conformsTo(cls)) return n;
    }
    return 0;
  }

  std::vector<Step> next(ModelRun& run) {
    const std::size_t roll = pick(100);
    if (created < 4 || roll < 12) return create(run);
    // A third of the other steps edit the collection the last edit did: a
    // transaction then holds histories of several edits of one collection,
    // which the data source replays on the stored one.
    if (collection && roll >= 67) {
      if (const ModelElement e = run.element(collection->first)) return {edit(e, collection->second)};
    }
    Step step;
    ModelElement e = run.element(anyNumber());
    if (!e) return {};  // destroyed meanwhile
    // Now and then the element a link of `e` leads to, as the link holds it:
    // a proxy, when it was never loaded.
    if (chance(30)) {
      std::vector<ModelElement> linked;
      for (const meta::Property& p : e.getMetaClass()->getAllAttributes())
        if (p->isReference() && !(p->isMultiValued() && !qm::zero::ReferenceCollection(e, p).isLoaded()))
          for (const ModelElement& t : e.get(p, Access::privileged()).getAll<ModelElement>())
            if (!t.isDestroyed()) linked.push_back(t);
      if (!linked.empty()) e = oneOf(linked);
    }
    if (roll < 20) {
      step.kind = Step::Destroy;
      step.element = numberOf(e);
      step.reached = e;
      return {step};
    }
    if (roll < 25) return {step};  // a snapshot in the middle of the transaction
    step = edit(e);
    if (step.property->isMultiValued()) collection.emplace(step.element, step.property);
    return {step};
  }

  // A new element; a book or person goes into a library half the time. A
  // holder (of every kind of value, in every multiplicity) starts with its
  // required values unset and is placed by edits only.
  std::vector<Step> create(ModelRun& run) {
    const std::vector<meta::Class> kinds = {mm.library, mm.book, mm.ebook, mm.person, k.holder, k.special};
    Step step{Step::Create};
    step.cls = oneOf(kinds);
    step.element = ++created;
    classes.push_back(step.cls);
    std::vector<Step> steps{step};
    const ModelElement library = run.element(anyNumber(mm.library));
    if (!step.cls->conformsTo(k.holder) && step.cls != mm.library && library && chance(50)) {
      Step place;
      place.element = numberOf(library);
      place.isReference = true;
      place.targets = {step.element};
      const bool person = step.cls == mm.person;
      place.kind = person ? Step::Append : Step::Insert;
      place.property = person ? mm.members : mm.books;
      if (!person) place.index = pick(library.get(mm.books).size() + 1);
      steps.push_back(place);
    }
    return steps;
  }

  // An edit of `element`, of a collection half the time. A proxy is edited
  // without reading it first: its first change loads it.
  Step edit(const ModelElement& element, meta::Property property = meta::Property()) {
    const std::vector<meta::Property> all = element.getMetaClass()->getAllAttributes();
    std::vector<meta::Property> collections;
    std::copy_if(all.begin(), all.end(), std::back_inserter(collections),
                 [](const meta::Property& p) { return p->isMultiValued(); });
    if (!property) property = oneOf(chance(50) && !collections.empty() ? collections : all);
    Step step = on(element, property);
    const meta::Property& p = step.property;
    const std::size_t size = element.isProxy() ? 0 : element.get(p).size();
    const std::size_t roll = pick(100);
    if (!p->isMultiValued()) {
      step.kind = roll < 80 ? Step::Set : Step::Unset;
    } else if (p->isOrdered()) {
      step.kind = roll < 35 ? Step::Insert
                  : roll < 55 ? Step::RemoveAt
                  : roll < 70 ? Step::Replace
                  : roll < 85 ? Step::Move
                  : roll < 95 ? Step::Set
                              : Step::Unset;
      if (size == 0 && step.kind != Step::Set && step.kind != Step::Unset) step.kind = Step::Insert;
      step.index = pick(size + (step.kind == Step::Insert ? 1 : 0));
      step.to = pick(size);
    } else {
      step.kind = roll < 50 ? Step::Append : roll < 80 ? Step::Remove : roll < 95 ? Step::Set : Step::Unset;
      if (size == 0 && step.kind == Step::Remove) step.kind = Step::Append;
      step.index = pick(size);
    }
    if (!step.isReference && step.kind == Step::Remove) step.kind = Step::RemoveAt;  // a value collection: by index
    if (step.kind == Step::Unset || step.kind == Step::RemoveAt || step.kind == Step::Move ||
        step.kind == Step::Remove)
      return step;
    drawValue(step, step.kind == Step::Set && p->isMultiValued() ? pick(4) : 1);
    return step;
  }

  Step on(const ModelElement& element, const meta::Property& property) {
    Step step;
    step.element = element ? numberOf(element) : 0;
    step.reached = element;
    step.property = property;
    step.isReference = !meta::Class::downcast(property->getType()).isNull();
    return step;
  }

  // The value of `step`, of `entries` entries at most: targets among the
  // elements made, or values of the property's type.
  void drawValue(Step& step, std::size_t entries) {
    const meta::Property& p = step.property;
    if (step.isReference) {
      const meta::Class target = meta::Class::downcast(p->getType());
      if (step.kind == Step::Set && !p->isMultiValued() && chance(15)) {
        step.targets = {0};
      } else {
        for (std::size_t i = 0; i < entries; ++i)
          if (const std::uint32_t n = anyNumber(target)) step.targets.push_back(n);
      }
      // No target drawn: a single reference is cleared, a collection set empty.
      if (step.targets.empty() && (step.kind != Step::Set || !p->isMultiValued())) step.kind = Step::Unset;
      return;
    }
    step.value = Value(p->getType(), boost::none);
    for (std::size_t i = 0; i < entries; ++i) {
      const Value entry = randomValue(p->getType(), draw, step.arrays.emplace_back());
      step.value = i == 0 ? entry : step.value;
      if (i > 0) step.value.getEntries().push_back(entry.getEntries()[0]);
    }
  }

  const TestMetamodel& mm;
  const Kinds& k;
  std::mt19937_64 rng;
  const Draw draw = [this](std::size_t n) { return pick(n); };
  std::uint32_t created = 0;
  std::vector<meta::Class> classes;  // of each number made, from 1
  std::optional<std::pair<std::uint32_t, meta::Property>> collection;  // the last edit's, when a collection
  std::size_t transactions = 0;
};

class RandomChangesTest : public BackendTest {
 protected:
  void run(bool passive, std::uint64_t defaultElements, std::uint64_t defaultTransactions) {
    const std::uint64_t seed = environmentNumber("VLT_RANDOM_CHANGES_SEED", 20240611);
    const auto elements = static_cast<std::uint32_t>(environmentNumber("VLT_RANDOM_CHANGES_ELEMENTS", defaultElements));
    const std::uint64_t transactions = environmentNumber("VLT_RANDOM_CHANGES_TRANSACTIONS", defaultTransactions);
    SCOPED_TRACE("VLT_RANDOM_CHANGES_SEED=" + std::to_string(seed) +
                 " VLT_RANDOM_CHANGES_ELEMENTS=" + std::to_string(elements));
    enableProgressRecords();  // the records of every step are made, and must not fail
    Listing listing;
    bool passed = true;
    {
      ModelRun modelRun(location, passive);
      Generator generator(seed);
      passed = generator.build(modelRun, elements, listing);
      for (std::uint64_t i = 0; i < transactions && passed; ++i) passed = generator.transaction(modelRun, listing);
      passed = passed && modelRun.checkReopened();
    }
    if (!passed)
      ADD_FAILURE() << "the last steps of the run:\n" << std::accumulate(listing.begin(), listing.end(), std::string());
  }
};

TEST_P(RandomChangesTest, RepositoryFollowsRandomTransactionsOnModelsOpenedLazily) { run(false, 60, 60); }

TEST_P(RandomChangesTest, APassiveDataSourceFollowsThemToo) { run(true, 30, 25); }

// One transaction renames thousands of elements and destroys a tenth of
// them: the data source finds their objects and writes them thousands at a
// time, in batches the random runs above never fill. An element remembers
// where its object was stored, and a write or a deletion checks that before
// trusting it: another host may have deleted and made objects since, and a
// write that failed leaves ids never committed.
TEST_P(RandomChangesTest, ATransactionOfThousandsOfElementsIsStoredWhole) {
  // The batches are the data source's, whatever the back end: a server,
  // where a check costs a round trip per value, checks the hints only.
  const bool server = GetParam() == Backend::PostgreSQL;
  ModelRun modelRun(location, false);
  std::mt19937_64 rng(11);
  std::uint32_t created = 0;
  std::vector<meta::Class> classes;
  // Over 4,000 books on SQLite: more than a lookup takes.
  ASSERT_TRUE(modelRun.build(server ? 300 : 9000, rng, created, classes));
  // Elements that remember each other's objects, and one an object that does
  // not exist: looked up anew, whatever batch they are in. Every tenth,
  // destroyed below, is among them now and then.
  for (std::uint32_t n = 8; n + 2 <= created; n += 101) {
    ModelElement a = modelRun.element(n), b = modelRun.element(n + 1), c = modelRun.element(n + 2);
    const std::uint64_t ofA = a.getStoreHint();
    ASSERT_NE(ofA, 0u) << "a stored element remembers its object";
    a.setStoreHint(b.getStoreHint(), Access::privileged());
    b.setStoreHint(ofA, Access::privileged());
    c.setStoreHint(c.getStoreHint() + 1000000, Access::privileged());
  }
  Step step{Step::Set};
  step.property = TestMetamodel::get().name;
  for (step.element = 1; step.element <= created; ++step.element) {
    step.value = qm0test::str(u16("renamed " + std::to_string(step.element)));
    ASSERT_TRUE(modelRun.apply(step)) << step.describe();
  }
  step.kind = Step::Destroy;
  for (step.element = 10; step.element <= created; step.element += 10) ASSERT_TRUE(modelRun.apply(step));
  step.kind = Step::Commit;
  EXPECT_TRUE(modelRun.apply(step));  // which compares every element with what another connection reads
}

INSTANTIATE_BACKEND_TEST_SUITE(RandomChangesTest);

}  // namespace
}  // namespace dstest
