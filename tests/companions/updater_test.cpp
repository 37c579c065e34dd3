// The updater stand-in (WinSparkle.dll) as the client drives it: a check
// fetches the appcast from the address under its registry path, shows the
// outcome in a window of its own, and only accepting an offer calls the
// shutdown request. The window is driven with real messages.
#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/all_users_directory.h"
#include "base/module_path.h"
#include "base/utf8.h"
#include "support/message_pump.h"
#include "support/net_stand_ins.h"
#include "support/scoped_temp_dir.h"

namespace halyx::testing {
namespace {

constexpr DWORD kOutcomeTimeoutMs = 45000;
constexpr const wchar_t kChecking[] = L"Checking for updates...";
// The client's kind of address, on a host that resolves nowhere: only the
// registry value may send a check elsewhere.
constexpr const char kCompiledInUrl[] = "https://updates.quorvpn.invalid/api/checkDesktopUpdate?device=windows";
constexpr const char kPath[] = "/api/checkDesktopUpdate?device=windows";

struct Api {
  void(__cdecl* setAppcastUrl)(const char*);
  void(__cdecl* setRegistryPath)(const char*);
  void(__cdecl* setShutdownRequestCallback)(void(__cdecl*)());
  void(__cdecl* init)();
  void(__cdecl* checkUpdateWithUi)();
  void(__cdecl* cleanup)();
};

std::atomic<int> shutdownRequests{0};
void __cdecl OnShutdownRequest() { ++shutdownRequests; }

template <typename Fn>
void Resolve(HMODULE module, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

// The updater's windows of this process (other tests' programs may show theirs).
std::vector<HWND> UpdaterWindows() {
  std::vector<HWND> found;
  HWND window = nullptr;
  while ((window = ::FindWindowExW(nullptr, window, L"QuorUpdateWindow", nullptr)) != nullptr) {
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == ::GetCurrentProcessId()) found.push_back(window);
  }
  return found;
}

std::wstring Text(HWND window, int id) {
  wchar_t text[2048] = {};
  ::GetDlgItemTextW(window, id, text, 2048);
  return text;
}

class UpdaterStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    const HMODULE module = ::LoadLibraryExW(BesideExecutable(L"WinSparkle.dll").c_str(), nullptr, 0);
    ASSERT_NE(module, nullptr);
    Resolve(module, "win_sparkle_set_appcast_url", api_.setAppcastUrl);
    Resolve(module, "win_sparkle_set_registry_path", api_.setRegistryPath);
    Resolve(module, "win_sparkle_set_shutdown_request_callback", api_.setShutdownRequestCallback);
    Resolve(module, "win_sparkle_init", api_.init);
    Resolve(module, "win_sparkle_check_update_with_ui", api_.checkUpdateWithUi);
    Resolve(module, "win_sparkle_cleanup", api_.cleanup);
    ASSERT_TRUE(api_.setAppcastUrl && api_.setRegistryPath && api_.setShutdownRequestCallback && api_.init &&
                api_.checkUpdateWithUi && api_.cleanup);
    key_ = "Software\\QuorVPN\\Tests\\Updater-" + std::to_string(::GetCurrentProcessId());
    api_.setAppcastUrl(kCompiledInUrl);
    api_.setRegistryPath(key_.c_str());
    api_.setShutdownRequestCallback(&OnShutdownRequest);
    api_.init();
    shutdownRequests = 0;
  }

  void TearDown() override {
    if (api_.cleanup) api_.cleanup();
    EXPECT_TRUE(UpdaterWindows().empty());
    ::RegDeleteTreeW(HKEY_CURRENT_USER, std::wstring(key_.begin(), key_.end()).c_str());
  }

