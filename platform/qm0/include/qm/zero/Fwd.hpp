#pragma once
// Forward declarations of the framework's public types, for headers that only
// pass them by reference.

#include <cstdint>

namespace matrix {
struct qxArray_tag;
}

namespace qm::zero {
class ModelElement;
class Model;
class Value;
class ValueMeta;
class DataValue;
class ElementId;
class ProxyId;
class Transaction;
class FreezeGuard;
class Listener;
class ListenerHolderBase;
class OCDChange;
class ReportData;
template <class Element>
class ShallowChangeReport;
class ReferenceCollection;

namespace meta {
class NamedElement;
class TypedElement;
class Type;
class PrimitiveType;
class StructuredType;
class Class;
class DataType;
class Enum;
class Property;
class Package;
class PackageBuilder;
class MetaRegistry;
struct BuiltinPackage;
}  // namespace meta

namespace datasource {
class DataSource;
class ActiveDataSource;
class TransactionId;
}  // namespace datasource

namespace query {
class ReflectiveQuery;
}

/// How a model looks an element up. 0 looks only in memory; 1 asks the data
/// source when the element is not in memory.
enum FindElementBehavior : std::uint32_t { InMemoryOnly = 0, FetchFromDataSource = 1 };

}  // namespace qm::zero
