#include "support/engine_page.h"

#include "base/utf8.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

BOOL CALLBACK FindDevTools(HWND window, LPARAM found) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  if (std::wstring(name) != WKE_DEVTOOLS_WINDOW_CLASS) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

}  // namespace

EnginePage::EnginePage() {
  if (!::wkeInitialize()) return;
  view_ = ::wkeCreateWebView();
  ::wkeResize(view_, 640, 480);
  ::wkeOnDocumentReady(view_, &EnginePage::OnReady, this);
  // The test's folder stands in for the application's as the one whose
  // files local pages may load.
  ::wkeSetDebugConfig(view_, "localFileRoot", WideToUtf8(dir_.path()).c_str());
}

EnginePage::~EnginePage() { DestroyView(); }

void EnginePage::DestroyView() {
  if (view_ == nullptr) return;
  ::wkeDestroyWebView(view_);
  view_ = nullptr;
}

HWND EnginePage::DevToolsWindow() const {
  HWND tools = nullptr;
  ::EnumThreadWindows(::GetCurrentThreadId(), &FindDevTools, reinterpret_cast<LPARAM>(&tools));
  return tools;
}

std::vector<std::wstring> EnginePage::ConsoleLines() const {
  ::wkeSetDebugConfig(view_, "showDevTools", "console");
  HWND tools = DevToolsWindow();
  HWND list = tools != nullptr ? ::GetWindow(tools, GW_CHILD) : nullptr;
  std::vector<std::wstring> lines;
  if (list == nullptr) return lines;
  const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    std::wstring line(static_cast<std::size_t>(::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0)) + 1,
                      L'\0');
    line.resize(static_cast<std::size_t>(
        ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(line.data()))));
    lines.push_back(line);
  }
  return lines;
}

void WKE_CALL_TYPE EnginePage::OnReady(wkeWebView, void* param) { ++static_cast<EnginePage*>(param)->readyCount_; }

bool EnginePage::WriteFile(const std::wstring& name, const std::string& contents) const {
  return WriteWholeFile(dir_.path() + L"\\" + name, contents);
}

bool EnginePage::Load(const std::string& html) {
  if (view_ == nullptr || !WriteFile(L"page.html", html)) return false;
  const int before = readyCount_;
  ::wkeLoadFileW(view_, (dir_.path() + L"\\page.html").c_str());
  return PumpMessagesUntil([&] { return readyCount_ > before; });
}

std::string EnginePage::Eval(const std::string& script) const {
  jsExecState state = es();
  return ::jsToTempString(state, ::jsEval(state, script.c_str()));
}

bool EnginePage::ElementRect(const std::string& selector, wkeRect& rect) const {
  // Not part of the client's API: looked up in the loaded engine.
  HMODULE engine = ::GetModuleHandleW(L"wke.dll");
  auto query = engine != nullptr ? reinterpret_cast<wkeQueryElementRectFunction>(
                                       reinterpret_cast<void*>(::GetProcAddress(engine, WKE_QUERY_ELEMENT_RECT_NAME)))
                                 : nullptr;
  return query != nullptr && query(view_, selector.c_str(), &rect);
}

int EnginePage::NodeCount() const {
  HMODULE engine = ::GetModuleHandleW(L"wke.dll");
  auto query = engine != nullptr ? reinterpret_cast<wkeQueryNodeCountFunction>(
                                       reinterpret_cast<void*>(::GetProcAddress(engine, WKE_QUERY_NODE_COUNT_NAME)))
                                 : nullptr;
  return query != nullptr ? query(view_) : -1;
}

COLORREF EnginePage::Pixel(int x, int y) const {
  ::wkeRepaintIfNeeded(view_);
  return ::GetPixel(::wkeGetViewDC(view_), x, y);
}

}  // namespace halyx::testing
