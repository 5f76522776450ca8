#pragma once
// The inner state of a model and of its elements, shared by Model.cpp and
// ModelElement.cpp.

#include <qm/zero/Model.hpp>
#include <qm/zero/Value.hpp>
#include <qm/zero/datasource/DataSource.hpp>

#include "ElementTable.hpp"
#include "ReportBuilder.hpp"
#include "Slot.hpp"

#include <foundation/memory/PointerIndex.hpp>

#include <boost/functional/hash.hpp>

#include <deque>
#include <exception>
#include <memory>
#include <memory_resource>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qm::zero::detail {

// A listener's failure must not stop the model or the other listeners: it is
// logged and dropped.
void logListenerFailure(std::exception_ptr failure) noexcept;

/// A model element: its class, its model, its owner and one slot per
/// attribute of its class (the attribute's slot index). About 110 bytes and
/// 16 per attribute, in one block (the slots follow the element): what every
/// element of a model of millions pays, once in memory and once in malloc's
/// time. Only a class refined to one with more attributes moves the slots
/// to a block of their own.
class ElementImpl final : public ModelElement::Impl {
 public:
  // Live: in memory; Proxy: known, not loaded; Destroyed: gone (or never
  // existed, for an element whose creation was rolled back).
  enum class State : std::uint8_t { Live, Proxy, Destroyed };

  /// A new element with every slot empty; its last handle deletes it.
  static ElementImpl* make(const meta::Class& cls, const boost::uuids::uuid& uuid, Model::Impl* model);
  ~ElementImpl() override;
  // The block came from make(): `delete` of an element (its last handle's)
  // gives it back whole.
  static void operator delete(void* block) noexcept { ::operator delete(block); }
  // Gives the element a subclass of its class (or its class back); the
  // common slots keep their places.
  void refineClass(const meta::Class& subclass);

  meta::Class cls;  // keeps the class's package alive
  Model::Impl* model;
  ElementImpl* owner = nullptr;  // the composite owner; it holds this element
  const meta::Property::Impl* owningProperty = nullptr;
  Slot* slots;  // slotCount of them; a slot's flag marks a deferred collection not loaded yet
  std::uint32_t slotCount;
  State state = State::Destroyed;
  std::uint8_t reportMarks = 0;  // the open transaction's reports that list the element as created (ReportBuilder)
  bool slotsApart = false;       // the slots are a `new Slot[]` of their own (refineClass), not in the block
  // The model's log epoch when the element was made: an undo log opened at
  // or before it keeps nothing of the element but its birth (see UndoLog).
  std::uint64_t born = 0;
  std::uint64_t storeHint = 0;  // the data source's (ModelElement::getStoreHint)

  bool isUnloaded(std::uint32_t slot) const noexcept { return slot < slotCount && slots[slot].isUnloaded(); }

 private:
  ElementImpl(const meta::Class& cls, const boost::uuids::uuid& uuid, Model::Impl* model, Slot* slots) noexcept;
  void dropSlots() noexcept;
};
static_assert(sizeof(ElementImpl) % alignof(Slot) == 0, "the slots follow the element in its block");

inline ElementImpl* elementImpl(const ModelElement& e) { return static_cast<ElementImpl*>(e.get()); }

/// How a log covers one slot of an element it saved: by its edits until
/// they would cost about as much as a copy, then by a copy, after which
/// nothing more of the slot is needed.
struct SlotLog {
  static constexpr std::uint32_t none = 0xFFFFFFFFu;
  static constexpr std::uint32_t maxEdits = 0x7FFFFFFFu;
  std::uint32_t slot = none;
  std::uint32_t editsLeft : 31;  // edits still logged one by one
  std::uint32_t copied : 1;      // a copy in the log restores everything since
};

/// An element's class, owner and state as they were before the log first
/// changed one of them.
struct SavedHeader {
  meta::Class cls;
  ModelElement owner;  // kept alive, to be the owner again
  const meta::Property::Impl* owningProperty;
  ElementImpl::State state;
};

/// An element that existed before the log opened and that the log changed.
/// A large commit saves millions of elements, nearly all of them for one
/// slot set whole: that slot's log and copy are kept here, any others in
/// the log's chain of further slots and its list of copies; the header only
/// once the class, the owner or the state changes (40 bytes an element
/// where a header and a copy's record each time took 80).
struct SavedElement {
  ModelElement handle;  // keeps the element alive until the transaction ends
  SlotLog first;        // the first slot changed (slot none: none yet)
  std::uint32_t more = SlotLog::none;    // the next, in UndoLog::moreSlots
  std::uint32_t header = SlotLog::none;  // in UndoLog::headers, once saved
  Slot firstCopy;                        // the first slot as it was, once `first.copied`
};

/// A further slot of a saved element, chained to the next.
struct MoreSlotLog {
  SlotLog log;
  std::uint32_t next = SlotLog::none;
};

