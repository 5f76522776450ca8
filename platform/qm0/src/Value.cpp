#include <qm/zero/Value.hpp>

#include <qm/zero/Messages.hpp>

#include "MetaInternal.hpp"

#include <foundation/core/except/Exception.hpp>
#include <matrix/Array.hpp>

#include <string>

namespace qm::zero {

namespace {

using foundation::core::except::throwException;

// The entry type held by each alternative of Entry, in order.
constexpr EntryType alternativeEntryType[] = {
    EntryType::None,      EntryType::Integer,    EntryType::UnlimitedNatural, EntryType::Integer64,
    EntryType::UInteger8, EntryType::UInteger64, EntryType::Real,             EntryType::String,
    EntryType::StdString, EntryType::DateTime,   EntryType::UUID,             EntryType::Boolean,
    EntryType::QxArray,   EntryType::StringToStringMap, EntryType::Element,   EntryType::DataValue};
static_assert(std::size(alternativeEntryType) == std::variant_size_v<Entry>);

// Whether entries of alternative `index` may be held by a value whose type
// has entries of `expected`.
bool fits(EntryType expected, std::size_t index) {
  EntryType held = alternativeEntryType[index];
  return held == expected || (expected == EntryType::EnumLiteral && held == EntryType::Integer);
}

[[noreturn]] void cannotCast(const meta::Type& type) {
  throwException(qm0::messages::CannotCastIncompatibleTypes(type ? type->getQualifiedName() : std::u16string()));
}

}  // namespace

EntryType entryTypeOf(const meta::Type& type) noexcept { return detail::entryTypeOf(type.operator->()); }

EntryType detail::entryTypeOf(const meta::Type::Impl* type) noexcept {
  if (type == nullptr) return EntryType::None;
  const auto& b = meta::internal::builtins();
  const ModelElement::Impl* mc = type->getMetaClassImpl();
  if (mc == b.primitiveTypeMeta) return static_cast<const meta::PrimitiveType::Impl*>(type)->getEntryType();
  if (mc == b.enumMeta) return EntryType::EnumLiteral;
  if (mc == b.classMeta) return EntryType::Element;
  if (mc == b.dataTypeMeta) return EntryType::DataValue;
  return EntryType::None;
}

Value::Value(const meta::Type& type, boost::none_t) : meta_(type, ValueMeta::NoFlags, entryTypeOf(type)) {}

Value::Value(const ModelElement& element) {
  if (!element) return;
  meta_ = ValueMeta(element.getMetaClass(), ValueMeta::Present, EntryType::Element);
  entries_.emplace_back(element);
}

Value Value::createEmptyValue(const meta::Property& property) { return Value(property->getType(), boost::none); }

void Value::init(const meta::Type& type, std::uint32_t flags, std::size_t variantIndex) {
  if (!type) {
    meta_ = ValueMeta(type, flags, alternativeEntryType[variantIndex]);
    return;
  }
  EntryType expected = entryTypeOf(type);
  if (!fits(expected, variantIndex)) cannotCast(type);
  meta_ = ValueMeta(type, flags, expected);
}

void Value::checkAppend(std::size_t variantIndex) {
  if (meta_.getEntryType() == EntryType::None && !meta_.getType()) {
    meta_ = ValueMeta(meta_.getType(), ValueMeta::Present, alternativeEntryType[variantIndex]);
    return;
  }
  if (!fits(meta_.getEntryType(), variantIndex)) cannotCast(meta_.getType());
  if (entries_.empty()) meta_ = ValueMeta(meta_.getType(), meta_.getFlags() | ValueMeta::Present, meta_.getEntryType());
}

const Entry& Value::entryAt(std::size_t index) const {
  if (index >= entries_.size()) throwException(qm0::messages::InvalidValue());
  return entries_[index];
}

void Value::throwCannotCast() const { cannotCast(meta_.getType()); }

ArrayEntry ArrayEntry::ownedCopy() const {
  ArrayEntry copy(matrix::duplicateArray(array_));
  if (copy.array_ != nullptr) copy.owner_.reset(copy.array_, matrix::ArrayDeleter());
  return copy;
}

bool operator==(const ArrayEntry& a, const ArrayEntry& b) noexcept { return matrix::arraysEqual(a.array_, b.array_); }

bool operator==(const Value& a, const Value& b) {
  return a.meta_.getType() == b.meta_.getType() && a.entries_ == b.entries_;
}

// ---------------------------------------------------------------------------

struct DataValue::Fields {
  std::vector<Value> values;  // by attribute slot
};

DataValue::DataValue(const meta::DataType& type) : type_(type), fields_(std::make_shared<Fields>()) {
  fields_->values.resize(type ? type->getAttributeCount() : 0);
}

namespace {
std::size_t attributeSlot(const meta::DataType& type, const meta::Property& attribute) {
  if (!type || !attribute || attribute->getOwningTypeImpl() != type.operator->())
    throwException(qm0::messages::PropertyNotOfClass(attribute ? attribute->getQualifiedName() : std::u16string(),
                                                     type ? type->getQualifiedName() : std::u16string()));
  return attribute->getSlotIndex();
}
}  // namespace

Value DataValue::get(const meta::Property& attribute) const {
  std::size_t slot = attributeSlot(type_, attribute);
  const Value& v = fields_->values[slot];
  return v.getType() ? v : Value::createEmptyValue(attribute);
}

void DataValue::set(const meta::Property& attribute, const Value& value) {
  std::size_t slot = attributeSlot(type_, attribute);
  if (!value.isEmpty() && !attribute->getTypeImpl()->isAssignableFrom(value.getType().operator->()))
    cannotCast(value.getType());
  if (value.size() > attribute->getUpper()) {
    if (!attribute->isMultiValued()) cannotCast(value.getType());
    throwException(
        qm0::messages::UpperBoundExceeded(attribute->getQualifiedName(), std::to_string(attribute->getUpper())));
  }
  if (fields_.use_count() > 1) fields_ = std::make_shared<Fields>(*fields_);
  fields_->values[slot] = value;
}

bool operator==(const DataValue& a, const DataValue& b) {
  if (a.type_ != b.type_) return false;
  if (a.fields_ == b.fields_) return true;
  if (!a.fields_ || !b.fields_) return false;
  const auto& x = a.fields_->values;
  const auto& y = b.fields_->values;
  for (std::size_t i = 0; i < x.size(); ++i) {
    // An attribute never set equals one set to an empty value.
    if (x[i].isEmpty() && y[i].isEmpty()) continue;
    if (x[i] != y[i]) return false;
  }
  return true;
}

}  // namespace qm::zero
