#pragma once
// The fixture shared by the repository's behaviour tests. It is parameterised
// by back end so that every test runs against each one; only SQLite exists
// now. Test names carry the back end's name, so a "PostgreSQL" case gets the
// postgresql label by itself.

#include <vlt/Repository.hpp>

#include <testsupport/TempDir.hpp>

#include <boost/uuid/uuid.hpp>
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

namespace vlttest {

enum class Backend { SQLite };

inline void PrintTo(Backend backend, std::ostream* os) {
  switch (backend) {
    case Backend::SQLite:
      *os << "SQLite";
      return;
  }
  *os << "Unknown";
}

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
  switch (info.param) {
    case Backend::SQLite:
      return "SQLite";
  }
  return "Unknown";
}

inline boost::uuids::uuid makeUuid(unsigned n) {
  boost::uuids::uuid u{};
  for (int i = 0; i < 4; ++i) u.data[12 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  u.data[0] = 0xA5;
  return u;
}

class RepositoryTest : public ::testing::TestWithParam<Backend> {
 protected:
  using Repo = vlt::DataModelRepository;

  static Repo::ServiceOptions defaultOptions() {
    Repo::ServiceOptions o;
    o.createIfMissing = 1;
    return o;
  }

  /// The SQLite file of the test's repository.
  std::string location() const { return dir.file("repo.db"); }
  /// What open() connects to. A PostgreSQL case adds a branch here naming a
  /// fresh database of the test server (testsupport::postgresqlTestUri()).
  std::string connectionString() const {
    switch (GetParam()) {
      case Backend::SQLite:
        return location();
    }
    return {};
  }
  /// For the few tests that look at the SQLite file itself.
  bool isSqlite() const { return GetParam() == Backend::SQLite; }

  /// Opens (a new repository at first) without a base metamodel.
  void open(const std::string& baseMetamodel = "") { repo.open(connectionString(), baseMetamodel, options); }
  /// Closes and opens again: what the tests read afterwards came from storage.
  void reopen() {
    repo.close();
    repo.open(connectionString(), "", options);
  }

  vlt::ClassRef makeClass(const std::string& name, std::set<vlt::ClassRef> supers = {}) {
    return repo.createClass(name, supers);
  }
  vlt::PropertyRef addProperty(const vlt::ClassRef& cls, const std::string& name, const std::string& type,
                               std::uint32_t lower = 0, std::uint32_t upper = 1, bool composite = false,
                               bool ordered = false, bool optional = false, bool unique = true,
                               const std::string& opposite = "") {
    return repo.appendPropertyToClass(cls, name, type, "", lower, upper, composite, ordered, optional, opposite,
                                      Repo::AssociationByOption(0), "", boost::uuids::uuid{}, unique);
  }
  vlt::ClassRef findClass(const std::string& name) { return repo.metamodel().findClass(name); }
  vlt::PropertyRef property(const std::string& cls, const std::string& name) {
    return findClass(cls).findProperty(name);
  }
  vlt::ObjectRef create(const vlt::ClassRef& cls, unsigned uuid) {
    vlt::ObjectConstructor ctor(cls);
    ctor.setObjectUUID(makeUuid(uuid));
    return ctor.createObject(repo.defaultDataModel());
  }
  vlt::ObjectRef find(unsigned uuid, const std::string& cls = "") {
    vlt::ClassRef c = cls.empty() ? repo.metamodel().classes().front() : findClass(cls);
    return repo.defaultDataModel().findObject(makeUuid(uuid), c);
  }

  testsupport::TempDir dir;
  Repo::ServiceOptions options = defaultOptions();
  Repo repo;
};

}  // namespace vlttest
