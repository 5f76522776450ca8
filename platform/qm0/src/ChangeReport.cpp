#include <qm/zero/ChangeReport.hpp>

#include "ModelState.hpp"
#include "ReportBuilder.hpp"

#include <algorithm>
#include <mutex>
#include <unordered_map>

namespace qm::zero {

using foundation::memory::PointerIndex;

std::int32_t OCDChange::getEnumValue() const { return entry_.isEmpty() ? 0 : entry_.get<std::int32_t>(); }

boost::uuids::uuid OCDChange::getTargetId() const {
  if (entry_.isEmpty()) return boost::uuids::uuid{};
  return entry_.getElement().getUUID();
}

// ---------------------------------------------------------------------------

// Flat: a report of a large commit names millions of modified elements,
// mostly with one changed property each.
struct ReportData::State {
  // Per modified element, in the report's order, its changed properties:
  // properties[first, end).
  std::vector<std::pair<std::uint32_t, std::uint32_t>> runs;
  std::vector<meta::Property> properties;
  // The ordered changes of the few properties that have them, by place in
  // `properties`.
  std::unordered_map<std::uint32_t, OCDChangeList> ordered;
  bool any = false;
  // The report's modified elements, and an index of them made on the first
  // look-up by element (a reader in the report's order needs none: at a
  // million elements it is tens of megabytes).
  const std::vector<ModelElement>* modified = nullptr;
  mutable std::once_flag indexed;
  mutable PointerIndex index;

