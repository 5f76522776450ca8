#pragma once
// ObjectQuery: a query over the objects of a repository, compiled to one SQL
// statement.
//
// A query names its objects by class index (0, 1, ...): each index stands for
// one object of a row, of a search class given with addSearchClass (or, for
// an index that has none, of the class the first constraint or result on it
// names: the class given, or the owning class of the property given, with
// subclasses). Constraints on the indexes are ANDed, the members of a
// DisjunctionMatchConstraint ORed. Results are bound to caller storage:
// execute() runs the statement, and each ResultIterator::getNextResult()
// writes the next row into the bound cells.
//
// Cells are bound by address: constraint cells are read afresh at each
// execute(), so refilling a cell and executing again gives the new answer
// without compiling again; result cells are written by getNextResult(). Both
// must stay alive, at their address, while the query is used. Class arguments
// (search classes, sub-object classes) are copied when added.
//
// Value cell types (plain or boost::optional, for constraints and results):
// std::int32_t, std::uint32_t, std::int64_t, std::uint64_t (any 32- or 64-bit
// integer type), std::uint8_t (for any integer property, when the value fits),
// double, bool and vlt::Boolean, std::u16string, std::string,
// boost::posix_time::ptime, boost::uuids::uuid, vlt::EnumeralRef; and
// vlt::ObjectRef (plain) for objects and references. A cell must fit the
// property's value type; a disengaged optional (or a null handle) is absent.
//
// Relations (PVMR_wrapper::PropertyValueMatchRelation):
//
// | code | relation | holds when |
// |---|---|---|
// | 0 | equal | the value equals the cell |
// | 1 | contains | a string value contains the cell's text; for a collection: the value is an entry |
// | 2 | notEqual | the value differs from the cell |
// | 3-6 | less, lessOrEqual, greater, greaterOrEqual | the value compares so with the cell |
// | 7, 8 | startsWith, endsWith | a string value starts / ends with the cell's text |
// | 9 | matches | a string value matches the cell's pattern: `*` any run, `?` any one character |
// | 10 | equalOrBothAbsent | as 0, and also when both are absent |
// | 11 | notEqualOrOneAbsent | as 2, and also when exactly one is absent |
//
// An absent value (or an absent cell) never satisfies 0 to 9. Unsigned
// values compare as unsigned, strings by code point (ustring) or byte
// (string), times with the special values at the ends (not_a_date_time just
// below +infinity). A constraint on a collection holds when some entry
// satisfies it.
//
// Not synchronised: use a query with its repository, from one thread at a
// time. A query may outlive the repository's close (it then refuses to
// execute) and survives a rollback (it compiles again).

#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>
#include <vlt/Types.hpp>

#include <boost/date_time/posix_time/ptime.hpp>
#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace vlt {

/// The relations of a value constraint (see the table above).
struct VLT_API PVMR_wrapper {
  enum PropertyValueMatchRelation : int {
    equal = 0,
    contains = 1,
    notEqual = 2,
    less = 3,
    lessOrEqual = 4,
    greater = 5,
    greaterOrEqual = 6,
    startsWith = 7,
    endsWith = 8,
    matches = 9,
    equalOrBothAbsent = 10,
    notEqualOrOneAbsent = 11,
  };
};

enum SortOrder : int { ascending = 0, descending = 1 };

/// Which objects a search class stands for.
enum SearchClassMatchMode : int {
  exactClass = 0,          ///< objects of the class itself
  classAndSubclasses = 1,  ///< objects of the class and of every subclass (resolved at each execute)
};

namespace detail {
struct QueryState;
struct DisjunctionState;
struct QueryResults;

/// A caller's cell, type-erased: the value type it holds and how to read and
/// write it as the canonical type of a property's value type (Object.hpp).
struct QueryCell {
  ValueType type = ValueType::int32;
  bool optional = false;
  bool anyInteger = false;  ///< a std::uint8_t cell: fits every integer property
  void* address = nullptr;
  /// The canonical value of `property` type held by the cell, null when
  /// absent; converts through `scratch` (16 bytes) when needed.
  const void* (*read)(const void* cell, ValueType property, void* scratch) = nullptr;
  /// Stores a canonical value of `property` type (null: absent). Throws
  /// UsageError when the value does not fit the cell.
  void (*write)(void* cell, ValueType property, const void* canonical) = nullptr;
};

template <class T, class Enable = void>
struct QueryCellTraits;
}  // namespace detail

