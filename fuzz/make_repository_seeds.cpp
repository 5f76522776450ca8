// fuzz_make_repository_seeds: writes the seed repositories of
// fuzz_repository_file into a folder.
//
// usage: fuzz_make_repository_seeds BASE_METAMODEL_FILE FOLDER
//
//   empty.db              the base metamodel and nothing else, as a new
//                         repository is written (4096-byte pages)
//   empty-small.db        the same with 512-byte pages
//   values-small.db       with 512-byte pages: every value type as a single
//                         value (set and absent) and as a collection,
//                         enumerals, links, composite ownership (single and
//                         collection), a subclass, arrays
//   values-wal-small.db   values-small.db in WAL mode
//
// Small pages make the files a sixth of their size (40 KB instead of 220 KB
// with values), so that far more of each input is the repository's tables
// rather than SQLite's free space, and every run is faster.
//
// Files of those names in FOLDER are replaced; nothing else there is touched.

#include <vlt/Repository.hpp>

#include <matrix/Array.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/uuid.hpp>

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t many = std::numeric_limits<std::uint32_t>::max();

boost::uuids::uuid uuidNumber(std::uint8_t n) {
  boost::uuids::uuid u{};
  u.data[0] = 0x5e;
  u.data[6] = 0x40;  // version 4, variant 1: a well-formed uuid
  u.data[8] = 0x80;
  u.data[15] = n;
  return u;
}

void removeFile(const std::string& path) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) std::filesystem::remove(path + suffix);
}

struct Properties {
  std::vector<vlt::PropertyRef> single, optional, collections;
};

// A property per built-in type, once single (required), once optional and
// once as a collection (every other type ordered and non-unique, uint32 with a
// value twice).
Properties addBuiltins(vlt::DataModelRepository& repo, const vlt::ClassRef& cls) {
  Properties p;
  const char* types[] = {"int32",  "uint32",   "int64", "uint64", "real64", "ustring",
                         "string", "DateTime", "UUID",  "bool",   "qxarray"};
  bool alternate = false;
  for (const std::string type : types) {
    const auto add = [&](const std::string& name, std::uint32_t lower, std::uint32_t upper, bool ordered,
                         bool optional, bool unique) {
      return repo.appendPropertyToClass(cls, name, type, "doc", lower, upper, false, ordered, optional, "",
                                        vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, unique);
    };
    p.single.push_back(add("one_" + type, 1, 1, false, false, true));
    p.optional.push_back(add("maybe_" + type, 0, 1, false, true, true));
    p.collections.push_back(add("many_" + type, 0, many, alternate, false, !alternate));
    alternate = !alternate;
  }
  return p;
}

struct ArrayPtr {
  matrix::qxArray_tag* array;
  explicit ArrayPtr(matrix::qxArray_tag* a) : array(a) {}
  ~ArrayPtr() { matrix::destroyArray(array); }
  ArrayPtr(const ArrayPtr&) = delete;
  ArrayPtr& operator=(const ArrayPtr&) = delete;
};

// Two values of the type of `property`, the second different from the first.
void setBuiltin(vlt::ObjectRef& object, const vlt::PropertyRef& property, int which) {
  using boost::posix_time::ptime;
  const bool first = which == 0;
  switch (property.valueType()) {
    case vlt::ValueType::int32: object.setPropertyValue(property, std::int32_t{first ? -7 : 2147483647}); break;
    case vlt::ValueType::uint32: object.setPropertyValue(property, std::uint32_t{first ? 7u : 4294967295u}); break;
    case vlt::ValueType::int64: object.setPropertyValue(property, std::int64_t{first ? -1 : INT64_MIN}); break;
    case vlt::ValueType::uint64: object.setPropertyValue(property, std::uint64_t{first ? 1u : UINT64_MAX}); break;
    case vlt::ValueType::real64: object.setPropertyValue(property, first ? 0.5 : -1e300); break;
    case vlt::ValueType::ustring: object.setPropertyValue(property, std::u16string(first ? u"Z\u00fcrich" : u"")); break;
    case vlt::ValueType::string: object.setPropertyValue(property, std::string(first ? "bytes\x01\xff" : "x", first ? 7 : 1)); break;
    case vlt::ValueType::dateTime:
      object.setPropertyValue(property, first ? boost::posix_time::time_from_string("1901-05-04 09:30:00")
                                              : ptime(boost::posix_time::pos_infin));
      break;
    case vlt::ValueType::uuid: object.setPropertyValue(property, uuidNumber(first ? 200 : 201)); break;
    case vlt::ValueType::boolean: object.setPropertyValue(property, vlt::Boolean(first)); break;
    case vlt::ValueType::qxarray: {
      const ArrayPtr array(matrix::createNumericArray(first ? matrix::ClassId::Double : matrix::ClassId::Int16,
                                                      first ? std::vector<std::size_t>{2, 3} : std::vector<std::size_t>{1, 1, 2}));
      object.setPropertyValue(property, static_cast<const matrix::qxArray_tag*>(array.array));
      break;
    }
    default: throw std::logic_error("not a built-in type: " + property.typeName());
  }
}

