#pragma once
// The modeling framework's models as the library uses them: models and
// their elements, values and reference collections, the change reports and
// listeners it writes from, the builder it loads through, the framework's
// message identifiers, and its hash of uuids.
//
// The library reaches the framework only through the headers of this
// folder (and its public headers, which name the framework's data-source
// interface).

#include "external/Metamodel.hpp"

#include <qm/zero/ChangeReport.hpp>
#include <qm/zero/ElementId.hpp>
#include <qm/zero/Listener.hpp>
#include <qm/zero/Messages.hpp>
#include <qm/zero/Model.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/ModelElementBuilder.hpp>
#include <qm/zero/ReferenceCollection.hpp>
#include <qm/zero/Value.hpp>
#include <qm/zero/services/Hashers.hpp>
