#pragma once
// A test metamodel with every kind of stored value, and random values of
// every kind, shared by the tests of writes and of queries.

#include <matrix/Array.hpp>
#include <qm/zero/Value.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <functional>
#include <memory>

namespace dstest {

namespace meta = qm::zero::meta;

/// Draws a number below its argument.
using Draw = std::function<std::size_t(std::size_t)>;

/// A value of `type` (a primitive type, an enumeration or a datatype), one
/// of a few of its kind, so that equal values are common. The edge cases
/// (extremes, text beyond ASCII, with a NUL or quotes, times before 1970 to
/// the microsecond, arrays) come only when not `plain`: plain values are
/// lower-case ASCII text and numbers that every back end orders and compares
/// as memory does. `array` keeps the array of a QxArray value alive.
qm::zero::Value randomValue(const meta::Type& type, const Draw& draw, std::shared_ptr<matrix::qxArray_tag>& array,
                            bool plain = false);

// Every kind of stored value, in the multiplicities the writes tell apart.
//   kinds.Base (abstract)   next: Holder [0..1] one way
//   kinds.Holder : Base     one property per primitive kind [0..1] (`l` and
//                           `shade` [1..1]), collections of values (some
//                           stored as text), one-way and composite
//                           references, a qualified collection
//   kinds.Special : Holder  nothing of its own
struct Kinds {
  meta::Class base, holder, special;
  meta::Enum colour;
  meta::DataType dims;
  meta::Property width, next, i, u, l, ul, r, s, ss, dt, id, flag, arr, small, map, size, colourProp, shade, colours,
      ints, reals, texts, flags, links, bag, keyed, parts, spare, notes, deferred, smalls, sizes, arrs, uints, longs,
      ulongs, stds, times, uuids;

  static const Kinds& get() {
    static const Kinds instance;
    return instance;
  }

 private:
  Kinds() {
    using meta::PropertyOptions;
    using meta::StandardTypes;
    const std::uint32_t many = meta::unbounded;
    meta::PackageBuilder b(u"kinds", u"http://example.com/kinds", u"3");
    base = b.addClass(u"Base", meta::Class(), true);
    holder = b.addClass(u"Holder", base);
    special = b.addClass(u"Special", holder);
    colour = b.addEnum(u"Colour", {{u"Red", 1}, {u"Green", 2}, {u"Blue", 4}});
    dims = b.addDataType(u"Dims");
    width = b.addProperty(dims, u"width", StandardTypes::realMeta());
    next = b.addProperty(base, u"next", holder);
    i = b.addProperty(holder, u"i", StandardTypes::integerMeta());
    u = b.addProperty(holder, u"u", StandardTypes::unlimitedNaturalMeta());
    l = b.addProperty(holder, u"l", StandardTypes::integer64Meta(), PropertyOptions().bounds(1, 1));
    ul = b.addProperty(holder, u"ul", StandardTypes::uinteger64Meta());
    r = b.addProperty(holder, u"r", StandardTypes::realMeta());
    s = b.addProperty(holder, u"s", StandardTypes::stringMeta());
    ss = b.addProperty(holder, u"ss", StandardTypes::stdstringMeta());
    dt = b.addProperty(holder, u"dt", StandardTypes::dateTimeMeta());
    id = b.addProperty(holder, u"id", StandardTypes::uuidMeta());
    flag = b.addProperty(holder, u"flag", StandardTypes::booleanMeta());
    arr = b.addProperty(holder, u"arr", StandardTypes::qxArrayMeta());
    small = b.addProperty(holder, u"small", StandardTypes::uinteger8Meta());
    map = b.addProperty(holder, u"map", StandardTypes::stringToStringMapMeta());
    size = b.addProperty(holder, u"size", dims, PropertyOptions().setStoredSerialized().setValueOptional());
    colourProp = b.addProperty(holder, u"colour", colour);
    shade = b.addProperty(holder, u"shade", colour, PropertyOptions().bounds(1, 1));
    colours =
        b.addProperty(holder, u"colours", colour, PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    ints = b.addProperty(holder, u"ints", StandardTypes::integerMeta(),
                         PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    reals = b.addProperty(holder, u"reals", StandardTypes::realMeta(), PropertyOptions().bounds(0, many));
    texts =
        b.addProperty(holder, u"texts", StandardTypes::stringMeta(), PropertyOptions().bounds(0, many).setOrdered());
    flags = b.addProperty(holder, u"flags", StandardTypes::booleanMeta(),
                          PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    links = b.addProperty(holder, u"links", holder, PropertyOptions().bounds(0, many).setOrdered());
    bag = b.addProperty(holder, u"bag", holder, PropertyOptions().bounds(0, many));
    keyed = b.addProperty(holder, u"keyed", holder, PropertyOptions().bounds(0, many).setOrdered());
    parts = b.addProperty(holder, u"parts", holder, PropertyOptions().bounds(0, many).setOrdered().setComposite());
    spare = b.addProperty(holder, u"spare", holder, PropertyOptions().setComposite());
    notes = b.addProperty(holder, u"notes", StandardTypes::stringMeta(), PropertyOptions().setNotStored());
    deferred = b.addProperty(holder, u"deferred", holder, PropertyOptions().bounds(0, many).setDeferredContents());
    // Collections of values stored as their text, and of arrays.
    smalls = b.addProperty(holder, u"smalls", StandardTypes::uinteger8Meta(),
                           PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    sizes = b.addProperty(holder, u"sizes", dims, PropertyOptions().bounds(0, many).setStoredSerialized());
    arrs = b.addProperty(holder, u"arrs", StandardTypes::qxArrayMeta(),
                         PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    // A collection of every other kind of column.
    uints = b.addProperty(holder, u"uints", StandardTypes::unlimitedNaturalMeta(), PropertyOptions().bounds(0, many));
    longs = b.addProperty(holder, u"longs", StandardTypes::integer64Meta(),
                          PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    ulongs = b.addProperty(holder, u"ulongs", StandardTypes::uinteger64Meta(), PropertyOptions().bounds(0, many));
    stds = b.addProperty(holder, u"stds", StandardTypes::stdstringMeta(),
                         PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
    times = b.addProperty(holder, u"times", StandardTypes::dateTimeMeta(), PropertyOptions().bounds(0, many));
    uuids = b.addProperty(holder, u"uuids", StandardTypes::uuidMeta(), PropertyOptions().bounds(0, many).setOrdered());
    b.setQualifiedBy(keyed, ss);
    meta::MetaRegistry::getInstance()->registerPackage(b.build());
  }
};

}  // namespace dstest
