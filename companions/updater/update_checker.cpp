#include "update_checker.h"

#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "appcast.h"
#include "appcast_fetch.h"
#include "base/guard.h"
#include "base/module_path.h"
#include "base/utf8.h"
#include "base/window_messages.h"
#include "update_install.h"
#include "update_window.h"

namespace halyx::update {
namespace {

// How long the program's thread waits for the UI thread to show its window,
// or to end after being told to.
constexpr DWORD kUiWaitMs = 5000;
constexpr DWORD kMaxUrlChars = 2048;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// The file version of the running executable's version block.
bool RunningVersion(Version& out) {
  const std::wstring path = ModulePath();
  DWORD ignored = 0;
  const DWORD size = path.empty() ? 0 : ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> block(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO) || info->dwSignature != VS_FFI_SIGNATURE) {
    return false;
  }
  out.parts = {HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
               LOWORD(info->dwFileVersionLS)};
  return true;
}

UpdateWindow::Outcome Check(const std::wstring& url, Appcast& offer) {
  UpdateWindow::Outcome outcome;
  std::string body;
  std::string error;
  Appcast appcast;
  Version running;
  if (!RunningVersion(running)) {
    error = "the running program has no version";
  } else if (AppcastFetch::Get(url, body, error) && Appcast::Parse(body, appcast, error)) {
    if (appcast.version > running) {
      outcome.offered = true;
      offer = appcast;
      outcome.text = L"Version " + Utf8ToWide(appcast.version.ToString()) + L" is available (this is " +
                     Utf8ToWide(running.ToString()) + L").";
      if (!appcast.notes.empty()) outcome.text += L"\r\n\r\n" + Utf8ToWide(appcast.notes);
    } else {
      outcome.text = L"Up to date: version " + Utf8ToWide(running.ToString()) + L" is the newest.";
    }
    return outcome;
  }
  outcome.text = L"Update check failed: " + Utf8ToWide(error) + L".";
  return outcome;
}

// What the UI thread is started with; it reports its window through it.
struct UiStart {
  std::wstring url;
  HWND window = nullptr;
  EventHandle shown;
};

}  // namespace

UpdateChecker& UpdateChecker::Instance() {
  static UpdateChecker instance;
  return instance;
}

void UpdateChecker::SetAppcastUrl(const std::string& url) {
  std::lock_guard<std::mutex> lock(mutex_);
  appcastUrl_ = url;
}

void UpdateChecker::SetRegistryPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  registryPath_ = path;
}

std::wstring UpdateChecker::AppcastUrl() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!registryPath_.empty()) {
    std::wstring value(kMaxUrlChars, L'\0');
    DWORD size = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (::RegGetValueW(HKEY_CURRENT_USER, Utf8ToWide(registryPath_).c_str(), L"AppcastUrl", RRF_RT_REG_SZ, nullptr,
                       value.data(), &size) == ERROR_SUCCESS) {
      value.resize(size / sizeof(wchar_t));
      while (!value.empty() && value.back() == L'\0') value.pop_back();
      return value;
    }
  }
  return Utf8ToWide(appcastUrl_);
}

void UpdateChecker::RequestShutdown() const {
  if (const ShutdownRequest request = shutdownRequest_.load()) request();
}

void UpdateChecker::Accept(HWND window) {
  Appcast offer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    offer = offer_;
  }
  std::thread(&UpdateChecker::Install, offer, window).detach();
}

void UpdateChecker::Install(Appcast offer, HWND window) {
  GuardedQuietly(false, [&] {
    auto outcome = std::make_unique<UpdateWindow::Outcome>();
    PackageSignature::PublicKey key;
    std::string error;
    std::wstring package;
    int shown = -1;
    const auto progress = [&](uint64_t received, uint64_t total) {
      const int percent = static_cast<int>(received * 100 / total);
      // One message per percent, however small the chunks.
      if (percent != shown) ::PostMessageW(window, UpdateWindow::kProgressMessage, percent, 0);
      shown = percent;
      // Closing the window, or the program going, gives the update up: an
      // installer started afterwards would end a program nobody asked to end.
      return ::IsWindow(window) != FALSE;
    };
    const bool fetched = PackageSignature::ReadProgramKey(key, error) &&
                         UpdateInstall::Fetch(offer, key, progress, package, error, UpdateInstall::Settings());
    if (fetched && !::IsWindow(window)) {
      // Given up after the last chunk, while the package was being checked.
      ::DeleteFileW(package.c_str());
      return true;
    }
    if (fetched && UpdateInstall::Launch(package, error)) {
      outcome->done = true;
      outcome->text = L"Installing the update...";
    } else {
      outcome->text = L"Update failed: " + Utf8ToWide(error) + L".";
    }
    static_cast<void>(PostPayload(window, UpdateWindow::kOutcomeMessage, std::move(outcome)));
    return true;
  });
}

