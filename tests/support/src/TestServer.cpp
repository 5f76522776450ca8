#include <testsupport/TestServer.hpp>

#include <gtest/gtest.h>

#include <cstdlib>

namespace testsupport {

std::string postgresqlTestUri() {
  const char* uri = std::getenv("VLT_TEST_POSTGRESQL_URI");
  if (uri == nullptr || *uri == '\0') {
    ADD_FAILURE() << "VLT_TEST_POSTGRESQL_URI is not set: run the tests through scripts/test, "
                     "or start a server with scripts/with-postgresql";
    return {};
  }
  return uri;
}

}  // namespace testsupport
