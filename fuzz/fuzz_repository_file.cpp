// fuzz_repository_file: the input is a repository file. It is opened
// read-only, as vlt-inspect opens one, and everything in it is read: the
// overview and every object as vlt-inspect prints them (its own Inspector),
// then each collection through the live collection handles, the root objects
// and the incoming links of every object.
//
// A RepositoryError (of any subclass) is the promised answer to a file that
// is not a usable repository. Anything else is a finding: a crash, a
// sanitizer report, or an exception of another type (out_of_range,
// bad_alloc, a Boost error, ...).

#include "FuzzSupport.hpp"
#include "Inspector.hpp"

#include <vlt/Repository.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

namespace {

// Entries read one by one per collection; the rest is covered by the
// Inspector's whole reads.
constexpr std::size_t entriesPerCollection = 64;

template <class Collection>
void readEntries(const Collection& collection) {
  const std::size_t n = std::min(collection.size(), entriesPerCollection);
  for (std::size_t i = 0; i < n; ++i) static_cast<void>(collection.indexOf(collection.at(i)));
}

template <class T>
void readBuiltins(const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  vlt::BuiltinTypeCollectionRef<T> collection;
  object.getPropertyValue(property, collection);
  readEntries(collection);
}

void readCollection(const vlt::ObjectRef& object, const vlt::PropertyRef& property) {
  switch (property.valueType()) {
    case vlt::ValueType::int32: readBuiltins<std::int32_t>(object, property); break;
    case vlt::ValueType::uint32: readBuiltins<std::uint32_t>(object, property); break;
    case vlt::ValueType::int64: readBuiltins<std::int64_t>(object, property); break;
    case vlt::ValueType::uint64: readBuiltins<std::uint64_t>(object, property); break;
    case vlt::ValueType::real64: readBuiltins<double>(object, property); break;
    case vlt::ValueType::ustring: readBuiltins<std::u16string>(object, property); break;
    case vlt::ValueType::string: readBuiltins<std::string>(object, property); break;
    case vlt::ValueType::dateTime: readBuiltins<boost::posix_time::ptime>(object, property); break;
    case vlt::ValueType::uuid: readBuiltins<boost::uuids::uuid>(object, property); break;
    case vlt::ValueType::boolean: readBuiltins<vlt::Boolean>(object, property); break;
    case vlt::ValueType::qxarray: break;  // no live collection of arrays; the Inspector reads them whole
    case vlt::ValueType::enumeral: {
      vlt::EnumeralCollectionRef collection;
      object.getPropertyValue(property, collection);
      readEntries(collection);
      break;
    }
    case vlt::ValueType::object: {
      vlt::CollectionRef collection;
      object.getPropertyValue(property, collection);
      readEntries(collection);
      for (const vlt::ObjectRef& target : collection.values()) static_cast<void>(target.objectRuntimeClass());
      break;
    }
  }
}

void walk(const std::string& path) {
  vlt::DataModelRepository::ServiceOptions options;
  options.readOnly = 1;
  options.createIfMissing = 0;
  vlt::DataModelRepository repository;
  repository.open(path, std::string(), options);

  const vlt_inspect::Inspector inspector(repository);
  std::ostringstream out;
  repository.performDictionaryFunction([&] {
    inspector.writeOverview(out);
    const vlt::DataModelRef data = repository.defaultDataModel();
    for (const vlt::ClassRef& cls : repository.metamodel().classes()) {
      for (const vlt::ObjectRef& object : data.objectsOf(cls, false)) {
        inspector.writeObject(out, object.objectIdentity());
        for (const vlt::PropertyRef& property : cls.allProperties()) {
          if (property.isMultiValue()) readCollection(object, property);
        }
        object.processIncomingMultiValuedUnidirectionalAssociations(
            [](vlt::CollectionRef& collection, std::size_t) { static_cast<void>(collection.size()); });
      }
    }
    static_cast<void>(data.rootObjects());
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const vlt_fuzz::ScratchFolder folder;
  const std::string path = folder.freshFile("repository.db", data, size);
  try {
    walk(path);
  } catch (const vlt::RepositoryError&) {
    // the promised answer to a file that cannot be read as a repository
  } catch (const std::exception& e) {
    vlt_fuzz::unexpectedException(e);
  }
  return 0;
}
