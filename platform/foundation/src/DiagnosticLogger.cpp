#include <foundation/log/DiagnosticLogger.hpp>
#include <foundation/log/RecordCapture.hpp>

#include <fl/i18n/Unicode.hpp>

#include <boost/log/attributes/constant.hpp>
#include <boost/log/attributes/value_extraction.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions/message.hpp>
#include <boost/log/sinks/basic_sink_backend.hpp>
#include <boost/log/sinks/unlocked_frontend.hpp>
#include <boost/log/sources/record_ostream.hpp>
#include <boost/log/sources/severity_channel_logger.hpp>

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <mutex>

namespace logging = boost::log;

namespace foundation::log {
namespace detail {

// The shared state of one channel name. Channels are never destroyed: loggers
// in other libraries' static objects may outlive any registry destructor.
struct Channel {
  explicit Channel(std::string channelName) : name(std::move(channelName)), source(logging::keywords::channel = name) {}

  const std::string name;
  std::atomic<unsigned> mask{defaultSeverityMask};
  std::mutex mutex;  // guards source and serialises record opening
  logging::sources::severity_channel_logger<unsigned, std::string> source;
};

namespace {

Channel& channelNamed(const std::string& name) {
  static std::mutex registryMutex;
  static auto* registry = new std::map<std::string, std::unique_ptr<Channel>>();
  std::lock_guard<std::mutex> lock(registryMutex);
  auto& slot = (*registry)[name];
  if (!slot) slot = std::make_unique<Channel>(name);
  return *slot;
}

}  // namespace

struct RecordWriter::Impl {
  logging::record record;
  logging::record_ostream stream;
};

// The channel's source is locked only to open the record: the record is the
// writer's own from then on, so that threads write and push theirs side by
// side, and a sink that holds one thread holds no other.
RecordWriter::RecordWriter(Channel& channel, unsigned severityValue) : uncaughtAtOpen_(std::uncaught_exceptions()) {
  logging::record record;
  {
    std::lock_guard<std::mutex> lock(channel.mutex);
    record = channel.source.open_record(logging::keywords::severity = severityValue);
  }
  if (!record) return;
  impl_ = std::make_unique<Impl>();
  impl_->record = std::move(record);
  impl_->stream.attach_record(impl_->record);
}

RecordWriter::~RecordWriter() {
  if (!impl_) return;
  // A record abandoned by an exception thrown while streaming its arguments
  // is dropped rather than pushed half-written.
  if (std::uncaught_exceptions() != uncaughtAtOpen_) return;
  try {
    impl_->stream.flush();
    impl_->stream.detach_from_record();
    logging::core::get()->push_record(std::move(impl_->record));
  } catch (...) {
    // Logging never throws out of a destructor; the record is lost.
  }
}

std::ostream& RecordWriter::stream() { return impl_->stream.stream(); }

void put(std::ostream& os, std::u16string_view text) { os << fl::i18n::ustring_to_utf8(text); }

}  // namespace detail

void setLoggingEnabled(bool enabled) noexcept { logging::core::get()->set_logging_enabled(enabled); }

bool isLoggingEnabled() noexcept { return logging::core::get()->get_logging_enabled(); }

basic_diagnostic_logger<char>::basic_diagnostic_logger(const std::string& name) : channel_(&detail::channelNamed(name)) {}

const std::string& basic_diagnostic_logger<char>::channelName() const noexcept { return channel_->name; }

bool basic_diagnostic_logger<char>::isEnabled(unsigned severityValue) const noexcept {
  if ((channel_->mask.load(std::memory_order_relaxed) & severityValue & severity::all) == 0) return false;
  return isLoggingEnabled();
}

unsigned basic_diagnostic_logger<char>::enabledSeverities() const noexcept { return channel_->mask.load(); }

void basic_diagnostic_logger<char>::setEnabledSeverities(unsigned mask) noexcept { channel_->mask.store(mask); }

// ---------------------------------------------------------------------------

// Named, not anonymous: RecordCapture::Impl, declared in the header, holds it.
namespace detail {

// Fed by every logging thread at once: the observer may block one of them
// without blocking the others.
class CaptureBackend : public logging::sinks::basic_sink_backend<logging::sinks::concurrent_feeding> {
 public:
  void consume(const logging::record_view& rec) {
    CapturedRecord captured;
    if (auto channel = logging::extract<std::string>("Channel", rec)) captured.channel = *channel;
    if (auto sev = logging::extract<unsigned>("Severity", rec)) captured.severity = *sev;
    if (auto text = logging::extract<std::string>("Message", rec)) captured.text = *text;
    if (observer) observer(captured);
    std::lock_guard<std::mutex> lock(mutex);
    records.push_back(std::move(captured));
  }

  std::function<void(const CapturedRecord&)> observer;  // set before the sink is added
  mutable std::mutex mutex;
  std::vector<CapturedRecord> records;
};

using CaptureSink = logging::sinks::unlocked_sink<CaptureBackend>;

}  // namespace detail

struct RecordCapture::Impl {
  boost::shared_ptr<detail::CaptureBackend> backend = boost::make_shared<detail::CaptureBackend>();
  boost::shared_ptr<detail::CaptureSink> sink = boost::make_shared<detail::CaptureSink>(backend);
};

RecordCapture::RecordCapture() : impl_(std::make_unique<Impl>()) { logging::core::get()->add_sink(impl_->sink); }

RecordCapture::RecordCapture(std::string channel) : RecordCapture(std::move(channel), nullptr) {}

RecordCapture::RecordCapture(std::string channel, std::function<void(const CapturedRecord&)> observer)
    : impl_(std::make_unique<Impl>()) {
  impl_->backend->observer = std::move(observer);
  impl_->sink->set_filter([channel = std::move(channel)](const logging::attribute_value_set& values) {
    auto value = logging::extract<std::string>("Channel", values);
    return value && *value == channel;
  });
  logging::core::get()->add_sink(impl_->sink);
}

RecordCapture::~RecordCapture() {
  logging::core::get()->remove_sink(impl_->sink);
  impl_->sink->flush();
}

std::vector<CapturedRecord> RecordCapture::records() const {
  std::lock_guard<std::mutex> lock(impl_->backend->mutex);
  return impl_->backend->records;
}

std::vector<std::string> RecordCapture::texts() const {
  std::vector<std::string> out;
  for (auto& record : records()) out.push_back(record.text);
  return out;
}

void RecordCapture::clear() {
  std::lock_guard<std::mutex> lock(impl_->backend->mutex);
  impl_->backend->records.clear();
}

}  // namespace foundation::log
