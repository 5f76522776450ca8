#include "datasource/Qm0Listener.hpp"

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
  dataSource->writeCommittedReport(report);
}

}  // namespace vlt_datasource
