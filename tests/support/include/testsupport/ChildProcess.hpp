#pragma once

#include <functional>

#include <sys/types.h>

namespace testsupport {

/// A forked child process running `body`, whose result is the child's exit
/// code. Destroying the handle before the child was waited for kills it
/// (SIGKILL) and reaps it, so that a test that fails half way never leaves a
/// child behind: one blocked on a pipe would keep its copy of the test's
/// output open, and CTest waiting for ever. The child also dies with its
/// parent. Not copyable.
class ChildProcess {
 public:
  explicit ChildProcess(const std::function<int()>& body);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  /// Waits for the child's end: its exit code, or minus the signal that
  /// ended it.
  int wait();
  /// Ends the child at once (SIGKILL) and reaps it.
  void kill();

 private:
  pid_t pid_ = -1;
};

}  // namespace testsupport
