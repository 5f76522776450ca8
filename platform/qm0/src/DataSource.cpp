#include <qm/zero/datasource/DataSource.hpp>

#include <qm/zero/Messages.hpp>

#include "ModelState.hpp"

#include <foundation/core/except/Exception.hpp>

#include <algorithm>
#include <stdexcept>

namespace qm::zero::datasource {

using detail::ElementImpl;

DataSource::~DataSource() = default;

Model ActiveDataSource::getModel() const { return Model(model_); }

void ActiveDataSource::requestSnapshot() { model_->requestSnapshot(); }

ActiveDataSource::ModificationGuard::ModificationGuard(Model::Impl* model) noexcept : model_(model) {
  ++model_->state().dataSourceModification;
}
ActiveDataSource::ModificationGuard::ModificationGuard(ModificationGuard&& other) noexcept : model_(other.model_) {
  other.model_ = nullptr;
}
ActiveDataSource::ModificationGuard::~ModificationGuard() {
  if (model_) --model_->state().dataSourceModification;
}

ActiveDataSource::ModificationGuard ActiveDataSource::startDataSourceModification() {
  return ModificationGuard(model_);
}

namespace {
ElementImpl* memberOf(Model::Impl* model, const ModelElement& element) {
  if (!element || element.get()->isMetaObject()) throw std::invalid_argument("qm0: not a model element");
  auto* e = detail::elementImpl(element);
  if (e->model != model) throw std::invalid_argument("qm0: the element is not of this data source's model");
  return e;
}
}  // namespace

void ActiveDataSource::propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                                        const Value& value) {
  ModificationGuard guard = startDataSourceModification();
  memberOf(model_, element);
  const_cast<ModelElement&>(element).set(property, value, privilegedTag);
}

void ActiveDataSource::propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                                         const std::vector<Value>& values) {
  ModificationGuard guard = startDataSourceModification();
  memberOf(model_, element);
  meta::Type type = property->getType();
  Entries entries;
  entries.reserve(values.size());
  for (const Value& v : values) {
    if (v.isEmpty()) continue;
    if (v.getMeta().getEntryType() != entryTypeOf(type))
      foundation::core::except::throwException(qm0::messages::CannotCastIncompatibleTypes(
          v.getType() ? v.getType()->getQualifiedName() : std::u16string()));
    entries.insert(entries.end(), v.getEntries().begin(), v.getEntries().end());
  }
  EntryType et = entryTypeOf(type);
  Value all(ValueMeta(type, ValueMeta::Present, et), std::move(entries));
  const_cast<ModelElement&>(element).set(property, all, privilegedTag);
}

void ActiveDataSource::propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                                        const ModelElement& target) {
  ModificationGuard guard = startDataSourceModification();
  memberOf(model_, element);
  const_cast<ModelElement&>(element).set(property, target ? Value(property->getType(), target)
                                                          : Value::createEmptyValue(property),
                                         privilegedTag);
}

void ActiveDataSource::propagateDataSourceValueToMemory(const ModelElement& element, const meta::Property& property,
                                                        const ModelElement& target, std::uint64_t position) {
  ModificationGuard guard = startDataSourceModification();
  ElementImpl* e = memberOf(model_, element);
  if (!property->isMultiValued()) {
    const_cast<ModelElement&>(element).set(property, Value(property->getType(), target), privilegedTag);
    return;
  }
  detail::linkElement(e, property.operator->(), memberOf(model_, target), static_cast<std::size_t>(position));
}

void ActiveDataSource::propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                                         const std::vector<ModelElement>& targets) {
  propagateDataSourceValuesToMemory(element, property, std::vector<ModelElement>(targets));
}

void ActiveDataSource::propagateDataSourceValuesToMemory(const ModelElement& element, const meta::Property& property,
                                                         std::vector<ModelElement>&& targets) {
  ModificationGuard guard = startDataSourceModification();
  memberOf(model_, element);
  // A data source builds such lists from stored links, and a link's target
  // may be missing from the store (or have no class here): it loads the rest.
  targets.erase(std::remove(targets.begin(), targets.end(), ModelElement()), targets.end());
  const_cast<ModelElement&>(element).set(property, Value(property->getType(), std::move(targets)), privilegedTag);
}

}  // namespace qm::zero::datasource

namespace qm::zero::datasource {

// A loading transaction is a data-source modification with an undo log of its
// own, pushed on the model's stack of loading logs.
LoadingTransaction::LoadingTransaction(Model::Impl* model) : model_(model), log_(nullptr) {
  detail::ModelState& m = model_->state();
  m.loading.push_back(std::make_unique<detail::UndoLog>(m.openLog()));
  log_ = m.loading.back().get();
  ++m.dataSourceModification;
}

LoadingTransaction::LoadingTransaction(LoadingTransaction&& other) noexcept
    : model_(other.model_), log_(other.log_) {
  other.model_ = nullptr;
}

LoadingTransaction::~LoadingTransaction() {
  if (!model_) return;
  try {
    end(false);
  } catch (...) {  // a destructor never throws
  }
}

void LoadingTransaction::commit() {
  if (!model_) throw std::logic_error("qm0: the loading transaction is not open");
  end(true);
}

void LoadingTransaction::end(bool keep) {
  detail::ModelState& m = model_->state();
  if (m.loading.empty() || m.loading.back().get() != log_)
    throw std::logic_error("qm0: an inner loading transaction is still open");
  std::unique_ptr<detail::UndoLog> log = std::move(m.loading.back());
  m.loading.pop_back();
  --m.dataSourceModification;
  model_ = nullptr;
  if (!keep) m.restore(*log);
}

LoadingTransaction ActiveDataSource::beginLoadingTransaction() { return LoadingTransaction(model_); }

}  // namespace qm::zero::datasource
