#pragma once
// What the fuzz targets share: a scratch folder for the inputs that the code
// under test reads from a file, and the report of an outcome the code must
// never produce.

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <typeinfo>

#include <unistd.h>

namespace vlt_fuzz {

/// Stops the run with a message that libFuzzer keeps next to the input:
/// abort() makes it a crash, with the input saved as crash-<sha1>.
[[noreturn]] inline void finding(const std::string& what) {
  std::fprintf(stderr, "\n==== FINDING: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

/// An exception of a type the code under test does not promise. The caught
/// object's dynamic type is named, since that is what tells a bad_alloc
/// from an out_of_range.
[[noreturn]] inline void unexpectedException(const std::exception& e) {
  finding(std::string("unexpected exception ") + typeid(e).name() + ": " + e.what());
}

/// A folder of its own for this process (parallel jobs each get one), made
/// under $TMPDIR (or /tmp) as vlt-fuzz-<pid>-XXXXXX and removed at a normal
/// exit. A crash ends the process without that (libFuzzer exits from its
/// signal handler), so each new one first removes the folders of processes
/// that are gone: fork mode, which restarts after every crash, would
/// otherwise leave thousands.
class ScratchFolder {
 public:
  ScratchFolder() {
    const char* tmp = std::getenv("TMPDIR");
    const std::string parent = tmp && *tmp ? tmp : "/tmp";
    removeAbandoned(parent);
    std::string pattern = parent + "/vlt-fuzz-" + std::to_string(::getpid()) + "-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) finding("cannot make a scratch folder under " + parent);
    path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  /// Empties the folder (what the last input left: journals, WAL files,
  /// saved generations), writes the bytes to the file `name` in it and gives
  /// its path.
  std::string freshFile(const std::string& name, const std::uint8_t* data, std::size_t size) const {
    for (const auto& entry : std::filesystem::directory_iterator(path_)) std::filesystem::remove_all(entry.path());
    const std::string path = path_ + "/" + name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) finding("cannot write the input to " + path);
    return path;
  }

 private:
  static void removeAbandoned(const std::string& parent) {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(parent, error)) {
      const std::string name = entry.path().filename().string();
      const std::string prefix = "vlt-fuzz-";
      if (name.compare(0, prefix.size(), prefix) != 0) continue;
      const long pid = std::strtol(name.c_str() + prefix.size(), nullptr, 10);
      if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
        std::filesystem::remove_all(entry.path(), error);
      }
    }
  }

  std::string path_;
};

}  // namespace vlt_fuzz
