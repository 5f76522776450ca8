#pragma once

#include <string>

namespace testsupport {

/// A fresh, empty folder under $TMPDIR (or /tmp), removed with everything in
/// it when the object dies.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  /// `path()` + "/" + `name`.
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Writes `contents` to `path`, replacing it. Throws std::runtime_error.
void writeFile(const std::string& path, const std::string& contents);
/// The whole contents of `path`. Throws std::runtime_error.
std::string readFile(const std::string& path);

}  // namespace testsupport
