// Random transactions on a model with an active data source; after each
// commit and each rollback the repository must hold what the model holds,
// and at the end so must a repository opened afresh on the same location,
// and a new model that loads everything from it.
//
// The run is a list of steps generated from a seed: VLT_TEST_SEED picks
// another seed, VLT_TEST_TRANSACTIONS another length. A failing run prints
// its steps.

#include "DataSourceTestSupport.hpp"

#include <matrix/Array.hpp>

#include <cstdlib>
#include <optional>
#include <random>

namespace dstest {
namespace {

namespace meta = qm::zero::meta;
using Access = vlt_datasource::DataSourceTestAccess;
using qm::zero::ModelElement;
using qm::zero::Value;
using qm0test::TestMetamodel;

std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

// Element n has a uuid ending in n, so that messages about uuids name the
// element of the step list.
boost::uuids::uuid uuidOf(std::uint32_t n) {
  boost::uuids::uuid uuid{};
  uuid.data[6] = 0x40;
  uuid.data[8] = 0x80;
  for (int i = 0; i < 4; ++i) uuid.data[15 - i] = static_cast<std::uint8_t>(n >> (8 * i));
  return uuid;
}
std::uint32_t numberOf(const ModelElement& element) {
  std::uint32_t n = 0;
  for (int i = 12; i < 16; ++i) n = (n << 8) | element.getUUID().data[i];
  return n;
}

// One step: an edit of the model, a snapshot request, or the end of the
// transaction. Elements are named by number, not handle, so that a listing
// of the steps reads like the failures, which name uuids; a step whose
// element does not exist (destroyed, or rolled back) is skipped.
struct Step {
  enum Kind { Create, Set, Unset, Insert, Append, RemoveAt, Replace, Move, Remove, Destroy, Snapshot, Commit, Rollback };
  Kind kind = Snapshot;
  std::uint32_t element = 0;  // the element edited; Create: the new one
  meta::Class cls;            // Create
  meta::Property property;
  std::size_t index = 0;  // Insert, RemoveAt, Replace; Move: from
  std::size_t to = 0;     // Move: to
  bool isReference = false;
  std::vector<std::uint32_t> targets;  // a reference value: element numbers (0: no element)
  Value value;                         // any other value
  std::shared_ptr<matrix::qxArray_tag> array;  // keeps the array of `value` alive
  std::string refusal;  // why the framework refused the edit, when it did

  std::string describe() const {
    static const char* const names[] = {"create", "set",     "unset",   "insert",   "append", "removeAt", "replace",
                                        "move",   "remove",  "destroy", "snapshot", "commit", "rollback"};
    std::string out = names[kind];
    if (kind >= Snapshot) return out;
    out += " #" + std::to_string(element);
    if (kind == Create) return out + " " + fl::i18n::ustring_to_utf8(cls->getQualifiedName());
    if (kind == Destroy) return out;
    out += "." + fl::i18n::ustring_to_utf8(property->getName());
    if (kind == Insert || kind == RemoveAt || kind == Replace || kind == Move) out += "[" + std::to_string(index) + "]";
    if (kind == Move) out += " to [" + std::to_string(to) + "]";
    if (kind == Unset || kind == RemoveAt || kind == Move) return out;
    if (!isReference) return out + " " + valueText(value);
    for (std::size_t i = 0; i < targets.size(); ++i) out += (i ? ", #" : " [#") + std::to_string(targets[i]);
    return out + (targets.empty() ? " []" : "]");
  }
};

std::string listing(const std::vector<Step>& steps) {
  std::string out;
  for (const Step& step : steps)
    out += "  " + step.describe() + (step.refusal.empty() ? "" : "  (refused: " + step.refusal + ")") + "\n";
  return out;
}

// A model with an active data source on a new repository, and a second
// connection that reads what the data source committed.
class ModelRun {
 public:
  explicit ModelRun(const std::string& where) : location(where) {
    ds = DataSource::create(u16(location), model, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource,
                            DataSource::Synchronous);
    vlt::DataModelRepository::ServiceOptions options;
    options.readOnly = 1;
    reader.open(location, std::string(), options);
  }

