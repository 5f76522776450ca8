#pragma once
// Reading the generated Java-like model back: through the repository's API
// alone, as a program that knows the layout would (the baselines of the read
// benchmarks), and the check sums of what a framework model holds once the
// data source has loaded it. Both sides give checksumOf sums
// (JavaRepository.hpp), compared with the generator's.

#include "JavaRepository.hpp"

#include <qm/zero/ModelElement.hpp>
#include <vlt/Repository.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_set>
#include <vector>

namespace java_model {

// A repository file holding the java package's objects, opened for reading:
// its classes and properties found once. Read in a transaction
// (begin/end), so that the reads of one object's single values share a row.
class RepositoryReader {
 public:
  explicit RepositoryReader(const std::string& path);
  ~RepositoryReader();
  RepositoryReader(const RepositoryReader&) = delete;
  RepositoryReader& operator=(const RepositoryReader&) = delete;

  // One transaction around many reads.
  void begin() { repo_.beginTransaction(); }
  void end() { repo_.rollbackTransaction(); }
  // A read transaction around one read, as the data source opens for a call.
  void beginRead() { repo_.beginReadTransaction(); }
  void endRead() { repo_.commitTransaction(); }

  // Every top-level package's containment tree into `out` (cleared first),
  // owners before what they own: each object's single values, its
  // reference collections, its composite children; then the single-valued
  // references resolved to uuids.
  void readAll(std::vector<ElementValues>& out);
  // The same for what the object with `uuid` owns, directly or not, itself
  // not included. False when there is no such object.
  bool readSubtree(const boost::uuids::uuid& uuid, std::vector<ElementValues>& out);
  // The object with `uuid` as a fetch populates it: its single values and
  // its reference collections into `out`, its single-valued reference's
  // uuid, its children (with their uuids); then, read the same way, its
  // owners up to the first one in `read` (the objects read so far, this one
  // and the owners added). Returns how many owners it read. Throws
  // std::runtime_error when there is no such object.
  std::size_t readOne(const boost::uuids::uuid& uuid, ElementValues& out, std::unordered_set<vlt::ObjectId>& read);

  // What the connection has asked of a server so far (zero on SQLite).
  vlt::DataModelRepository::RoundTrips roundTrips() const { return repo_.roundTrips(); }

 private:
  void walk(const vlt::ObjectRef& object, Kind kind, std::size_t depth, std::vector<ElementValues>& out);
  void readPopulated(const vlt::ObjectRef& object, Kind kind, ElementValues& out);
  void readValues(const vlt::ObjectRef& object, Kind kind, ElementValues& out, bool collections);
  void resolveTargets(std::vector<ElementValues>& out);
  Kind kindOf(const vlt::ClassRef& cls) const;

  struct ClassProperties {
    vlt::PropertyRef name, isAbstract, sourceSize, target, links, visibility, line, statementKind;
    vlt::PropertyRef children[2];  // composite: a package's packages and classes, a class's methods, ...
  };
  vlt::DataModelRepository repo_;
  vlt::DataModelRef data_;
  vlt::ClassRef modelElement_;
  std::array<vlt::ClassRef, kindCount> classes_;
  std::array<ClassProperties, kindCount> properties_;
  // Per depth of the walk: the children read, kept between objects (a deque:
  // growing it moves no buffer a shallower level is reading).
  std::deque<std::vector<vlt::ObjectRef>> children_;
  std::vector<vlt::ObjectRef> links_;
  // The ids of single-valued references, resolved after the walk.
  std::vector<std::pair<std::size_t, vlt::ObjectId>> targets_;
  std::vector<vlt::ObjectId> ids_;
};

// The check sum (checksumOf with `fields`) over `elements` of a framework
// model of the java package, each with the owner, owning property and
// position the model gives it; references count by the target's uuid,
// proxies included (their number is added to `proxyTargets`). With
// Fields::all, each entry of a class's usedBy adds its oppositeEntry (the
// generator's side: usedByChecksum of each method). `references` names the
// metamodel (Metamodel::get) the elements are of. Throws
// std::runtime_error when one of `elements` is a proxy, not of the java
// package, or not in its owner's collection.
std::uint64_t modelChecksum(const std::vector<qm::zero::ModelElement>& elements, Fields fields,
                            std::size_t& proxyTargets, References references = References::uniform);

}  // namespace java_model
