#pragma once
// Captures the records written to the Boost.Log core, for tests that assert
// exact log lines.

#include <foundation/export.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace foundation::log {

struct CapturedRecord {
  std::string channel;
  unsigned severity = 0;
  std::string text;

  bool operator==(const CapturedRecord& other) const {
    return channel == other.channel && severity == other.severity && text == other.text;
  }
};

/// While it lives, a sink on the logging core keeps every record of every
/// channel (only records of `channel` when one is given). Thread-safe.
class FOUNDATION_API RecordCapture {
 public:
  RecordCapture();
  explicit RecordCapture(std::string channel);
  /// Also calls `observer` with each record of `channel`, on the thread that
  /// logs it, before the record is kept; records of other threads are kept
  /// meanwhile, so an observer may hold its thread (a test that stops work
  /// at a given step).
  RecordCapture(std::string channel, std::function<void(const CapturedRecord&)> observer);
  ~RecordCapture();
  RecordCapture(const RecordCapture&) = delete;
  RecordCapture& operator=(const RecordCapture&) = delete;

  /// A copy of the records captured so far, in the order they were pushed.
  std::vector<CapturedRecord> records() const;
  /// The texts of the captured records, in order.
  std::vector<std::string> texts() const;
  void clear();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace foundation::log
