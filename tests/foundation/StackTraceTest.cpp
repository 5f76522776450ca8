#include <foundation/diagnostics/StackTrace.hpp>

#include <gtest/gtest.h>

#include <sstream>

namespace {

__attribute__((noinline)) foundation::diagnostics::StackTrace traceFromDistinctlyNamedFunction(bool resolve) {
  foundation::diagnostics::StackTrace trace(128, 0, resolve);
  asm volatile("");  // keeps the call from becoming a tail call
  return trace;
}

TEST(StackTraceTest, ResolvedTraceStartsAtTheCallerAndNamesFunctions) {
  const auto trace = traceFromDistinctlyNamedFunction(true);
  ASSERT_GT(trace.size(), 2u);
  const std::string text = trace.toString();
  const auto firstLine = text.substr(0, text.find('\n'));
  EXPECT_NE(firstLine.find("traceFromDistinctlyNamedFunction"), std::string::npos) << text;
  EXPECT_NE(text.find("ResolvedTraceStartsAtTheCallerAndNamesFunctions"), std::string::npos) << text;

  std::ostringstream streamed;
  streamed << trace;
  EXPECT_EQ(streamed.str(), text);
}

TEST(StackTraceTest, UnresolvedTraceGivesOneAddressPerFrameUpToItsDepth) {
  const auto trace = traceFromDistinctlyNamedFunction(false);
  const std::string text = trace.toString();
  EXPECT_EQ(text.find("traceFromDistinctlyNamedFunction"), std::string::npos);
  std::istringstream lines(text);
  std::size_t count = 0;
  for (std::string line; std::getline(lines, line); ++count) EXPECT_NE(line.find("# 0x"), std::string::npos) << line;
  EXPECT_EQ(count, trace.size());
  EXPECT_EQ(foundation::diagnostics::StackTrace(2, 0, false).size(), 2u) << "the depth is bounded";
}

}  // namespace
