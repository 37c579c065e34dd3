#include "engine/view/view_accessibility.h"

#include <oleacc.h>

#include <algorithm>
#include <climits>

#include "engine/layout/layout_engine.h"
#include "engine/view/accessible_element.h"
#include "engine/view/engine_host.h"
#include "engine/view/web_view.h"

namespace halyx::engine {
namespace {

// EVENT_OBJECT_LIVEREGIONCHANGED, Windows 8 and later: the headers define it
// only for builds aimed at those, and older systems pass over an event they
// do not know. Readers there hear the region's name change instead.
constexpr DWORD kEventLiveRegionChanged = 0x8019;

// The DLL hands out objects that other processes may keep: a client's last
// Release can come after the host has let the DLL go, so once it has handed
// one out it stays loaded for the rest of the process.
void PinThisModule() {
  static bool pinned = false;
  if (pinned) return;
  HMODULE module = nullptr;
  pinned = ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                                reinterpret_cast<LPCWSTR>(&PinThisModule), &module) != FALSE;
}

}  // namespace

void ViewAccessibility::SetHost(HWND window, POINT origin) {
  window_ = window;
  origin_ = origin;
}

LRESULT ViewAccessibility::AnswerGetObject(WPARAM wparam, LPARAM lparam) {
  // The object id arrives in the low 32 bits, sign-extended or not.
  if (static_cast<LONG>(static_cast<DWORD>(lparam)) != OBJID_CLIENT) return 0;
  PinThisModule();
  if (!active_) {
    active_ = true;
    // What the regions hold now is what the reader finds; only later
    // changes are announced.
    ScanLiveRegions(Tree(), nullptr);
  }
  AccessibleElement* root = AccessibleElement::Create(view_.id(), 0);
  const LRESULT answer = ::LresultFromObject(IID_IAccessible, wparam, static_cast<IAccessible*>(root));
  root->Release();
  return answer < 0 ? 0 : answer;
}

void ViewAccessibility::PageReplaced() {
  ++page_;
  ids_.clear();
  byNode_.clear();
  watched_ = 0;
  children_.clear();
  lastFocus_ = -1;
  liveTexts_.clear();
}

bool ViewAccessibility::Alive(const Entry& entry) const {
  const HtmlDocument& doc = view_.document_;
  return entry.page == page_ && doc.IsNode(entry.node) && doc.generation(entry.node) == entry.generation &&
         doc.Contains(0, entry.node);
}

void ViewAccessibility::Forget() {
  for (auto it = ids_.begin(); it != ids_.end();) {
    if (Alive(it->second)) {
      ++it;
      continue;
    }
    byNode_.erase({it->second.node, it->second.generation});
    if (it->second.watched) --watched_;
    liveTexts_.erase(it->first);
    it = ids_.erase(it);
  }
}

LONG ViewAccessibility::IdOf(int node) {
  if (node == 0) return 0;
  const HtmlDocument& doc = view_.document_;
  if (!doc.IsNode(node) || !doc.Contains(0, node)) return 0;
  const std::pair<int, std::uint32_t> key{node, doc.generation(node)};
  const auto known = byNode_.find(key);
  if (known != byNode_.end()) return known->second;
  if (ids_.size() >= kMaxIds) Forget();
  if (nextId_ == LONG_MAX) {
    // Two billion ids later: start over rather than hand one out twice.
    PageReplaced();
    nextId_ = 1;
  }
  const LONG id = nextId_++;
  Entry entry;
  entry.page = page_;
  entry.node = node;
  entry.generation = key.second;
  if (watched_ < kMaxWatched) {
    AccessibilityTree tree = Tree();
    entry.watched = true;
    entry.name = tree.Name(node);
    entry.value = tree.Value(node);
    ++watched_;
  }
  ids_.emplace(id, std::move(entry));
  byNode_.emplace(key, id);
  return id;
}

