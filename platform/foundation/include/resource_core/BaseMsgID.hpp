#pragma once

#include <foundation/export.hpp>

#include <string>
#include <variant>
#include <vector>

namespace resource_core {

/// One argument of a message identifier: UTF-8 or UTF-16 text.
using MsgArgument = std::variant<std::string, std::u16string>;

/// A message identifier: the key under which a host's message catalogue finds
/// the text shown to users, with the arguments to insert into it. Each
/// identifier is a value type derived from this class (see MessageIds.hpp).
/// A plain value; safe to read from several threads.
class FOUNDATION_API BaseMsgID {
 public:
  BaseMsgID(std::string group, std::string id, std::vector<MsgArgument> arguments = {});
  virtual ~BaseMsgID();
  BaseMsgID(const BaseMsgID&) = default;
  BaseMsgID(BaseMsgID&&) noexcept = default;
  BaseMsgID& operator=(const BaseMsgID&) = default;
  BaseMsgID& operator=(BaseMsgID&&) noexcept = default;

  const std::vector<MsgArgument>& arguments() const noexcept { return arguments_; }
  /// The group, e.g. "m2t_vlt:datasource".
  const std::string& group() const noexcept { return group_; }
  /// The identifier within its group, e.g. "PackageVersionMismatch".
  const std::string& id() const noexcept { return id_; }
  /// The group, a colon and the identifier.
  std::string fullId() const;
  /// The full identifier followed by the arguments in order, each quoted and
  /// converted to UTF-8: `group:id("a", "b")`, or just `group:id` without
  /// arguments. For logs and what(); users see the catalogue's text instead.
  std::string text() const;

 private:
  // Held in this order: the arguments, the group, the identifier.
  std::vector<MsgArgument> arguments_;
  std::string group_;
  std::string id_;
};

}  // namespace resource_core
