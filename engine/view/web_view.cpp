#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/platform/window_dpi.h"
#include "engine/net/save_target.h"
#include "base/gdi_selection.h"
#include "base/heap_bytes.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

wkeStringImpl MakeString(const std::string& text) { return wkeStringImpl{text, Utf8ToWide(text)}; }

}  // namespace

unsigned WebView::IdOf(const void* handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  // A 64-bit value beyond the ids handed out names no view.
  if constexpr (sizeof(value) > sizeof(unsigned)) {
    if (value >> 31 >> 1 != 0) return 0;
  }
  return static_cast<unsigned>(value);
}

WebView::WebView(unsigned id) : id_(id) {
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  // An empty page until the first load, so that script calls have a context.
  script_ = std::make_unique<ScriptContext>(*this, exec_state(), scriptTimeLimitMs_);
  Resize(1, 1);
}

WebView::~WebView() {
  // The page's native objects are finalized while the view still stands.
  retired_.clear();
  script_.reset();
  if (dc_ && oldBitmap_ != nullptr) ::SelectObject(dc_.get(), oldBitmap_);
}

namespace {

std::size_t StyleBytes(const std::vector<ComputedStyle>& styles) {
  std::size_t bytes = HeapBytesOf(styles);
  for (const ComputedStyle& style : styles) {
    bytes += HeapBytesOf(style.font_family) + HeapBytesOf(style.cursor) + HeapBytesOf(style.gradient.stops);
  }
  return bytes;
}

std::size_t LayoutBytes(const LayoutResult& layout) {
  std::size_t bytes = HeapBytesOf(layout.boxes) + HeapBytesOf(layout.runs) + HeapBytesOf(layout.firstRun) +
                      HeapBytesOf(layout.runCount);
  for (const TextRun& run : layout.runs) bytes += HeapBytesOf(run.text);
  return bytes;
}

}  // namespace

std::string WebView::MemoryFigures() const {
  std::string out;
  auto line = [&out](const char* name, std::size_t value) {
    out += name;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
  };
  line("document slots", document_.size());
  line("document live", document_.live());
  line("document bytes", document_.ApproximateBytes());
  std::size_t retired_heap = 0;
  for (const auto& retired : retired_) retired_heap += retired->heap_bytes();
  line("script heap", script_ ? script_->heap_bytes() : 0);
  line("script tables", script_ ? script_->ApproximateBytes() : 0);
  line("script retired", retired_heap);
  line("fonts count", fonts_.font_count());
  line("fonts words", fonts_.word_count());
  line("fonts bytes", fonts_.ApproximateBytes());
  line("styles bytes", StyleBytes(computed_) + StyleBytes(paintedStyles_));
  line("layout runs", layout_.runs.size());
  line("layout bytes", LayoutBytes(layout_) + LayoutBytes(paintedLayout_));
  std::size_t console_bytes = 0;
  for (const std::string& text : console_) console_bytes += sizeof(std::string) + HeapBytesOf(text);
  line("console lines", console_.size());
  line("console bytes", console_bytes);
  line("view lists", scrolls_.size() + restyleRoots_.size() + restyleAlone_.size() + repaint_.size());
  line("accessibility ids", accessibility_.id_count());
  return out;
}

void WebView::SetTransparent(bool transparent) {
  transparent_ = transparent;
  fullPaint_ = true;
  SchedulePaint();
}

void WebView::SetHostWindow(HWND window) {
  // The host places its view on every move; only a new window can change
  // the scale.
  if (window == hostWindow_) return;
  hostWindow_ = window;
  Resize(deviceWidth_, deviceHeight_);
}

void WebView::SetDpiOverride(int dpi) {
  dpiOverride_ = std::clamp(dpi, 0, 5 * WindowDpi::kDefault);
  Resize(deviceWidth_, deviceHeight_);
}

void WebView::Resize(int width, int height) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  int dpi = dpiOverride_;
  if (dpi <= 0) {
    const EngineHost* host = EngineHost::Instance();
    dpi = host != nullptr && host->high_dpi() ? WindowDpi::Of(hostWindow_) : WindowDpi::kDefault;
  }
  // Windows offers 100 % to 500 %; a stranger answer is held to what a
  // layout can still be made of.
  const float scale = static_cast<float>(std::clamp(dpi, WindowDpi::kDefault / 2, 5 * WindowDpi::kDefault)) /
                      static_cast<float>(WindowDpi::kDefault);
  if (dc_ && width == deviceWidth_ && height == deviceHeight_ && scale == scale_) return;
  if (!dc_) dc_.reset(::CreateCompatibleDC(nullptr));
  if (!dc_) return;
  if (width != deviceWidth_ || height != deviceHeight_ || !bitmap_) {
    if (!CreateBitmap(width, height)) return;
  }
  deviceWidth_ = width;
  deviceHeight_ = height;
  scale_ = scale;
  width_ = std::max(1, static_cast<int>(std::lround(static_cast<float>(width) / scale)));
  height_ = std::max(1, static_cast<int>(std::lround(static_cast<float>(height) / scale)));
  layoutDirty_ = true;
  fullPaint_ = true;
  dirty_ = true;
  popup_.Close();
  SchedulePaint();
}

