// Boundaries that nothing may unwind through: window procedures, thread
// entries, libuv callbacks, engine callbacks and exports, finalisers. Each
// runs its body through one of these, which catch everything, report it and
// hand back a fallback value:
//
//   void IoLoop::OnAsync(uv_async_t* handle) {
//     Guarded("IoLoop: benchmark start", [&] { ... });   // logs "IoLoop: benchmark start failed: <what>"
//   }
//   return GuardedQuietly(false, [&] { return view->LoadUrl(url); });   // the engine has no log
//
// Thread: any.
#pragma once

#include <exception>
#include <string_view>
#include <type_traits>
#include <utility>

#include <spdlog/spdlog.h>

namespace halyx {

// Runs `fn`; when it throws, calls `report` with the exception's text (null
// for something that is not a std::exception) and returns `fallback`. For a
// void `fn` the result says whether it ran to its end.
template <typename Fallback, typename Report, typename Fn>
auto GuardedWith(Fallback fallback, Report&& report, Fn&& fn) noexcept {
  using Result = std::invoke_result_t<Fn>;
  using Returned = std::conditional_t<std::is_void_v<Result>, bool, Result>;
  try {
    if constexpr (std::is_void_v<Result>) {
      std::forward<Fn>(fn)();
      return Returned(true);
    } else {
      return Returned(std::forward<Fn>(fn)());
    }
  } catch (const std::exception& e) {
    try {
      report(e.what());
    } catch (...) {
    }
  } catch (...) {
    try {
      report(static_cast<const char*>(nullptr));
    } catch (...) {
    }
  }
  return Returned(std::move(fallback));
}

// Logs "<where> failed: <what>" (or "<where> failed") at error level.
template <typename Fallback, typename Fn>
auto Guarded(std::string_view where, Fallback fallback, Fn&& fn) noexcept {
  return GuardedWith(
      std::move(fallback),
      [where](const char* what) {
        if (what) {
          spdlog::error("{} failed: {}", where, what);
        } else {
          spdlog::error("{} failed", where);
        }
      },
      std::forward<Fn>(fn));
}

// For bodies without a result: true when `fn` ran to its end.
template <typename Fn>
bool Guarded(std::string_view where, Fn&& fn) noexcept {
  return Guarded(where, false, std::forward<Fn>(fn));
}

// Where there is no log to write to (the engine): the failure only turns
// into `fallback`.
template <typename Fallback, typename Fn>
auto GuardedQuietly(Fallback fallback, Fn&& fn) noexcept {
  return GuardedWith(
      std::move(fallback), [](const char*) {}, std::forward<Fn>(fn));
}

}  // namespace halyx
