// Drives a secondary web window: loads the page the main page asked for at
// the size it asked for, publishes a dispatch object on every document-ready
// and raises onClose (with itself as parameter) when its window closes.
//
// Only a page that UrlPolicy trusts (a file inside the application folder,
// or a page of one of the product's own origins, at the address the engine
// reports after the load) gets that dispatch object, and then only its
// window commands and the version: the tunnel, configuration files, the
// shell and the measurements are the main page's alone. Any other page is
// shown without it (one info line). The caption names the page's origin
// before its title, so a page cannot pass itself off as another. Drops are
// released unread.
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
#include "ui/url_policy.h"
#include "ui/web_wnd.h"
#include "ui/window_controller.h"
#include "ui/wke_binding.h"

namespace halyx {

class WebWindowController : public WindowController, public DuiLib::IMessageFilterUI {
 public:
  WebWindowController(std::shared_ptr<WebWnd> window, TunnelManager& tunnel, UrlPolicy policy = UrlPolicy());
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

  wkeWebView view() const { return view_; }

  DuiLib::CEventSource onClose;

 private:
  WebWnd* webWindow() const { return static_cast<WebWnd*>(window_.get()); }
  // "<origin> — <title>": the origin first, where a long title cannot push
  // it out of sight.
  void UpdateCaption(DuiLib::CWkeBrowserUI& browser) const;

  wkeWebView view_ = nullptr;
  int width_ = 0;
  int height_ = 0;
  std::wstring url_;
  TunnelManager& tunnel_;
  const UrlPolicy policy_;
  bool filterAdded_ = false;
};

}  // namespace halyx
