#pragma once
// The tree the walk pair of vlt_bench reads (WalkTreeBench.cpp): its classes,
// the generated objects, writing them into a repository, and the check sum
// both walks must reproduce.
//
// walk.Node (name: ustring, rank: int32, link: walk.Node, optional) is the
// common superclass of walk.Folder (size: int64, code: string, open: bool;
// ordered composite collections children: walk.Node and notes: walk.Leaf),
// walk.Part (count: int32, title: ustring, origin: walk.Node; ordered
// composite parts: walk.Node) and walk.Leaf (amount: int64, label: string,
// flag: bool, target: walk.Node). Generated from a fixed seed: about 100,000
// objects under one root folder, 6 levels.

#include <vlt/Repository.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vlt_bench::walk {

// What a single value is read into; the two sides read the same columns into
// the same C++ types.
enum class Cell { int32, int64, ustring, string, boolean, reference };

struct PropertyShape {
  const char* name;
  const char* type;
  Cell cell;       // single values
  bool composite;  // an ordered composite collection (cell unused)
};

// The concrete classes. walk.Node, their common superclass, is never
// instantiated itself.
enum Kind : std::uint8_t { folder, part, leaf };
constexpr std::size_t kindCount = 3;

inline const char* const nodeClassName = "walk.Node";
inline const char* const classNames[kindCount] = {"walk.Folder", "walk.Part", "walk.Leaf"};

// walk.Node's properties, then each concrete class's own, in declaration
// order (so property ids grow in it: a Folder's `children` come before its
// `notes`).
const std::vector<PropertyShape>& nodeProperties();
const std::vector<PropertyShape>& ownProperties(Kind kind);

// The root folder's uuid.
inline const boost::uuids::uuid rootUuid = {
    {0x57, 0x61, 0x6c, 0x6b, 0x52, 0x6f, 0x6f, 0x74, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

// Folds values in order (FNV-1a over 64-bit words): both walks and the
// expected sum fold the same values in the same order.
class Checksum {
 public:
  void add(std::uint64_t v) { h_ = (h_ ^ v) * 0x100000001b3ULL; }
  void addInt32(std::int32_t v) { add(static_cast<std::uint64_t>(static_cast<std::int64_t>(v))); }
  void addInt64(std::int64_t v) { add(static_cast<std::uint64_t>(v)); }
  void add(const std::u16string& s) {
    add(s.size());
    for (const char16_t c : s) add(c);
  }
  void add(const std::string& s) {
    add(s.size());
    for (const char c : s) add(static_cast<unsigned char>(c));
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

// The number of objects in the tree.
std::size_t objectCount();
// "N objects (F folders, P parts, L leaves), D levels"
std::string describeTree();

// Creates the classes in the new repository `repo`, then every object of the
// tree, in one transaction. Returns the first of the object ids it allocated.
std::int32_t writeTree(vlt::DataModelRepository& repo);

// The check sum of a walk of the tree written with `firstId`, from the
// generated objects: per object, in depth-first order (an object, then what
// it owns, collection by collection in declaration order, each in collection
// order), its id, its Kind, its single values in the order of
// nodeProperties() then ownProperties() (references as the target's id, 0
// when absent, bools as 0 or 1), and for a folder or part the number of
// objects it owns.
std::uint64_t expectedChecksum(std::int32_t firstId);

}  // namespace vlt_bench::walk
