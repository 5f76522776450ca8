#include <qm/zero/ChangeReport.hpp>

#include "ModelState.hpp"
#include "ReportBuilder.hpp"

#include <algorithm>
#include <unordered_map>

namespace qm::zero {

std::int32_t OCDChange::getEnumValue() const { return entry_.isEmpty() ? 0 : entry_.get<std::int32_t>(); }

boost::uuids::uuid OCDChange::getTargetId() const {
  if (entry_.isEmpty()) return boost::uuids::uuid{};
  return entry_.getElement().getUUID();
}

// ---------------------------------------------------------------------------

struct ReportData::State {
  struct ElementData {
    std::vector<meta::Property> properties;
    std::vector<OCDChangeList> changes;  // parallel to properties
  };
  std::unordered_map<const ModelElement::Impl*, ElementData> elements;
  bool any = false;
};

namespace {
const std::vector<meta::Property> noProperties;
const OCDChangeList noChanges;
}  // namespace

ReportData::ReportData() : state_(std::make_unique<State>()) {}
ReportData::~ReportData() = default;

bool ReportData::containsAnyModelElementChanges() const noexcept { return state_->any; }

const std::vector<meta::Property>& ReportData::getChangedProperties(const ModelElement& element) const {
  auto it = state_->elements.find(element.get());
  return it == state_->elements.end() ? noProperties : it->second.properties;
}

const OCDChangeList& ReportData::getPropertyOCDChanges(const ModelElement& element,
                                                       const meta::Property& property) const {
  auto it = state_->elements.find(element.get());
  if (it == state_->elements.end()) return noChanges;
  const auto& props = it->second.properties;
  auto p = std::find(props.begin(), props.end(), property);
  return p == props.end() ? noChanges : it->second.changes[static_cast<std::size_t>(p - props.begin())];
}

bool ReportData::containsOperationalChanges(const ModelElement& element, const meta::Property& property) const {
  return !getPropertyOCDChanges(element, property).empty();
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
  *copy->data_.state_ = *data_.state_;
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

void ReportBuilder::adopt(ReportBuilder& other) {
  unmarkCreated();
  // The builders trade marks rather than re-mark every created element:
  // at commit that was one more pass over all of them.
  std::swap(mark_, other.mark_);
  created_ = std::move(other.created_);
  modified_ = std::move(other.modified_);
  destroyed_ = std::move(other.destroyed_);
  ephemeral_ = std::move(other.ephemeral_);
  changes_ = std::move(other.changes_);
  count_ = other.count_;
  allDestroyed_ = other.allDestroyed_;
  other.clear();
}

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
  changes_.erase(element.get());
  modified_.remove(element);
  if (isCreated(element)) {
    marksOf(element) &= static_cast<std::uint8_t>(~mark_);
    ephemeral_.add(element);
  } else {
    destroyed_.add(element);
  }
  ++count_;
}

ReportBuilder::PropertyChanges& ReportBuilder::entryFor(const ModelElement& element,
                                                        const meta::Property::Impl* property) {
  modified_.add(element);
  auto& list = changes_[element.get()];
  for (auto& pc : list)
    if (pc.property == property) return pc;
  list.push_back(PropertyChanges{property, {}, false});
  return list.back();
}

void ReportBuilder::modified(ModelElement::Impl* element, const meta::Property::Impl* property) {
  // A new element is reported with its final state.
  if ((static_cast<detail::ElementImpl*>(element)->reportMarks & mark_) != 0) return;
  PropertyChanges& pc = entryFor(ModelElement(element), property);
  pc.whole = true;
  pc.changes.clear();
  ++count_;
}

void ReportBuilder::ordered(const ModelElement& element, const meta::Property::Impl* property, std::uint32_t kind,
                            std::size_t index, Value entry) {
  if (isCreated(element)) return;
  PropertyChanges& pc = entryFor(element, property);
  if (!pc.whole) pc.changes.push_back(std::make_shared<OCDChange>(kind, index, std::move(entry)));
  ++count_;
}

void ReportBuilder::clear() {
  unmarkCreated();
  created_.clear();
  modified_ = List();
  destroyed_ = List();
  ephemeral_ = List();
  changes_.clear();
  count_ = 0;
  allDestroyed_ = false;
}

std::shared_ptr<const ShallowChangeReport<ModelElement>> ReportBuilder::build() const {
  auto report = std::make_shared<ShallowChangeReport<ModelElement>>();
  auto copy = [](const List& from, std::vector<ModelElement>& to) {
    to.reserve(from.index.size());
    for (const ModelElement& e : from.items)
      if (e) to.push_back(e);
  };
  report->created_.reserve(created_.size());
  for (ModelElement::Impl* e : created_)
    if ((marksOf(e) & mark_) != 0) report->created_.emplace_back(e);
  copy(modified_, report->modified_);
  copy(destroyed_, report->destroyed_);
  copy(ephemeral_, report->ephemeral_);
  report->allDestroyed_ = allDestroyed_;
  ReportData::State& data = *report->data_.state_;
  for (const ModelElement& e : report->modified_) {
    auto& out = data.elements[e.get()];
    for (const PropertyChanges& pc : changes_.at(e.get())) {
      out.properties.emplace_back(pc.property);
      out.changes.push_back(pc.changes);
    }
  }
  data.any = allDestroyed_ || !report->created_.empty() || !report->modified_.empty() ||
             !report->destroyed_.empty() || !report->ephemeral_.empty();
  return report;
}

}  // namespace qm::zero
