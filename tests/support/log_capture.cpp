#include "support/log_capture.h"

#include <algorithm>

#include <spdlog/sinks/base_sink.h>

namespace halyx::testing {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  std::vector<Record> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    records_.push_back({msg.level, std::string(msg.payload.begin(), msg.payload.end())});
  }
  void flush_() override {}

 private:
  std::vector<Record> records_;
};

LogCapture::LogCapture() : sink_(std::make_shared<Sink>()), previous_(spdlog::default_logger()) {
  auto logger = std::make_shared<spdlog::logger>("QUOR", sink_);
  logger->set_level(spdlog::level::trace);
  spdlog::set_default_logger(std::move(logger));
}

LogCapture::~LogCapture() { spdlog::set_default_logger(previous_); }

std::vector<LogCapture::Record> LogCapture::Records() const { return sink_->Records(); }

bool LogCapture::Has(spdlog::level::level_enum level, const std::string& text) const {
  const auto records = Records();
  return std::any_of(records.begin(), records.end(),
                     [&](const Record& r) { return r.level == level && r.text == text; });
}

std::size_t LogCapture::CountAtLeast(spdlog::level::level_enum level) const {
  const auto records = Records();
  return static_cast<std::size_t>(
      std::count_if(records.begin(), records.end(), [&](const Record& r) { return r.level >= level; }));
}

}  // namespace halyx::testing
