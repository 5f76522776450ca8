#pragma once

#include <string>

namespace testsupport {

/// A SQLite VFS over the default one that counts the operations which make a
/// change durable (write, sync, truncate, delete) on every file, and can fail the N-th
/// of them with SQLITE_IOERR. While an instance lives it is SQLite's default
/// VFS, so code under test uses it without knowing. Deleting a file counts
/// too: removing the rollback journal is what commits in that journal mode.
///
/// Modes:
///  - failOnce: only the N-th operation fails; SQLite may then clean up.
///  - failFromThenOn: the N-th and every later operation fail, as if the
///    machine died at that point: whatever SQLite left on disk (a hot
///    journal, a partial WAL) is what the next open finds.
///
/// One instance at a time, used from one thread.
class FaultInjectionVfs {
 public:
  enum class Mode { failOnce, failFromThenOn };

  FaultInjectionVfs();
  ~FaultInjectionVfs();
  FaultInjectionVfs(const FaultInjectionVfs&) = delete;
  FaultInjectionVfs& operator=(const FaultInjectionVfs&) = delete;

  /// Fails the n-th operation counted from now (1-based); 0 fails none.
  /// Resets the counters.
  void failAt(int n, Mode mode = Mode::failOnce);
  /// Counts from now without failing anything.
  void reset() { failAt(0); }

  /// Operations seen since the last failAt/reset.
  int operations() const;
  /// Operations that were failed since the last failAt/reset.
  int failures() const;
  /// A description of the operations seen ("write main.db", "sync main.db-wal", ...).
  std::string log() const;
};

}  // namespace testsupport
