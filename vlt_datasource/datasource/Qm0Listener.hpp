#pragma once
// The model listener through which a passive data source receives the
// changes of its model.

#include "external/Model.hpp"

namespace vlt_datasource {

class DataSource;

/// Registered with the data source's model for as long as it lives. A
/// passive data source writes each committed transaction's report through
/// it; an active one ignores them (it writes inside the model's
/// transactions).
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

  /// One part of a transaction split into several reports: not written.
  /// The parts come after the commit, when memory holds the state at the end
  /// of the last part: a part's whole values would be read from that state
  /// and the next part's edits replayed on top of them.
  void reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>&) {}
  /// A whole transaction, written as one report whether or not its parts
  /// came before: its edits lead from the stored state to memory's.
  void reportChanges(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report, bool alreadyReported);

 private:
  DataSource* dataSource;
};

}  // namespace vlt_datasource
