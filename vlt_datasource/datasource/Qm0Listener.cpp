#include "datasource/Qm0Listener.hpp"

#include "datasource/Diagnostics.hpp"

#include <vlt_datasource/DataSource.hpp>

namespace vlt_datasource {

Qm0Listener::Qm0Listener(DataSource* dataSourceIn) : dataSource(dataSourceIn) {
  dataSource->modelImpl->addListener<1>(this);
}

Qm0Listener::~Qm0Listener() { dataSource->modelImpl->removeListener(this); }

void Qm0Listener::reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) {
  if (!dataSource->isActive()) apply(report);
}

void Qm0Listener::reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report,
                                bool alreadyReported) {
  if (!dataSource->isActive() && !alreadyReported) apply(report);
}

void Qm0Listener::apply(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) {
  // The model has committed already: a report that cannot be written is
  // reported here and not retried.
  try {
    dataSource->processQM0ChangeReport(report);
  } catch (const std::exception& e) {
    debugLog.log(severity::detail, "Exception occurred while applying change report: ", e.what());
  } catch (...) {
    debugLog.log(severity::detail, "Unknown exception occurred while applying change report");
  }
}

}  // namespace vlt_datasource