bool WebView::CreateBitmap(int width, int height) {
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  BitmapHandle bitmap(::CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap) return false;
  HGDIOBJ previous = ::SelectObject(dc_.get(), bitmap.get());
  if (oldBitmap_ == nullptr) oldBitmap_ = previous;
  bitmap_ = std::move(bitmap);
  bits_ = bits;
  return true;
}

void WebView::RepaintIfNeeded() {
  if (dirty_) renderer_.Render();
}

void WebView::ContentChanged() { SchedulePaint(); }

void WebView::ReclaimNodes() {
  if (!document_.HasDetached() || busy()) return;
  const ULONGLONG now = ::GetTickCount64();
  if (script_ && now - lastSweep_ >= sweepIntervalMs_) {
    lastSweep_ = now;
    script_->SweepWrappers();
  }
  const std::vector<int>& options = popup_.options();
  auto held = [&](int node) {
    return node == interaction_.hover || node == interaction_.active || node == interaction_.focus ||
           node == pressed_ || node == edit_.focus || node == paintedEdit_.focus || node == popup_.select() ||
           std::find(options.begin(), options.end(), node) != options.end() || (script_ && script_->Wrapped(node));
  };
  for (int node : document_.Reclaim(held)) {
    const auto k = static_cast<std::size_t>(node);
    if (k < computed_.size()) computed_[k] = ComputedStyle{};
    if (k < paintedStyles_.size()) paintedStyles_[k] = ComputedStyle{};
    scrolls_.erase(node);
  }
}

void WebView::SchedulePaint() {
  dirty_ = true;
  if (paintPosted_) return;
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return;
  const unsigned id = id_;
  paintPosted_ = host->PostTask([id]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    if (view == nullptr) return;
    view->paintPosted_ = false;
    // Screen readers hear what changed also when the host painted the frame
    // itself (wkeRepaintIfNeeded). A hook in this process runs inside the
    // notice and may destroy the view.
    view->accessibility_.AfterFrame();
    view = EngineHost::Instance()->FindView(id);
    if (view == nullptr || !view->dirty_) return;
    view->renderer_.Render();
    const Painter::Clip damage = view->lastDamage_;
    if (view->callbacks_.paint_updated != nullptr && damage.right > damage.left && damage.bottom > damage.top) {
      view->callbacks_.paint_updated(view->handle(), view->callbacks_.paint_updated_param, view->dc_.get(), damage.left,
                                     damage.top, damage.right - damage.left, damage.bottom - damage.top);
    }
  });
}

const LayoutResult& WebView::CurrentLayout() {
  renderer_.UpdateLayout();
  return layout_;
}

bool WebView::ElementRect(int element, float rect[4]) {
  renderer_.UpdateLayout();
  if (!document_.IsElement(element) || !document_.Contains(0, element)) return false;
  const LayoutBox& box = layout_.Box(element);
  if (!box.laid) return false;
  rect[0] = box.x;
  rect[1] = box.y;
  rect[2] = box.w;
  rect[3] = box.h;
  return true;
}

bool WebView::TakeActivation() {
  const bool had = activation_;
  activation_ = false;
  return had;
}

void WebView::NodeRemoved(int) {
  // Interaction state may not point into a detached subtree, whichever way
  // it left (removeChild, innerHTML, textContent). The document noted the
  // removal itself; the elements that were hovered or pressed with the
  // removed one are no longer known here, so they are all styled again.
  const InteractionState before = interaction_;
  auto gone = [this](int node) { return node >= 0 && !document_.Contains(0, node); };
  if (gone(interaction_.hover)) interaction_.hover = -1;
  if (gone(interaction_.active)) interaction_.active = -1;
  if (gone(pressed_)) pressed_ = -1;
  if (gone(interaction_.focus)) interaction_.focus = -1;
  if (popup_.open() && gone(popup_.select())) selectList_.ClosePopup();
  if ((before.hover != interaction_.hover && styles_.Uses(kPseudoHover)) ||
      (before.active != interaction_.active && styles_.Uses(kPseudoActive))) {
    styleDirty_ = true;
  }
  ContentChanged();
}

