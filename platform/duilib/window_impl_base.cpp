#include "platform/duilib/window_impl_base.h"

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "platform/duilib/skin_archive.h"

namespace DuiLib {

namespace {

// Posted at the end of WM_CREATE: "windowinit" must reach notifiers that the
// creator registers after Create returns.
UINT WindowInitMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"DuiLib.WindowInit");
  return message;
}

bool IsAbsolutePath(const CDuiString& path) {
  const wchar_t first = path.GetAt(0);
  if ((first == L'\\' || first == L'/') && (path.GetAt(1) == L'\\' || path.GetAt(1) == L'/')) {
    return true;  // UNC
  }
  return path.GetAt(1) == L':' && (path.GetAt(2) == L'\\' || path.GetAt(2) == L'/');
}

CDuiString WithTrailingSlash(CDuiString folder) {
  if (!folder.IsEmpty() && folder.Right(1) != L"\\" && folder.Right(1) != L"/") folder += L'\\';
  return folder;
}

}  // namespace

WindowImplBase::~WindowImplBase() { DestroyDetached(); }

void WindowImplBase::Notify(TNotifyUI& msg) { (void)msg; }

CControlUI* WindowImplBase::CreateControl(LPCWSTR className) {
  (void)className;
  return nullptr;
}

LRESULT WindowImplBase::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)lParam;
  if (msg == WM_KEYDOWN && (wParam == VK_RETURN || wParam == VK_ESCAPE)) {
    const LRESULT answer = ResponseDefaultKeyEvent(wParam);
    handled = answer != FALSE;
    return answer;
  }
  return 0;
}

LRESULT WindowImplBase::ResponseDefaultKeyEvent(WPARAM key) {
  if (key == VK_ESCAPE) {
    Close(IDCANCEL);
    return TRUE;
  }
  return FALSE;
}

void WindowImplBase::OnFinalMessage(HWND hwnd) {
  (void)hwnd;
  paintManager_.RemoveMessageFilter(this);
  paintManager_.RemoveNotifier(this);
  paintManager_.RemoveAllControls();
  paintManager_.Init(nullptr);
  windowInitSent_ = false;
}

bool WindowImplBase::LoadSkin() {
  CDuiString folder = GetSkinFolder();
  if (!IsAbsolutePath(folder)) folder = CPaintManagerUI::GetInstancePath() + folder;
  folder = WithTrailingSlash(folder);
  const UINT type = GetResourceType();
  if (type == kResourceTypeZip) {
    auto archive = std::make_shared<CSkinArchive>();
    if (!archive->Open((folder + GetZIPFileName()).str())) return false;
    paintManager_.SetResourceArchive(std::move(archive));
  } else if (type == kResourceTypeFile) {
    paintManager_.SetResourceFolder(folder);
  } else {
    spdlog::error("DuiLib: skin resource type {} is not supported", type);
    return false;
  }
  const CDuiString skinFile = GetSkinFile();
  std::string xml;
  if (!paintManager_.ReadResource(skinFile, &xml)) return false;
  return CDialogBuilder::Build(xml, skinFile.str(), this, &paintManager_);
}

LRESULT WindowImplBase::OnCreate(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = true;
  paintManager_.Init(GetHWND());
  paintManager_.AddNotifier(this);
  paintManager_.AddMessageFilter(this);
  // -1 makes CreateWindowEx fail and destroy the window again.
  if (!LoadSkin()) return -1;
  paintManager_.Layout();
  InitWindow();
  if (!PostMessage(WindowInitMessage())) {
    spdlog::error("DuiLib: windowinit not queued ({:#x})", halyx::LastError());
  }
  return 0;
}

LRESULT WindowImplBase::OnClose(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = false;
  return 0;
}

LRESULT WindowImplBase::OnDestroy(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = false;
  return 0;
}

LRESULT WindowImplBase::OnSize(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = false;
  return 0;
}

LRESULT WindowImplBase::OnGetMinMaxInfo(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = false;
  return 0;
}

LRESULT WindowImplBase::HandleCustomMessage(UINT msg, WPARAM wParam, LPARAM lParam, bool& handled) {
  (void)msg;
  (void)wParam;
  (void)lParam;
  handled = false;
  return 0;
}

LRESULT WindowImplBase::HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  bool handled = true;
  if (msg == WM_CREATE) {
    result = OnCreate(msg, wParam, lParam, handled);
    if (handled) return result;
  } else if (msg == WindowInitMessage()) {
    if (!windowInitSent_ && paintManager_.GetPaintWindow() != nullptr) {
      windowInitSent_ = true;
      paintManager_.SendNotify(nullptr, L"windowinit");
    }
    return 0;
  } else if (paintManager_.MessageHandler(msg, wParam, lParam, result)) {
    return result;
  }

  handled = true;
  switch (msg) {
    case WM_CLOSE:
      result = OnClose(msg, wParam, lParam, handled);
      break;
    case WM_DESTROY:
      result = OnDestroy(msg, wParam, lParam, handled);
      break;
    case WM_SIZE:
      result = OnSize(msg, wParam, lParam, handled);
      break;
    case WM_GETMINMAXINFO:
      result = OnGetMinMaxInfo(msg, wParam, lParam, handled);
      break;
    default:
      handled = false;
      break;
  }
  if (handled) return result;
  handled = false;
  result = HandleCustomMessage(msg, wParam, lParam, handled);
  if (handled) return result;
  return CWindowWnd::HandleMessage(msg, wParam, lParam);
}

}  // namespace DuiLib
