#include "JavaModel.hpp"

#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <algorithm>
#include <stdexcept>

namespace java_model {

// ---------------------------------------------------------------- metamodel

const Metamodel& Metamodel::get(References references) {
  if (references == References::skewed) {
    static const Metamodel skewed(References::skewed);
    return skewed;
  }
  static const Metamodel uniform(References::uniform);
  return uniform;
}

Metamodel::Metamodel(References references) {
  using meta::PropertyOptions;
  using meta::StandardTypes;
  const PropertyOptions ownedInOrder = PropertyOptions().bounds(0, meta::unbounded).setOrdered().setComposite();
  const bool twoWayUses = references == References::skewed;
  meta::PackageBuilder b(u"java", u"java", twoWayUses ? u"2" : u"1");
  packageClass = b.addClass(u"Package");
  classClass = b.addClass(u"Class");
  methodClass = b.addClass(u"Method");
  statementClass = b.addClass(u"Statement");
  visibility = b.addEnum(u"Visibility", {{u"Public", 0}, {u"Protected", 1}, {u"Package", 2}, {u"Private", 3}});
  statementKind = b.addEnum(u"StatementKind",
                            {{u"Expression", 0}, {u"Declaration", 1}, {u"Return", 2}, {u"If", 3}, {u"Loop", 4}});

  packageName = b.addProperty(packageClass, u"name", StandardTypes::stringMeta());
  packages = b.addProperty(packageClass, u"packages", packageClass, ownedInOrder);
  classes = b.addProperty(packageClass, u"classes", classClass, ownedInOrder);

  className = b.addProperty(classClass, u"name", StandardTypes::stringMeta());
  isAbstract = b.addProperty(classClass, u"isAbstract", StandardTypes::booleanMeta());
  sourceSize = b.addProperty(classClass, u"sourceSize", StandardTypes::integer64Meta());
  superclass = b.addProperty(classClass, u"superclass", classClass);
  implements = b.addProperty(classClass, u"implements", classClass,
                             PropertyOptions().bounds(0, meta::unbounded).setOrdered());
  methods = b.addProperty(classClass, u"methods", methodClass, ownedInOrder);

  methodName = b.addProperty(methodClass, u"name", StandardTypes::stringMeta());
  methodVisibility = b.addProperty(methodClass, u"visibility", visibility);
  returnType = b.addProperty(methodClass, u"returnType", classClass);
  calls = b.addProperty(methodClass, u"calls", methodClass, PropertyOptions().bounds(0, meta::unbounded));
  statements = b.addProperty(methodClass, u"statements", statementClass, ownedInOrder);

  text = b.addProperty(statementClass, u"text", StandardTypes::stringMeta());
  line = b.addProperty(statementClass, u"line", StandardTypes::integerMeta());
  kind = b.addProperty(statementClass, u"kind", statementKind);

  if (twoWayUses) {
    usedBy = b.addProperty(classClass, u"usedBy", methodClass, PropertyOptions().bounds(0, meta::unbounded));
    uses = b.addProperty(methodClass, u"uses", classClass, PropertyOptions().bounds(0, meta::unbounded));
    b.setOpposite(uses, usedBy);
  }

  package = b.build();
  meta::MetaRegistry::getInstance()->registerPackage(package);
}

const meta::Class& Metamodel::classOf(Kind k) const {
  switch (k) {
    case Kind::package:
      return packageClass;
    case Kind::cls:
      return classClass;
    case Kind::method:
      return methodClass;
    case Kind::statement:
      break;
  }
  return statementClass;
}

const char* kindName(Kind kind) {
  static const char* const names[kindCount] = {"java.Package", "java.Class", "java.Method", "java.Statement"};
  return names[static_cast<std::size_t>(kind)];
}

// ---------------------------------------------------------------- generator

namespace {

std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// splitmix64: fast, and the same sequence on every platform (unlike the
// standard distributions).
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t operator()() { return mix(state_ += 0x9e3779b97f4a7c15ULL); }
  std::uint32_t below(std::uint64_t bound) { return static_cast<std::uint32_t>((*this)() % bound); }
  // An ordinal below `bound` (at least 1), ordinal r drawn about 1/(r+1) as
  // often as 0 half of the time, uniformly otherwise (References::skewed).
  // Integer arithmetic only: the same draws on every platform.
  std::uint32_t skewedBelow(std::uint64_t bound) {
    const std::uint64_t r = (*this)();
    if ((r & 1) != 0) return static_cast<std::uint32_t>((r >> 1) % bound);
    // A bit length uniform up to the bound's, then an ordinal of that
    // length: [2^level - 1, 2^(level+1) - 1), cut at the bound.
    unsigned levels = 0;
    while (levels < 64 && (bound >> levels) != 0) ++levels;
    const unsigned level = static_cast<unsigned>(((r >> 1) & 0xffff) % levels);
    const std::uint64_t first = (std::uint64_t{1} << level) - 1;
    const std::uint64_t width = std::min(std::uint64_t{1} << level, bound - first);
    return static_cast<std::uint32_t>(first + (r >> 32) % width);
  }

