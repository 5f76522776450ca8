#pragma once
// The framework's own package, built once on first use.

#include <qm/zero/meta/Metamodel.hpp>

namespace qm::zero::meta {
namespace internal {

struct Builtins {
  Package package;
  const Class::Impl* root = nullptr;
  const Class::Impl* classMeta = nullptr;
  const Class::Impl* dataTypeMeta = nullptr;
  const Class::Impl* enumMeta = nullptr;
  const Class::Impl* primitiveTypeMeta = nullptr;
  const Class::Impl* propertyMeta = nullptr;
  const Class::Impl* packageMeta = nullptr;
  PrimitiveType standard[13];
};

/// Thread-safe; the objects live for the whole program.
const Builtins& builtins();

}  // namespace internal

}  // namespace qm::zero::meta

namespace qm::zero::detail {
// entryTypeOf(const meta::Type&) without a handle to the type.
EntryType entryTypeOf(const meta::Type::Impl* type) noexcept;
}  // namespace qm::zero::detail

namespace qm::zero::meta {

struct BuiltinPackage {
  static internal::Builtins make();
};

}  // namespace qm::zero::meta
