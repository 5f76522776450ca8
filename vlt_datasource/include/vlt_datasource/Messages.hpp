#pragma once
// The message identifiers that vlt_datasource throws itself, through
// foundation::core::except::throwException. A host's message catalogue is
// keyed by the full identifier (group, colon, identifier); the arguments are
// given in the order documented here.
//
//   catch (const foundation::core::except::IMsgIDException& e) {
//     if (e.get_error_id() == "m2t_vlt:datasource:PackageVersionMismatch") ...
//   }

#include <vlt_datasource/export.hpp>

#include <resource_core/BaseMsgID.hpp>

#include <string>

namespace m2t_vlt::messages {

inline constexpr const char* groupName = "m2t_vlt:messages";

/// The repository named by a connection string cannot be opened by this
/// library: the string does not parse, or it names a database the chosen
/// connector cannot serve. Arguments: the connection string (UTF-16, any
/// password masked), the reason (UTF-8; empty for a string that does not
/// parse).
struct VLT_DATASOURCE_VISIBLE CannotOpenVLTRepository : resource_core::BaseMsgID {
  CannotOpenVLTRepository(const std::u16string& connectionString, const std::string& reason)
      : BaseMsgID(groupName, "CannotOpenVLTRepository", {connectionString, reason}) {}
};

/// The repository lacks the classes this library stores its objects under.
FOUNDATION_DECLARE_MSG_ID(VLT_DATASOURCE_VISIBLE, ObsoleteSchema);

}  // namespace m2t_vlt::messages

namespace m2t_vlt::datasource {

inline constexpr const char* groupName = "m2t_vlt:datasource";

/// A data source was created for a model inside a transaction.
FOUNDATION_DECLARE_MSG_ID(VLT_DATASOURCE_VISIBLE, CannotAttachInsideTransaction);

/// A stored package version (or a required family) does not fit the process.
/// Arguments, all UTF-16: the repository's file specification, the family,
/// the version recorded in the repository ("?" when the family is missing),
/// the version in use in the process ("?" when it has no package for it).
struct VLT_DATASOURCE_VISIBLE PackageVersionMismatch : resource_core::BaseMsgID {
  PackageVersionMismatch(const std::u16string& filespec, const std::u16string& family,
                         const std::u16string& storedVersion, const std::u16string& currentVersion)
      : BaseMsgID(groupName, "PackageVersionMismatch", {filespec, family, storedVersion, currentVersion}) {}
};

/// A modified element has no repository object.
FOUNDATION_DECLARE_MSG_ID(VLT_DATASOURCE_VISIBLE, VltObjectNotFound);

/// A query constraint on a primitive type that queries cannot handle.
/// Argument: the type's name (UTF-16).
struct VLT_DATASOURCE_VISIBLE UnsupportedPrimitiveType : resource_core::BaseMsgID {
  explicit UnsupportedPrimitiveType(const std::u16string& typeName)
      : BaseMsgID(groupName, "UnsupportedPrimitiveType", {typeName}) {}
};

/// The connection string asks for type evolution ("evolve=true") but no
/// installed bundle provides a type-evolution provider. Argument: the
/// connection string (UTF-16, any password masked).
struct VLT_DATASOURCE_VISIBLE NoTypeEvolutionProvider : resource_core::BaseMsgID {
  explicit NoTypeEvolutionProvider(const std::u16string& connectionString)
      : BaseMsgID(groupName, "NoTypeEvolutionProvider", {connectionString}) {}
};

/// A framework class does not fit the repository class of its name, which
/// an earlier version of its metamodel made: its superclass moved, or a
/// property's stored type, multiplicity or containment changed. Arguments:
/// the class's qualified name (UTF-16), the property's name (UTF-16; empty
/// for the superclass), what the repository holds and what the framework
/// class says (UTF-8, as "int32 [0..1]", "superclass lib.Named").
struct VLT_DATASOURCE_VISIBLE StoredClassMismatch : resource_core::BaseMsgID {
  StoredClassMismatch(const std::u16string& className, const std::u16string& propertyName,
                      const std::string& stored, const std::string& framework)
      : BaseMsgID(groupName, "StoredClassMismatch", {className, propertyName, stored, framework}) {}
};

}  // namespace m2t_vlt::datasource
