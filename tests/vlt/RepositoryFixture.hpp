#pragma once
// The fixture shared by the repository's behaviour tests. It is parameterised
// by back end so that every test runs against each one: a SQLite file in a
// temporary folder, or a schema of its own on the PostgreSQL test server.
// Test names carry the back end's name, so a "PostgreSQL" case gets the
// postgresql label by itself.
//
// Handles die with the connection that made them, so the helpers name objects
// by the small numbers of their uuids (makeUuid) and properties by name:
// expectRoundTrip(2, entry("count", 5), entry("links", objects({3, 4}))) writes
// into object 2, reads back, reopens the repository and reads again.

#include <vlt/Repository.hpp>

#include <matrix/Array.hpp>
#include <testsupport/ChildProcess.hpp>
#include <testsupport/TempDir.hpp>
#include <testsupport/TestServer.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace vlttest {

enum class Backend { SQLite, PostgreSQL };

inline std::string nameOf(Backend backend) { return backend == Backend::SQLite ? "SQLite" : "PostgreSQL"; }
inline void PrintTo(Backend backend, std::ostream* os) { *os << nameOf(backend); }
inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) { return nameOf(info.param); }
/// Every back end, for INSTANTIATE_TEST_SUITE_P.
inline auto everyBackend() { return ::testing::Values(Backend::SQLite, Backend::PostgreSQL); }

inline boost::uuids::uuid makeUuid(unsigned n) {
  boost::uuids::uuid u{};
  for (int i = 0; i < 4; ++i) u.data[12 + i] = static_cast<std::uint8_t>(n >> (24 - 8 * i));
  u.data[0] = 0xA5;
  return u;
}
inline unsigned numberOf(const boost::uuids::uuid& u) {
  unsigned n = 0;
  for (int i = 12; i < 16; ++i) n = n << 8 | u.data[i];
  return n;
}