int ViewAccessibility::Resolve(LONG id) const {
  if (id == 0) return 0;
  const auto found = ids_.find(id);
  return found != ids_.end() && Alive(found->second) ? found->second.node : -1;
}

AccessibilityTree ViewAccessibility::Tree() {
  view_.CurrentLayout();
  return AccessibilityTree(view_.document_, view_.computed_);
}

const std::vector<int>& ViewAccessibility::Children(int node) {
  if (childrenVersion_ != view_.document_.version()) {
    children_.clear();
    childrenVersion_ = view_.document_.version();
  }
  const auto found = children_.find(node);
  if (found != children_.end()) return found->second;
  return children_.emplace(node, Tree().Children(node)).first->second;
}

bool ViewAccessibility::ScreenRect(int node, RECT& rect) {
  if (window_ == nullptr) return false;
  const HtmlDocument& doc = view_.document_;
  float box[4] = {0, 0, static_cast<float>(view_.width_), static_cast<float>(view_.height_)};
  // A text is placed by the element that holds it.
  const int element = doc.IsText(node) ? doc.node(node).parent : node;
  if (element != 0 && !view_.ElementRect(element, box)) return false;
  // The layout's boxes are in CSS pixels; readers and magnifiers take
  // device pixels, as the view paints them at the window's scale.
  const float scale = view_.scale();
  POINT corner{origin_.x + PixelOf(box[0] * scale), origin_.y + PixelOf(box[1] * scale)};
  if (!::ClientToScreen(window_, &corner)) return false;
  rect = RECT{corner.x, corner.y, corner.x + PixelOf(box[2] * scale), corner.y + PixelOf(box[3] * scale)};
  return true;
}

int ViewAccessibility::HitTest(int within, POINT screen) {
  POINT client = screen;
  if (window_ == nullptr || !::ScreenToClient(window_, &client)) return -1;
  const float x = static_cast<float>(client.x - origin_.x) / view_.scale();
  const float y = static_cast<float>(client.y - origin_.y) / view_.scale();
  if (x < 0 || y < 0 || x >= static_cast<float>(view_.width_) || y >= static_cast<float>(view_.height_)) return -1;
  view_.CurrentLayout();
  AccessibilityTree tree = Tree();
  const HtmlDocument& doc = view_.document_;
  int hit = view_.events_.HitTest(x, y);
  while (hit > 0 && !tree.Exposed(hit)) hit = doc.node(hit).parent;
  if (hit < 0) hit = 0;
  if (doc.Contains(within, hit)) return hit;
  // Over something outside this node (a box laid over it, say): the node
  // itself, when the point is in its box.
  RECT box{};
  return ScreenRect(within, box) && ::PtInRect(&box, screen) ? within : -1;
}

bool ViewAccessibility::Focusable(int node) const {
  return node > 0 && view_.document_.IsElement(node) && view_.focus_.IsFocusable(node);
}

int ViewAccessibility::FocusedNode() const {
  const int focus = view_.interaction_.focus;
  return focus > 0 && view_.document_.Contains(0, focus) ? focus : -1;
}

std::wstring ViewAccessibility::DefaultAction(int node) {
  AccessibilityTree tree = Tree();
  switch (tree.RoleOf(node)) {
    case AccessibilityTree::Role::kPushButton:
      return L"Press";
    case AccessibilityTree::Role::kLink:
      return L"Jump";
    case AccessibilityTree::Role::kCheckBox:
      return tree.Checked(node) ? L"Uncheck" : L"Check";
    case AccessibilityTree::Role::kRadio:
      return L"Select";
    default:
      return {};
  }
}

bool ViewAccessibility::Post(int node, void (*act)(WebView& view, int node)) {
  EngineHost* host = EngineHost::Instance();
  const LONG id = IdOf(node);
  if (host == nullptr || id == 0) return false;
  const unsigned view_id = view_.id();
  return host->PostTask([view_id, id, act]() {
    WebView* view = EngineHost::Instance()->FindView(view_id);
    // Script of the page may be on the stack under a dialog's message loop.
    if (view == nullptr || view->busy()) return;
    const int target = view->accessibility().Resolve(id);
    if (target > 0) act(*view, target);
  });
}

