#include "ReadBench.hpp"

#include "JavaModel.hpp"
#include "JavaReading.hpp"
#include "JavaRepository.hpp"
#include "PqReading.hpp"

#include <vlt_datasource/DataSource.hpp>

#include <benchmark/benchmark.h>
#include <fl/i18n/Unicode.hpp>
#include <malloc.h>
#include <qm/zero/ElementId.hpp>

#include <boost/optional.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <unistd.h>
#include <string>
#include <unordered_set>
#include <vector>

#ifndef VLT_BASE_METAMODEL
#error "VLT_BASE_METAMODEL names the base metamodel file"
#endif

namespace read_bench {

namespace {

using namespace bench_common;
using java_model::ElementValues;
using java_model::Fields;
using java_model::Kind;
using qm::zero::Model;
using qm::zero::ModelElement;
using vlt_datasource::DataSource;

const char* const loadName = "BM_DataSourceLoad";
const char* const vltLoadName = "BM_VltLoadBaseline";
const char* const subtreeName = "BM_DataSourceSubtree";
const char* const vltSubtreeName = "BM_VltSubtreeBaseline";
const char* const fetchName = "BM_DataSourceFetch";
const char* const vltFetchName = "BM_VltFetchBaseline";
const char* const groupedFetchName = "BM_DataSourceFetchGrouped";
const char* const vltGroupedFetchName = "BM_VltFetchGroupedBaseline";
const char* const proxyName = "BM_ProxyMemory";
const char* const pqFetchName = "BM_PqFetchBaseline";

constexpr std::uint64_t fetchSeed = 0x6665746368;  // "fetch"

std::size_t elements = 0;
std::size_t fetchCount = 10000;
// On a server: the URI of the database, and the schema the stored model is
// written into (made afresh, dropped at the end).
std::string postgresqlBase;
std::string schema;

// What glibc says is in use: `uordblks` for the heap plus `hblkhd` for blocks
// mapped on their own, malloc's per-block overhead included.
double bytesInUse() {
  const struct mallinfo2 info = ::mallinfo2();
  return static_cast<double>(info.uordblks) + static_cast<double>(info.hblkhd);
}

[[noreturn]] void fails(const std::string& what) { throw std::runtime_error(what); }

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// The stored file and what the benchmarks expect of it, made once.
struct Stored {
  TempFolder folder{"datasource_read"};
  std::string path;
  java_model::Counts counts;
  std::uint64_t checksum = 0;
  // The subtree: the package whose subtree is nearest 15 % of the elements.
  boost::uuids::uuid subtreeRoot{};
  bool subtreeRootIsTopLevel = false;
  std::size_t subtreeSize = 0;  // what the root owns, directly or not
  std::uint64_t subtreeChecksum = 0;
  // The fetched elements, in the order they are fetched (see make).
  std::vector<boost::uuids::uuid> picks;
  std::uint64_t fetchChecksum = 0;  // Fields::singleValues
  static constexpr std::uint32_t none = ~std::uint32_t(0);

