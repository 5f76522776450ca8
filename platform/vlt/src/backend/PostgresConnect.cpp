// Connecting to a PostgreSQL server in steps that can be interrupted.

#include "backend/Backend.hpp"

#include <vlt/Errors.hpp>

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace vlt::sql {

namespace {

[[noreturn]] void failToConnect(const OpenRequest& request, PGconn* conn, std::string message = std::string()) {
  if (message.empty()) message = conn ? PQerrorMessage(conn) : "out of memory";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  throw OpenError("cannot connect to the repository's server", request.filespec, 0,
                  std::string("SQLSTATE ") + postgresqlConnectionState(message) + ": " + message);
}

// The connect timeout the connection string asks for ("connect_timeout", in
// seconds, as libpq reads it: 0 or less waits for ever, 1 is 2), or the
// default.
std::chrono::milliseconds connectTimeout(PGconn* conn) {
  std::chrono::milliseconds timeout = defaultConnectTimeout;
  PQconninfoOption* options = PQconninfo(conn);
  for (PQconninfoOption* o = options; o && o->keyword; ++o) {
    if (std::string_view(o->keyword) != "connect_timeout" || !o->val || !*o->val) continue;
    const int seconds = std::atoi(o->val);
    timeout = seconds <= 0 ? std::chrono::milliseconds::max() : std::chrono::seconds(std::max(seconds, 2));
  }
  PQconninfoFree(options);
  return timeout;
}

using Handle = std::unique_ptr<PGconn, decltype(&PQfinish)>;

}  // namespace

// libpq's own waits cannot be ended from outside: the connection is made with
// its non-blocking calls, waiting here a tenth of a second at a time, so that
// an interruption ends it promptly and a server that accepts the connection
// but never answers ends it at the connect timeout.
pg_conn* connectToServer(const OpenRequest& request) {
  Handle handle(PQconnectStart(request.location.c_str()), &PQfinish);
  if (!handle || PQstatus(handle.get()) == CONNECTION_BAD) failToConnect(request, handle.get());
  const std::chrono::milliseconds timeout = connectTimeout(handle.get());
  const auto start = std::chrono::steady_clock::now();
  PostgresPollingStatusType polling = PGRES_POLLING_WRITING;
  while (polling != PGRES_POLLING_OK) {
    if (polling == PGRES_POLLING_FAILED) failToConnect(request, handle.get());
    pollfd wait{PQsocket(handle.get()), static_cast<short>(polling == PGRES_POLLING_READING ? POLLIN : POLLOUT), 0};
    const int ready = wait.fd < 0 ? 1 : ::poll(&wait, 1, 100);
    if (request.interrupted && request.interrupted->load()) failToConnect(request, nullptr, "the opening was interrupted");
    if (ready == 0) {
      if (timeout != std::chrono::milliseconds::max() && std::chrono::steady_clock::now() - start >= timeout)
        failToConnect(request, nullptr,
                      "timeout expired: the server did not answer within " +
                          std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) + " s");
      continue;
    }
    if (ready < 0 && errno != EINTR) failToConnect(request, nullptr, std::string("poll failed: ") + std::strerror(errno));
    if (ready > 0) polling = PQconnectPoll(handle.get());
  }
  return handle.release();
}


}  // namespace vlt::sql