 private:
  std::uint64_t state_;
};

void appendNumber(std::u16string& s, std::uint64_t n) {
  char16_t digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + n % 10);
    n /= 10;
  } while (n != 0);
  while (count > 0) s.push_back(digits[--count]);
}

const char16_t* const packageWords[] = {u"util", u"io", u"net", u"model", u"core", u"impl", u"spi", u"internal",
                                        u"service", u"api", u"data", u"r\u00e9seau"};
const char16_t* const nouns[] = {u"Order", u"Account", u"Stream", u"Buffer", u"Node", u"Parser", u"Session",
                                 u"Cache", u"Entry", u"Handler", u"Factory", u"Gr\u00f6\u00dfe", u"Channel",
                                 u"Record", u"Token", u"Schema"};
const char16_t* const verbs[] = {u"get", u"set", u"compute", u"find", u"update", u"create", u"remove", u"parse",
                                 u"write", u"read", u"validate", u"is"};
// Pieces of statement text; the last ones are not ASCII.
const char16_t* const tokens[] = {u"int ", u"value", u" = ", u"this.", u"count", u"(", u")", u"; ", u" + ",
                                  u"return ", u"if (", u" != null", u"list.get(i)", u"new ", u"Object", u"\"x\"",
                                  u"i++", u" < ", u"0", u"\"\u00e9t\u00e9\"", u"\"\u6570\u636e\""};

template <class T, std::size_t N>
constexpr std::size_t countOf(T (&)[N]) {
  return N;
}

constexpr int maxPackageDepth = 3;  // top-level packages are at depth 0

class Generator {
 public:
  Generator(std::size_t elements, std::uint64_t seed, const std::function<void(const Element&)>& sink,
            References references)
      : budget_(elements), skewed_(references == References::skewed), random_(mix(seed) ^ seed), sink_(sink) {}

  Counts run() {
    std::uint32_t topLevel = 0;
    while (!full()) package(0, nullptr, topLevel++);
    return counts_;
  }

 private:
  // Where an owner is, for the elements it owns.
  struct Owner {
    std::uint32_t index, ordinal;
  };

  bool full() const { return next_ == budget_; }

  // Fills in the element's identity and owner, hands it to the sink, and
  // returns it as the owner of what comes next.
  Owner emit(Kind kind, const Owner* owner, std::uint32_t position) {
    e_.kind = kind;
    e_.index = static_cast<std::uint32_t>(next_++);
    e_.ordinal = static_cast<std::uint32_t>(counts_.perKind[static_cast<std::size_t>(kind)]++);
    e_.owned = owner != nullptr;
    e_.ownerIndex = owner ? owner->index : 0;
    e_.ownerOrdinal = owner ? owner->ordinal : 0;
    e_.position = owner ? position : 0;
    sink_(e_);
    return Owner{e_.index, e_.ordinal};
  }

