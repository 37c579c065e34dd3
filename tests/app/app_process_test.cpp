// QuorVPN.exe itself, as a process: one instance per user, start-up failures
// that end with exit code 1, and a quit that ends with 0 after shutdown.
#include <windows.h>
#include <shellapi.h>
#include <userenv.h>

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/all_users_directory.h"
#include "base/module_path.h"
#include "base/process_launch.h"
#include "base/protected_folder.h"
#include "base/unique_handle.h"
#include "base/utf8.h"
#include "base/version.h"
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

// Its log, from the time `log` began.
bool Logged(const ChildLog& log, const char* text) { return log.Log().find(text) != std::string::npos; }

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

// Ends a client the test started on every way out of it, so that an
// assertion that fails half-way leaves no client behind to hold the
// single-instance lock and the service's pipe for the tests after it.
class EndsWithTheTest {
 public:
  explicit EndsWithTheTest(const ProcessHandle& process) : process_(process) {}
  ~EndsWithTheTest() {
    if (process_.valid() && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      ::TerminateProcess(process_.get(), 98);
      ::WaitForSingleObject(process_.get(), kStartTimeoutMs);
    }
  }
  EndsWithTheTest(const EndsWithTheTest&) = delete;
  EndsWithTheTest& operator=(const EndsWithTheTest&) = delete;

 private:
  const ProcessHandle& process_;
};

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
  const EndsWithTheTest endsFirst(first);
  ASSERT_TRUE(first.valid());
  ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));
  const HWND window = MainWindow();

  // Closing only hides it.
  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !::IsWindowVisible(window); }));
  EXPECT_EQ(::WaitForSingleObject(first.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ProcessHandle second = StartProcess(L"\"" + exe + L"\"");
  const EndsWithTheTest endsSecond(second);
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
// out of the notification area on the way. The teardown keeps its order: the
// window and the icon go first, the engine next (the page's dispatch object,
// and with it its I/O loop, goes with the engine), and the log closes after
// all of them, its closing line the run's last.
TEST(AppProcessTest, TheTrayIconRaisesTheWindowAndItsExitItemEndsTheClient) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  ProcessHandle client = StartProcess(L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"");
  const EndsWithTheTest endsClient(client);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));
  const HWND window = MainWindow();
  // The icon is added just after the window shows.
  ASSERT_TRUE(WaitFor([&] { return TrayWindowOf(client) != nullptr; }));
  const HWND tray = TrayWindowOf(client);
  EXPECT_FALSE(::IsWindowVisible(tray));
  EXPECT_TRUE(InNotificationArea(tray, 1));

  ::PostMessageW(window, WM_CLOSE, 0, 0);
  ASSERT_TRUE(WaitFor([&] { return !::IsWindowVisible(window); }));
  ::PostMessageW(tray, 0x800, 1, WM_LBUTTONDBLCLK);
  EXPECT_TRUE(WaitFor([&] { return ::IsWindowVisible(window) != FALSE; }));

  ASSERT_TRUE(WaitFor([&] { return Logged(temp, "IoLoop: start"); }));
  ::PostMessageW(tray, WM_COMMAND, 13, 0);
  EXPECT_EQ(ExitCode(client), 0u);
  EXPECT_FALSE(InNotificationArea(tray, 1));
  const std::string log = temp.Log();
  const std::string last = "[info] App: QuorVPN " QUOR_VERSION " stopped";
  const auto begun = log.find("[info] App: shutting down");
  ASSERT_NE(begun, std::string::npos) << log;
  const auto engine = log.find("IoLoop: stop", begun);
  ASSERT_NE(engine, std::string::npos) << log;
  const auto closed = log.find(last, engine);
  ASSERT_NE(closed, std::string::npos) << log;
  EXPECT_EQ(log.find_first_not_of("\r\n", closed + last.size()), std::string::npos) << log.substr(closed);
}

