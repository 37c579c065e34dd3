// Test windows, controls and skin archives for the window-framework suites.
//
// Thread: the test's thread, which owns the windows and pumps their messages.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/duilib/control_ui.h"
#include "platform/duilib/window_impl_base.h"

namespace DuiLib::testing {

// Writes a zip archive holding `files` (name, content) at `path`.
bool WriteZip(const std::wstring& path, const std::vector<std::pair<std::string, std::string>>& files);

// Dispatches this thread's messages until `done` answers true or `timeoutMs`
// passed; returns the last answer of `done`.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 2000);
// Dispatches what is queued now.
void PumpPending();

// A control that records the events it receives.
class RecordingControl : public CControlUI {
 public:
  explicit RecordingControl(std::wstring className = L"Recording") : className_(std::move(className)) {}
  LPCWSTR GetClass() const override { return className_.c_str(); }
  void DoInit() override { ++inits; }
  void DoEvent(TEventUI& event) override {
    events.push_back(event);
    if (captureOnDown && event.type == UiEventType::kLeftButtonDown) GetManager()->SetCapture();
    if (event.type == UiEventType::kLeftButtonUp && GetManager()->IsCaptured()) {
      GetManager()->ReleaseCapture();
    }
    CControlUI::DoEvent(event);
  }
  int Count(UiEventType type) const;
  const TEventUI* Last(UiEventType type) const;

  std::vector<TEventUI> events;
  int inits = 0;
  bool captureOnDown = false;

 private:
  std::wstring className_;
};

// A skin window over a folder of the test's own; records notifications,
// CreateControl calls and final messages.
class TestWindow : public WindowImplBase {
 public:
  TestWindow(std::wstring folder, std::wstring zip, std::wstring skin)
      : folder_(std::move(folder)), zip_(std::move(zip)), skin_(std::move(skin)) {}

  HWND CreateDefault(DWORD style = WS_OVERLAPPEDWINDOW) {
    return Create(nullptr, L"test", style, 0, 100, 100, 400, 300);
  }
  CPaintManagerUI& manager() { return paintManager_; }

  void Notify(TNotifyUI& msg) override {
    notifications.push_back(msg);
    if (onNotify) onNotify(msg);
  }
  CControlUI* CreateControl(LPCWSTR className) override {
    asked.push_back(className);
    if (std::wstring(className) == L"WkeBrowser" || std::wstring(className) == L"Recording") {
      return new RecordingControl(className);
    }
    return nullptr;
  }
  void InitWindow() override { initWindowCalls.push_back(static_cast<int>(notifications.size())); }
  LRESULT OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override {
    if (keepOnClose) return 0;  // handled stays true: the window stays
    return WindowImplBase::OnClose(msg, wParam, lParam, handled);
  }

  std::function<void(TNotifyUI&)> onNotify;
  std::vector<TNotifyUI> notifications;
  std::vector<std::wstring> asked;
  std::vector<int> initWindowCalls;
  int finalMessages = 0;
  bool keepOnClose = false;

 protected:
  LPCWSTR GetWindowClassName() const override { return L"DuiLibTestWindow"; }
  CDuiString GetSkinFolder() override { return folder_.c_str(); }
  CDuiString GetSkinFile() override { return skin_.c_str(); }
  CDuiString GetZIPFileName() const override { return zip_.c_str(); }
  UINT GetResourceType() const override { return zip_.empty() ? kResourceTypeFile : kResourceTypeZip; }
  void OnFinalMessage(HWND hwnd) override {
    WindowImplBase::OnFinalMessage(hwnd);
    ++finalMessages;
  }

 private:
  std::wstring folder_;
  std::wstring zip_;
  std::wstring skin_;
};

int CountNotifications(const std::vector<TNotifyUI>& list, const wchar_t* type);

}  // namespace DuiLib::testing
