// Records every log line written through the default logger while it lives,
// debug records included, and puts the previous default logger back after.
//
//   LogCapture log;
//   pipe.ReadCompleted(data);
//   EXPECT_TRUE(log.Has(spdlog::level::debug, "AsyncNamedPipe: ReadCompleted called with no read pending"));
//
// Thread: created and destroyed on the test's thread; any thread may log.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/spdlog.h>

namespace halyx::testing {

class LogCapture {
 public:
  struct Record {
    spdlog::level::level_enum level;
    std::string text;
  };

  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Record> Records() const;
  // True when a record at `level` reads exactly `text`.
  bool Has(spdlog::level::level_enum level, const std::string& text) const;
  // Records at `level` or above.
  std::size_t CountAtLeast(spdlog::level::level_enum level) const;

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<spdlog::logger> previous_;
};

}  // namespace halyx::testing
