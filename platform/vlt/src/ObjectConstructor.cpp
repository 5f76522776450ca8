// ObjectConstructor: the handle over ObjectFactory.

#include "Core.hpp"

#include <vlt/ObjectConstructor.hpp>

#include <algorithm>

namespace vlt {

using detail::Core;
using detail::HandleAccess;

struct ObjectConstructor::State {
  std::vector<detail::BoundSource> sources;
  detail::ConstructorPlan plan;
};

ObjectConstructor::ObjectConstructor(const ClassRef& cls) : class_(cls), state_(std::make_unique<State>()) {
  if (cls.isNull()) throw UsageError("an object constructor needs a class");
  Core::of(cls.core_).schema().checkUsable(HandleAccess::info(cls));
}

ObjectConstructor::~ObjectConstructor() = default;

void ObjectConstructor::bindSource(const PropertyRef& property, ValueType type, const void* source,
                                   SourceReader reader) {
  Core& core = Core::of(class_.core_);
  const detail::PropertyInfo* p = HandleAccess::info(property);
  core.schema().checkUsable(p);
  if (HandleAccess::core(property) != &core) {
    core.usage("the property \"" + p->name + "\" belongs to another repository");
  }
  if (!HandleAccess::info(class_)->conformsTo(p->owner)) {
    core.usage("the property \"" + p->name + "\" does not belong to the class \"" + class_.qualifiedName() + "\"");
  }
  if (!p->inClassTable()) {
    core.usage("the property \"" + p->name +
               "\" is multi-valued or composite: write it after creation, or give ownership with "
               "setCompositionMembershipSource");
  }
  if (p->valueType != type) {
    core.usage("the property \"" + p->name + "\" cannot take a source of another value type");
  }
  if (source == nullptr) core.usage("a null source was bound for the property \"" + p->name + "\"");
  auto& sources = state_->sources;
  auto same = std::find_if(sources.begin(), sources.end(), [&](const detail::BoundSource& s) { return s.property == p; });
  if (same != sources.end()) {
    same->type = type;
    same->address = source;
    same->reader = reader;
  } else {
    sources.push_back(detail::BoundSource{p, type, source, reader});
    state_->plan.generation = ~std::uint64_t{0};
  }
}

ObjectRef ObjectConstructor::createObject(const DataModelRef& dataModel) {
  Core& core = Core::of(class_.core_);
  if (dataModel.core_.get() != &core) core.usage("the data model belongs to another repository");
  detail::Membership membership;
  if (membershipProperty_ != nullptr && !membershipProperty_->isNull()) {
    if (HandleAccess::core(*membershipProperty_) != &core) {
      core.usage("the membership property belongs to another repository");
    }
    membership.property = HandleAccess::info(*membershipProperty_);
    membership.owner = membershipOwner_ ? *membershipOwner_ : 0;
    membership.ordinal = membershipOrdinal_ ? *membershipOrdinal_ : 0;
    if (membership.owner == 0) core.usage("a membership property was given without an owner id");
  }
  const ObjectId id = nextId_;
  const boost::uuids::uuid uuid = nextUuid_;
  nextId_ = 0;
  nextUuid_ = boost::uuids::uuid{};
  return core.factory().construct(HandleAccess::info(class_), state_->plan, state_->sources, id, uuid, membership);
}

}  // namespace vlt