  void PointAt(const std::string& url) {
    const std::wstring wide(url.begin(), url.end());
    ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, std::wstring(key_.begin(), key_.end()).c_str(), L"AppcastUrl",
                                REG_SZ, wide.c_str(), static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

  // Points the updater at `server`'s appcast, then checks as CheckAndWait.
  HWND CheckAt(const HttpEndpoint& server) {
    PointAt(server.Url() + kPath);
    return CheckAndWait();
  }

  // Starts a check and waits for the outcome in its window.
  HWND CheckAndWait() {
    api_.checkUpdateWithUi();
    HWND window = nullptr;
    PumpMessagesUntil(
        [&] {
          const std::vector<HWND> windows = UpdaterWindows();
          window = windows.size() == 1 ? windows[0] : nullptr;
          return window != nullptr && Text(window, 100) != kChecking;
        },
        kOutcomeTimeoutMs);
    return window;
  }

  static bool Gone(HWND window) {
    return PumpMessagesUntil([&] { return !::IsWindow(window); }, 5000);
  }

  Api api_{};
  std::string key_;
};

// An offer without a signed package can be seen but not installed: the
// window says why, and the program is not asked to quit.
TEST_F(UpdaterStandIn, AcceptingAnOfferWithoutASignedPackageSaysWhyAndKeepsTheProgram) {
  HttpEndpoint server({"--status", "200", "--body", "quor-appcast 1\nversion=6.0.9\nnotes=Connects faster."});
  ASSERT_TRUE(server.ok());
  const HWND window = CheckAt(server);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 100), L"Version 6.0.9.0 is available (this is 6.0.8.0).\r\n\r\nConnects faster.");
  EXPECT_EQ(server.Stats().last.rfind(std::string("GET ") + kPath + " HTTP/1.1", 0), 0u) << server.Stats().last;
  const HWND install = ::GetDlgItem(window, IDOK);
  ASSERT_TRUE(::IsWindowVisible(install));
  ::SendMessageW(install, BM_CLICK, 0, 0);
  const std::wstring refused = L"Update failed: the offer names no signed package (url, size and signature).";
  EXPECT_TRUE(PumpMessagesUntil([&] { return Text(window, 100) == refused; }, kOutcomeTimeoutMs)) << Text(window, 100);
  EXPECT_EQ(shutdownRequests.load(), 0);
  ::SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(Gone(window));
  EXPECT_EQ(shutdownRequests.load(), 0);
}

// The package's folder under the all-users folder, where the updater keeps
// what it downloads; the test removes what it finds there of its own.
std::wstring UpdatesFolder() {
  std::string allUsers;
  GetAllUsersDirectory(allUsers);
  return std::wstring(allUsers.begin(), allUsers.end()) + L"\\QuorVPN\\updates";
}

std::string UpdateTestFile(const wchar_t* name) {
  std::string text = ReadWholeFile(BesideExecutable(std::wstring(L"update-test\\") + name));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// An appcast offering `version`'s package from `download`, `size` bytes
// long, with the signature in the update tests' file `signature`.
std::string SignedOffer(const HttpEndpoint& download, const std::string& version, std::size_t size,
                        const wchar_t* signature) {
  return "quor-appcast 1\nversion=" + version + "\nurl=" + download.Url() + "/QuorVPN-" + version +
         "-setup.exe\nsize=" + std::to_string(size) + "\nsignature=" + UpdateTestFile(signature);
}

// A signed offer: "Install update" downloads the package into the updates
// folder, checks it, starts it and only then asks the program to quit,
// once; a package signed by another key is refused in the window, deleted,
// and the program runs on.
TEST_F(UpdaterStandIn, OnlyAPackageSignedForTheProgramsKeyIsStartedAndEndsTheProgram) {
  const std::wstring package = BesideExecutable(L"update-test\\package.exe");
  const std::string bytes = ReadWholeFile(package);
  const std::wstring stored = UpdatesFolder() + L"\\QuorVPN-6.0.9.0-setup.exe";
  HttpEndpoint download({"--status", "200", "--body-file", WideToUtf8(package)});
  ASSERT_TRUE(download.ok());
  for (const bool good : {false, true}) {
    const std::string appcast =
        SignedOffer(download, "6.0.9", bytes.size(), good ? L"package.exe.sig" : L"package.exe.other-sig");
    HttpEndpoint server({"--status", "200", "--body", appcast});
    ASSERT_TRUE(server.ok());
    const HWND window = CheckAt(server);
    ASSERT_NE(window, nullptr);
    ::SendMessageW(::GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    if (!good) {
      const std::wstring refused = L"Update failed: the package's signature does not match.";
      EXPECT_TRUE(PumpMessagesUntil([&] { return Text(window, 100) == refused; }, kOutcomeTimeoutMs))
          << Text(window, 100);
      EXPECT_FALSE(FileExists(stored));
      EXPECT_EQ(shutdownRequests.load(), 0);
      ::SendMessageW(window, WM_CLOSE, 0, 0);
      EXPECT_TRUE(Gone(window));
      continue;
    }
    EXPECT_TRUE(PumpMessagesUntil([&] { return !::IsWindow(window); }, kOutcomeTimeoutMs));
    EXPECT_EQ(shutdownRequests.load(), 1);
    EXPECT_EQ(ReadWholeFile(stored), bytes);
  }
  // The started package (a harmless program) ends at once; its file is
  // free again soon after.
  PumpMessagesUntil([&] { return ::DeleteFileW(stored.c_str()) != FALSE || !FileExists(stored); }, 10000);
  EXPECT_FALSE(FileExists(stored));
  ::RemoveDirectoryW(UpdatesFolder().c_str());
}

// Closing the window while the package trickles in gives the update up: the
// download stops, its file goes, and neither the installer nor the
// shutdown request follows later.
TEST_F(UpdaterStandIn, ClosingTheWindowDuringTheDownloadGivesTheUpdateUp) {
  const std::wstring package = BesideExecutable(L"update-test\\package.exe");
  const std::string bytes = ReadWholeFile(package);
  // A version of its own: the other download test may run beside this one.
  const std::wstring stored = UpdatesFolder() + L"\\QuorVPN-6.0.10.0-setup.exe";
  HttpEndpoint download({"--status", "200", "--body-file", WideToUtf8(package), "--trickle-ms", "20"});
  ASSERT_TRUE(download.ok());
  const std::string appcast = SignedOffer(download, "6.0.10", bytes.size(), L"package.exe.sig");
  HttpEndpoint server({"--status", "200", "--body", appcast});
  ASSERT_TRUE(server.ok());
  const HWND window = CheckAt(server);
  ASSERT_NE(window, nullptr);
  ::SendMessageW(::GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpMessagesUntil([&] { return FileExists(stored) && Text(window, 100) != L"Downloading the update..."; },
                                kOutcomeTimeoutMs))
      << Text(window, 100);
  ::SendMessageW(window, WM_CLOSE, 0, 0);
  EXPECT_TRUE(Gone(window));
  // The next chunk finds the window gone; the whole trickle takes seconds more.
  EXPECT_TRUE(PumpMessagesUntil([&] { return !FileExists(stored); }, 10000));
  EXPECT_EQ(shutdownRequests.load(), 0);
  ::RemoveDirectoryW(UpdatesFolder().c_str());
}

// Also: asking again while the window is open brings that window back
// instead of starting a second check.
TEST_F(UpdaterStandIn, TheSameOrAnOlderVersionIsUpToDateAndOffersNothing) {
  for (const char* offered : {"6.0.8.0", "6"}) {
    HttpEndpoint server({"--status", "200", "--body", std::string("quor-appcast 1\nversion=") + offered});
    ASSERT_TRUE(server.ok());
    const HWND window = CheckAt(server);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Text(window, 100), L"Up to date: version 6.0.8.0 is the newest.") << offered;
    api_.checkUpdateWithUi();
    EXPECT_EQ(UpdaterWindows().size(), 1u);
    EXPECT_EQ(server.Stats().requests, 1);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(window, IDOK)));
    ::SendMessageW(::GetDlgItem(window, IDOK), BM_CLICK, 0, 0);
    ::SendMessageW(::GetDlgItem(window, IDCANCEL), BM_CLICK, 0, 0);
    EXPECT_TRUE(Gone(window));
  }
  EXPECT_EQ(shutdownRequests.load(), 0);
}