bool ViewAccessibility::DoDefaultAction(int node) {
  if (DefaultAction(node).empty() || Tree().Unavailable(node) || view_.busy()) return false;
  return Post(node, [](WebView& view, int target) {
    // As a click from the keyboard: checkboxes and radio buttons toggle,
    // click, input and change fire, and the page may save a file from it.
    ScriptContext::EventInit click;
    click.mouse = true;
    view.events_.Activate(target, click);
  });
}

bool ViewAccessibility::TakeFocus(int node) {
  if (!Focusable(node) || view_.busy()) return false;
  return Post(node, [](WebView& view, int target) { view.Focus(target); });
}

void ViewAccessibility::ScanLiveRegions(const AccessibilityTree& tree, std::vector<LONG>* changed) {
  const HtmlDocument& doc = view_.document_;
  if (liveVersion_ == doc.version()) return;
  liveVersion_ = doc.version();
  std::size_t regions = 0;
  for (std::size_t k = 1; k < doc.size() && regions < kMaxLiveRegions; ++k) {
    const int node = static_cast<int>(k);
    if (!doc.IsElement(node) || tree.LiveRegion(node).empty() || !tree.Exposed(node)) continue;
    ++regions;
    const LONG id = IdOf(node);
    if (id == 0) continue;
    std::string text = tree.Name(node);
    const auto known = liveTexts_.find(id);
    if (known == liveTexts_.end()) {
      liveTexts_.emplace(id, std::move(text));  // what it held when first seen is no change
    } else if (known->second != text) {
      known->second = std::move(text);
      if (changed != nullptr) changed->push_back(id);
    }
  }
}

void ViewAccessibility::AfterFrame() {
  if (!active_ || window_ == nullptr) return;
  children_.clear();
  AccessibilityTree tree = Tree();
  std::vector<std::pair<DWORD, LONG>> events;

  const int focus = FocusedNode();
  if (focus != lastFocus_) {
    lastFocus_ = focus;
    if (focus > 0 && tree.Exposed(focus)) {
      const LONG id = IdOf(focus);
      Entry& entry = ids_[id];
      if (!entry.watched) {
        entry.watched = true;
        entry.name = tree.Name(focus);
        entry.value = tree.Value(focus);
        ++watched_;
      }
      events.emplace_back(EVENT_OBJECT_FOCUS, id);
    }
  }

  std::vector<LONG> changedRegions;
  ScanLiveRegions(tree, &changedRegions);

  for (auto& [id, entry] : ids_) {
    if (!entry.watched || !Alive(entry)) continue;
    std::string name = tree.Name(entry.node);
    if (name != entry.name) {
      entry.name = std::move(name);
      events.emplace_back(EVENT_OBJECT_NAMECHANGE, id);
    }
    std::string value = tree.Value(entry.node);
    if (value != entry.value) {
      entry.value = std::move(value);
      events.emplace_back(EVENT_OBJECT_VALUECHANGE, id);
    }
  }
  for (LONG id : changedRegions) {
    // A region's name is what it holds: readers of either kind hear it.
    const bool named = std::any_of(events.begin(), events.end(), [id](const std::pair<DWORD, LONG>& e) {
      return e.first == EVENT_OBJECT_NAMECHANGE && e.second == id;
    });
    if (!named) events.emplace_back(EVENT_OBJECT_NAMECHANGE, id);
    events.emplace_back(kEventLiveRegionChanged, id);
  }

  // Raised last: a client's hook may call back into the page's object,
  // which changes the tables walked above.
  for (const auto& [event, id] : events) ::NotifyWinEvent(event, window_, OBJID_CLIENT, -id);
}

}  // namespace halyx::engine
