#pragma once
// The model listener through which a passive data source receives the
// changes of its model.

#include "external/Model.hpp"

namespace vlt_datasource {

class DataSource;

/// Registered with the data source's model for as long as it lives. A
/// passive data source applies every report of its model through it; an
/// active one ignores them (it writes inside the model's transactions).
/// The listener never throws into the model: the data source keeps a report
/// it could not write for later (DataSource::writeCommittedReport).
class Qm0Listener final : public qm::zero::Listener {
 public:
  /// Registers itself with the data source's model. The data source must
  /// outlive it.
  explicit Qm0Listener(DataSource* dataSource);
  /// Unregisters itself, without taking a counted handle of the model (the
  /// model may be in its own destruction).
  ~Qm0Listener() override;

  /// One part of a transaction split into several reports.
  void reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report);
  /// A whole transaction; `alreadyReported` when its parts came before.
  void reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report, bool alreadyReported);

 private:
  void apply(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report);

  DataSource* dataSource;
};

}  // namespace vlt_datasource
