// datasource_scale: the data source at the sizes large model repositories are
// compared at (80,665, 1,557,007 and 3,609,454 elements of reverse-engineered
// Java code), on the generated Java-like model of JavaModel.hpp.
//
//   datasource_scale [--elements=N] [--seed=S] [--backend=sqlite|postgresql]
//                    [--parameters=P] [--phases=import,traverse,query,modify,browse,delete]
//                    [--folder=DIR] [--references=skewed|uniform]
//
// The model's references have the shape of reverse-engineered code by
// default (References::skewed: about 1.4 targets per element, a few targets
// referred to thousands of times, methods' uses of classes held at both
// ends, so popular classes hold usedBy collections of thousands of
// entries); --references=uniform gives the kinder shape datasource_bench
// measures (0.62 targets per element drawn uniformly, all one way). The
// first lines printed give the shape: references and opposite entries,
// targets per element, the most referred-to targets.
//
// Phases, each in a child process of its own (so that one phase's heap does
// not count in the next one's peak), each timed by the wall clock:
//
//   import    the model made in memory first (not timed); timed: the initial
//             push into a new repository, DataSource::create(...,
//             NoSyncToModel, SyncAllToDataSource, Synchronous), then
//             resetDataSource
//   traverse  timed: a new model and data source on the stored repository
//             loading everything (SyncAllToModel), then every element
//             visited from the top-level packages down: every property read
//             through the reflective getter, composite children visited,
//             references followed to their targets. Checked (not timed): the
//             number of elements and of references followed, and a check
//             sum of every loaded value, link and owner against the
//             generator's
//   query     a data source opened without loading (not timed); timed: the
//             reflective query counting the statements of kind Loop
//             (addSearchClass, addPropertyValueConstraint, count), checked
//             against the generator
//   modify    a new model over the stored repository with everything loaded
//             (not timed); one model transaction appends "~" to the name (a
//             statement's text) of every element (timed apart); timed: the
//             commit. Checked: two elements fetched afresh carry the change
//   browse    timed: a new model and data source on the stored repository
//             loading the top-level elements only (SyncTopLevelToModel),
//             then from them down every element reached as a tree view
//             reaches it: properties read one at a time (proxies and
//             deferred collections load when first read), composite
//             children visited, single references' targets loaded.
//             Checked as traverse; on PostgreSQL the walk's round trips
//             per element are printed. Not in the default phases
//   delete    a new model over the stored repository with everything loaded
//             (not timed); one model transaction destroys every root (timed
//             apart); timed: the commit. Checked: a model loading everything
//             afterwards finds no element. Also prints "delete ratio: X", the
//             commit's time over the import's when the import ran before it
//             in the same invocation
//
// Each phase prints one line: wall time, elements per second, the thread's
// CPU time and the peak resident memory of the phase (VmHWM of the child,
// reset by writing "5" to /proc/self/clear_refs where the timed part starts,
// so that it counts what was resident then plus what the phase added).
//
// SQLite (the default) works on a file in a fresh temporary folder ($TMPDIR
// or /tmp), removed at the end, or DIR/scale.vlt with --folder (kept, so
// that later runs can take single phases over it; the import phase starts
// it anew); PostgreSQL on the database that
// VLT_TEST_POSTGRESQL_URI names, which must hold no repository yet
// (scripts/with-postgresql starts a fresh server). --parameters adds
// connection-string parameters ("cacheSizeMiB=256&wal=true").

#include "BenchCommon.hpp"
#include "JavaModel.hpp"
#include "JavaReading.hpp"
#include "JavaRepository.hpp"

#include <vlt_datasource/DataSource.hpp>

#include <fl/i18n/Unicode.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/Value.hpp>
#include <qm/zero/meta/StandardTypes.hpp>
#include <qm/zero/query/ReflectiveQuery.hpp>

#include <malloc.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using java_model::Kind;
using qm::zero::Model;
using qm::zero::ModelElement;
using qm::zero::Value;
using vlt_datasource::DataSource;
namespace meta = qm::zero::meta;

[[noreturn]] void fails(const std::string& what) { throw std::runtime_error(what); }

