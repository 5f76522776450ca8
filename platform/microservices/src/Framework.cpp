#include "Core.hpp"

#include <cppmicroservices/Framework.hpp>

namespace cppmicroservices {

Framework::Framework(const Bundle& bundle) : Bundle(bundle) {
  if (d_ && !d_->isSystem()) d_.reset();
}

Framework FrameworkFactory::NewFramework() {
  std::shared_ptr<detail::Core> core = detail::Core::create();
  return Framework(Bundle(core->handle(core->systemBundle())));
}

}  // namespace cppmicroservices
