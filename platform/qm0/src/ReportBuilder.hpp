#pragma once
// Collects the changes of one report while a transaction runs.

#include <qm/zero/ChangeReport.hpp>

#include <memory>
#include <unordered_map>
#include <vector>

namespace qm::zero {

/// Records changes in the order they happen and turns them into a report.
/// The element lists keep first-involvement order; removals leave a null
/// hole that build() skips.
///
/// Whether an element was created in this report is asked at every change
/// of it, and a transaction may create millions: the answer is a mark on
/// the element itself (the builder's own bit of ElementImpl::reportMarks,
/// set while the element is in its created list), not a lookup.
class ReportBuilder {
 public:
  // The open transaction's two builders: its current piece and, once it was
  // split, the whole transaction. Each holds one of the two marks, which
  // adopt() trades.
  static constexpr std::uint8_t pieceMark = 1, wholeMark = 2;

  explicit ReportBuilder(std::uint8_t mark) noexcept : mark_(mark) {}
  ReportBuilder(const ReportBuilder&) = delete;
  ReportBuilder& operator=(const ReportBuilder&) = delete;
  ~ReportBuilder();
  /// Takes over everything `other` collected (which is left empty) and, with
  /// its created elements, its mark; `other` takes this builder's mark.
  void adopt(ReportBuilder& other);

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
  std::shared_ptr<const ShallowChangeReport<ModelElement>> build() const;

 private:
  struct PropertyChanges {
    const meta::Property::Impl* property;
    OCDChangeList changes;
    bool whole = false;
  };
  struct List {
    std::vector<ModelElement> items;
    std::unordered_map<const ModelElement::Impl*, std::size_t> index;
    bool contains(const ModelElement& e) const { return index.count(e.get()) != 0; }
    void add(const ModelElement& e) {
      if (index.emplace(e.get(), items.size()).second) items.push_back(e);
    }
    bool remove(const ModelElement& e) {
      auto it = index.find(e.get());
      if (it == index.end()) return false;
      items[it->second] = ModelElement();
      index.erase(it);
      return true;
    }
  };
  PropertyChanges& entryFor(const ModelElement& element, const meta::Property::Impl* property);
  bool isCreated(const ModelElement& element) const noexcept;
  void unmarkCreated() noexcept;

  std::uint8_t mark_;
  // Those still marked are the created ones. Uncounted: a reported
  // element was made in the open transaction, whose undo log holds it, or
  // was a proxy the log saved, and the transaction's builders go before
  // its log; counting each new element twice more was a measurable part of
  // making it.
  std::vector<ModelElement::Impl*> created_;
  List modified_, destroyed_, ephemeral_;
  std::unordered_map<const ModelElement::Impl*, std::vector<PropertyChanges>> changes_;
  std::size_t count_ = 0;  // changes recorded, for empty()
  bool allDestroyed_ = false;
};

}  // namespace qm::zero
