#pragma once
// The model element handle: the one type through which hosts, the framework
// and data sources refer to elements of a model and to metamodel objects.

#include <qm/zero/Fwd.hpp>
#include <qm0/export.hpp>

#include <boost/uuid/uuid.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qm::zero {

/// Access tags of the reflective operations. The public form (no tag) is what
/// hosts use; the privileged forms are for data sources and the framework's
/// own services: they never ask the data source to load anything (the public
/// form may resolve proxies and load deferred collections), and
/// `PrivilegedWithResolveTag` resolves proxies but loads no collection
/// contents. Only `datasource::DataSource` creates privileged tags.
class PrivilegedTag {
 private:
  constexpr PrivilegedTag() = default;
  friend class datasource::DataSource;
  friend class Model;
};
class PrivilegedWithResolveTag {
 private:
  constexpr PrivilegedWithResolveTag() = default;
  friend class datasource::DataSource;
  friend class Model;
};

/// A counted handle to a model element or to a metamodel object (classes,
/// properties, types and packages are elements too, with their metaclass as
/// class). Copying a handle shares the element; the element lives while a
/// handle or its model holds it. A default-constructed handle is null; a
/// lookup that finds nothing returns null. Equality, ordering and hashing are
/// by identity.
///
/// The reflective operations (`get`, `set`, `isSet`, `unset` and the
/// collection edits) apply to model elements only; on a metamodel object they
/// throw std::logic_error. Every change must happen inside a transaction of
/// the element's model, while the model is not frozen and is not telling its
/// listeners something; otherwise the change is refused with
/// qm0:messages:NoOpenTransaction, qm0:messages:ModelIsFrozen or
/// qm0:messages:ModelIsNotifying and nothing changes. A value of the wrong
/// type, or of several entries for a single-valued property, is refused with
/// qm0:messages:CannotCastIncompatibleTypes. A collection never holds more
/// than its upper bound: whatever would add one entry too many (`append`,
/// `insert`, a whole-value `set`, `set` of a target, or an edit at the
/// opposite end of a reference or of a composite) is refused with
/// qm0:messages:UpperBoundExceeded and nothing changes. A multi-valued
/// property of values with the uniqueness flag (the default) never holds two
/// equal entries: an `append`, `insert`, `replace` or whole-value `set` that
/// would make it hold one twice is refused with qm0:messages:DuplicateEntry
/// and nothing changes; without the flag duplicates are kept. A reference
/// collection never holds an element twice, whatever the flag says.
///
/// Handles may be copied and destroyed from several threads (the count is
/// atomic); an element and its model are used from one thread at a time.
class QM0_API ModelElement {
 public:
  class Impl;
  class Builder;  // <qm/zero/ModelElementBuilder.hpp>

  ModelElement() noexcept : impl_(nullptr) {}
  /// Shares `impl` (which may be null).
  explicit ModelElement(const Impl* impl) noexcept : impl_(const_cast<Impl*>(impl)) {
    if (impl_ != nullptr) retain();
  }
  ModelElement(const ModelElement& other) noexcept : ModelElement(other.impl_) {}
  ModelElement(ModelElement&& other) noexcept : impl_(other.impl_) { other.impl_ = nullptr; }
  ModelElement& operator=(const ModelElement& other) noexcept;
  ModelElement& operator=(ModelElement&& other) noexcept {
    std::swap(impl_, other.impl_);
    return *this;
  }
  ~ModelElement() {
    if (impl_ != nullptr) release();
  }

  bool isNull() const noexcept { return impl_ == nullptr; }
  explicit operator bool() const noexcept { return impl_ != nullptr; }
  Impl* get() const noexcept { return impl_; }

  friend bool operator==(const ModelElement& a, const ModelElement& b) noexcept { return a.impl_ == b.impl_; }
  friend bool operator!=(const ModelElement& a, const ModelElement& b) noexcept { return a.impl_ != b.impl_; }
  friend bool operator<(const ModelElement& a, const ModelElement& b) noexcept {
    return std::less<const Impl*>()(a.impl_, b.impl_);
  }

