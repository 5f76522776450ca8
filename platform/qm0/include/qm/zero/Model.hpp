#pragma once

#include <qm/zero/Listener.hpp>
#include <qm/zero/ModelElement.hpp>
#include <qm/zero/meta/Metamodel.hpp>

#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qm::zero {

namespace detail {
struct ModelState;
}

/// A counted handle to a model. `Model::create()` makes one; the model lives
/// while a handle to it exists. Handles may be copied from several threads;
/// the model itself is used from one thread at a time.
class QM0_API Model {
 public:
  class Impl;

  Model() noexcept = default;
  explicit Model(Impl* impl) noexcept;
  Model(const Model& other) noexcept;
  Model(Model&& other) noexcept : impl_(other.impl_) { other.impl_ = nullptr; }
  Model& operator=(const Model& other) noexcept;
  Model& operator=(Model&& other) noexcept;
  ~Model();

  /// A new, empty model.
  static Model create();

  Impl* operator->() const noexcept { return impl_; }
  Impl& operator*() const noexcept { return *impl_; }
  Impl* get() const noexcept { return impl_; }
  explicit operator bool() const noexcept { return impl_ != nullptr; }
  friend bool operator==(const Model& a, const Model& b) noexcept { return a.impl_ == b.impl_; }
  friend bool operator!=(const Model& a, const Model& b) noexcept { return a.impl_ != b.impl_; }

 private:
  Impl* impl_ = nullptr;
};

/// Blocks changes of a model while it lives (Model::Impl::freeze). Movable;
/// releasing twice is harmless. Must not outlive its model.
class QM0_API FreezeGuard {
 public:
  FreezeGuard(FreezeGuard&& other) noexcept;
  FreezeGuard& operator=(FreezeGuard&& other) noexcept;
  ~FreezeGuard();
  void release() noexcept;

 private:
  friend class Model::Impl;
  explicit FreezeGuard(Model::Impl* model) noexcept : model_(model) {}
  Model::Impl* model_;
};

/// One open transaction of a model (Model::Impl::beginTransaction). Movable.
/// Destroying it while open rolls it back, swallowing any exception (when a
/// listener destroys it while it is told something, once that notification
/// ends). Must not outlive its model.
class QM0_API Transaction {
 public:
  Transaction(Transaction&& other) noexcept;
  Transaction& operator=(Transaction&& other) = delete;
  ~Transaction();

  /// Ends the transaction keeping its changes. With a data source: the
  /// remaining changes go to `snapshot` (always called once, possibly with an
  /// empty report; changes the data source itself makes meanwhile are sent
  /// in further `snapshot` calls), then `precommit`, then `commit`; then the
  /// listeners are notified (see Listener). If `snapshot`, `precommit` or
  /// `commit` throws, the transaction is rolled back (memory restored, the
  /// data source's `rollback` called) and the exception passes on. Throws
  /// std::logic_error when the transaction is not open, and
  /// qm0:messages:ModelIsNotifying (changing nothing) when called by a
  /// listener while it is told something.
  void commit();
  /// Ends the transaction undoing its changes: memory is restored exactly
  /// (values, order of collections, owners, which elements exist), then the
  /// data source's `rollback` is called. No listener is notified. Throws
  /// std::logic_error when the transaction is not open, and
  /// qm0:messages:ModelIsNotifying as commit does.
  void rollback();
  bool isOpen() const noexcept { return model_ != nullptr; }

 private:
  friend class Model::Impl;
  explicit Transaction(Model::Impl* model) noexcept : model_(model) {}
  Model::Impl* model_;
};

