#include <foundation/diagnostics/StackTrace.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace {

__attribute__((noinline)) foundation::diagnostics::StackTrace traceFromDistinctlyNamedFunction(bool resolve) {
  foundation::diagnostics::StackTrace trace(128, 0, resolve);
  asm volatile("");  // keeps the call from becoming a tail call
  return trace;
}

// Resolved, a trace starts at the caller and names functions; unresolved,
// it gives one address per frame up to its depth.
TEST(StackTraceTest, ResolvedTraceNamesFunctionsFromTheCallerOnAndUnresolvedOneGivesAnAddressPerFrame) {
  const auto trace = traceFromDistinctlyNamedFunction(true);
  ASSERT_GT(trace.size(), 2u);
  const std::string text = trace.toString();
  const auto firstLine = text.substr(0, text.find('\n'));
  EXPECT_NE(firstLine.find("traceFromDistinctlyNamedFunction"), std::string::npos) << text;
  EXPECT_NE(text.find("ResolvedTraceNamesFunctionsFromTheCallerOn"), std::string::npos) << text;
  std::ostringstream streamed;
  streamed << trace;
  EXPECT_EQ(streamed.str(), text);

  const auto unresolved = traceFromDistinctlyNamedFunction(false);
  EXPECT_EQ(unresolved.toString().find("traceFromDistinctlyNamedFunction"), std::string::npos);
  std::istringstream lines(unresolved.toString());
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_NE(line.find("# 0x"), std::string::npos) << line;
  EXPECT_EQ(count, unresolved.size());
  EXPECT_EQ(foundation::diagnostics::StackTrace(2, 0, false).size(), 2u) << "the depth is bounded";
}

}  // namespace
