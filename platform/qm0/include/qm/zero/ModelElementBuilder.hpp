#pragma once

#include <qm/zero/Model.hpp>
#include <qm/zero/Value.hpp>

#include <boost/uuid/uuid.hpp>

#include <utility>
#include <vector>

namespace qm::zero {

/// Makes elements of one class in one model with their values already set:
/// `set` collects values, `create` makes the element and forgets them, so
/// one builder serves any number of elements (meta::Class::Impl::
/// instantiateBuilder). The element is created and set exactly as
/// ModelElement::createReflective followed by `set` calls would: inside a
/// transaction it is reported as created, inside a loading transaction or a
/// data-source modification it is not. Not thread-safe; must not outlive its
/// model.
class QM0_API ModelElement::Builder {
 public:
  Builder(const Model& model, const meta::Class& cls);
  virtual ~Builder();
  Builder(const Builder&) = delete;
  Builder& operator=(const Builder&) = delete;

  const meta::Class& getClass() const noexcept { return cls_; }
  /// Collects `value` for `property` (a later value for the same property
  /// replaces it). Throws qm0:messages:PropertyNotOfClass for a property the
  /// class does not have; the value itself is checked by `create`.
  void set(const meta::Property& property, const Value& value) { set(property, Value(value)); }
  void set(const meta::Property& property, Value&& value);
  /// Creates the element with `uuid` and the collected values (in the order
  /// they were first set) and forgets the values. Throws as createReflective
  /// and ModelElement::set; on a failure after creation the element is
  /// destroyed again and the values are kept.
  ModelElement create(const boost::uuids::uuid& uuid);

 private:
  Model model_;
  meta::Class cls_;
  std::vector<std::pair<meta::Property, Value>> values_;
};

}  // namespace qm::zero
