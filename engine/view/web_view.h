// One engine view: a page, its script context, its rendering into a memory
// device context, input, and the callbacks registered by the host.
//
// The view has no window of its own. It styles the page (StyleResolver),
// lays it out (LayoutEngine) and paints it (Painter) into a DIB section that
// the host reads through wkeGetViewDC. Changes from script or input only mark
// the page dirty; one posted task per frame styles, lays out and paints
// whatever changed since. Input is hit-tested against the laid-out boxes and
// delivered to the page as DOM events; the view keeps hover, press and focus,
// edits the focused text field and scrolls scroll containers and the page.
// Loads complete from the message loop: the load call only starts them, and
// the title, URL and document-ready callbacks come after it has returned.
//
// The view is a facade: it holds the page's state and the host's callbacks,
// and hands the work to parts with one job each, which work on that state:
// FrameRenderer (style, layout and paint of a frame), EventDispatcher (input
// to DOM events and default actions), FocusController, TextFieldEditor,
// SelectList (the select's drop-down list), PageLoader and
// ViewAccessibility (the page's accessible object and its events).
//
// Thread: GUI thread; owned by EngineHost, addressed by its id.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "engine/platform/decoded_image.h"
#include "engine/view/dev_tools_window.h"
#include "engine/view/frame_renderer.h"
#include "engine/view/event_dispatcher.h"
#include "engine/view/focus_controller.h"
#include "engine/view/text_field_editor.h"
#include "engine/view/select_list.h"
#include "engine/view/page_loader.h"
#include "engine/view/view_accessibility.h"
#include "engine/view/fetch_gate.h"
#include "engine/view/file_picker.h"
#include "engine/layout/font_cache.h"
#include "engine/dom/html_document.h"
#include "engine/layout/layout_engine.h"
#include "engine/platform/local_storage.h"
#include "engine/paint/painter.h"
#include "engine/view/select_popup.h"
#include "engine/style/selector_matcher.h"
#include "engine/style/style_resolver.h"
#include "engine/net/page_fetcher.h"
#include "engine/script/script_context.h"
#include "engine/script/script_host.h"
#include "engine/wke.h"

// The text behind a wkeString: both encodings, so that either getter answers
// without converting into a buffer of unknown lifetime.
struct wkeStringImpl {
  std::string utf8;
  std::wstring wide;
};

namespace halyx::engine {

class WebView : public ScriptHost {
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
  HtmlDocument& document() override { return document_; }
  // The store of the current page's origin.
  const std::shared_ptr<LocalStorage>& storage() const override { return storage_; }
  Callbacks& callbacks() { return callbacks_; }
  // What each of the view's tables and caches holds, one "<owner> <figure>"
  // line each (see wkeQueryMemory); one pass over them, for benchmarks.
  std::string MemoryFigures() const;
  // What screen readers see of the page and the events they follow.
  ViewAccessibility& accessibility() { return accessibility_; }

  void SetTransparent(bool transparent);
  // `width` and `height` are device pixels, the size of the bitmap; the page
  // is laid out at that size divided by scale(). Also takes up a change of
  // the host window's DPI.
  void Resize(int width, int height);
  // The window the view is shown in, whose DPI gives the scale when the
  // host has enabled high-DPI support.
  void SetHostWindow(HWND window);
  // Paints at `dpi` whatever the host window (0: follow the window again);
  // for tests, benchmarks and pictures of a page at a given scale.
  void SetDpiOverride(int dpi);
  // Device pixels per CSS pixel: 1 at 96 DPI, 1.5 at 144.
  float scale() const { return scale_; }
  void RepaintIfNeeded();
  HDC dc() const { return dc_.get(); }

