#pragma once
// What the template-provider test bundles show the tests besides their
// TemplateDBService: how often they were asked for their family.

namespace testbundles {

struct TemplateProbe {
  virtual ~TemplateProbe() = default;
  virtual int familyNameCalls() const = 0;
};

}  // namespace testbundles
