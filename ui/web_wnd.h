// A secondary web window: the frame of a page that the main page opened with
// "NewWindow". Closing it raises onClose (with this window as parameter) and
// then destroys the window; drops are not accepted.
//
// Thread: GUI thread.
#pragma once

#include "platform/duilib/event_source.h"
#include "ui/base_wnd.h"

namespace halyx {

class WebWnd : public BaseWnd {
 public:
  static constexpr const wchar_t* kClassName = L"QuorWebFrame";

  WebWnd() = default;
  ~WebWnd() override = default;

  DuiLib::CEventSource onClose;

 protected:
  LPCWSTR GetWindowClassName() const override { return kClassName; }
  void InitWindow() override { FindBrowser(); }
  DuiLib::CDuiString GetSkinFile() override { return L"web.xml"; }
  LRESULT OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) override;
};

}  // namespace halyx