/// Members ORed together; added to a query as one constraint.
class VLT_API DisjunctionMatchConstraint {
 public:
  DisjunctionMatchConstraint();
  ~DisjunctionMatchConstraint();
  DisjunctionMatchConstraint(const DisjunctionMatchConstraint&);
  DisjunctionMatchConstraint& operator=(const DisjunctionMatchConstraint&);

  /// A value constraint: `property` of the object at `index` in `relation`
  /// to `*cell`. Checked when the disjunction is added to a query.
  template <class T>
  void addConstraint(const PropertyRef& property, PVMR_wrapper::PropertyValueMatchRelation relation, const T* cell,
                     std::size_t index) {
    addValue(property, relation, detail::QueryCellTraits<T>::of(const_cast<T*>(cell)), index);
  }
  /// An enumeration constraint: the value is (`positive`) or is not the
  /// enumeral in `*cell`; an absent cell stands for an absent value.
  void addConstraint(const PropertyRef& property, bool positive, const EnumeralRef* cell, std::size_t index);
  void addConstraint(const PropertyRef& property, bool positive, const boost::optional<EnumeralRef>* cell,
                     std::size_t index);

 private:
  friend class ObjectQuery;
  void addValue(const PropertyRef& property, int relation, const detail::QueryCell& cell, std::size_t index);
  std::shared_ptr<detail::DisjunctionState> state_;
};

class VLT_API ObjectQuery {
 public:
  /// The rows of one execute(); copies share them.
  class VLT_API ResultIterator {
   public:
    ResultIterator();
    ~ResultIterator();
    ResultIterator(const ResultIterator&);
    ResultIterator& operator=(const ResultIterator&);
    /// Writes the next row into the query's result cells; false (cells
    /// untouched) when there is none.
    bool getNextResult();
    /// Drops the rows not read yet.
    void clear() noexcept;

   private:
    friend class ObjectQuery;
    std::shared_ptr<detail::QueryResults> results_;
  };

  /// A query on the objects of `repository`, which must be open. Throws
  /// UsageError.
  explicit ObjectQuery(const DataModelRepository& repository);
  ~ObjectQuery();
  ObjectQuery(const ObjectQuery&) = delete;
  ObjectQuery& operator=(const ObjectQuery&) = delete;

  /// Makes `cls` the class of index `index`. Throws UsageError for a null
  /// class, a class of another repository, or an index that has a class.
  void addSearchClass(const ClassRef& cls, std::size_t index, SearchClassMatchMode mode);
  /// Leaves the objects of `cls` and of its subclasses out of index `index`:
  /// for a class with subclasses that stands for more than the caller means
  /// (bookkeeping objects under a common root class). Throws UsageError as
  /// addSearchClass.
  void excludeClass(const ClassRef& cls, std::size_t index);

  /// A value constraint: `property` of the object at `index` in `relation`
  /// to `*cell`. Throws UsageError when the property does not belong to the
  /// index's class, the cell does not fit its type, or the relation cannot
  /// apply to it (1, 7, 8 and 9 are for strings and collections).
  template <class T>
  void addConstraint(const PropertyRef& property, PVMR_wrapper::PropertyValueMatchRelation relation, const T* cell,
                     std::size_t index) {
    addValue(property, relation, detail::QueryCellTraits<T>::of(const_cast<T*>(cell)), index);
  }
  /// A property relation: `property1` of the object at `index1` in
  /// `relation` (0, 2 to 6, 10, 11) to `property2` of the object at `index2`;
  /// both single-valued, of one value type.
  void addConstraint(const PropertyRef& property1, PVMR_wrapper::PropertyValueMatchRelation relation,
                     const PropertyRef& property2, std::size_t index1, std::size_t index2);
  /// An enumeration constraint (see DisjunctionMatchConstraint).
  void addConstraint(const PropertyRef& property, bool positive, const EnumeralRef* cell, std::size_t index);
  void addConstraint(const PropertyRef& property, bool positive, const boost::optional<EnumeralRef>* cell,
                     std::size_t index);
  /// The members of `disjunction` (as they are now), ORed.
  void addConstraint(const DisjunctionMatchConstraint& disjunction);

