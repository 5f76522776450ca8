// The value-type table and the codec of each canonical type.

#include "ValueTraits.hpp"

#include "Database.hpp"
#include "HandleAccess.hpp"

#include <vlt/Errors.hpp>

#include <matrix/Array.hpp>

#include <fl/i18n/Unicode.hpp>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstring>
#include <limits>
#include <type_traits>

namespace vlt::detail {
namespace {

using sql::StoredForm;
using boost::posix_time::ptime;

// DateTime is stored as microseconds since 1970-01-01; the special values
// take the ends of the range, so that they order as their meaning says.
const ptime epoch(boost::gregorian::date(1970, 1, 1));
constexpr std::int64_t storedNegInfinity = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t storedPosInfinity = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t storedNotADateTime = std::numeric_limits<std::int64_t>::max() - 1;

// uint64 is stored in a signed 64-bit column with its top bit flipped, so
// that stored order is the numbers' order (values of 2^63 and above too).
constexpr std::uint64_t topBit = 0x8000000000000000u;

std::string rawKey(const void* data, std::size_t size) { return std::string(static_cast<const char*>(data), size); }

// Codec<T>: how the canonical type T is bound, read and compared. `Read` is
// the type reads produce (the same but for arrays, whose reads give the
// caller a new array).
template <class T>
struct Codec;

template <class T, StoredForm F>
struct IntegerCodec {
  using Read = T;
  static constexpr StoredForm form = F;
  static void bind(sql::Statement& s, int i, const T& v, const ValueSite&) { s.bindInt64(i, static_cast<std::int64_t>(v)); }
  static void read(const Cell& c, T& out, const ValueSite&) { out = static_cast<T>(c.integer); }
  static std::string key(const T& v) { return std::to_string(v); }
};
template <>
struct Codec<std::int32_t> : IntegerCodec<std::int32_t, StoredForm::integer> {};
template <>
struct Codec<std::uint32_t> : IntegerCodec<std::uint32_t, StoredForm::integer> {};
template <>
struct Codec<std::int64_t> : IntegerCodec<std::int64_t, StoredForm::integer> {};

template <>
struct Codec<std::uint64_t> {
  using Read = std::uint64_t;
  static constexpr StoredForm form = StoredForm::integer;
  static void bind(sql::Statement& s, int i, const std::uint64_t& v, const ValueSite&) {
    s.bindInt64(i, static_cast<std::int64_t>(v ^ topBit));
  }
  static void read(const Cell& c, std::uint64_t& out, const ValueSite&) { out = static_cast<std::uint64_t>(c.integer) ^ topBit; }
  static std::string key(const std::uint64_t& v) { return std::to_string(v); }
};

template <>
struct Codec<double> {
  using Read = double;
  static constexpr StoredForm form = StoredForm::real;
  static void bind(sql::Statement& s, int i, const double& v, const ValueSite&) { s.bindDouble(i, v); }
  static void read(const Cell& c, double& out, const ValueSite&) { out = c.real; }
  static std::string key(const double& v) { return rawKey(&v, sizeof v); }
};

// Text is stored as WTF-8: plain UTF-8 for valid text (SQL compares and
// orders it), and the three-byte form of an unpaired surrogate's code unit,
// so that every UTF-16 string round-trips exactly.
template <>
struct Codec<std::u16string> {
  using Read = std::u16string;
  static constexpr StoredForm form = StoredForm::text;
  static void bind(sql::Statement& s, int i, const std::u16string& v, const ValueSite&) {
    s.bindText(i, fl::i18n::ustring_to_wtf8(v));
  }
  static void read(const Cell& c, std::u16string& out, const ValueSite&) { out = fl::i18n::wtf8_to_ustring(c.bytes); }
  static std::string key(const std::u16string& v) { return fl::i18n::ustring_to_wtf8(v); }
};

template <>
struct Codec<std::string> {
  using Read = std::string;
  static constexpr StoredForm form = StoredForm::text;
  static void bind(sql::Statement& s, int i, const std::string& v, const ValueSite&) { s.bindText(i, v); }
  static void read(const Cell& c, std::string& out, const ValueSite&) { out = c.bytes; }
  static std::string key(const std::string& v) { return v; }
};

template <>
struct Codec<ptime> {
  using Read = ptime;
  static constexpr StoredForm form = StoredForm::integer;
  static std::int64_t stored(const ptime& t) {
    if (t.is_neg_infinity()) return storedNegInfinity;
    if (t.is_pos_infinity()) return storedPosInfinity;
    if (t.is_not_a_date_time()) return storedNotADateTime;
    return (t - epoch).total_microseconds();
  }
  static void bind(sql::Statement& s, int i, const ptime& v, const ValueSite&) { s.bindInt64(i, stored(v)); }
  static void read(const Cell& c, ptime& out, const ValueSite& site) {
    // The dates a ptime can hold: a stored number beyond them is damage.
    static const std::int64_t earliest =
        (ptime(boost::gregorian::date(1400, 1, 1)) - epoch).total_microseconds();
    static const std::int64_t latest =
        (ptime(boost::gregorian::date(9999, 12, 31), boost::posix_time::hours(24)) - epoch).total_microseconds() - 1;
    const bool special = c.integer == storedNegInfinity || c.integer == storedPosInfinity ||
                         c.integer == storedNotADateTime;
    if (!special && (c.integer < earliest || c.integer > latest)) {
      throw StorageError("a stored DateTime is out of the range of dates (" + std::to_string(c.integer) + ")",
                         site.database.filespec());
    }
    if (c.integer == storedNegInfinity) {
      out = ptime(boost::posix_time::neg_infin);
    } else if (c.integer == storedPosInfinity) {
      out = ptime(boost::posix_time::pos_infin);
    } else if (c.integer == storedNotADateTime) {
      out = ptime(boost::posix_time::not_a_date_time);
    } else {
      out = epoch + boost::posix_time::microseconds(c.integer);
    }
  }
  static std::string key(const ptime& v) { return std::to_string(stored(v)); }
};

template <>
struct Codec<boost::uuids::uuid> {
  using Read = boost::uuids::uuid;
  static constexpr StoredForm form = StoredForm::bytes;
  static void bind(sql::Statement& s, int i, const boost::uuids::uuid& v, const ValueSite&) { s.bindBlob(i, v.data, 16); }
  static void read(const Cell& c, boost::uuids::uuid& out, const ValueSite& site) {
    if (c.bytes.size() != 16) throw StorageError("a stored uuid does not have 16 bytes", site.database.filespec());
    std::memcpy(out.data, c.bytes.data(), 16);
  }
  static std::string key(const boost::uuids::uuid& v) { return rawKey(v.data, 16); }
};

template <>
struct Codec<Boolean> {
  using Read = Boolean;
  static constexpr StoredForm form = StoredForm::integer;
  static void bind(sql::Statement& s, int i, const Boolean& v, const ValueSite&) { s.bindInt64(i, v.value); }
  static void read(const Cell& c, Boolean& out, const ValueSite&) {
    out = Boolean::fromByte(static_cast<std::uint8_t>(c.integer));
  }
  static std::string key(const Boolean& v) { return std::to_string(v.value); }
};

// Arrays are written from a borrowed array; reads give the caller a new one.
template <>
struct Codec<const matrix::qxArray_tag*> {
  using Read = matrix::qxArray_tag*;
  static constexpr StoredForm form = StoredForm::bytes;
  static void bind(sql::Statement& s, int i, const matrix::qxArray_tag* const& v, const ValueSite&) {
    if (v == nullptr) return s.bindNull(i);
    const std::string bytes = matrix::serializeArray(v);
    s.bindBlob(i, bytes.data(), bytes.size());
  }
  static void read(const Cell& c, matrix::qxArray_tag*& out, const ValueSite& site) {
    try {
      out = matrix::deserializeArray(c.bytes);
    } catch (const std::exception& e) {
      throw StorageError(std::string("a stored array cannot be read: ") + e.what(), site.database.filespec());
    }
  }
  static std::string key(const matrix::qxArray_tag* const& v) { return v ? matrix::serializeArray(v) : std::string(); }
};

template <>
struct Codec<EnumeralRef> {
  using Read = EnumeralRef;
  static constexpr StoredForm form = StoredForm::integer;
  static void bind(sql::Statement& s, int i, const EnumeralRef& v, const ValueSite& site) {
    if (v.isNull()) return s.bindNull(i);
    const PropertyInfo* p = site.property;
    if (p != nullptr && p->typeEnumeration != nullptr && HandleAccess::enumerationOf(v) != p->typeEnumeration) {
      site.database.usage("an enumeral of \"" + v.enumeration().qualifiedName() + "\" was given for the property \"" +
                          p->name + "\" of type \"" + p->typeName + "\"");
    }
    s.bindInt64(i, v.id());
  }
  // A value that is no literal of the enumeration (any more) reads as null.
  static void read(const Cell& c, EnumeralRef& out, const ValueSite& site) {
    out = EnumeralRef();
    const EnumerationInfo* e = site.property ? site.property->typeEnumeration : nullptr;
    if (e == nullptr) return;
    for (std::size_t k = 0; k < e->literals.size(); ++k) {
      if (e->literals[k].value == c.integer) {
        out = site.handles.enumeralRef(e, k);
        return;
      }
    }
  }
  static std::string key(const EnumeralRef& v) { return std::to_string(v.id()); }
};

template <>
struct Codec<ObjectRef> {
  using Read = ObjectRef;
  static constexpr StoredForm form = StoredForm::integer;
  static void bind(sql::Statement& s, int i, const ObjectRef& v, const ValueSite& site) {
    if (v.isNull()) return s.bindNull(i);
    if (!site.handles.ours(v)) site.database.usage("an object of another repository was given");
    const PropertyInfo* p = site.property;
    const ClassInfo* c = HandleAccess::classOf(v);
    if (p != nullptr && p->typeClass != nullptr && c != nullptr && !c->conformsTo(p->typeClass)) {
      site.database.usage("an object of class \"" + c->qualifiedName + "\" was given for the property \"" + p->name +
                          "\" of type \"" + p->typeName + "\"");
    }
    // The target's existence is checked with the others a transaction
    // wrote, before its commit (WrittenLinks): here it would cost a lookup
    // per link.
    s.bindInt64(i, v.objectId());
  }
  static void read(const Cell& c, ObjectRef& out, const ValueSite& site) {
    out = site.handles.objectRef(site.property ? site.property->typeClass : nullptr, static_cast<ObjectId>(c.integer));
  }
  static std::string key(const ObjectRef& v) { return std::to_string(v.objectId()); }
};

// The type-erased entry points of the table, one instantiation per type.
template <class T>
void bindValue(sql::Statement& s, int index, const void* value, const ValueSite& site) {
  Codec<T>::bind(s, index, *static_cast<const T*>(value), site);
}
template <class T>
void readValue(const Cell& cell, void* out, const ValueSite& site) {
  Codec<T>::read(cell, *static_cast<typename Codec<T>::Read*>(out), site);
}
template <class T>
void withValueOf(const Cell& cell, const ValueSite& site, void (*use)(const void*, void*), void* context) {
  typename Codec<T>::Read value{};
  Codec<T>::read(cell, value, site);
  if constexpr (std::is_pointer<typename Codec<T>::Read>::value) {
    const matrix::ArrayPtr owned(value);  // the array read is the reader's, for the call only
    use(&value, context);
  } else {
    use(&value, context);
  }
}
template <class T>
void appendValue(const Cell& cell, void* vector, const ValueSite& site) {
  typename Codec<T>::Read value{};
  Codec<T>::read(cell, value, site);
  static_cast<std::vector<typename Codec<T>::Read>*>(vector)->push_back(std::move(value));
}
template <class T>
bool absentValue(const void* value) {
  if constexpr (std::is_same<T, EnumeralRef>::value || std::is_same<T, ObjectRef>::value) {
    return static_cast<const T*>(value)->isNull();
  } else if constexpr (std::is_pointer<T>::value) {
    return *static_cast<const T*>(value) == nullptr;
  } else {
    return false;
  }
}
template <class T>
std::string keyOf(const void* value) {
  return Codec<T>::key(*static_cast<const T*>(value));
}
template <class T>
std::size_t countOf(const void* vector) {
  return static_cast<const std::vector<T>*>(vector)->size();
}
template <class T>
const void* elementOf(const void* vector, std::size_t index) {
  return &(*static_cast<const std::vector<T>*>(vector))[index];
}

template <ValueType V, class T>
constexpr ValueTraits entry(const char* name) {
  return ValueTraits{V,           name,     Codec<T>::form, &bindValue<T>, &readValue<T>, &withValueOf<T>,
                     &appendValue<T>, &absentValue<T>, &keyOf<T>,   &countOf<T>,   &elementOf<T>};
}

// In the order of ValueType.
constexpr ValueTraits table[] = {
    entry<ValueType::int32, std::int32_t>("int32"),
    entry<ValueType::uint32, std::uint32_t>("uint32"),
    entry<ValueType::int64, std::int64_t>("int64"),
    entry<ValueType::uint64, std::uint64_t>("uint64"),
    entry<ValueType::real64, double>("real64"),
    entry<ValueType::ustring, std::u16string>("ustring"),
    entry<ValueType::string, std::string>("string"),
    entry<ValueType::dateTime, ptime>("DateTime"),
    entry<ValueType::uuid, boost::uuids::uuid>("UUID"),
    entry<ValueType::boolean, Boolean>("bool"),
    entry<ValueType::qxarray, const matrix::qxArray_tag*>("qxarray"),
    entry<ValueType::enumeral, EnumeralRef>(""),
    entry<ValueType::object, ObjectRef>(""),
};

constexpr bool inEnumOrder() {
  for (std::size_t i = 0; i < sizeof table / sizeof table[0]; ++i) {
    if (static_cast<std::size_t>(table[i].type) != i) return false;
  }
  return true;
}
static_assert(inEnumOrder(), "the table follows the order of ValueType");
static_assert(sizeof table / sizeof table[0] == static_cast<std::size_t>(ValueType::object) + 1,
              "every value type has an entry");

}  // namespace

void capture(sql::Statement& statement, int column, sql::StoredForm form, Cell& cell) {
  cell.null = statement.columnIsNull(column);
  if (cell.null) {
    // A reused cell reads as a new one (its buffer stays).
    cell.integer = 0;
    cell.real = 0;
    cell.bytes.clear();
    return;
  }
  switch (form) {
    case StoredForm::integer: cell.integer = statement.columnInt64(column); break;
    case StoredForm::real: cell.real = statement.columnDouble(column); break;
    case StoredForm::text: cell.bytes.assign(statement.columnText(column)); break;
    case StoredForm::bytes: cell.bytes.assign(statement.columnBlob(column)); break;
  }
}

const ValueTraits& traitsOf(ValueType type) noexcept { return table[static_cast<std::size_t>(type)]; }

bool builtinType(const std::string& name, ValueType& type) noexcept {
  for (const ValueTraits& t : table) {
    if (*t.name != '\0' && name == t.name) {
      type = t.type;
      return true;
    }
  }
  return false;
}

}  // namespace vlt::detail

namespace vlt {
const char* builtinTypeName(ValueType type) noexcept {
  return static_cast<std::size_t>(type) <= static_cast<std::size_t>(ValueType::object) ? detail::traitsOf(type).name : "";
}
}  // namespace vlt