  // The run of `element`, npos when it was not modified.
  std::uint32_t runOf(const ModelElement& element) const {
    if (modified == nullptr) return PointerIndex::npos;
    const auto keyOf = [this](std::uint32_t k) -> const void* { return (*modified)[k].get(); };
    std::call_once(indexed, [&] {
      index.reserve(modified->size(), keyOf);
      for (std::size_t k = 0; k < modified->size(); ++k)
        index.insert((*modified)[k].get(), static_cast<std::uint32_t>(k), keyOf);
    });
    return index.find(element.get(), keyOf);
  }
  PropertyList propertiesOf(std::uint32_t run) const noexcept {
    if (run == PointerIndex::npos || run >= runs.size()) return PropertyList();
    const meta::Property* first = properties.data();
    return PropertyList(first + runs[run].first, first + runs[run].second);
  }
  const OCDChangeList& orderedChanges(std::uint32_t run, const meta::Property& property) const;
};

namespace {
const OCDChangeList noChanges;
}  // namespace

const OCDChangeList& ReportData::State::orderedChanges(std::uint32_t run, const meta::Property& property) const {
  if (run == PointerIndex::npos || run >= runs.size() || ordered.empty()) return noChanges;
  for (std::uint32_t i = runs[run].first; i < runs[run].second; ++i) {
    if (properties[i] != property) continue;
    const auto found = ordered.find(i);
    return found == ordered.end() ? noChanges : found->second;
  }
  return noChanges;
}

ReportData::ReportData() : state_(std::make_unique<State>()) {}
ReportData::~ReportData() = default;

bool ReportData::containsAnyModelElementChanges() const noexcept { return state_->any; }

PropertyList ReportData::getChangedProperties(const ModelElement& element) const {
  return state_->propertiesOf(state_->runOf(element));
}

const OCDChangeList& ReportData::getPropertyOCDChanges(const ModelElement& element,
                                                       const meta::Property& property) const {
  return state_->ordered.empty() ? noChanges : state_->orderedChanges(state_->runOf(element), property);
}

bool ReportData::containsOperationalChanges(const ModelElement& element, const meta::Property& property) const {
  return !getPropertyOCDChanges(element, property).empty();
}

PropertyList ReportData::getChangedPropertiesAt(std::size_t k) const {
  return state_->propertiesOf(static_cast<std::uint32_t>(k));
}

const OCDChangeList& ReportData::getPropertyOCDChangesAt(std::size_t k, const meta::Property& property) const {
  return state_->orderedChanges(static_cast<std::uint32_t>(k), property);
}

ShallowChangeReport<ModelElement>::ShallowChangeReport() = default;
ShallowChangeReport<ModelElement>::~ShallowChangeReport() = default;

std::shared_ptr<const ShallowChangeReport<ModelElement>> ShallowChangeReport<ModelElement>::clone() const {
  auto copy = std::make_shared<ShallowChangeReport<ModelElement>>();
  copy->created_ = created_;
  copy->modified_ = modified_;
  copy->destroyed_ = destroyed_;
  copy->ephemeral_ = ephemeral_;
  copy->allDestroyed_ = allDestroyed_;
  ReportData::State& to = *copy->data_.state_;
  const ReportData::State& from = *data_.state_;
  to.runs = from.runs;
  to.properties = from.properties;
  to.ordered = from.ordered;
  to.any = from.any;
  to.modified = &copy->modified_;
  return copy;
}

// ---------------------------------------------------------------------------

namespace {
std::uint8_t& marksOf(const ModelElement& element) noexcept { return detail::elementImpl(element)->reportMarks; }
std::uint8_t& marksOf(ModelElement::Impl* element) noexcept {
  return static_cast<detail::ElementImpl*>(element)->reportMarks;
}
}  // namespace

bool ReportBuilder::isCreated(const ModelElement& element) const noexcept {
  return (marksOf(element) & mark_) != 0;
}

void ReportBuilder::unmarkCreated() noexcept {
  for (ModelElement::Impl* e : created_) marksOf(e) &= static_cast<std::uint8_t>(~mark_);
}

ReportBuilder::~ReportBuilder() { unmarkCreated(); }

void ReportBuilder::created(const ModelElement& element) {
  std::uint8_t& marks = marksOf(element);
  if ((marks & mark_) == 0) {
    marks |= mark_;
    created_.push_back(element.get());
  }
  ++count_;
}

void ReportBuilder::destroyed(const ModelElement& element) {
  // What happened to a destroyed element's own properties no longer matters.
  const std::uint32_t at = modified_.find(element);
  if (at != npos) firstChange_[at] = npos;
  modified_.remove(element);
  if (isCreated(element)) {
    marksOf(element) &= static_cast<std::uint8_t>(~mark_);
    ephemeral_.add(element);
  } else {
    destroyed_.add(element);
  }
  ++count_;
}

std::uint32_t ReportBuilder::entryFor(const ModelElement& element, const meta::Property::Impl* property) {
  const std::uint32_t at = modified_.add(element);
  if (at == firstChange_.size()) firstChange_.push_back(npos);
  std::uint32_t last = npos;
  for (std::uint32_t i = firstChange_[at]; i != npos; i = changes_[i].next) {
    if (changes_[i].property == property) return i;
    last = i;
  }
  const auto added = static_cast<std::uint32_t>(changes_.size());
  changes_.push_back(PropertyChanges{property});
  (last == npos ? firstChange_[at] : changes_[last].next) = added;
  return added;
}

void ReportBuilder::modified(ModelElement::Impl* element, const meta::Property::Impl* property) {
  // A new element is reported with its final state.
  if ((static_cast<detail::ElementImpl*>(element)->reportMarks & mark_) != 0) return;
  PropertyChanges& pc = changes_[entryFor(ModelElement(element), property)];
  if (pc.hasList()) orderedChanges_[pc.ordered].clear();
  pc.ordered = PropertyChanges::changedWhole;
  ++count_;
}

void ReportBuilder::ordered(const ModelElement& element, const meta::Property::Impl* property, std::uint32_t kind,
                            std::size_t index, Value entry) {
  if (isCreated(element)) return;
  addOrdered(element, property, std::make_shared<OCDChange>(kind, index, std::move(entry)));
}

void ReportBuilder::addOrdered(const ModelElement& element, const meta::Property::Impl* property,
                               std::shared_ptr<OCDChange> change) {
  PropertyChanges& pc = changes_[entryFor(element, property)];
  if (pc.ordered != PropertyChanges::changedWhole) {
    if (pc.ordered == npos) {
      pc.ordered = static_cast<std::uint32_t>(orderedChanges_.size());
      orderedChanges_.emplace_back();
    }
    orderedChanges_[pc.ordered].push_back(std::move(change));
  }
  ++count_;
}

// A property's ordered changes are listed only while it did not change
// whole: a list in the part is a series of edits, none a whole change.
void ReportBuilder::replay(const ShallowChangeReport<ModelElement>& part) {
  for (const ModelElement& e : part.created_) created(e);
  const ReportData::State& data = *part.data_.state_;
  for (std::size_t k = 0; k < part.modified_.size(); ++k) {
    const ModelElement& e = part.modified_[k];
    for (std::uint32_t i = data.runs[k].first; i < data.runs[k].second; ++i) {
      const meta::Property::Impl* property = data.properties[i].operator->();
      const auto edits = data.ordered.find(i);
      if (edits == data.ordered.end()) {
        modified(e.get(), property);
      } else if (!isCreated(e)) {
        for (const std::shared_ptr<OCDChange>& change : edits->second) addOrdered(e, property, change);
      }
    }
  }
  for (const ModelElement& e : part.destroyed_) destroyed(e);
  for (const ModelElement& e : part.ephemeral_) {
    created(e);
    destroyed(e);
  }
  if (part.allDestroyed_) allDestroyed();
}

void ReportBuilder::clear() {
  unmarkCreated();
  created_.clear();
  modified_ = List();
  destroyed_ = List();
  ephemeral_ = List();
  firstChange_ = {};
  changes_ = {};
  orderedChanges_ = {};
  count_ = 0;
  allDestroyed_ = false;
}

namespace {

// Closes up the holes removals left in `items`, keeping the order, and the
// same places of `alongside`.
void closeHoles(std::vector<ModelElement>& items, std::vector<std::uint32_t>* alongside = nullptr) {
  std::size_t kept = 0;
  for (std::size_t at = 0; at < items.size(); ++at) {
    if (!items[at]) continue;
    if (kept != at) {
      items[kept] = std::move(items[at]);
      if (alongside != nullptr) (*alongside)[kept] = (*alongside)[at];
    }
    ++kept;
  }
  items.resize(kept);
  if (alongside != nullptr) alongside->resize(kept);
}

}  // namespace

std::shared_ptr<const ShallowChangeReport<ModelElement>> ReportBuilder::take() {
  auto report = std::make_shared<ShallowChangeReport<ModelElement>>();
  ReportData::State& data = *report->data_.state_;
  std::vector<ModelElement>& modified = modified_.items;
  closeHoles(modified, &firstChange_);
  modified_.index = PointerIndex();  // the report makes its own when asked
  data.runs.reserve(modified.size());
  data.properties.reserve(changes_.size());
  for (std::size_t at = 0; at < modified.size(); ++at) {
    const auto first = static_cast<std::uint32_t>(data.properties.size());
    for (std::uint32_t i = firstChange_[at]; i != npos; i = changes_[i].next) {
      const PropertyChanges& pc = changes_[i];
      if (pc.hasList() && !orderedChanges_[pc.ordered].empty()) {
        const auto place = static_cast<std::uint32_t>(data.properties.size());
        data.ordered.emplace(place, std::move(orderedChanges_[pc.ordered]));
      }
      data.properties.emplace_back(pc.property);
    }
    data.runs.emplace_back(first, static_cast<std::uint32_t>(data.properties.size()));
  }
  report->modified_ = std::move(modified);
  closeHoles(destroyed_.items);
  report->destroyed_ = std::move(destroyed_.items);
  closeHoles(ephemeral_.items);
  report->ephemeral_ = std::move(ephemeral_.items);
  finish(*report);
  clear();
  return report;
}

void ReportBuilder::finish(ShallowChangeReport<ModelElement>& report) const {
  report.created_.reserve(created_.size());
  for (ModelElement::Impl* e : created_)
    if ((marksOf(e) & mark_) != 0) report.created_.emplace_back(e);
  report.allDestroyed_ = allDestroyed_;
  ReportData::State& data = *report.data_.state_;
  data.modified = &report.modified_;
  data.any = allDestroyed_ || !report.created_.empty() || !report.modified_.empty() || !report.destroyed_.empty() ||
             !report.ephemeral_.empty();
}

}  // namespace qm::zero
