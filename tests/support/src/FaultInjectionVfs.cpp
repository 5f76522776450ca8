#include <testsupport/FaultInjectionVfs.hpp>

#include <sqlite3.h>

#include <cstring>
#include <stdexcept>

namespace testsupport {
namespace {

struct State {
  sqlite3_vfs* real = nullptr;
  int failAt = 0;
  FaultInjectionVfs::Mode mode = FaultInjectionVfs::Mode::failOnce;
  int operations = 0;
  int failures = 0;
  std::string log;
};

State state;
sqlite3_vfs shim;
bool registered = false;

// Our file wraps the real one, which lives in the same allocation after it.
struct ShimFile {
  sqlite3_file base;
  sqlite3_file* real;
  const char* name;
};

sqlite3_file* real(sqlite3_file* f) { return reinterpret_cast<ShimFile*>(f)->real; }

// Counts one durable operation on the file `name`; true when it must fail.
bool mustFail(const char* name, const char* operation) {
  ++state.operations;
  const char* base = name ? std::strrchr(name, '/') : nullptr;
  state.log += std::string(operation) + " " + (base ? base + 1 : (name ? name : "(temp)")) + "\n";
  if (state.failAt == 0) return false;
  const bool fail = state.mode == FaultInjectionVfs::Mode::failOnce ? state.operations == state.failAt
                                                                    : state.operations >= state.failAt;
  if (fail) ++state.failures;
  return fail;
}

bool mustFail(sqlite3_file* f, const char* operation) { return mustFail(reinterpret_cast<ShimFile*>(f)->name, operation); }

int xClose(sqlite3_file* f) {
  sqlite3_file* r = real(f);
  return r->pMethods ? r->pMethods->xClose(r) : SQLITE_OK;
}
int xWrite(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
  if (mustFail(f, "write")) return SQLITE_IOERR_WRITE;
  return real(f)->pMethods->xWrite(real(f), buffer, amount, offset);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
  if (mustFail(f, "truncate")) return SQLITE_IOERR_TRUNCATE;
  return real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
  if (mustFail(f, "sync")) return SQLITE_IOERR_FSYNC;
  return real(f)->pMethods->xSync(real(f), flags);
}

// Forwards a call the shim does not watch to the real file.
template <auto method, class... Arguments>
auto forward(sqlite3_file* f, Arguments... arguments) {
  return (real(f)->pMethods->*method)(real(f), arguments...);
}

// One method table per version of the real file's table, so that SQLite sees
// exactly the capabilities of the file underneath (WAL needs version 2).
sqlite3_io_methods methodsFor(int version) {
  sqlite3_io_methods m{};
  m.iVersion = version;
  m.xClose = xClose;
  m.xRead = forward<&sqlite3_io_methods::xRead>;
  m.xWrite = xWrite;
  m.xTruncate = xTruncate;
  m.xSync = xSync;
  m.xFileSize = forward<&sqlite3_io_methods::xFileSize>;
  m.xLock = forward<&sqlite3_io_methods::xLock>;
  m.xUnlock = forward<&sqlite3_io_methods::xUnlock>;
  m.xCheckReservedLock = forward<&sqlite3_io_methods::xCheckReservedLock>;
  m.xFileControl = forward<&sqlite3_io_methods::xFileControl>;
  m.xSectorSize = forward<&sqlite3_io_methods::xSectorSize>;
  m.xDeviceCharacteristics = forward<&sqlite3_io_methods::xDeviceCharacteristics>;
  if (version >= 2) {
    m.xShmMap = forward<&sqlite3_io_methods::xShmMap>;
    m.xShmLock = forward<&sqlite3_io_methods::xShmLock>;
    m.xShmBarrier = forward<&sqlite3_io_methods::xShmBarrier>;
    m.xShmUnmap = forward<&sqlite3_io_methods::xShmUnmap>;
  }
  if (version >= 3) {
    m.xFetch = forward<&sqlite3_io_methods::xFetch>;
    m.xUnfetch = forward<&sqlite3_io_methods::xUnfetch>;
  }
  return m;
}

sqlite3_io_methods methodsV1 = methodsFor(1);
sqlite3_io_methods methodsV2 = methodsFor(2);
sqlite3_io_methods methodsV3 = methodsFor(3);

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
  auto* file = reinterpret_cast<ShimFile*>(f);
  file->real = reinterpret_cast<sqlite3_file*>(file + 1);
  file->name = name;
  file->base.pMethods = nullptr;
  const int rc = state.real->xOpen(state.real, name, file->real, flags, outFlags);
  if (file->real->pMethods == nullptr) return rc;
  switch (file->real->pMethods->iVersion) {
    case 1: file->base.pMethods = &methodsV1; break;
    case 2: file->base.pMethods = &methodsV2; break;
    default: file->base.pMethods = &methodsV3; break;
  }
  return rc;
}

// Deleting the rollback journal is the commit point in that journal mode, so
// it counts as a durable operation too.
int xDelete(sqlite3_vfs*, const char* name, int syncDir) {
  if (mustFail(name, "delete")) return SQLITE_IOERR_DELETE;
  return state.real->xDelete(state.real, name, syncDir);
}

}  // namespace

FaultInjectionVfs::FaultInjectionVfs() {
  if (registered) throw std::logic_error("only one FaultInjectionVfs at a time");
  sqlite3_initialize();
  state = State{};
  state.real = sqlite3_vfs_find(nullptr);
  if (state.real == nullptr) throw std::runtime_error("no default SQLite VFS");
  // The real VFS's own functions serve every call but opening and deleting:
  // they keep no state in the sqlite3_vfs they are given beyond what the copy
  // carries (pAppData, mxPathname).
  shim = *state.real;
  shim.iVersion = 2;
  shim.pNext = nullptr;
  shim.szOsFile = static_cast<int>(sizeof(ShimFile)) + state.real->szOsFile;
  shim.zName = "vlt-fault-injection";
  shim.xOpen = xOpen;
  shim.xDelete = xDelete;
  if (sqlite3_vfs_register(&shim, 1) != SQLITE_OK) throw std::runtime_error("cannot register the VFS");
  registered = true;
}

FaultInjectionVfs::~FaultInjectionVfs() {
  sqlite3_vfs_unregister(&shim);
  sqlite3_vfs_register(state.real, 1);
  registered = false;
}

void FaultInjectionVfs::failAt(int n, Mode mode) {
  state.failAt = n;
  state.mode = mode;
  state.operations = 0;
  state.failures = 0;
  state.log.clear();
}

int FaultInjectionVfs::operations() const { return state.operations; }
int FaultInjectionVfs::failures() const { return state.failures; }
std::string FaultInjectionVfs::log() const { return state.log; }

}  // namespace testsupport