  void package(int depth, const Owner* owner, std::uint32_t position) {
    if (full()) return;
    e_.name = packageWords[random_.below(countOf(packageWords))];
    appendNumber(e_.name, counts_.perKind[static_cast<std::size_t>(Kind::package)]);
    const Owner self = emit(Kind::package, owner, position);
    const std::uint32_t classCount = 3 + random_.below(28);
    for (std::uint32_t i = 0; i < classCount && !full(); ++i) cls(self, i);
    const std::uint32_t subpackages = depth < maxPackageDepth ? random_.below(4) : 0;
    for (std::uint32_t i = 0; i < subpackages && !full(); ++i) package(depth + 1, &self, i);
  }

  void cls(const Owner& owner, std::uint32_t position) {
    const std::size_t earlier = counts_.perKind[static_cast<std::size_t>(Kind::cls)];
    e_.name = nouns[random_.below(countOf(nouns))];
    e_.name += nouns[random_.below(countOf(nouns))];
    appendNumber(e_.name, earlier);
    e_.isAbstract = random_.below(8) == 0;
    e_.sourceSize = static_cast<std::int64_t>(random_() >> 24);
    e_.superclass = earlier > 0 && random_.below(10) < 6 ? static_cast<std::int64_t>(target(earlier)) : -1;
    e_.implementsCount = pickDistinct(e_.implements, random_.below(maxImplements + 1), earlier);
    const Owner self = emit(Kind::cls, &owner, position);
    const std::uint32_t methodCount = 1 + random_.below(9);
    for (std::uint32_t i = 0; i < methodCount && !full(); ++i) method(self, i);
  }

  void method(const Owner& owner, std::uint32_t position) {
    e_.name = verbs[random_.below(countOf(verbs))];
    e_.name += nouns[random_.below(countOf(nouns))];
    const std::uint32_t v = random_.below(10);
    e_.visibility = v < 5 ? 0 : v < 6 ? 1 : v < 7 ? 2 : 3;
    // The owning class is made already: it may return its own type.
    const std::size_t classes = counts_.perKind[static_cast<std::size_t>(Kind::cls)];
    e_.returnType = random_.below(5) == 0 ? -1 : static_cast<std::int64_t>(target(classes));
    e_.callCount = pickDistinct(e_.calls, random_.below(maxCalls + 1),
                                counts_.perKind[static_cast<std::size_t>(Kind::method)]);
    e_.useCount = skewed_ ? pickDistinct(e_.uses, random_.below(maxUses + 1), classes) : 0;
    const Owner self = emit(Kind::method, &owner, position);
    const std::uint32_t statementCount = random_.below(9);
    std::int32_t line = 1 + static_cast<std::int32_t>(random_.below(4000));
    for (std::uint32_t i = 0; i < statementCount && !full(); ++i) {
      e_.name.clear();
      const std::size_t length = 8 + random_.below(64);
      while (e_.name.size() < length) e_.name += tokens[random_.below(countOf(tokens))];
      line += 1 + static_cast<std::int32_t>(random_.below(3));
      e_.line = line;
      e_.statementKind = static_cast<std::int32_t>(random_.below(5));
      emit(Kind::statement, &self, i);
    }
  }

  // A target's ordinal below `bound` (at least 1), in the shape asked for.
  std::uint32_t target(std::size_t bound) { return skewed_ ? random_.skewedBelow(bound) : random_.below(bound); }

  // Up to `wanted` distinct ordinals below `bound` into `out`; their number.
  // Every ordinal below the bound has a chance in either shape, so the
  // draws end.
  template <std::size_t N>
  std::uint32_t pickDistinct(std::uint32_t (&out)[N], std::uint32_t wanted, std::size_t bound) {
    std::uint32_t count = 0;
    if (bound < wanted) wanted = static_cast<std::uint32_t>(bound);
    while (count < wanted) {
      const std::uint32_t candidate = target(bound);
      bool taken = false;
      for (std::uint32_t i = 0; i < count; ++i) taken = taken || out[i] == candidate;
      if (!taken) out[count++] = candidate;
    }
    return count;
  }

