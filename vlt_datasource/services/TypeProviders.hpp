#pragma once
// The built-in type provider.

#include <vlt_datasource/TypeProvider.hpp>

#include <memory>

namespace vlt_datasource {

/// A provider that answers from the framework's MetaRegistry and accepts only
/// the package versions current in the process.
std::unique_ptr<TypeProvider> createMetaRegistryBasedTypeProvider();

}  // namespace vlt_datasource