  // The point is in device pixels, as the host's window has it.
  bool MouseEvent(unsigned message, int x, int y, unsigned flags);
  bool MouseWheel(int x, int y, int delta, unsigned flags);
  // `system`: a key pressed with Alt (WM_SYSKEYDOWN and the like).
  bool KeyEvent(const char* type, unsigned code, unsigned flags, bool system = false);
  void SetFocus(bool focused);
  // In device pixels, for placing the input method's window.
  wkeRect CaretRect();
  // The system cursor (an IDC_* id) for the element under the pointer, from
  // its CSS cursor; "auto" gives the I-beam over text fields and the hand
  // over links.
  int CursorId() const;

  // The layout as it stands after every pending change (styled and laid out
  // now if need be), for script queries and the engine's tests.
  const LayoutResult& CurrentLayout();
  // The element's border box in CSS pixels of the view; false for none.
  bool ElementRect(int element, float rect[4]) override;
  const InteractionState& interaction() const override { return interaction_; }
  bool loaded() const override { return loaded_; }
  int width() const override { return width_; }
  int height() const override { return height_; }
  // Scroll position and scrollable height of an element (0: the page).
  void ScrollMetrics(int element, float& top, float& height) override;
  void ScrollTo(int element, float top) override;
  // Moves focus (-1: none), firing blur and focus.
  void Focus(int element) override;
  void NodeRemoved(int node) override;
  void ValueSetByScript(int element) override;

  void ShowDevTools(const std::string& inspector_page);
  void SetCookieJarPath(const std::wstring& path) { cookieJarPath_ = path; }
  void SetLocalStoragePath(const std::wstring& path);
  void SetDragEnable(bool enable) { dragEnabled_ = enable; }
  // How often, at most, reclaiming nodes asks the interpreter which
  // detached nodes script still reaches (a collection each time).
  void SetNodeSweepInterval(unsigned milliseconds) { sweepIntervalMs_ = milliseconds; }
  // For pages loaded from now on.
  void SetScriptTimeLimit(unsigned milliseconds) { scriptTimeLimitMs_ = milliseconds; }
  // The folder whose files local pages may load (the application's folder
  // unless set), for loads started from now on.
  void SetLocalFileRoot(const std::wstring& folder) { localRoot_ = folder; }
  void Load(const std::wstring& url);

  // Lines the console keeps; older ones go (a page that logs on every event
  // would otherwise grow it for as long as it lives).
  static constexpr std::size_t kMaxConsoleLines = DevToolsWindow::kMaxLines;

  // Services for the page's script.
  void AddConsoleLine(int level, const std::string& text) override;
  void Alert(const std::string& text) override;
  bool Confirm(const std::string& text) override;
  bool Prompt(const std::string& text, const std::string& default_text, std::string& result) override;
  // The save dialog (owned by the thread's active window), suggesting
  // `name` with the extension of the blob's MIME `type`; writes `bytes` to
  // the file the person picks (see SaveTarget). Only for the main view and
  // from a click or key handler, once per click or key. False when refused,
  // cancelled or not written (one console line).
  bool SaveFile(const std::string& name, const std::string& type, const void* bytes, std::size_t size) override;
  // The view of the client's own page, which may save files; for pages
  // loaded from now on.
  void SetMainView(bool main) { mainView_ = main; }
  bool main_view() const override { return mainView_; }
  // Ends the current click's or key's permission (timers run without one),
  // answering whether there was one; RestoreActivation gives it back.
  bool TakeActivation() override;
  void RestoreActivation(bool activation) override { activation_ = activation; }
  // fetch() and file inputs: see FetchGate and FilePicker.
  std::string Fetch(int request, const std::string& method, const std::string& url, const std::string& body,
                    const std::string& content_type) override {
    return fetch_.Start(request, method, url, body, content_type);
  }
  bool PickedFile(int element, int& pick, std::string& name, double& size) override {
    return picker_.PickOf(element, pick, name, size);
  }
  std::string ReadPickedFile(int request, int pick) override { return picker_.Read(request, pick); }
  // How long a fetch may take in all (tests shorten it).
  void SetFetchDeadline(unsigned milliseconds) { fetch_.SetDeadline(milliseconds); }
  void SetTitle(const std::string& title) override;
  const std::string& url() const override { return url_; }
  // The document's text changed: render again soon.
  void ContentChanged() override;
  UINT_PTR SetScriptTimer(unsigned milliseconds, std::function<bool(ScriptContext&)> fire) override;
  void KillScriptTimer(UINT_PTR timer) override;
  bool PostScriptTask(std::function<void(ScriptContext&)> task) override;

