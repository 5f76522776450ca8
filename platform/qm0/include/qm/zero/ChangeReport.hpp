#pragma once
// Change reports: what one transaction (or one part of it, see
// Model::Impl::requestSnapshot) changed in a model.

#include <qm/zero/Value.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qm::zero {

/// One change of an ordered multi-valued property, in the order the changes
/// were made. Indexes are those at the moment of the change. Immutable.
class QM0_API OCDChange {
 public:
  enum Kind : std::uint32_t { Insert = 0, Remove = 1, Replace = 2 };

  OCDChange(std::uint32_t kind, std::size_t index, Value entry)
      : kind_(kind), index_(index), entry_(std::move(entry)) {}

  std::uint32_t getKind() const noexcept { return kind_; }
  std::size_t getIndex() const noexcept { return index_; }
  /// The new entry of an insert or replace, as one-entry value of the
  /// property's type; empty for a remove.
  const Value& getValue() const noexcept { return entry_; }

  /// The new primitive entry as a `T`; none for a remove, or when the entry
  /// is not a `T`.
  template <class T>
  boost::optional<T> getPrimitiveValue() const {
    using S = detail::EntryStorageT<T>;
    if (entry_.isEmpty()) return boost::none;
    if (const S* p = std::get_if<S>(&entry_.getEntries().front())) return T(*p);
    return boost::none;
  }
  /// The new enumeration literal value; 0 for a remove.
  std::int32_t getEnumValue() const;
  /// The uuid of the new target of a reference; nil for a remove.
  boost::uuids::uuid getTargetId() const;

 private:
  std::uint32_t kind_;
  std::size_t index_;
  Value entry_;
};

using OCDChangeList = std::vector<std::shared_ptr<OCDChange>>;

template <class Element>
class ShallowChangeReport;

/// The changed properties of one element: a view of its report, valid
/// while the report lives.
class PropertyList {
 public:
  PropertyList() noexcept = default;
  PropertyList(const meta::Property* first, const meta::Property* last) noexcept : first_(first), last_(last) {}
  const meta::Property* begin() const noexcept { return first_; }
  const meta::Property* end() const noexcept { return last_; }
  std::size_t size() const noexcept { return static_cast<std::size_t>(last_ - first_); }
  bool empty() const noexcept { return first_ == last_; }
  const meta::Property& operator[](std::size_t i) const noexcept { return first_[i]; }

 private:
  const meta::Property* first_ = nullptr;
  const meta::Property* last_ = nullptr;
};

/// Per element and property: which properties changed and, for ordered
/// multi-valued properties, the individual changes. Immutable once the
/// report is delivered; read it on the thread that received it.
///
/// A property appears in `getChangedProperties` of an element at most once,
/// in the order of its first change. Ordered changes are kept only while they
/// describe the change completely: after a whole-value `set` (or for an
/// element created in the same report) the property has none, and the whole
/// current value is what counts.
class QM0_API ReportData {
 public:
  ReportData();
  ~ReportData();
  ReportData(const ReportData&) = delete;
  ReportData& operator=(const ReportData&) = delete;

  /// True when the report has any created, modified, destroyed or ephemeral
  /// element, or the all-destroyed flag.
  bool containsAnyModelElementChanges() const noexcept;
  /// The changed properties of a modified element; empty for any other.
  PropertyList getChangedProperties(const ModelElement& element) const;
  /// True when `getPropertyOCDChanges(element, property)` is not empty.
  bool containsOperationalChanges(const ModelElement& element, const meta::Property& property) const;
  /// The ordered changes of `property` of `element`, in order; empty when none.
  const OCDChangeList& getPropertyOCDChanges(const ModelElement& element, const meta::Property& property) const;
  /// The same two for the `k`th of the report's modified elements, found by
  /// its place instead of looked up: a report of millions of elements read
  /// in its order this way never makes its index of elements.
  PropertyList getChangedPropertiesAt(std::size_t k) const;
  const OCDChangeList& getPropertyOCDChangesAt(std::size_t k, const meta::Property& property) const;

 private:
  friend class ReportBuilder;
  friend class ShallowChangeReport<ModelElement>;
  struct State;
  std::unique_ptr<State> state_;
};


/// The report of one transaction, or of one part of a transaction. An
/// element appears in at most one of the four lists, each in the order the
/// elements were first involved:
/// - created: made in this report and still alive at its end;
/// - modified: existed before this report, still alive, properties changed;
/// - destroyed: existed before this report and was destroyed in it;
/// - ephemeral: created and destroyed within this report.
/// With the all-elements-destroyed flag set (Model::Impl::destroyAllElements)
/// the report stands for "every element is gone" and its lists describe
/// only what was destroyed. Immutable; shared by the framework, the data
/// source and the listeners that receive it.
template <>
class QM0_API ShallowChangeReport<ModelElement> {
 public:
  ShallowChangeReport();
  ~ShallowChangeReport();
  ShallowChangeReport(const ShallowChangeReport&) = delete;
  ShallowChangeReport& operator=(const ShallowChangeReport&) = delete;

  const std::vector<ModelElement>& getCreatedElements() const noexcept { return created_; }
  const std::vector<ModelElement>& getModifiedElements() const noexcept { return modified_; }
  const std::vector<ModelElement>& getDestroyedElements() const noexcept { return destroyed_; }
  const std::vector<ModelElement>& getEphemeralElements() const noexcept { return ephemeral_; }
  bool allElementsDestroyed() const noexcept { return allDestroyed_; }
  const ReportData& getReportData() const noexcept { return data_; }
  /// Same as getReportData().getChangedProperties(element).
  PropertyList getChangedProperties(const ModelElement& element) const {
    return data_.getChangedProperties(element);
  }
  /// True when nothing is reported.
  bool isEmpty() const noexcept { return !data_.containsAnyModelElementChanges(); }
  /// A copy that a listener may keep beyond the call that gave it this
  /// report (one that writes the report later, say). It shares the ordered
  /// changes, which never change, and holds the elements it names.
  std::shared_ptr<const ShallowChangeReport> clone() const;

 private:
  friend class ReportBuilder;
  std::vector<ModelElement> created_;
  std::vector<ModelElement> modified_;
  std::vector<ModelElement> destroyed_;
  std::vector<ModelElement> ephemeral_;
  bool allDestroyed_ = false;
  ReportData data_;
};

using ChangeReport = ShallowChangeReport<ModelElement>;

}  // namespace qm::zero
