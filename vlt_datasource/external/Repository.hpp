#pragma once
// The object repository as the library uses it: a connection to one
// repository (a SQLite file or a PostgreSQL database), its metamodel of
// classes, properties and enumerations, the handles of its objects, its
// connection strings and its errors.
//
// The library reaches the repository only through the headers of this
// folder, so that what it takes from it is one short list.

#include <vlt/Errors.hpp>
#include <vlt/Metamodel.hpp>
#include <vlt/Object.hpp>
#include <vlt/Repository.hpp>
#include <vlt/Types.hpp>
#include <vlt/Uri.hpp>