void UpdateChecker::Fetch(std::wstring url, HWND window) {
  GuardedQuietly(false, [&] {
    Appcast offer;
    auto outcome = std::make_unique<UpdateWindow::Outcome>(Check(url, offer));
    if (outcome->offered) {
      UpdateChecker& self = Instance();
      std::lock_guard<std::mutex> lock(self.mutex_);
      self.offer_ = offer;
    }
    // A failed post means the window went first (closed, or the updater
    // cleaned up); the outcome reaches no one and is freed.
    static_cast<void>(PostPayload(window, UpdateWindow::kOutcomeMessage, std::move(outcome)));
    return true;
  });
}

DWORD WINAPI UpdateChecker::UiThread(void* param) {
  const std::unique_ptr<std::shared_ptr<UiStart>> held(static_cast<std::shared_ptr<UiStart>*>(param));
  const std::shared_ptr<UiStart> start = *held;
  GuardedQuietly(false, [&] {
    UpdateChecker& self = Instance();
    const HWND window = UpdateWindow::Create(
        ThisModule(), [&self, start] { self.Accept(start->window); }, [&self] { self.RequestShutdown(); });
    start->window = window;
    if (window != nullptr) std::thread(&UpdateChecker::Fetch, start->url, window).detach();
    ::SetEvent(start->shown.get());
    if (window == nullptr) return false;
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (::IsDialogMessageW(window, &msg)) continue;
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    return true;
  });
  return 0;
}

void UpdateChecker::CheckWithUi() {
  const std::wstring url = AppcastUrl();
  std::lock_guard<std::mutex> lock(mutex_);
  if (uiThread_ && ::WaitForSingleObject(uiThread_.get(), 0) == WAIT_TIMEOUT) {
    if (window_ != nullptr && ::IsWindow(window_)) {
      ::ShowWindow(window_, SW_SHOWNORMAL);
      ::SetForegroundWindow(window_);
      return;
    }
    // The window has just closed and its thread is on its way out.
    ::WaitForSingleObject(uiThread_.get(), kUiWaitMs);
  }
  uiThread_.reset();
  uiThreadId_ = 0;
  window_ = nullptr;
  // Its threads run code of this DLL however the program treats the DLL.
  HMODULE pinned = nullptr;
  if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&ThisModule), &pinned)) {
    return;
  }
  auto start = std::make_shared<UiStart>();
  start->url = url;
  start->shown.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!start->shown) return;
  auto* param = new std::shared_ptr<UiStart>(start);
  DWORD id = 0;
  uiThread_.reset(::CreateThread(nullptr, 0, &UpdateChecker::UiThread, param, 0, &id));
  if (!uiThread_) {
    delete param;
    return;
  }
  uiThreadId_ = id;
  // Only the window's creation is waited for; the check runs on.
  if (::WaitForSingleObject(start->shown.get(), kUiWaitMs) == WAIT_OBJECT_0) window_ = start->window;
}

void UpdateChecker::Cleanup() {
  ThreadHandle thread;
  HWND window = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    thread = std::move(uiThread_);
    window = window_;
    window_ = nullptr;
    // Asked from the UI thread itself (from the shutdown request): the
    // window goes, and the thread ends on its own.
    if (thread && uiThreadId_ == ::GetCurrentThreadId()) {
      ::PostMessageW(window, UpdateWindow::kDismissMessage, 0, 0);
      return;
    }
  }
  if (!thread) return;
  if (window != nullptr) ::PostMessageW(window, UpdateWindow::kDismissMessage, 0, 0);
  ::WaitForSingleObject(thread.get(), kUiWaitMs);
}

}  // namespace halyx::update
