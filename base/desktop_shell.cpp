#include "base/desktop_shell.h"

#include <windows.h>
#include <exdisp.h>
#include <oleauto.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <wrl/client.h>

#include <spdlog/spdlog.h>

#include "base/com_for_call.h"
#include "base/error_code.h"
#include "base/scoped_bstr.h"
#include "base/scoped_variant.h"
#include "base/unique_handle.h"

namespace halyx {
namespace {

using Microsoft::WRL::ComPtr;

// The desktop's IShellDispatch2, which lives in Explorer's process; S_FALSE
// when the shell has no desktop window registered.
HRESULT DesktopShellDispatch(ComPtr<IShellDispatch2>& shell) {
  ComPtr<IShellWindows> windows;
  HRESULT hr = ::CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                  reinterpret_cast<void**>(windows.GetAddressOf()));
  if (hr == REGDB_E_CLASSNOTREG || hr == CO_E_SERVER_EXEC_FAILURE) return S_FALSE;
  if (FAILED(hr)) return hr;
  ScopedVariant location;
  V_VT(location.get()) = VT_I4;
  V_I4(location.get()) = CSIDL_DESKTOP;
  ScopedVariant root;
  long window = 0;
  ComPtr<IDispatch> desktop;
  hr = windows->FindWindowSW(location.get(), root.get(), SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                             desktop.GetAddressOf());
  if (hr != S_OK || !desktop) return FAILED(hr) ? hr : S_FALSE;
  ComPtr<IServiceProvider> provider;
  ComPtr<IShellBrowser> browser;
  ComPtr<IShellView> view;
  ComPtr<IDispatch> background;
  ComPtr<IShellFolderViewDual> folderView;
  ComPtr<IDispatch> application;
  if (FAILED(hr = desktop.As(&provider)) ||
      FAILED(hr = provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                         reinterpret_cast<void**>(browser.GetAddressOf()))) ||
      FAILED(hr = browser->QueryActiveShellView(view.GetAddressOf())) ||
      FAILED(hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                      reinterpret_cast<void**>(background.GetAddressOf()))) ||
      FAILED(hr = background->QueryInterface(IID_IShellFolderViewDual,
                                             reinterpret_cast<void**>(folderView.GetAddressOf()))) ||
      FAILED(hr = folderView->get_Application(application.GetAddressOf())) ||
      FAILED(hr = application->QueryInterface(IID_IShellDispatch2, reinterpret_cast<void**>(shell.GetAddressOf())))) {
    return hr;
  }
  return S_OK;
}

}  // namespace

HRESULT OpenThroughDesktopShell(const std::wstring& target) {
  const ComForCall com;
  if (!com.usable()) return com.result();
  ComPtr<IShellDispatch2> shell;
  const HRESULT hr = DesktopShellDispatch(shell);
  if (hr != S_OK) return hr;
  const ScopedBstr file(target.c_str());
  ScopedVariant arguments;
  ScopedVariant folder;
  ScopedVariant operation;
  V_VT(operation.get()) = VT_BSTR;
  V_BSTR(operation.get()) = ::SysAllocString(L"open");
  ScopedVariant show;
  V_VT(show.get()) = VT_I4;
  V_I4(show.get()) = SW_SHOWNORMAL;
  return shell->ShellExecute(file, *arguments, *folder, *operation, *show);
}

bool ProcessIsElevated() {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &raw)) return true;
  const ProcessHandle token(raw);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof(elevation), &size)) return true;
  return elevation.TokenIsElevated != 0;
}

bool OpenAsDesktopUser(const std::wstring& target) {
  const HRESULT hr = OpenThroughDesktopShell(target);
  if (hr == S_OK) return true;
  if (hr != S_FALSE) {
    spdlog::warn("DesktopShell: ShellExecute through the desktop failed ({:#x})", HResult(hr));
    return false;
  }
  // No desktop shell to ask. This process's own shell runs what it opens
  // with this process's token: as good as the desktop's when not elevated,
  // administrator otherwise.
  if (ProcessIsElevated()) {
    spdlog::warn("DesktopShell: no desktop shell, not opened with administrator rights");
    return false;
  }
  const auto result =
      reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (result <= 32) {
    spdlog::warn("DesktopShell: ShellExecute failed ({:#x})", Win32Code(static_cast<DWORD>(result)));
    return false;
  }
  return true;
}

}  // namespace halyx
