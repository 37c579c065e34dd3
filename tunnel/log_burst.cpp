#include "tunnel/log_burst.h"

#include <algorithm>
#include <utility>

#include <spdlog/spdlog.h>

namespace halyx {

LogBurst::LogBurst(std::string prefix, Clock::duration window) : prefix_(std::move(prefix)), window_(window) {}

LogBurst::~LogBurst() { Flush(true); }

void LogBurst::Log(spdlog::level::level_enum level, std::string_view kind, const std::string& text) {
  const Clock::time_point now = Clock::now();
  auto it = std::find_if(kinds_.begin(), kinds_.end(), [&](const Kind& k) { return k.name == kind; });
  if (it == kinds_.end()) {
    kinds_.push_back(Kind{std::string(kind), level, std::string(), now, 0});
    it = kinds_.end() - 1;
  } else if (now - it->start < window_) {
    ++it->repeats;
    return;
  } else {
    Summarise(*it);
  }
  spdlog::log(level, "{}", text);
  it->level = level;
  it->first = text;
  it->start = now;
}

void LogBurst::Flush(bool all) {
  const Clock::time_point now = Clock::now();
  for (Kind& kind : kinds_) {
    if (all || now - kind.start >= window_) Summarise(kind);
  }
}

void LogBurst::Summarise(Kind& kind) {
  if (kind.repeats == 0) return;
  spdlog::log(kind.level, "{}: {} more lines like \"{}\" not written", prefix_, kind.repeats, kind.first);
  kind.repeats = 0;
}

}  // namespace halyx
