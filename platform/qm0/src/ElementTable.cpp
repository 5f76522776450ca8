#include "ElementTable.hpp"

#include <qm/zero/meta/Metamodel.hpp>
#include <qm/zero/services/Hashers.hpp>

#include <utility>

namespace qm::zero::detail {

std::uint64_t ElementTable::hashOf(const boost::uuids::uuid& uuid) noexcept {
  return services::hashers::QM0Hasher<boost::uuids::uuid>()(uuid);
}

std::size_t ElementTable::probe(const boost::uuids::uuid& uuid, std::uint64_t hash) const noexcept {
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t i = home(hash);; i = (i + 1) & mask) {
    const Bucket& b = buckets_[i];
    if (!b.element || (b.hash == hash && b.element.get()->getUUID() == uuid)) return i;
  }
}

ModelElement::Impl* ElementTable::find(const boost::uuids::uuid& uuid) const noexcept {
  if (size_ == 0) return nullptr;
  return buckets_[probe(uuid, hashOf(uuid))].element.get();
}

bool ElementTable::insert(ModelElement::Impl* element) {
  if ((size_ + 1) * 4 > buckets_.size() * 3) grow();
  const std::uint64_t hash = hashOf(element->getUUID());
  Bucket& b = buckets_[probe(element->getUUID(), hash)];
  if (b.element) return false;
  b.hash = hash;
  b.element = ModelElement(element);
  ++size_;
  return true;
}

bool ElementTable::erase(const ModelElement::Impl* element) noexcept {
  if (size_ == 0) return false;
  std::size_t i = probe(element->getUUID(), hashOf(element->getUUID()));
  if (buckets_[i].element.get() != element) return false;
  // Backward-shift deletion: the buckets after the hole that may move into
  // it do, so that every run stays unbroken and no tombstone is needed.
  const std::size_t mask = buckets_.size() - 1;
  for (std::size_t j = (i + 1) & mask; buckets_[j].element; j = (j + 1) & mask) {
    const std::size_t k = home(buckets_[j].hash);
    // Bucket j stays when its home lies cyclically in (i, j].
    const bool stays = i <= j ? (i < k && k <= j) : (i < k || k <= j);
    if (stays) continue;
    buckets_[i] = std::move(buckets_[j]);
    i = j;
  }
  buckets_[i].element = ModelElement();
  --size_;
  return true;
}

void ElementTable::grow() {
  Buckets old(buckets_.empty() ? 16 : buckets_.size() * 2);
  old.swap(buckets_);
  const std::size_t mask = buckets_.size() - 1;
  for (Bucket& b : old) {
    if (!b.element) continue;
    std::size_t i = home(b.hash);
    while (buckets_[i].element) i = (i + 1) & mask;
    buckets_[i] = std::move(b);
  }
}

void ElementTable::clear() noexcept {
  // Emptied before the handles go: dropping one may run code that looks here.
  Buckets old;
  old.swap(buckets_);
  size_ = 0;
}

}  // namespace qm::zero::detail
