#pragma once
// The interface through which a model reaches its persistent back end.

#include <qm/zero/ChangeReport.hpp>
#include <qm/zero/ElementId.hpp>
#include <qm/zero/Model.hpp>

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace qm::zero {
namespace query {
class ReflectiveQuery;
}
class ReferenceCollection;
}  // namespace qm::zero

namespace qm::zero::datasource {

/// The identity of one framework transaction, unique within the process. A
/// plain value.
class QM0_API TransactionId {
 public:
  TransactionId() = default;
  explicit TransactionId(std::uint64_t value) noexcept : value_(value) {}
  std::uint64_t getValue() const noexcept { return value_; }
  friend bool operator==(TransactionId a, TransactionId b) noexcept { return a.value_ == b.value_; }
  friend bool operator!=(TransactionId a, TransactionId b) noexcept { return a.value_ != b.value_; }

 private:
  std::uint64_t value_ = 0;
};

/// A model's data source. The model owns it (Model::Impl::setDataSource) and
/// calls it on the model's thread; implementations decide what each call
/// does to their store. Non-copyable.
///
/// The transaction calls, in the order a model makes them:
///   beginTransaction(id)        when a transaction opens
///   snapshot(report)            for each Model::Impl::requestSnapshot with
///                               changes, for an all-destroyed step, and once
///                               at commit with the remaining changes
///   precommit(), commit()       when the transaction commits
///   rollback()                  when it rolls back, also after a failed
///                               snapshot/precommit/commit
/// An exception from beginTransaction leaves no transaction open; from
/// snapshot, precommit or commit it rolls the transaction back.
class QM0_API DataSource {
 public:
  /// What to load from the store when a data source opens (the values'
  /// effects are the implementation's).
  enum ToModelSync : std::uint32_t { NoSyncToModel = 0, SyncTopLevelToModel = 1, SyncAllToModel = 2 };
  /// Whether elements already in the model are written when it opens.
  enum ToDataSourceSync : std::uint32_t { NoSyncToDataSource = 0, SyncAllToDataSource = 1 };
  /// Where opening runs: on the caller's thread or on a thread of its own.
  enum SyncTiming : std::uint32_t { Synchronous = 0, Asynchronous = 1 };

  DataSource(const DataSource&) = delete;
  DataSource& operator=(const DataSource&) = delete;
  virtual ~DataSource();

  /// The element with `uuid` from the store, loaded into the model; null
  /// when the store has none.
  virtual ModelElement fetchElement(const boost::uuids::uuid& uuid) = 0;
  /// Every stored element, loaded into the model.
  virtual std::vector<ModelElement> fetchAllElements() = 0;
  /// The element named by `id` (of `cls` or a subclass); null when none.
  virtual ModelElement findElement(const meta::Class& cls, const ElementId& id) = 0;
  /// A new reflective query over the store; the caller owns it.
  virtual std::unique_ptr<query::ReflectiveQuery> createQuery() = 0;
  /// Fills a deferred reference collection from the store.
  virtual void loadCollectionContents(ReferenceCollection& collection) = 0;
  /// Whether the stored collection of `property` of `element` has entries.
  virtual bool hasCollectionContents(const ModelElement& element, const meta::Property& property) = 0;
  /// Loads `element` (possibly a proxy) and everything it owns; called once
  /// by ModelElement::getAllContents before it walks memory.
  virtual void loadElementSubtree(const ModelElement& element) = 0;
  /// A transaction with `id` opened; returns the id to use for it.
  virtual TransactionId beginTransaction(const TransactionId& id) = 0;
  /// Changes of the open transaction (see the class comment).
  virtual void snapshot(const ShallowChangeReport<ModelElement>& report) = 0;
  virtual void precommit() = 0;
  virtual void commit() = 0;
  virtual void rollback() = 0;
  /// Ends a transaction that changed nothing in memory but may have written
  /// to the store; not called by the model core.
  virtual void rollbackShallowTransaction() = 0;
  /// Called by the model before it looks at its own state at the start of a
  /// transaction, a fetch by uuid or a fetch of everything: a data source
  /// that works on the model on a thread of its own (an opening in the
  /// background) waits here for that work to end. The default does nothing.
  virtual void awaitBackgroundWork() {}

 protected:
  DataSource() = default;

  /// Access tags for the privileged reflective operations of ModelElement.
  static constexpr PrivilegedTag privilegedTag{};
  static constexpr PrivilegedWithResolveTag privilegedTagWithResolve{};
};

/// What a data source loads into memory is applied at once and never
/// reported; a loading transaction groups such loading so that a failure can
/// take it back. Created by ActiveDataSource::beginLoadingTransaction; while
/// one is open the model accepts the data source's changes as under the
/// modification guard. Loading transactions nest; they must end innermost
/// first. Movable.
class QM0_API LoadingTransaction {
 public:
  LoadingTransaction(LoadingTransaction&& other) noexcept;
  LoadingTransaction& operator=(LoadingTransaction&&) = delete;
  /// Abandons the loading transaction if it is still open: every element it
  /// created is removed again and every value it set is put back.
  ~LoadingTransaction();
  /// Keeps what was loaded. Throws std::logic_error when not open or when
  /// an inner loading transaction is still open.
  void commit();
  bool isOpen() const noexcept { return model_ != nullptr; }

 private:
  friend class ActiveDataSource;
  explicit LoadingTransaction(Model::Impl* model);
  void end(bool keep);
  Model::Impl* model_;
  const void* log_;  // identifies this transaction's undo log
};

/// Base of data sources that change the model's memory themselves. Built
/// from the model's implementation object, which must outlive it (the model
/// owns its data source, so it does).
class QM0_API ActiveDataSource : public DataSource {
 protected:
  /// While it lives, changes made through the model are applied (and undone
  /// by a rollback of the open transaction) but never reported to the data
  /// source or to listeners, and are allowed while the model is frozen or
  /// outside a transaction (then they are permanent at once). Movable.
  class QM0_API ModificationGuard {
   public:
    ModificationGuard(ModificationGuard&& other) noexcept;
    ModificationGuard& operator=(ModificationGuard&&) = delete;
    ~ModificationGuard();

   private:
    friend class ActiveDataSource;
    explicit ModificationGuard(Model::Impl* model) noexcept;
    Model::Impl* model_;
  };

  explicit ActiveDataSource(Model::Impl& model) noexcept : model_(&model) {}

  /// The model this data source serves.
  Model getModel() const;
  /// Model::Impl::requestSnapshot of the model.
  void requestSnapshot();
  ModificationGuard startDataSourceModification();
  /// Opens a loading transaction (see LoadingTransaction).
  LoadingTransaction beginLoadingTransaction();

  /// Set values in memory under the modification guard: a value (an empty
  /// one clears), all values of a multi-valued property, a single-valued
  /// reference (null clears), a reference inserted at `position` (clamped to
  /// the collection's size; a single-valued property is simply set), and the
  /// contents of a reference collection (null elements in `targets` are
  /// skipped: they stand for links whose targets could not be loaded).
  /// Opposite ends and owners follow as for any set. Throws as
  /// ModelElement::set.
  void propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                        const Value& value);
  void propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                         const std::vector<Value>& values);
  void propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                        const ModelElement& target);
  void propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                        const ModelElement& target, std::uint64_t position);
  void propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                         const std::vector<ModelElement>& targets);
  /// The same, taking the handles over instead of counting them once more.
  void propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                         std::vector<ModelElement>&& targets);

 private:
  Model::Impl* model_;
};

}  // namespace qm::zero::datasource
