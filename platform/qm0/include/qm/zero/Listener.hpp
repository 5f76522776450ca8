#pragma once

#include <qm/zero/ChangeReport.hpp>

namespace qm::zero {

/// Base of every model listener. A listener is registered with a model
/// through a ListenerHolder, which forwards the report notifications to it;
/// the listener object is owned by whoever registered it and must be
/// unregistered (Model::Impl::removeListener) before it dies.
///
/// Report notifications, sent only after a transaction committed (the data
/// source's `commit` returned), never for a rolled-back transaction, loading
/// or data-source modifications:
/// 1. `reportChanges(report)`: one part of a transaction that was split into
///    several reports (by `requestSnapshot` or `destroyAllElements`), once per
///    part, in order; together the parts hold every change once. Not sent for
///    a transaction that made one report.
/// 2. `reportChanges(report, alreadyReported)`: once per committed
///    transaction that changed anything, after its parts: the whole
///    transaction's changes as one report. `alreadyReported` is true when the
///    same changes were delivered in parts through notification 1.
/// A listener that acts on notification 1 always and on notification 2 only
/// when `alreadyReported` is false sees every change exactly once; a listener
/// that wants one report per transaction acts on notification 2 alone.
///
/// What a listener may do while it is told anything (the report
/// notifications, `firstChangeOccurred`, `listenerRemoved`): read the model
/// (which may load from the data source), register listeners (told from the
/// next notification on) and remove listeners (a removed listener is never
/// called again, not even later in the same notification, so it may be
/// deleted at once). It may not change the model or its transactions: every
/// change, `destroyAllElements`, `requestSnapshot`, `beginTransaction` and a
/// Transaction's `commit` and `rollback` throw qm0:messages:ModelIsNotifying
/// and change nothing. A Transaction destroyed by a listener rolls back when
/// the notification ends.
class QM0_API Listener {
 public:
  Listener();
  virtual ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  /// The model dropped the listener: it was unregistered, or the model is
  /// being destroyed (then no listener can be registered). Default: nothing.
  virtual void listenerRemoved();
  /// The open transaction has made its first reported change: sent once the
  /// call that made it is complete, so the model is consistent. Default:
  /// nothing.
  virtual void firstChangeOccurred();
};

/// What a model keeps for one registered listener: the listener and how to
/// deliver reports to it. Exceptions thrown by a delivery are caught and
/// dropped by the model, so one listener cannot keep others from their
/// reports.
class QM0_API ListenerHolderBase {
 public:
  virtual ~ListenerHolderBase();
  virtual Listener* getListener() const noexcept = 0;
  /// Listeners are notified by ascending priority, then registration order.
  virtual int getPriority() const noexcept = 0;
  virtual void deliverPart(const ShallowChangeReport<ModelElement>& report) = 0;
  virtual void deliverTransaction(const ShallowChangeReport<ModelElement>& report, bool alreadyReported) = 0;
};

/// Delivers reports to `L`'s non-virtual `reportChanges(report)` and
/// `reportChanges(report, bool)`, skipping reports without element changes.
/// `Priority` orders the listeners of one model.
template <class L, int Priority>
class ListenerHolder final : public ListenerHolderBase {
 public:
  explicit ListenerHolder(L* listener) noexcept : listener_(listener) {}
  Listener* getListener() const noexcept override { return listener_; }
  int getPriority() const noexcept override { return Priority; }
  void deliverPart(const ShallowChangeReport<ModelElement>& report) override {
    if (report.getReportData().containsAnyModelElementChanges()) listener_->reportChanges(report);
  }
  void deliverTransaction(const ShallowChangeReport<ModelElement>& report, bool alreadyReported) override {
    if (report.getReportData().containsAnyModelElementChanges()) listener_->reportChanges(report, alreadyReported);
  }

 private:
  L* listener_;
};

}  // namespace qm::zero