void WebView::ValueSetByScript(int element) {
  if (element == interaction_.focus && editor_.IsTextField(element)) {
    edit_.caret = edit_.anchor = static_cast<int>(editor_.FieldText().size());
  }
}

void WebView::ScrollMetrics(int element, float& top, float& height) {
  renderer_.UpdateLayout();
  const auto found = scrolls_.find(element);
  top = found == scrolls_.end() ? 0 : found->second;
  height = 0;
  if (document_.IsNode(element)) height = layout_.Box(element).content_height;
}

void WebView::ScrollTo(int element, float top) {
  renderer_.UpdateLayout();
  if (!document_.IsNode(element)) return;
  if (element == document_.Body() || (document_.IsElement(element) && document_.node(element).tag == "html")) {
    element = 0;
  }
  const LayoutBox& box = layout_.Box(element);
  const float limit = std::max(0.0f, box.content_height - box.client_height);
  // NaN passes every comparison, so clamp would keep it and move every box.
  const float clamped = std::isnan(top) ? 0.0f : std::clamp(top, 0.0f, limit);
  const auto found = scrolls_.find(element);
  if ((found == scrolls_.end() ? 0 : found->second) == clamped) return;
  scrolls_[element] = clamped;
  layoutDirty_ = true;
  selectList_.ClosePopup();
  SchedulePaint();
}

void WebView::SetFocus(bool focused) {
  focused_ = focused;
  if (!focused) selectList_.ClosePopup();
  SchedulePaint();
}

void WebView::ShowDevTools(const std::string& inspector_page) {
  if (!devTools_) devTools_ = std::make_unique<DevToolsWindow>();
  devTools_->Open(inspector_page, console_);
}

void WebView::SetLocalStoragePath(const std::wstring& path) {
  storageFolder_ = path;
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  if (script_) script_->set_storage(storage_);
}

void WebView::AddConsoleLine(int level, const std::string& text) {
  static const char* const kLevels[] = {"log", "info", "warn", "error"};
  const std::string line = std::string("[") + kLevels[std::clamp(level, 0, 3)] + "] " + text;
  console_.push_back(line);
  if (console_.size() > kMaxConsoleLines) console_.pop_front();
  ::OutputDebugStringW(Utf8ToWide("wke console " + line + "\n").c_str());
  if (devTools_) devTools_->AddLine(line);
}

void WebView::Alert(const std::string& text) {
  if (callbacks_.alert == nullptr) return;
  wkeStringImpl message = MakeString(text);
  callbacks_.alert(handle(), callbacks_.alert_param, &message);
}

bool WebView::Confirm(const std::string& text) {
  if (callbacks_.confirm == nullptr) return false;
  wkeStringImpl message = MakeString(text);
  return callbacks_.confirm(handle(), callbacks_.confirm_param, &message);
}

bool WebView::Prompt(const std::string& text, const std::string& default_text, std::string& result) {
  if (callbacks_.prompt == nullptr) return false;
  wkeStringImpl message = MakeString(text);
  wkeStringImpl default_value = MakeString(default_text);
  wkeStringImpl answer = MakeString(default_text);
  if (!callbacks_.prompt(handle(), callbacks_.prompt_param, &message, &default_value, &answer)) return false;
  result = answer.utf8;
  return true;
}

