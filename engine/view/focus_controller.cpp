#include "engine/view/focus_controller.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
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

void FocusController::Focus(int element) {
  // Out of the tree an element has no box for a caret or a ring, and no
  // place in the tab order; removal already takes the focus away.
  if (element >= 0 && (!view_.document_.IsElement(element) || !view_.document_.Contains(0, element))) return;
  if (element == view_.interaction_.focus) return;
  if (view_.popup_.open() && element != view_.popup_.select()) view_.selectList_.ClosePopup();
  view_.focusRing_ = false;
  const int old = view_.interaction_.focus;
  if (old >= 0 && view_.editor_.IsTextField(old) && view_.document_.Attribute(old, "value") != view_.focusValue_) {
    ScriptContext::EventInit change;
    view_.interaction_.focus = -1;
    view_.events_.Fire(old, "change", change);
  }
  view_.interaction_.focus = element;
  if (view_.editor_.IsTextField(element)) {
    view_.focusValue_ = view_.document_.Attribute(element, "value");
    view_.edit_.caret = view_.edit_.anchor = static_cast<int>(view_.editor_.FieldText().size());
  }
  if (view_.styles_.Uses(kPseudoFocus)) view_.renderer_.RestyleForState(old, element, kPseudoFocus);
  view_.SchedulePaint();
  ScriptContext::EventInit init;
  init.bubbles = false;
  init.cancelable = false;
  if (old >= 0 && view_.document_.Contains(0, old)) view_.events_.Fire(old, "blur", init);
  if (element >= 0 && view_.interaction_.focus == element) view_.events_.Fire(element, "focus", init);
}

int FocusController::TabIndex(int element) const {
  if (!view_.document_.IsElement(element) || view_.document_.HasAttribute(element, "disabled")) return -1;
  const std::string value = view_.document_.Attribute(element, "tabindex");
  if (!value.empty()) {
    char* end = nullptr;
    const long index = std::strtol(value.c_str(), &end, 10);
    if (end != value.c_str() && *end == '\0') return static_cast<int>(std::clamp(index, -1L, 32767L));
  }
  const std::string& tag = view_.document_.node(element).tag;
  const bool natural = tag == "button" || tag == "select" || tag == "textarea" ||
                       (tag == "input" && view_.document_.Attribute(element, "type") != "hidden") || IsLink(element);
  return natural ? 0 : -1;
}

bool FocusController::IsLink(int element) const {
  return view_.document_.IsElement(element) && view_.document_.node(element).tag == "a" &&
         view_.document_.HasAttribute(element, "href");
}

bool FocusController::IsFocusable(int element) const {
  return TabIndex(element) >= 0 ||
         (view_.document_.HasAttribute(element, "tabindex") && !view_.document_.HasAttribute(element, "disabled"));
}

bool FocusController::KeyActivates(int element, unsigned code, bool repeat) const {
  if (view_.document_.HasAttribute(element, "disabled")) return false;
  const std::string& tag = view_.document_.node(element).tag;
  const std::string type = tag == "input" ? view_.document_.Attribute(element, "type") : std::string();
  const bool button =
      tag == "button" || type == "button" || type == "submit" || type == "reset" || type == "image" || type == "file";
  const bool toggle = type == "checkbox" || type == "radio";
  const bool link = IsLink(element);
  // Enter clicks buttons and follows links; Space presses buttons and
  // toggles boxes, once per press rather than per repeat.
  if (code == VK_RETURN) return button || link;
  if (code == VK_SPACE) return !repeat && (button || toggle);
  return false;
}

void FocusController::MoveFocus(bool backward) {
  view_.renderer_.UpdateLayout();
  // Elements with a positive tabindex first, in its order, then the rest in
  // document order; what is not shown (display none anywhere above,
  // visibility hidden) is skipped.
  std::vector<std::pair<int, int>> order;
  std::vector<int> stack(view_.document_.node(0).children.rbegin(), view_.document_.node(0).children.rend());
  while (!stack.empty()) {
    const int at = stack.back();
    stack.pop_back();
    if (!view_.document_.IsElement(at) || !view_.layout_.Box(at).laid) continue;
    const int index = TabIndex(at);
    if (index >= 0 && view_.renderer_.StyleOf(at).visible) order.emplace_back(index > 0 ? index : 1 << 16, at);
    const auto& children = view_.document_.node(at).children;
    stack.insert(stack.end(), children.rbegin(), children.rend());
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const std::pair<int, int>& a, const std::pair<int, int>& b) { return a.first < b.first; });
  if (order.empty()) return;
  const auto count = static_cast<int>(order.size());
  int at = -1;
  for (int k = 0; k < count && at < 0; ++k) {
    if (order[static_cast<std::size_t>(k)].second == view_.interaction_.focus) at = k;
  }
  const int next = at < 0 ? (backward ? count - 1 : 0) : (at + (backward ? count - 1 : 1)) % count;
  const int element = order[static_cast<std::size_t>(next)].second;
  Focus(element);
  if (view_.interaction_.focus != element) return;  // a listener moved it on
  view_.focusRing_ = true;
  // A field entered from the keyboard has its text selected, ready to be
  // typed over.
  if (view_.editor_.IsTextField(element)) {
    view_.edit_.anchor = 0;
    view_.edit_.caret = static_cast<int>(view_.editor_.FieldText().size());
  }
  ScrollIntoView(element);
}

void FocusController::ScrollIntoView(int element) {
  for (int at = view_.document_.node(element).parent; at >= 0; at = at > 0 ? view_.document_.node(at).parent : -1) {
    if (at > 0 && view_.renderer_.StyleOf(at).overflow != ComputedStyle::Overflow::kAuto) continue;
    view_.renderer_.UpdateLayout();
    const LayoutBox& box = view_.layout_.Box(element);
    const LayoutBox& port = view_.layout_.Box(at);
    const float top = at > 0 ? port.y : 0;
    const float height = at > 0 ? port.client_height : static_cast<float>(view_.height_);
    if (height <= 0) continue;
    float delta = 0;
    if (box.y < top) {
      delta = box.y - top;
    } else if (box.y + box.h > top + height) {
      delta = std::min(box.y + box.h - (top + height), box.y - top);
    }
    if (delta == 0) continue;
    float now = 0, content = 0;
    view_.ScrollMetrics(at, now, content);
    view_.ScrollTo(at, now + delta);
  }
}

}  // namespace halyx::engine
