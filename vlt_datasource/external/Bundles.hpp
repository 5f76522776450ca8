#pragma once
// The framework's bundle container, through which the library finds the
// services that plug into it (template databases, type providers).

#include <qm/zero/services/BundleContainer.hpp>
