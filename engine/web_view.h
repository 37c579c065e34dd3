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
  wkeWebView handle() { return reinterpret_cast<wkeWebView>(this); }
  // The script context of the current page; the view itself stands for it.
  jsExecState exec_state() { return reinterpret_cast<jsExecState>(this); }
  ScriptContext* script() { return script_.get(); }
  HtmlDocument& document() { return document_; }
  LocalStorage& storage() { return storage_; }
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
  void SetLocalStoragePath(const std::wstring& path) { storage_.Open(path); }
  void SetDragEnable(bool enable) { dragEnabled_ = enable; }
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
  void Render();
  void SchedulePaint();
  void FireTitleChanged();
  int HitButton(int x, int y) const;
  int LineHeight() const { return 20; }

  unsigned id_;
  Callbacks callbacks_;
  HtmlDocument document_;
  std::unique_ptr<ScriptContext> script_;
  LocalStorage storage_;
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
};

}  // namespace halyx::engine