  Stored() {
    // The java package registered, as a host registers its metamodel
    // before it loads a model of it.
    java_model::Metamodel::get();
    if (postgresqlBase.empty()) {
      path = folder.file("stored.vlt");
      java_model::writeThroughRepository(path, VLT_BASE_METAMODEL, elements);
      const java_model::Contents contents = java_model::checkRepository(path, elements);
      counts = contents.counts;
      checksum = contents.checksum;
    } else {
      path = storeOnServer();
    }
    const std::uint32_t root = chooseSubtree();

    // The fetched elements: distinct, drawn at random; fetched packages
    // first in creation order, then classes, methods and statements, each
    // kind in the order drawn. An owner thus comes before what it owns, and
    // no fetched element was brought into memory by an earlier fetch.
    const std::size_t fetches = std::min(fetchCount, static_cast<std::size_t>(elements));
    std::vector<std::uint32_t> order(elements);
    for (std::uint32_t i = 0; i < elements; ++i) order[i] = i;
    std::uint64_t state = fetchSeed;
    for (std::size_t i = 0; i < fetches; ++i)
      std::swap(order[i], order[i + splitmix(state) % (elements - i)]);
    std::vector<std::uint32_t> drawnAt(elements, none);
    for (std::size_t i = 0; i < fetches; ++i) drawnAt[order[i]] = static_cast<std::uint32_t>(i);
    struct Pick {
      std::uint64_t key;
      boost::uuids::uuid uuid;
    };
    std::vector<Pick> drawn;
    drawn.reserve(fetches);

    std::vector<bool> inSubtree(elements, false);
    ElementValues values;
    java_model::generate(elements, java_model::defaultSeed, [&](const java_model::Element& e) {
      inSubtree[e.index] = e.owned && (e.ownerIndex == root || inSubtree[e.ownerIndex]);
      if (inSubtree[e.index] || drawnAt[e.index] != none) java_model::valuesOf(e, java_model::defaultSeed, values);
      if (inSubtree[e.index]) subtreeChecksum += java_model::checksumOf(values);
      if (drawnAt[e.index] != none) {
        fetchChecksum += java_model::checksumOf(values, Fields::singleValues);
        const std::uint64_t rank = e.kind == Kind::package ? e.index : drawnAt[e.index];
        drawn.push_back({static_cast<std::uint64_t>(e.kind) << 32 | rank, values.uuid});
      }
    });
    std::sort(drawn.begin(), drawn.end(), [](const Pick& a, const Pick& b) { return a.key < b.key; });
    for (const Pick& p : drawn) picks.push_back(p.uuid);
  }

  // The package whose subtree is nearest 15 % of the elements, by index.
  std::uint32_t chooseSubtree() {
    // Owners by index, and the number of elements every package owns.
    std::vector<std::uint32_t> owner(elements, none);
    std::vector<std::uint32_t> owned(elements, 0);
    std::vector<std::uint32_t> packageOrdinal(elements, none);
    java_model::generate(elements, java_model::defaultSeed, [&](const java_model::Element& e) {
      if (e.owned) owner[e.index] = e.ownerIndex;
      if (e.kind == Kind::package) packageOrdinal[e.index] = e.ordinal;
      for (std::uint32_t at = owner[e.index]; at != none; at = owner[at]) ++owned[at];
    });
    const double wanted = 0.15 * static_cast<double>(elements);
    std::uint32_t root = none;
    for (std::uint32_t i = 0; i < elements; ++i) {
      if (packageOrdinal[i] == none) continue;
      if (root == none || std::abs(owned[i] - wanted) < std::abs(owned[root] - wanted)) root = i;
    }
    subtreeRoot = java_model::uuidOf(java_model::defaultSeed, Kind::package, packageOrdinal[root]);
    subtreeRootIsTopLevel = owner[root] == none;
    subtreeSize = owned[root];
    return root;
  }