/// The model: elements by uuid, transactions, the data source and the
/// listeners. Owns its data source; keeps its elements alive until they are
/// destroyed or the model dies (after which surviving handles read as
/// destroyed). Not thread-safe: one thread at a time.
class QM0_API Model::Impl {
 public:
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  /// The element with `uuid`. With InMemoryOnly (0): null when it is not in
  /// memory. With FetchFromDataSource (1): asks the data source's
  /// `fetchElement` when it is not.
  ModelElement findElement(const boost::uuids::uuid& uuid, std::uint32_t behavior = InMemoryOnly) const;
  /// Starts loading what a lookup of `uuid` (findElement, createProxy)
  /// reads first, for one a little later: in a large model each is a cache
  /// miss, and misses started together overlap. Changes nothing.
  void prefetchElement(const boost::uuids::uuid& uuid) const noexcept;
  /// Whether the element of `uuid` was destroyed in the open transaction. A
  /// data source that has not written the destruction yet (a passive one
  /// writes after the commit) must not load the element again from what it
  /// stores: for the transaction, the element is gone.
  bool isDestroyedInTransaction(const boost::uuids::uuid& uuid) const;
  /// Every element in memory (behavior 0); with behavior 1 the data source's
  /// `fetchAllElements` is asked first. Order: unspecified but stable while
  /// the model does not change.
  std::vector<ModelElement> getAllElements(std::uint32_t behavior = InMemoryOnly) const;
  std::size_t getElementCount() const noexcept;
  /// The packages of the classes (and their superclasses) of the elements in
  /// memory, each once, in the order they were first used. The framework's
  /// own package is never included.
  std::vector<meta::Package> getUsedPackages() const;

  /// Opens a transaction. With a data source, calls its
  /// `beginTransaction(id)` first. Throws qm0:messages:TransactionAlreadyOpen
  /// when one is open, qm0:messages:ModelIsFrozen while frozen,
  /// qm0:messages:ModelIsNotifying from a listener while it is told something
  /// (see Listener), and passes on the data source's exception (no
  /// transaction is then open).
  Transaction beginTransaction();
  /// The in-transaction query: true between beginTransaction and the end of
  /// commit or rollback.
  bool isInTransaction() const noexcept;
  /// Hands the changes made so far in the open transaction to the data
  /// source's `snapshot` now; later reports of the transaction hold only
  /// what changes afterwards. Nothing happens outside a transaction, without
  /// a data source, or when nothing changed since the last snapshot. Refused
  /// with qm0:messages:ModelIsNotifying while listeners are told something.
  void requestSnapshot();
  /// Destroys every element (proxies included) in one step, reported with the all-destroyed flag
  /// in a report of its own (changes made before are sent to the data source
  /// first; changes made after go to the next report). Refusals as for any
  /// change.
  void destroyAllElements();

  /// Blocks changes until the guard is released: any attempt (set, create,
  /// destroy, begin a transaction) throws qm0:messages:ModelIsFrozen and
  /// changes nothing. Guards nest. Changes a data source makes under its
  /// modification guard are not blocked.
  FreezeGuard freeze();
  bool isFrozen() const noexcept;

  /// Takes ownership of `dataSource`, destroying any previous one. Throws
  /// std::logic_error inside a transaction.
  void setDataSource(std::unique_ptr<datasource::DataSource> dataSource);
  /// Destroys the data source, if any.
  void resetDataSource() noexcept;
  datasource::DataSource* getDataSource() const noexcept;

  /// Registers a listener; false (and `holder` dropped) when the same
  /// listener object is already registered. Throws std::invalid_argument for
  /// a null holder or listener, std::logic_error while the model is being
  /// destroyed. Registered during a notification, it is told from the next
  /// one on.
  bool addListener(std::unique_ptr<ListenerHolderBase> holder);
  /// Registers `listener` through a ListenerHolder<L, Priority>.
  template <int Priority, class L>
  bool addListener(L* listener) {
    return addListener(std::unique_ptr<ListenerHolderBase>(new ListenerHolder<L, Priority>(listener)));
  }
  /// Unregisters `listener` and calls its `listenerRemoved()`; false when it
  /// was not registered. Removed during a notification, it is not called
  /// again, not even for the rest of that notification.
  bool removeListener(const Listener* listener);

  /// The model's state, for the framework's own code.
  detail::ModelState& state() const noexcept { return *state_; }

 private:
  friend class Model;
  Impl();
  ~Impl();
  mutable std::atomic<std::uint32_t> refs_{0};
  std::unique_ptr<detail::ModelState> state_;
};

}  // namespace qm::zero
