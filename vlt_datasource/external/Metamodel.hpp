#pragma once
// The framework's metamodel as the library uses it: classes, properties and
// their types, the standard primitive types, the registry of packages and
// their versions, property serializers and the JSON form of datatype values.

#include <qm/zero/io/Serializer.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/Metamodel.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>
#include <qm/zero/meta/StandardTypes.hpp>