  // On a server the data source writes the model (the repository's API
  // would write it object by object, a round trip each); the reads check
  // what they read against the generator.
  std::string storeOnServer() {
    schema = "bench_read_" + std::to_string(::getpid());
    const std::string uri = pq_reading::freshSchema(postgresqlBase, schema);
    const Model model = Model::create();
    {
      qm::zero::Transaction tx = model->beginTransaction();
      counts = java_model::addToModel(model, elements);
      tx.commit();
    }
    DataSource::create(fl::i18n::utf8_to_ustring(uri), model, DataSource::NoSyncToModel,
                       DataSource::SyncAllToDataSource, DataSource::Synchronous);
    model->resetDataSource();
    checksum = java_model::expectedChecksum(elements);
    return uri;
  }
};

std::unique_ptr<Stored> stored;

const Stored& storedFile() {
  if (!stored) stored = std::make_unique<Stored>();
  return *stored;
}

// A copy of the stored file in `folder`, so that no repetition reads a file
// another one has opened and written to. A server's schema is read as it is:
// the fetches write nothing.
std::string copyOfStored(const TempFolder& folder) {
  if (!postgresqlBase.empty()) return storedFile().path;
  const std::string path = folder.file("read.vlt");
  std::filesystem::copy_file(storedFile().path, path);
  return path;
}

DataSource* open(const std::string& path, const Model& model, DataSource::ToModelSync toModel) {
  return DataSource::create(fl::i18n::utf8_to_ustring(path), model, toModel, DataSource::NoSyncToDataSource,
                            DataSource::Synchronous);
}

std::uint64_t sumOf(const std::vector<ElementValues>& read, Fields fields = Fields::all) {
  std::uint64_t sum = 0;
  for (const ElementValues& v : read) sum += java_model::checksumOf(v, fields);
  return sum;
}

// Figures besides the times, per repetition.
struct Figures {
  std::vector<double> bytesPerElement;           // after a full load, the data source open
  std::vector<double> bytesPerElementModelOnly;  // the same once the data source is gone
  std::vector<double> bytesPerRecord;            // the baseline's records
  std::vector<double> bytesPerProxy;
  std::size_t proxies = 0;
  std::size_t subtreeLoaded = 0;   // elements in memory after getAllContents
  std::size_t subtreeBefore = 0;   // ... and before it
  std::size_t subtreeProxyTargets = 0;
  std::size_t fetchLoaded = 0;     // elements in memory after the fetches
  std::size_t fetchOwners = 0;     // owners the baseline read (not read before)
  // Per fetch, on a server: the waits for an answer of the data source and
  // of the two baselines, and the statements the data source prepared.
  double fetchRoundTrips = 0;
  double fetchPreparations = 0;
  double vltFetchRoundTrips = 0;
  double pqFetchRoundTrips = 0;
  std::size_t pqFetchOwners = 0;
};
Figures figures;

// ---------------------------------------------------------------- full load

void load(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_load");
      const std::string path = copyOfStored(folder);
      const Model model = Model::create();
      const double before = bytesInUse();
      const Stopwatch watch;
      open(path, model, DataSource::SyncAllToModel);
      watch.stop(state, loadName);
      const double loaded = bytesInUse();
      model->resetDataSource();
      const double modelOnly = bytesInUse();
      const std::size_t count = model->getElementCount();
      if (count != elements)
        fails("the model holds " + std::to_string(count) + " elements, expected " + std::to_string(elements));
      figures.bytesPerElement.push_back((loaded - before) / static_cast<double>(count));
      figures.bytesPerElementModelOnly.push_back((modelOnly - before) / static_cast<double>(count));
      std::size_t proxyTargets = 0;
      const std::uint64_t sum =
          java_model::modelChecksum(model->getAllElements(qm::zero::InMemoryOnly), Fields::all, proxyTargets);
      if (sum != s.checksum) fails("the loaded elements hold other values, links or owners than the stored ones");
      if (proxyTargets != 0) fails(std::to_string(proxyTargets) + " references to proxies after a full load");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

void vltLoad(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_load");
      const std::string path = copyOfStored(folder);
      std::vector<ElementValues> read;
      const double before = bytesInUse();
      const Stopwatch watch;
      {
        java_model::RepositoryReader reader(path);
        reader.begin();
        reader.readAll(read);
        reader.end();
      }
      watch.stop(state, vltLoadName);
      figures.bytesPerRecord.push_back((bytesInUse() - before) / static_cast<double>(read.size()));
      if (read.size() != elements)
        fails("read " + std::to_string(read.size()) + " objects, expected " + std::to_string(elements));
      if (sumOf(read) != s.checksum) fails("the objects read hold other values, links or owners than the stored ones");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

// ---------------------------------------------------------------- one subtree

void subtree(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_subtree");
      const std::string path = copyOfStored(folder);
      const Model model = Model::create();
      open(path, model, DataSource::SyncTopLevelToModel);
      const ModelElement root = model->findElement(s.subtreeRoot, qm::zero::FetchFromDataSource);
      if (!root || root.isProxy()) fails("the subtree's package could not be fetched");
      figures.subtreeBefore = model->getElementCount();
      const Stopwatch watch;
      const std::vector<ModelElement> contents = root.getAllContents();
      watch.stop(state, subtreeName);
      figures.subtreeLoaded = model->getElementCount();
      if (contents.size() != s.subtreeSize) {
        fails("the subtree holds " + std::to_string(contents.size()) + " elements, expected " +
              std::to_string(s.subtreeSize));
      }
      figures.subtreeProxyTargets = 0;
      if (java_model::modelChecksum(contents, Fields::all, figures.subtreeProxyTargets) != s.subtreeChecksum)
        fails("the subtree's elements hold other values, links or owners than the stored ones");
      model->resetDataSource();
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * storedFile().subtreeSize));
}

void vltSubtree(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_subtree");
      const std::string path = copyOfStored(folder);
      std::vector<ElementValues> read;
      {
        java_model::RepositoryReader reader(path);
        const Stopwatch watch;
        reader.begin();
        const bool found = reader.readSubtree(s.subtreeRoot, read);
        reader.end();
        watch.stop(state, vltSubtreeName);
        if (!found) fails("no object for the subtree's package");
      }
      if (read.size() != s.subtreeSize)
        fails("read " + std::to_string(read.size()) + " objects, expected " + std::to_string(s.subtreeSize));
      if (sumOf(read) != s.subtreeChecksum)
        fails("the objects read hold other values, links or owners than the stored ones");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * storedFile().subtreeSize));
}

