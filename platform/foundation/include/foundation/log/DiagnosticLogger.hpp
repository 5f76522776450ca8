#pragma once
// Named diagnostic channels over the Boost.Log core.
//
//   static foundation::log::basic_diagnostic_logger<char> debugLog("my::channel");
//   debugLog.log(foundation::log::severity::detail, "Opened ", path, " in ", ms, " ms");
//
// A channel is created once per name and shared by every logger object of that
// name: its enabled-severity mask and its lock are the channel's. A record of
// severity S is written only when (mask & S & 0x7FFF) != 0 and the logging core
// is enabled; otherwise the arguments are never formatted. The record goes to
// the Boost.Log core with the attributes "Channel" (std::string) and
// "Severity" (unsigned int); the host's sinks decide where it ends up.

#include <foundation/export.hpp>

#include <memory>
#include <ostream>
#include <string>
#include <string_view>

namespace foundation::log {

/// Severity bit values. A mask may combine any bits below 0x8000.
namespace severity {
inline constexpr unsigned detail = 4;     ///< progress and detail
inline constexpr unsigned warning = 256;  ///< anomalies the caller survives
inline constexpr unsigned error = 512;    ///< failures
inline constexpr unsigned all = 0x7FFF;
}  // namespace severity

/// The mask a channel starts with: warnings and above.
inline constexpr unsigned defaultSeverityMask = 0x7F00;

/// Turns the whole logging core on or off (it starts on). While it is off no
/// record of any channel is built.
FOUNDATION_API void setLoggingEnabled(bool enabled) noexcept;
FOUNDATION_API bool isLoggingEnabled() noexcept;

namespace detail {

struct Channel;

/// One open record. Holds the channel's lock from construction to
/// destruction, so that records of one channel never interleave. The record is
/// pushed to the core on destruction unless an exception started unwinding
/// while it was being written.
class FOUNDATION_API RecordWriter {
 public:
  RecordWriter(Channel& channel, unsigned severity);
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  /// False when the core refused the record (disabled, or filtered out).
  explicit operator bool() const noexcept { return impl_ != nullptr; }
  /// The record's text stream; valid while the writer lives and only if open.
  std::ostream& stream();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int uncaughtAtOpen_;
};

FOUNDATION_API void put(std::ostream& os, std::u16string_view text);
inline void put(std::ostream& os, const std::u16string& text) { put(os, std::u16string_view(text)); }
inline void put(std::ostream& os, const char16_t* text) { put(os, std::u16string_view(text)); }
template <class T>
void put(std::ostream& os, const T& value) {
  os << value;
}

}  // namespace detail

/// A handle on a named channel. Cheap to create after the first object of a
/// name; usually a static per library. Thread-safe: records may be written
/// from several threads at once.
template <class CharT>
class basic_diagnostic_logger;

template <>
class FOUNDATION_API basic_diagnostic_logger<char> {
 public:
  /// Attaches to the channel `name`, creating it on first use.
  explicit basic_diagnostic_logger(const std::string& name);

  const std::string& channelName() const noexcept;

  /// Whether a record of `severity` would be written now.
  bool isEnabled(unsigned severity) const noexcept;

  /// The channel's enabled-severity mask.
  unsigned enabledSeverities() const noexcept;
  /// Changes the channel's mask, for every logger of the channel.
  void setEnabledSeverities(unsigned mask) noexcept;

  /// Writes one record whose text is the arguments streamed in order (UTF-16
  /// text converted to UTF-8; numbers and pointers with the standard stream
  /// formatting). Formats nothing when the severity is not enabled.
  template <class... Args>
  void log(unsigned severity, const Args&... args) {
    if (!isEnabled(severity)) return;
    detail::RecordWriter record(*channel_, severity);
    if (!record) return;
    std::ostream& os = record.stream();
    (detail::put(os, args), ...);
  }

 private:
  detail::Channel* channel_;  // owned by the process-wide channel registry
};

using diagnostic_logger = basic_diagnostic_logger<char>;

}  // namespace foundation::log