bool WebView::SaveFile(const std::string& name, const std::string& type, const void* bytes, std::size_t size) {
  // Only the client's own page saves, and only for a person's click or key:
  // a page offering a file on a timer waits for the one click on Save.
  if (!mainView_) {
    AddConsoleLine(3, "msSaveBlob refused: only the main page may save files");
    return false;
  }
  if (!activation_) {
    AddConsoleLine(3, "msSaveBlob refused: a file is saved only from a click or key handler");
    return false;
  }
  activation_ = false;  // one dialog per click or key
  std::wstring extension, description;
  if (!SaveTarget::FileTypeOf(type, extension, description)) {
    AddConsoleLine(3, "msSaveBlob refused: no file type for a blob of type \"" + type + "\"");
    return false;
  }
  // The page names the file, never its folder: only the name part is kept,
  // without the characters a file name cannot hold, and with its type's
  // extension.
  std::wstring suggested = Utf8ToWide(name);
  const std::size_t slash = suggested.find_last_of(L"\\/");
  if (slash != std::wstring::npos) suggested.erase(0, slash + 1);
  suggested.erase(std::remove_if(suggested.begin(), suggested.end(),
                                 [](wchar_t c) { return c < 0x20 || std::wcschr(L"<>:\"|?*", c) != nullptr; }),
                  suggested.end());
  const std::wstring dot_extension = L"." + extension;
  if (suggested.size() < dot_extension.size() ||
      ::CompareStringOrdinal(suggested.c_str() + suggested.size() - dot_extension.size(),
                             static_cast<int>(dot_extension.size()), dot_extension.c_str(),
                             static_cast<int>(dot_extension.size()), TRUE) != CSTR_EQUAL) {
    suggested += dot_extension;
  }
  wchar_t path[MAX_PATH] = {};
  suggested.copy(path, MAX_PATH - 1);
  // "Zip archive (*.zip)", then the pattern, each ended by a null.
  const std::wstring filter =
      description + L" (*." + extension + L")" + std::wstring(1, L'\0') + L"*." + extension + std::wstring(2, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  // The view has no window of its own: the dialog belongs to whichever
  // window of this thread is active, so it stays in front of the page.
  dialog.hwndOwner = ::GetActiveWindow();
  dialog.lpstrFilter = filter.c_str();
  dialog.lpstrDefExt = extension.c_str();
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH;
  dialog.Flags = OFN_EXPLORER | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY |
                 OFN_NODEREFERENCELINKS;
  if (!::GetSaveFileNameW(&dialog)) {
    const DWORD error = ::CommDlgExtendedError();
    if (error != 0) AddConsoleLine(3, "Save dialog failed (" + std::to_string(error) + ")");
    return false;
  }
  SaveTarget target;
  std::string why;
  if (!target.Open(path, why) || !target.Write(bytes, size, why)) {
    AddConsoleLine(3, "Saving " + WideToUtf8(path) + " failed: " + why);
    return false;
  }
  return true;
}

UINT_PTR WebView::SetScriptTimer(unsigned milliseconds, std::function<bool(ScriptContext&)> fire) {
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return 0;
  const unsigned id = id_;
  return host->SetTimer(milliseconds, [id, fire = std::move(fire)]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    return view != nullptr && view->script() != nullptr && fire(*view->script());
  });
}

void WebView::KillScriptTimer(UINT_PTR timer) {
  if (EngineHost* host = EngineHost::Instance()) host->KillTimer(timer);
}

bool WebView::PostScriptTask(std::function<void(ScriptContext&)> task) {
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return false;
  const unsigned id = id_;
  return host->PostTask([id, task = std::move(task)]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    if (view != nullptr && view->script() != nullptr) task(*view->script());
  });
}

void WebView::SetTitle(const std::string& title) {
  document_.set_title(title);
  SchedulePaint();
  titleDirty_ = true;
  if (titleNoticePosted_) return;
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr) return;
  const unsigned id = id_;
  titleNoticePosted_ = host->PostTask([id]() {
    WebView* view = EngineHost::Instance()->FindView(id);
    if (view == nullptr) return;
    view->titleNoticePosted_ = false;
    if (view->titleDirty_) view->FireTitleChanged();
  });
}

void WebView::FireTitleChanged() {
  titleDirty_ = false;
  if (callbacks_.title_changed == nullptr) return;
  wkeStringImpl title = MakeString(document_.title());
  callbacks_.title_changed(handle(), callbacks_.title_changed_param, &title);
}

bool WebView::busy() const {
  if (script_ && script_->busy()) return true;
  for (const auto& retired : retired_) {
    if (retired->busy()) return true;
  }
  return false;
}

bool WebView::MouseEvent(unsigned message, int x, int y, unsigned flags) {
  return events_.MouseEvent(message, static_cast<float>(x) / scale_, static_cast<float>(y) / scale_, flags);
}

bool WebView::MouseWheel(int x, int y, int delta, unsigned flags) {
  return events_.MouseWheel(static_cast<float>(x) / scale_, static_cast<float>(y) / scale_, delta, flags);
}

bool WebView::KeyEvent(const char* type, unsigned code, unsigned flags, bool system) {
  return events_.KeyEvent(type, code, flags, system);
}

int WebView::CursorId() const { return events_.CursorId(); }

void WebView::Focus(int element) { focus_.Focus(element); }

wkeRect WebView::CaretRect() {
  const wkeRect css = editor_.CaretRect();
  auto device = [this](int value) { return static_cast<int>(std::lround(static_cast<float>(value) * scale_)); };
  return wkeRect{device(css.x), device(css.y), device(css.w), device(css.h)};
}

void WebView::Load(const std::wstring& url) { loader_.Load(url); }

}  // namespace halyx::engine
