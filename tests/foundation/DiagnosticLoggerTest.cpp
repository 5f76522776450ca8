#include <foundation/log/DiagnosticLogger.hpp>
#include <foundation/log/RecordCapture.hpp>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace flog = foundation::log;

namespace {

// Counts how often it is formatted.
struct Counted {
  int* calls;
};
std::ostream& operator<<(std::ostream& os, const Counted& c) {
  ++*c.calls;
  return os << "counted";
}

// Throws while being formatted.
struct Exploding {};
std::ostream& operator<<(std::ostream&, const Exploding&) { throw std::runtime_error("boom"); }

class DiagnosticLoggerTest : public ::testing::Test {
 protected:
  // Each test gets a channel of its own, so masks never leak between tests.
  DiagnosticLoggerTest()
      : name_(std::string("test::") + ::testing::UnitTest::GetInstance()->current_test_info()->name()),
        logger_(name_),
        capture_(name_) {}

  std::string name_;
  flog::diagnostic_logger logger_;
  flog::RecordCapture capture_;
};

TEST_F(DiagnosticLoggerTest, RecordIsWrittenOnlyWhenMaskHasTheSeverityBelow0x8000) {
  struct Case {
    unsigned mask;
    unsigned severity;
    bool written;
  };
  const Case cases[] = {
      {0x0004, 4, true},  {0x0100, 4, false}, {0x0104, 256, true}, {0xFFFF, 512, true}, {0x0000, 4, false},
      {0x8000, 0x8000, false},  // the top bit never counts
      {0xFFFF, 0x8004, true},   // a severity with extra bits matches on any enabled bit
      {0x0006, 3, true},        {0x0004, 3, false},
  };
  for (const Case& c : cases) {
    capture_.clear();
    logger_.setEnabledSeverities(c.mask);
    EXPECT_EQ(logger_.isEnabled(c.severity), c.written) << std::hex << c.mask << " " << c.severity;
    logger_.log(c.severity, "text");
    EXPECT_EQ(capture_.records().size(), c.written ? 1u : 0u) << std::hex << c.mask << " " << c.severity;
  }
}

// A record's text is built only when the record is written, and a record
// whose text cannot be built is dropped whole.
TEST_F(DiagnosticLoggerTest, TextOfDisabledRecordIsNeverBuiltAndAnInterruptedRecordIsDropped) {
  int calls = 0;
  logger_.setEnabledSeverities(flog::severity::warning);
  logger_.log(flog::severity::detail, "value: ", Counted{&calls});
  flog::setLoggingEnabled(false);  // a disabled core builds nothing either
  EXPECT_FALSE(logger_.isEnabled(flog::severity::warning));
  logger_.log(flog::severity::warning, Counted{&calls});
  flog::setLoggingEnabled(true);
  EXPECT_EQ(calls, 0);

  EXPECT_THROW(logger_.log(flog::severity::warning, "half ", Exploding{}), std::runtime_error);
  logger_.log(flog::severity::warning, "value: ", Counted{&calls});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"value: counted"});
}

// A new channel logs warnings and above, its loggers share its mask, and a
// record carries the channel, the severity and standard formatting.
TEST_F(DiagnosticLoggerTest, ANewChannelLogsWarningsAndUpItsLoggersShareItsMaskAndRecordsAreFormattedAsStreams) {
  EXPECT_FALSE(logger_.isEnabled(flog::severity::detail));
  EXPECT_TRUE(logger_.isEnabled(flog::severity::warning));
  EXPECT_TRUE(logger_.isEnabled(flog::severity::error));
  flog::diagnostic_logger other(name_);
  other.setEnabledSeverities(flog::severity::all);
  EXPECT_EQ(logger_.enabledSeverities(), flog::severity::all);
  int object = 0;
  const void* pointer = &object;
  logger_.log(4, "Connecting ", pointer, " to data source ", std::u16string(u"C:/\u00e9t\u00e9/\U0001F600.db"), " ", 42,
              " ", 1.5, " ", u"end");
  other.log(flog::severity::detail, "from the second");
  std::ostringstream expected;
  expected << "Connecting " << pointer << " to data source C:/\xC3\xA9t\xC3\xA9/\xF0\x9F\x98\x80.db 42 1.5 end";
  const std::vector<flog::CapturedRecord> records{{name_, 4, expected.str()},
                                                  {name_, flog::severity::detail, "from the second"}};
  EXPECT_EQ(capture_.records(), records);
}

TEST_F(DiagnosticLoggerTest, ConcurrentRecordsFromTwoThreadsAreNeverTorn) {
  logger_.setEnabledSeverities(flog::severity::all);
  constexpr int perThread = 2000;
  auto writer = [this](const char* tag) {
    for (int i = 0; i < perThread; ++i) logger_.log(4, tag, '-', i, '-', tag, '-', i);
  };
  std::thread first(writer, "A");
  std::thread second(writer, "B");
  first.join();
  second.join();

  const auto texts = capture_.texts();
  ASSERT_EQ(texts.size(), 2u * perThread);
  std::map<std::string, int> next{{"A", 0}, {"B", 0}};
  for (const std::string& text : texts) {
    // Each record is whole, and each thread's records keep their order.
    const std::string tag(1, text[0]);
    const std::string i = std::to_string(next[tag]++);
    ASSERT_EQ(text, tag + '-' + i + '-' + tag + '-' + i);
  }
  EXPECT_EQ(next, (std::map<std::string, int>{{"A", perThread}, {"B", perThread}}));
}

}  // namespace