// ---------------------------------------------------------------- single elements

// The fetches come in two shapes, each timed against a baseline of the same
// shape: one call at a time, as a host resolves proxies while it navigates
// (the data source reads each in a read transaction of its own, so the
// baseline reads each object in one), and all of them inside one model
// transaction (the data source reads them all in the transaction it opened
// for the model's, as the baseline reads them all in one).
void fetch(benchmark::State& state, bool grouped) {
  const char* const name = grouped ? groupedFetchName : fetchName;
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_fetch");
      const std::string path = copyOfStored(folder);
      const Model model = Model::create();
      DataSource* dataSource = open(path, model, DataSource::NoSyncToModel);
      std::vector<ModelElement> fetched;
      fetched.reserve(s.picks.size());
      const vlt::DataModelRepository::RoundTrips before = dataSource->roundTrips();
      const Stopwatch watch;
      boost::optional<qm::zero::Transaction> tx;
      if (grouped) tx.emplace(model->beginTransaction());
      for (const boost::uuids::uuid& uuid : s.picks) fetched.push_back(model->findElement(uuid, qm::zero::FetchFromDataSource));
      if (tx) tx->commit();
      watch.stop(state, name);
      const vlt::DataModelRepository::RoundTrips after = dataSource->roundTrips();
      const double count = static_cast<double>(s.picks.size());
      figures.fetchRoundTrips = static_cast<double>(after.roundTrips - before.roundTrips) / count;
      figures.fetchPreparations = static_cast<double>(after.preparations - before.preparations) / count;
      figures.fetchLoaded = model->getElementCount();
      for (std::size_t i = 0; i < fetched.size(); ++i)
        if (!fetched[i] || fetched[i].getUUID() != s.picks[i]) fails("a fetch found nothing or another element");
      std::size_t proxyTargets = 0;
      if (java_model::modelChecksum(fetched, Fields::singleValues, proxyTargets) != s.fetchChecksum)
        fails("the fetched elements hold other values or owners than the stored ones");
      model->resetDataSource();
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * storedFile().picks.size()));
}

void vltFetch(benchmark::State& state, bool grouped) {
  const char* const name = grouped ? vltGroupedFetchName : vltFetchName;
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      TempFolder folder("datasource_fetch");
      const std::string path = copyOfStored(folder);
      std::vector<ElementValues> read(s.picks.size());
      {
        java_model::RepositoryReader reader(path);
        std::size_t owners = 0;
        std::unordered_set<vlt::ObjectId> readIds;
        const std::uint64_t before = reader.roundTrips().roundTrips;
        const Stopwatch watch;
        if (grouped) reader.begin();
        for (std::size_t i = 0; i < s.picks.size(); ++i) {
          if (!grouped) reader.beginRead();
          owners += reader.readOne(s.picks[i], read[i], readIds);
          if (!grouped) reader.endRead();
        }
        if (grouped) reader.end();
        watch.stop(state, name);
        figures.fetchOwners = owners;
        figures.vltFetchRoundTrips =
            static_cast<double>(reader.roundTrips().roundTrips - before) / static_cast<double>(s.picks.size());
      }
      if (sumOf(read, Fields::singleValues) != s.fetchChecksum)
        fails("the objects read hold other values or owners than the stored ones");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * storedFile().picks.size()));
}

