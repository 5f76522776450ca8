#pragma once
// What the data source's tests share: a fixture with a model and a temporary
// folder, the debug channel's records, helpers for the failures a host sees,
// and the comparison of a repository with a model.

#include <vlt_datasource/DataSource.hpp>

#include "ModelTestSupport.hpp"
#include "datasource/ClassMapper.hpp"

#include <qm/zero/ModelElement.hpp>
#include <qm/zero/Value.hpp>

#include <foundation/core/except/Exception.hpp>
#include <foundation/log/DiagnosticLogger.hpp>
#include <foundation/log/RecordCapture.hpp>
#include <fl/i18n/Unicode.hpp>
#include <testsupport/TempDir.hpp>
#include <testsupport/TestServer.hpp>
#include <vlt/ObjectConstructor.hpp>
#include <vlt/Repository.hpp>

#include <boost/uuid/uuid_io.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

// The library's tests reach some private parts: the metamodel mapping (public
// only through writes) and what the opening built.
namespace vlt_datasource {
struct DataSourceTestAccess {
  static vlt::ClassRef getVltClass(DataSource& ds, const qm::zero::meta::Class& cls) {
    return ds.classMapper->getVltClass(cls, true);
  }
  static vlt::EnumeralRef getVltEnumeral(DataSource& ds, const qm::zero::meta::Type& type,
                                         const qm::zero::Value& value) {
    return ds.classMapper->getVltEnumeral(type, value);
  }
  static vlt::DataModelRepository& repository(DataSource& ds) { return ds.repository; }
  /// Reads elements as memory holds them, loading nothing.
  static qm::zero::PrivilegedTag privileged() { return DataSource::privilegedTag; }
  static const auto& incomingProperties(DataSource& ds) { return ds.classMapper->incomingProperties(); }
};
}  // namespace vlt_datasource

namespace dstest {

namespace meta = qm::zero::meta;
using Access = vlt_datasource::DataSourceTestAccess;
using meta::StandardTypes;
using qm::zero::ModelElement;
using qm::zero::Value;
using qm0test::MsgArguments;
using qm0test::TestMetamodel;
using qm0test::ThrownId;
using qm0test::thrownId;
using qm0test::uuidOf;
using vlt_datasource::DataSource;

inline std::u16string u16(const std::string& text) { return fl::i18n::utf8_to_ustring(text); }

/// The number the environment variable `name` holds (a longer or another
/// run by hand), else `fallback`.
inline std::uint64_t environmentNumber(const char* name, std::uint64_t fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 10) : fallback;
}

/// The existing repository `location`, opened with vlt alone.
inline vlt::DataModelRepository openDirectly(const std::string& location) {
  vlt::DataModelRepository repository;
  repository.open(location, std::string(), vlt::DataModelRepository::ServiceOptions());
  return repository;
}

/// Attaches an active, synchronous data source on `location` to `model`.
inline DataSource* attachTo(const qm::zero::Model& model, const std::string& location,
                            DataSource::ToModelSync toModel, DataSource::ToDataSourceSync toDataSource) {
  return DataSource::create(u16(location), model, toModel, toDataSource, DataSource::Synchronous);
}

/// A new model that loads everything `location` holds (and writes nothing).
inline qm::zero::Model loadAll(const std::string& location) {
  qm::zero::Model model = qm::zero::Model::create();
  attachTo(model, location, DataSource::SyncAllToModel, DataSource::NoSyncToDataSource);
  return model;
}

/// Writes what `make` creates in a new model of its own into `location`, in
/// one transaction; returns that model, disconnected.
inline qm::zero::Model storeModel(const std::string& location,
                                  const std::function<void(const qm::zero::Model&)>& make) {
  const qm::zero::Model writer = qm::zero::Model::create();
  attachTo(writer, location, DataSource::NoSyncToModel, DataSource::SyncAllToDataSource);
  qm::zero::Transaction transaction = writer->beginTransaction();
  make(writer);
  transaction.commit();
  writer->resetDataSource();
  return writer;
}

/// The families of the package-version records in `repository`, sorted.
std::vector<std::u16string> recordedFamilies(const vlt::DataModelRepository& repository);

// Whether a repository holds exactly what a model holds (StoredModel.cpp) is
// read with the repository's own API only, for any metamodel: a test of the
// data source must not trust the data source to tell what it wrote.
/// Checks `repository` against `model`:
/// - every element in memory has an object of its uuid, of a class of the
///   same qualified name, with the element's composite owner and owning
///   property;
/// - every stored property has the element's value: primitives and literals
///   by value, references by target uuid (in order for ordered collections,
///   as multisets otherwise), values stored as text by their text, arrays by
///   contents. An unset single value is stored absent, required or not; a
///   reference to a destroyed element counts as absent;
/// - the repository holds no other element objects (PackageInfo records
///   apart).
/// Each difference is a test failure naming the element, the property and
/// both values; after ten of them the others are only counted. Returns the
/// number of differences.
std::size_t expectRepositoryHoldsModel(const qm::zero::Model& model, const vlt::DataModelRepository& repository);