// A copy of the client beside its engine and skin, with the page folder's
// files but those that `leaveOut` names; `replace` gives files new text.
bool CopyClientTo(const std::wstring& folder, const std::vector<std::wstring>& leaveOut,
                  const std::vector<std::pair<std::wstring, std::string>>& replace) {
  for (const wchar_t* file : {L"QuorVPN.exe", L"wke.dll"}) {
    if (!::CopyFileW(BesideExecutable(file).c_str(), (folder + L"\\" + file).c_str(), FALSE)) return false;
  }
  for (const wchar_t* sub : {L"skin", L"app"}) {
    const std::wstring from = BesideExecutable(sub);
    const std::wstring to = folder + L"\\" + sub;
    if (!::CreateDirectoryW(to.c_str(), nullptr)) return false;
    WIN32_FIND_DATAW entry;
    HANDLE find = ::FindFirstFileW((from + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
      const std::wstring name = std::wstring(sub) + L"\\" + entry.cFileName;
      if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
          std::find(leaveOut.begin(), leaveOut.end(), name) != leaveOut.end()) {
        continue;
      }
      ::CopyFileW((from + L"\\" + entry.cFileName).c_str(), (to + L"\\" + entry.cFileName).c_str(), FALSE);
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  for (const auto& [name, text] : replace) {
    if (!WriteWholeFile(folder + L"\\" + name, text)) return false;
  }
  return true;
}

// A page that cannot draw the window's header and close button (its file
// missing, or its script failing before it drew) leaves the window its
// system frame, with a caption that says what failed, and one error line.
TEST(AppProcessTest, APageThatCannotBeShownLeavesTheSystemFrame) {
  const struct {
    std::vector<std::wstring> leaveOut;
    std::vector<std::pair<std::wstring, std::string>> replace;
    const char* what;
  } cases[] = {
      {{L"app\\main.html"}, {}, "app\\main.html is missing"},
      {{}, {{L"app\\main.js", "throw new Error('broken before it drew');"}}, "the page's script did not start"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
    ChildLog temp;
    ScopedTempDir alone;
    ASSERT_TRUE(CopyClientTo(alone.path(), c.leaveOut, c.replace));
    ProcessHandle client = StartProcess(L"\"" + alone.path() + L"\\QuorVPN.exe\"");
    const EndsWithTheTest endsClient(client);
    ASSERT_TRUE(client.valid());
    const std::string caption = std::string("QuorVPN \xc2\xb7 The window could not be shown: ") + c.what;
    ASSERT_TRUE(WaitFor([&] {
      wchar_t text[256] = {};
      return MainWindow() != nullptr && ::GetWindowTextW(MainWindow(), text, 256) > 0 && WideToUtf8(text) == caption;
    }));
    RECT outer{}, inner{};
    ::GetWindowRect(MainWindow(), &outer);
    ::GetClientRect(MainWindow(), &inner);
    EXPECT_LT(inner.bottom - inner.top, outer.bottom - outer.top) << "no caption strip";
    ::PostThreadMessageW(::GetWindowThreadProcessId(MainWindow(), nullptr), WM_QUIT, 0, 0);
    EXPECT_EQ(ExitCode(client), 0u);
    EXPECT_NE(temp.Log().find(std::string("[error] MainWindowController: the page cannot be shown: ") + c.what),
              std::string::npos)
        << temp.Log();
  }
}

// The installer's --quit-running asks the running client to quit as its tray
// menu would, and returns 0 only once the client has ended (with 0, after
// its shutdown); asked again with none running it returns 0 at once.
TEST(AppProcessTest, QuitRunningEndsTheRunningClientAndWaitsForIt) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  const std::wstring exe = L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"";
  ProcessHandle client = StartProcess(exe);
  const EndsWithTheTest endsClient(client);
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
    const EndsWithTheTest endsProcess(process);
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
  const EndsWithTheTest endsProcess(process);
  ASSERT_TRUE(process.valid());
  EXPECT_EQ(ExitCode(process), 1u);
  EXPECT_EQ(MainWindow(), nullptr);
  EXPECT_NE(temp.Log().find("[error] App: wkeInitialize failed (0x7e)"), std::string::npos) << temp.Log();
}

// The system DPI that Wine gives the processes started while it is set
// (Windows' own setting of the same name); the value found is put back.
class ScopedLogPixels {
 public:
  ScopedLogPixels() {
    DWORD size = sizeof(saved_);
    had_ = ::RegGetValueW(HKEY_CURRENT_USER, kKey, kValue, RRF_RT_REG_DWORD, nullptr, &saved_, &size) == ERROR_SUCCESS;
  }
  ~ScopedLogPixels() {
    if (had_) {
      Set(static_cast<int>(saved_));
    } else {
      ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kKey, kValue);
    }
  }
  ScopedLogPixels(const ScopedLogPixels&) = delete;
  ScopedLogPixels& operator=(const ScopedLogPixels&) = delete;

  static bool Set(int dpi) {
    const DWORD value = static_cast<DWORD>(dpi);
    return ::RegSetKeyValueW(HKEY_CURRENT_USER, kKey, kValue, REG_DWORD, &value, sizeof(value)) == ERROR_SUCCESS;
  }

 private:
  static constexpr const wchar_t* kKey = L"Control Panel\\Desktop";
  static constexpr const wchar_t* kValue = L"LogPixels";
  DWORD saved_ = 0;
  bool had_ = false;
};

// Sizes of other processes' windows as they are, not scaled to this
// thread's DPI, while it lives.
class PerMonitorAwareThread {
 public:
  PerMonitorAwareThread() {
    using SetContext = HANDLE(WINAPI*)(HANDLE);
    set_ = reinterpret_cast<SetContext>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
    // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE
    if (set_ != nullptr) previous_ = set_(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)));
  }
  ~PerMonitorAwareThread() {
    if (set_ != nullptr && previous_ != nullptr) set_(previous_);
  }
  PerMonitorAwareThread(const PerMonitorAwareThread&) = delete;
  PerMonitorAwareThread& operator=(const PerMonitorAwareThread&) = delete;

 private:
  HANDLE(WINAPI* set_)(HANDLE) = nullptr;
  HANDLE previous_ = nullptr;
};

