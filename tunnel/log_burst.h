// Keeps a peer that repeats itself from flooding the log: of each kind of
// line, the first in a window is written and the repeats within the window
// are only counted, then summed up in one line once the window has passed.
//
//   LogBurst burst("IpcClient");
//   burst.Log(spdlog::level::err, "invalid type", fmt::format("IpcClient: invalid type ({})", name));
//   burst.Flush();   // now and then: writes the counts of bursts that ended
//
// A kind is the caller's constant for a family of lines, so a peer varying
// the details (a type name, a parser position) still makes one burst. The
// summary reads: <prefix>: <n> more lines like "<first line>" not written.
//
// Thread: the owner's thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <spdlog/common.h>

namespace halyx {

class LogBurst {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LogBurst(std::string prefix, Clock::duration window = std::chrono::seconds(1));
  // Writes the counts still held.
  ~LogBurst();
  LogBurst(const LogBurst&) = delete;
  LogBurst& operator=(const LogBurst&) = delete;

  // Writes `text` at `level` unless a line of `kind` was written within the
  // window, in which case it is counted.
  void Log(spdlog::level::level_enum level, std::string_view kind, const std::string& text);
  // Writes the summary of every burst whose window has passed (all of them
  // with `all`).
  void Flush(bool all = false);

 private:
  struct Kind {
    std::string name;
    spdlog::level::level_enum level;
    std::string first;  // the line written at the window's start
    Clock::time_point start;
    std::size_t repeats = 0;
  };

  void Summarise(Kind& kind);

  std::string prefix_;
  Clock::duration window_;
  std::vector<Kind> kinds_;
};

}  // namespace halyx
