#pragma once
// DataSource::Opening: the opening of a data source's repository and the
// initial synchronisation of model and repository, on the host's thread or on
// a worker thread of its own.

#include <vlt_datasource/DataSource.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vlt_datasource {

/// The opening of one data source, made with it and living as long as it. It
/// owns the worker thread of an asynchronous opening, the opening's state and
/// its failure, and runs the opening's steps (the repository opened and
/// checked, the stored elements loaded, the model's elements written) on the
/// data source it borrows.
///
/// Threads: start, join and abandon are the host's (the model's thread);
/// waitForEnd, workerHoldsRepository and throwIfAbandoned are safe beside the
/// worker.
class DataSource::Opening {
 public:
  explicit Opening(DataSource& dataSource) : source(dataSource) {}
  Opening(const Opening&) = delete;
  Opening& operator=(const Opening&) = delete;
  /// The worker has been joined or detached by abandon (the data source's
  /// disconnect) by then.
  ~Opening();

  /// Opens the repository and synchronises it with the model: at once with
  /// `Synchronous` timing (its failure passes on), on a worker thread with
  /// `Asynchronous` (its failure is kept for the waits).
  void start(const std::u16string& connectionString, const ConnectionOptions& options, ToModelSync toModel,
             ToDataSourceSync toDataSource, SyncTiming timing);
  /// Joins the worker, unless called by the worker itself. Every operation of
  /// the host's begins here: until the worker has ended, the repository and
  /// the model are the worker's.
  void join();
  /// Waits until the worker has ended, then rethrows its failure, if any
  /// (every call rethrows it again). Returns at once when no worker was
  /// started.
  void waitForEnd();
  /// Whether a worker, seen from another thread than its own, has not ended
  /// yet: the repository is not the caller's to read.
  bool workerHoldsRepository() const;
  /// Ends the worker: joins it after interrupting a wait for a server and
  /// making the next throwIfAbandoned throw, or detaches it when it is the
  /// calling thread (the model's last handle was the worker's).
  void abandon();

  /// Throws vlt::OpenError when the host has abandoned the opening. The read
  /// path checks it per element: one relaxed load.
  void throwIfAbandoned() const {
    if (abandoned.load(std::memory_order_relaxed)) throwAbandoned();
  }

 private:
  [[noreturn]] void throwAbandoned() const;

  void runOnWorker(const std::u16string& connectionString, const ConnectionOptions& options, ToModelSync toModel,
                   ToDataSourceSync toDataSource);
  void openAndSynchronise(const std::u16string& connectionString, const ConnectionOptions& options,
                          ToModelSync toModel, ToDataSourceSync toDataSource);
  /// The opening's steps: the repository opened and its versions checked
  /// (returns its ModelElement class), the stored elements loaded, the
  /// model's elements written.
  vlt::ClassRef openRepository(const std::u16string& connectionString, const ConnectionOptions& options);
  void loadStoredElements(ToModelSync toModel, const vlt::ClassRef& modelElementClass);
  void pushModelElements(const std::vector<qm::zero::ModelElement>& elements, const vlt::ClassRef& modelElementClass);
  void setState(std::uint32_t newState);

  DataSource& source;

  // state, changed only under mutex and followed by a broadcast of
  // condition; it only grows:
  //   0  connected, nothing loaded yet
  //   1  loading the stored top-level objects into the model
  //   2  writing the model's elements into the repository
  //   3  the worker has ended (its failure, if any, in failure)
  mutable std::mutex mutex;
  std::condition_variable condition;
  std::uint32_t state = 0;       // guarded by mutex
  std::exception_ptr failure;    // guarded by mutex
  bool started = false;          // set by start before the worker starts
  std::thread worker;
  std::atomic<bool> abandoned{false};  // set by abandon while the worker runs
};

}  // namespace vlt_datasource
