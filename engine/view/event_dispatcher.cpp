#include "engine/view/event_dispatcher.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/net/save_target.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

constexpr int kWheelLines = 3;
constexpr float kWheelLineHeight = 20;

std::string LowerAscii(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

int EventDispatcher::HitTestIn(int element, float x, float y, const Painter::Clip& clip) {
  const ComputedStyle& s = view_.renderer_.StyleOf(element);
  const LayoutBox& box = view_.layout_.Box(element);
  if (s.display == ComputedStyle::Display::kNone || !box.laid) return -1;
  const bool inside = x >= box.x && x < box.x + box.w && y >= box.y && y < box.y + box.h &&
                      x >= static_cast<float>(clip.left) && x < static_cast<float>(clip.right) &&
                      y >= static_cast<float>(clip.top) && y < static_cast<float>(clip.bottom);
  Painter::Clip inner = clip;
  if (s.overflow != ComputedStyle::Overflow::kVisible) {
    inner = Painter::Clip{std::max(clip.left, PixelOf(box.x)), std::max(clip.top, PixelOf(box.y)),
                          std::min(clip.right, PixelOf(box.x + box.w)), std::min(clip.bottom, PixelOf(box.y + box.h))};
  }
  // The same order as painting: later and positioned boxes lie on top.
  int hit = -1;
  std::vector<int> positioned;
  for (int child : view_.document_.node(element).children) {
    if (!view_.document_.IsElement(child)) continue;
    if (view_.renderer_.StyleOf(child).position != ComputedStyle::Position::kStatic) {
      positioned.push_back(child);
      continue;
    }
    const int found = HitTestIn(child, x, y, inner);
    if (found >= 0) hit = found;
  }
  std::stable_sort(positioned.begin(), positioned.end(), [this](int a, int b) {
    return view_.renderer_.StyleOf(a).z_index < view_.renderer_.StyleOf(b).z_index;
  });
  for (int child : positioned) {
    const bool fixed = view_.renderer_.StyleOf(child).position == ComputedStyle::Position::kFixed;
    const int found = HitTestIn(child, x, y, fixed ? Painter::Clip{0, 0, view_.width_, view_.height_} : inner);
    if (found >= 0) hit = found;
  }
  if (hit >= 0) return hit;
  return inside && s.visible ? element : -1;
}

int EventDispatcher::HitTest(float x, float y) {
  view_.renderer_.UpdateLayout();
  int hit = -1;
  for (int child : view_.document_.node(0).children) {
    if (!view_.document_.IsElement(child)) continue;
    const int found = HitTestIn(child, x, y, Painter::Clip{0, 0, view_.width_, view_.height_});
    if (found >= 0) hit = found;
  }
  // Below every box lies the page itself: its body, as in browsers.
  if (hit < 0) hit = view_.document_.Body();
  return hit;
}

int EventDispatcher::Fire(int target, const char* type, const ScriptContext::EventInit& init) {
  if (!view_.script_ || target < -1) return 0;
  // A person's click or key: its handlers may do what a page may do only
  // when asked (save a file). Events a script dispatches do not come here.
  const bool gesture = std::strcmp(type, "click") == 0 || std::strcmp(type, "keydown") == 0 ||
                       std::strcmp(type, "keyup") == 0 || std::strcmp(type, "keypress") == 0;
  const bool outer = view_.activation_;
  if (gesture) view_.activation_ = true;
  const int result = view_.script_->Dispatch(target, type, init);
  view_.activation_ = outer;
  return result;
}

void EventDispatcher::SetHover(int element) {
  if (element == view_.interaction_.hover) return;
  const int old = view_.interaction_.hover;
  view_.interaction_.hover = element;
  if (view_.styles_.Uses(kPseudoHover)) {
    view_.renderer_.RestyleForState(old, element, kPseudoHover);
    view_.SchedulePaint();
  }
  ScriptContext::EventInit init;
  init.mouse = true;
  if (old >= 0 && view_.document_.Contains(0, old)) Fire(old, "mouseout", init);
  if (element >= 0) Fire(element, "mouseover", init);
  // mouseleave and mouseenter go to each element the pointer left or
  // entered, without bubbling.
  init.bubbles = false;
  for (int at = old; at > 0; at = view_.document_.node(at).parent) {
    if (element < 0 || !view_.document_.Contains(at, element)) Fire(at, "mouseleave", init);
  }
  std::vector<int> entered;
  for (int at = element; at > 0; at = view_.document_.node(at).parent) {
    if (old < 0 || !view_.document_.Contains(at, old)) entered.push_back(at);
  }
  for (auto it = entered.rbegin(); it != entered.rend(); ++it) Fire(*it, "mouseenter", init);
}

bool EventDispatcher::MouseEvent(unsigned message, float x, float y, unsigned flags) {
  // The list's rows lie on whole CSS pixels: the CSS pixel a device pixel
  // falls in is the row it shows.
  if (view_.popup_.open() || view_.swallowRelease_)
    return view_.selectList_.PopupMouse(message, PixelOf(std::floor(x)), PixelOf(std::floor(y)));
  const int hit = HitTest(x, y);
  ScriptContext::EventInit init;
  init.mouse = true;
  init.x = PixelOf(std::floor(x));
  init.y = PixelOf(std::floor(y));
  init.ctrl = (flags & MK_CONTROL) != 0;
  init.shift = (flags & MK_SHIFT) != 0;
  init.buttons = (flags & MK_LBUTTON) != 0 ? 1u : 0u;
  int result = 0;
  switch (message) {
    case WM_MOUSEMOVE:
      SetHover(hit);
      result = Fire(hit, "mousemove", init);
      if (view_.pressed_ >= 0 && view_.pressed_ == view_.interaction_.focus &&
          view_.editor_.IsTextField(view_.pressed_) && (flags & MK_LBUTTON) != 0) {
        // Dragging in a field selects.
        view_.edit_.caret = view_.editor_.CaretFromPoint(view_.pressed_, x, y);
        view_.SchedulePaint();
      }
      break;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
      SetHover(hit);
      view_.pressed_ = hit;
      if (view_.styles_.Uses(kPseudoActive))
        view_.renderer_.RestyleForState(view_.interaction_.active, hit, kPseudoActive);
      view_.interaction_.active = hit;
      view_.SchedulePaint();
      result = Fire(hit, "mousedown", init);
      if ((result & ScriptContext::kDefaultPrevented) == 0) {
        // Focus goes to the nearest focusable element under the press.
        int target = hit;
        while (target > 0 && !view_.focus_.IsFocusable(target)) target = view_.document_.node(target).parent;
        view_.focusRing_ = false;  // the pointer shows where the focus went
        view_.focus_.Focus(target > 0 ? target : -1);
        if (target > 0 && target == view_.interaction_.focus && view_.editor_.IsTextField(target)) {
          view_.edit_.caret = view_.edit_.anchor = view_.editor_.CaretFromPoint(target, x, y);
          if (message == WM_LBUTTONDBLCLK) {
            view_.edit_.anchor = 0;
            view_.edit_.caret = static_cast<int>(view_.editor_.FieldText().size());
          }
        }
      }
      if (message == WM_LBUTTONDBLCLK) result |= Fire(hit, "dblclick", init);
      break;
    }
    case WM_LBUTTONUP: {
      const int pressed = view_.pressed_;
      view_.pressed_ = -1;
      if (view_.styles_.Uses(kPseudoActive))
        view_.renderer_.RestyleForState(view_.interaction_.active, -1, kPseudoActive);
      view_.interaction_.active = -1;
      view_.SchedulePaint();
      result = Fire(hit, "mouseup", init);
      if (pressed < 0 || !view_.document_.Contains(0, pressed) || !view_.document_.Contains(0, hit)) break;
      // A click goes to the nearest element that holds both the press and
      // the release.
      int target = pressed;
      while (target > 0 && !view_.document_.Contains(target, hit)) target = view_.document_.node(target).parent;
      if (target <= 0 || view_.document_.HasAttribute(target, "disabled")) break;
      init.bubbles = true;
      const int clicked = Activate(target, init);
      result |= clicked;
      // A click on a select opens its list, unless a listener prevents it.
      if (view_.document_.node(target).tag == "select" && (clicked & ScriptContext::kDefaultPrevented) == 0 &&
          view_.document_.Contains(0, target)) {
        view_.selectList_.OpenPopup(target);
      }
      view_.SchedulePaint();
      return true;
    }
    case WM_RBUTTONDOWN:
      result = Fire(hit, "mousedown", init);
      break;
    case WM_RBUTTONUP:
      result = Fire(hit, "mouseup", init);
      result |= Fire(hit, "contextmenu", init);
      break;
    default:
      break;
  }
  return (result & ScriptContext::kListened) != 0 ||
         (hit > 0 && hit != view_.document_.Body() && message != WM_MOUSEMOVE);
}

