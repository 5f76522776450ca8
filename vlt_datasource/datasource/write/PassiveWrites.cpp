// A passive data source's writes: each report its model committed, in a
// repository transaction of its own, after those that still wait; a report
// that met a passing failure waits for the next report or waitForIdle.

#include "datasource/write/ChangeWriter.hpp"

#include "datasource/Diagnostics.hpp"
#include "datasource/Opening.hpp"
#include "external/Repository.hpp"

#include <exception>
#include <memory>
#include <string>
#include <vector>

namespace vlt_datasource {

namespace {

using Report = qm::zero::ShallowChangeReport<qm::zero::ModelElement>;

std::size_t elementsOf(const Report& report) {
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

// The warning record of a report that met `failure`: `dropped` when it is
// not stored, else (null) the reports that wait.
void reportUnwritten(const std::exception_ptr& failure, const Report* dropped,
                     const std::vector<std::shared_ptr<const Report>>& waiting) {
  if (dropped) {
    debugLog.log(severity::warning, "a change report cannot be written (", textOf(failure), "): the changes of ",
                 elementsOf(*dropped), " elements are not stored");
    return;
  }
  std::size_t elements = 0;
  for (const auto& kept : waiting) elements += elementsOf(*kept);
  debugLog.log(severity::warning, "a change report could not be written (", textOf(failure), "): the changes of ",
               elements, " elements wait to be written");
}

}  // namespace

void DataSource::ChangeWriter::writeInOwnTransaction(DataSource& dataSource, const ChangeReport& report,
                                                     bool memoryAtReport) {
  dataSource.opening->join();
  dataSource.repository.beginTransaction();
  try {
    writeReport(dataSource, report, memoryAtReport);
  } catch (...) {
    dataSource.rollBackOwnTransaction();
    throw;
  }
  dataSource.commitOwnTransaction();
}

bool DataSource::ChangeWriter::writeUnwrittenReports(DataSource& dataSource, std::exception_ptr& failure) noexcept {
  std::vector<std::shared_ptr<const ChangeReport>>& waiting = dataSource.unwrittenReports;
  while (!waiting.empty()) {
    try {
      // Memory went on while it waited.
      writeInOwnTransaction(dataSource, *waiting.front(), false);
    } catch (...) {
      failure = std::current_exception();
      if (passes(failure)) {
        reportUnwritten(failure, nullptr, waiting);
        return false;
      }
      reportUnwritten(failure, waiting.front().get(), waiting);
    }
    waiting.erase(waiting.begin());
  }
  return true;
}

void DataSource::writeCommittedReport(const ChangeReport& report) noexcept {
  std::exception_ptr failure;
  const bool othersWait = !unwrittenReports.empty();
  if (!othersWait) {
    try {
      ChangeWriter::writeInOwnTransaction(*this, report, true);
      return;
    } catch (...) {
      failure = std::current_exception();
    }
    if (!passes(failure)) return reportUnwritten(failure, &report, unwrittenReports);
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
    ChangeWriter::writeUnwrittenReports(*this, failure);
  else
    reportUnwritten(failure, nullptr, unwrittenReports);
}

}  // namespace vlt_datasource
