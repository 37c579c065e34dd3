#include "engine/view/accessible_element.h"

#include <climits>
#include <string>

#include "base/guard.h"
#include "base/utf8.h"
#include "engine/view/engine_host.h"
#include "engine/view/web_view.h"

namespace halyx::engine {
namespace {

using Role = AccessibilityTree::Role;

// Nothing may unwind into a client's call.
template <typename Fn>
HRESULT Guard(Fn fn) {
  return GuardedQuietly(E_FAIL, fn);
}

BSTR MakeBstr(const std::string& utf8) {
  const std::wstring wide = Utf8ToWide(utf8);
  return ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

// A text answer: S_FALSE with null for none, as clients expect.
HRESULT TextAnswer(const std::string& text, BSTR* out) {
  if (text.empty()) return S_FALSE;
  *out = MakeBstr(text);
  return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

long SystemRole(Role role) {
  switch (role) {
    case Role::kDocument:
      return ROLE_SYSTEM_DOCUMENT;
    case Role::kPushButton:
      return ROLE_SYSTEM_PUSHBUTTON;
    case Role::kLink:
      return ROLE_SYSTEM_LINK;
    case Role::kCheckBox:
      return ROLE_SYSTEM_CHECKBUTTON;
    case Role::kRadio:
      return ROLE_SYSTEM_RADIOBUTTON;
    case Role::kText:
      return ROLE_SYSTEM_TEXT;
    case Role::kComboBox:
      return ROLE_SYSTEM_COMBOBOX;
    case Role::kList:
      return ROLE_SYSTEM_LIST;
    case Role::kListItem:
      return ROLE_SYSTEM_LISTITEM;
    case Role::kStaticText:
      return ROLE_SYSTEM_STATICTEXT;
    case Role::kGraphic:
      return ROLE_SYSTEM_GRAPHIC;
    case Role::kDialog:
      return ROLE_SYSTEM_DIALOG;
    case Role::kHeading:  // answered as a string, see get_accRole
    case Role::kGrouping:
    case Role::kNone:
      break;
  }
  return ROLE_SYSTEM_GROUPING;
}

}  // namespace

AccessibleElement* AccessibleElement::Create(unsigned view, LONG id) { return new AccessibleElement(view, id); }

HRESULT STDMETHODCALLTYPE AccessibleElement::QueryInterface(REFIID iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (iid != IID_IUnknown && iid != IID_IDispatch && iid != IID_IAccessible) return E_NOINTERFACE;
  *object = static_cast<IAccessible*>(this);
  AddRef();
  return S_OK;
}

ULONG STDMETHODCALLTYPE AccessibleElement::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

ULONG STDMETHODCALLTYPE AccessibleElement::Release() {
  const LONG left = ::InterlockedDecrement(&refs_);
  if (left == 0) delete this;
  return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE AccessibleElement::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE AccessibleElement::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (info != nullptr) *info = nullptr;
  return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE AccessibleElement::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE AccessibleElement::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                                    UINT*) {
  return E_NOTIMPL;
}

HRESULT AccessibleElement::Self(WebView*& view, int& node) const {
  EngineHost* host = EngineHost::Instance();
  view = host != nullptr ? host->FindView(view_) : nullptr;
  if (view == nullptr) return CO_E_OBJNOTCONNECTED;
  node = view->accessibility().Resolve(id_);
  return node < 0 ? CO_E_OBJNOTCONNECTED : S_OK;
}

HRESULT AccessibleElement::Target(const VARIANT& child, WebView*& view, int& node) const {
  int self = -1;
  const HRESULT alive = Self(view, self);
  if (FAILED(alive)) return alive;
  if (child.vt != VT_I4) return E_INVALIDARG;
  if (child.lVal == CHILDID_SELF) {
    node = self;
    return S_OK;
  }
  if (child.lVal > 0) {
    const std::vector<int>& children = view->accessibility().Children(self);
    if (static_cast<std::size_t>(child.lVal) > children.size()) return E_INVALIDARG;
    node = children[static_cast<std::size_t>(child.lVal) - 1];
    return S_OK;
  }
  // From a WinEvent: any node of the page, when this is the page's object.
  // LONG_MIN has no positive counterpart.
  if (child.lVal == LONG_MIN) return E_INVALIDARG;
  node = view->accessibility().Resolve(-child.lVal);
  return node > 0 ? S_OK : E_INVALIDARG;
}

template <typename Fn>
HRESULT AccessibleElement::OnTarget(const VARIANT& child, Fn fn) const {
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT found = Target(child, view, node);
    return FAILED(found) ? found : fn(view, node);
  });
}

void AccessibleElement::Wrap(WebView& view, int node, IDispatch** out) {
  *out = nullptr;
  const LONG id = view.accessibility().IdOf(node);
  if (node != 0 && id == 0) return;
  *out = Create(view.id(), id);
}

void AccessibleElement::Answer(WebView& view, int self, int node, VARIANT* out) {
  ::VariantInit(out);
  if (node == self) {
    out->vt = VT_I4;
    out->lVal = CHILDID_SELF;
    return;
  }
  IDispatch* object = nullptr;
  Wrap(view, node, &object);
  if (object == nullptr) return;
  out->vt = VT_DISPATCH;
  out->pdispVal = object;
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accParent(IDispatch** parent) {
  if (parent == nullptr) return E_POINTER;
  *parent = nullptr;
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT alive = Self(view, node);
    if (FAILED(alive)) return alive;
    if (node == 0) {
      // Above the page: the host window, as the system describes it.
      HWND window = view->accessibility().window();
      if (window == nullptr) return S_FALSE;
      return ::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_WINDOW), IID_IDispatch,
                                          reinterpret_cast<void**>(parent));
    }
    const int up = view->accessibility().Tree().Parent(node);
    if (up < 0) return S_FALSE;
    Wrap(*view, up, parent);
    return *parent != nullptr ? S_OK : S_FALSE;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accChildCount(long* count) {
  if (count == nullptr) return E_POINTER;
  *count = 0;
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT alive = Self(view, node);
    if (FAILED(alive)) return alive;
    *count = static_cast<long>(view->accessibility().Children(node).size());
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accChild(VARIANT child, IDispatch** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    if (child.lVal == CHILDID_SELF) return E_INVALIDARG;
    Wrap(*view, node, object);
    return *object != nullptr ? S_OK : E_INVALIDARG;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accName(VARIANT child, BSTR* name) {
  if (name == nullptr) return E_POINTER;
  *name = nullptr;
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    return TextAnswer(view->accessibility().Tree().Name(node), name);
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accValue(VARIANT child, BSTR* value) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    AccessibilityTree tree = view->accessibility().Tree();
    // A password is not read out to any process that asks.
    if (tree.Password(node)) return E_ACCESSDENIED;
    return TextAnswer(tree.Value(node), value);
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accDescription(VARIANT child, BSTR* description) {
  if (description == nullptr) return E_POINTER;
  *description = nullptr;
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT found = Target(child, view, node);
    return FAILED(found) ? found : S_FALSE;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accRole(VARIANT child, VARIANT* role) {
  if (role == nullptr) return E_POINTER;
  ::VariantInit(role);
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    AccessibilityTree tree = view->accessibility().Tree();
    const Role kind = tree.RoleOf(node);
    if (kind == Role::kHeading) {
      // The system has no heading role; readers take "h1".."h6" as one
      // with its level.
      role->vt = VT_BSTR;
      role->bstrVal = MakeBstr("h" + std::to_string(tree.HeadingLevel(node)));
      return role->bstrVal != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    role->vt = VT_I4;
    role->lVal = SystemRole(kind);
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accState(VARIANT child, VARIANT* state) {
  if (state == nullptr) return E_POINTER;
  ::VariantInit(state);
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    ViewAccessibility& access = view->accessibility();
    AccessibilityTree tree = access.Tree();
    long bits = 0;
    if (access.Focusable(node)) bits |= STATE_SYSTEM_FOCUSABLE;
    if (node > 0 && access.FocusedNode() == node) bits |= STATE_SYSTEM_FOCUSED;
    if (tree.Checked(node)) bits |= STATE_SYSTEM_CHECKED;
    if (tree.Pressed(node)) bits |= STATE_SYSTEM_PRESSED;
    if (tree.Unavailable(node)) bits |= STATE_SYSTEM_UNAVAILABLE;
    if (tree.Password(node)) bits |= STATE_SYSTEM_PROTECTED;
    if (tree.ReadOnly(node)) bits |= STATE_SYSTEM_READONLY;
    if (tree.RoleOf(node) == Role::kLink) bits |= STATE_SYSTEM_LINKED;
    RECT box{};
    if (node > 0 &&
        (tree.StyleHidden(node) || !access.ScreenRect(node, box) || box.right <= box.left || box.bottom <= box.top)) {
      bits |= STATE_SYSTEM_INVISIBLE;
    }
    state->vt = VT_I4;
    state->lVal = bits;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accHelp(VARIANT child, BSTR* help) {
  if (help == nullptr) return E_POINTER;
  *help = nullptr;
  return get_accDescription(child, help);
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accHelpTopic(BSTR* file, VARIANT, long* topic) {
  if (file != nullptr) *file = nullptr;
  if (topic != nullptr) *topic = -1;
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) {
  if (shortcut == nullptr) return E_POINTER;
  *shortcut = nullptr;
  return get_accDescription(child, shortcut);
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accFocus(VARIANT* focus) {
  if (focus == nullptr) return E_POINTER;
  ::VariantInit(focus);
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT alive = Self(view, node);
    if (FAILED(alive)) return alive;
    const int focused = view->accessibility().FocusedNode();
    if (focused < 0 || !view->document().Contains(node, focused)) return S_FALSE;
    Answer(*view, node, focused, focus);
    return focus->vt == VT_EMPTY ? S_FALSE : S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accSelection(VARIANT* selection) {
  if (selection == nullptr) return E_POINTER;
  ::VariantInit(selection);
  return DISP_E_MEMBERNOTFOUND;
}

HRESULT STDMETHODCALLTYPE AccessibleElement::get_accDefaultAction(VARIANT child, BSTR* action) {
  if (action == nullptr) return E_POINTER;
  *action = nullptr;
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    const std::wstring name = view->accessibility().DefaultAction(node);
    if (name.empty()) return S_FALSE;
    *action = ::SysAllocString(name.c_str());
    return *action != nullptr ? S_OK : E_OUTOFMEMORY;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::accSelect(long flags, VARIANT child) {
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    if (flags != SELFLAG_TAKEFOCUS) return DISP_E_MEMBERNOTFOUND;
    return view->accessibility().TakeFocus(node) ? S_OK : S_FALSE;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::accLocation(long* left, long* top, long* width, long* height,
                                                         VARIANT child) {
  if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
  *left = *top = *width = *height = 0;
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    RECT box{};
    if (!view->accessibility().ScreenRect(node, box)) return S_FALSE;
    *left = box.left;
    *top = box.top;
    *width = box.right - box.left;
    *height = box.bottom - box.top;
    return S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::accNavigate(long direction, VARIANT start, VARIANT* end) {
  if (end == nullptr) return E_POINTER;
  ::VariantInit(end);
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT found = Target(start, view, node);
    if (FAILED(found)) return found;
    int self = -1;
    Self(view, self);
    ViewAccessibility& access = view->accessibility();
    int next = -1;
    if (direction == NAVDIR_FIRSTCHILD || direction == NAVDIR_LASTCHILD) {
      const std::vector<int>& children = access.Children(node);
      if (!children.empty()) next = direction == NAVDIR_FIRSTCHILD ? children.front() : children.back();
    } else if (direction == NAVDIR_NEXT || direction == NAVDIR_PREVIOUS) {
      const int parent = access.Tree().Parent(node);
      if (parent >= 0) {
        const std::vector<int> siblings = access.Children(parent);
        for (std::size_t k = 0; k < siblings.size(); ++k) {
          if (siblings[k] != node) continue;
          if (direction == NAVDIR_NEXT && k + 1 < siblings.size()) next = siblings[k + 1];
          if (direction == NAVDIR_PREVIOUS && k > 0) next = siblings[k - 1];
          break;
        }
      }
    } else {
      // Up, down, left and right by position are not offered.
      return E_NOTIMPL;
    }
    if (next < 0) return S_FALSE;
    Answer(*view, self, next, end);
    return end->vt == VT_EMPTY ? S_FALSE : S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::accHitTest(long x, long y, VARIANT* child) {
  if (child == nullptr) return E_POINTER;
  ::VariantInit(child);
  return Guard([&]() -> HRESULT {
    WebView* view = nullptr;
    int node = -1;
    const HRESULT alive = Self(view, node);
    if (FAILED(alive)) return alive;
    const int hit = view->accessibility().HitTest(node, POINT{x, y});
    if (hit < 0) return S_FALSE;
    Answer(*view, node, hit, child);
    return child->vt == VT_EMPTY ? S_FALSE : S_OK;
  });
}

HRESULT STDMETHODCALLTYPE AccessibleElement::accDoDefaultAction(VARIANT child) {
  return OnTarget(child, [&](WebView* view, int node) -> HRESULT {
    return view->accessibility().DoDefaultAction(node) ? S_OK : DISP_E_MEMBERNOTFOUND;
  });
}

// The page's texts and values belong to the page: no process changes them
// from outside.
HRESULT STDMETHODCALLTYPE AccessibleElement::put_accName(VARIANT, BSTR) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE AccessibleElement::put_accValue(VARIANT, BSTR) { return E_NOTIMPL; }

}  // namespace halyx::engine