/// The same for the elements `model` has loaded only (a model opened
/// lazily): no count of the stored objects, and a deferred collection that
/// memory has not loaded is not compared. Nothing is loaded.
std::size_t expectRepositoryHoldsLoadedElements(const qm::zero::Model& model,
                                                const vlt::DataModelRepository& repository);

/// Checks the links of the elements `model` has loaded, loading nothing: no
/// two-way link (and with `oneWayLinksToo` no link at all) leads to a
/// destroyed element, and each two-way link is held once by its other end
/// where that end is loaded. Returns the number of broken links.
std::size_t expectLinksInStep(const qm::zero::Model& model, bool oneWayLinksToo);

/// A value in the notation of those messages: "[e1, e2]".
std::string valueText(const qm::zero::Value& value);

/// The text of the exception that `action` throws; "nothing was thrown"
/// when it returns.
inline std::string whatThrown(const std::function<void()>& action) {
  try {
    action();
    return "nothing was thrown";
  } catch (const std::exception& e) {
    return e.what();
  }
}

/// A model and a folder for its repositories; the debug channel's records
/// are captured, with progress records (severity 4) enabled when a test asks.
class DataSourceTest : public ::testing::Test {
 protected:
  DataSourceTest() : debug("qm::zero::vltdatasource::debug"), savedMask(debug.enabledSeverities()) {}
  ~DataSourceTest() override { debug.setEnabledSeverities(savedMask); }

  void enableProgressRecords() { debug.setEnabledSeverities(foundation::log::severity::all); }

  std::string file(const std::string& name) const { return dir.file(name); }

  /// Runs `change` in a transaction of the model and commits it.
  void commit(const std::function<void()>& change) {
    qm::zero::Transaction transaction = model->beginTransaction();
    change();
    transaction.commit();
  }

  /// Attaches an active (or `passive`) data source to the model.
  DataSource* open(const std::string& connectionString, DataSource::SyncTiming timing = DataSource::Synchronous,
                   DataSource::ToDataSourceSync toDataSource = DataSource::SyncAllToDataSource, bool passive = false) {
    const std::u16string text = u16(connectionString);
    return passive ? DataSource::createPassive(text, model, DataSource::NoSyncToModel, toDataSource, timing)
                   : DataSource::create(text, model, DataSource::NoSyncToModel, toDataSource, timing);
  }

  /// Opens and disconnects again: the repository then exists.
  void createRepository(const std::string& connectionString) {
    open(connectionString);
    model->resetDataSource();
  }
  /// Opens `location` (an existing repository) with vlt alone, runs `change`
  /// in a transaction and commits.
  static void changeDirectly(const std::string& location,
                             const std::function<void(vlt::DataModelRepository&)>& change) {
    vlt::DataModelRepository repository = openDirectly(location);
    repository.beginTransaction();
    change(repository);
    repository.commitTransaction();
  }

  /// A package-version record, as the library writes one.
  static void recordVersion(vlt::DataModelRepository& repository, const std::u16string& family,
                            const std::u16string& version) {
    const vlt::ClassRef info = repository.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
    vlt::ObjectConstructor constructor(info);
    constructor.setPropertyValueSource(info.findProperty("family"), &family);
    constructor.setPropertyValueSource(info.findProperty("version"), &version);
    constructor.createObject(repository.defaultDataModel());
  }

  /// Texts of the captured records of `severity`.
  std::vector<std::string> texts(unsigned severity) const {
    std::vector<std::string> result;
    for (const auto& record : records.records())
      if (record.severity == severity) result.push_back(record.text);
    return result;
  }
  bool anyRecordContains(const std::string& text) const {
    const auto& all = records.records();
    return std::any_of(all.begin(), all.end(), [&](const auto& r) { return r.text.find(text) != std::string::npos; });
  }

  testsupport::TempDir dir;
  const TestMetamodel& mm = TestMetamodel::get();
  qm::zero::Model model = qm::zero::Model::create();
  foundation::log::diagnostic_logger debug;
  unsigned savedMask;
  foundation::log::RecordCapture records{"qm::zero::vltdatasource::debug"};
};

enum class Backend { SQLite, PostgreSQL };

/// A DataSourceTest run on both backends: `location` names a new SQLite file
/// or a new schema of the PostgreSQL test server.
class BackendTest : public DataSourceTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    location = newLocation("model.vlt");
    ASSERT_FALSE(location.empty());
  }
  /// Another new repository: the file `name`, or another schema.
  std::string newLocation(const std::string& name) {
    return GetParam() == Backend::SQLite ? file(name) : testsupport::freshPostgresqlSchema();
  }

  std::string location;
};

inline std::string backendName(const ::testing::TestParamInfo<Backend>& backend) {
  return backend.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

}  // namespace dstest

#define INSTANTIATE_BACKEND_TEST_SUITE(fixture)                                                                \
  INSTANTIATE_TEST_SUITE_P(, fixture, ::testing::Values(dstest::Backend::SQLite, dstest::Backend::PostgreSQL), \
                           dstest::backendName)
