#pragma once

#include <foundation/export.hpp>

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

namespace foundation::diagnostics {

/// The frames of the current thread at construction. Owns a copy of the frame
/// addresses; formatting resolves them. Not shared between threads.
class FOUNDATION_API StackTrace {
 public:
  /// Captures at most `maxFrames` frames, skipping the `skipFrames` innermost
  /// frames of the caller. With `resolveSymbols` the text names functions and
  /// source lines where debug information allows; without it, addresses only.
  StackTrace(std::size_t maxFrames, std::size_t skipFrames, bool resolveSymbols);
  ~StackTrace();
  StackTrace(StackTrace&&) noexcept;
  StackTrace& operator=(StackTrace&&) noexcept;

  std::size_t size() const noexcept;
  /// One line per frame, innermost first: " 0# function at file:line".
  std::string toString() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

FOUNDATION_API std::ostream& operator<<(std::ostream& os, const StackTrace& trace);

}  // namespace foundation::diagnostics
