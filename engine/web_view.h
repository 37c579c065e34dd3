// One engine view: a page, its script context, its rendering into a memory
// device context, input, and the callbacks registered by the host.
//
// The view has no window of its own. It renders the page title and the text
// of the body's block elements line by line, buttons drawn as push buttons,
// into a DIB section that the host reads through wkeGetViewDC. Loads complete
// from the message loop: the load call only starts them, and the title, URL
// and document-ready callbacks come after it has returned.
//
// Thread: GUI thread; owned by EngineHost, addressed by its id.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "engine/dev_tools_window.h"
#include "engine/html_document.h"
#include "engine/local_storage.h"
#include "engine/page_fetcher.h"
#include "engine/script_context.h"
#include "engine/wke.h"

// The text behind a wkeString: both encodings, so that either getter answers
// without converting into a buffer of unknown lifetime.
struct wkeStringImpl {
  std::string utf8;
  std::wstring wide;
};

namespace halyx::engine {

class WebView {
 public:
  struct Callbacks {
    wkePaintUpdatedCallback paint_updated = nullptr;
    void* paint_updated_param = nullptr;
    wkeTitleChangedCallback title_changed = nullptr;
    void* title_changed_param = nullptr;
    wkeURLChangedCallback url_changed = nullptr;
    void* url_changed_param = nullptr;
    wkeAlertBoxCallback alert = nullptr;
    void* alert_param = nullptr;
    wkeConfirmBoxCallback confirm = nullptr;
    void* confirm_param = nullptr;
    wkePromptBoxCallback prompt = nullptr;
    void* prompt_param = nullptr;
    wkeDocumentReadyCallback document_ready = nullptr;
    void* document_ready_param = nullptr;
  };

  explicit WebView(unsigned id);
  ~WebView();
  WebView(const WebView&) = delete;
  WebView& operator=(const WebView&) = delete;

  unsigned id() const { return id_; }
  // The handles given out are the view's id, never its address: ids are not
  // reused, so a handle kept past wkeDestroyWebView resolves to nothing
  // instead of to freed memory or to a later view at the same address.
  wkeWebView handle() const { return reinterpret_cast<wkeWebView>(static_cast<std::uintptr_t>(id_)); }
  // The script context of the current page; the view's id stands for it.
  jsExecState exec_state() const { return reinterpret_cast<jsExecState>(static_cast<std::uintptr_t>(id_)); }
  // The id behind a handle of either kind; 0 for none.
  static unsigned IdOf(const void* handle);
  ScriptContext* script() { return script_.get(); }
  // True while script of this view runs: of the current page, or of one that
  // a load replaced while it ran (native code it called is on the stack).
  bool busy() const;
  HtmlDocument& document() { return document_; }
  // The store of the current page's origin.
  const std::shared_ptr<LocalStorage>& storage() const { return storage_; }
  Callbacks& callbacks() { return callbacks_; }

  void SetTransparent(bool transparent);
  void Resize(int width, int height);
  void RepaintIfNeeded();
  HDC dc() const { return dc_.get(); }

  bool MouseEvent(unsigned message, int x, int y, unsigned flags);
  bool MouseWheel(int x, int y, int delta, unsigned flags);
  bool KeyEvent(const char* type, unsigned code, unsigned flags);
  void SetFocus(bool focused) { focused_ = focused; }
  wkeRect CaretRect() const;

  void ShowDevTools(const std::string& inspector_page);
  void SetCookieJarPath(const std::wstring& path) { cookieJarPath_ = path; }
  void SetLocalStoragePath(const std::wstring& path);
  void SetDragEnable(bool enable) { dragEnabled_ = enable; }
  // For pages loaded from now on.
  void SetScriptTimeLimit(unsigned milliseconds) { scriptTimeLimitMs_ = milliseconds; }
  // The folder whose files local pages may load (the application's folder
  // unless set), for loads started from now on.
  void SetLocalFileRoot(const std::wstring& folder) { localRoot_ = folder; }
  void Load(const std::wstring& url);

  // Services for the page's script.
  void AddConsoleLine(int level, const std::string& text);
  void Alert(const std::string& text);
  bool Confirm(const std::string& text);
  bool Prompt(const std::string& text, const std::string& default_text, std::string& result);
  void SetTitle(const std::string& title);
  // The document's text changed: render again soon.
  void ContentChanged();

 private:
  struct ButtonArea {
    RECT rect;
    int element;
  };

  void CommitPage(const PageFetcher::Page& page);
  // Frees the replaced pages' contexts whose script has unwound.
  void ReapRetiredScripts();
  void Render();
  void SchedulePaint();
  void FireTitleChanged();
  int HitButton(int x, int y) const;
  int LineHeight() const { return 20; }

  unsigned id_;
  Callbacks callbacks_;
  HtmlDocument document_;
  std::unique_ptr<ScriptContext> script_;
  std::vector<std::unique_ptr<ScriptContext>> retired_;
  std::wstring storageFolder_;
  std::shared_ptr<LocalStorage> storage_;
  std::string url_;
  unsigned loadSerial_ = 0;
  bool titleNoticePosted_ = false;
  bool titleDirty_ = false;

  int width_ = 0;
  int height_ = 0;
  bool transparent_ = false;
  bool dirty_ = true;
  bool paintPosted_ = false;
  MemoryDcHandle dc_;
  BitmapHandle bitmap_;
  HGDIOBJ oldBitmap_ = nullptr;
  FontHandle font_;
  FontHandle boldFont_;
  FontHandle titleFont_;
  std::vector<ButtonArea> buttons_;
  int pressed_ = -1;
  int scroll_ = 0;
  int contentHeight_ = 0;
  bool focused_ = false;

  std::vector<std::string> console_;
  std::unique_ptr<DevToolsWindow> devTools_;
  std::wstring cookieJarPath_;
  bool dragEnabled_ = true;
  unsigned scriptTimeLimitMs_ = ScriptContext::kDefaultTimeLimitMs;
  std::wstring localRoot_ = PageFetcher::ApplicationFolder();
};

}  // namespace halyx::engine
