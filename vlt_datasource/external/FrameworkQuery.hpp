#pragma once
// The framework's reflective queries, which the library translates into
// repository queries.

#include <qm/zero/query/ReflectiveQuery.hpp>
