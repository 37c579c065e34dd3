// QuorVPN.exe itself, as a process: one instance per user, start-up failures
// that end with exit code 1, and a quit that ends with 0 after shutdown.
#include <windows.h>
#include <shellapi.h>
#include <userenv.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/all_users_directory.h"
#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/protected_folder.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

constexpr DWORD kStartTimeoutMs = 30000;

// The children's log: "quorvpn.log" in the user's protected folder under
// the all-users folder, which every client of this user shares. What a test
// reads is what was appended since it began; the folders it made are
// removed again (each only when empty).
class ChildLog {
 public:
  ChildLog() {
    std::string allUsers;
    GetAllUsersDirectory(allUsers);
    users_ = Utf8ToWide(allUsers) + L"\\QuorVPN\\users";
    mine_ = users_ + L"\\" + CurrentUserSid();
    existed_ = FileExists(mine_);
    start_ = ReadWholeFile(File()).size();
  }
  ~ChildLog() {
    if (existed_) return;
    for (const wchar_t* name : {L"quorvpn.log", L"quorvpn.lock", L"cookies.dat"}) {
      ::DeleteFileW((mine_ + L"\\" + name).c_str());
    }
    for (const std::wstring& folder : {mine_ + L"\\log", mine_ + L"\\LocalStorage", mine_ + L"\\minidumps"}) {
      DeleteFilesIn(folder);
      ::RemoveDirectoryW(folder.c_str());
    }
    ::RemoveDirectoryW(mine_.c_str());
    ::RemoveDirectoryW(users_.c_str());
  }
  std::wstring File() const { return mine_ + L"\\log\\quorvpn.log"; }
  std::string Log() const {
    const std::string text = ReadWholeFile(File());
    return text.size() >= start_ ? text.substr(start_) : text;
  }

 private:
  static void DeleteFilesIn(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
      if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        ::DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }

  std::wstring users_;
  std::wstring mine_;
  bool existed_ = false;
  std::size_t start_ = 0;
};

HWND MainWindow() { return ::FindWindowW(L"QuorMainFrame", nullptr); }

bool WaitFor(const std::function<bool()>& done, DWORD timeoutMs = kStartTimeoutMs) {
  return PumpMessagesUntil(done, timeoutMs);
}

DWORD ExitCode(const ProcessHandle& process, DWORD timeoutMs = kStartTimeoutMs) {
  if (::WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.get(), 99);
    return 99;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  return code;
}

std::wstring ProfileLockPath() {
  HANDLE raw = nullptr;
  ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw);
  const ProcessHandle token(raw);
  wchar_t profile[MAX_PATH + 1] = {};
  DWORD size = MAX_PATH + 1;
  ::GetUserProfileDirectoryW(token.get(), profile, &size);
  return std::wstring(profile) + L"\\quorvpn.lock";
}

