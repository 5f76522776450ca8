#pragma once
// The live collection handles (CollectionRefBase, CollectionRef,
// EnumeralCollectionRef, BuiltinTypeCollectionRef<T>) live with ObjectRef,
// which hands them out.
#include <vlt/Object.hpp>