int EventDispatcher::Activate(int target, const ScriptContext::EventInit& init) {
  // Checkboxes and radio buttons change before the click, and the
  // change is taken back if a listener prevents it.
  const bool toggle =
      view_.document_.node(target).tag == "input" &&
      (view_.document_.Attribute(target, "type") == "checkbox" || view_.document_.Attribute(target, "type") == "radio");
  const bool was_checked = view_.document_.HasAttribute(target, "checked");
  if (toggle) {
    if (view_.document_.Attribute(target, "type") == "radio") {
      const std::string name = view_.document_.Attribute(target, "name");
      for (std::size_t k = 1; k < view_.document_.size() && !name.empty(); ++k) {
        const int other = static_cast<int>(k);
        if (other != target && view_.document_.IsElement(other) &&
            view_.document_.Attribute(other, "type") == "radio" && view_.document_.Attribute(other, "name") == name) {
          view_.document_.RemoveAttribute(other, "checked");
        }
      }
      view_.document_.SetAttribute(target, "checked", "");
    } else if (was_checked) {
      view_.document_.RemoveAttribute(target, "checked");
    } else {
      view_.document_.SetAttribute(target, "checked", "");
    }
  }
  const int clicked = Fire(target, "click", init);
  // A person's click on a file input opens the open dialog.
  if ((clicked & ScriptContext::kDefaultPrevented) == 0 && view_.document_.IsElement(target) &&
      view_.document_.node(target).tag == "input" && view_.document_.Contains(0, target) &&
      LowerAscii(view_.document_.Attribute(target, "type")) == "file" &&
      !view_.document_.HasAttribute(target, "disabled")) {
    view_.picker_.Choose(target);
  }
  if (toggle) {
    if ((clicked & ScriptContext::kDefaultPrevented) != 0) {
      if (was_checked)
        view_.document_.SetAttribute(target, "checked", "");
      else
        view_.document_.RemoveAttribute(target, "checked");
    } else if (was_checked != view_.document_.HasAttribute(target, "checked") ||
               view_.document_.Attribute(target, "type") == "radio") {
      ScriptContext::EventInit change;
      change.cancelable = false;
      Fire(target, "input", change);
      Fire(target, "change", change);
    }
  }
  view_.SchedulePaint();
  return clicked;
}

