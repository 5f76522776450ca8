#pragma once
// Collects the changes of one report while a transaction runs.

#include <qm/zero/ChangeReport.hpp>

#include <foundation/memory/PointerIndex.hpp>

#include <memory>
#include <vector>

namespace qm::zero {

/// Records changes in the order they happen and turns them into a report.
/// The element lists keep first-involvement order; removals leave a null
/// hole that take() closes.
///
/// Whether an element was created in this report is asked at every change
/// of it, and a transaction may create millions: the answer is a mark on
/// the element itself (the builder's own bit of ElementImpl::reportMarks,
/// set while the element is in its created list), not a lookup.
class ReportBuilder {
 public:
  // The open transaction's builder of its current piece, and the one that
  // replays a transaction's parts into the report of the whole at its end:
  // each holds a mark of its own.
  static constexpr std::uint8_t pieceMark = 1, wholeMark = 2;

  explicit ReportBuilder(std::uint8_t mark) noexcept : mark_(mark) {}
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;
  ~ReportBuilder();
  void created(const ModelElement& element);
  void destroyed(const ModelElement& element);
  /// A change of `property` described by the whole current value. Takes the
  /// element uncounted: a change of a new element, the common case, records
  /// nothing and so makes no handle.
  void modified(ModelElement::Impl* element, const meta::Property::Impl* property);
  /// One change of an ordered multi-valued property.
  void ordered(const ModelElement& element, const meta::Property::Impl* property, std::uint32_t kind,
               std::size_t index, Value entry);
  void allDestroyed() { allDestroyed_ = true; }
  bool empty() const noexcept { return count_ == 0 && !allDestroyed_; }
  void clear();
  /// The report, built from lists taken rather than copied: the builder is
  /// left empty. A commit of millions of changes then never holds them
  /// twice.
  std::shared_ptr<const ShallowChangeReport<ModelElement>> take();
  /// Records what `part` reports, as if it happened now: the parts of a
  /// transaction replayed in their order make the report of the whole.
  void replay(const ShallowChangeReport<ModelElement>& part);

 private:
  static constexpr std::uint32_t npos = foundation::memory::PointerIndex::npos;
  /// One changed property of a modified element, 16 bytes: a commit may
  /// change millions. An element's changed properties are chained in the
  /// order of their first change.
  struct PropertyChanges {
    /// `ordered` of a property changed whole, whose edits no longer count.
    static constexpr std::uint32_t changedWhole = npos - 1;
    const meta::Property::Impl* property;
    std::uint32_t next = npos;     ///< the element's next changed property
    std::uint32_t ordered = npos;  ///< its list in orderedChanges_; npos: none; or changedWhole
    bool hasList() const noexcept { return ordered != npos && ordered != changedWhole; }
  };
  static_assert(sizeof(PropertyChanges) == 16, "a changed property is 16 bytes");
  /// Elements in first-involvement order; a removed one leaves a null hole.
  struct List {
    std::vector<ModelElement> items;
    foundation::memory::PointerIndex index;  ///< element -> its place in items
    /// The element at a place, for the index, which keeps places only.
    struct KeyOf {
      const std::vector<ModelElement>* items;
      const void* operator()(std::uint32_t k) const noexcept { return (*items)[k].get(); }
    };
    KeyOf keyOf() const noexcept { return KeyOf{&items}; }
    /// The place of `e`, added at the end when it is not listed.
    std::uint32_t add(const ModelElement& e) {
      const auto place = static_cast<std::uint32_t>(items.size());
      const auto added = index.insert(e.get(), place, keyOf());
      if (!added.second) return added.first;
      try {
        items.push_back(e);
      } catch (...) {
        index.takeBack(e.get(), place, keyOf());
        throw;
      }
      return place;
    }
    std::uint32_t find(const ModelElement& e) const { return index.find(e.get(), keyOf()); }
    bool remove(const ModelElement& e) {
      const std::uint32_t at = find(e);
      if (at == npos) return false;
      index.erase(e.get(), keyOf());
      items[at] = ModelElement();  // after the erase, which reads the keys of the places it moves
      return true;
    }
  };
  /// The changes of `property` of `element` (listed as modified): their
  /// place in changes_, added when the property has none yet.
  std::uint32_t entryFor(const ModelElement& element, const meta::Property::Impl* property);
  bool isCreated(const ModelElement& element) const noexcept;
  void unmarkCreated() noexcept;
  void addOrdered(const ModelElement& element, const meta::Property::Impl* property,
                  std::shared_ptr<OCDChange> change);
  /// The created elements, and what is known of the whole, into `report`.
  void finish(ShallowChangeReport<ModelElement>& report) const;

  std::uint8_t mark_;
  // Those still marked are the created ones. Uncounted: a reported
  // element was made in the open transaction, whose undo log holds it, or
  // was a proxy the log saved, and the transaction's builders go before
  // its log; counting each new element twice more was a measurable part of
  // making it.
  std::vector<ModelElement::Impl*> created_;
  List modified_, destroyed_, ephemeral_;
  // Flat, for the millions of elements one commit may change: per place in
  // modified_, the first of its changed properties (npos: none).
  std::vector<std::uint32_t> firstChange_;
  std::vector<PropertyChanges> changes_;
  std::vector<OCDChangeList> orderedChanges_;
  std::size_t count_ = 0;  // changes recorded, for empty()
  bool allDestroyed_ = false;
};

}  // namespace qm::zero
