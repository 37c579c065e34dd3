#include "engine/web_view.h"

#include <algorithm>

#include "engine/engine_host.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kMargin = 12;
constexpr int kButtonPadX = 14;
constexpr int kButtonPadY = 5;
constexpr int kWheelLines = 3;

wkeStringImpl MakeString(const std::string& text) { return wkeStringImpl{text, Utf8ToWide(text)}; }

FontHandle MakeFont(int height, int weight) {
  LOGFONTW font{};
  font.lfHeight = -height;
  font.lfWeight = weight;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = ANTIALIASED_QUALITY;
  wcscpy_s(font.lfFaceName, L"Tahoma");
  return FontHandle(::CreateFontIndirectW(&font));
}

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
  font_ = MakeFont(14, FW_NORMAL);
  boldFont_ = MakeFont(16, FW_BOLD);
  titleFont_ = MakeFont(20, FW_BOLD);
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

void WebView::SetTransparent(bool transparent) {
  transparent_ = transparent;
  SchedulePaint();
}

void WebView::Resize(int width, int height) {
  width = std::max(width, 1);
  height = std::max(height, 1);
  if (dc_ && width == width_ && height == height_) return;
  if (!dc_) dc_.reset(::CreateCompatibleDC(nullptr));
  if (!dc_) return;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top-down
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  BitmapHandle bitmap(::CreateDIBSection(dc_.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap) return;
  HGDIOBJ previous = ::SelectObject(dc_.get(), bitmap.get());
  if (oldBitmap_ == nullptr) oldBitmap_ = previous;
  bitmap_ = std::move(bitmap);
  width_ = width;
  height_ = height;
  dirty_ = true;
  SchedulePaint();
}

void WebView::RepaintIfNeeded() {
  if (dirty_) Render();
}

void WebView::ContentChanged() { SchedulePaint(); }

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
    if (!view->dirty_) return;
    view->Render();
    if (view->callbacks_.paint_updated != nullptr) {
      view->callbacks_.paint_updated(view->handle(), view->callbacks_.paint_updated_param, view->dc_.get(), 0, 0,
                                     view->width_, view->height_);
    }
  });
}

void WebView::Render() {
  dirty_ = false;
  HDC dc = dc_.get();
  if (dc == nullptr) return;
  RECT all{0, 0, width_, height_};
  if (transparent_) {
    ::PatBlt(dc, 0, 0, width_, height_, BLACKNESS);
  } else {
    ::FillRect(dc, &all, static_cast<HBRUSH>(::GetStockObject(WHITE_BRUSH)));
  }
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, RGB(0x20, 0x20, 0x20));
  buttons_.clear();
  int y = kMargin - scroll_;
  const int text_width = std::max(width_ - 2 * kMargin, 1);
  auto draw_text = [&](const std::string& text, HGDIOBJ font) {
    const std::wstring wide = Utf8ToWide(text);
    GdiSelection selected(dc, font);
    RECT box{kMargin, y, kMargin + text_width, y};
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    box.right = kMargin + text_width;
    ::DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &box, DT_WORDBREAK | DT_NOPREFIX);
    y = box.bottom + 6;
  };
  if (!document_.title().empty()) {
    draw_text(document_.title(), titleFont_.get());
    ::MoveToEx(dc, kMargin, y, nullptr);
    ::LineTo(dc, width_ - kMargin, y);
    y += 8;
  }
  for (const HtmlDocument::Block& block : document_.Blocks()) {
    if (!block.button) {
      draw_text(block.text, block.heading ? boldFont_.get() : font_.get());
      continue;
    }
    const std::wstring label = Utf8ToWide(block.text);
    GdiSelection selected(dc, font_.get());
    SIZE extent{};
    ::GetTextExtentPoint32W(dc, label.c_str(), static_cast<int>(label.size()), &extent);
    RECT button{kMargin, y, kMargin + extent.cx + 2 * kButtonPadX, y + extent.cy + 2 * kButtonPadY};
    ::DrawFrameControl(dc, &button, DFC_BUTTON, DFCS_BUTTONPUSH | (pressed_ == block.element ? DFCS_PUSHED : 0));
    RECT label_box = button;
    if (pressed_ == block.element) ::OffsetRect(&label_box, 1, 1);
    ::DrawTextW(dc, label.c_str(), static_cast<int>(label.size()), &label_box,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    buttons_.push_back(ButtonArea{button, block.element});
    y = button.bottom + 8;
  }
  contentHeight_ = y + scroll_ + kMargin;
  ::GdiFlush();
}

int WebView::HitButton(int x, int y) const {
  const POINT point{x, y};
  for (const ButtonArea& area : buttons_) {
    if (::PtInRect(&area.rect, point)) return area.element;
  }
  return -1;
}

bool WebView::MouseEvent(unsigned message, int x, int y, unsigned) {
  if (dirty_) Render();  // hit-test what the user sees
  const int hit = HitButton(x, y);
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      pressed_ = hit;
      if (hit >= 0) SchedulePaint();
      return hit >= 0;
    case WM_LBUTTONUP: {
      const int pressed = pressed_;
      pressed_ = -1;
      if (pressed >= 0) SchedulePaint();
      // A click is a press and a release on the same button.
      if (pressed < 0 || pressed != hit || !script_) return false;
      script_->Click(hit);
      return true;
    }
    default:
      return hit >= 0;
  }
}

