#include "engine/view/select_list.h"

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

void SelectList::OpenPopup(int select) {
  if (view_.document_.HasAttribute(select, "disabled")) return;
  view_.renderer_.UpdateLayout();
  const LayoutBox& box = view_.layout_.Box(select);
  if (!box.laid) return;
  const FontCache::Font& font = view_.fonts_.Get(view_.renderer_.StyleOf(select));
  view_.popup_.Open(view_.document_, select, box, font.height, view_.width_, view_.height_);
  view_.SchedulePaint();
}

void SelectList::ClosePopup() {
  if (!view_.popup_.open()) return;
  view_.popup_.Close();
  view_.SchedulePaint();
}

void SelectList::ChooseOption(int select, int option) {
  // The list is a snapshot: the option may have gone since it opened.
  if (option < 0 || !view_.document_.IsElement(select) || view_.document_.node(option).parent != select) return;
  const int old = view_.document_.SelectedOption(select);
  view_.document_.SelectOption(select, option);
  view_.SchedulePaint();
  if (old == option) return;
  ScriptContext::EventInit change;
  change.cancelable = false;
  view_.events_.Fire(select, "input", change);
  view_.events_.Fire(select, "change", change);
}

bool SelectList::PopupMouse(unsigned message, int x, int y) {
  switch (message) {
    case WM_MOUSEMOVE:
      if (view_.popup_.HighlightAt(x, y)) view_.SchedulePaint();
      return true;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
      // A press outside the list closes it and goes no further, nor does its
      // release; a press inside waits for the release.
      if (view_.popup_.open() && view_.popup_.Contains(x, y)) return true;
      ClosePopup();
      view_.swallowRelease_ = true;
      return true;
    case WM_LBUTTONUP: {
      if (view_.swallowRelease_ || !view_.popup_.open()) {
        view_.swallowRelease_ = false;
        return true;
      }
      const int option = view_.popup_.OptionAt(x, y);
      if (option < 0) return true;
      const int select = view_.popup_.select();
      ClosePopup();
      ChooseOption(select, option);
      return true;
    }
    case WM_RBUTTONUP:
      view_.swallowRelease_ = false;
      return true;
    default:
      return true;
  }
}

void SelectList::PopupKey(unsigned code, bool shift, bool alt) {
  const int select = view_.popup_.select();
  switch (code) {
    case VK_UP:
    case VK_DOWN:
      if (alt) {
        const int option = view_.popup_.Highlighted();
        ClosePopup();
        ChooseOption(select, option);
        return;
      }
      view_.popup_.Move(code == VK_UP ? -1 : 1);
      break;
    case VK_HOME:
    case VK_END:
      view_.popup_.Move(code == VK_HOME ? -1 : 1, true);
      break;
    case VK_PRIOR:
    case VK_NEXT:
      view_.popup_.Move(code == VK_PRIOR ? -SelectPopup::kVisibleItems : SelectPopup::kVisibleItems);
      break;
    case VK_RETURN:
    case VK_F4:
    case VK_TAB: {
      const int option = view_.popup_.Highlighted();
      ClosePopup();
      ChooseOption(select, option);
      if (code == VK_TAB) view_.focus_.MoveFocus(shift);
      return;
    }
    case VK_ESCAPE:
      ClosePopup();
      return;
    default:
      return;
  }
  view_.SchedulePaint();
}

bool SelectList::SelectKey(int select, unsigned code, bool alt, bool repeat) {
  if (view_.document_.HasAttribute(select, "disabled")) return false;
  const bool opens = code == VK_RETURN || code == VK_F4 || (code == VK_SPACE && !repeat) ||
                     (alt && (code == VK_DOWN || code == VK_UP));
  if (opens) {
    OpenPopup(select);
    return true;
  }
  if (code != VK_UP && code != VK_DOWN && code != VK_HOME && code != VK_END) return false;
  // Closed, the arrows choose the neighbouring option at once.
  view_.renderer_.UpdateLayout();
  SelectPopup probe;
  probe.Open(view_.document_, select, view_.layout_.Box(select), 16, view_.width_, view_.height_);
  probe.Move(code == VK_UP || code == VK_HOME ? -1 : 1, code == VK_HOME || code == VK_END);
  ChooseOption(select, probe.Highlighted());
  return true;
}

}  // namespace halyx::engine