  /// Applies `step`; false when it ends in a difference or a failure (test
  /// failures were added).
  bool apply(Step& step) {
    try {
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

  /// Disconnects the data source and compares a new connection's view.
  bool checkReopened() {
    transaction.reset();
    model->resetDataSource();
    reader.close();
    const vlt::DataModelRepository fresh = openDirectly(location);
    SCOPED_TRACE("in a repository opened afresh");
    if (expectRepositoryHoldsModel(model, fresh) != 0) return false;
    // Read back into a new model, everything loaded: it holds what the
    // repository holds, element for element.
    const qm::zero::Model reopened = loadAll(location);
    SCOPED_TRACE("in a model that loaded the repository");
    return expectRepositoryHoldsModel(reopened, fresh) == 0;
  }

  qm::zero::Model model = qm::zero::Model::create();

 private:
  bool check(const char* when) {
    SCOPED_TRACE(when);
    const bool open = Access::repository(*ds).inTransaction();
    EXPECT_FALSE(open) << "the repository transaction is still open";
    return !open && expectRepositoryHoldsModel(model, reader) == 0;
  }

  ModelElement element(std::uint32_t n) const { return n == 0 ? ModelElement() : model->findElement(uuidOf(n)); }

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
    ModelElement e = element(step.element);
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
      case Step::Remove: e.remove(p, value->getElement()); break;
      case Step::Destroy: e.destroy(); break;
      case Step::Move: {
        const Value all = e.get(p);
        if (step.index >= all.size()) return;
        const Value entry(all.getMeta(), qm::zero::Entries{all.getEntries()[step.index]});
        e.removeAt(p, step.index);
        e.insert(p, step.to, entry);
        break;
      }
      default: break;
    }
  }

  std::string location;
  DataSource* ds = nullptr;
  vlt::DataModelRepository reader;
  std::optional<qm::zero::Transaction> transaction;
};

// Makes the steps of a run from the state of its model.
class Generator {
 public:
  explicit Generator(std::uint64_t seed) : mm(TestMetamodel::get()), rng(seed) {}

  /// The steps of one transaction, applied to `run` as they are made; false
  /// when one failed.
  bool transaction(ModelRun& run, std::vector<Step>& steps) {
    const std::size_t count = 3 + pick(10);
    for (std::size_t i = 0; i < count; ++i) {
      for (Step& step : next(run.model)) {
        steps.push_back(std::move(step));
        if (!run.apply(steps.back())) return false;
      }
    }
    Step end;
    end.kind = chance(20) ? Step::Rollback : Step::Commit;
    steps.push_back(end);
    return run.apply(end);
  }

 private:
  std::size_t pick(std::size_t n) { return n == 0 ? 0 : rng() % n; }
  bool chance(unsigned percent) { return pick(100) < percent; }
  template <class T>
  const T& oneOf(const std::vector<T>& items) {
    return items[pick(items.size())];
  }

  // The elements of a class (all for a null class), by number.
  std::vector<ModelElement> elements(const qm::zero::Model& model, const meta::Class& cls = meta::Class()) {
    std::vector<ModelElement> out;
    for (const ModelElement& e : model->getAllElements())
      if (!cls || e.getMetaClass()->conformsTo(cls)) out.push_back(e);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.getUUID() < b.getUUID(); });
    return out;
  }

  std::vector<Step> next(const qm::zero::Model& model) {
    const std::vector<ModelElement> all = elements(model);
    const std::size_t roll = pick(100);
    if (all.size() < 4 || roll < 15) return create(model);
    Step step;
    if (roll < 22) {
      step.kind = Step::Destroy;
      step.element = numberOf(oneOf(all));
      return {step};
    }
    if (roll < 27) return {step};  // a snapshot in the middle of the transaction
    return {edit(model, oneOf(all))};
  }

