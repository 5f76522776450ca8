// The repository's exception types.

#include <vlt/Errors.hpp>

namespace vlt {

namespace {
std::string compose(const std::string& message, const std::string& filespec, const std::string& backendMessage,
                    const std::string& statement) {
  std::string text = message;
  if (!filespec.empty()) text += " [repository " + filespec + "]";
  if (!backendMessage.empty()) text += " [" + backendMessage + "]";
  if (!statement.empty()) text += " [statement: " + statement + "]";
  return text;
}
}  // namespace

RepositoryError::RepositoryError(const std::string& message, std::string filespec, int backendCode,
                                 std::string backendMessage, std::string statement)
    : std::runtime_error(compose(message, filespec, backendMessage, statement)),
      message_(message),
      filespec_(std::move(filespec)),
      backendCode_(backendCode),
      backendMessage_(std::move(backendMessage)),
      statement_(std::move(statement)) {}
RepositoryError::~RepositoryError() = default;
OpenError::~OpenError() = default;
NotARepositoryError::~NotARepositoryError() = default;
MetamodelFileError::~MetamodelFileError() = default;
LockedError::~LockedError() = default;
ConstraintError::~ConstraintError() = default;
MetamodelError::~MetamodelError() = default;
ObjectNotFoundError::~ObjectNotFoundError() = default;
UsageError::~UsageError() = default;
StorageError::~StorageError() = default;

}  // namespace vlt
