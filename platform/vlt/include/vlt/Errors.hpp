#pragma once
// The repository fails by throwing one of these. Every message names the
// repository (its file specification, never a password) and the cause; when
// the back end reported the failure, its result code and message and the
// statement that failed are part of the message and available separately.

#include <vlt/export.hpp>

#include <stdexcept>
#include <string>

namespace vlt {

/// Base of every repository failure.
class VLT_API RepositoryError : public std::runtime_error {
 public:
  /// `what()` is `message` followed by the context that is not empty.
  RepositoryError(const std::string& message, std::string filespec = {}, int backendCode = 0,
                  std::string backendMessage = {}, std::string statement = {});
  ~RepositoryError() override;

  /// What happened, without the context that what() adds.
  const std::string& message() const noexcept { return message_; }
  /// The repository's file specification (UTF-8; a PostgreSQL URI without its
  /// password), empty when the failure is not tied to one.
  const std::string& filespec() const noexcept { return filespec_; }
  /// The back end's result code (SQLite extended result code), 0 when the
  /// failure was detected by the repository itself.
  int backendCode() const noexcept { return backendCode_; }
  /// The back end's own message, empty when none.
  const std::string& backendMessage() const noexcept { return backendMessage_; }
  /// The SQL statement that failed, empty when none.
  const std::string& statement() const noexcept { return statement_; }

 private:
  std::string message_;
  std::string filespec_;
  int backendCode_;
  std::string backendMessage_;
  std::string statement_;
};

/// The repository could not be opened or created: a missing folder, a file
/// that may not be written, a file that is not a database or is damaged, a
/// database that is not a repository, a bad base metamodel file. The file is
/// left as it was.
class VLT_API OpenError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~OpenError() override;
};

/// The file is a database but not a repository (or one of a newer format).
class VLT_API NotARepositoryError : public OpenError {
 public:
  using OpenError::OpenError;
  ~NotARepositoryError() override;
};

/// The base metamodel file is missing, unreadable or malformed; nothing was
/// created.
class VLT_API MetamodelFileError : public OpenError {
 public:
  using OpenError::OpenError;
  ~MetamodelFileError() override;
};

/// Another connection held the database lock longer than the lock timeout.
class VLT_API LockedError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~LockedError() override;
};

/// A write broke a rule of the stored data: a uuid or object id already in
/// use, a duplicate in a unique collection.
class VLT_API ConstraintError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~ConstraintError() override;
};

/// A metamodel change was refused: a name already taken, an unknown type
/// name, bounds or flags that do not fit together.
class VLT_API MetamodelError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~MetamodelError() override;
};

/// An object that the call needs does not exist.
class VLT_API ObjectNotFoundError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~ObjectNotFoundError() override;
};

/// The call was used wrongly: a null handle, a closed repository, a value of
/// the wrong type for the property, a property of another class, an index out
/// of range, a transaction call in the wrong state, a handle made by a
/// transaction that was rolled back.
class VLT_API UsageError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~UsageError() override;
};

/// The back end failed in a way not covered above: an I/O error, a full
/// disk, a database found damaged while in use.
class VLT_API StorageError : public RepositoryError {
 public:
  using RepositoryError::RepositoryError;
  ~StorageError() override;
};

}  // namespace vlt
