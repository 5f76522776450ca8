#pragma once
// ObjectConstructor: creates many objects of one class from caller storage
// bound once.

#include <vlt/Object.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace vlt {

namespace detail {
// Gives a pointer to the canonical value of a bound source, converting
// through `scratch` when the source's type is not canonical; null for an
// absent value (a disengaged optional).
template <class T>
struct SourceTraits {
  using Traits = ScalarTraits<T>;
  static constexpr ValueType type = Traits::type;
  static const void* read(const void* source, void* scratch) {
    using Canonical = typename Traits::Canonical;
    if constexpr (std::is_same<T, Canonical>::value) {
      (void)scratch;
      return source;
    } else {
      static_assert(sizeof(Canonical) <= 16 && std::is_trivially_destructible<Canonical>::value, "scratch too small");
      return new (scratch) Canonical(*static_cast<const T*>(source));
    }
  }
};
template <class T>
struct SourceTraits<boost::optional<T>> {
  static constexpr ValueType type = SourceTraits<T>::type;
  static const void* read(const void* source, void* scratch) {
    const auto& optional = *static_cast<const boost::optional<T>*>(source);
    return optional ? SourceTraits<T>::read(&*optional, scratch) : nullptr;
  }
};
template <>
struct SourceTraits<matrix::qxArray_tag*> {
  static constexpr ValueType type = ValueType::qxarray;
  static const void* read(const void* source, void* scratch) {
    return new (scratch) const matrix::qxArray_tag*(*static_cast<matrix::qxArray_tag* const*>(source));
  }
};
template <>
struct SourceTraits<const matrix::qxArray_tag*> {
  static constexpr ValueType type = ValueType::qxarray;
  static const void* read(const void* source, void*) { return source; }
};
}  // namespace detail

/// Creates objects of one class. Bind caller storage once with
/// setPropertyValueSource and setCompositionMembershipSource; each
/// createObject reads the bound storage afresh. The storage must stay alive
/// (at the same address) while the constructor is used. The insert statements
/// are prepared once per constructor, so reusing one constructor for many
/// objects costs about what hand-written prepared INSERTs cost.
///
/// Not synchronised; usable while the repository it was made for is open.
class VLT_API ObjectConstructor {
 public:
  /// A constructor for objects of `cls`. Throws UsageError for a null class.
  explicit ObjectConstructor(const ClassRef& cls);
  ~ObjectConstructor();
  ObjectConstructor(const ObjectConstructor&) = delete;
  ObjectConstructor& operator=(const ObjectConstructor&) = delete;

  /// The id of the next object: one reserved with
  /// DataModelRepository::allocateObjectIds. Without it (or with 0) the
  /// repository picks a fresh id. Applies to the next createObject only.
  void setObjectID(ObjectId id) noexcept { nextId_ = id; }
  /// The uuid of the next object; without it (or with the nil uuid) a random
  /// one is made. Applies to the next createObject only.
  void setObjectUUID(const boost::uuids::uuid& uuid) noexcept { nextUuid_ = uuid; }

  /// Binds `source` as the value of the single-valued, non-composite
  /// `property` (of the class or a superclass). `T` is a single or
  /// boost::optional type of the table in Object.hpp (bool, EnumeralRef,
  /// ObjectRef and matrix::qxArray_tag* included); a disengaged optional, a
  /// null handle or a null array stores absent. Binding the property again
  /// replaces the source. Throws UsageError for a property of another class,
  /// a multi-valued or composite property, or a type mismatch.
  template <class T>
  void setPropertyValueSource(const PropertyRef& property, const T* source) {
    bindSource(property, detail::SourceTraits<T>::type, source, &detail::SourceTraits<T>::read);
  }

  /// Binds the composite membership of the next objects: when `*property` is
  /// not null at createObject, the object is created owned by the object
  /// `*ownerId` through `*property` (a composite property of the owner's
  /// class), at position `*ordinal`. The owner may be created later (a
  /// pre-allocated id). Null pointers unbind.
  void setCompositionMembershipSource(const PropertyRef* property, const std::int32_t* ownerId,
                                      const std::int32_t* ordinal) noexcept {
    membershipProperty_ = property;
    membershipOwner_ = ownerId;
    membershipOrdinal_ = ordinal;
  }

  /// Creates one object in `dataModel` from the bound storage and returns it
  /// (the handle carries this constructor's class). Throws ConstraintError
  /// when the id or uuid is taken, UsageError for a closed repository or a
  /// class retired by a rollback; nothing of the object remains then.
  ObjectRef createObject(const DataModelRef& dataModel);

  const ClassRef& objectClass() const noexcept { return class_; }

 private:
  using SourceReader = const void* (*)(const void* source, void* scratch);
  void bindSource(const PropertyRef& property, ValueType type, const void* source, SourceReader reader);

  struct State;
  ClassRef class_;
  ObjectId nextId_ = 0;
  boost::uuids::uuid nextUuid_{};
  const PropertyRef* membershipProperty_ = nullptr;
  const std::int32_t* membershipOwner_ = nullptr;
  const std::int32_t* membershipOrdinal_ = nullptr;
  std::unique_ptr<State> state_;
};

}  // namespace vlt
