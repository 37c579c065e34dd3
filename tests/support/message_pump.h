// Runs the test thread's message loop, as the client's GUI thread would, so
// that posted work (engine tasks, timers, window messages) gets done.
//
//   ASSERT_TRUE(PumpMessagesUntil([&] { return ready; }));
//
// Thread: the test's thread (the one whose queue is pumped).
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace halyx::testing {

// Dispatches messages until `done` answers true (checked after every
// message and at least every 10 ms); false after `timeout_ms` without it.
bool PumpMessagesUntil(const std::function<bool()>& done, DWORD timeout_ms = 5000);
// Dispatches messages for `ms` milliseconds.
void PumpMessagesFor(DWORD ms);

// Writes `contents` to `path`, replacing the file; false when it cannot.
bool WriteWholeFile(const std::wstring& path, const std::string& contents);

}  // namespace halyx::testing
