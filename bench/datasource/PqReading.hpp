#pragma once
// Reading the generated Java-like model out of a PostgreSQL repository with
// libpq alone, as a program that knows the repository's tables would: the
// baseline of the fetch benchmark on a server. Also the schemas the
// benchmark stores its model in. libpq stays inside PqReading.cpp.

#include "JavaRepository.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>

namespace pq_reading {

// `base` (a PostgreSQL URI) with a new, empty schema `schema` as the search
// path; the schema is dropped first if it exists. Throws std::runtime_error
// when the server refuses.
std::string freshSchema(const std::string& base, const std::string& schema);
// Drops `schema` with everything in it; never throws.
void dropSchema(const std::string& base, const std::string& schema) noexcept;

// A PostgreSQL repository holding the java package's objects, reached over
// one connection: its class and property ids read once (from vlt_class and
// vlt_property), then every statement prepared once and run with binary
// parameters and results.
class PqReader {
 public:
  explicit PqReader(const std::string& uri);
  ~PqReader();
  PqReader(const PqReader&) = delete;
  PqReader& operator=(const PqReader&) = delete;

  // A read transaction around one fetch: BEGIN and COMMIT, each waited for.
  void beginRead();
  void endRead();

  // What RepositoryReader::readOne reads, in two statements per object: its
  // row with its single values, its single reference's and its owner's
  // uuids (one statement), then its children and link collections with
  // their targets' uuids and classes (one statement; none for a
  // statement); the same for its owners up to the first one in `read`.
  // Returns how many owners it read. Throws std::runtime_error when there is
  // no such object.
  std::size_t readOne(const boost::uuids::uuid& uuid, java_model::ElementValues& out,
                      std::unordered_set<std::int64_t>& read);

  // The waits for the server's answer so far (each statement run is one).
  std::uint64_t roundTrips() const { return roundTrips_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint64_t roundTrips_ = 0;
};

}  // namespace pq_reading
