#include <qm/zero/ReferenceCollection.hpp>

#include "ModelState.hpp"

#include <stdexcept>

namespace qm::zero {

ReferenceCollection::ReferenceCollection(const ModelElement& owner, const meta::Property& property)
    : AbstractOwnedCollection(owner, property) {
  if (!owner || owner.get()->isMetaObject() || !property || !property->isReference() || !property->isMultiValued() ||
      !owner.getMetaClass()->findProperty(property->getName()))
    throw std::invalid_argument("qm0: a reference collection needs a multi-valued reference of its owner");
}

bool ReferenceCollection::isLoaded() const {
  return !detail::elementImpl(getOwner())->isUnloaded(getCollectionProperty()->getSlotIndex());
}

std::vector<ModelElement> ReferenceCollection::getElements() const {
  const detail::Slot& slot = detail::elementImpl(getOwner())->slots[getCollectionProperty()->getSlotIndex()];
  std::vector<ModelElement> out;
  out.reserve(slot.size());
  for (std::size_t i = 0; i < slot.size(); ++i) out.emplace_back(slot.elementAt(i));
  return out;
}

std::size_t ReferenceCollection::size() const {
  return detail::elementImpl(getOwner())->slots[getCollectionProperty()->getSlotIndex()].size();
}

template <>
ReferenceCollection Value::get<ReferenceCollection>(std::size_t) const {
  if (!owner_) throwCannotCast();
  return ReferenceCollection(owner_, ownerProperty_);
}

}  // namespace qm::zero
