#include <foundation/filesystem/FileSystem.hpp>

#include <fl/i18n/Unicode.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

namespace stdfs = std::filesystem;

namespace foundation::filesystem {
namespace {

stdfs::path toPath(const std::u16string& path) { return stdfs::u8path(fl::i18n::ustring_to_utf8(path)); }

std::u16string fromPath(const stdfs::path& path) { return fl::i18n::utf8_to_ustring(path.u8string()); }

std::string describe(const std::string& operation, const std::u16string& path, const std::error_code& cause) {
  return operation + " '" + fl::i18n::ustring_to_utf8(path) + "' failed: " + cause.message();
}

}  // namespace

FileSystemError::FileSystemError(const std::string& operation, const std::u16string& path, std::error_code cause)
    : std::system_error(cause, describe(operation, path, cause)), path_(path) {}

std::u16string installPathOf(const void* address) {
  Dl_info info{};
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0') {
    throw FileSystemError("find the module holding the calling code", u"", std::make_error_code(std::errc::no_such_file_or_directory));
  }
  std::error_code ec;
  stdfs::path module = stdfs::canonical(info.dli_fname, ec);
  if (ec) throw FileSystemError("resolve the module path", fl::i18n::utf8_to_ustring(info.dli_fname), ec);
  return fromPath(module.parent_path().parent_path());
}

// Not inlined, so that the return address lies in the caller's module.
__attribute__((noinline)) std::u16string installPath() { return installPathOf(__builtin_return_address(0)); }

std::u16string concatenatePath(const std::u16string& base, const std::u16string& component) {
  if (base.empty()) return component;
  std::u16string joined = base;
  std::size_t skip = 0;
  while (skip < component.size() && component[skip] == u'/') ++skip;
  if (joined.back() != u'/') joined += u'/';
  joined.append(component, skip, std::u16string::npos);
  return joined;
}

bool exists(const std::u16string& path) {
  std::error_code ec;
  const stdfs::file_status status = stdfs::status(toPath(path), ec);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    throw FileSystemError("examine", path, ec);
  }
  return stdfs::exists(status);
}

FileStatus fileStatus(const std::u16string& path) {
  std::error_code ec;
  const stdfs::file_status status = stdfs::status(toPath(path), ec);
  if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory) {
    throw FileSystemError("examine", path, ec);
  }
  FileStatus result;
  switch (status.type()) {
    case stdfs::file_type::not_found:
    case stdfs::file_type::none:
      result.kind = FileKind::missing;
      break;
    case stdfs::file_type::regular:
      result.kind = FileKind::regular;
      result.size = stdfs::file_size(toPath(path), ec);
      if (ec) throw FileSystemError("examine", path, ec);
      break;
    case stdfs::file_type::directory:
      result.kind = FileKind::folder;
      break;
    default:
      result.kind = FileKind::other;
      break;
  }
  return result;
}

std::u16string parentFolder(const std::u16string& path) {
  const std::size_t slash = path.rfind(u'/');
  if (slash == std::u16string::npos) return u".";
  return slash == 0 ? u"/" : path.substr(0, slash);
}

bool mayWriteFolder(const std::u16string& path) {
  const std::string native = fl::i18n::ustring_to_utf8(path);
  return ::access(native.c_str(), W_OK | X_OK) == 0;
}

bool renameFile(const std::u16string& from, const std::u16string& to) {
  std::error_code ec;
  stdfs::rename(toPath(from), toPath(to), ec);
  if (ec == std::errc::no_such_file_or_directory) return false;
  if (ec) throw FileSystemError("rename '" + fl::i18n::ustring_to_utf8(from) + "' to", to, ec);
  return true;
}

void copyFile(const std::u16string& from, const std::u16string& to, int copyOption) {
  stdfs::copy_options options;
  switch (copyOption) {
    case failIfExists: options = stdfs::copy_options::none; break;
    case overwriteExisting: options = stdfs::copy_options::overwrite_existing; break;
    default: throw FileSystemError("copy to", to, std::make_error_code(std::errc::invalid_argument));
  }
  std::error_code ec;
  stdfs::copy_file(toPath(from), toPath(to), options, ec);
  if (ec) throw FileSystemError("copy '" + fl::i18n::ustring_to_utf8(from) + "' to", to, ec);
}

void addOwnerWritePermission(const std::u16string& path) {
  std::error_code ec;
  stdfs::permissions(toPath(path), stdfs::perms::owner_write, stdfs::perm_options::add, ec);
  if (ec) throw FileSystemError("add owner-write permission to", path, ec);
}

bool removeFile(const std::u16string& path) {
  std::error_code ec;
  const bool removed = stdfs::remove(toPath(path), ec);
  if (ec) throw FileSystemError("remove", path, ec);
  return removed;
}

}  // namespace foundation::filesystem
