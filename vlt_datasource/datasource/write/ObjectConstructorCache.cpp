// The constructors of new objects: the plan of each class, made once, and the
// value cell of each property, through which every constructor reads it.

#include "datasource/write/ObjectConstructorCache.hpp"

#include "datasource/write/ChangeWriter.hpp"
#include "serialization/ValueText.hpp"

#include <fl/i18n/Unicode.hpp>

namespace vlt_datasource {

namespace meta = qm::zero::meta;
using fl::i18n::ustring_to_utf8;
using qm::zero::Value;

namespace {

/// The cell of one property of kind `K`, holding `K::Cell`: optional for
/// every single value but arrays and links (a value the element does not
/// hold is stored absent, required or not).
template <class K>
class TypedValueLocation final : public ValueLocation {
 public:
  TypedValueLocation(const meta::Property& property, const PropertyStorage& storage)
      : framework(property), type(property->getType()) {
    if constexpr (K::form == ValueForm::datatypeText)
      stringifier = std::make_unique<DatatypeSerializerStringifier>();
    else if constexpr (K::form == ValueForm::primitiveText)
      stringifier = std::make_unique<PrimitiveSerializerStringifier>(storage.serializer);
  }

  void bindAsSource(vlt::ObjectConstructor& constructor, const vlt::PropertyRef& property) override {
    constructor.setPropertyValueSource(property, value.get());
  }

  void assign(const qm::zero::ModelElement& element, const Value& from, DataSource::ChangeWriter& writer,
              const vlt::ObjectRef& object) override {
    if constexpr (K::form == ValueForm::object) {
      *value = object;
    } else if constexpr (K::form == ValueForm::array) {
      *value = from.isEmpty() ? nullptr : from.get<matrix::qxArray_tag*>();
    } else if (from.size() != 1) {
      *value = boost::none;
    } else if constexpr (K::form == ValueForm::builtin) {
      *value = from.get<typename K::Framework>();
    } else if constexpr (K::form == ValueForm::enumeral) {
      const vlt::EnumeralRef enumeral = writer.vltEnumeralOf(type, from);
      if (!enumeral) reportDroppedEntry(element, framework, "a literal without enumeral");
      *value = enumeral ? typename K::Cell(enumeral) : typename K::Cell();
    } else {
      // Through the serializer, as every stored text: a value of another
      // kind fails there with CannotCastIncompatibleTypes.
      *value = stringifier->stringify(from);
    }
  }

 private:
  std::unique_ptr<typename K::Cell> value = std::make_unique<typename K::Cell>();
  meta::Property framework;  ///< the property, for warnings
  meta::Type type;
  std::unique_ptr<Stringifier> stringifier;
};

std::unique_ptr<ValueLocation> makeCell(const meta::Property& property, const PropertyStorage& storage) {
  return visitKind(storage.kind, [&](auto kind) -> std::unique_ptr<ValueLocation> {
    using K = decltype(kind);
    if constexpr (K::form == ValueForm::none)
      return nullptr;
    else
      return std::make_unique<TypedValueLocation<K>>(property, storage);
  });
}

}  // namespace

ObjectConstructorCache::ObjectConstructorCache() = default;
ObjectConstructorCache::~ObjectConstructorCache() = default;

const PropertyStorage& ObjectConstructorCache::storage(const meta::Property& property) {
  const auto found = storages.find(property);
  if (found != storages.end()) return found->second;
  return storages.emplace(property, storageOf(property)).first->second;
}

ValueLocation* ObjectConstructorCache::cellFor(const meta::Property& property) {
  if (withoutCell.count(property) != 0) return nullptr;
  const auto found = cells.find(property);
  if (found != cells.end()) return found->second.get();
  std::unique_ptr<ValueLocation> cell = makeCell(property, storage(property));
  if (!cell) {
    withoutCell.insert(property);
    return nullptr;
  }
  return cells.emplace(property, std::move(cell)).first->second.get();
}

ClassPlan& ObjectConstructorCache::planFor(const meta::Class& cls, const vlt::ClassRef& vltClass) {
  std::unique_ptr<ClassPlan>& known = plans[cls.get()];
  if (known) return *known;

  auto plan = std::make_unique<ClassPlan>();
  plan->vltClass = vltClass;
  plan->constructor = std::make_unique<vlt::ObjectConstructor>(vltClass);
  plan->membership = std::make_unique<ClassPlan::Membership>();
  for (meta::Class c = cls; c; c = c->getSuperclass()) {
    for (const auto& [name, property] : c->getOwnedAttributes()) {
      if (property->isNotStored()) continue;
      const bool reference = storage(property).kind == ValueKind::reference;
      const bool composite = reference && property->isComposite();
      if (composite) {
        plan->composites.emplace_back(property, vltClass.findProperty(ustring_to_utf8(name)));
        continue;  // its content is its children's membership
      }
      if (property->getUpper() != 1) {
        plan->slots.push_back({property, nullptr, vltClass.findProperty(ustring_to_utf8(name)), reference, true});
        continue;
      }
      ValueLocation* cell = cellFor(property);
      const vlt::PropertyRef propRef = cell ? vltClass.findProperty(ustring_to_utf8(name)) : vlt::PropertyRef();
      if (!propRef) continue;
      cell->bindAsSource(*plan->constructor, propRef);
      plan->slots.push_back({property, cell, propRef, reference, false});
    }
  }
  ClassPlan::Membership& membership = *plan->membership;
  plan->constructor->setCompositionMembershipSource(&membership.property, &membership.ownerId, &membership.ordinal);
  known = std::move(plan);
  return *known;
}

}  // namespace vlt_datasource
