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
/// identifier is a value type derived from this class, declared by the
/// component that throws it (see FOUNDATION_DECLARE_MSG_ID below).
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
  /// The group, e.g. "shapes:messages" (namespaces follow it: shapes::messages).
  const std::string& group() const noexcept { return group_; }
  /// The identifier within its group, e.g. "EmptyDrawing".
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

/// Declares, in the current namespace, the message identifier `Name` that
/// takes no arguments; its group is the namespace's `groupName`:
///
///   namespace shapes::messages {
///   inline constexpr const char* groupName = "shapes:messages";
///   FOUNDATION_DECLARE_MSG_ID(SHAPES_VISIBLE, EmptyDrawing);
///   }
///
/// `Visibility` is the declaring component's <NAME>_VISIBLE (from its export
/// header): identifiers are thrown and caught by type across shared libraries,
/// so they must have default visibility. An identifier with arguments is
/// written out the same way, its constructor handing the arguments to
/// BaseMsgID in the order the catalogue expects them.
#define FOUNDATION_DECLARE_MSG_ID(Visibility, Name) \
  struct Visibility Name : ::resource_core::BaseMsgID { \
    Name() : BaseMsgID(groupName, #Name) {}           \
  }