template <class T>
void appendTwo(vlt::ObjectRef& object, const vlt::PropertyRef& property, const T& a, const T& b) {
  vlt::BuiltinTypeCollectionRef<T> collection;
  object.getPropertyValue(property, collection);
  collection.push_back(a);
  collection.push_back(b);
}

void fillCollection(vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  switch (property.valueType()) {
    case vlt::ValueType::int32: appendTwo<std::int32_t>(object, property, 1, -1); break;
    case vlt::ValueType::uint32: appendTwo<std::uint32_t>(object, property, 2, 2); break;
    case vlt::ValueType::int64: appendTwo<std::int64_t>(object, property, 5, -5); break;
    case vlt::ValueType::uint64: appendTwo<std::uint64_t>(object, property, 0, UINT64_MAX); break;
    case vlt::ValueType::real64: appendTwo<double>(object, property, 1.25, -0.0); break;
    case vlt::ValueType::ustring: appendTwo<std::u16string>(object, property, u"a", u"\u00e9t\u00e9"); break;
    case vlt::ValueType::string: appendTwo<std::string>(object, property, "a", "b"); break;
    case vlt::ValueType::dateTime:
      appendTwo(object, property, boost::posix_time::ptime(boost::posix_time::neg_infin),
                boost::posix_time::ptime(boost::posix_time::not_a_date_time));
      break;
    case vlt::ValueType::uuid: appendTwo(object, property, uuidNumber(210), uuidNumber(211)); break;
    case vlt::ValueType::boolean: appendTwo(object, property, vlt::Boolean(true), vlt::Boolean(false)); break;
    case vlt::ValueType::qxarray: {
      const ArrayPtr a(matrix::createNumericArray(matrix::ClassId::UInt8, {3, 1}));
      const ArrayPtr b(matrix::createNumericArray(matrix::ClassId::Char, {1, 4}));
      object.setPropertyValue(property, std::vector<const matrix::qxArray_tag*>{a.array, b.array});
      break;
    }
    default: throw std::logic_error("not a built-in type: " + property.typeName());
  }
}

vlt::ObjectRef create(vlt::DataModelRepository& repo, const vlt::ClassRef& cls, std::uint8_t number) {
  vlt::ObjectConstructor constructor(cls);
  constructor.setObjectUUID(uuidNumber(number));
  return constructor.createObject(repo.defaultDataModel());
}

