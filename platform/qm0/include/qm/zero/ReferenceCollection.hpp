#pragma once

#include <qm/zero/Value.hpp>

#include <cstddef>
#include <vector>

namespace qm::zero {

/// A collection owned by one property of one element. A small handle: it
/// names the collection, the element holds the contents.
class QM0_API AbstractOwnedCollection {
 public:
  const ModelElement& getOwner() const noexcept { return owner_; }
  const meta::Property& getCollectionProperty() const noexcept { return property_; }

 protected:
  AbstractOwnedCollection(const ModelElement& owner, const meta::Property& property)
      : owner_(owner), property_(property) {}
  ~AbstractOwnedCollection() = default;

 private:
  ModelElement owner_;
  meta::Property property_;
};

/// The contents of a multi-valued reference property of an element. A
/// property with the deferred-contents flag starts unloaded in an element a
/// data source loads: its contents come from the data source when a host
/// first reads or edits it (DataSource::loadCollectionContents), and a
/// host's `isSet` asks DataSource::hasCollectionContents instead of loading.
/// The data source fills it with ActiveDataSource::propagateDataSourceValuesToMemory
/// on the owner and property, which marks it loaded (so does any whole-value
/// set). Collections of elements made any other way are loaded from the
/// start. Not thread-safe.
class QM0_API ReferenceCollection : public AbstractOwnedCollection {
 public:
  /// Throws std::invalid_argument unless `property` is a multi-valued
  /// reference of `owner`'s class.
  ReferenceCollection(const ModelElement& owner, const meta::Property& property);

  bool isLoaded() const;
  /// What memory holds now, in order; never loads.
  std::vector<ModelElement> getElements() const;
  std::size_t size() const;
};

/// A value read from a multi-valued reference property, as its collection;
/// any other value throws qm0:messages:CannotCastIncompatibleTypes with the
/// qualified name of its type.
template <>
QM0_API ReferenceCollection Value::get<ReferenceCollection>(std::size_t index) const;

}  // namespace qm::zero
