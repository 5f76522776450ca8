#pragma once
// Helpers for tests that build models: values, element lists, a readable
// dump of a whole model, and a summary of a change report that outlives it.

#include "TestMetamodel.hpp"

#include <qm/zero/ChangeReport.hpp>
#include <qm/zero/Listener.hpp>
#include <qm/zero/Messages.hpp>
#include <qm/zero/Model.hpp>
#include <qm/zero/ReferenceCollection.hpp>
#include <qm/zero/Value.hpp>

#include <boost/uuid/uuid_io.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace qm0test {

using namespace qm::zero;

// Element n has a uuid ending in n, so that messages about uuids name it.
inline boost::uuids::uuid uuidOf(std::uint32_t n) {
  boost::uuids::uuid u{};
  for (int i = 0; i < 4; ++i) u.data[15 - i] = static_cast<std::uint8_t>(n >> (8 * i));
  return u;
}

inline Value str(const std::u16string& s) { return Value(meta::StandardTypes::stringMeta(), s); }
inline Value integer(int i) { return Value(meta::StandardTypes::integerMeta(), i); }
inline Value ref(const ModelElement& e) { return Value(e); }
inline Value refs(const meta::Property& p, const std::vector<ModelElement>& es) { return Value(p->getType(), es); }
inline Value integers(const std::vector<int>& is) { return Value(meta::StandardTypes::integerMeta(), is); }
inline Value strs(const std::vector<std::u16string>& ss) { return Value(meta::StandardTypes::stringMeta(), ss); }
inline Value stdstr(const std::string& s) { return Value(meta::StandardTypes::stdstringMeta(), s); }

inline std::vector<ModelElement> targets(const ModelElement& e, const meta::Property& p) {
  return e.get(p).getAll<ModelElement>();
}

inline std::string text(const std::u16string& s) { return std::string(s.begin(), s.end()); }

// One line per element, by uuid: class, owner and every set property.
inline std::string dump(const Model& model) {
  std::vector<ModelElement> all = model->getAllElements();
  std::sort(all.begin(), all.end(), [](const ModelElement& a, const ModelElement& b) {
    return a.getUUID() < b.getUUID();
  });
  std::ostringstream os;
  for (const ModelElement& e : all) {
    os << boost::uuids::to_string(e.getUUID()).substr(30) << " " << text(e.getMetaClass()->getName());
    if (e.getOwner())
      os << " owner=" << boost::uuids::to_string(e.getOwner().getUUID()).substr(30) << "."
         << text(e.getOwningProperty()->getName());
    for (const meta::Property& p : e.getMetaClass()->getAllAttributes()) {
      // Collections are read as memory holds them, without loading anything.
      Value v = p->isReference() && p->isMultiValued() ? refs(p, ReferenceCollection(e, p).getElements()) : e.get(p);
      if (v.isEmpty()) continue;
      os << " " << text(p->getName()) << "=[";
      for (std::size_t i = 0; i < v.size(); ++i) {
        const Entry& en = v.getEntries()[i];
        if (i) os << ",";
        if (auto* s = std::get_if<std::u16string>(&en)) os << text(*s);
        else if (auto* n = std::get_if<std::int32_t>(&en)) os << *n;
        else if (auto* el = std::get_if<ModelElement>(&en)) os << boost::uuids::to_string(el->getUUID()).substr(30);
        else if (auto* s8 = std::get_if<std::string>(&en)) os << *s8;
        else os << "?";
      }
      os << "]";
    }
    os << "\n";
  }
  return os.str();
}

using Elements = std::vector<ModelElement>;
using Properties = std::vector<meta::Property>;
// Created, modified, destroyed and ephemeral elements of a report.
using Lists = std::tuple<Elements, Elements, Elements, Elements>;

struct ReportSummary {
  Elements created, modified, destroyed, ephemeral;
  bool allDestroyed = false;
  std::map<ModelElement, std::vector<meta::Property>> changed;
  std::map<std::pair<ModelElement, meta::Property>, OCDChangeList> ordered;

  Lists lists() const { return {created, modified, destroyed, ephemeral}; }