  // A new element; a book or person goes into a library half the time.
  std::vector<Step> create(const qm::zero::Model& model) {
    static const std::vector<meta::Class> classes = {mm.library, mm.book, mm.ebook, mm.person};
    Step step;
    step.kind = Step::Create;
    step.cls = oneOf(classes);
    step.element = ++created;
    std::vector<Step> steps{step};
    const std::vector<ModelElement> libraries = elements(model, mm.library);
    if (step.cls != mm.library && !libraries.empty() && chance(50)) {
      const ModelElement library = oneOf(libraries);
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

  Step edit(const qm::zero::Model& model, const ModelElement& element) {
    std::vector<meta::Property> properties = element.getMetaClass()->getAllAttributes();
    Step step;
    step.element = numberOf(element);
    step.property = oneOf(properties);
    const meta::Property& p = step.property;
    step.isReference = !meta::Class::downcast(p->getType()).isNull();
    const std::size_t size = element.get(p).size();
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
      if (size == 0) step.kind = Step::Insert;  // nothing to remove, replace or move
      step.index = pick(size + (step.kind == Step::Insert ? 1 : 0));
      step.to = pick(size);
    } else {
      step.kind = roll < 50 ? Step::Append : roll < 80 ? Step::Remove : roll < 95 ? Step::Set : Step::Unset;
    }
    if (step.kind == Step::Unset || step.kind == Step::RemoveAt || step.kind == Step::Move) return step;
    const std::size_t entries = step.kind == Step::Set && p->isMultiValued() ? pick(4) : 1;
    if (step.isReference) {
      const std::vector<ModelElement> candidates = elements(model, meta::Class::downcast(p->getType()));
      if (step.kind == Step::Remove) {
        const Value current = element.get(p);
        step.targets = {current.isEmpty() ? 0 : numberOf(current.getElement(pick(current.size())))};
      } else if (step.kind == Step::Set && !p->isMultiValued() && (candidates.empty() || chance(15))) {
        step.targets = {0};
      } else {
        for (std::size_t i = 0; i < entries && !candidates.empty(); ++i)
          step.targets.push_back(numberOf(oneOf(candidates)));
      }
      if (step.targets.empty() || (step.targets[0] == 0 && step.kind != Step::Set)) step.kind = Step::Unset;
      return step;
    }
    if (step.kind == Step::Remove) {  // a value collection: remove one entry by index
      step.kind = Step::RemoveAt;
      step.index = pick(size);
      return step;
    }
    step.value = Value(p->getType(), boost::none);
    for (std::size_t i = 0; i < entries; ++i) {
      const Value entry = randomValue(p->getType(), step.array);
      step.value = i == 0 ? entry : step.value;
      if (i > 0) step.value.getEntries().push_back(entry.getEntries()[0]);
    }
    return step;
  }

  // A value of one of the test metamodel's value types.
  Value randomValue(const meta::Type& type, std::shared_ptr<matrix::qxArray_tag>& array) {
    using meta::StandardTypes;
    if (const meta::Enum e = meta::Enum::downcast(type)) {
      std::vector<std::int32_t> literals;
      for (const auto& [name, value] : e->getLiterals()) literals.push_back(value);
      return Value(type, oneOf(literals));
    }
    if (const meta::DataType d = meta::DataType::downcast(type)) {
      qm::zero::DataValue data(d);
      for (const meta::Property& attribute : d->getAllAttributes())
        if (chance(85)) data.set(attribute, randomValue(attribute->getType(), array));
      return Value(type, data);
    }
    if (type == StandardTypes::integerMeta()) {
      static const std::vector<std::int32_t> integers = {0, 1, -1, 7, 300, 2147483647, -2147483647 - 1};
      return Value(type, chance(50) ? oneOf(integers) : static_cast<std::int32_t>(pick(2001)) - 1000);
    }
    if (type == StandardTypes::realMeta()) {
      static const std::vector<double> reals = {0.0, 0.5, 1.0 / 3, -2.5e300, 6.02214076e23, 1e-300};
      return Value(type, chance(50) ? oneOf(reals) : static_cast<double>(pick(1000000)) / 64);
    }
    if (type == StandardTypes::stringMeta()) {
      static const std::vector<std::u16string> strings = {
          u"",      u"a",         u"Brave New World", u"\u00dcnic\u00f8de \u2603", u"clef \U0001D11E",
          u"q'\"\\", u"two\nlines", std::u16string(300, u'x'), std::u16string(u"nul\0inside", 10)};
      return Value(type, chance(70) ? oneOf(strings) : u"s" + fl::i18n::utf8_to_ustring(std::to_string(pick(50))));
    }
    if (type == StandardTypes::stdstringMeta()) {
      static const std::vector<std::string> strings = {"", "http://example.com/b?x=1&y=2", "\xc3\xbc-utf8",
                                                       "tab\tand 'quote'", std::string(200, 'y')};
      return Value(type, oneOf(strings));
    }
    if (type == StandardTypes::qxArrayMeta()) {
      static const std::vector<matrix::ClassId> ids = {matrix::ClassId::Double, matrix::ClassId::Int32,
                                                       matrix::ClassId::UInt8};
      const matrix::ClassId id = oneOf(ids);
      array.reset(matrix::createNumericArray(id, {1 + pick(3), 1 + pick(3)}), matrix::ArrayDeleter());
      auto* bytes = static_cast<unsigned char*>(matrix::data(array.get()));
      const std::size_t size = matrix::numberOfElements(array.get()) * matrix::elementSize(id);
      for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(pick(256));
      if (id == matrix::ClassId::Double)  // no NaN patterns: their bits need not survive a round trip
        for (std::size_t i = 0; i < size; i += 8) bytes[i + 7] &= 0x3f;
      return Value(type, array.get());
    }
    ADD_FAILURE() << "no values for type " << fl::i18n::ustring_to_utf8(type->getQualifiedName());
    return Value(type, boost::none);
  }

  const TestMetamodel& mm;
  std::mt19937_64 rng;
  std::uint32_t created = 0;
};

using RandomChangesTest = BackendTest;

TEST_P(RandomChangesTest, RepositoryFollowsRandomTransactions) {
  const std::uint64_t seed = environmentNumber("VLT_TEST_SEED", 20240611);
  const std::uint64_t transactions = environmentNumber("VLT_TEST_TRANSACTIONS", 40);
  SCOPED_TRACE("VLT_TEST_SEED=" + std::to_string(seed));
  std::vector<Step> steps;
  bool passed = true;
  {
    ModelRun run(location);
    Generator generator(seed);
    for (std::uint64_t i = 0; i < transactions && passed; ++i) passed = generator.transaction(run, steps);
    passed = passed && run.checkReopened();
  }
  if (!passed) ADD_FAILURE() << "the steps of the run:\n" << listing(steps);
}

INSTANTIATE_BACKEND_TEST_SUITE(RandomChangesTest);

}  // namespace
}  // namespace dstest