  /// The root class of every model class (qualified name "ModelElement").
  static meta::Class metaClass();

  /// Creates an element of `cls` with identity `uuid` in `model` and returns
  /// it; every property is unset. Inside a transaction the element is
  /// reported as created; while a data source modifies memory
  /// (`ActiveDataSource::startDataSourceModification`) it is not reported.
  /// Throws std::invalid_argument for a null model or class, or an abstract
  /// class; qm0:messages:DuplicateElementId when the model already holds
  /// `uuid`; the refusals of a change (see the class comment).
  ///
  /// When `model` holds a proxy with `uuid` (see createProxy), the proxy
  /// itself becomes the element: the same handle, now loaded, keeping what
  /// was already set into it; `cls` must be its class or a subclass of it
  /// (std::invalid_argument otherwise), and the element takes `cls`. In an
  /// element created while a data source modifies memory, deferred
  /// collections start unloaded (see ReferenceCollection).
  static ModelElement createReflective(const Model& model, const meta::Class& cls, const boost::uuids::uuid& uuid);
  /// As above with a new random uuid.
  static ModelElement createReflective(const Model& model, const meta::Class& cls);

  /// A proxy: an element known by class and identity whose properties are
  /// not loaded yet. The id's type must be ElementId::UUID_TYPE and its text
  /// a uuid (std::invalid_argument otherwise). Returns the element or proxy
  /// the model already holds for that uuid, if any. A proxy is not "in
  /// memory": `Model::Impl::findElement(uuid, 0)` and `getAllElements(0)` do
  /// not return it, and it is never reported as created. It can be a target
  /// of references and hold what the other ends put into it. The public
  /// `get`, `isSet`, `set` and `destroy` of a proxy (and `get` and `isSet`
  /// with PrivilegedWithResolveTag) first ask the model's data source to load
  /// it (`DataSource::findElement(class, id)`), whose loading turns the proxy
  /// into the element (createReflective with the proxy's uuid); the
  /// privileged forms never do. Refusals as for createReflective.
  static ModelElement createProxy(const Model& model, const meta::Class& cls, const ProxyId& id);
  /// The same for ProxyId(uuid), without making the id's text.
  static ModelElement createProxy(const Model& model, const meta::Class& cls, const boost::uuids::uuid& uuid);
  /// True while the element is a proxy.
  bool isProxy() const;

  /// The element's class (for a metamodel object: its metaclass). Null handle: null.
  meta::Class getMetaClass() const;
  /// The identity. Requires a non-null handle.
  const boost::uuids::uuid& getUUID() const;
  /// The model holding the element; null for a metamodel object, and for an
  /// element that was destroyed or whose model is gone.
  Model getModel() const;
  /// True after the element was destroyed (or its creation rolled back, or its
  /// model destroyed). A destroyed element keeps its class and uuid; its
  /// properties read as unset and it cannot be changed.
  bool isDestroyed() const;
  /// Where the model's data source last saw the element stored (a row id,
  /// say), for finding it again without a search by uuid; 0 until the data
  /// source sets one, and for a metamodel object or a null handle. The
  /// framework keeps it as it is: the element may since have been stored
  /// elsewhere, or not at all, so a data source checks it before trusting it.
  std::uint64_t getStoreHint() const noexcept;
  /// Sets it; for a metamodel object it does nothing.
  void setStoreHint(std::uint64_t hint, PrivilegedTag) noexcept;
  /// A text form for logs: the class's qualified name and the uuid,
  /// "pkg.Class 01234567-89ab-cdef-0123-456789abcdef".
  std::u16string toString() const;

  /// The value of `property` (declared on the element's class or a
  /// superclass): an empty value of the property's type when unset. Throws
  /// qm0:messages:PropertyNotOfClass for a property of another class. The
  /// public form loads a proxy and an unloaded deferred collection first;
  /// PrivilegedWithResolveTag loads only a proxy; PrivilegedTag loads nothing.
  Value get(const meta::Property& property) const;
  Value get(const meta::Property& property, PrivilegedTag) const;
  Value get(const meta::Property& property, PrivilegedWithResolveTag) const;