 private:
  // Frees the detached subtrees that neither script nor the view (hover,
  // press, focus, the open list) holds; after a frame, never while script
  // runs.
  void ReclaimNodes();
  void SchedulePaint();
  void FireTitleChanged();
  // A device-sized DIB section selected into dc_; false when GDI refuses.
  bool CreateBitmap(int width, int height);

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

  // The page's viewport in CSS pixels; the bitmap's size in device pixels.
  int width_ = 0;
  int height_ = 0;
  int deviceWidth_ = 0;
  int deviceHeight_ = 0;
  float scale_ = 1.0f;
  HWND hostWindow_ = nullptr;
  int dpiOverride_ = 0;
  bool transparent_ = false;
  bool dirty_ = true;
  bool paintPosted_ = false;
  MemoryDcHandle dc_;
  BitmapHandle bitmap_;
  HGDIOBJ oldBitmap_ = nullptr;
  void* bits_ = nullptr;
  StyleResolver styles_;
  FontCache fonts_;
  std::vector<ComputedStyle> computed_;
  LayoutResult layout_;
  // What the bitmap shows, to repaint only what changed.
  std::vector<ComputedStyle> paintedStyles_;
  LayoutResult paintedLayout_;
  EditState paintedEdit_;
  bool fullPaint_ = true;
  Painter::Clip lastDamage_{0, 0, 0, 0};
  unsigned styledVersion_ = 0;
  bool styleDirty_ = true;  // everything
  std::vector<int> restyleRoots_;
  std::vector<int> restyleAlone_;
  // Since the last paint: whether everything was styled or laid out again
  // (the paint then compares every box and style), else the elements whose
  // style or attributes changed (only they are compared and repainted).
  bool compareAll_ = true;
  std::vector<int> repaint_;
  bool layoutDirty_ = true;
  InteractionState interaction_;
  EditState edit_;
  std::map<int, float> scrolls_;  // by element; 0 is the page
  DecodedImages images_;          // the page's pictures, by src as written
  int pressed_ = -1;
  std::string focusValue_;  // the focused field's value when it got focus
  SelectPopup popup_;
  SelectPopup paintedPopup_;     // as the bitmap shows it
  bool swallowRelease_ = false;  // the press that closed the list is not the page's
  bool focusRing_ = false;       // the focus came from the keyboard: it shows a ring
  bool focused_ = false;
  bool loaded_ = false;
  bool mainView_ = false;
  bool activation_ = false;  // a click or key handler runs

  unsigned sweepIntervalMs_ = 1000;
  ULONGLONG lastSweep_ = 0;

  // The last kMaxConsoleLines lines, oldest first.
  std::deque<std::string> console_;
  std::unique_ptr<DevToolsWindow> devTools_;
  std::wstring cookieJarPath_;
  bool dragEnabled_ = true;
  unsigned scriptTimeLimitMs_ = ScriptContext::kDefaultTimeLimitMs;
  std::wstring localRoot_ = PageFetcher::ApplicationFolder();

  // The parts that do the view's work, on the state above.
  FrameRenderer renderer_{*this};
  EventDispatcher events_{*this};
  FocusController focus_{*this};
  TextFieldEditor editor_{*this};
  SelectList selectList_{*this};
  PageLoader loader_{*this};
  ViewAccessibility accessibility_{*this};
  FetchGate fetch_{*this};
  FilePicker picker_{*this};

  friend class FrameRenderer;
  friend class EventDispatcher;
  friend class FocusController;
  friend class TextFieldEditor;
  friend class SelectList;
  friend class PageLoader;
  friend class ViewAccessibility;
  friend class FetchGate;
  friend class FilePicker;
};

}  // namespace halyx::engine