bool EventDispatcher::MouseWheel(float x, float y, int delta, unsigned flags) {
  if (view_.popup_.open()) {
    // The list scrolls under the pointer; elsewhere the wheel does nothing
    // while it is open, as the page under it stays put.
    if (view_.popup_.Contains(PixelOf(std::floor(x)), PixelOf(std::floor(y)))) {
      view_.popup_.Scroll(delta > 0 ? -kWheelLines : kWheelLines);
      view_.SchedulePaint();
    }
    return true;
  }
  const int hit = HitTest(x, y);
  ScriptContext::EventInit init;
  init.wheel = true;
  init.x = PixelOf(std::floor(x));
  init.y = PixelOf(std::floor(y));
  init.wheel_delta = delta;
  init.ctrl = (flags & MK_CONTROL) != 0;
  const int result = Fire(hit, "wheel", init);
  if ((result & ScriptContext::kDefaultPrevented) != 0) return true;
  // Towards the user (negative delta) moves the content up: the nearest
  // scroll container under the pointer that can still move takes it, else
  // the page.
  const float step = -static_cast<float>(delta) * kWheelLines * kWheelLineHeight / WHEEL_DELTA;
  int target = hit;
  for (; target > 0; target = view_.document_.node(target).parent) {
    const ComputedStyle& s = view_.renderer_.StyleOf(target);
    const LayoutBox& box = view_.layout_.Box(target);
    if (s.overflow != ComputedStyle::Overflow::kAuto || box.content_height <= box.client_height + 0.5f) continue;
    const auto found = view_.scrolls_.find(target);
    const float now = found == view_.scrolls_.end() ? 0 : found->second;
    const float limit = box.content_height - box.client_height;
    if ((step > 0 && now < limit) || (step < 0 && now > 0)) break;
  }
  const int scroller = target > 0 ? target : 0;
  ScriptContext::EventInit scrolled;
  scrolled.bubbles = false;
  scrolled.cancelable = false;
  float before = 0, height = 0;
  view_.ScrollMetrics(scroller, before, height);
  view_.ScrollTo(scroller, before + step);
  float after = 0;
  view_.ScrollMetrics(scroller, after, height);
  if (after != before) Fire(scroller, "scroll", scrolled);
  return (result & ScriptContext::kListened) != 0 || after != before;
}