  /// Whether `property` holds something: a single-valued property that was
  /// set (an empty value counts as unset), a multi-valued one with entries.
  /// For an empty, unloaded deferred collection the public form asks the
  /// data source (DataSource::hasCollectionContents) instead of loading.
  bool isSet(const meta::Property& property) const;
  bool isSet(const meta::Property& property, PrivilegedTag) const;
  bool isSet(const meta::Property& property, PrivilegedWithResolveTag) const;

  /// Replaces the whole value of `property`. An empty value unsets it. For a
  /// reference property the targets' other ends are updated (opposite
  /// property; composite owner, which takes each target away from its
  /// previous owner). Throws on a value that does not fit the property's
  /// type or upper bound, or (for a single composite reference) a target
  /// that would own this element. The public form loads a proxy first; the
  /// privileged forms do not. Any whole-value set marks a deferred
  /// collection loaded.
  void set(const meta::Property& property, const Value& value);
  void set(const meta::Property& property, const Value& value, PrivilegedTag);
  void set(const meta::Property& property, const Value& value, PrivilegedWithResolveTag);
  /// Sets a single-valued reference (a null element clears it) or appends to
  /// a multi-valued one.
  void set(const meta::Property& property, const ModelElement& target);
  /// Clears `property`.
  void unset(const meta::Property& property);

  /// Edits of a multi-valued property. `entry` holds exactly one entry.
  /// `insert` places it at `index` (at most the current size; the size
  /// appends); `removeAt` and `replace` need an existing index. Throws
  /// std::out_of_range for a bad index; a reference already in the collection
  /// is not inserted twice (the call does nothing). Each edit first loads a
  /// proxy and an unloaded deferred collection, so `append` appends after
  /// the stored contents.
  void insert(const meta::Property& property, std::size_t index, const Value& entry);
  void append(const meta::Property& property, const Value& entry);
  void removeAt(const meta::Property& property, std::size_t index);
  void replace(const meta::Property& property, std::size_t index, const Value& entry);
  /// Removes `target` from a reference property (single or multi-valued);
  /// false when it was not there.
  bool remove(const meta::Property& property, const ModelElement& target);

  /// The composite owner and the owner's property holding this element; null
  /// for a root element.
  ModelElement getOwner() const;
  meta::Property getOwningProperty() const;

  /// Every element this element owns, directly or indirectly, not itself:
  /// depth first, each element before the ones it owns, siblings in the order
  /// of the owner's properties (superclass ones first, then by name) and of
  /// each collection. The public form first asks the model's data source,
  /// once, to load the whole subtree (DataSource::loadElementSubtree with
  /// this element, also when it is a proxy), so the list holds what is
  /// stored as well as what memory held; it then walks memory without
  /// asking the data source again (an element it could not load is listed
  /// as the proxy it is). PrivilegedTag walks memory only: a data source
  /// that walks the subtree inside loadElementSubtree must use it. A
  /// destroyed element owns nothing and asks nothing. Throws what the data
  /// source throws; std::invalid_argument for a null handle,
  /// std::logic_error for a metamodel object. Containment may be as deep as
  /// memory allows: the walk does not recurse.
  std::vector<ModelElement> getAllContents() const;
  std::vector<ModelElement> getAllContents(PrivilegedTag) const;

  /// Destroys the element and, depth first, every element it owns: each is
  /// taken out of its owner and out of the opposite ends of its references,
  /// and removed from the model. References held through properties without
  /// an opposite are left as they are (they now refer to a destroyed
  /// element). Refusals as for any change.
  void destroy();

 protected:
  Impl* impl_;

 private:
  // The count, out of line; a null handle (a value's unused owner, a
  // lookup that found nothing) never calls them.
  void retain() const noexcept;
  void release() noexcept;
};

}  // namespace qm::zero

template <>
struct std::hash<qm::zero::ModelElement> {
  std::size_t operator()(const qm::zero::ModelElement& e) const noexcept {
    return std::hash<const void*>()(e.get());
  }
};
