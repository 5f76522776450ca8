// Destroying elements: an element and what it owns leave their owners and
// the other ends of their two-way links, and their slots are emptied.

#include "ElementLinks.hpp"
#include "ModelState.hpp"

#include <algorithm>
#include <unordered_set>
#include <utility>
#include <vector>

namespace qm::zero::detail {

using PropertyImpl = meta::Property::Impl;

namespace {

// Destroys one element of a destruction whose elements are `doomed`: it
// leaves its owner and the opposite ends of its references, unless those go
// too (their slots are emptied with them, and a destroyed element's own
// changes are not reported), and its slots are emptied.
void destroyOne(ModelState& m, ElementImpl* e, const std::unordered_set<const ElementImpl*>& doomed) {
  ModelElement keep(e);
  if (e->owner != nullptr) {
    if (doomed.count(e->owner) != 0) m.setOwner(e, nullptr, nullptr);
    else unlink(m, e->owner, e->owningProperty, e);
  }
  for (const meta::Property& p : e->cls->getAllAttributes()) {
    if (!p->isReference() || !p->hasOpposite()) continue;
    const PropertyImpl* q = p->getOppositeImpl();
    const Entries targets = e->slots[p->getSlotIndex()].entries();
    for (const Entry& entry : targets) {
      ElementImpl* t = targetOf(entry);
      if (doomed.count(t) == 0) rawErase(m, t, q, e);
    }
  }
  // Release what the element still refers to, so that reference cycles end here.
  for (std::uint32_t i = 0; i < e->slotCount; ++i) {
    if (e->slots[i].empty()) continue;
    m.saveSlot(e, i);
    e->slots[i].clear();
  }
  m.touch(e);
  m.leaveTable(e);
  e->state = ElementImpl::State::Destroyed;
  if (m.tx) m.tx->destroyed.insert(e->getUUID());
  m.record([&](ReportBuilder& b) { b.destroyed(keep); });
}

}  // namespace

void destroyElements(ModelState& m, const std::vector<ElementImpl*>& roots) {
  // Every element to destroy, owned elements before their owner, in the order
  // of properties and collections. Containment may be deeper than the call
  // stack: an explicit stack of (element, its owned elements are listed).
  std::vector<ModelElement> order;
  std::unordered_set<const ElementImpl*> doomed;
  std::vector<std::pair<ElementImpl*, bool>> stack;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) stack.emplace_back(*root, false);
  while (!stack.empty()) {
    auto [e, listed] = stack.back();
    stack.pop_back();
    if (listed) {
      order.emplace_back(e);
      continue;
    }
    if (e->state == ElementImpl::State::Destroyed || !doomed.insert(e).second) continue;
    stack.emplace_back(e, true);
    const std::size_t first = stack.size();
    for (const meta::Property& p : e->cls->getAllAttributes())
      if (p->isComposite())
        forEachTarget(e, p.operator->(), [&](ElementImpl* t) { stack.emplace_back(t, false); });
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first), stack.end());
  }
  for (const ModelElement& e : order) destroyOne(m, elementImpl(e), doomed);
}

void destroyElement(ModelState& m, ElementImpl* e) { destroyElements(m, {e}); }

namespace {

// What `root` owns, itself included, into `out`; false when a proxy or an
// unloaded composite collection hides part of it.
bool subtreeInMemory(ElementImpl* root, std::vector<ElementImpl*>& out) {
  bool whole = true;
  std::vector<ElementImpl*> stack{root};
  while (!stack.empty()) {
    ElementImpl* e = stack.back();
    stack.pop_back();
    out.push_back(e);
    if (e->state == ElementImpl::State::Proxy) whole = false;
    for (const meta::Property& p : e->cls->getAllAttributes()) {
      if (!p->isComposite()) continue;
      if (e->isUnloaded(p->getSlotIndex())) whole = false;
      forEachTarget(e, p.operator->(), [&](ElementImpl* t) { stack.push_back(t); });
    }
  }
  return whole;
}

}  // namespace

// Destroying `root` destroys what it owns and cuts every two-way link of
// those elements: the subtree is loaded whole first (a stored child that is
// not in memory would keep its links in loaded elements), and so is each
// end of those links.
void loadEndsOfDestroy(ModelState& m, ElementImpl* root) {
  if (!loadsEnds(m)) return;
  std::vector<ElementImpl*> subtree;
  if (!subtreeInMemory(root, subtree)) {
    m.dataSource->loadElementSubtree(ModelElement(root));
    subtree.clear();
    subtreeInMemory(root, subtree);
  }
  const std::unordered_set<const ElementImpl*> doomed(subtree.begin(), subtree.end());
  std::vector<ElementImpl*> ends;
  for (ElementImpl* e : subtree) {
    for (const meta::Property& p : e->cls->getAllAttributes()) {
      const PropertyImpl* q = p->getOppositeImpl();
      if (!p->isReference() || q == nullptr) continue;
      // A proxy the subtree's load left is not stored: nothing to learn.
      if (e->state != ElementImpl::State::Proxy && e->isUnloaded(p->getSlotIndex())) m.loadCollection(e, p.operator->());
      ends.clear();
      forEachTarget(e, p.operator->(), [&](ElementImpl* t) { ends.push_back(t); });
      for (ElementImpl* t : ends)
        if (doomed.count(t) == 0) loadEnd(m, t, q);
    }
  }
}

}  // namespace qm::zero::detail