/// One edit of a collection of an element that existed before the log
/// opened, logged as what was there and where, so that the first change of
/// a large collection does not copy it. A rollback undoes them newest first.
struct SlotChange {
  enum class Kind : std::uint8_t { Inserted, Erased, Replaced };
  ElementImpl* element;  // kept alive by its SavedElement
  std::uint32_t slot;
  Kind kind;
  std::size_t index;  // of the entry
  Entry old;          // Erased, Replaced: the entry that was there
};

/// A whole slot as it was before a change not logged as an edit (a value
/// set whole, or an edit past the budget of its slot). Taken once per slot
/// and log, after every edit of the slot the log holds: restoring it, then
/// undoing those edits, gives the slot back as it was.
struct CopiedSlot {
  ElementImpl* element;  // kept alive by its SavedElement
  std::uint32_t slot;
  Slot old;
};

/// What a transaction (or a loading transaction) changed; restoring it
/// undoes it. An element made while the log is open costs one handle here
/// and nothing per change, since undoing it is removing it; an element that
/// existed before gets a first-touch copy of its header, and its slots'
/// changes.
struct UndoLog {
  explicit UndoLog(std::uint64_t opened) : epoch(opened) {}
  bool madeHere(const ElementImpl* e) const noexcept { return e->born >= epoch; }

  std::uint64_t epoch;  // the model's log epoch when the log opened
  // A large commit saves millions of elements: in blocks, not a node each,
  // and never copied whole into a buffer twice as large as it grows.
  std::deque<SavedElement> saved;
  foundation::memory::PointerIndex savedIndex;  // an element -> its place in `saved`
  std::deque<SavedHeader> headers;
  std::deque<MoreSlotLog> moreSlots;
  std::deque<SlotChange> changes;  // edits, oldest first
  std::deque<CopiedSlot> copies;
  std::vector<ModelElement> born;  // made while the log is open, in order
  // The first class of an element made here as a proxy and then loaded as a
  // subclass, for the rare rollback that must give it back.
  std::unordered_map<const ElementImpl*, meta::Class> bornClasses;
};

struct TransactionState {
  explicit TransactionState(std::uint64_t epoch) : undo(epoch) {}
  datasource::TransactionId id;
  UndoLog undo;  // declared before the builders, so it outlives them (ReportBuilder's created list)
  ReportBuilder piece{ReportBuilder::pieceMark};  // changes since the last snapshot
  std::vector<std::shared_ptr<const ShallowChangeReport<ModelElement>>> parts;
  // The uuids of the elements destroyed in the transaction (a rollback
  // brings them back, and ends the transaction). Never erased one by one:
  // their nodes come from a pool given back whole when the transaction
  // ends, which a transaction destroying millions of elements does in a
  // moment, where freeing each node took seconds.
  std::pmr::monotonic_buffer_resource destroyedNodes;
  std::pmr::unordered_set<boost::uuids::uuid, boost::hash<boost::uuids::uuid>> destroyed{&destroyedNodes};
  bool firstChangeRecorded = false;
  bool firstChangePending = false;  // recorded, listeners not told yet
  bool committing = false;          // inside Transaction::commit
  bool abandoned = false;           // its Transaction died during a notification
};

/// One registered listener. Shared with the copies a notification walks, so
/// that a listener removed meanwhile is seen as removed and its holder stays
/// valid until the walk ends.
struct ListenerEntry {
  std::unique_ptr<ListenerHolderBase> holder;
  bool removed = false;
};

struct ModelState {
  explicit ModelState(Model::Impl* owner) : self(owner) {}

  Model::Impl* self;
  ElementTable elements;  // Live
  ElementTable proxies;   // Proxy
  std::vector<std::pair<meta::Package, std::size_t>> packageUse;  // first-use order
  std::unique_ptr<datasource::DataSource> dataSource;
  std::vector<std::shared_ptr<ListenerEntry>> listeners;  // by priority, then registration
  unsigned freezeCount = 0;
  unsigned dataSourceModification = 0;
  unsigned notifying = 0;  // listener calls in progress
  unsigned changing = 0;   // public changes in progress (ChangeScope)
  bool closing = false;    // the model is being destroyed
  std::unique_ptr<TransactionState> tx;
  std::vector<std::unique_ptr<UndoLog>> loading;  // open loading transactions, innermost last
  std::uint64_t logEpoch = 0;  // counts the undo logs opened

  // Refuses a change that is not allowed now (during a notification,
  // frozen, no transaction).
  void checkChange() const;
  // Refuses beginning or ending a transaction during a notification.
  void checkNotNotifying() const;
  // A handle that keeps the model alive across calls into hosts' code; null
  // while the model is being destroyed.
  Model keepAlive() const;
  // Whether a change is reported (an open transaction, no data-source
  // modification).
  bool reporting() const noexcept { return tx != nullptr && dataSourceModification == 0; }

