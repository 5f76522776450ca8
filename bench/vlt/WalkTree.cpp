#include "WalkTree.hpp"

#include <algorithm>
#include <memory>
#include <random>
#include <utility>

namespace vlt_bench::walk {

const std::vector<PropertyShape>& nodeProperties() {
  static const std::vector<PropertyShape> all = {
      {"name", "ustring", Cell::ustring, false},
      {"rank", "int32", Cell::int32, false},
      {"link", "walk.Node", Cell::reference, false},  // absent for some objects
  };
  return all;
}

const std::vector<PropertyShape>& ownProperties(Kind kind) {
  static const std::vector<PropertyShape> all[kindCount] = {
      {{"size", "int64", Cell::int64, false},
       {"code", "string", Cell::string, false},
       {"open", "bool", Cell::boolean, false},
       {"children", "walk.Node", Cell::reference, true},
       {"notes", "walk.Leaf", Cell::reference, true}},
      {{"count", "int32", Cell::int32, false},
       {"title", "ustring", Cell::ustring, false},
       {"origin", "walk.Node", Cell::reference, false},
       {"parts", "walk.Node", Cell::reference, true}},
      {{"amount", "int64", Cell::int64, false},
       {"label", "string", Cell::string, false},
       {"flag", "bool", Cell::boolean, false},
       {"target", "walk.Node", Cell::reference, false}},
  };
  return all[kind];
}

namespace {

constexpr int maxDepth = 5;  // the root is at depth 0

struct Node {
  Kind kind = leaf;
  int depth = 0;
  std::int32_t owner = -1;             // index of the owner; -1 for the root
  std::size_t ownerCollection = 0;     // which of the owner's collections
  std::int32_t ordinal = 0;            // position in that collection
  std::vector<std::int32_t> owned[2];  // indexes, per collection in declaration order
  // walk.Node
  std::u16string name;
  std::int32_t rank = 0;
  std::int32_t link = -1;  // index of the target; -1 absent
  // walk.Folder
  std::int64_t size = 0;
  std::string code;
  bool open = false;
  // walk.Part
  std::int32_t count = 0;
  std::u16string title;
  std::int32_t origin = -1;
  // walk.Leaf
  std::int64_t amount = 0;
  std::string label;
  bool flag = false;
  std::int32_t target = -1;
};

struct Tree {
  std::vector<Node> nodes;  // nodes[0] is the root
  // The object id of each node, as an offset from the first pre-allocated
  // id. What an object owns sits close together (as when a program creates
  // an object's parts together), but in a random order, so that id order is
  // not collection order.
  std::vector<std::int32_t> ids;
  int depth = 0;
  std::size_t perKind[kindCount] = {};
};

std::size_t collectionCount(Kind kind) { return kind == folder ? 2 : kind == part ? 1 : 0; }

// Adds the owned objects of node `index` (and theirs): 6 to 16 in the main
// collection, of which about one in seven is a leaf above the last level, and
// for a folder 0 to 2 notes (leaves).
void grow(Tree& t, std::mt19937_64& random, std::int32_t index) {
  const Kind kind = t.nodes[static_cast<std::size_t>(index)].kind;
  const int depth = t.nodes[static_cast<std::size_t>(index)].depth;
  for (std::size_t collection = 0; collection < collectionCount(kind); ++collection) {
    const std::size_t count = collection == 0 ? 6 + random() % 11 : random() % 3;
    for (std::size_t i = 0; i < count; ++i) {
      Node child;
      child.depth = depth + 1;
      if (collection == 1 || child.depth == maxDepth || random() % 7 == 0) {
        child.kind = leaf;
      } else {
        child.kind = random() % 2 == 0 ? folder : part;
      }
      child.owner = index;
      child.ownerCollection = collection;
      child.ordinal = static_cast<std::int32_t>(i);
      const auto childIndex = static_cast<std::int32_t>(t.nodes.size());
      t.nodes.push_back(std::move(child));
      t.nodes[static_cast<std::size_t>(index)].owned[collection].push_back(childIndex);
      grow(t, random, childIndex);
    }
  }
}

const Tree& tree() {
  static const Tree t = [] {
    Tree out;
    std::mt19937_64 random(2);  // a seed that gives close to 100,000 objects
    Node root;
    root.kind = folder;
    out.nodes.push_back(std::move(root));
    grow(out, random, 0);
    const std::size_t n = out.nodes.size();
    const std::u16string letters = u"abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ \u00e9\u00df\u0436\u4e2d";
    auto ustring = [&] {
      std::u16string s(6 + random() % 11, u' ');
      for (char16_t& c : s) c = letters[random() % letters.size()];
      return s;
    };
    auto bytes = [&] {
      std::string s(4 + random() % 9, ' ');
      for (char& c : s) c = static_cast<char>('!' + random() % 94);
      return s;
    };
    auto anyNode = [&] { return static_cast<std::int32_t>(random() % n); };
    for (Node& node : out.nodes) {
      node.name = ustring();
      node.rank = static_cast<std::int32_t>(random());
      node.link = random() % 8 == 0 ? -1 : anyNode();
      switch (node.kind) {
        case folder:
          node.size = static_cast<std::int64_t>(random());
          node.code = bytes();
          node.open = random() % 2 == 0;
          break;
        case part:
          node.count = static_cast<std::int32_t>(random());
          node.title = ustring();
          node.origin = anyNode();
          break;
        case leaf:
          node.amount = static_cast<std::int64_t>(random());
          node.label = bytes();
          node.flag = random() % 2 == 0;
          node.target = anyNode();
          break;
      }
      out.depth = std::max(out.depth, node.depth);
      ++out.perKind[node.kind];
    }
    // Object ids (offsets from the first allocated one): the objects an
    // object owns get consecutive ids, shuffled among themselves.
    out.ids.resize(n);
    std::int32_t next = 1;
    std::vector<std::int32_t> pending{0}, block;
    while (!pending.empty()) {
      const Node& node = out.nodes[static_cast<std::size_t>(pending.back())];
      pending.pop_back();
      block.clear();
      for (const std::vector<std::int32_t>& collection : node.owned) {
        block.insert(block.end(), collection.begin(), collection.end());
      }
      std::shuffle(block.begin(), block.end(), random);
      for (const std::int32_t b : block) out.ids[static_cast<std::size_t>(b)] = next++;
      pending.insert(pending.end(), block.begin(), block.end());
    }
    return out;
  }();
  return t;
}

vlt::PropertyRef appendProperty(vlt::DataModelRepository& repo, const vlt::ClassRef& cls, const PropertyShape& p) {
  return repo.appendPropertyToClass(cls, p.name, p.type, "", p.composite ? 0 : 1, p.composite ? 0xFFFFFFFFu : 1,
                                    p.composite, p.composite, !p.composite && p.cell == Cell::reference, "",
                                    vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, true);
}

}  // namespace

std::size_t objectCount() { return tree().nodes.size(); }

std::string describeTree() {
  const Tree& t = tree();
  return std::to_string(t.nodes.size()) + " objects (" + std::to_string(t.perKind[folder]) + " folders, " +
         std::to_string(t.perKind[part]) + " parts, " + std::to_string(t.perKind[leaf]) + " leaves), " +
         std::to_string(t.depth + 1) + " levels";
}

// Creates the classes, then every node with an ObjectConstructor per class
// (bound cells, pre-allocated ids in increasing order, composite membership
// bound), in one transaction. Returns the first allocated id.
std::int32_t writeTree(vlt::DataModelRepository& repo) {
  const Tree& t = tree();
  std::int32_t firstId = 0;
  repo.performDictionaryFunction([&] {
    const vlt::ClassRef node = repo.createClass(nodeClassName, {repo.metamodel().findClass("ModelElement")});
    for (const PropertyShape& p : nodeProperties()) appendProperty(repo, node, p);
    // Leaf first: Folder's `notes` is typed by it.
    for (const Kind kind : {leaf, folder, part}) {
      const vlt::ClassRef cls = repo.createClass(classNames[kind], {node});
      for (const PropertyShape& p : ownProperties(kind)) appendProperty(repo, cls, p);
    }
  });

  const vlt::ClassRef nodeClass = repo.metamodel().findClass(nodeClassName);
  std::u16string name, title;
  std::int32_t rank = 0, count = 0, ownerId = 0, ordinal = 0;
  std::int64_t size = 0, amount = 0;
  std::string code, label;
  bool open = false, flag = false;
  vlt::ObjectRef link, origin, target;
  vlt::PropertyRef membership;
  std::vector<std::unique_ptr<vlt::ObjectConstructor>> constructors;
  std::vector<vlt::PropertyRef> collections[kindCount];
  for (std::size_t k = 0; k < kindCount; ++k) {
    const vlt::ClassRef cls = repo.metamodel().findClass(classNames[k]);
    auto c = std::make_unique<vlt::ObjectConstructor>(cls);
    c->setPropertyValueSource(cls.findProperty("name"), &name);
    c->setPropertyValueSource(cls.findProperty("rank"), &rank);
    c->setPropertyValueSource(cls.findProperty("link"), &link);
    if (k == folder) {
      c->setPropertyValueSource(cls.findProperty("size"), &size);
      c->setPropertyValueSource(cls.findProperty("code"), &code);
      c->setPropertyValueSource(cls.findProperty("open"), &open);
      collections[k] = {cls.findProperty("children"), cls.findProperty("notes")};
    } else if (k == part) {
      c->setPropertyValueSource(cls.findProperty("count"), &count);
      c->setPropertyValueSource(cls.findProperty("title"), &title);
      c->setPropertyValueSource(cls.findProperty("origin"), &origin);
      collections[k] = {cls.findProperty("parts")};
    } else {
      c->setPropertyValueSource(cls.findProperty("amount"), &amount);
      c->setPropertyValueSource(cls.findProperty("label"), &label);
      c->setPropertyValueSource(cls.findProperty("flag"), &flag);
      c->setPropertyValueSource(cls.findProperty("target"), &target);
    }
    c->setCompositionMembershipSource(&membership, &ownerId, &ordinal);
    constructors.push_back(std::move(c));
  }

  repo.beginTransaction();
  repo.allocateObjectIds(t.nodes.size(), firstId);
  auto ref = [&](std::int32_t index) {
    return index < 0 ? vlt::ObjectRef()
                     : repo.getObjectRef(firstId + t.ids[static_cast<std::size_t>(index)], nodeClass);
  };
  // In id order: an owner before what it owns, siblings out of collection
  // order (their ordinals say where they go).
  std::vector<std::int32_t> byId(t.nodes.size());
  for (std::size_t i = 0; i < t.nodes.size(); ++i) {
    byId[static_cast<std::size_t>(t.ids[i])] = static_cast<std::int32_t>(i);
  }
  const vlt::DataModelRef data = repo.defaultDataModel();
  for (const std::int32_t index : byId) {
    const Node& n = t.nodes[static_cast<std::size_t>(index)];
    name = n.name;
    rank = n.rank;
    link = ref(n.link);
    size = n.size;
    code = n.code;
    open = n.open;
    count = n.count;
    title = n.title;
    origin = ref(n.origin);
    amount = n.amount;
    label = n.label;
    flag = n.flag;
    target = ref(n.target);
    if (n.owner < 0) {
      membership = vlt::PropertyRef();
    } else {
      const Node& owner = t.nodes[static_cast<std::size_t>(n.owner)];
      membership = collections[owner.kind][n.ownerCollection];
      ownerId = firstId + t.ids[static_cast<std::size_t>(n.owner)];
      ordinal = n.ordinal;
    }
    vlt::ObjectConstructor& c = *constructors[n.kind];
    c.setObjectID(firstId + t.ids[static_cast<std::size_t>(index)]);
    if (n.owner < 0) c.setObjectUUID(rootUuid);
    c.createObject(data);
  }
  repo.commitTransaction();
  return firstId;
}

std::uint64_t expectedChecksum(std::int32_t firstId) {
  const Tree& t = tree();
  auto idOf = [&](std::int32_t index) { return index < 0 ? 0 : firstId + t.ids[static_cast<std::size_t>(index)]; };
  Checksum sum;
  std::vector<std::int32_t> stack{0};
  while (!stack.empty()) {
    const std::int32_t index = stack.back();
    stack.pop_back();
    const Node& node = t.nodes[static_cast<std::size_t>(index)];
    sum.addInt32(idOf(index));
    sum.add(node.kind);
    sum.add(node.name);
    sum.addInt32(node.rank);
    sum.addInt32(idOf(node.link));
    switch (node.kind) {
      case folder:
        sum.addInt64(node.size);
        sum.add(node.code);
        sum.add(node.open ? 1 : 0);
        break;
      case part:
        sum.addInt32(node.count);
        sum.add(node.title);
        sum.addInt32(idOf(node.origin));
        break;
      case leaf:
        sum.addInt64(node.amount);
        sum.add(node.label);
        sum.add(node.flag ? 1 : 0);
        sum.addInt32(idOf(node.target));
        break;
    }
    if (node.kind == leaf) continue;
    sum.add(node.owned[0].size() + node.owned[1].size());
    for (std::size_t c = 2; c-- > 0;) stack.insert(stack.end(), node.owned[c].rbegin(), node.owned[c].rend());
  }
  return sum.value();
}


}  // namespace vlt_bench::walk
