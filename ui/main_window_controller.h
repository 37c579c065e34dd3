// Drives the main window: loads "app\main.html" (beside the executable) with
// the per-user cookie and storage paths, publishes a new dispatch object on
// every document-ready, relays the worker threads' results to the page,
// hands files dropped on the window to the page ("DragAndDrop"), keeps the
// window's caption equal to the page's title, and opens and keeps the
// secondary web windows the page asks for.
//
//   auto window = std::make_shared<MainWnd>();
//   window->Create(nullptr, L"QuorVPN", BaseWnd::kDialogStyle, 0, 0, 0, 800, 572);
//   auto controller = std::make_shared<MainWindowController>(window, TunnelManager::Instance());
//
// Window messages (base/window_messages.h), all consumed here with or
// without a payload, every payload freed here: the log archive (0x8065) as
// the page's "GetLogFiles" object, measurement results (0x8066..0x8069) as
// JSON texts, new-window requests (0x806B), which also release the web
// windows closed since the last request.
//
// Ownership: owns its window (shared) and its web windows' controllers.
//
// Thread: GUI thread.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/duilib/message_filter_ui.h"
#include "tunnel/tunnel_manager.h"
#include "ui/main_wnd.h"
#include "ui/url_policy.h"
#include "ui/web_window_controller.h"
#include "ui/window_controller.h"
#include "ui/wke_binding.h"

namespace halyx {

class MainWindowController : public WindowController, public DuiLib::IMessageFilterUI {
 public:
  static constexpr const wchar_t* kPage = UrlPolicy::kMainPage;

  // `policy` decides which page gets which dispatch object, here and in the
  // web windows.
  MainWindowController(std::shared_ptr<MainWnd> window, TunnelManager& tunnel, UrlPolicy policy = UrlPolicy());
  ~MainWindowController() override;

  void Notify(DuiLib::TNotifyUI& msg) override;
  // Shows the window and brings it to the foreground.
  void Show() override;
  virtual void OnWindowInit();

  LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

  // Files dropped on the page (an HDROP, consumed here, also without a
  // page): every file, in drop order, links replaced by their targets,
  // folders left out, to the page as {"type":"DragAndDrop","files":[...]}.
  // Any process of the user can post a drop, so a drop of more than 64 KiB
  // of names is refused unread, names past the 64th are left out, and so are
  // names that are no local path ("X:\..."); one summary line per drop.
  void OnDropFiles(LPARAM drop);
  // Replaces a shell link's path by its local target's; false (path
  // unchanged) after one warning. No dialog, no search, no link tracking, no
  // network, and a link to a share or a "\\?\" name is not followed.
  bool ResolveLink(std::wstring& path);
  // "X:\..." with no doubled separator: no share, device or relative name.
  static bool IsLocalPath(const std::wstring& path);
  // Opens a web window for what UrlPolicy::MayOpenWebWindow allows ("about:blank"
  // is an empty URL); anything else is refused with one warning. Sizes are
  // held to 1..4096. Which pages get a dispatch object is the web window's
  // decision.
  void OpenWebWindow(const std::wstring& url, int width, int height);
  // A web window's onClose subscriber (param: its controller).
  bool OnWebWindowClosed(void* param);
  // Logs "QuorDispatch: <type>:\n<json>" and hands the text to the page.
  void PostJsonToPage(const std::string& json, const char* type);

  wkeWebView view() const { return view_; }
  std::size_t openWebWindowCount() const { return openWebWindows_.size(); }
  std::size_t closedWebWindowCount() const { return closedWebWindows_.size(); }
  const std::vector<std::shared_ptr<WebWindowController>>& openWebWindows() const { return openWebWindows_; }

 private:
  MainWnd* mainWindow() const { return static_cast<MainWnd*>(window_.get()); }
  // The page cannot draw the window's header and close button: the system
  // frame comes back, its caption says what failed, one error line.
  void ShowPageFailure(const wchar_t* what);

  wkeWebView view_ = nullptr;
  std::vector<std::shared_ptr<WebWindowController>> openWebWindows_;
  std::vector<std::shared_ptr<WebWindowController>> closedWebWindows_;
  TunnelManager& tunnel_;
  const UrlPolicy policy_;
  bool filterAdded_ = false;
};

}  // namespace halyx
