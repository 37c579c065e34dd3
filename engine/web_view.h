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
// Thread: GUI thread; owned by EngineHost, addressed by its id.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_handle.h"
#include "engine/decoded_image.h"
#include "engine/dev_tools_window.h"
#include "engine/font_cache.h"
#include "engine/html_document.h"
#include "engine/layout_engine.h"
#include "engine/local_storage.h"
#include "engine/painter.h"
#include "engine/select_popup.h"
#include "engine/selector_matcher.h"
#include "engine/style_resolver.h"
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
  // `system`: a key pressed with Alt (WM_SYSKEYDOWN and the like).
  bool KeyEvent(const char* type, unsigned code, unsigned flags, bool system = false);
  void SetFocus(bool focused);
  wkeRect CaretRect();
  // The system cursor (an IDC_* id) for the element under the pointer, from
  // its CSS cursor; "auto" gives the I-beam over text fields and the hand
  // over links.
  int CursorId() const;

  // The layout as it stands after every pending change (styled and laid out
  // now if need be), for script queries and the engine's tests.
  const LayoutResult& CurrentLayout();
  // The element's border box in view coordinates; false for none.
  bool ElementRect(int element, float rect[4]);
  const InteractionState& interaction() const { return interaction_; }
  bool loaded() const { return loaded_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // Scroll position and scrollable height of an element (0: the page).
  void ScrollMetrics(int element, float& top, float& height);
  void ScrollTo(int element, float top);
  // Moves focus (-1: none), firing blur and focus.
  void Focus(int element);
  void NodeRemoved(int node);
  void ValueSetByScript(int element);

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
  void AddConsoleLine(int level, const std::string& text);
  void Alert(const std::string& text);
  bool Confirm(const std::string& text);
  bool Prompt(const std::string& text, const std::string& default_text, std::string& result);
  // The save dialog (owned by the thread's active window), suggesting
  // `name` with the extension of the blob's MIME `type`; writes `bytes` to
  // the file the person picks (see SaveTarget). Only for the main view and
  // from a click or key handler, once per click or key. False when refused,
  // cancelled or not written (one console line).
  bool SaveFile(const std::string& name, const std::string& type, const void* bytes, std::size_t size);
  // The view of the client's own page, which may save files; for pages
  // loaded from now on.
  void SetMainView(bool main) { mainView_ = main; }
  bool main_view() const { return mainView_; }
  // Ends the current click's or key's permission (timers run without one),
  // answering whether there was one; RestoreActivation gives it back.
  bool TakeActivation();
  void RestoreActivation(bool activation) { activation_ = activation; }
  // The user's interface language as a locale name ("en-US", "zh-CN").
  static std::string UserLanguage();
  void SetTitle(const std::string& title);
  const std::string& url() const { return url_; }
  // The document's text changed: render again soon.
  void ContentChanged();

 private:
  void CommitPage(const PageFetcher::Page& page);
  // Frees the replaced pages' contexts whose script has unwound.
  void ReapRetiredScripts();
  void Render();
  // Frees the detached subtrees that neither script nor the view (hover,
  // press, focus, the open list) holds; after a frame, never while script
  // runs.
  void ReclaimNodes();
  void SchedulePaint();
  void FireTitleChanged();
  // Styles and lays out what changed since the last time: the subtrees of
  // changed elements and of those whose hover, press or focus changed, and
  // the layout only when a change reaches it.
  void UpdateLayout();
  // Notes what to style again when a pseudo-class moves from `old` to `now`
  // (-1: none): the elements whose state changed, alone, when only subjects
  // test it; else their subtrees (for :hover and :active, which hold for
  // ancestors too, everything below where the two chains meet).
  void RestyleForState(int old, int now, std::uint8_t pseudo);
  // Notes an element to style again with its subtree, or `alone`.
  void Restyle(int element, bool alone = false);
  // The area whose painting differs from the last paint's: boxes, runs or
  // paint-relevant styles that changed, and the edited field.
  Painter::Clip Damage() const;
  void LoadStyleSheets(const PageFetcher::Page& page);
  // Decodes the pictures the fetcher brought, within a pixel budget per page.
  void LoadImages(const PageFetcher::Page& page);
  // The element's computed style; the initial style for an index the styles
  // have no entry for.
  const ComputedStyle& StyleOf(int element) const;
  // The topmost element under the point, or -1.
  int HitTest(float x, float y);
  int HitTestIn(int element, float x, float y, const Painter::Clip& clip);
  void SetHover(int element);
  int Fire(int target, const char* type, const ScriptContext::EventInit& init);
  bool IsTextField(int element) const;
  // The element's place in the keyboard's focus order: its tabindex, 0 for
  // controls and links, -1 for none (not reached by Tab).
  int TabIndex(int element) const;
  // An a element with an href: focusable, followed by Enter, shown with the hand.
  bool IsLink(int element) const;
  // Whether a press (or script) can focus it: in the tab order, or with any
  // tabindex.
  bool IsFocusable(int element) const;
  // Whether the key clicks the focused element (Enter on buttons and links,
  // Space on buttons, checkboxes and radio buttons).
  bool KeyActivates(int element, unsigned code, bool repeat) const;
  // Tab and Shift+Tab: focus the next or previous element of the tab order,
  // wrapping around, and scroll it into view.
  void MoveFocus(bool backward);
  void ScrollIntoView(int element);
  // A click on the element from the mouse or the keyboard: checkboxes and
  // radio buttons toggle first (undone if a listener prevents it), then
  // click, input and change fire. Answers the click's dispatch result.
  int Activate(int target, const ScriptContext::EventInit& init);
  // The drop-down list of a select: opening it, closing it, and choosing an
  // option (input and change fire when the choice changed).
  void OpenPopup(int select);
  void ClosePopup();
  void ChooseOption(int select, int option);
  // Mouse and keys while the list is open (or its closing press's release
  // is due): they go to the list, not the page.
  bool PopupMouse(unsigned message, int x, int y);
  void PopupKey(unsigned code, bool shift, bool alt);
  // Keys on a focused, closed select: open it, or step its choice; false
  // when the key is not one of them.
  bool SelectKey(int select, unsigned code, bool alt, bool repeat);
  // Editing of the focused text field; true when the key was used.
  bool EditKey(unsigned code, bool shift, bool ctrl);
  void InsertText(const std::wstring& text);
  std::wstring FieldText() const;
  void SetFieldText(const std::wstring& text);
  // The value's offset nearest the point in the field (the line under it,
  // for a textarea).
  int CaretFromPoint(int element, float x, float y);

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
};

}  // namespace halyx::engine