// The fetch baseline on a server with libpq alone: each object in a read
// transaction of its own, its row, collections and owners read with
// statements prepared once (PqReading.hpp). The connection and its
// statements are made beforehand.
void pqFetch(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    for (auto _ : state) {
      std::vector<ElementValues> read(s.picks.size());
      pq_reading::PqReader reader(s.path);
      std::size_t owners = 0;
      std::unordered_set<std::int64_t> readIds;
      const std::uint64_t before = reader.roundTrips();
      const Stopwatch watch;
      for (std::size_t i = 0; i < s.picks.size(); ++i) {
        reader.beginRead();
        owners += reader.readOne(s.picks[i], read[i], readIds);
        reader.endRead();
      }
      watch.stop(state, pqFetchName);
      figures.pqFetchOwners = owners;
      figures.pqFetchRoundTrips =
          static_cast<double>(reader.roundTrips() - before) / static_cast<double>(s.picks.size());
      if (sumOf(read, Fields::singleValues) != s.fetchChecksum)
        fails("the rows read hold other values or owners than the stored ones");
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * storedFile().picks.size()));
}

// ---------------------------------------------------------------- proxies

// A proxy for every stored statement, made as the data source makes the
// proxies of references it does not load (ModelElement::createProxy with the
// uuid's text), in a model whose data source could resolve them, in one
// model transaction. Timed: the transaction; measured: the heap the proxies
// take once it is committed.
void proxyMemory(benchmark::State& state) {
  try {
    const Stored& s = storedFile();
    const std::size_t count = s.counts.perKind[static_cast<std::size_t>(Kind::statement)];
    const java_model::Metamodel& mm = java_model::Metamodel::get();
    for (auto _ : state) {
      TempFolder folder("datasource_proxies");
      const std::string path = copyOfStored(folder);
      const Model model = Model::create();
      open(path, model, DataSource::NoSyncToModel);
      std::vector<std::u16string> ids;
      ids.reserve(count);
      for (std::size_t i = 0; i < count; ++i) {
        ids.push_back(fl::i18n::utf8_to_ustring(
            boost::uuids::to_string(java_model::uuidOf(java_model::defaultSeed, Kind::statement, i))));
      }
      std::vector<ModelElement> proxies;
      proxies.reserve(count);
      const double before = bytesInUse();
      const Stopwatch watch;
      qm::zero::Transaction tx = model->beginTransaction();
      for (const std::u16string& id : ids) {
        proxies.push_back(ModelElement::createProxy(
            model, mm.statementClass, qm::zero::ProxyId(qm::zero::ElementId::UUID_TYPE, id, boost::none)));
      }
      tx.commit();
      watch.stop(state, proxyName);
      figures.bytesPerProxy.push_back((bytesInUse() - before) / static_cast<double>(count));
      figures.proxies = count;
      if (model->getElementCount() != 0) fails("proxies counted as elements in memory");
      for (const ModelElement& p : proxies)
        if (!p.isProxy()) fails("a proxy is not one");
      model->resetDataSource();
    }
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(
      state.iterations() * storedFile().counts.perKind[static_cast<std::size_t>(Kind::statement)]));
}

}  // namespace

void registerBenchmarks(std::size_t count, std::size_t fetches, int repetitions) {
  elements = count;
  fetchCount = fetches;
  const std::pair<const char*, void (*)(benchmark::State&)> all[] = {
      {loadName, &load},   {vltLoadName, &vltLoad},   {subtreeName, &subtree}, {vltSubtreeName, &vltSubtree},
      {fetchName, [](benchmark::State& state) { fetch(state, false); }},
      {vltFetchName, [](benchmark::State& state) { vltFetch(state, false); }},
      {groupedFetchName, [](benchmark::State& state) { fetch(state, true); }},
      {vltGroupedFetchName, [](benchmark::State& state) { vltFetch(state, true); }},
      {proxyName, &proxyMemory}};
  for (const auto& [name, function] : all) registerTimed(name, function, repetitions);
}

void registerPostgresqlBenchmarks(const std::string& uri, std::size_t count, std::size_t fetches, int repetitions) {
  elements = count;
  fetchCount = fetches;
  postgresqlBase = uri;
  const std::pair<const char*, void (*)(benchmark::State&)> all[] = {
      {fetchName, [](benchmark::State& state) { fetch(state, false); }},
      {vltFetchName, [](benchmark::State& state) { vltFetch(state, false); }},
      {pqFetchName, &pqFetch}};
  for (const auto& [name, function] : all) registerTimed(name, function, repetitions);
}

