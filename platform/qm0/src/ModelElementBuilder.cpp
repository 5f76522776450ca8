#include <qm/zero/Messages.hpp>
#include <qm/zero/ModelElementBuilder.hpp>

#include "ModelState.hpp"

#include <foundation/core/except/Exception.hpp>

#include <stdexcept>

namespace qm::zero {

std::unique_ptr<ModelElement::Builder> meta::Class::Impl::instantiateBuilder(const Model& model) const {
  if (!model) throw std::invalid_argument("qm0: null model");
  if (isAbstract()) throw std::invalid_argument("qm0: an abstract class has no instances");
  if (!getPackageImpl()->isComplete()) throw std::invalid_argument("qm0: the class's package is not built yet");
  return std::make_unique<ModelElement::Builder>(model, meta::Class(this));
}

ModelElement::Builder::Builder(const Model& model, const meta::Class& cls) : model_(model), cls_(cls) {
  if (cls_) values_.reserve(cls_->getAttributeCount());
}
ModelElement::Builder::~Builder() = default;

namespace {

// A load sets every value of every element through a builder: the owner is
// compared by address, without the two counted handles a downcast makes.
bool declaredBy(const meta::Class::Impl* cls, const meta::Property& property) noexcept {
  const meta::StructuredType::Impl* owner = property->getOwningTypeImpl();
  for (const meta::Class::Impl* c = cls; c != nullptr; c = c->getSuperclassImpl())
    if (c == owner) return true;
  return false;
}

}  // namespace

void ModelElement::Builder::set(const meta::Property& property, Value&& value) {
  if (!property || !declaredBy(cls_.operator->(), property))
    foundation::core::except::throwException(qm0::messages::PropertyNotOfClass(
        property ? property->getQualifiedName() : std::u16string(), cls_->getQualifiedName()));
  for (auto& entry : values_)
    if (entry.first == property) {
      entry.second = std::move(value);
      return;
    }
  values_.emplace_back(property, std::move(value));
}

ModelElement ModelElement::Builder::create(const boost::uuids::uuid& uuid) {
  // Listeners hear of the new element once it has its values.
  detail::ChangeScope scope(model_->state());
  ModelElement element = ModelElement::createReflective(model_, cls_, uuid);
  try {
    for (auto& [property, value] : values_) detail::setBuiltValue(element, property, std::move(value));
  } catch (...) {
    element.destroy();
    throw;
  }
  values_.clear();
  return element;
}

}  // namespace qm::zero