void writeValues(vlt::DataModelRepository& repo) {
  const vlt::ClassRef base = repo.metamodel().findClass("ModelElement");
  if (base.isNull()) throw std::runtime_error("the base metamodel has no class ModelElement");
  const auto prop = [&](const vlt::ClassRef& cls, const std::string& name, const std::string& type, std::uint32_t lower,
                        std::uint32_t upper, bool composite, bool ordered, const std::string& opposite = "") {
    return repo.appendPropertyToClass(cls, name, type, "", lower, upper, composite, ordered, lower == 0 && upper == 1,
                                      opposite, vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, true);
  };

  const vlt::EnumerationRef colour = repo.createEnumeration("seed.Colour", {{"red", 0}, {"green", 5}, {"blue", -3}});
  const vlt::ClassRef holder = repo.createClass("seed.Holder", {base});
  const Properties builtins = addBuiltins(repo, holder);
  const vlt::PropertyRef hue = prop(holder, "hue", "seed.Colour", 0, 1, false, false);
  const vlt::PropertyRef hues = prop(holder, "hues", "seed.Colour", 0, many, false, true);
  const vlt::ClassRef part = repo.createClass("seed.Part", {base});
  const vlt::PropertyRef label = prop(part, "label", "string", 0, 1, false, false);
  const vlt::ClassRef special = repo.createClass("other.SpecialPart", {part});
  const vlt::PropertyRef weight = prop(special, "weight", "real64", 1, 1, false, false);
  const vlt::PropertyRef parts = prop(holder, "parts", "seed.Part", 0, many, true, true);
  const vlt::PropertyRef core = prop(holder, "core", "seed.Part", 0, 1, true, false);
  const vlt::PropertyRef favourite = prop(holder, "favourite", "seed.Part", 0, 1, false, false);
  const vlt::PropertyRef links = prop(holder, "links", "seed.Part", 0, many, false, true);
  const vlt::PropertyRef backs = prop(part, "backs", "seed.Holder", 0, many, false, false, "fronts");

  // Holder 1 has every value; holder 2 only the required ones (the optional
  // values absent, the collections empty).
  vlt::ObjectRef full = create(repo, holder, 1);
  vlt::ObjectRef sparse = create(repo, holder, 2);
  for (const auto& p : builtins.single) {
    setBuiltin(full, p, 0);
    setBuiltin(sparse, p, 1);
  }
  for (const auto& p : builtins.optional) setBuiltin(full, p, 1);
  for (const auto& p : builtins.collections) fillCollection(full, p);
  full.setPropertyValue(hue, colour.findEnumeral(5));
  vlt::EnumeralCollectionRef hueList;
  full.getPropertyValue(hues, hueList);
  hueList.push_back(colour.findEnumeral(-3));
  hueList.push_back(colour.findEnumeral(0));

  std::vector<vlt::ObjectRef> made;
  for (std::uint8_t n = 10; n < 13; ++n) {
    made.push_back(create(repo, n == 12 ? special : part, n));
    made.back().setPropertyValue(label, std::string("part ") + std::to_string(n));
  }
  made.back().setPropertyValue(weight, 2.5);
  vlt::CollectionRef owned;
  full.getPropertyValue(parts, owned);
  owned.push_back(made[0]);
  owned.push_back(made[2]);
  owned.push_back(made[1], std::uint64_t{0});
  vlt::ObjectRef inner = create(repo, part, 13);
  sparse.setPropertyValue(core, inner);
  full.setPropertyValue(favourite, made[1]);
  full.setPropertyValue(links, std::vector<vlt::ObjectRef>{made[2], inner, made[0]}, false);
  vlt::CollectionRef back;
  made[0].getPropertyValue(backs, back);
  back.push_back(full);
  back.push_back(sparse);
}

void makeRepository(const std::string& basePath, const std::string& path, bool withValues) {
  removeFile(path);
  vlt::DataModelRepository::ServiceOptions options;
  options.createIfMissing = 1;
  vlt::DataModelRepository repo;
  repo.open(path, basePath, options);
  if (withValues) repo.performDictionaryFunction([&] { writeValues(repo); });
  repo.close();
}

// A copy of `from` with 512-byte pages (SQLite's smallest), in WAL mode when
// asked. The repository's application id stays.
void copyWithSmallPages(const std::string& from, const std::string& to, bool wal) {
  removeFile(to);
  std::filesystem::copy_file(from, to);
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(to.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, "PRAGMA page_size = 512; VACUUM;", nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK && wal) rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL;", nullptr, nullptr, nullptr);
  const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("cannot rewrite " + to + " with small pages: " + message);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: fuzz_make_repository_seeds BASE_METAMODEL_FILE FOLDER\n";
    return 2;
  }
  const std::string base = argv[1];
  const std::string folder = argv[2];
  try {
    std::filesystem::create_directories(folder);
    makeRepository(base, folder + "/empty.db", false);
    copyWithSmallPages(folder + "/empty.db", folder + "/empty-small.db", false);
    const std::string values = folder + "/values.tmp";
    makeRepository(base, values, true);
    copyWithSmallPages(values, folder + "/values-small.db", false);
    copyWithSmallPages(values, folder + "/values-wal-small.db", true);
    removeFile(values);
  } catch (const std::exception& e) {
    std::cerr << "fuzz_make_repository_seeds: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