// At 100, 125, 150 and 200 % the client's window has the page's 800 x 572
// CSS pixels in device pixels (1200 x 858 at 150 %), and a click at the
// device point where the page draws its close button closes (hides) the
// window: the page laid out and hit-tested at the display's scale.
TEST(AppProcessTest, TheWindowIsSizedForTheDisplayAndAnswersClicksWhereItDraws) {
  ASSERT_EQ(MainWindow(), nullptr) << "a client is already running";
  ChildLog temp;
  const ScopedLogPixels restore;
  const std::wstring exe = L"\"" + BesideExecutable(L"QuorVPN.exe") + L"\"";
  for (const int dpi : {96, 120, 144, 192}) {
    SCOPED_TRACE("dpi " + std::to_string(dpi));
    ASSERT_TRUE(ScopedLogPixels::Set(dpi));
    ProcessHandle client = StartProcess(exe);
    const EndsWithTheTest endsClient(client);
    ASSERT_TRUE(client.valid());
    ASSERT_TRUE(WaitFor([] { return MainWindow() != nullptr && ::IsWindowVisible(MainWindow()); }));
    const HWND window = MainWindow();
    // The window shows at creation and is sized for the DPI just after.
    RECT frame{};
    const int width = ::MulDiv(800, dpi, 96), height = ::MulDiv(572, dpi, 96);
    WaitFor([&] {
      // This process took its DPI when it started; were it unaware of any
      // other, it would be shown the client's window scaled to its own.
      const PerMonitorAwareThread aware;
      return ::GetWindowRect(window, &frame) && frame.right - frame.left == width && frame.bottom - frame.top == height;
    });
    EXPECT_EQ(frame.right - frame.left, width);
    EXPECT_EQ(frame.bottom - frame.top, height);
    // The page's close button is centred on CSS (772, 24); the page may not
    // have loaded at the first click, so it is clicked until it answers.
    const LPARAM at = MAKELPARAM(::MulDiv(772, dpi, 96), ::MulDiv(24, dpi, 96));
    EXPECT_TRUE(WaitFor([&] {
      if (!::IsWindowVisible(window)) return true;
      ::PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, at);
      ::PostMessageW(window, WM_LBUTTONUP, 0, at);
      PumpMessagesFor(200);
      return !::IsWindowVisible(window);
    }));
    ProcessHandle asker = StartProcess(exe + L" --quit-running");
    ASSERT_TRUE(asker.valid());
    EXPECT_EQ(ExitCode(asker), 0u);
    EXPECT_EQ(ExitCode(client), 0u);
  }
}

// Both icons hold an image of every size the window and the notification
// area ask for (SM_CXICON, SM_CXSMICON) at 100, 125, 150 and 200 %, so
// Windows never has to stretch a smaller one.
TEST(AppProcessTest, TheIconsHoldAnImageForEveryDisplayScale) {
  const ModuleHandle client(::LoadLibraryExW(BesideExecutable(L"QuorVPN.exe").c_str(), nullptr,
                                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
  ASSERT_TRUE(client);
  for (const int id : {100, 101}) {
    HRSRC group = ::FindResourceW(client.get(), MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_NE(group, nullptr) << id;
    auto* directory = static_cast<BYTE*>(::LockResource(::LoadResource(client.get(), group)));
    ASSERT_NE(directory, nullptr) << id;
    for (const int size : {16, 20, 24, 32, 40, 48, 64}) {
      const int image = ::LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
      HRSRC found = ::FindResourceW(client.get(), MAKEINTRESOURCEW(image), MAKEINTRESOURCEW(3));  // RT_ICON
      ASSERT_NE(found, nullptr) << id << " at " << size;
      const auto* header = static_cast<const BITMAPINFOHEADER*>(::LockResource(::LoadResource(client.get(), found)));
      ASSERT_NE(header, nullptr);
      EXPECT_EQ(header->biWidth, size) << "icon " << id;
    }
  }
}

}  // namespace
}  // namespace halyx::testing