/// The double of these bits, NaN payloads included.
inline double fromBits(std::uint64_t bits) {
  double d = 0;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

/// The message of the E that `f` throws; a failure when it throws none.
template <class E, class F>
std::string messageOf(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

/// What `body` answers when it runs in a child process as the user nobody
/// (root may write anything); "s" when this process cannot become that user.
inline std::string answerAsNobody(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  testsupport::ChildProcess child([&] {
    const std::string answer = ::setgid(65534) == 0 && ::setuid(65534) == 0 ? body() : "s";
    return ::write(fds[1], answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) ? 0 : 1;
  });
  ::close(fds[1]);
  char buffer[64];
  const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
  ::close(fds[0]);
  child.wait();
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

/// An object named by its uuid's number, valid across reopens; 0 is none.
struct Obj {
  unsigned uuid;
};
inline std::vector<Obj> objects(std::initializer_list<unsigned> uuids) {
  std::vector<Obj> out;
  for (unsigned n : uuids) out.push_back(Obj{n});
  return out;
}

/// A value of a property (by name) to write or expect.
template <class T>
struct Entry {
  std::string property;
  T value;
};
template <class T>
Entry<T> entry(std::string property, T value) {
  return {std::move(property), std::move(value)};
}

namespace detail {
template <class T> struct IsVector : std::false_type {};
template <class T> struct IsVector<std::vector<T>> : std::true_type {};
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<boost::optional<T>> : std::true_type {};
}  // namespace detail

/// What a value is independently of the connection that read it, exactly:
/// doubles by their bits, objects by uuid, enumerals by name and value,
/// arrays by their serialized bytes, Booleans by their byte.
template <class T>
auto stable(const T& v) {
  if constexpr (std::is_same_v<T, double>) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
  } else if constexpr (std::is_same_v<T, vlt::Boolean>) {
    return int{v.value};
  } else if constexpr (std::is_same_v<T, boost::posix_time::ptime>) {
    return boost::posix_time::to_iso_extended_string(v);
  } else if constexpr (std::is_same_v<T, vlt::EnumeralRef>) {
    return v.isNull() ? std::string("(none)") : v.name() + "=" + std::to_string(v.id());
  } else if constexpr (std::is_same_v<T, vlt::ObjectRef>) {
    return v.isNull() ? std::string("(none)") : boost::uuids::to_string(v.objectIdentity());
  } else if constexpr (std::is_same_v<T, Obj>) {
    return v.uuid ? boost::uuids::to_string(makeUuid(v.uuid)) : std::string("(none)");
  } else if constexpr (std::is_pointer_v<T>) {
    return v ? matrix::serializeArray(v) : std::string("(none)");
  } else if constexpr (detail::IsOptional<T>::value) {
    using S = decltype(stable(*v));
    return v ? std::optional<S>(stable(*v)) : std::optional<S>();
  } else if constexpr (detail::IsVector<T>::value) {
    std::vector<decltype(stable(v.front()))> out;
    for (const auto& x : v) out.push_back(stable(x));
    return out;
  } else {
    return v;
  }
}

/// Appends a property to `cls` of `repo`.
inline vlt::PropertyRef addPropertyIn(vlt::DataModelRepository& repo, const vlt::ClassRef& cls,
                                      const std::string& name, const std::string& type, std::uint32_t lower = 0,
                                      std::uint32_t upper = 1, bool composite = false, bool ordered = false,
                                      bool optional = false, bool unique = true, const std::string& opposite = "") {
  return repo.appendPropertyToClass(cls, name, type, "", lower, upper, composite, ordered, optional, opposite,
                                    vlt::DataModelRepository::AssociationByOption(0), "", boost::uuids::uuid{},
                                    unique);
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
  /// What open() connects to: the SQLite file, or a schema of the test
  /// server made for this test.
  std::string connectionString() {
    if (isSqlite()) return location();
    if (schemaUri_.empty()) schemaUri_ = testsupport::freshPostgresqlSchema();
    return schemaUri_;
  }
  /// What messages show of connectionString(): no password.
  std::string shownFilespec() { return vlt::Uri::parse(connectionString())->redacted(); }
  /// For the few tests that look at the SQLite file itself.
  bool isSqlite() const { return GetParam() == Backend::SQLite; }
  static bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
  }

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
  /// addPropertyIn for the test's repository.
  template <class... Rest>
  vlt::PropertyRef addProperty(const vlt::ClassRef& cls, const std::string& name, const std::string& type,
                               Rest&&... rest) {
    return addPropertyIn(repo, cls, name, type, std::forward<Rest>(rest)...);
  }
  vlt::ClassRef findClass(const std::string& name) { return repo.metamodel().findClass(name); }
  vlt::PropertyRef property(const std::string& cls, const std::string& name) {
    return findClass(cls).findProperty(name);
  }
  /// What `ctor` makes with this uuid number, and this id when one is given.
  vlt::ObjectRef construct(vlt::ObjectConstructor& ctor, unsigned uuid, vlt::ObjectId id = 0) {
    if (id != 0) ctor.setObjectID(id);
    ctor.setObjectUUID(makeUuid(uuid));
    return ctor.createObject(repo.defaultDataModel());
  }
  vlt::ObjectRef create(const vlt::ClassRef& cls, unsigned uuid) {
    vlt::ObjectConstructor ctor(cls);
    return construct(ctor, uuid);
  }
  /// The object of this uuid number as `cls` (any class when empty).
  vlt::ObjectRef find(unsigned uuid, const std::string& cls = "") {
    if (!cls.empty()) return repo.defaultDataModel().findObject(makeUuid(uuid), findClass(cls));
    for (const vlt::ClassRef& c : repo.metamodel().classes()) {
      vlt::ObjectRef o = repo.defaultDataModel().findObject(makeUuid(uuid), c);
      if (!o.isNull()) return o;
    }
    return {};
  }
  /// "root", or the owner's uuid number, the property and the ordinal: "1.parts[2]".
  std::string ownerOf(unsigned uuid) {
    vlt::ObjectRef owner;
    vlt::PropertyRef through;
    std::uint64_t ordinal = 77;
    find(uuid).getOwnership(owner, through, ordinal);
    if (owner.isNull() && through.isNull() && ordinal == 0) return "root";
    return std::to_string(owner.isNull() ? 0 : numberOf(owner.objectIdentity())) + "." + through.name() + "[" +
           std::to_string(ordinal) + "]";
  }

  /// What `object` reads from `property` into a T that held `start` before
  /// (a start other than the expected value shows that the read wrote it).
  template <class T>
  static T readValue(const vlt::ObjectRef& object, const vlt::PropertyRef& property, T start = T()) {
    object.getPropertyValue(property, start);
    return start;
  }

  /// Writes each entry's value into its property of object `uuid`.
  template <class... T>
  void write(unsigned uuid, const Entry<T>&... entries) {
    vlt::ObjectRef o = find(uuid);
    ASSERT_FALSE(o.isNull()) << "object " << uuid;
    (o.setPropertyValue(propertyOf(o, entries.property), live(entries.value)), ...);
  }
  /// Expects to read each entry's value from object `uuid`, now and again
  /// after a reopen.
  template <class... T>
  void expectStored(unsigned uuid, const Entry<T>&... entries) {
    const auto expected = std::make_tuple(stable(entries.value)...);  // while the handles live
    for (bool reopened : {false, true}) {
      SCOPED_TRACE(reopened ? "after reopening" : "before reopening");
      if (reopened) reopen();
      vlt::ObjectRef o = find(uuid);
      ASSERT_FALSE(o.isNull()) << "object " << uuid;
      std::apply([&](const auto&... want) { (expectRead(o, entries, want), ...); }, expected);
    }
  }
  template <class... T>
  void expectRoundTrip(unsigned uuid, const Entry<T>&... entries) {
    write(uuid, entries...);
    expectStored(uuid, entries...);
  }

  /// Records every statement the repository runs into `trace`, from an
  /// empty trace on.
  void traceStatements() {
    trace.clear();
    repo.setTraceCallback([](void* to, const char* sql) { static_cast<std::vector<std::string>*>(to)->push_back(sql); },
                          &trace);
  }
  /// How many statements of the trace begin with `prefix`.
  std::size_t traced(const std::string& prefix) const {
    return static_cast<std::size_t>(
        std::count_if(trace.begin(), trace.end(), [&](const std::string& sql) { return sql.rfind(prefix, 0) == 0; }));
  }

  testsupport::TempDir dir;
  Repo::ServiceOptions options = defaultOptions();
  Repo repo;
  std::vector<std::string> trace;

 private:
  std::string schemaUri_;
  static vlt::PropertyRef propertyOf(const vlt::ObjectRef& o, const std::string& name) {
    vlt::PropertyRef p = o.objectClass().findProperty(name);
    EXPECT_FALSE(p.isNull()) << o.objectClass().qualifiedName() << " has no property " << name;
    return p;
  }
  // What is written for a value of an entry: objects as their handles.
  vlt::ObjectRef live(const Obj& v) { return v.uuid ? find(v.uuid) : vlt::ObjectRef(); }
  std::vector<vlt::ObjectRef> live(const std::vector<Obj>& v) {
    std::vector<vlt::ObjectRef> out;
    for (const Obj& x : v) out.push_back(live(x));
    return out;
  }
  template <class T>
  const T& live(const T& v) {
    return v;
  }
  template <class T, class S>
  void expectRead(const vlt::ObjectRef& o, const Entry<T>& e, const S& want) {
    std::decay_t<decltype(live(e.value))> read{};  // what was written, read back
    o.getPropertyValue(propertyOf(o, e.property), read);
    const S got = stable(read);
    if constexpr (std::is_same_v<decltype(read), matrix::qxArray_tag*>) matrix::destroyArray(read);
    if constexpr (std::is_same_v<decltype(read), std::vector<matrix::qxArray_tag*>>) {
      for (matrix::qxArray_tag* a : read) matrix::destroyArray(a);
    }
    if (got == want) return;
    auto brief = [](const S& v) {
      std::string text = ::testing::PrintToString(v);
      return text.size() > 300 ? text.substr(0, 300) + "..." : text;
    };
    ADD_FAILURE() << e.property << " reads " << brief(got) << "\n  expected " << brief(want);
  }
};

}  // namespace vlttest