namespace {

bool printPostgresqlResults(const RatioReporter& reporter) {
  const bool fetched = printRatio(reporter, "pg fetch", fetchName, pqFetchName, 1.5);
  const bool throughApi = printRatio(reporter, "pg fetch against the repository's API", fetchName, vltFetchName, 0);
  if (reporter.succeeded(fetchName)) {
    std::printf("round trips per fetch: data source %.2f (goal <= 3)%s, %.3f statements prepared per fetch\n",
                figures.fetchRoundTrips, figures.fetchRoundTrips <= 3 ? "" : " MISSED", figures.fetchPreparations);
  }
  if (reporter.succeeded(pqFetchName)) {
    std::printf("round trips per fetch: libpq baseline %.2f (BEGIN, row, collections, each owner's row and "
                "collections, COMMIT)\n",
                figures.pqFetchRoundTrips);
  }
  if (reporter.succeeded(vltFetchName))
    std::printf("round trips per fetch: repository API baseline %.2f\n", figures.vltFetchRoundTrips);
  if (stored && reporter.succeeded(fetchName) && reporter.succeeded(pqFetchName)) {
    std::printf("fetch: %zu elements fetched; the model holds %zu elements after (owners included); the libpq "
                "baseline read %zu objects with their collections (owners included)\n",
                stored->picks.size(), figures.fetchLoaded, stored->picks.size() + figures.pqFetchOwners);
  }
  return fetched && throughApi;
}

}  // namespace

bool printResults(const RatioReporter& reporter) {
  if (!postgresqlBase.empty()) return printPostgresqlResults(reporter);
  const bool loaded = printRatio(reporter, "load", loadName, vltLoadName, 1.5);
  const bool subtreeRead = printRatio(reporter, "subtree", subtreeName, vltSubtreeName, 0);
  const bool fetched = printRatio(reporter, "fetch", fetchName, vltFetchName, 1.5);
  const bool fetchedGrouped = printRatio(reporter, "grouped fetch", groupedFetchName, vltGroupedFetchName, 1.5);
  if (reporter.succeeded(loadName)) {
    std::printf("memory after a full load of %zu elements (medians): %.0f bytes per element with the data source "
                "open, %.0f once it is reset (the model alone)\n",
                elements, median(figures.bytesPerElement), median(figures.bytesPerElementModelOnly));
  }
  if (reporter.succeeded(vltLoadName))
    std::printf("the load baseline's records: %.0f bytes per object\n", median(figures.bytesPerRecord));
  bool proxiesMade = true;
  if (reporter.ran(proxyName)) {
    proxiesMade = reporter.succeeded(proxyName);
    if (proxiesMade) {
      const double perProxy = median(figures.bytesPerProxy);
      std::printf("memory per proxy: %.0f bytes (goal <= 300)%s  [median over %zu proxies; made in %.1f ms]\n",
                  perProxy, perProxy <= 300 ? "" : " MISSED", figures.proxies,
                  median(timings()[proxyName].wall) * 1e3);
    } else {
      std::printf("memory per proxy: not measured (%s failed)\n", proxyName);
    }
  }
  if (stored && reporter.succeeded(subtreeName)) {
    std::printf("subtree: a%s package owning %zu elements (%.1f%% of %zu); the model held %zu elements before "
                "getAllContents, %zu after (%zu of them outside the subtree); %zu references to proxies in it\n",
                stored->subtreeRootIsTopLevel ? " top-level" : "", stored->subtreeSize,
                100.0 * static_cast<double>(stored->subtreeSize) / static_cast<double>(elements), elements,
                figures.subtreeBefore, figures.subtreeLoaded,
                figures.subtreeLoaded - figures.subtreeBefore - stored->subtreeSize, figures.subtreeProxyTargets);
  }
  if (stored && reporter.succeeded(fetchName) && reporter.succeeded(vltFetchName)) {
    std::printf("fetch: %zu elements fetched; the model holds %zu elements after (owners included); the baseline "
                "read %zu objects with their collections (owners included)\n",
                stored->picks.size(), figures.fetchLoaded, stored->picks.size() + figures.fetchOwners);
  }
  return loaded && subtreeRead && fetched && fetchedGrouped && proxiesMade;
}

void removeFiles() {
  stored.reset();
  if (!schema.empty()) pq_reading::dropSchema(postgresqlBase, schema);
}

}  // namespace read_bench
