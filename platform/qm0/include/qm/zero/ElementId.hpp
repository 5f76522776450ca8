#pragma once

#include <qm0/export.hpp>

#include <boost/optional/optional.hpp>
#include <boost/uuid/uuid.hpp>

#include <string>
#include <string_view>
#include <utility>

namespace qm::zero {

/// An element's identity as text: a type text naming the kind of id and the
/// id text. Elements of this framework are identified by uuid: type
/// `UUID_TYPE`, id text the 36-character lower-case form. A plain value.
class QM0_API ElementId {
 public:
  static const std::u16string UUID_TYPE;  ///< u"UUID"

  ElementId() = default;
  ElementId(std::u16string type, std::u16string id) : type_(std::move(type)), id_(std::move(id)) {}

  /// The id of an element identified by `uuid`: type `UUID_TYPE`.
  static ElementId ofUUID(const boost::uuids::uuid& uuid) { return ElementId(UUID_TYPE, uuidText(uuid)); }
  /// `uuid` as id text: the 36-character lower-case form.
  static std::u16string uuidText(const boost::uuids::uuid& uuid);
  /// The uuid that `text` spells in the 36-character form (either case);
  /// false, and `uuid` untouched, for any other text.
  static bool parseUUID(std::u16string_view text, boost::uuids::uuid& uuid) noexcept;

  const std::u16string& getType() const noexcept { return type_; }
  const std::u16string& getId() const noexcept { return id_; }

  friend bool operator==(const ElementId& a, const ElementId& b) { return a.type_ == b.type_ && a.id_ == b.id_; }
  friend bool operator!=(const ElementId& a, const ElementId& b) { return !(a == b); }

 private:
  std::u16string type_;
  std::u16string id_;
};

/// The identity a proxy is created with: an element id and an optional text
/// (for instance the name of the store it comes from). A plain value.
class QM0_API ProxyId {
 public:
  ProxyId(std::u16string type, std::u16string id, boost::optional<std::u16string> text)
      : id_(std::move(type), std::move(id)), text_(std::move(text)) {}
  /// The same as ProxyId(UUID_TYPE, ElementId::uuidText(uuid), none), which
  /// keeps the uuid: a proxy made from it needs no parse of the text.
  explicit ProxyId(const boost::uuids::uuid& uuid) : id_(ElementId::ofUUID(uuid)), uuid_(uuid) {}

  const ElementId& getElementId() const noexcept { return id_; }
  const boost::optional<std::u16string>& getText() const noexcept { return text_; }
  /// The uuid it was made from; none when made from text.
  const boost::optional<boost::uuids::uuid>& getUUID() const noexcept { return uuid_; }

 private:
  ElementId id_;
  boost::optional<std::u16string> text_;
  boost::optional<boost::uuids::uuid> uuid_;
};

}  // namespace qm::zero
