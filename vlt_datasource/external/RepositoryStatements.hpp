#pragma once
// The repository's prepared statements: queries that read the objects of a
// class with their values into bound cells (the loads, the package versions,
// the reflective queries), and constructors that make objects from refilled
// cells (the writes of new objects).

#include "external/Repository.hpp"

#include <vlt/ObjectConstructor.hpp>
#include <vlt/ObjectQuery.hpp>