  /// The object at `index` (of class `cls`) is `*object`; a null handle
  /// matches nothing.
  void addObjectConstraint(const ClassRef& cls, const ObjectRef* object, std::size_t index);
  /// The object at `index` (of class `cls`) is one of `*objects`, as they are
  /// at each execute: at most maxObjectsAmong of them (UsageError beyond;
  /// none matches nothing, a null handle matches nothing). One prepared
  /// statement serves every number of them, so that a caller reading for many
  /// objects runs a query per chunk of them rather than one per object.
  static constexpr std::size_t maxObjectsAmong = 256;
  void addObjectConstraint(const ClassRef& cls, const std::vector<ObjectRef>* objects, std::size_t index);
  /// The reference `property` (single or multi-valued, composite or not) of
  /// the object at `index` holds (`positive`) or does not hold `*object`. A
  /// null `*object` stands for "no reference": positive holds for none,
  /// negative for some.
  void addObjectConstraint(const PropertyRef& property, bool positive, const ObjectRef* object, std::size_t index);
  /// The object at `subIndex` is owned by the object at `ownerIndex` through
  /// the composite `property`; its class is `*subClass` (copied), with
  /// subclasses.
  void addSubObjectConstraint(const PropertyRef& property, const ClassRef* subClass, std::size_t ownerIndex,
                              std::size_t subIndex);
  /// The object at `index` (of class `cls`) has no owner.
  void addIsTopLevelObjectConstraint(const ClassRef& cls, std::size_t index);

  /// Results: the object at `index` (its handle carries its own class); a
  /// single-valued property of it; the number of rows (with limit and
  /// offset, without the other results).
  void addResultObject(const ClassRef& cls, ObjectRef* object, std::size_t index);
  template <class T>
  void addResultProperty(const PropertyRef& property, T* cell, std::size_t index) {
    addResult(property, detail::QueryCellTraits<T>::of(cell), index);
  }
  void addResultCount(std::int32_t* count);

  /// Orderings, applied in the order they were set. `absentLast` puts
  /// objects without a value last in either order (else an absent value
  /// sorts below every value).
  void setOrderByProperty(const PropertyRef& property, SortOrder order, bool absentLast, std::size_t index);
  void setOrderByObjectID(const ClassRef& cls, SortOrder order, std::size_t index);
  /// By the position of the object at `index` in the collection `property`
  /// of its owner (for a link collection: its first position in any).
  void setOrderByCollectionOrdinal(const PropertyRef& property, SortOrder order, std::size_t index);
  /// At most `limit` rows, after skipping `offset`; 0 to 2^31 - 1, else
  /// UsageError.
  void setLimit(std::uint64_t limit);
  void setOffset(std::uint64_t offset);

  /// Runs the query: the cells are read now, the rows are all fetched, the
  /// statement is reset. Throws UsageError for a query without results or
  /// with an index without a class, or when the repository was closed.
  ResultIterator execute();

  /// Forgets everything that was added and set.
  void clear();
  /// Forgets the results only.
  void resetResults();

 private:
  void addValue(const PropertyRef& property, int relation, const detail::QueryCell& cell, std::size_t index);
  void addResult(const PropertyRef& property, const detail::QueryCell& cell, std::size_t index);
  std::unique_ptr<detail::QueryState> state_;
};