  // The ordered changes of `p` as "+index:entry" (insert), "-index" (remove)
  // or "~index:entry" (replace), the entry read with the accessor for the
  // property's kind: a removal must carry no entry.
  std::string changes(const ModelElement& e, const meta::Property& p) const {
    auto it = ordered.find({e, p});
    if (it == ordered.end()) return "";
    const EntryType type = Value::createEmptyValue(p).getMeta().getEntryType();
    std::string out;
    for (const std::shared_ptr<OCDChange>& c : it->second) {
      if (!out.empty()) out += " ";
      out += std::string(1, c->getKind() < 3 ? "+-~"[c->getKind()] : '?') + std::to_string(c->getIndex());
      std::string entry;
      if (type == EntryType::Element) {
        if (!c->getTargetId().is_nil()) entry = boost::uuids::to_string(c->getTargetId()).substr(30);
      } else if (type == EntryType::EnumLiteral) {
        if (c->getEnumValue() != 0) entry = std::to_string(c->getEnumValue());
      } else if (auto s = c->getPrimitiveValue<std::u16string>()) {
        entry = text(*s);
      } else if (auto n = c->getPrimitiveValue<int>()) {
        entry = std::to_string(*n);
      }
      if (!entry.empty()) out += ":" + entry;
    }
    return out;
  }
};

inline ReportSummary summarize(const ShallowChangeReport<ModelElement>& r) {
  ReportSummary s;
  s.created = r.getCreatedElements();
  s.modified = r.getModifiedElements();
  s.destroyed = r.getDestroyedElements();
  s.ephemeral = r.getEphemeralElements();
  s.allDestroyed = r.allElementsDestroyed();
  for (const ModelElement& e : s.modified) {
    const PropertyList changed = r.getChangedProperties(e);
    s.changed[e].assign(changed.begin(), changed.end());
    for (const meta::Property& p : s.changed[e]) {
      EXPECT_EQ(r.getReportData().containsOperationalChanges(e, p), !r.getReportData().getPropertyOCDChanges(e, p).empty());
      if (r.getReportData().containsOperationalChanges(e, p))
        s.ordered[{e, p}] = r.getReportData().getPropertyOCDChanges(e, p);
    }
  }
  return s;
}

// Writes down what it is told, then runs the reaction a test gave it.
class RecordingListener : public Listener {
 public:
  struct Delivery {
    bool part;
    bool alreadyReported;
    ReportSummary report;
  };
  std::vector<Delivery> deliveries;
  int firstChanges = 0;
  int removed = 0;
  std::function<void()> onFirstChange, onReport, onRemoved;

  int calls() const { return static_cast<int>(deliveries.size()) + firstChanges + removed; }
  // The kind of each delivery: "part" of a transaction, its "whole", or the
  // whole when its parts were delivered already ("again").
  std::string kinds() const {
    std::string out;
    for (const Delivery& d : deliveries)
      out += std::string(out.empty() ? "" : " ") + (d.part ? "part" : d.alreadyReported ? "again" : "whole");
    return out;
  }

  void reportChanges(const ShallowChangeReport<ModelElement>& r) {
    deliveries.push_back({true, false, summarize(r)});
    if (onReport) onReport();
  }
  void reportChanges(const ShallowChangeReport<ModelElement>& r, bool alreadyReported) {
    deliveries.push_back({false, alreadyReported, summarize(r)});
    if (onReport) onReport();
  }
  void firstChangeOccurred() override {
    ++firstChanges;
    if (onFirstChange) onFirstChange();
  }
  void listenerRemoved() override {
    ++removed;
    if (onRemoved) onRemoved();
  }
};

using MsgArguments = std::vector<resource_core::MsgArgument>;

/// The full identifier and the arguments of the message-identifier exception
/// that `f` throws; the identifier "nothing thrown" when it returns. Any
/// other exception passes on.
struct ThrownId {
  std::string id;
  MsgArguments arguments;
};
template <class F>
ThrownId thrownId(F&& f) {
  try {
    f();
  } catch (const foundation::core::except::IMsgIDException& e) {
    return {e.get_error_id(), e.getMessageID().arguments()};
  }
  return {"nothing thrown", {}};
}

template <class F>
std::string errorIdOf(F&& f) {
  return thrownId(std::forward<F>(f)).id;
}

/// A fresh model over the test metamodel, for the tests of models and their
/// reports.
class ModelTest : public ::testing::Test {
 protected:
  const TestMetamodel& mm = TestMetamodel::get();
  Model model = Model::create();

  ModelElement make(const meta::Class& cls, int n) { return ModelElement::createReflective(model, cls, uuidOf(n)); }

  template <class F>
  void inTransaction(F&& f, bool commit = true) {
    Transaction tx = model->beginTransaction();
    f();
    commit ? tx.commit() : tx.rollback();
  }
  template <class F>
  void rolledBack(F&& f) {
    inTransaction(f, false);
  }
};

}  // namespace qm0test