struct Options {
  std::size_t elements = 1557007;
  std::uint64_t seed = java_model::defaultSeed;
  bool postgresql = false;
  std::string parameters;
  std::string folder;  // where the SQLite file stays; empty: a temporary folder
  std::vector<std::string> phases{"import", "traverse", "query", "modify"};
  java_model::References references = java_model::References::skewed;
};

// How often each class and method is a reference's target, and each
// class's usedBy size: the shape of the references, printed before the
// phases. 4 bytes per class and method and 4 more per class, while the
// expectations are drawn.
class InDegrees {
 public:
  void add(const java_model::Element& e) {
    if (e.kind == Kind::cls) {
      classes_.push_back(0);
      usedBy_.push_back(0);
      if (e.superclass >= 0) ++classes_[static_cast<std::size_t>(e.superclass)];
      for (std::uint32_t i = 0; i < e.implementsCount; ++i) ++classes_[e.implements[i]];
    } else if (e.kind == Kind::method) {
      methods_.push_back(0);
      if (e.returnType >= 0) ++classes_[static_cast<std::size_t>(e.returnType)];
      for (std::uint32_t i = 0; i < e.callCount; ++i) ++methods_[e.calls[i]];
      for (std::uint32_t i = 0; i < e.useCount; ++i) {
        ++classes_[e.uses[i]];
        ++usedBy_[e.uses[i]];
      }
    }
  }

  // "largest usedBy a, b, c, d, e (n over 1000); in-degree: top 10 a, b,
  // ...; targets referred to at least 10, 100, 1000 times: x, y, z (of n
  // classes and methods)".
  std::string summary() const {
    std::vector<std::uint32_t> usedBy(usedBy_);
    std::sort(usedBy.begin(), usedBy.end(), std::greater<>());
    std::string text = usedBy.empty() || usedBy.front() == 0
                           ? std::string("no usedBy entries")
                           : "largest usedBy" + largest(usedBy, 5) + " (" + std::to_string(atLeast(usedBy, 1001)) +
                                 " over 1000)";
    text += "; in-degree: top 10";
    std::vector<std::uint32_t> all(classes_);
    all.insert(all.end(), methods_.begin(), methods_.end());
    std::sort(all.begin(), all.end(), std::greater<>());
    text += largest(all, 10) + "; targets referred to at least 10, 100, 1000 times: " +
            std::to_string(atLeast(all, 10)) + ", " + std::to_string(atLeast(all, 100)) + ", " +
            std::to_string(atLeast(all, 1000));
    return text + " (of " + std::to_string(all.size()) + " classes and methods)";
  }

 private:
  // " a, b, ..." for the first `count` of `sorted` (largest first).
  static std::string largest(const std::vector<std::uint32_t>& sorted, std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count && i < sorted.size(); ++i)
      text += (i == 0 ? " " : ", ") + std::to_string(sorted[i]);
    return text;
  }
  static std::size_t atLeast(const std::vector<std::uint32_t>& values, std::uint32_t least) {
    return static_cast<std::size_t>(
        std::count_if(values.begin(), values.end(), [least](std::uint32_t n) { return n >= least; }));
  }

  std::vector<std::uint32_t> classes_, methods_, usedBy_;
};

// What the phases check against, from one pass of the generator.
struct Expected {
  java_model::Counts counts;
  std::size_t references = 0;  // single references set plus collection entries, one way
  std::size_t opposites = 0;   // entries of the opposite collections (usedBy)
  std::size_t loopStatements = 0;
  std::uint64_t checksum = 0;  // modelChecksum's, the opposite ends included
  std::string shape;           // InDegrees::summary
};

Expected expectations(const Options& o) {
  Expected x;
  java_model::ElementValues values;
  InDegrees inDegrees;
  x.counts = java_model::generate(
      o.elements, o.seed,
      [&](const java_model::Element& e) {
        x.references += (e.kind == Kind::cls ? (e.superclass >= 0) + e.implementsCount : 0) +
                        (e.kind == Kind::method ? (e.returnType >= 0) + e.callCount + e.useCount : 0);
        if (e.kind == Kind::method) x.opposites += e.useCount;
        if (e.kind == Kind::statement && e.statementKind == 4) ++x.loopStatements;
        java_model::valuesOf(e, o.seed, values);
        x.checksum += java_model::checksumOf(values) + java_model::usedByChecksum(values);
        inDegrees.add(e);
      },
      o.references);
  x.shape = inDegrees.summary();
  return x;
}

