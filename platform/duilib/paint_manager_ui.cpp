#include "platform/duilib/paint_manager_ui.h"

#include <windowsx.h>
#include <shellapi.h>

#include <algorithm>
#include <cstring>

#include <spdlog/spdlog.h>

#include "base/error_code.h"
#include "platform/duilib/window_wnd.h"
#include "base/gdi_selection.h"
#include "base/module_path.h"

namespace DuiLib {

struct CPaintManagerUI::PendingNotify {
  TNotifyUI msg;
};

namespace {

HINSTANCE g_instance = nullptr;

// Every live manager, for TranslateMessage. GUI thread only.
std::vector<CPaintManagerUI*>& Managers() {
  static std::vector<CPaintManagerUI*> managers;
  return managers;
}

UINT AsyncNotifyMessage() {
  static const UINT message = ::RegisterWindowMessageW(L"DuiLib.AsyncNotify");
  return message;
}

template <typename T>
bool Contains(const std::vector<T*>& items, const T* item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

template <typename T>
bool AddUnique(std::vector<T*>& items, T* item) {
  if (item == nullptr || Contains(items, item)) return false;
  items.push_back(item);
  return true;
}

template <typename T>
bool RemoveOne(std::vector<T*>& items, T* item) {
  const auto it = std::find(items.begin(), items.end(), item);
  if (it == items.end()) return false;
  items.erase(it);
  return true;
}

// BeginPaint/EndPaint as a pair, whatever happens in between.
class PaintScope {
 public:
  explicit PaintScope(HWND hwnd) : hwnd_(hwnd) { hdc_ = ::BeginPaint(hwnd, &ps_); }
  ~PaintScope() { ::EndPaint(hwnd_, &ps_); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC hdc() const { return hdc_; }
  const RECT& area() const { return ps_.rcPaint; }

 private:
  HWND hwnd_;
  HDC hdc_ = nullptr;
  PAINTSTRUCT ps_{};
};

// A bitmap of the skin: only uncompressed 24- and 32-bit BMP files, checked
// against the buffer before any pixel is copied.
halyx::BitmapHandle DecodeBmp(const std::string& bytes) {
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER info{};
  if (bytes.size() < sizeof file + sizeof info) return {};
  std::memcpy(&file, bytes.data(), sizeof file);
  std::memcpy(&info, bytes.data() + sizeof file, sizeof info);
  if (file.bfType != 0x4D42 || info.biSize < sizeof info || info.biPlanes != 1 ||
      (info.biBitCount != 24 && info.biBitCount != 32) || info.biCompression != BI_RGB || info.biWidth <= 0 ||
      info.biHeight == 0 || info.biWidth > 16384 || info.biHeight > 16384 || info.biHeight < -16384) {
    return {};
  }
  const size_t stride = ((static_cast<size_t>(info.biWidth) * info.biBitCount + 31) / 32) * 4;
  const size_t rows = static_cast<size_t>(info.biHeight < 0 ? -info.biHeight : info.biHeight);
  if (file.bfOffBits > bytes.size() || bytes.size() - file.bfOffBits < stride * rows) return {};
  BITMAPINFO header{};
  header.bmiHeader = info;
  header.bmiHeader.biSize = sizeof info;
  void* bits = nullptr;
  halyx::BitmapHandle bitmap(::CreateDIBSection(nullptr, &header, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!bitmap || bits == nullptr) return {};
  std::memcpy(bits, bytes.data() + file.bfOffBits, stride * rows);
  return bitmap;
}

}  // namespace

CPaintManagerUI::CPaintManagerUI() { Managers().push_back(this); }

CPaintManagerUI::~CPaintManagerUI() {
  RemoveAllControls();
  RemoveOne(Managers(), this);
}

void CPaintManagerUI::SetInstance(HINSTANCE instance) { g_instance = instance; }

HINSTANCE CPaintManagerUI::GetInstance() { return g_instance != nullptr ? g_instance : ::GetModuleHandleW(nullptr); }

CDuiString CPaintManagerUI::GetInstancePath() {
  std::wstring folder = halyx::ModuleFolder(GetInstance());
  if (!folder.empty()) folder += L'\\';
  return CDuiString(std::move(folder));
}

bool CPaintManagerUI::TranslateMessage(const LPMSG msg) {
  if (msg == nullptr || msg->hwnd == nullptr) return false;
  // A filter may destroy windows and their managers: work on a snapshot and
  // skip managers that have gone meanwhile.
  const std::vector<CPaintManagerUI*> managers = Managers();
  for (CPaintManagerUI* manager : managers) {
    if (!Contains(Managers(), manager)) continue;
    const HWND window = manager->paintWindow_;
    if (window == nullptr || (msg->hwnd != window && !::IsChild(window, msg->hwnd))) continue;
    LRESULT result = 0;
    if (manager->PreMessageHandler(msg->message, msg->wParam, msg->lParam, result)) return true;
  }
  return false;
}

void CPaintManagerUI::Init(HWND paintWindow) {
  paintWindow_ = paintWindow;
  NeedUpdate();
}

void CPaintManagerUI::SetDPI(int dpi) {
  const int previous = dpi_.GetDPI();
  if (!ApplyDPI(dpi)) return;
  const int next = dpi_.GetDPI();
  if (paintWindow_ != nullptr && !::IsIconic(paintWindow_)) {
    RECT client{};
    ::GetClientRect(paintWindow_, &client);
    CWindowWnd::ResizeClientOf(paintWindow_, ::MulDiv(client.right, next, previous),
                               ::MulDiv(client.bottom, next, previous));
  }
}

bool CPaintManagerUI::ApplyDPI(int dpi) {
  const int previous = dpi_.GetDPI();
  dpi_.SetDPI(dpi);
  if (dpi_.GetDPI() == previous) return false;
  fontInfo_.reset();
  font_.reset();
  NeedUpdate();
  return true;
}

void CPaintManagerUI::OnDpiChanged(int dpi, const RECT* suggested) {
  // Windows offers 100 % to 500 %; anything else is held to what a layout
  // can still be made of.
  ApplyDPI(std::clamp(dpi, CDPI::kDefaultDPI / 2, CDPI::kDefaultDPI * 5));
  // Windows has worked out where the window keeps its place under the
  // pointer and its size at the new DPI; taking that rectangle (rather than
  // scaling the client area here) is what keeps a window dragged across
  // monitors from jumping back and forth between the two DPIs.
  if (suggested != nullptr && paintWindow_ != nullptr) {
    ::SetWindowPos(paintWindow_, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                   suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  // The size may not have changed (a window already at its new size), so
  // the controls are placed again here and not only from WM_SIZE.
  Layout();
  if (paintWindow_ != nullptr) ::InvalidateRect(paintWindow_, nullptr, FALSE);
}

void CPaintManagerUI::SetInitSize(int cx, int cy) {
  initSize_ = SIZE{cx, cy};
  if (paintWindow_ != nullptr && cx > 0 && cy > 0) {
    CWindowWnd::ResizeClientOf(paintWindow_, dpi_.Scale(cx), dpi_.Scale(cy));
  }
}

void CPaintManagerUI::SetDefaultFont(LPCWSTR faceName, int size, bool bold) {
  fontFace_ = faceName;
  fontSize_ = size;
  fontBold_ = bold;
  fontInfo_.reset();
  font_.reset();
  NeedUpdate();
}

const TFontInfo* CPaintManagerUI::GetDefaultFontInfo() {
  if (fontInfo_) return fontInfo_.get();
  auto info = std::make_unique<TFontInfo>();
  LOGFONTW& lf = info->logFont;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (::SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
    lf = metrics.lfMessageFont;
  }
  if (!fontFace_.IsEmpty()) {
    ::lstrcpynW(lf.lfFaceName, fontFace_.GetData(), LF_FACESIZE);
  }
  lf.lfHeight = -dpi_.Scale(fontSize_ > 0 ? fontSize_ : 12);
  lf.lfWidth = 0;
  lf.lfWeight = fontBold_ ? FW_BOLD : FW_NORMAL;
  lf.lfCharSet = DEFAULT_CHARSET;
  font_.reset(::CreateFontIndirectW(&lf));
  if (!font_) {
    spdlog::error("DuiLib: CreateFontIndirect failed ({:#x})", halyx::LastError());
    font_.reset(static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT)));
    // A stock object must not be deleted; keep it out of the owner.
    info->font = font_.release();
  } else {
    info->font = font_.get();
  }
  info->faceName = lf.lfFaceName;
  info->size = -lf.lfHeight;
  info->bold = fontBold_;
  if (HDC hdc = ::GetDC(paintWindow_)) {
    {
      halyx::GdiSelection selected(hdc, info->font);
      ::GetTextMetricsW(hdc, &info->metrics);
    }
    ::ReleaseDC(paintWindow_, hdc);
  }
  fontInfo_ = std::move(info);
  return fontInfo_.get();
}

void CPaintManagerUI::SetResourceArchive(std::shared_ptr<CSkinArchive> archive) {
  archive_ = std::move(archive);
  images_.clear();
}

void CPaintManagerUI::SetResourceFolder(const CDuiString& folder) {
  archive_.reset();
  resourceFolder_ = folder;
  if (!resourceFolder_.IsEmpty() && resourceFolder_.Right(1) != L"\\" && resourceFolder_.Right(1) != L"/") {
    resourceFolder_ += L'\\';
  }
  images_.clear();
}

bool CPaintManagerUI::ReadResource(const CDuiString& name, std::string* contents) const {
  contents->clear();
  if (archive_) return archive_->Read(name.str(), contents);
  const CDuiString path = resourceFolder_ + name;
  halyx::FileHandle file(
      ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    spdlog::error("DuiLib: skin file {} cannot be opened ({:#x})", path.ToUtf8(), halyx::LastError());
    return false;
  }
  LARGE_INTEGER size{};
  // Skins are small; anything near the 32-bit limit is not one.
  if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (64 << 20)) {
    spdlog::error("DuiLib: skin file {} is unreadable or too large", path.ToUtf8());
    return false;
  }
  std::string data(static_cast<size_t>(size.QuadPart), '\0');
  DWORD read = 0;
  if (!data.empty() &&
      (!::ReadFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &read, nullptr) || read != data.size())) {
    spdlog::error("DuiLib: skin file {} cannot be read ({:#x})", path.ToUtf8(), halyx::LastError());
    return false;
  }
  *contents = std::move(data);
  return true;
}

HBITMAP CPaintManagerUI::GetImage(const CDuiString& name) {
  const auto found = images_.find(name);
  if (found != images_.end()) return found->second.get();
  std::string bytes;
  halyx::BitmapHandle bitmap;
  if (ReadResource(name, &bytes)) {
    bitmap = DecodeBmp(bytes);
    if (!bitmap) spdlog::error("DuiLib: image {} is not a 24- or 32-bit BMP", name.ToUtf8());
  }
  // Failures are remembered too, so that every repaint does not log again.
  const HBITMAP handle = bitmap.get();
  images_.emplace(name, std::move(bitmap));
  return handle;
}

bool CPaintManagerUI::AddControl(CControlUI* control) {
  if (control == nullptr) return false;
  controls_.emplace_back(control);
  control->SetManager(this);
  control->DoInit();
  NeedUpdate();
  if (paintWindow_ != nullptr) Layout();
  return true;
}

void CPaintManagerUI::RemoveAllControls() {
  focus_ = hover_ = pressed_ = eventTarget_ = nullptr;
  if (captured_ != nullptr) ReleaseCapture();
  // Take them out first: a control's destructor may still ask the manager
  // about its siblings.
  std::vector<std::unique_ptr<CControlUI>> controls;
  controls.swap(controls_);
  while (!controls.empty()) controls.pop_back();
}

CControlUI* CPaintManagerUI::GetControlAt(int index) const {
  if (index < 0 || index >= GetControlCount()) return nullptr;
  return controls_[static_cast<size_t>(index)].get();
}

CControlUI* CPaintManagerUI::FindControl(LPCWSTR name) const {
  if (name == nullptr || *name == L'\0') return nullptr;
  for (const auto& control : controls_) {
    if (control->GetName() == name) return control.get();
  }
  return nullptr;
}

CControlUI* CPaintManagerUI::FindControl(POINT pt) const {
  for (auto it = controls_.rbegin(); it != controls_.rend(); ++it) {
    CControlUI* control = it->get();
    if (!control->IsVisible() || !control->IsEnabled()) continue;
    if (CDuiRect(control->GetPos()).Contains(pt)) return control;
  }
  return nullptr;
}

bool CPaintManagerUI::Owns(const CControlUI* control) const {
  if (control == nullptr) return false;
  for (const auto& owned : controls_) {
    if (owned.get() == control) return true;
  }
  return false;
}

void CPaintManagerUI::Layout() {
  needLayout_ = false;
  if (paintWindow_ == nullptr) return;
  RECT client{};
  ::GetClientRect(paintWindow_, &client);
  CDuiRect area(client);
  area.Deflate(dpi_.Scale(inset_));

  int fixed = 0, shared = 0;
  for (const auto& control : controls_) {
    if (!control->IsVisible() || control->IsFloat()) continue;
    if (control->GetFixedHeight() > 0) {
      fixed += dpi_.Scale(control->GetFixedHeight());
    } else {
      ++shared;
    }
  }
  const int free = std::max(0, area.GetHeight() - fixed);
  int top = area.top;
  int sharedLeft = shared;
  int freeLeft = free;
  for (const auto& control : controls_) {
    if (!control->IsVisible()) continue;
    if (control->IsFloat()) {
      control->SetPos(dpi_.Scale(control->GetFloatPos()));
      continue;
    }
    int height = 0;
    if (control->GetFixedHeight() > 0) {
      height = dpi_.Scale(control->GetFixedHeight());
    } else {
      // The last shared control takes the remainder of the division.
      height = sharedLeft == 1 ? freeLeft : free / shared;
      freeLeft -= height;
      --sharedLeft;
    }
    const int bottom = std::min<int>(top + height, area.bottom);
    control->SetPos(RECT{area.left, top, area.right, std::max<int>(bottom, top)});
    top = std::min<int>(top + height, area.bottom);
  }
}

void CPaintManagerUI::NeedUpdate() {
  needLayout_ = true;
  if (paintWindow_ != nullptr) ::InvalidateRect(paintWindow_, nullptr, FALSE);
}

void CPaintManagerUI::Invalidate(const RECT& rc) {
  if (paintWindow_ != nullptr) ::InvalidateRect(paintWindow_, &rc, FALSE);
}

void CPaintManagerUI::SetFocus(CControlUI* control) {
  if (control == focus_) return;
  if (control != nullptr && !Owns(control)) return;
  CControlUI* previous = focus_;
  focus_ = control;
  if (previous != nullptr) SendEvent(previous, UiEventType::kKillFocus, 0, 0, POINT{0, 0});
  // The control can only hear keys when its window has the keyboard focus.
  if (focus_ != nullptr && paintWindow_ != nullptr && ::GetFocus() != paintWindow_ && ::IsWindowVisible(paintWindow_)) {
    ::SetFocus(paintWindow_);
  }
  if (focus_ != nullptr) SendEvent(focus_, UiEventType::kSetFocus, 0, 0, POINT{0, 0});
}

void CPaintManagerUI::SetCapture() {
  CControlUI* control = eventTarget_ != nullptr ? eventTarget_ : pressed_;
  if (control == nullptr || paintWindow_ == nullptr) return;
  ::SetCapture(paintWindow_);
  captured_ = control;
}

void CPaintManagerUI::ReleaseCapture() {
  captured_ = nullptr;
  if (paintWindow_ != nullptr && ::GetCapture() == paintWindow_) ::ReleaseCapture();
}

bool CPaintManagerUI::AddNotifier(INotifyUI* notifier) { return AddUnique(notifiers_, notifier); }
bool CPaintManagerUI::RemoveNotifier(INotifyUI* notifier) { return RemoveOne(notifiers_, notifier); }
bool CPaintManagerUI::AddMessageFilter(IMessageFilterUI* filter) { return AddUnique(filters_, filter); }
bool CPaintManagerUI::RemoveMessageFilter(IMessageFilterUI* filter) { return RemoveOne(filters_, filter); }
bool CPaintManagerUI::AddPreMessageFilter(IMessageFilterUI* filter) { return AddUnique(preFilters_, filter); }
bool CPaintManagerUI::RemovePreMessageFilter(IMessageFilterUI* filter) { return RemoveOne(preFilters_, filter); }

void CPaintManagerUI::SendNotify(TNotifyUI& msg, bool async, bool enableRepeat) {
  msg.timestamp = 0;
  if (!async) {
    DeliverNotify(msg);
    return;
  }
  if (!enableRepeat) {
    for (const auto& pending : pending_) {
      if (pending.msg.type == msg.type && pending.msg.sender == msg.sender) return;
    }
  }
  if (paintWindow_ == nullptr || !::PostMessageW(paintWindow_, AsyncNotifyMessage(), 0, 0)) {
    spdlog::error("DuiLib: notification {} not queued ({:#x})", msg.type.ToUtf8(), halyx::LastError());
    return;
  }
  pending_.push_back(PendingNotify{msg});
}

void CPaintManagerUI::SendNotify(CControlUI* control, LPCWSTR type, WPARAM wParam, LPARAM lParam, bool async,
                                 bool enableRepeat) {
  TNotifyUI msg;
  msg.type = type;
  msg.sender = control;
  msg.wParam = wParam;
  msg.lParam = lParam;
  SendNotify(msg, async, enableRepeat);
}

void CPaintManagerUI::DeliverNotify(TNotifyUI& msg) {
  if (notifiers_.empty()) return;
  msg.timestamp = ::GetTickCount();
  if (msg.timestamp == 0) msg.timestamp = 1;  // the tick count wraps through 0 every 49 days
  POINT cursor{0, 0};
  if (::GetCursorPos(&cursor) && paintWindow_ != nullptr) ::ScreenToClient(paintWindow_, &cursor);
  msg.mouse = cursor;
  // A notifier may remove itself or others: a snapshot, checked as we go.
  const std::vector<INotifyUI*> notifiers = notifiers_;
  for (INotifyUI* notifier : notifiers) {
    if (Contains(notifiers_, notifier)) notifier->Notify(msg);
  }
}

void CPaintManagerUI::DeliverPendingNotifies() {
  std::vector<PendingNotify> pending;
  pending.swap(pending_);
  for (auto& item : pending) {
    // The sender may have been deleted while the notification waited.
    if (item.msg.sender != nullptr && !Owns(item.msg.sender)) continue;
    DeliverNotify(item.msg);
  }
}

bool CPaintManagerUI::RunFilters(const std::vector<IMessageFilterUI*>& filters, UINT msg, WPARAM wParam, LPARAM lParam,
                                 LRESULT& result) {
  const std::vector<IMessageFilterUI*> snapshot = filters;
  for (IMessageFilterUI* filter : snapshot) {
    if (!Contains(filters, filter)) continue;
    bool handled = false;
    const LRESULT answer = filter->MessageHandler(msg, wParam, lParam, handled);
    if (handled) {
      result = answer;
      return true;
    }
  }
  return false;
}

bool CPaintManagerUI::PreMessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  return RunFilters(preFilters_, msg, wParam, lParam, result);
}

bool CPaintManagerUI::MessageHandler(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  if (paintWindow_ == nullptr) return false;
  if (RunFilters(filters_, msg, wParam, lParam, result)) return true;
  return HandleFramework(msg, wParam, lParam, result);
}

void CPaintManagerUI::SendEvent(CControlUI* control, UiEventType type, WPARAM wParam, LPARAM lParam, POINT mouse) {
  if (!Owns(control)) return;
  TEventUI event;
  event.type = type;
  event.sender = control;
  event.timestamp = ::GetTickCount();
  event.mouse = mouse;
  event.local = POINT{mouse.x - control->GetPos().left, mouse.y - control->GetPos().top};
  event.wParam = wParam;
  event.lParam = lParam;
  switch (type) {
    case UiEventType::kKeyDown:
    case UiEventType::kKeyUp:
    case UiEventType::kChar:
      event.key = static_cast<wchar_t>(wParam);
      break;
    case UiEventType::kMouseMove:
    case UiEventType::kLeftButtonDown:
    case UiEventType::kLeftButtonUp:
    case UiEventType::kRightButtonDown:
    case UiEventType::kRightButtonUp:
    case UiEventType::kDoubleClick:
      event.keyState = LOWORD(wParam);
      break;
    default:
      break;
  }
  if (event.keyState == 0) {
    if (::GetKeyState(VK_CONTROL) < 0) event.keyState |= MK_CONTROL;
    if (::GetKeyState(VK_SHIFT) < 0) event.keyState |= MK_SHIFT;
  }
  CControlUI* previous = eventTarget_;
  eventTarget_ = control;
  control->DoEvent(event);
  eventTarget_ = previous;
}

void CPaintManagerUI::UpdateHover(CControlUI* control, POINT mouse) {
  if (control == hover_) return;
  CControlUI* previous = hover_;
  hover_ = control;
  if (previous != nullptr) SendEvent(previous, UiEventType::kMouseLeave, 0, 0, mouse);
  if (control != nullptr) SendEvent(control, UiEventType::kMouseEnter, 0, 0, mouse);
}

bool CPaintManagerUI::HandleMouse(UINT msg, WPARAM wParam, LPARAM lParam) {
  POINT pt{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
  CControlUI* target = nullptr;
  switch (msg) {
    case WM_MOUSEMOVE:
      if (!trackingLeave_) {
        TRACKMOUSEEVENT track{sizeof track, TME_LEAVE, paintWindow_, 0};
        trackingLeave_ = ::TrackMouseEvent(&track) != FALSE;
      }
      target = captured_ != nullptr ? captured_ : FindControl(pt);
      if (captured_ == nullptr) UpdateHover(target, pt);
      SendEvent(target, UiEventType::kMouseMove, wParam, lParam, pt);
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      target = FindControl(pt);
      if (target == nullptr) return false;
      SetFocus(target);
      pressed_ = target;
      SendEvent(target, msg == WM_LBUTTONDOWN ? UiEventType::kLeftButtonDown : UiEventType::kDoubleClick, wParam,
                lParam, pt);
      break;
    case WM_LBUTTONUP:
      target = captured_ != nullptr ? captured_ : Owns(pressed_) ? pressed_ : FindControl(pt);
      pressed_ = nullptr;
      SendEvent(target, UiEventType::kLeftButtonUp, wParam, lParam, pt);
      break;
    case WM_RBUTTONDOWN:
      target = FindControl(pt);
      if (target == nullptr) return false;
      SetFocus(target);
      SendEvent(target, UiEventType::kRightButtonDown, wParam, lParam, pt);
      break;
    case WM_RBUTTONUP:
      target = captured_ != nullptr ? captured_ : FindControl(pt);
      SendEvent(target, UiEventType::kRightButtonUp, wParam, lParam, pt);
      break;
    case WM_MOUSEWHEEL: {
      // The wheel message carries screen coordinates.
      ::ScreenToClient(paintWindow_, &pt);
      target = FindControl(pt);
      if (target == nullptr) target = focus_;
      const short delta = GET_WHEEL_DELTA_WPARAM(wParam);
      const WPARAM direction = MAKEWPARAM(delta < 0 ? SB_LINEDOWN : SB_LINEUP, static_cast<WORD>(delta));
      SendEvent(target, UiEventType::kScrollWheel, direction, MAKELPARAM(pt.x, pt.y), pt);
      break;
    }
    default:
      return false;
  }
  return target != nullptr;
}

bool CPaintManagerUI::HandleFramework(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  result = 0;
  if (msg == AsyncNotifyMessage()) {
    DeliverPendingNotifies();
    return true;
  }
  switch (msg) {
    case WM_ERASEBKGND:
      // Everything is painted in WM_PAINT; erasing first would flicker.
      result = 1;
      return true;
    case WM_PAINT:
      Paint();
      return true;
    case WM_PRINTCLIENT: {
      // PrintWindow and AnimateWindow ask for the client area this way.
      RECT client{};
      ::GetClientRect(paintWindow_, &client);
      PaintTo(reinterpret_cast<HDC>(wParam), client);
      return true;
    }
    case kDpiChangedMessage:
      OnDpiChanged(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return true;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) {
        Layout();
        ::InvalidateRect(paintWindow_, nullptr, FALSE);
        if (focus_ != nullptr) SendEvent(focus_, UiEventType::kWindowSize, wParam, lParam, POINT{0, 0});
      }
      return false;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MOUSEWHEEL:
      return HandleMouse(msg, wParam, lParam);
    case WM_SETCURSOR: {
      // The control the pointer last moved over (or the one holding the
      // mouse) chooses; elsewhere the class cursor stays.
      if (LOWORD(lParam) != HTCLIENT) return false;
      CControlUI* target = captured_ != nullptr ? captured_ : hover_;
      if (target == nullptr || (target->GetControlFlags() & kControlFlagSetCursor) == 0) return false;
      SendEvent(target, UiEventType::kSetCursor, wParam, lParam, POINT{0, 0});
      result = TRUE;
      return true;
    }
    case WM_MOUSELEAVE:
      trackingLeave_ = false;
      if (captured_ == nullptr) UpdateHover(nullptr, POINT{-1, -1});
      return false;
    case WM_CAPTURECHANGED:
      // Another window took the mouse: our capture is over.
      if (reinterpret_cast<HWND>(lParam) != paintWindow_) captured_ = nullptr;
      return false;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_CHAR:
      if (focus_ == nullptr) return false;
      SendEvent(focus_,
                msg == WM_KEYDOWN ? UiEventType::kKeyDown
                : msg == WM_KEYUP ? UiEventType::kKeyUp
                                  : UiEventType::kChar,
                wParam, lParam, POINT{0, 0});
      return true;
    case WM_SETFOCUS:
      if (focus_ != nullptr) SendEvent(focus_, UiEventType::kSetFocus, wParam, lParam, POINT{0, 0});
      return false;
    case WM_KILLFOCUS:
      if (focus_ != nullptr) SendEvent(focus_, UiEventType::kKillFocus, wParam, lParam, POINT{0, 0});
      return false;
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_COMPOSITION:
      // The composition itself stays with the default procedure; the control
      // only places the composition window.
      if (focus_ != nullptr) SendEvent(focus_, UiEventType::kImeComposition, wParam, lParam, POINT{0, 0});
      return false;
    case WM_DROPFILES: {
      const HDROP drop = reinterpret_cast<HDROP>(wParam);
      POINT pt{0, 0};
      ::DragQueryPoint(drop, &pt);
      CControlUI* target = FindControl(pt);
      if (target == nullptr) target = focus_;
      if (target == nullptr) {
        ::DragFinish(drop);
      } else {
        SendEvent(target, UiEventType::kDropFiles, wParam, lParam, pt);
      }
      return true;
    }
    default:
      return false;
  }
}

void CPaintManagerUI::Paint() {
  PaintScope scope(paintWindow_);
  if (scope.hdc() == nullptr) return;
  PaintTo(scope.hdc(), scope.area());
}

void CPaintManagerUI::PaintTo(HDC hdc, const RECT& rect) {
  if (needLayout_) Layout();
  CDuiRect area(rect);
  if (area.IsEmpty()) return;
  RECT client{};
  ::GetClientRect(paintWindow_, &client);
  // Double-buffered: the controls paint into a memory bitmap that is copied
  // once, so overlapping controls do not flicker.
  halyx::MemoryDcHandle memory(::CreateCompatibleDC(hdc));
  halyx::BitmapHandle bitmap(
      ::CreateCompatibleBitmap(hdc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1)));
  halyx::GdiSelection selected(memory && bitmap ? memory.get() : nullptr, bitmap.get());
  HDC target = selected ? memory.get() : hdc;
  const COLORREF background = (bkColor_ >> 24) == 0
                                  ? ::GetSysColor(COLOR_WINDOW)
                                  : RGB((bkColor_ >> 16) & 0xFF, (bkColor_ >> 8) & 0xFF, bkColor_ & 0xFF);
  const COLORREF previous = ::SetDCBrushColor(target, background);
  ::FillRect(target, &area, static_cast<HBRUSH>(::GetStockObject(DC_BRUSH)));
  ::SetDCBrushColor(target, previous);
  for (const auto& control : controls_) {
    if (!control->IsVisible()) continue;
    CDuiRect visible(control->GetPos());
    if (!visible.Intersect(area)) continue;
    control->DoPaint(target, area);
  }
  if (target != hdc) {
    ::BitBlt(hdc, area.left, area.top, area.GetWidth(), area.GetHeight(), target, area.left, area.top, SRCCOPY);
  }
}

}  // namespace DuiLib