bool EventDispatcher::KeyEvent(const char* type, unsigned code, unsigned flags, bool system) {
  if (!view_.script_) return false;
  const std::string kind(type);
  const bool press = kind == "keypress";
  const bool ctrl = (::GetKeyState(VK_CONTROL) & 0x8000) != 0;
  const bool shift = (::GetKeyState(VK_SHIFT) & 0x8000) != 0;
  const bool alt = system || (::GetKeyState(VK_MENU) & 0x8000) != 0;
  ScriptContext::EventInit init;
  init.key = true;
  init.key_code = press ? 0 : code;
  init.char_code = press ? code : 0;
  init.repeat = (flags & 0x4000) != 0;
  init.ctrl = ctrl;
  init.shift = shift;
  init.alt = alt;
  const int focus = view_.interaction_.focus;
  const int target = focus >= 0 && view_.document_.Contains(0, focus) ? focus : std::max(view_.document_.Body(), 0);
  // An open list takes the keys, as a window of its own would.
  if (view_.popup_.open()) {
    if (kind == "keydown") view_.selectList_.PopupKey(code, shift, alt);
    return true;
  }
  const int result = Fire(target, type, init);
  const bool used = (result & ScriptContext::kListened) != 0;
  if ((result & ScriptContext::kDefaultPrevented) != 0) return true;
  const int field = view_.interaction_.focus;
  if (kind == "keydown" && code == VK_TAB && !ctrl && !alt) {
    view_.focus_.MoveFocus(shift);
    return true;
  }
  if (kind == "keydown" && field >= 0 && view_.document_.Contains(0, field) &&
      view_.document_.node(field).tag == "select" && view_.selectList_.SelectKey(field, code, alt, init.repeat)) {
    return true;
  }
  if (kind == "keydown" && field >= 0 && view_.document_.Contains(0, field) && !view_.editor_.IsTextField(field) &&
      view_.focus_.KeyActivates(field, code, init.repeat)) {
    ScriptContext::EventInit click;
    click.mouse = true;
    Activate(field, click);
    return true;
  }
  if (!view_.editor_.IsTextField(field) || view_.document_.HasAttribute(field, "readonly") ||
      view_.document_.HasAttribute(field, "disabled")) {
    return used;
  }
  if (kind == "keydown") {
    if (code == VK_RETURN && view_.document_.node(field).tag == "textarea") {
      view_.editor_.InsertText(L"\n");
      ScriptContext::EventInit input;
      input.cancelable = false;
      Fire(field, "input", input);
      return true;
    }
    if (code == VK_RETURN) {
      if (view_.document_.Attribute(field, "value") != view_.focusValue_) {
        view_.focusValue_ = view_.document_.Attribute(field, "value");
        ScriptContext::EventInit change;
        change.cancelable = false;
        Fire(field, "change", change);
      }
      return true;
    }
    return view_.editor_.EditKey(code, shift, ctrl) || used;
  }
  if (press && code >= 0x20 && code != 0x7F && !ctrl) {
    view_.editor_.InsertText(std::wstring(1, static_cast<wchar_t>(code)));
    ScriptContext::EventInit input;
    input.cancelable = false;
    Fire(field, "input", input);
    return true;
  }
  return used;
}

int EventDispatcher::CursorId() const {
  const int element = view_.interaction_.hover;
  if (element < 0 || static_cast<std::size_t>(element) >= view_.computed_.size() ||
      !view_.document_.IsElement(element)) {
    return static_cast<int>(reinterpret_cast<std::uintptr_t>(IDC_ARROW));
  }
  static const std::map<std::string, LPCWSTR> kCursors = {
      {"default", IDC_ARROW},       {"pointer", IDC_HAND},         {"text", IDC_IBEAM},
      {"wait", IDC_WAIT},           {"progress", IDC_APPSTARTING}, {"help", IDC_HELP},
      {"crosshair", IDC_CROSS},     {"move", IDC_SIZEALL},         {"not-allowed", IDC_NO},
      {"no-drop", IDC_NO},          {"ew-resize", IDC_SIZEWE},     {"col-resize", IDC_SIZEWE},
      {"ns-resize", IDC_SIZENS},    {"row-resize", IDC_SIZENS},    {"nwse-resize", IDC_SIZENWSE},
      {"nesw-resize", IDC_SIZENESW}};
  const std::string& cursor = view_.renderer_.StyleOf(element).cursor;
  LPCWSTR id = IDC_ARROW;
  const auto known = kCursors.find(cursor);
  if (known != kCursors.end()) {
    id = known->second;
  } else if (view_.editor_.IsTextField(element) && !view_.document_.HasAttribute(element, "disabled")) {
    id = IDC_IBEAM;
  } else {
    // A link's hand reaches the text and boxes inside it.
    for (int node = element; node > 0; node = view_.document_.node(node).parent) {
      if (view_.focus_.IsLink(node)) {
        id = IDC_HAND;
        break;
      }
    }
  }
  return static_cast<int>(reinterpret_cast<std::uintptr_t>(id));
}

}  // namespace halyx::engine
