// A passive data source's writes: each report its model committed, in a
// repository transaction of its own, after those that still wait; a report
// that met a passing failure waits for the next report or waitForIdle.

#include <vlt_datasource/DataSource.hpp>

#include "datasource/Diagnostics.hpp"
#include "external/Repository.hpp"

#include <exception>
#include <string>

namespace vlt_datasource {

namespace {

std::size_t elementsOf(const qm::zero::ShallowChangeReport<qm::zero::ModelElement>& report) {
  return report.getCreatedElements().size() + report.getModifiedElements().size() +
         report.getDestroyedElements().size();
}

// A failure that a later attempt may not meet: another connection's lock, an
// I/O error, a full disk, a server gone for a while.
bool passes(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const vlt::LockedError&) {
    return true;
  } catch (const vlt::StorageError&) {
    return true;
  } catch (...) {
    return false;
  }
}

std::string textOf(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an unknown exception";
  }
}

}  // namespace

void DataSource::writeReportInTransaction(const ChangeReport& report) {
  joinWorkThread();
  repository.beginTransaction();
  try {
    processQM0ChangeReport(report);
  } catch (...) {
    rollBackOwnTransaction();
    throw;
  }
  commitOwnTransaction();
}

void DataSource::reportUnwritten(const std::exception_ptr& failure, const ChangeReport* dropped) const {
  if (dropped) {
    debugLog.log(severity::warning, "a change report cannot be written (", textOf(failure), "): the changes of ",
                 elementsOf(*dropped), " elements are not stored");
    return;
  }
  std::size_t waiting = 0;
  for (const auto& kept : unwrittenReports) waiting += elementsOf(*kept);
  debugLog.log(severity::warning, "a change report could not be written (", textOf(failure), "): the changes of ",
               waiting, " elements wait to be written");
}

bool DataSource::writeUnwrittenReports(std::exception_ptr& failure) noexcept {
  while (!unwrittenReports.empty()) {
    try {
      writeReportInTransaction(*unwrittenReports.front());
    } catch (...) {
      failure = std::current_exception();
      if (passes(failure)) {
        reportUnwritten(failure, nullptr);
        return false;
      }
      reportUnwritten(failure, unwrittenReports.front().get());
    }
    unwrittenReports.erase(unwrittenReports.begin());
  }
  return true;
}

void DataSource::writeCommittedReport(const ChangeReport& report) noexcept {
  std::exception_ptr failure;
  const bool othersWait = !unwrittenReports.empty();
  if (!othersWait) {
    try {
      writeReportInTransaction(report);
      return;
    } catch (...) {
      failure = std::current_exception();
    }
    if (!passes(failure)) return reportUnwritten(failure, &report);
  }
  // Kept only when it cannot be written now: a copy of a large report's
  // lists costs a counted handle per element.
  try {
    unwrittenReports.push_back(report.clone());
  } catch (...) {
    debugLog.log(severity::warning, "a change report could not be kept: the changes of ", elementsOf(report),
                 " elements are not stored");
    return;
  }
  if (othersWait)
    writeUnwrittenReports(failure);
  else
    reportUnwritten(failure, nullptr);
}

}  // namespace vlt_datasource