bool WebView::MouseWheel(int x, int y, int delta, unsigned) {
  // Towards the user (negative delta) moves the content up.
  const int step = -delta * kWheelLines * LineHeight() / WHEEL_DELTA;
  const int limit = std::max(contentHeight_ - height_, 0);
  const int scroll = std::clamp(scroll_ + step, 0, limit);
  if (scroll != scroll_) {
    scroll_ = scroll;
    SchedulePaint();
  }
  return script_ ? script_->Wheel(x, y, delta) : false;
}

bool WebView::KeyEvent(const char* type, unsigned code, unsigned flags) {
  if (!script_) return false;
  const bool press = std::string(type) == "keypress";
  return script_->Key(type, press ? 0 : code, press ? code : 0, (flags & 0x4000) != 0);
}

wkeRect WebView::CaretRect() const {
  const int y = std::clamp(contentHeight_ - scroll_ - kMargin, 0, std::max(height_ - LineHeight(), 0));
  return wkeRect{kMargin, y, 1, LineHeight()};
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

void WebView::Load(const std::wstring& url) {
  EngineHost* host = EngineHost::Instance();
  if (host == nullptr || url.empty()) return;
  const unsigned serial = ++loadSerial_;
  const unsigned id = id_;
  auto commit = [id, serial](const std::shared_ptr<PageFetcher::Page>& page) {
    WebView* view = EngineHost::Instance()->FindView(id);
    // A later load of the same view supersedes this one.
    if (view != nullptr && view->loadSerial_ == serial) view->CommitPage(*page);
  };
  const bool remote = url.compare(0, 7, L"http://") == 0 || url.compare(0, 8, L"https://") == 0;
  const std::wstring root = localRoot_;
  if (remote) {
    host->RunInBackground([url, root, commit]() {
      auto page = std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root));
      if (EngineHost* current = EngineHost::Instance()) current->PostTask([commit, page]() { commit(page); });
    });
  } else {
    host->PostTask(
        [url, root, commit]() { commit(std::make_shared<PageFetcher::Page>(PageFetcher::Fetch(url, root))); });
  }
}

bool WebView::busy() const {
  if (script_ && script_->busy()) return true;
  for (const auto& retired : retired_) {
    if (retired->busy()) return true;
  }
  return false;
}

void WebView::ReapRetiredScripts() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    it = (*it)->busy() ? it + 1 : retired_.erase(it);
  }
  if (retired_.empty()) return;
  // Still unwinding in a nested message loop (a dialog): look again shortly.
  if (EngineHost* host = EngineHost::Instance()) {
    const unsigned id = id_;
    host->SetTimer(50, [id]() {
      if (WebView* view = EngineHost::Instance()->FindView(id)) view->ReapRetiredScripts();
      return false;
    });
  }
}

void WebView::CommitPage(const PageFetcher::Page& page) {
  // The old page's native objects are finalized before the new page runs,
  // unless its script is still on the stack (the load completed in a nested
  // message loop, a dialog opened from that script): then the old context
  // lives on beside the new one until its script has unwound.
  if (script_ && script_->busy()) {
    retired_.push_back(std::move(script_));
    const unsigned id = id_;
    if (EngineHost* host = EngineHost::Instance()) {
      host->PostTask([id]() {
        if (WebView* view = EngineHost::Instance()->FindView(id)) view->ReapRetiredScripts();
      });
    }
  }
  script_.reset();
  url_ = page.url;
  storage_ = LocalStorage::Open(storageFolder_, LocalStorage::OriginOf(url_));
  scroll_ = 0;
  pressed_ = -1;
  document_ = page.document;
  script_ = std::make_unique<ScriptContext>(*this, exec_state(), scriptTimeLimitMs_);
  if (!page.ok) {
    document_ = HtmlDocument::Parse("<p>This page cannot be shown.</p>");
    AddConsoleLine(3, "Failed to load " + page.url + ": " + page.error);
  }
  if (document_.flattened()) {
    AddConsoleLine(3, "Elements nested deeper than " + std::to_string(HtmlDocument::kMaxNesting) +
                          " levels were moved up to that level");
  }
  for (const auto& refused : page.refused) {
    AddConsoleLine(3, "Refused to load script " + refused.first + ": " + refused.second);
  }
  auto was_refused = [&page](const std::string& src) {
    return std::any_of(page.refused.begin(), page.refused.end(), [&](const auto& r) { return r.first == src; });
  };
  std::size_t next_external = 0;
  for (const HtmlDocument::Script& script : document_.scripts()) {
    if (!script_) break;
    if (script.src.empty()) {
      script_->RunScript(script.source, page.url);
      continue;
    }
    // The fetcher kept the fetched bodies in document order.
    if (next_external < page.scripts.size() && page.scripts[next_external].first == script.src) {
      script_->RunScript(page.scripts[next_external].second, script.src);
      ++next_external;
    } else if (!was_refused(script.src)) {
      AddConsoleLine(3, "Failed to load script " + script.src);
    }
  }
  if (script_) script_->DocumentLoaded();
  SchedulePaint();
  // A callback may destroy the view; each later step checks that it stands.
  const unsigned id = id_;
  auto alive = [this, id]() { return EngineHost::Instance()->FindView(id) == this; };
  FireTitleChanged();
  if (!alive()) return;
  if (callbacks_.url_changed != nullptr) {
    wkeStringImpl url = MakeString(url_);
    callbacks_.url_changed(handle(), callbacks_.url_changed_param, &url);
    if (!alive()) return;
  }
  if (callbacks_.document_ready != nullptr) callbacks_.document_ready(handle(), callbacks_.document_ready_param);
}

}  // namespace halyx::engine
