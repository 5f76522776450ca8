#include <testsupport/ChildProcess.hpp>

#include <csignal>
#include <stdexcept>

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

ChildProcess::ChildProcess(const std::function<int()>& body) {
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(111);  // the parent is gone already
    int code = 112;
    try {
      code = body();
    } catch (...) {
      code = 113;
    }
    ::_exit(code);  // no atexit handlers, no test-framework teardown in the child
  }
}

ChildProcess::~ChildProcess() { kill(); }

int ChildProcess::wait() {
  if (pid_ < 0) return -1;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

void ChildProcess::kill() {
  if (pid_ < 0) return;
  ::kill(pid_, SIGKILL);
  wait();
}

}  // namespace testsupport