  std::size_t budget_;
  bool skewed_;
  std::size_t next_ = 0;
  Random random_;
  const std::function<void(const Element&)>& sink_;
  Counts counts_;
  Element e_;
};

}  // namespace

Counts generate(std::size_t elements, std::uint64_t seed, const std::function<void(const Element&)>& sink,
                References references) {
  if (elements > 0xFFFFFFFFu) throw std::invalid_argument("java_model: at most 2^32 - 1 elements");
  return Generator(elements, seed, sink, references).run();
}

boost::uuids::uuid uuidOf(std::uint64_t seed, Kind kind, std::uint64_t ordinal) {
  // mix is a bijection: distinct (kind, ordinal) give distinct first halves
  // (ordinals stay below 2^56).
  const std::uint64_t key = (static_cast<std::uint64_t>(kind) << 56) ^ ordinal;
  const std::uint64_t high = mix(key ^ mix(seed));
  const std::uint64_t low = mix(high ^ seed);
  boost::uuids::uuid u{};
  for (int i = 0; i < 8; ++i) {
    u.data[i] = static_cast<std::uint8_t>(high >> (56 - 8 * i));
    u.data[8 + i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  }
  u.data[6] = static_cast<std::uint8_t>((u.data[6] & 0x0f) | 0x40);  // version 4
  u.data[8] = static_cast<std::uint8_t>((u.data[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return u;
}

// ---------------------------------------------------------------- the model

Counts addToModel(const qm::zero::Model& model, std::size_t elements, std::uint64_t seed, References references) {
  using qm::zero::ModelElement;
  using qm::zero::Value;
  using meta::StandardTypes;
  const Metamodel& mm = Metamodel::get(references);
  auto find = [&](Kind kind, std::uint64_t ordinal) {
    ModelElement found = model->findElement(uuidOf(seed, kind, ordinal));
    if (!found) throw std::logic_error("java_model: an element refers to one that was not made");
    return found;
  };
  return generate(elements, seed, [&](const Element& e) {
    ModelElement x = ModelElement::createReflective(model, mm.classOf(e.kind), uuidOf(seed, e.kind, e.ordinal));
    const meta::Property* collection = nullptr;
    switch (e.kind) {
      case Kind::package:
        x.set(mm.packageName, Value(StandardTypes::stringMeta(), e.name));
        collection = &mm.packages;
        break;
      case Kind::cls:
        x.set(mm.className, Value(StandardTypes::stringMeta(), e.name));
        x.set(mm.isAbstract, Value(StandardTypes::booleanMeta(), e.isAbstract));
        x.set(mm.sourceSize, Value(StandardTypes::integer64Meta(), e.sourceSize));
        if (e.superclass >= 0) x.set(mm.superclass, find(Kind::cls, static_cast<std::uint64_t>(e.superclass)));
        for (std::uint32_t i = 0; i < e.implementsCount; ++i) x.set(mm.implements, find(Kind::cls, e.implements[i]));
        collection = &mm.classes;
        break;
      case Kind::method:
        x.set(mm.methodName, Value(StandardTypes::stringMeta(), e.name));
        x.set(mm.methodVisibility, Value(mm.visibility, e.visibility));
        if (e.returnType >= 0) x.set(mm.returnType, find(Kind::cls, static_cast<std::uint64_t>(e.returnType)));
        for (std::uint32_t i = 0; i < e.callCount; ++i) x.set(mm.calls, find(Kind::method, e.calls[i]));
        for (std::uint32_t i = 0; i < e.useCount; ++i) x.set(mm.uses, find(Kind::cls, e.uses[i]));
        collection = &mm.methods;
        break;
      case Kind::statement:
        x.set(mm.text, Value(StandardTypes::stringMeta(), e.name));
        x.set(mm.line, Value(StandardTypes::integerMeta(), e.line));
        x.set(mm.kind, Value(mm.statementKind, e.statementKind));
        collection = &mm.statements;
        break;
    }
    if (e.owned) find(e.ownerKind(), e.ownerOrdinal).set(*collection, x);
  }, references);
}

}  // namespace java_model
