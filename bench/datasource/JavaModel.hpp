#pragma once
// A Java-like model of any size, generated from a fixed seed: its metamodel
// (registered in the framework's MetaRegistry on first use), the generator,
// and the element of each kind and ordinal's uuid. The data-source benchmarks
// build a framework model from it and write the same objects through the
// repository's API alone; a larger benchmark can take millions of elements
// from it, since the generator keeps no state per element.
//
//   java.Package   name: String; packages: Package [0..*] composite ordered;
//                  classes: Class [0..*] composite ordered
//   java.Class     name: String; isAbstract: Boolean; sourceSize: Integer64;
//                  superclass: Class [0..1] (one way);
//                  implements: Class [0..*] ordered (one way);
//                  methods: Method [0..*] composite ordered;
//                  usedBy: Method [0..*] unordered (opposite of Method.uses;
//                  skewed shape only)
//   java.Method    name: String; visibility: Visibility;
//                  returnType: Class [0..1] (one way, absent for void);
//                  calls: Method [0..*] unordered (one way);
//                  uses: Class [0..*] unordered (opposite of Class.usedBy;
//                  skewed shape only);
//                  statements: Statement [0..*] composite ordered
//   java.Statement text: String; line: Integer; kind: StatementKind
//   java.Visibility     Public = 0, Protected = 1, Package = 2, Private = 3
//   java.StatementKind  Expression = 0, Declaration = 1, Return = 2, If = 3, Loop = 4
//
// The package family is "java", version "1"; "2" for the skewed shape's.
//
// References come in two shapes (References below). The uniform one, which
// the data-source benchmarks measure against repository baselines, draws
// every target uniformly among the earlier elements of its kind, all one
// way. The skewed one has the shape of reverse-engineered code: about 1.4
// targets per element, a few targets (the earliest classes and methods, as
// a language's base types are) referred to thousands of times, and the most
// frequent kind of reference, a method's use of a type, held at both ends,
// so that popular classes hold opposite collections of thousands of
// entries. Each shape has a metamodel of its own: the uniform one has no
// uses and usedBy at all, since even empty, each link property of a class
// costs the data source a read per element it fetches. Both name their
// classes alike, so a process uses one of them (a data source maps stored
// classes by name).

#include <qm/zero/Model.hpp>
#include <qm/zero/meta/Metamodel.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace java_model {

namespace meta = qm::zero::meta;

enum class Kind : std::uint8_t { package, cls, method, statement };
constexpr std::size_t kindCount = 4;

// How the generator draws reference targets (always among the elements of
// the target's kind made before the referring element).
enum class References : std::uint8_t {
  // Uniformly, no uses: 0.62 targets per element. The same elements,
  // values and targets as before the skewed shape existed.
  uniform,
  // Half of the draws uniform, half log-uniform over the ordinals (a bit
  // length uniform up to the bound's, then an ordinal of that length), so
  // that the ordinal r is drawn about 1/(r+1) as often as ordinal 0, as
  // Zipf's law has it; each method also uses 0 to 8 classes. About 1.4
  // targets per element, half of them uses.
  skewed
};

// The metamodel's handles. The first `get` of a shape builds its package
// and registers it; later calls return the same handles. A process asks for
// one shape only (see above).
struct Metamodel {
  meta::Package package;
  meta::Class packageClass, classClass, methodClass, statementClass;
  meta::Enum visibility, statementKind;
  meta::Property packageName, packages, classes;
  meta::Property className, isAbstract, sourceSize, superclass, implements, methods;
  meta::Property methodName, methodVisibility, returnType, calls, statements;
  meta::Property text, line, kind;
  meta::Property uses, usedBy;  // null in the uniform shape's metamodel

  static const Metamodel& get(References references = References::uniform);
  const meta::Class& classOf(Kind k) const;

 private:
  explicit Metamodel(References references);
};

// Most targets a generated element's collection of references holds.
constexpr std::size_t maxImplements = 3;
constexpr std::size_t maxCalls = 4;
constexpr std::size_t maxUses = 8;
constexpr std::uint64_t defaultSeed = 0x6a617661;  // "java"

// One generated element, handed to the sink and then overwritten by the next
// one (the texts keep their buffers). Elements come depth first: an owner
// before what it owns, each collection in order. References name their
// targets by kind and ordinal, and only targets made before the element.
struct Element {
  Kind kind = Kind::package;
  std::uint32_t index = 0;    // place among all elements, in creation order
  std::uint32_t ordinal = 0;  // place among the elements of its kind
  // The owner (for every element but a top-level package): a package for a
  // package or class, a class for a method, a method for a statement, held
  // in the owner's collection of that kind at `position`.
  bool owned = false;
  std::uint32_t ownerIndex = 0;
  std::uint32_t ownerOrdinal = 0;
  std::uint32_t position = 0;

  std::u16string name;  // a package, class or method name; a statement's text
  // java.Class
  bool isAbstract = false;
  std::int64_t sourceSize = 0;
  std::int64_t superclass = -1;  // class ordinal, -1: none
  std::uint32_t implementsCount = 0;
  std::uint32_t implements[maxImplements] = {};  // class ordinals
  // java.Method
  std::int32_t visibility = 0;
  std::int64_t returnType = -1;  // class ordinal, -1: void
  std::uint32_t callCount = 0;
  std::uint32_t calls[maxCalls] = {};  // method ordinals
  std::uint32_t useCount = 0;          // none with References::uniform
  std::uint32_t uses[maxUses] = {};    // class ordinals
  // java.Statement
  std::int32_t line = 0;
  std::int32_t statementKind = 0;

  Kind ownerKind() const { return kind == Kind::package ? Kind::package : static_cast<Kind>(static_cast<int>(kind) - 1); }
};

// How many elements of each kind `generate(elements, seed, ...)` makes.
struct Counts {
  std::size_t perKind[kindCount] = {};
  std::size_t total() const { return perKind[0] + perKind[1] + perKind[2] + perKind[3]; }
};

// Generates exactly `elements` elements and hands each to `sink`. The same
// arguments give the same elements, values and uuids on every call; the
// shape of the references changes only the targets (and so the random draws
// after the first reference): the counts per kind may differ.
// Returns the counts.
Counts generate(std::size_t elements, std::uint64_t seed, const std::function<void(const Element&)>& sink,
                References references = References::uniform);

// The uuid of the element of `kind` and `ordinal` (a random-looking version 4
// uuid computed from the seed, kind and ordinal).
boost::uuids::uuid uuidOf(std::uint64_t seed, Kind kind, std::uint64_t ordinal);

// Makes the generated elements in `model`, which must have a transaction
// open: each element made with its uuid, its values set and its references
// to earlier elements (the framework fills the opposite ends), then
// appended to its owner's collection.
Counts addToModel(const qm::zero::Model& model, std::size_t elements, std::uint64_t seed = defaultSeed,
                  References references = References::uniform);

const char* kindName(Kind kind);

}  // namespace java_model
