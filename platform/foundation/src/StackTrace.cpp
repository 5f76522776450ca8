#include <foundation/diagnostics/StackTrace.hpp>

#define BOOST_STACKTRACE_LINK
#include <boost/stacktrace/stacktrace.hpp>

#include <ostream>
#include <sstream>

namespace foundation::diagnostics {

struct StackTrace::Impl {
  boost::stacktrace::stacktrace frames;
  bool resolveSymbols;
};

// The constructor's own frame is skipped too: the trace starts at its caller.
__attribute__((noinline)) StackTrace::StackTrace(std::size_t maxFrames, std::size_t skipFrames, bool resolveSymbols)
    : impl_(new Impl{boost::stacktrace::stacktrace(skipFrames + 1, maxFrames), resolveSymbols}) {}

StackTrace::~StackTrace() = default;
StackTrace::StackTrace(StackTrace&&) noexcept = default;
StackTrace& StackTrace::operator=(StackTrace&&) noexcept = default;

std::size_t StackTrace::size() const noexcept { return impl_->frames.size(); }

std::string StackTrace::toString() const {
  if (impl_->resolveSymbols) return boost::stacktrace::to_string(impl_->frames);
  std::ostringstream os;
  std::size_t index = 0;
  for (const auto& frame : impl_->frames) {
    os << (index < 10 ? " " : "") << index << "# " << frame.address() << '\n';
    ++index;
  }
  return os.str();
}

std::ostream& operator<<(std::ostream& os, const StackTrace& trace) { return os << trace.toString(); }

}  // namespace foundation::diagnostics
