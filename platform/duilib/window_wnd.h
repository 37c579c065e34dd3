// A native window owned by a C++ object: the object registers the window
// class it names, creates the window, and receives its messages through the
// virtual HandleMessage.
//
//   class TrayIconWnd : public CWindowWnd {
//     LPCWSTR GetWindowClassName() const override { return L"TrayIconWindow"; }
//     LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp) override {
//       ...
//       return CWindowWnd::HandleMessage(msg, wp, lp);  // default handling
//     }
//   };
//   wnd.Create(nullptr, L"", 0, 0);
//
// OnFinalMessage runs exactly once per window, after WM_NCDESTROY, however
// the window went (Close, DestroyWindow, a failed WM_CREATE); the window
// handle is already cleared then, and the object may delete itself there.
// Destroying the object while its window still exists destroys the window
// too, without calling back into the half-destroyed object.
//
// Thread: the GUI thread that created the window.
#pragma once

#include <windows.h>

namespace DuiLib {

class CWindowWnd {
 public:
  CWindowWnd() = default;
  virtual ~CWindowWnd();
  CWindowWnd(const CWindowWnd&) = delete;
  CWindowWnd& operator=(const CWindowWnd&) = delete;

  HWND GetHWND() const { return hwnd_; }
  operator HWND() const { return hwnd_; }

  // Registers the class (once per class name and module) and creates the
  // window; `cx`, `cy` are the outer size. Null, after one error line, on
  // failure, and also when a window already exists for this object.
  HWND Create(HWND parent, LPCWSTR title, DWORD style, DWORD exStyle, int x = CW_USEDEFAULT, int y = CW_USEDEFAULT,
              int cx = CW_USEDEFAULT, int cy = CW_USEDEFAULT, HMENU menu = nullptr);
  HWND Create(HWND parent, LPCWSTR title, DWORD style, DWORD exStyle, const RECT& rc, HMENU menu = nullptr);

  // Shows (normal, activated when `takeFocus`) or hides.
  void ShowWindow(bool show = true, bool takeFocus = true);
  // Asks the window to close (WM_CLOSE with `code` as wParam, posted).
  void Close(UINT code = IDOK);
  // Centres over the owner window when there is a visible one, else on the
  // work area of the monitor the window is on; kept inside that work area.
  void CenterWindow();
  // Sets the client area to `cx` x `cy` (a negative value keeps that
  // dimension), keeping the top-left corner.
  void ResizeClient(int cx = -1, int cy = -1);
  // The same for any window.
  static void ResizeClientOf(HWND hwnd, int cx, int cy);
  // Big and small icon from the icon group resource `id` of
  // CPaintManagerUI::GetInstance(). A missing resource logs one warning.
  void SetIcon(UINT id);

  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
  bool PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);

  // Default handling: DefWindowProcW.
  virtual LRESULT HandleMessage(UINT msg, WPARAM wParam, LPARAM lParam);

 protected:
  virtual LPCWSTR GetWindowClassName() const = 0;
  virtual UINT GetClassStyle() const { return 0; }
  virtual void OnFinalMessage(HWND hwnd) { (void)hwnd; }

  // Cuts the window off from this object and destroys it; for destructors
  // of derived classes, whose overrides must no longer be called.
  void DestroyDetached();

 private:
  bool RegisterWindowClass();
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
};

}  // namespace DuiLib
