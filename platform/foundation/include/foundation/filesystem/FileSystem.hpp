#pragma once
// File helpers on UTF-16 paths. Every failure throws FileSystemError, whose
// message names the operation, the path and the cause.

#include <foundation/export.hpp>

#include <cstdint>
#include <string>
#include <system_error>

namespace foundation::filesystem {

class FOUNDATION_API FileSystemError : public std::system_error {
 public:
  FileSystemError(const std::string& operation, const std::u16string& path, std::error_code cause);
  /// The path the operation failed on.
  const std::u16string& path() const noexcept { return path_; }

 private:
  std::u16string path_;
};

/// Copy options for copyFile.
enum CopyOption : int {
  failIfExists = 0,       ///< the copy fails when the target exists
  overwriteExisting = 1,  ///< an existing target is replaced
};

/// The install folder of the calling code: the folder above the one holding
/// the shared library (or program) that contains the caller. For a library in
/// <prefix>/lib this is <prefix>. Throws FileSystemError when the module
/// cannot be determined.
FOUNDATION_API std::u16string installPath();

/// The same, for the module that contains `address`.
FOUNDATION_API std::u16string installPathOf(const void* address);

/// `base` and `component` joined with exactly one separator between them.
/// An empty base gives `component`; a `component` that is absolute replaces
/// nothing: it is appended like any other.
FOUNDATION_API std::u16string concatenatePath(const std::u16string& base, const std::u16string& component);

template <class... Components>
std::u16string concatenatePath(const std::u16string& base, const std::u16string& first, const Components&... rest) {
  std::u16string path = concatenatePath(base, first);
  ((path = concatenatePath(path, std::u16string(rest))), ...);
  return path;
}

/// Whether `path` names an existing file or folder. A missing path gives
/// false; a path that cannot be examined (a parent without search permission)
/// throws.
FOUNDATION_API bool exists(const std::u16string& path);

/// What a path names (symbolic links followed).
enum class FileKind { missing, regular, folder, other };

struct FileStatus {
  FileKind kind = FileKind::missing;
  std::uint64_t size = 0;  ///< bytes, for a regular file
};

/// What `path` names. A missing path (or one below a file) is `missing`; a
/// path that cannot be examined (a parent without search permission) throws.
FOUNDATION_API FileStatus fileStatus(const std::u16string& path);

/// The folder that holds `path`: everything before its last "/" ("/" for an
/// entry of the root, "." for a bare name).
FOUNDATION_API std::u16string parentFolder(const std::u16string& path);

/// Whether this process may create and remove entries in the folder
/// `path` (write and search permission, as the operating system checks it for
/// the real user). False for a missing path.
FOUNDATION_API bool mayWriteFolder(const std::u16string& path);

/// Renames `from` to `to`, replacing `to`. Returns false when `from` does not
/// exist; throws for any other failure.
FOUNDATION_API bool renameFile(const std::u16string& from, const std::u16string& to);

/// Copies the regular file `from` to `to`. With failIfExists the copy fails
/// when `to` exists and leaves it untouched. Throws on failure, and for an
/// option that is neither of the two.
FOUNDATION_API void copyFile(const std::u16string& from, const std::u16string& to, int copyOption);

/// Adds write permission for the owner to `path`, leaving the others as they are.
FOUNDATION_API void addOwnerWritePermission(const std::u16string& path);

/// Removes the file (or empty folder) `path`. Returns false when there was
/// nothing to remove; throws when it exists but cannot be removed.
FOUNDATION_API bool removeFile(const std::u16string& path);

}  // namespace foundation::filesystem
