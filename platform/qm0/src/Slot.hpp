#pragma once
// One attribute of an element: what Value's entries are, stored in 16 bytes.

#include <qm/zero/Value.hpp>

#include <cstddef>
#include <cstdint>

namespace qm::zero::detail {

/// The entries of one attribute of an element, in 16 bytes. An element has
/// one slot per attribute, and most of them hold nothing or one small
/// entry, so a slot keeps
/// - nothing, for an empty value;
/// - one entry in place: a number, a Boolean, a date-time, a reference (a
///   counted element pointer), or a text of up to 14 bytes (7 UTF-16 code
///   units for String);
/// - one longer text as its bare characters on the heap;
/// - anything else (several entries, a uuid, an array, a map, a data value)
///   as an `Entries` list on the heap.
/// Which one is an implementation detail: every operation reads and writes
/// entries, and the slot picks the smallest form after each change.
///
/// A slot also carries the "unloaded" flag of a deferred collection: it is
/// copied and moved with the contents (so an undo log that saves the slot
/// saves the flag), and clearing the contents leaves it as it is.
class Slot {
 public:
  Slot() noexcept = default;
  Slot(const Slot& other);
  Slot(Slot&& other) noexcept;
  Slot& operator=(const Slot& other);
  Slot& operator=(Slot&& other) noexcept;
  ~Slot() { clear(); }

  std::size_t size() const noexcept;
  bool empty() const noexcept { return kind() == Kind::Empty; }
  /// A copy of the entry at `index` (< size()).
  Entry at(std::size_t index) const;
  /// The element of a reference entry at `index` (< size()), uncounted.
  ModelElement::Impl* elementAt(std::size_t index) const noexcept;
  /// A copy of every entry.
  Entries entries() const;
  /// Calls `f` with the entries as `const Entries&` (a temporary one for a
  /// single entry kept in place).
  template <class F>
  decltype(auto) withEntries(F&& f) const {
    if (kind() == Kind::List) return f(*list());
    return f(entries());
  }
  bool equals(const Entries& entries) const;
  bool equalsAt(std::size_t index, const Entry& entry) const;

  void assign(const Entries& entries);
  void assign(Entries&& entries);
  void insert(std::size_t index, Entry entry);
  void erase(std::size_t index);
  void replace(std::size_t index, Entry entry);
  /// Drops the contents; the unloaded flag stays.
  void clear() noexcept;

  bool isUnloaded() const noexcept { return (tag_ & unloadedBit) != 0; }
  void setUnloaded(bool unloaded) noexcept {
    tag_ = static_cast<std::uint8_t>(unloaded ? tag_ | unloadedBit : tag_ & ~unloadedBit);
  }

 private:
  // In place, the kind is the Entry alternative index (1 to 14); the others
  // come after the last alternative.
  enum class Kind : std::uint8_t { Empty = 0, HeapString = 16, HeapStdString = 17, List = 18 };
  static constexpr std::uint8_t unloadedBit = 0x80;
  static constexpr std::size_t inlineText = 14;  // bytes of text kept in place

  Kind kind() const noexcept { return static_cast<Kind>(tag_ & ~unloadedBit); }
  void setKind(Kind k) noexcept { tag_ = static_cast<std::uint8_t>((tag_ & unloadedBit) | static_cast<std::uint8_t>(k)); }
  void setKind(std::size_t alternative) noexcept { setKind(static_cast<Kind>(alternative)); }
  Entries* list() const noexcept;
  // Stores one entry in an empty slot, in place when it can.
  void setSingle(Entry entry);
  // Replaces the contents with `entry` when it is kept in place; false (and
  // nothing changes) when it is not.
  bool assignInPlace(const Entry& entry);
  // Turns a single entry into a list of one.
  Entries& makeList();
  // Drops the contents and keeps `list` (made with new) as the entries.
  void adoptList(Entries* list) noexcept;
  // Back to the smallest form after a list shrank.
  void shrink();
  void copyFrom(const Slot& other);

  alignas(8) unsigned char raw_[inlineText] = {};
  std::uint8_t length_ = 0;  // code units of a text in place
  std::uint8_t tag_ = 0;     // Kind, and the unloaded bit
};

static_assert(sizeof(Slot) == 16, "a slot is 16 bytes");

}  // namespace qm::zero::detail