  // Undo logs: the open transaction's and every open loading transaction's.
  // A new log's epoch; the logs opened before it are older.
  std::uint64_t openLog() noexcept { return ++logEpoch; }
  // A new element, or a new proxy: in every open log, removed by a rollback.
  void born(ElementImpl* e);
  // An element made in an open log takes a subclass (a proxy loaded).
  void classRefined(ElementImpl* e);
  void touch(ElementImpl* e);
  // Before a slot changes whole (or in a way an edit does not describe).
  void saveSlot(ElementImpl* e, std::uint32_t slot);
  // Before one entry of a collection changes: inserted at `index`, or the
  // entry at `index` erased or replaced.
  void logEdit(ElementImpl* e, std::uint32_t slot, SlotChange::Kind kind, std::size_t index);
  void restore(UndoLog& log);
  void setOwner(ElementImpl* e, ElementImpl* owner, const meta::Property::Impl* property);

  // Reports, to the current piece. The first change of a transaction is
  // told to the listeners once the public call that made it is complete
  // (ChangeScope), never half-way through it.
  template <class F>
  void record(F&& f) {
    if (!reporting()) return;
    f(tx->piece);
    if (!tx->firstChangeRecorded) tx->firstChangeRecorded = tx->firstChangePending = true;
  }
  void sendFirstChange();

  // Listener calls: `call` runs for every listener registered when the
  // notification starts and not removed since, with changes refused.
  template <class F>
  void notify(F&& call);
  // Runs one call into a listener; what it throws is logged and dropped.
  template <class F>
  static void guarded(F&& call) noexcept {
    try {
      call();
    } catch (...) {
      logListenerFailure(std::current_exception());
    }
  }
  void beginNotification() noexcept { ++notifying; }
  void endNotification();
  // Calls a listener's listenerRemoved (an entry already out of the list).
  void tellRemoved(ListenerEntry& entry);

  // Element tables: an element is in the table of its state.
  void enterTable(ElementImpl* e);
  void leaveTable(ElementImpl* e);
  // Asks the data source to load a proxy; nothing without a data source.
  void resolve(ElementImpl* e);
  // Asks the data source for the contents of a deferred collection once.
  void loadCollection(ElementImpl* e, const meta::Property::Impl* p);
  // Marks a deferred collection loaded; inline, since every whole-value set
  // asks and almost none is unloaded.
  void markLoaded(ElementImpl* e, const meta::Property::Impl* p) {
    if (e->isUnloaded(p->getSlotIndex())) markSlotLoaded(e, p->getSlotIndex());
  }
  void markSlotLoaded(ElementImpl* e, std::uint32_t slot);

  // Transactions.
  void cutPiece(bool alwaysCallSnapshot);
  void rollbackMemory();
  void endTransaction();
  // Rolls the open transaction back (memory, then the data source's
  // rollback); `quiet` swallows the data source's exception.
  void rollbackTransaction(bool quiet);
};

/// Brackets one public change. Changes nest (a data source may change the
/// model while it is asked to load something); when the outermost one
/// completes, the listeners hear of the transaction's first change. Keeps
/// the model alive while they are told, since a listener may drop the last
/// handle; only then, since counting the model twice in every change is a
/// measurable part of making an element.
class ChangeScope {
 public:
  // Only a change that may have to tell the first change watches for
  // unwinding: std::uncaught_exceptions is a call into the runtime's
  // thread-local state, too slow for every change of a transaction whose
  // listeners were told long ago.
  explicit ChangeScope(ModelState& m)
      : m_(m), watch_(!(m.tx && m.tx->firstChangeRecorded && !m.tx->firstChangePending)),
        exceptions_(watch_ ? std::uncaught_exceptions() : 0) {
    ++m_.changing;
  }
  ~ChangeScope() {
    // Unwinding: the notification waits for the next completed change or
    // the commit.
    if (--m_.changing > 0 || !watch_ || std::uncaught_exceptions() != exceptions_) return;
    if (!m_.tx || !m_.tx->firstChangePending) return;
    try {
      Model keep = m_.keepAlive();
      m_.sendFirstChange();
    } catch (...) {  // no memory for the copy of the listener list: it waits too
    }
  }
  ChangeScope(const ChangeScope&) = delete;
  ChangeScope& operator=(const ChangeScope&) = delete;

 private:
  ModelState& m_;
  bool watch_;
  int exceptions_;
};

template <class F>
void ModelState::notify(F&& call) {
  // A copy: listeners may register and remove listeners while they are told;
  // one removed meanwhile is skipped, one added waits for the next notification.
  std::vector<std::shared_ptr<ListenerEntry>> targets = listeners;
  beginNotification();
  for (const auto& entry : targets)
    if (!entry->removed) call(*entry);
  endNotification();
}

// Element operations used by the model and by data sources.
void destroyElement(ModelState& model, ElementImpl* e);
// Destroys `roots` and everything they own, owned elements before their owner.
void destroyElements(ModelState& model, const std::vector<ElementImpl*>& roots);
void setValue(ElementImpl* e, const meta::Property::Impl* p, const Value& value);
void setValue(ElementImpl* e, const meta::Property::Impl* p, Value&& value);
// A public set of a value the caller gives up (a builder's).
void setBuiltValue(const ModelElement& element, const meta::Property& property, Value&& value);
void linkElement(ElementImpl* e, const meta::Property::Impl* p, ElementImpl* target, std::size_t index);

}  // namespace qm::zero::detail