namespace detail {

// A cell of the canonical type C, or of T converted to and from it.
template <class T, class C, ValueType V>
struct PlainCell {
  static const void* read(const void* cell, ValueType, void* scratch) {
    if constexpr (std::is_same<T, C>::value) {
      (void)scratch;
      return cell;
    } else {
      return new (scratch) C(*static_cast<const T*>(cell));
    }
  }
  static void write(void* cell, ValueType, const void* canonical) {
    *static_cast<T*>(cell) = canonical ? T(*static_cast<const C*>(canonical)) : T();
  }
  static QueryCell of(T* cell) { return QueryCell{V, false, false, cell, &read, &write}; }
};

template <class T>
struct QueryCellTraits<T, std::enable_if_t<std::is_integral<T>::value && !std::is_same<T, bool>::value &&
                                           (sizeof(T) == 4 || sizeof(T) == 8)>>
    : PlainCell<T, typename ScalarTraits<T>::Canonical, ScalarTraits<T>::type> {};
template <>
struct QueryCellTraits<double> : PlainCell<double, double, ValueType::real64> {};
template <>
struct QueryCellTraits<std::u16string> : PlainCell<std::u16string, std::u16string, ValueType::ustring> {};
template <>
struct QueryCellTraits<std::string> : PlainCell<std::string, std::string, ValueType::string> {};
template <>
struct QueryCellTraits<boost::posix_time::ptime>
    : PlainCell<boost::posix_time::ptime, boost::posix_time::ptime, ValueType::dateTime> {};
template <>
struct QueryCellTraits<boost::uuids::uuid> : PlainCell<boost::uuids::uuid, boost::uuids::uuid, ValueType::uuid> {};
template <>
struct QueryCellTraits<Boolean> : PlainCell<Boolean, Boolean, ValueType::boolean> {};
template <>
struct QueryCellTraits<bool> : PlainCell<bool, Boolean, ValueType::boolean> {};
template <>
struct QueryCellTraits<EnumeralRef> : PlainCell<EnumeralRef, EnumeralRef, ValueType::enumeral> {
  static const void* read(const void* cell, ValueType, void*) {
    return static_cast<const EnumeralRef*>(cell)->isNull() ? nullptr : cell;
  }
  static QueryCell of(EnumeralRef* cell) { return QueryCell{ValueType::enumeral, true, false, cell, &read, &write}; }
};
template <>
struct QueryCellTraits<ObjectRef> : PlainCell<ObjectRef, ObjectRef, ValueType::object> {
  static const void* read(const void* cell, ValueType, void*) {
    return static_cast<const ObjectRef*>(cell)->isNull() ? nullptr : cell;
  }
  static QueryCell of(ObjectRef* cell) { return QueryCell{ValueType::object, true, false, cell, &read, &write}; }
};

/// A std::uint8_t cell: read as, and written from, any integer value type.
VLT_API const void* readSmallInteger(const void* cell, ValueType property, void* scratch);
VLT_API void writeSmallInteger(void* cell, ValueType property, const void* canonical);
template <>
struct QueryCellTraits<std::uint8_t> {
  static QueryCell of(std::uint8_t* cell) {
    return QueryCell{ValueType::int32, false, true, cell, &readSmallInteger, &writeSmallInteger};
  }
};

template <class T>
struct QueryCellTraits<boost::optional<T>> {
  static const void* read(const void* cell, ValueType property, void* scratch) {
    const auto& optional = *static_cast<const boost::optional<T>*>(cell);
    return optional ? QueryCellTraits<T>::of(const_cast<T*>(&*optional)).read(&*optional, property, scratch)
                    : nullptr;
  }
  static void write(void* cell, ValueType property, const void* canonical) {
    auto& optional = *static_cast<boost::optional<T>*>(cell);
    if (canonical == nullptr) {
      optional = boost::none;
      return;
    }
    T value{};
    QueryCellTraits<T>::of(&value).write(&value, property, canonical);
    optional = std::move(value);
  }
  static QueryCell of(boost::optional<T>* cell) {
    const QueryCell inner = QueryCellTraits<T>::of(nullptr);
    return QueryCell{inner.type, true, inner.anyInteger, cell, &read, &write};
  }
};

}  // namespace detail
}  // namespace vlt
