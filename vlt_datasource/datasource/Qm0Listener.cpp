#include "datasource/Qm0Listener.hpp"

#include <vlt_datasource/DataSource.hpp>

namespace vlt_datasource {

Qm0Listener::Qm0Listener(DataSource* dataSourceIn) : dataSource(dataSourceIn) {
  dataSource->modelImpl->addListener<1>(this);
}

Qm0Listener::~Qm0Listener() { dataSource->modelImpl->removeListener(this); }

void Qm0Listener::reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report, bool) {
  if (!dataSource->isActive()) dataSource->writeCommittedReport(report);
}

}  // namespace vlt_datasource
