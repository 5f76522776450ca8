#pragma once
// What a bundle's library exports so that the framework can start and stop it.
//
//   class Activator : public cppmicroservices::BundleActivator {
//     void Start(cppmicroservices::BundleContext context) override { ... RegisterService ... }
//     void Stop(cppmicroservices::BundleContext) override {}
//   };
//   CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Activator)
//
// and "bundle.activator": true in the bundle's manifest.

#include <cppmicroservices/BundleContext.hpp>

namespace cppmicroservices {

/// Called by the framework on the bundle's start and stop, one call at a
/// time. Services registered in Start need not be unregistered in Stop: the
/// framework unregisters what is left. An exception from Start fails the start.
struct BundleActivator {
  virtual ~BundleActivator() = default;
  virtual void Start(BundleContext context) = 0;
  virtual void Stop(BundleContext context) = 0;
};

}  // namespace cppmicroservices

/// The names of the two C functions a bundle library exports: the first makes
/// the activator, the second destroys it (so that the library that allocated
/// it frees it).
#define CPPMICROSERVICES_ACTIVATOR_CREATE_SYMBOL "cppmicroservices_create_bundle_activator"
#define CPPMICROSERVICES_ACTIVATOR_DESTROY_SYMBOL "cppmicroservices_destroy_bundle_activator"

/// Exports `Type` (a default-constructible BundleActivator) as the library's
/// activator. Use once per bundle library, at namespace scope.
#define CPPMICROSERVICES_EXPORT_BUNDLE_ACTIVATOR(Type)                                                          \
  extern "C" __attribute__((visibility("default"))) ::cppmicroservices::BundleActivator*                      \
  cppmicroservices_create_bundle_activator() {                                                                  \
    return new Type();                                                                                          \
  }                                                                                                             \
  extern "C" __attribute__((visibility("default"))) void cppmicroservices_destroy_bundle_activator(            \
      ::cppmicroservices::BundleActivator* activator) {                                                         \
    delete activator;                                                                                           \
  }