// A second start of the same user exits with 1 and brings the first
// instance's window back; a lock file in the user's profile, where any
// program of the user may hold it open, blocks nothing; a WM_QUIT from
// another thread ends the first with 0 after its shutdown.
TEST(AppProcessTest, OneInstancePerUserAndAQuitFromAnotherThread) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  const bool profileLockExisted = FileExists(ProfileLockPath());
  FileHandle squatter(::CreateFileW(ProfileLockPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN, nullptr));
  ASSERT_TRUE(squatter.valid());
  const std::wstring exe = BesideExecutable(L"QuorVPN.exe");
  ProcessHandle first = StartProcess(L"\"" + exe + L"\"");
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));
  const HWND window = MainWindow();

  // Closing only hides it.
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !::IsWindowVisible(window); }));
  EXPECT_EQ(::WaitForSingleObject(first.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ProcessHandle second = StartProcess(L"\"" + exe + L"\"");
  ASSERT_TRUE(second.valid());
  EXPECT_EQ(ExitCode(second), 1u);
  EXPECT_TRUE(WaitFor([&] { return ::IsWindowVisible(window) != FALSE; }));
  EXPECT_EQ(MainWindow(), window);

  const DWORD guiThread = ::GetWindowThreadProcessId(window, nullptr);
  ASSERT_TRUE(::PostThreadMessageW(guiThread, WM_QUIT, 0, 0));
  EXPECT_EQ(ExitCode(first), 0u);

  const std::string log = temp.Log();
  EXPECT_NE(log.find("App: CreateFile failed (0x20)"), std::string::npos) << log;
  // The page's dispatch object went with the engine at shutdown.
  const auto start = log.find("IoLoop: start");
  ASSERT_NE(start, std::string::npos) << log;
  EXPECT_NE(log.find("IoLoop: stop", start), std::string::npos) << log;
  squatter.reset();
  if (!profileLockExisted) ::DeleteFileW(ProfileLockPath().c_str());
}

struct TraySearch {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindTrayWindow(HWND hwnd, LPARAM param) {
  auto* s = reinterpret_cast<TraySearch*>(param);
  wchar_t name[32] = {};
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  if (pid != s->pid || !::GetClassNameW(hwnd, name, 32) || std::wstring(name) != L"TrayIconWindow") return TRUE;
  s->found = hwnd;
  return FALSE;
}

// The client's hidden tray window; none when the process has none.
HWND TrayWindowOf(const ProcessHandle& process) {
  TraySearch search{::GetProcessId(process.get()), nullptr};
  ::EnumWindows(&FindTrayWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// The shell answers NIM_MODIFY only for an icon it holds.
bool InNotificationArea(HWND window, UINT id) {
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof data;
  data.hWnd = window;
  data.uID = id;
  return ::Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

// The icon is there once the client shows; a double click brings the hidden
// window back; the menu's exit item ends the client with 0, its icon taken
// out of the notification area on the way.
TEST(AppProcessTest, TheTrayIconRaisesTheWindowAndItsExitItemEndsTheClient) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  ProcessHandle client = StartProcess(L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"");
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));
  const HWND window = MainWindow();
  // The tray icon comes after the main window shows; a loaded machine can
  // widen the gap.
  HWND tray = nullptr;
  WaitFor([&] { return (tray = TrayWindowOf(client)) != nullptr; });
  ASSERT_NE(tray, nullptr);
  EXPECT_FALSE(::IsWindowVisible(tray));
  EXPECT_TRUE(InNotificationArea(tray, 1));

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !::IsWindowVisible(window); }));
  ::PostMessageW(tray, 0x800, 1, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitFor([&] { return ::IsWindowVisible(window) != FALSE; }));

  ::PostMessageW(tray, WM_COMMAND, 13, 0);
  EXPECT_EQ(ExitCode(client), 0u);
  EXPECT_FALSE(InNotificationArea(tray, 1));
  const std::string log = temp.Log();
  EXPECT_NE(log.find("IoLoop: stop"), std::string::npos) << log;
}

// Its log, from the time `log` began.
bool Logged(const ChildLog& log, const char* text) { return log.Log().find(text) != std::string::npos; }

// The installer's --quit-running asks the running client to quit as its tray
// menu would, and returns 0 only once the client has ended (with 0, after
// its shutdown); asked again with none running it returns 0 at once.
TEST(AppProcessTest, QuitRunningEndsTheRunningClientAndWaitsForIt) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  const std::wstring exe = L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"";
  ProcessHandle client = StartProcess(exe);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));

  ProcessHandle asker = StartProcess(exe + L" --quit-running");
  ASSERT_TRUE(asker.valid());
  EXPECT_EQ(ExitCode(asker), 0u);
  // Already over when the asker returned, not merely on its way.
  EXPECT_EQ(::WaitForSingleObject(client.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(ExitCode(client), 0u);
  EXPECT_TRUE(Logged(temp, "App: asked to quit by an installer")) << temp.Log();
  EXPECT_TRUE(Logged(temp, "App: the running instance has quit")) << temp.Log();

  ProcessHandle again = StartProcess(exe + L" --quit-running");
  EXPECT_EQ(ExitCode(again, 5000), 0u);
}

// A switch the client does not know ends it with 2 before any window or
// lock: an installer's typo must not start, or raise, a client.
TEST(AppProcessTest, AnUnknownSwitchEndsWithUsageAndStartsNothing) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  const std::wstring exe = L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"";
  for (const wchar_t* arguments : {L" --autostart=maybe", L" --quit-running --autostart=on", L" /S"}) {
    ProcessHandle process = StartProcess(exe + arguments);
    ASSERT_TRUE(process.valid());
    EXPECT_EQ(ExitCode(process), 2u);
  }
  EXPECT_EQ(MainWindow(), nullptr);
}

// Without its engine the client stops at its log line, before any window.
TEST(AppProcessTest, AMissingEngineEndsStartUpWithExitCode1) {
  ChildLog temp;
  ScopedTempDir alone;
  const std::wstring exe = alone.path() + L"\\QuorVPN.exe";
  ASSERT_TRUE(::CopyFileW(BesideExecutable(L"QuorVPN.exe").c_str(), exe.c_str(), FALSE));
  ProcessHandle process = StartProcess(L"\"" + exe + L"\"");
  ASSERT_TRUE(process.valid());
  EXPECT_EQ(ExitCode(process), 1u);
  EXPECT_EQ(MainWindow(), nullptr);
  EXPECT_NE(temp.Log().find("[error] App: wkeInitialize failed (0x7e)"), std::string::npos) << temp.Log();
}

}  // namespace
}  // namespace halyx::testing