// ---------------------------------------------------------------- memory

// A "Vm...:" line of /proc/self/status, in bytes.
double statusBytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  const std::size_t length = std::strlen(field);
  while (std::getline(status, line)) {
    if (line.compare(0, length, field) == 0) return std::strtod(line.c_str() + length, nullptr) * 1024;
  }
  return 0;
}

// The peak resident set of this process since the last reset, in bytes.
double peakResidentBytes() { return statusBytes("VmHWM:"); }
double residentBytes() { return statusBytes("VmRSS:"); }

// The peak becomes what is resident now. Freed heap is handed back first, so
// that it does not count as resident.
void resetPeak() {
  ::malloc_trim(0);
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
}

// ---------------------------------------------------------------- timing

struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = bench_common::threadCpuSeconds();
  double wallSeconds() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(); }
  double cpuSeconds() const { return bench_common::threadCpuSeconds() - cpu; }
};

void printPhase(const char* phase, std::size_t elements, double wall, double cpu, double peak,
                const std::string& note) {
  std::printf("%-9s %9zu elements %8.2f s %10.0f elements/s  CPU %7.2f s  peak RSS %6.0f MiB%s%s\n", phase, elements,
              wall, static_cast<double>(elements) / wall, cpu, peak / (1024 * 1024), note.empty() ? "" : "  ",
              note.c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------- the phases

struct Context {
  Options options;
  Expected expected;
  std::u16string connectionString;
};

DataSource* open(const Context& c, const Model& model, DataSource::ToModelSync toModel,
                 DataSource::ToDataSourceSync toDataSource) {
  return DataSource::create(c.connectionString, model, toModel, toDataSource, DataSource::Synchronous);
}

using RoundTrips = vlt::DataModelRepository::RoundTrips;

// On a server: the round trips of a phase's timed `part`, per element.
void printRoundTrips(const Context& c, const char* part, const RoundTrips& before, const RoundTrips& after,
                     std::size_t elements) {
  if (!c.options.postgresql) return;
  const std::uint64_t trips = after.roundTrips - before.roundTrips;
  std::printf("          round trips in the %s: %.2f per element (%llu; %llu statements prepared)\n", part,
              static_cast<double>(trips) / static_cast<double>(elements), static_cast<unsigned long long>(trips),
              static_cast<unsigned long long>(after.preparations - before.preparations));
}

// The import's wall time, when it ran in this invocation: written by the
// import's child into memory shared with the parent (and so with the later
// children), read by the modification and the delete for their ratios.
double* importSeconds = nullptr;

void importPhase(const Context& c) {
  const Model model = Model::create();
  {
    qm::zero::Transaction tx = model->beginTransaction();
    java_model::addToModel(model, c.options.elements, c.options.seed, c.options.references);
    tx.commit();
  }
  resetPeak();
  const Timer t;
  const RoundTrips trips = open(c, model, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource)->roundTrips();
  model->resetDataSource();
  const double wall = t.wallSeconds();
  printPhase("import", c.options.elements, wall, t.cpuSeconds(), peakResidentBytes(), "");
  printRoundTrips(c, "import", RoundTrips{}, trips, c.options.elements);
  *importSeconds = wall;
}

// A walk over a model: each class's properties looked up once, and the
// check of what it reached against the generator.
class Walk {
 public:
  std::size_t elements = 0;
  std::size_t references = 0;

  /// Fails unless the walk reached every element and reference (both ends
  /// of a two-way one) and the loaded elements hold what the generator
  /// made; `reached` and `seen` name what the walk did in the message.
  void check(const Context& c, const Model& model, const char* reached, const char* seen) const {
    if (elements != c.options.elements)
      fails(std::string(reached) + " " + std::to_string(elements) + " elements, expected " +
            std::to_string(c.options.elements));
    if (references != c.expected.references + c.expected.opposites)
      fails(std::string(seen) + " " + std::to_string(references) + " references, expected " +
            std::to_string(c.expected.references + c.expected.opposites));
    std::size_t proxyTargets = 0;
    if (java_model::modelChecksum(model->getAllElements(qm::zero::InMemoryOnly), java_model::Fields::all,
                                  proxyTargets, c.options.references) != c.expected.checksum)
      fails("the loaded elements hold other values, links or owners than the generated ones");
  }

 protected:
  const std::vector<meta::Property>& propertiesOf(const meta::Class& cls) {
    auto found = properties_.find(cls.operator->());
    if (found == properties_.end()) found = properties_.emplace(cls.operator->(), cls->getAllAttributes()).first;
    return found->second;
  }

 private:
  std::map<const void*, std::vector<meta::Property>> properties_;
};

// Visits an element and what it owns, reading every property through the
// reflective getter.
class Traversal : public Walk {
 public:
  std::size_t proxies = 0;
  std::uint64_t values = 0;  // entries of primitive and enumeration values read

  void visit(const ModelElement& e) {
    ++elements;
    for (const meta::Property& p : propertiesOf(e.getMetaClass())) {
      const Value v = e.get(p);
      if (p->isComposite()) {
        for (std::size_t i = 0; i < v.size(); ++i) visit(v.getElement(i));
      } else if (p->isReference()) {
        for (std::size_t i = 0; i < v.size(); ++i) {
          const ModelElement target = v.getElement(i);
          ++references;
          if (target.isProxy()) ++proxies;
          values += target.getUUID().data[0];
        }
      } else {
        values += v.size();
      }
    }
  }

};

void traversePhase(const Context& c) {
  const Model model = Model::create();
  resetPeak();
  const Timer t;
  const DataSource* dataSource = open(c, model, DataSource::SyncAllToModel, DataSource::NoSyncToDataSource);
  const double loaded = t.wallSeconds();
  const RoundTrips afterLoad = dataSource->roundTrips();
  Traversal walk;
  for (const ModelElement& e : model->getAllElements(qm::zero::InMemoryOnly))
    if (!e.getOwner()) walk.visit(e);
  const double wall = t.wallSeconds();
  const double cpu = t.cpuSeconds();
  const double peak = peakResidentBytes();
  walk.check(c, model, "visited", "followed");
  if (walk.proxies != 0) fails(std::to_string(walk.proxies) + " references to proxies after a full load");
  char note[128];
  std::snprintf(note, sizeof note, "(load %.2f s, visit %.2f s; %zu references followed)", loaded, wall - loaded,
                walk.references);
  printPhase("traverse", walk.elements, wall, cpu, peak, note);
  printRoundTrips(c, "load", RoundTrips{}, afterLoad, walk.elements);
}

// Walks a lazily opened model as a tree view does: each element's
// properties read one at a time (a proxy loads when first read, a deferred
// collection when first read), composite children visited in order, single
// references resolved (their target loaded), the entries of reference
// collections counted as they come (proxies or elements).
class Browser : public Walk {
 public:
  std::size_t resolved = 0;  // single references whose target was a proxy

  void visit(const ModelElement& e) {
    ++elements;
    for (const meta::Property& p : propertiesOf(e.getMetaClass())) {
      const Value v = e.get(p);
      if (p->isComposite()) {
        for (std::size_t i = 0; i < v.size(); ++i) visit(v.getElement(i));
      } else if (p->isReference()) {
        references += v.size();
        if (p->isMultiValued() || v.size() == 0) continue;
        const ModelElement target = v.getElement(0);
        if (!target.isProxy()) continue;
        target.get(propertiesOf(target.getMetaClass()).front());
        if (target.isProxy()) fails("a single reference's target could not be loaded");
        ++resolved;
      }
    }
  }

};

// Timed: a new model opened with only its top-level elements loaded
// (SyncTopLevelToModel: their children are proxies), then the Browser's
// walk from each of them. Checked: every element reached, every reference
// seen, and the check sum of what was loaded.
void browsePhase(const Context& c) {
  const Model model = Model::create();
  resetPeak();
  const Timer t;
  DataSource* dataSource = open(c, model, DataSource::SyncTopLevelToModel, DataSource::NoSyncToDataSource);
  const double opened = t.wallSeconds();
  const RoundTrips before = dataSource->roundTrips();
  Browser walk;
  for (const ModelElement& e : model->getAllElements(qm::zero::InMemoryOnly))
    if (!e.getOwner()) walk.visit(e);
  const double wall = t.wallSeconds();
  const double cpu = t.cpuSeconds();
  const double peak = peakResidentBytes();
  const RoundTrips after = dataSource->roundTrips();
  walk.check(c, model, "reached", "saw");
  char note[128];
  std::snprintf(note, sizeof note, "(open %.2f s, walk %.2f s; %zu references, %zu targets loaded by them)", opened,
                wall - opened, walk.references, walk.resolved);
  printPhase("browse", walk.elements, wall, cpu, peak, note);
  printRoundTrips(c, "walk", before, after, walk.elements);
  std::printf("browse: %.0f elements/s\n", static_cast<double>(walk.elements) / wall);
}

void queryPhase(const Context& c) {
  const java_model::Metamodel& mm = java_model::Metamodel::get(c.options.references);
  const Model model = Model::create();
  DataSource* dataSource = open(c, model, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);
  std::unique_ptr<qm::zero::query::ReflectiveQuery> query;
  try {
    query = dataSource->createQuery();
  } catch (const std::exception& e) {
    std::printf("%-9s skipped: %s\n", "query", e.what());
    std::fflush(stdout);
    return;
  }
  resetPeak();
  const Timer t;
  const std::size_t index = query->addSearchClass(mm.statementClass, qm::zero::query::WithSubclasses);
  query->addPropertyValueConstraint(mm.kind, qm::zero::query::Equal, Value(mm.statementKind, std::int32_t{4}), index);
  const std::uint64_t count = query->count();
  const double wall = t.wallSeconds();
  if (count != c.expected.loopStatements)
    fails("the query counted " + std::to_string(count) + " statements of kind Loop, expected " +
          std::to_string(c.expected.loopStatements));
  const std::size_t statements = c.expected.counts.perKind[static_cast<std::size_t>(Kind::statement)];
  printPhase("query", statements, wall, t.cpuSeconds(), peakResidentBytes(),
             "(statements of kind Loop: " + std::to_string(count) + ")");
}

const meta::Property& nameOf(const java_model::Metamodel& mm, const meta::Class& cls) {
  if (cls == mm.packageClass) return mm.packageName;
  if (cls == mm.classClass) return mm.className;
  if (cls == mm.methodClass) return mm.methodName;
  return mm.text;
}

// Times the commit of `tx`, whose changes took `changing` seconds in
// memory (`inMemory` says what they were), and prints it as `phase` with its
// round trips and, when the import ran before, "<phase> ratio: X": the
// commit's time over the import's.
void commitTimed(const Context& c, const char* phase, const DataSource& dataSource, qm::zero::Transaction& tx,
                 const char* inMemory, double changing) {
  const RoundTrips before = dataSource.roundTrips();
  const double resident = residentBytes();
  const Timer t;
  tx.commit();
  const double wall = t.wallSeconds();
  const double cpu = t.cpuSeconds();
  char note[128];
  std::snprintf(note, sizeof note, "(%s before it: %.2f s; resident then %.0f MiB)", inMemory, changing,
                resident / (1024.0 * 1024.0));
  printPhase(phase, c.options.elements, wall, cpu, peakResidentBytes(), note);
  printRoundTrips(c, "commit", before, dataSource.roundTrips(), c.options.elements);
  if (*importSeconds > 0) std::printf("%s ratio: %.2f\n", phase, wall / *importSeconds);
}

void modifyPhase(const Context& c) {
  const java_model::Metamodel& mm = java_model::Metamodel::get(c.options.references);
  {
    const Model model = Model::create();
    const DataSource* dataSource = open(c, model, DataSource::SyncAllToModel, DataSource::SyncAllToDataSource);
    if (model->getElementCount() != c.options.elements) fails("the model did not load every element");
    resetPeak();
    const Timer changes;
    qm::zero::Transaction tx = model->beginTransaction();
    for (const ModelElement& e : model->getAllElements(qm::zero::InMemoryOnly)) {
      ModelElement changed = e;
      const meta::Property& name = nameOf(mm, e.getMetaClass());
      changed.set(name, Value(meta::StandardTypes::stringMeta(), e.get(name).get<std::u16string>() + u"~"));
    }
    commitTimed(c, "modify", *dataSource, tx, "the changes in memory", changes.wallSeconds());
  }
  // Read back in a model of its own: the first and the last statement.
  const Model model = Model::create();
  open(c, model, DataSource::NoSyncToModel, DataSource::NoSyncToDataSource);
  const std::size_t statements = c.expected.counts.perKind[static_cast<std::size_t>(Kind::statement)];
  for (const std::size_t ordinal : {std::size_t{0}, statements - 1}) {
    const ModelElement e =
        model->findElement(java_model::uuidOf(c.options.seed, Kind::statement, ordinal), qm::zero::FetchFromDataSource);
    const std::u16string text = e ? e.get(mm.text).get<std::u16string>() : std::u16string();
    if (text.empty() || text.back() != u'~') fails("a changed statement was stored without its change");
  }
}

void deletePhase(const Context& c) {
  {
    const Model model = Model::create();
    const DataSource* dataSource = open(c, model, DataSource::SyncAllToModel, DataSource::SyncAllToDataSource);
    if (model->getElementCount() != c.options.elements) fails("the model did not load every element");
    std::vector<ModelElement> roots;
    for (const ModelElement& e : model->getAllElements(qm::zero::InMemoryOnly))
      if (!e.getOwner()) roots.push_back(e);
    resetPeak();
    const Timer changes;
    qm::zero::Transaction tx = model->beginTransaction();
    for (ModelElement& root : roots) root.destroy();
    commitTimed(c, "delete", *dataSource, tx, "the destruction in memory", changes.wallSeconds());
  }
  // Not timed: a model that loads everything finds nothing.
  const Model model = Model::create();
  open(c, model, DataSource::SyncAllToModel, DataSource::NoSyncToDataSource);
  if (model->getElementCount() != 0)
    fails("the repository still holds " + std::to_string(model->getElementCount()) + " elements");
}

// Runs `phase` in a child process; false when it failed.
bool runInChild(const char* name, void (*phase)(const Context&), const Context& c) {
  std::fflush(stdout);
  const pid_t child = ::fork();
  if (child < 0) fails("cannot start a child process");
  if (child == 0) {
    int code = 0;
    try {
      phase(c);
    } catch (const std::exception& e) {
      std::printf("%-9s FAILED: %s\n", name, e.what());
      code = 1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) fails("lost a child process");
  if (WIFSIGNALED(status)) std::printf("%-9s FAILED: killed by signal %d\n", name, WTERMSIG(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool readOption(const char* argument, const char* prefix, std::string& out) {
  const std::size_t length = std::strlen(prefix);
  if (std::strncmp(argument, prefix, length) != 0) return false;
  out = argument + length;
  return true;
}

[[noreturn]] void usage(const std::string& what) {
  std::fprintf(stderr,
               "datasource_scale: %s\nusage: datasource_scale [--elements=N] [--seed=S] "
               "[--backend=sqlite|postgresql] [--parameters=P] [--phases=import,traverse,query,modify,browse,delete] "
               "[--folder=DIR] [--references=skewed|uniform]\n",
               what.c_str());
  std::exit(2);
}

std::uint64_t readNumber(const std::string& text, const char* option, std::uint64_t most) {
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || *end != 0 || value == 0 || value > most) usage(std::string(option) + " needs a positive number");
  return value;
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string value;
    if (readOption(argv[i], "--elements=", value)) {
      o.elements = readNumber(value, "--elements", 0xFFFFFFFFu);
    } else if (readOption(argv[i], "--seed=", value)) {
      o.seed = readNumber(value, "--seed", ~std::uint64_t(0));
    } else if (readOption(argv[i], "--backend=", value)) {
      if (value != "sqlite" && value != "postgresql") usage("unknown back end " + value);
      o.postgresql = value == "postgresql";
    } else if (readOption(argv[i], "--references=", value)) {
      if (value != "skewed" && value != "uniform") usage("unknown reference shape " + value);
      o.references = value == "uniform" ? java_model::References::uniform : java_model::References::skewed;
    } else if (readOption(argv[i], "--folder=", o.folder)) {
    } else if (readOption(argv[i], "--parameters=", value)) {
      o.parameters = value;
    } else if (readOption(argv[i], "--phases=", value)) {
      o.phases.clear();
      std::size_t start = 0;
      for (;;) {
        const std::size_t comma = value.find(',', start);
        o.phases.push_back(value.substr(start, comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    } else {
      usage(std::string("unknown argument ") + argv[i]);
    }
  }
  return o;
}

// The model the run generates, and where it goes.
void describe(const Context& c) {
  const java_model::Counts& n = c.expected.counts;
  std::printf("%zu elements (seed %#llx): %zu packages, %zu classes, %zu methods, %zu statements; %zu references; "
              "%s%s%s\n",
              c.options.elements, static_cast<unsigned long long>(c.options.seed), n.perKind[0], n.perKind[1],
              n.perKind[2], n.perKind[3], c.expected.references, c.options.postgresql ? "PostgreSQL" : "SQLite",
              c.options.parameters.empty() ? "" : ", parameters ", c.options.parameters.c_str());
  std::printf("%s references: %.2f targets per element, %zu of them also held at the other end (usedBy); %s\n",
              c.options.references == java_model::References::skewed ? "skewed" : "uniform",
              static_cast<double>(c.expected.references) / static_cast<double>(c.options.elements),
              c.expected.opposites, c.expected.shape.c_str());
}

// Runs the phase `name`; after an import into the SQLite file `path` (empty
// on PostgreSQL), prints the file's size. False when the phase failed.
bool runPhase(const std::string& name, void (*phase)(const Context&), const Context& c, const std::string& path) {
  // An import measures a new repository: a file kept from an earlier run
  // would take the elements it holds already as pushed, and checks after
  // it would read that run's changes.
  const bool import = name == "import" && !path.empty();
  if (import) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::filesystem::remove(path + suffix);
  }
  const bool ran = runInChild(name.c_str(), phase, c);
  if (!ran || !import) return ran;
  std::error_code noFile;
  const std::uintmax_t size = std::filesystem::file_size(path, noFile);
  if (!noFile) std::printf("          file: %.0f MiB\n", static_cast<double>(size) / (1024 * 1024));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, void (*)(const Context&)> phases = {
      {"import", &importPhase}, {"traverse", &traversePhase}, {"query", &queryPhase}, {"modify", &modifyPhase},
      {"browse", &browsePhase}, {"delete", &deletePhase}};
  Context c;
  c.options = parse(argc, argv);
  for (const std::string& p : c.options.phases)
    if (phases.count(p) == 0) usage("unknown phase " + p);
  void* shared = ::mmap(nullptr, sizeof(double), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 2;
  importSeconds = static_cast<double*>(shared);
  std::unique_ptr<bench_common::TempFolder> folder;
  std::string path;
  try {
    java_model::Metamodel::get(c.options.references);
    c.expected = expectations(c.options);
    std::string location;
    if (c.options.postgresql) {
      const char* uri = std::getenv("VLT_TEST_POSTGRESQL_URI");
      if (uri == nullptr) usage("--backend=postgresql needs VLT_TEST_POSTGRESQL_URI (scripts/with-postgresql)");
      location = uri;
      if (!c.options.parameters.empty())
        location += (location.find('?') == std::string::npos ? "?" : "&") + c.options.parameters;
    } else {
      if (c.options.folder.empty()) {
        folder = std::make_unique<bench_common::TempFolder>("datasource_scale");
        path = folder->file("scale.vlt");
      } else {
        path = (std::filesystem::path(c.options.folder) / "scale.vlt").string();
      }
      // A plain path is taken literally: parameters come with a file: URI.
      location = c.options.parameters.empty() ? path : "file:" + path + "?" + c.options.parameters;
    }
    c.connectionString = fl::i18n::utf8_to_ustring(location);
    describe(c);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "datasource_scale: %s\n", e.what());
    return 2;
  }
  bool ok = true;
  for (const std::string& p : c.options.phases) ok = runPhase(p, phases.at(p), c, path) && ok;
  return ok ? 0 : 1;
}
