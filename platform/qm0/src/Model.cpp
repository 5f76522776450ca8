// The model: element table, transactions with their undo log and reports,
// the freeze, the data source and the listeners.

#include <qm/zero/Messages.hpp>
#include <qm/zero/Model.hpp>
#include <qm/zero/ReferenceCollection.hpp>

#include "MetaInternal.hpp"
#include "ModelState.hpp"

#include <foundation/core/except/Exception.hpp>
#include <foundation/log/DiagnosticLogger.hpp>


#include <algorithm>
#include <atomic>
#include <limits>
#include <stdexcept>

namespace qm::zero {

using detail::ElementImpl;
using detail::ModelState;
using foundation::core::except::throwException;

namespace detail {

// A listener's failure must not stop the model or the other listeners: it is
// logged and dropped.
void logListenerFailure(std::exception_ptr failure) noexcept {
  try {
    static foundation::log::diagnostic_logger logger("qm::zero::framework");
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      logger.log(foundation::log::severity::warning, "Exception from a model listener: ", e.what());
    } catch (...) {
      logger.log(foundation::log::severity::warning, "Unknown exception from a model listener");
    }
  } catch (...) {  // logging failed: the failure is dropped all the same
  }
}

void ModelState::checkChange() const {
  if (dataSourceModification > 0) return;
  checkNotNotifying();
  if (freezeCount > 0) throwException(qm0::messages::ModelIsFrozen());
  if (!tx) throwException(qm0::messages::NoOpenTransaction());
}

void ModelState::checkNotNotifying() const {
  if (notifying > 0) throwException(qm0::messages::ModelIsNotifying());
}

Model ModelState::keepAlive() const { return closing ? Model() : Model(self); }

namespace {
SavedElement& touchIn(UndoLog& log, ElementImpl* e) {
  const auto savedAt = [&log](std::uint32_t k) -> const void* { return log.saved[k].handle.get(); };
  const auto place = static_cast<std::uint32_t>(log.saved.size());
  const auto kept = log.savedIndex.insert(e, place, savedAt);
  if (!kept.second) return log.saved[kept.first];
  try {
    log.saved.push_back(SavedElement{ModelElement(e), {SlotLog::none, 0, 0}, SlotLog::none, SlotLog::none, {}});
  } catch (...) {
    log.savedIndex.takeBack(e, place, savedAt);
    throw;
  }
  return log.saved.back();
}

SlotLog& slotLogIn(UndoLog& log, SavedElement& s, const ElementImpl* e, std::uint32_t slot) {
  if (s.first.slot == slot) return s.first;
  std::uint32_t* link = &s.more;
  for (; *link != SlotLog::none; link = &log.moreSlots[*link].next)
    if (log.moreSlots[*link].log.slot == slot) return log.moreSlots[*link].log;
  // Edits of half the entries cost about what a copy of them does: past
  // that the log copies the slot, so it never holds much more than the copy
  // it would otherwise have made at the first change.
  const std::size_t budget = e->slots[slot].size() / 2;
  const SlotLog added{slot, static_cast<std::uint32_t>(std::min<std::size_t>(budget, SlotLog::maxEdits)), 0};
  if (s.first.slot == SlotLog::none) return s.first = added;
  log.moreSlots.push_back(MoreSlotLog{added});
  *link = static_cast<std::uint32_t>(log.moreSlots.size() - 1);
  return log.moreSlots.back().log;
}

// Before the class, the owner or the state of `e` changes.
void saveHeaderIn(UndoLog& log, ElementImpl* e) {
  SavedElement& s = touchIn(log, e);
  if (s.header != SlotLog::none) return;
  log.headers.push_back(SavedHeader{e->cls, ModelElement(e->owner), e->owningProperty, e->state});
  s.header = static_cast<std::uint32_t>(log.headers.size() - 1);
}

void copySlotIn(UndoLog& log, SavedElement& s, SlotLog& l, ElementImpl* e) {
  if (&l == &s.first) s.firstCopy = e->slots[l.slot];
  else log.copies.push_back(CopiedSlot{e, l.slot, e->slots[l.slot]});
  l.copied = 1;
}

void saveSlotIn(UndoLog& log, ElementImpl* e, std::uint32_t slot) {
  SavedElement& s = touchIn(log, e);
  SlotLog& l = slotLogIn(log, s, e, slot);
  if (!l.copied) copySlotIn(log, s, l, e);
}

void logEditIn(UndoLog& log, ElementImpl* e, std::uint32_t slot, SlotChange::Kind kind, std::size_t index) {
  SavedElement& s = touchIn(log, e);
  SlotLog& l = slotLogIn(log, s, e, slot);
  if (l.copied) return;
  if (l.editsLeft == 0) {
    copySlotIn(log, s, l, e);
    return;
  }
  Entry old = kind == SlotChange::Kind::Inserted ? Entry() : e->slots[slot].at(index);
  log.changes.push_back(SlotChange{e, slot, kind, index, std::move(old)});
  --l.editsLeft;
}

// Undoes one edit, newest first. A slot past the element's slots belonged
// to a subclass whose refinement a loading transaction's rollback undid.
void undo(SlotChange& c) {
  if (c.slot >= c.element->slotCount) return;
  Slot& slot = c.element->slots[c.slot];
  switch (c.kind) {
    case SlotChange::Kind::Inserted:
      slot.erase(c.index);
      break;
    case SlotChange::Kind::Erased:
      slot.insert(c.index, std::move(c.old));
      break;
    case SlotChange::Kind::Replaced:
      slot.replace(c.index, std::move(c.old));
      break;
  }
}
}  // namespace

void ModelState::born(ElementImpl* e) {
  e->born = logEpoch;
  if (tx) tx->undo.born.emplace_back(e);
  for (auto& log : loading) log->born.emplace_back(e);
}

void ModelState::classRefined(ElementImpl* e) {
  auto note = [&](UndoLog& log) {
    if (log.madeHere(e)) log.bornClasses.try_emplace(e, e->cls);
  };
  if (tx) note(tx->undo);
  for (auto& log : loading) note(*log);
}

// An element made while a log is open needs nothing more in it.
void ModelState::touch(ElementImpl* e) {
  if (tx && !tx->undo.madeHere(e)) saveHeaderIn(tx->undo, e);
  for (auto& log : loading)
    if (!log->madeHere(e)) saveHeaderIn(*log, e);
}

void ModelState::saveSlot(ElementImpl* e, std::uint32_t slot) {
  if (tx && !tx->undo.madeHere(e)) saveSlotIn(tx->undo, e, slot);
  for (auto& log : loading)
    if (!log->madeHere(e)) saveSlotIn(*log, e, slot);
}

// Only the transaction's log takes edits. While a loading transaction is
// open every log copies instead: a loading transaction rolled back puts the
// slot back itself, and the transaction's log, which would otherwise undo
// the same edits a second time, holds a copy of the slot as it was when the
// loading began, which is what memory holds again then.
void ModelState::logEdit(ElementImpl* e, std::uint32_t slot, SlotChange::Kind kind, std::size_t index) {
  if (!loading.empty()) {
    saveSlot(e, slot);
    return;
  }
  if (tx && !tx->undo.madeHere(e)) logEditIn(tx->undo, e, slot, kind, index);
}

void ModelState::setOwner(ElementImpl* e, ElementImpl* owner, const meta::Property::Impl* property) {
  touch(e);
  e->owner = owner;
  e->owningProperty = property;
}

void ModelState::sendFirstChange() {
  // Inside another notification (a data source loading for a listener that
  // reads) it waits for the next completed change or the commit.
  if (tx && tx->firstChangePending && notifying == 0) {
    tx->firstChangePending = false;
    notify([](ListenerEntry& e) { guarded([&] { e.holder->getListener()->firstChangeOccurred(); }); });
  }
}

void ModelState::endNotification() {
  if (--notifying > 0 || changing > 0) return;
  // A Transaction destroyed while listeners were told could not roll back
  // then; it does now, between two calls of the host.
  if (tx && tx->abandoned && !tx->committing) rollbackTransaction(true);
}

void ModelState::tellRemoved(ListenerEntry& entry) {
  entry.removed = true;
  beginNotification();
  guarded([&] { entry.holder->getListener()->listenerRemoved(); });
  endNotification();
}

namespace {
template <class F>
void forEachPackage(const ElementImpl* e, F&& f) {
  const auto* builtin = meta::internal::builtins().package.operator->();
  for (const meta::Class::Impl* c = e->cls.operator->(); c != nullptr; c = c->getSuperclassImpl())
    if (c->getPackageImpl() != builtin) f(c->getPackageImpl());
}
}  // namespace

void ModelState::enterTable(ElementImpl* e) {
  if (e->state == ElementImpl::State::Proxy) {
    proxies.insert(e);
    return;
  }
  if (e->state != ElementImpl::State::Live) return;
  elements.insert(e);
  forEachPackage(e, [&](const meta::Package::Impl* p) {
    for (auto& use : packageUse)
      if (use.first.operator->() == p) {
        ++use.second;
        return;
      }
    packageUse.emplace_back(meta::Package(p), 1);
  });
}

void ModelState::leaveTable(ElementImpl* e) {
  auto& table = e->state == ElementImpl::State::Proxy ? proxies : elements;
  if (!table.erase(e)) return;
  if (e->state != ElementImpl::State::Live) return;
  forEachPackage(e, [&](const meta::Package::Impl* p) {
    for (auto& use : packageUse)
      if (use.first.operator->() == p) {
        --use.second;
        return;
      }
  });
}

void ModelState::resolve(ElementImpl* e) {
  if (e->state != ElementImpl::State::Proxy || !dataSource) return;
  ModelElement keep(e);
  dataSource->findElement(e->cls, ElementId::ofUUID(e->getUUID()));
}

void ModelState::loadCollection(ElementImpl* e, const meta::Property::Impl* p) {
  if (!e->isUnloaded(p->getSlotIndex())) return;
  if (dataSource) {
    ReferenceCollection collection{ModelElement(e), meta::Property(p)};
    dataSource->loadCollectionContents(collection);
  }
  // Asked once: whatever the data source found is the collection now.
  markLoaded(e, p);
}

void ModelState::markSlotLoaded(ElementImpl* e, std::uint32_t slot) {
  saveSlot(e, slot);  // the flag is saved with the slot
  e->slots[slot].setUnloaded(false);
}

void ModelState::cutPiece(bool alwaysCallSnapshot) {
  const bool changed = !tx->piece.empty();
  if (!changed && !(alwaysCallSnapshot && dataSource)) return;
  // The builder's lists become the report's: while the data source writes
  // the changes, they are held once.
  auto report = tx->piece.take();
  if (changed) tx->parts.push_back(report);
  if (dataSource) dataSource->snapshot(*report);
}

void ModelState::rollbackMemory() { restore(tx->undo); }

void ModelState::restore(UndoLog& log) {
  // Elements made while the log was open go first, newest first: they
  // leave the element table before the elements destroyed meanwhile come
  // back, since one of them may have taken such an element's uuid.
  for (auto it = log.born.rbegin(); it != log.born.rend(); ++it) {
    ElementImpl* e = elementImpl(*it);
    if (e->state != ElementImpl::State::Destroyed) {
      leaveTable(e);
      e->state = ElementImpl::State::Destroyed;
    }
    if (auto first = log.bornClasses.find(e); first != log.bornClasses.end()) e->refineClass(first->second);
    for (std::uint32_t i = 0; i < e->slotCount; ++i) {
      e->slots[i].clear();
      e->slots[i].setUnloaded(false);
    }
    e->owner = nullptr;
    e->owningProperty = nullptr;
  }
  // Then values (the copied slots, then the edits newest first), while
  // every element still has the slots of its present class; then classes
  // and owners; then the element table, removals before insertions, since
  // an element destroyed and one created in the same transaction may share
  // a uuid.
  for (SavedElement& s : log.saved) {
    ElementImpl* e = elementImpl(s.handle);
    if (s.first.copied && s.first.slot < e->slotCount) e->slots[s.first.slot] = std::move(s.firstCopy);
  }
  for (CopiedSlot& c : log.copies)
    if (c.slot < c.element->slotCount) c.element->slots[c.slot] = std::move(c.old);
  for (auto it = log.changes.rbegin(); it != log.changes.rend(); ++it) undo(*it);
  std::vector<std::pair<ElementImpl*, ElementImpl::State>> moves;
  for (SavedElement& s : log.saved) {
    if (s.header == SlotLog::none) continue;
    ElementImpl* e = elementImpl(s.handle);
    const SavedHeader& h = log.headers[s.header];
    if (e->state != h.state) {
      leaveTable(e);  // counted under its present class
      moves.emplace_back(e, h.state);
    }
    if (e->cls != h.cls) e->refineClass(h.cls);  // back to the proxy's class; a subclass's slots go
    e->owner = elementImpl(h.owner);
    e->owningProperty = h.owningProperty;
  }
  for (auto& [e, state] : moves) {
    e->state = state;
    enterTable(e);
  }
}

void ModelState::endTransaction() { tx.reset(); }

void ModelState::rollbackTransaction(bool quiet) {
  try {
    rollbackMemory();
  } catch (...) {
    endTransaction();
    if (!quiet) throw;
    return;
  }
  endTransaction();
  if (!dataSource) return;
  try {
    dataSource->rollback();
  } catch (...) {
    if (!quiet) throw;
  }
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Model handle.

Model::Model(Impl* impl) noexcept : impl_(impl) {
  if (impl_) impl_->refs_.fetch_add(1, std::memory_order_relaxed);
}
Model::Model(const Model& other) noexcept : Model(other.impl_) {}
Model& Model::operator=(const Model& other) noexcept {
  Model copy(other);
  std::swap(impl_, copy.impl_);
  return *this;
}
Model& Model::operator=(Model&& other) noexcept {
  std::swap(impl_, other.impl_);
  return *this;
}
Model::~Model() {
  if (impl_ && impl_->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete impl_;
}
Model Model::create() { return Model(new Impl()); }

Model::Impl::Impl() : state_(std::make_unique<ModelState>(this)) {}

Model::Impl::~Impl() {
  ModelState& m = *state_;
  m.closing = true;
  // The data source goes first: it may still unregister its listener.
  resetDataSource();
  if (m.tx) {
    m.rollbackMemory();
    m.endTransaction();
  }
  // One at a time: a listener told may remove others, which are then told
  // by removeListener and not again here.
  while (!m.listeners.empty()) {
    std::shared_ptr<detail::ListenerEntry> entry = std::move(m.listeners.front());
    m.listeners.erase(m.listeners.begin());
    m.tellRemoved(*entry);
  }
  // Surviving handles read as destroyed; emptying the slots ends reference cycles.
  for (auto* table : {&m.elements, &m.proxies}) {
    table->forEach([](ModelElement::Impl* impl) {
      auto* e = static_cast<ElementImpl*>(impl);
      e->state = ElementImpl::State::Destroyed;
      e->model = nullptr;
      e->owner = nullptr;
      e->owningProperty = nullptr;
      for (std::uint32_t i = 0; i < e->slotCount; ++i) e->slots[i].clear();
    });
    table->clear();
  }
}

// ---------------------------------------------------------------------------
// Elements.

ModelElement Model::Impl::findElement(const boost::uuids::uuid& uuid, std::uint32_t behavior) const {
  if (behavior == FetchFromDataSource && state_->dataSource) state_->dataSource->awaitBackgroundWork();
  if (ModelElement::Impl* e = state_->elements.find(uuid)) return ModelElement(e);
  if (behavior == FetchFromDataSource && state_->dataSource) return state_->dataSource->fetchElement(uuid);
  return ModelElement();
}

void Model::Impl::prefetchElement(const boost::uuids::uuid& uuid) const noexcept {
  state_->elements.prefetch(uuid);
  state_->proxies.prefetch(uuid);
}

std::vector<ModelElement> Model::Impl::getAllElements(std::uint32_t behavior) const {
  if (behavior == FetchFromDataSource && state_->dataSource) {
    state_->dataSource->awaitBackgroundWork();
    state_->dataSource->fetchAllElements();
  }
  std::vector<ModelElement> out;
  out.reserve(state_->elements.size());
  state_->elements.forEach([&](ModelElement::Impl* e) { out.emplace_back(e); });
  return out;
}

std::size_t Model::Impl::getElementCount() const noexcept { return state_->elements.size(); }

std::vector<meta::Package> Model::Impl::getUsedPackages() const {
  std::vector<meta::Package> out;
  for (const auto& use : state_->packageUse)
    if (use.second > 0) out.push_back(use.first);
  return out;
}

void Model::Impl::destroyAllElements() {
  ModelState& m = *state_;
  m.checkChange();
  detail::ChangeScope scope(m);
  // The all-destroyed step is a report of its own: what came before is sent
  // first, what comes after goes to the next report.
  if (m.tx) m.cutPiece(false);
  // Proxies stand for stored elements: they go too.
  std::vector<ModelElement> all = getAllElements();
  m.proxies.forEach([&](ModelElement::Impl* e) { all.emplace_back(e); });
  // One destruction from the roots down: whatever it destroys leaves nothing
  // behind in elements that go too, so its cost does not grow with the size
  // of their collections.
  std::vector<ElementImpl*> roots;
  for (const ModelElement& e : all)
    if (detail::elementImpl(e)->owner == nullptr) roots.push_back(detail::elementImpl(e));
  detail::destroyElements(m, roots);
  for (const ModelElement& e : all)  // none left when every owner is in the model
    if (!e.isDestroyed()) detail::destroyElement(m, detail::elementImpl(e));
  m.record([](ReportBuilder& b) { b.allDestroyed(); });
  if (m.reporting()) m.cutPiece(false);
}

// ---------------------------------------------------------------------------
// Transactions.

Transaction Model::Impl::beginTransaction() {
  ModelState& m = *state_;
  if (m.dataSource) m.dataSource->awaitBackgroundWork();
  m.checkNotNotifying();
  if (m.closing) throw std::logic_error("qm0: the model is being destroyed");
  if (m.tx) throwException(qm0::messages::TransactionAlreadyOpen());
  if (m.freezeCount > 0) throwException(qm0::messages::ModelIsFrozen());
  static std::atomic<std::uint64_t> lastId{0};
  datasource::TransactionId id(lastId.fetch_add(1, std::memory_order_relaxed) + 1);
  if (m.dataSource) id = m.dataSource->beginTransaction(id);
  m.tx = std::make_unique<detail::TransactionState>(m.openLog());
  m.tx->id = id;
  return Transaction(this);
}

bool Model::Impl::isInTransaction() const noexcept { return state_->tx != nullptr; }

bool Model::Impl::isDestroyedInTransaction(const boost::uuids::uuid& uuid) const {
  const ModelState& m = *state_;
  return m.tx && !m.tx->destroyed.empty() && m.tx->destroyed.count(uuid) != 0;
}

void Model::Impl::requestSnapshot() {
  ModelState& m = *state_;
  m.checkNotNotifying();
  if (m.tx && m.dataSource) m.cutPiece(false);
}

Transaction::Transaction(Transaction&& other) noexcept : model_(other.model_) { other.model_ = nullptr; }

Transaction::~Transaction() {
  if (!model_) return;
  ModelState& m = model_->state();
  if (m.notifying > 0 && m.tx) {
    // Not now: the model is telling its listeners something. The model rolls
    // the transaction back when the notification ends.
    m.tx->abandoned = true;
    model_ = nullptr;
    return;
  }
  try {
    rollback();
  } catch (...) {  // a destructor never throws
  }
}

namespace {

void notifyListeners(ModelState& m, const std::vector<std::shared_ptr<const ChangeReport>>& parts,
                     const std::shared_ptr<const ChangeReport>& whole) {
  // Each listener gets the parts and then the whole transaction before the
  // next one is told; one removed on the way hears nothing more.
  m.notify([&](detail::ListenerEntry& e) {
    if (parts.size() > 1)
      for (const auto& part : parts)
        if (!e.removed) ModelState::guarded([&] { e.holder->deliverPart(*part); });
    if (!e.removed) ModelState::guarded([&] { e.holder->deliverTransaction(*whole, parts.size() > 1); });
  });
}

// The transaction a Transaction object stands for, refusing to end it during
// a notification.
ModelState& endable(Model::Impl* model) {
  if (!model || !model->state().tx) throw std::logic_error("qm0: the transaction is not open");
  ModelState& m = model->state();
  m.checkNotNotifying();
  return m;
}

}  // namespace

void Transaction::commit() {
  ModelState& m = endable(model_);
  Model keep = m.keepAlive();  // a listener may drop the last handle
  m.tx->committing = true;
  // A change whose call failed half-way still counts: its listeners hear of it now.
  m.sendFirstChange();
  datasource::DataSource* ds = m.dataSource.get();
  try {
    m.cutPiece(true);
    // Changes the data source made to memory while it took the snapshot.
    for (int round = 0; !m.tx->piece.empty(); ++round) {
      if (round == 16) throw std::runtime_error("qm0: the data source keeps changing the model during snapshot");
      m.cutPiece(false);
    }
    if (ds) {
      ds->precommit();
      ds->commit();
    }
  } catch (...) {
    m.rollbackMemory();
    m.endTransaction();
    model_ = nullptr;
    if (ds) {
      try {
        ds->rollback();
      } catch (...) {  // the first failure is the one to report
      }
    }
    throw;
  }
  auto parts = std::move(m.tx->parts);
  std::shared_ptr<const ChangeReport> whole;
  if (parts.size() == 1) {
    whole = parts.front();
  } else if (parts.size() > 1) {
    // Before the undo log goes: the builder's list of created elements
    // counts none of them.
    ReportBuilder builder(ReportBuilder::wholeMark);
    for (const auto& part : parts) builder.replay(*part);
    whole = builder.take();
  }
  m.endTransaction();
  model_ = nullptr;
  if (whole) notifyListeners(m, parts, whole);
}

void Transaction::rollback() {
  ModelState& m = endable(model_);
  model_ = nullptr;
  m.rollbackTransaction(false);
}

// ---------------------------------------------------------------------------
// Freeze.

FreezeGuard Model::Impl::freeze() {
  ++state_->freezeCount;
  return FreezeGuard(this);
}

bool Model::Impl::isFrozen() const noexcept { return state_->freezeCount > 0; }

FreezeGuard::FreezeGuard(FreezeGuard&& other) noexcept : model_(other.model_) { other.model_ = nullptr; }
FreezeGuard& FreezeGuard::operator=(FreezeGuard&& other) noexcept {
  if (this != &other) {
    release();
    model_ = other.model_;
    other.model_ = nullptr;
  }
  return *this;
}
FreezeGuard::~FreezeGuard() { release(); }
void FreezeGuard::release() noexcept {
  if (model_) --model_->state().freezeCount;
  model_ = nullptr;
}

// ---------------------------------------------------------------------------
// Data source and listeners.

void Model::Impl::setDataSource(std::unique_ptr<datasource::DataSource> dataSource) {
  if (state_->tx) throw std::logic_error("qm0: the data source cannot change inside a transaction");
  resetDataSource();
  state_->dataSource = std::move(dataSource);
}

void Model::Impl::resetDataSource() noexcept {
  // Taken out first: its destructor may call back into the model.
  std::unique_ptr<datasource::DataSource> old = std::move(state_->dataSource);
  old.reset();
}

datasource::DataSource* Model::Impl::getDataSource() const noexcept { return state_->dataSource.get(); }

bool Model::Impl::addListener(std::unique_ptr<ListenerHolderBase> holder) {
  if (!holder || !holder->getListener()) throw std::invalid_argument("qm0: null listener");
  ModelState& m = *state_;
  // It would never be told that it was removed.
  if (m.closing) throw std::logic_error("qm0: the model is being destroyed");
  auto& ls = m.listeners;
  for (const auto& e : ls)
    if (e->holder->getListener() == holder->getListener()) return false;
  auto at = std::upper_bound(ls.begin(), ls.end(), holder->getPriority(),
                             [](int priority, const auto& e) { return priority < e->holder->getPriority(); });
  auto entry = std::make_shared<detail::ListenerEntry>();
  entry->holder = std::move(holder);
  ls.insert(at, std::move(entry));
  return true;
}

bool Model::Impl::removeListener(const Listener* listener) {
  ModelState& m = *state_;
  auto& ls = m.listeners;
  auto it = std::find_if(ls.begin(), ls.end(), [&](const auto& e) { return e->holder->getListener() == listener; });
  if (it == ls.end()) return false;
  Model keep = m.keepAlive();
  std::shared_ptr<detail::ListenerEntry> entry = std::move(*it);
  ls.erase(it);
  m.tellRemoved(*entry);
  return true;
}

Listener::Listener() = default;
Listener::~Listener() = default;
void Listener::listenerRemoved() {}
void Listener::firstChangeOccurred() {}
ListenerHolderBase::~ListenerHolderBase() = default;

}  // namespace qm::zero
