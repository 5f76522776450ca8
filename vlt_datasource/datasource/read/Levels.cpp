// An unbounded load by levels: the children of many owners of one level read
// by one statement, then filled owner by owner (see ChildLevel).

#include "datasource/read/Levels.hpp"

#include "datasource/ClassMapper.hpp"
#include "external/Model.hpp"

#include <algorithm>
#include <map>
#include <utility>

namespace vlt_datasource {

namespace meta = qm::zero::meta;

DataSource::Loader::ChildLevel::Read& DataSource::Loader::ChildLevel::readOf(const vlt::PropertyRef& propRef) {
  Read& read = reads[propRef];
  if (read.done.empty()) {
    read.done.assign(owners.size(), false);
    read.waiting.resize(owners.size());
  }
  return read;
}

void DataSource::Loader::ChildLevel::takeTurn(std::size_t position, const vlt::PropertyRef& propRef, Read& read,
                                              std::vector<vlt::ObjectRef>& taken, Positions& positions) const {
  // The level may hold owners of other classes, without this property.
  const vlt::ClassRef declaring = propRef.owningClass();
  for (std::size_t k = position; k < owners.size() && taken.size() < vlt::ObjectQuery::maxObjectsAmong; ++k) {
    if (read.done[k] || (k != position && !owners[k].objectClass().conformsTo(declaring))) continue;
    read.done[k] = true;
    taken.push_back(owners[k]);
    positions.emplace(owners[k].objectId(), k);
  }
}

void DataSource::Loader::ChildLevel::orderNextLevel(const std::vector<vlt::ObjectRef>& owners,
                                                    const Positions& positions, Read& read, Statement& statement) {
  std::vector<vlt::ObjectRef>& next = statement.children->owners;
  for (const vlt::ObjectRef& o : owners) {
    Waiting& waiting = read.waiting[positions.at(o.objectId())];
    waiting.first = next.size();
    next.insert(next.end(), waiting.objects.begin(), waiting.objects.end());
  }
}

void DataSource::Loader::loadChildrenOfLevel(const vlt::ObjectRef& owner, const vlt::PropertyRef& propRef,
                                             InstanceLoader& loader, const qm::zero::Model& model,
                                             const FetchDepth& depth, const FillContext& context,
                                             std::vector<qm::zero::ModelElement>& elements) {
  // An owner that is not the one being filled is a level of its own.
  LevelPlace place = context.place;
  std::shared_ptr<ChildLevel> alone;
  if (!place.level || place.level->owners[place.position].objectId() != owner.objectId()) {
    alone = std::make_shared<ChildLevel>();
    alone->owners.push_back(owner);
    place = {alone.get(), 0};
  }
  ChildLevel::Read& read = place.level->readOf(propRef);
  if (!read.done[place.position]) readChildrenOfLevel(place, propRef, loader, model, depth);
  ChildLevel::Waiting children = std::move(read.waiting[place.position]);
  read.waiting[place.position] = {};
  if (!children.readBy) return;  // no children
  for (std::size_t i = 0; i < children.objects.size(); ++i) {
    elements.push_back(children.started[i].result.element);
    const LevelPlace childPlace{children.readBy->children.get(), children.first + i};
    fillOrLeave(children.objects[i], std::move(children.started[i]), model, depth,
                {&children.readBy->links, childPlace, children.readBy});
  }
}

void DataSource::Loader::readChildrenOfLevel(const LevelPlace& place, const vlt::PropertyRef& propRef,
                                             InstanceLoader& loader, const qm::zero::Model& model,
                                             const FetchDepth& depth) {
  ChildLevel& level = *place.level;
  ChildLevel::Read& read = level.readOf(propRef);
  std::vector<vlt::ObjectRef> owners;
  ChildLevel::Positions positions;
  level.takeTurn(place.position, propRef, read, owners, positions);
  const auto statement = std::make_shared<ChildLevel::Statement>();
  statement->children = std::make_shared<ChildLevel>();
  statement->links.readFor(repository.defaultDataModel(), owners, propRef, loader, depth, pendingLinks != nullptr);
  // The rows come owner by owner.
  vlt::ObjectQuery::ResultIterator rows = loader.childrenOf(owners, propRef);
  ChildLevel::Waiting* group = nullptr;
  vlt::ObjectId groupOwner = 0;
  // Children of a subclass, whose values the query did not read: their
  // places, filled after it, a statement per class and many children.
  std::map<vlt::ClassRef, std::vector<std::pair<ChildLevel::Waiting*, std::size_t>>> ofSubclasses;
  while (rows.getNextResult()) {
    const vlt::ObjectRef child = loader.child();
    if (!group || loader.owner().objectId() != groupOwner) {
      groupOwner = loader.owner().objectId();
      group = &read.waiting[positions.at(groupOwner)];
      group->readBy = statement;
    }
    statement->links.add(child.objectId());
    if (child.objectClass() == loader.repositoryClass()) {
      group->started.push_back(startQM0Object(child, model, depth, &loader));
    } else {
      ofSubclasses[child.objectClass()].emplace_back(group, group->started.size());
      group->started.emplace_back();
    }
    group->objects.push_back(child);
  }
  for (const auto& [childClass, at] : ofSubclasses) {
    std::vector<std::pair<vlt::ObjectRef, StartedFetch*>> places;
    for (const auto& [waiting, k] : at) places.emplace_back(waiting->objects[k], &waiting->started[k]);
    startOfSubclass(childClass, places, model, depth);
  }
  ChildLevel::orderNextLevel(owners, positions, read, *statement);
}

void DataSource::Loader::startOfSubclass(const vlt::ClassRef& childClass,
                                         const std::vector<std::pair<vlt::ObjectRef, StartedFetch*>>& places,
                                         const qm::zero::Model& model, const FetchDepth& depth) {
  const meta::Class cls = mapper.frameworkClassOf(childClass);
  InstanceLoader* loader = cls ? &instanceLoader(cls, childClass) : nullptr;
  std::vector<vlt::ObjectRef> objects;
  std::unordered_map<vlt::ObjectId, std::size_t> unread;
  for (std::size_t first = 0; first < places.size(); first += vlt::ObjectQuery::maxObjectsAmong) {
    const std::size_t last = std::min(first + vlt::ObjectQuery::maxObjectsAmong, places.size());
    objects.clear();
    for (std::size_t k = first; k < last; ++k) {
      objects.push_back(places[k].first);
      unread.emplace(places[k].first.objectId(), k);
    }
    if (loader) {
      vlt::ObjectQuery::ResultIterator rows = loader->among(objects);
      while (rows.getNextResult()) {
        const auto at = unread.find(loader->child().objectId());
        if (at == unread.end()) continue;
        *places[at->second].second = startQM0Object(places[at->second].first, model, depth, loader);
        unread.erase(at);
      }
    }
    // Without a framework class, or gone: as a fetch of its own finds it.
    for (const auto& [id, k] : unread) *places[k].second = startQM0Object(places[k].first, model, depth, nullptr);
    unread.clear();
  }
}

}  // namespace vlt_datasource