TEST_F(UpdaterStandIn, BrokenOrHostileAnswersEndInAnErrorInTheWindow) {
  struct Case {
    std::vector<std::string> options;
    const wchar_t* text;
  } cases[] = {
      {{"--status", "200", "--body", "<html>a page</html>"},
       L"Update check failed: the answer is not an appcast (line 1)."},
      {{"--status", "200", "--body", "quor-appcast 1\nversion=6.0.x"},
       L"Update check failed: the offered version is not a version number (line 2)."},
      {{"--status", "200", "--body", "quor-appcast 1\nversion=99999.0"},
       L"Update check failed: the offered version is not a version number (line 2)."},
      {{"--status", "200", "--body", "quor-appcast 1\nversion=9\nnotes=", "--pad", "1000000"},
       L"Update check failed: the appcast is larger than 16384 bytes."},
      {{"--status", "500"}, L"Update check failed: the update server answered with status 500."},
      {{"--close"}, L"Update check failed: the update server could not be reached (error 12152)."},
  };
  for (const Case& c : cases) {
    HttpEndpoint server(c.options);
    ASSERT_TRUE(server.ok());
    const HWND window = CheckAt(server);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(Text(window, 100), c.text);
    EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(window, IDOK)));
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Gone(window));
  }
  // Plain http to another machine is not fetched at all.
  PointAt("http://updates.quorvpn.invalid" + std::string(kPath));
  const HWND window = CheckAndWait();
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(Text(window, 100), L"Update check failed: the update address is not an https address.");
  EXPECT_EQ(shutdownRequests.load(), 0);
}

TEST_F(UpdaterStandIn, CleanupClosesTheWindowOfACheckStillWaiting) {
  HttpEndpoint server({"--status", "200", "--delay-ms", "60000", "--body", "quor-appcast 1\nversion=7"});
  ASSERT_TRUE(server.ok());
  PointAt(server.Url() + kPath);
  api_.checkUpdateWithUi();
  const std::vector<HWND> windows = UpdaterWindows();
  ASSERT_EQ(windows.size(), 1u);
  EXPECT_EQ(Text(windows[0], 100), kChecking);
  ASSERT_TRUE(server.WaitForRequests(1, 10000));
  api_.cleanup();
  EXPECT_FALSE(::IsWindow(windows[0]));
  EXPECT_EQ(shutdownRequests.load(), 0);
}

}  // namespace
}  // namespace halyx::testing
