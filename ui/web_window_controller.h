// Drives a secondary web window: loads the page the main page asked for at
// the size it asked for, publishes a dispatch object on every document-ready
// and raises onClose (with itself as parameter) when its window closes.
//
// Only a page from the application folder (a local file inside the
// executable's folder) or one fetched over https gets that dispatch object:
// it controls the tunnel, writes configuration files with administrator
// rights and opens URLs, and a page over plain http or from anywhere else on
// the disk can be rewritten by whoever sits on the path or the folder. Such a
// page is shown without it (one info line). Drops are released unread.
//
// Results that the web page's dispatch object posts to its own window
// (measurements, log archives, "NewWindow") have no page to go to here; the
// controller consumes them and frees their payloads.
//
// Ownership: the main window controller holds it (shared) while the window
// is open and until the next "NewWindow" after it closed.
//
// Thread: GUI thread.
#pragma once

#include <memory>
#include <string>

#include "platform/duilib/event_source.h"
#include "platform/duilib/message_filter_ui.h"
#include "tunnel/tunnel_manager.h"
#include "ui/web_wnd.h"
#include "ui/window_controller.h"
#include "ui/wke_binding.h"

namespace halyx {

class WebWindowController : public WindowController, public DuiLib::IMessageFilterUI {
 public:
  WebWindowController(std::shared_ptr<WebWnd> window, TunnelManager& tunnel);
  ~WebWindowController() override;

  void Notify(DuiLib::TNotifyUI& msg) override;
  // Shows the window and brings it to the foreground.
  void Show() override;

  // Stores the URL and loads it once the view exists.
  virtual void SetUrl(const std::wstring& url);
  // Stores the client size; with a window, resizes and centres it.
  virtual void SetSize(int width, int height);
  virtual void OnWindowInit();

  // The window's onClose subscriber; raises this controller's onClose.
  bool OnWindowClose(void* param);

  LRESULT MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;

  // True for an https URL with a host, and for a file URL (no host) naming
  // an existing file inside `appFolder` once "..", escapes and case are
  // taken into account.
  static bool IsTrustedPage(const std::wstring& url, const std::wstring& appFolder);

  wkeWebView view() const { return view_; }

  DuiLib::CEventSource onClose;

 private:
  WebWnd* webWindow() const { return static_cast<WebWnd*>(window_.get()); }

  wkeWebView view_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  std::wstring url_;
  TunnelManager& tunnel_;
  bool filterAdded_ = false;
};

}  // namespace halyx
