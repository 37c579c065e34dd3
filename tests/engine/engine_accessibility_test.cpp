// The page's accessible object through the system's entry points, with a
// view shown in a window of the test's own: object lifetime against node
// removal, page loads and the view's end; locations, hit testing and
// navigation; the default action and focus; and the WinEvents that follow
// changes.
#include <windows.h>

#include <oleacc.h>
#include <wrl/client.h>

#include <string>

#include <gtest/gtest.h>

#include "support/accessible_reader.h"
#include "support/engine_page.h"
#include "support/message_pump.h"

namespace halyx::testing {
namespace {

using Microsoft::WRL::ComPtr;

VARIANT ChildId(LONG id) {
  VARIANT child;
  ::VariantInit(&child);
  child.vt = VT_I4;
  child.lVal = id;
  return child;
}

std::wstring NameOf(IAccessible* object, LONG child = CHILDID_SELF, HRESULT* result = nullptr) {
  BSTR name = nullptr;
  const HRESULT hr = object->get_accName(ChildId(child), &name);
  if (result != nullptr) *result = hr;
  std::wstring out = name != nullptr ? name : L"";
  ::SysFreeString(name);
  return out;
}

// A window that shows the page's view at (10, 20) of its client area and
// hands its WM_GETOBJECT to the engine, as the client's browser control
// does.
class HostWindow {
 public:
  explicit HostWindow(wkeWebView view) : view_(view) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = &HostWindow::Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuorAccessibleHostTest";
    ::RegisterClassW(&wc);
    hwnd_ = ::CreateWindowExW(0, wc.lpszClassName, L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 30, 700, 560, nullptr,
                              nullptr, wc.hInstance, nullptr);
    ::SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    if (WkeSetHostWindow() != nullptr) WkeSetHostWindow()(view_, hwnd_, 10, 20);
  }
  ~HostWindow() {
    if (hwnd_ != nullptr) ::DestroyWindow(hwnd_);
  }
  HWND hwnd() const { return hwnd_; }
  void Forget() { view_ = nullptr; }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* self = reinterpret_cast<HostWindow*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (message == WM_GETOBJECT && self != nullptr && self->view_ != nullptr && WkeGetAccessibleObject() != nullptr) {
      const LRESULT answer = WkeGetAccessibleObject()(self->view_, wparam, lparam);
      if (answer != 0) return answer;
    }
    return ::DefWindowProcW(hwnd, message, wparam, lparam);
  }

  wkeWebView view_;
  HWND hwnd_ = nullptr;
};

class EngineAccessibilityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    ASSERT_NE(page_.view(), nullptr);
    ASSERT_NE(WkeGetAccessibleObject(), nullptr);
  }
  void TearDown() override {
    host_.reset();
    ::CoUninitialize();
  }
  // Loads `html`, shows it in the host window and answers its client
  // object.
  ComPtr<IAccessible> Show(const std::string& html) {
    if (!page_.Load(html)) return nullptr;
    if (!host_) host_ = std::make_unique<HostWindow>(page_.view());
    PumpMessagesFor(50);
    return AccessibleReader::ClientOf(host_->hwnd());
  }
  const AccessibleReader::Node* Find(const std::vector<AccessibleReader::Node>& nodes, long role, const wchar_t* name) {
    const AccessibleReader::Node* node = AccessibleReader::Find(nodes, role, name);
    EXPECT_NE(node, nullptr) << "no role " << role << " named " << name;
    return node;
  }

  EnginePage page_;
  std::unique_ptr<HostWindow> host_;
};

// A client may keep an object for as long as it likes: once its node is
// removed, its page replaced or its view destroyed, the object answers
// "not connected" and a stale child id "invalid", never another node.
TEST_F(EngineAccessibilityTest, ObjectsOfGoneNodesPagesAndViewsAnswerNotConnected) {
  ComPtr<IAccessible> root =
      Show("<button id=a>Alpha</button><button id=b>Beta</button><script>var kept = null;</script>");
  ASSERT_NE(root, nullptr);
  auto nodes = AccessibleReader::Walk(root.Get());
  const auto* alpha = Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Alpha");
  const auto* beta = Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Beta");
  ASSERT_TRUE(alpha != nullptr && beta != nullptr);
  ComPtr<IAccessible> gone = alpha->object;
  ComPtr<IAccessible> stays = beta->object;

  // Removed, its slot reclaimed and used again by a new button's nodes.
  ::wkeSetDebugConfig(page_.view(), "nodeSweepInterval", "0");
  const int before = page_.NodeCount();
  page_.Eval("document.getElementById('a').remove()");
  ASSERT_TRUE(PumpMessagesUntil([&] { return page_.NodeCount() == before - 2; }));
  page_.Eval("document.body.appendChild(document.createElement('button')).textContent = 'Gamma'");
  PumpMessagesFor(50);
  ASSERT_EQ(page_.NodeCount(), before);
  HRESULT result = S_OK;
  EXPECT_EQ(NameOf(gone.Get(), CHILDID_SELF, &result), L"");
  EXPECT_EQ(result, CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(NameOf(stays.Get()), L"Beta");
  long count = 0;
  EXPECT_EQ(gone->get_accChildCount(&count), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(gone->accDoDefaultAction(ChildId(CHILDID_SELF)), CO_E_OBJNOTCONNECTED);

  // Child ids: past the end, and of no node, are refused.
  ComPtr<IDispatch> child;
  EXPECT_EQ(root->get_accChild(ChildId(99), child.GetAddressOf()), E_INVALIDARG);
  EXPECT_EQ(root->get_accChild(ChildId(-123456), child.GetAddressOf()), E_INVALIDARG);
  EXPECT_EQ(root->get_accChild(ChildId(LONG_MIN), child.GetAddressOf()), E_INVALIDARG);
  VARIANT text;
  ::VariantInit(&text);
  text.vt = VT_BSTR;
  text.bstrVal = nullptr;
  BSTR name = nullptr;
  EXPECT_EQ(root->get_accName(text, &name), E_INVALIDARG);

  // A new page: nothing of the old one answers, the document object does.
  ComPtr<IAccessible> same_root = Show("<button>Delta</button>");
  EXPECT_EQ(NameOf(stays.Get(), CHILDID_SELF, &result), L"");
  EXPECT_EQ(result, CO_E_OBJNOTCONNECTED);
  nodes = AccessibleReader::Walk(root.Get());
  EXPECT_NE(AccessibleReader::Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Delta"), nullptr);

  // The view's end.
  host_->Forget();
  page_.DestroyView();
  EXPECT_EQ(root->get_accChildCount(&count), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(NameOf(root.Get(), CHILDID_SELF, &result), L"");
  EXPECT_EQ(result, CO_E_OBJNOTCONNECTED);
}

// Locations are screen coordinates of the element's box; a hit test finds
// the element under a point; navigation walks siblings and children.
TEST_F(EngineAccessibilityTest, LocationsHitTestsAndNavigationAgree) {
  ComPtr<IAccessible> root = Show(
      "<style>body{margin:0} button{position:absolute;width:100px;height:40px} #one{left:50px;top:60px}"
      " #two{left:300px;top:60px}</style><button id=one>One</button><button id=two>Two</button>"
      "<ul><li>First</li><li>Second</li></ul>");
  ASSERT_NE(root, nullptr);
  auto nodes = AccessibleReader::Walk(root.Get());
  const auto* one = Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"One");
  ASSERT_NE(one, nullptr);
  wkeRect box{};
  ASSERT_TRUE(page_.ElementRect("#one", box));
  EXPECT_EQ(box.x, 50);
  POINT corner{10 + box.x, 20 + box.y};
  ASSERT_TRUE(::ClientToScreen(host_->hwnd(), &corner));
  long left = 0, top = 0, width = 0, height = 0;
  ASSERT_EQ(one->object->accLocation(&left, &top, &width, &height, ChildId(CHILDID_SELF)), S_OK);
  EXPECT_EQ(left, corner.x);
  EXPECT_EQ(top, corner.y);
  EXPECT_EQ(width, box.w);
  EXPECT_EQ(height, box.h);

  VARIANT hit;
  ASSERT_EQ(root->accHitTest(corner.x + 250 + 5, corner.y + 5, &hit), S_OK);
  ASSERT_EQ(hit.vt, VT_DISPATCH);
  ComPtr<IAccessible> two;
  ASSERT_TRUE(SUCCEEDED(hit.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(two.GetAddressOf()))));
  ::VariantClear(&hit);
  EXPECT_EQ(NameOf(two.Get()), L"Two");
  ASSERT_EQ(one->object->accHitTest(corner.x + 5, corner.y + 5, &hit), S_OK);
  EXPECT_EQ(hit.vt, VT_I4);
  EXPECT_EQ(hit.lVal, CHILDID_SELF);
  EXPECT_EQ(one->object->accHitTest(corner.x + 250, corner.y + 5, &hit), S_FALSE);
  EXPECT_EQ(hit.vt, VT_EMPTY);

  // At 150 % readers and magnifiers get the device pixels the view paints.
  ::wkeSetDebugConfig(page_.view(), "dpi", "144");
  ASSERT_TRUE(page_.ElementRect("#one", box));
  EXPECT_EQ(box.x, 75);
  corner = POINT{10 + box.x, 20 + box.y};
  ASSERT_TRUE(::ClientToScreen(host_->hwnd(), &corner));
  ASSERT_EQ(one->object->accLocation(&left, &top, &width, &height, ChildId(CHILDID_SELF)), S_OK);
  EXPECT_EQ(left, corner.x);
  EXPECT_EQ(top, corner.y);
  EXPECT_EQ(width, box.w);
  EXPECT_EQ(height, box.h);
  ASSERT_EQ(root->accHitTest(corner.x + 375 + 5, corner.y + 5, &hit), S_OK);
  ASSERT_EQ(hit.vt, VT_DISPATCH);
  ComPtr<IAccessible> twoScaled;
  hit.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(twoScaled.GetAddressOf()));
  ::VariantClear(&hit);
  EXPECT_EQ(NameOf(twoScaled.Get()), L"Two");
  ::wkeSetDebugConfig(page_.view(), "dpi", "96");

  VARIANT next;
  ASSERT_EQ(one->object->accNavigate(NAVDIR_NEXT, ChildId(CHILDID_SELF), &next), S_OK);
  ASSERT_EQ(next.vt, VT_DISPATCH);
  ComPtr<IAccessible> after;
  next.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(after.GetAddressOf()));
  ::VariantClear(&next);
  EXPECT_EQ(NameOf(after.Get()), L"Two");
  EXPECT_EQ(one->object->accNavigate(NAVDIR_PREVIOUS, ChildId(CHILDID_SELF), &next), S_FALSE);
  const auto* list = Find(nodes, ROLE_SYSTEM_LIST, L"");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->object->accNavigate(NAVDIR_LASTCHILD, ChildId(CHILDID_SELF), &next), S_OK);
  ComPtr<IAccessible> last;
  next.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(last.GetAddressOf()));
  ::VariantClear(&next);
  EXPECT_EQ(NameOf(last.Get()), L"Second");
  ComPtr<IDispatch> parent;
  ASSERT_EQ(last->get_accParent(parent.GetAddressOf()), S_OK);
  ComPtr<IAccessible> list_again;
  parent.As(&list_again);
  long count = 0;
  EXPECT_EQ(list_again->get_accChildCount(&count), S_OK);
  EXPECT_EQ(count, 2);
}

// The default action clicks through the page's own event path (a checkbox
// toggles and fires change), from the message loop; a disabled control has
// none. Taking the focus moves it, and the move is announced with a child
// id that leads back to the element.
TEST_F(EngineAccessibilityTest, DefaultActionClicksAndFocusMovesAreAnnounced) {
  AccessibleReader reader;
  ComPtr<IAccessible> root = Show(
      "<label><input id=c type=checkbox onchange='changes++'>Share</label><button id=off disabled>Off</button>"
      "<input id=field aria-label='Device name'><script>var changes = 0;</script>");
  ASSERT_NE(root, nullptr);
  auto nodes = AccessibleReader::Walk(root.Get());
  const auto* box = Find(nodes, ROLE_SYSTEM_CHECKBUTTON, L"Share");
  const auto* off = Find(nodes, ROLE_SYSTEM_PUSHBUTTON, L"Off");
  const auto* field = Find(nodes, ROLE_SYSTEM_TEXT, L"Device name");
  ASSERT_TRUE(box != nullptr && off != nullptr && field != nullptr);
  EXPECT_EQ(box->state & (STATE_SYSTEM_CHECKED | STATE_SYSTEM_FOCUSABLE), STATE_SYSTEM_FOCUSABLE);
  EXPECT_EQ(off->state & STATE_SYSTEM_UNAVAILABLE, STATE_SYSTEM_UNAVAILABLE);

  BSTR action = nullptr;
  ASSERT_EQ(box->object->get_accDefaultAction(ChildId(CHILDID_SELF), &action), S_OK);
  EXPECT_STREQ(action, L"Check");
  ::SysFreeString(action);
  ASSERT_EQ(box->object->accDoDefaultAction(ChildId(CHILDID_SELF)), S_OK);
  EXPECT_EQ(page_.Eval("String(changes)"), "0");  // not inside the client's call
  ASSERT_TRUE(PumpMessagesUntil([&] { return page_.Eval("String(changes)") == "1"; }));
  EXPECT_EQ(AccessibleReader::Read(box->object.Get(), 0).state & STATE_SYSTEM_CHECKED, STATE_SYSTEM_CHECKED);
  EXPECT_EQ(off->object->accDoDefaultAction(ChildId(CHILDID_SELF)), DISP_E_MEMBERNOTFOUND);

  reader.Clear();
  ASSERT_EQ(field->object->accSelect(SELFLAG_TAKEFOCUS, ChildId(CHILDID_SELF)), S_OK);
  ASSERT_TRUE(PumpMessagesUntil([&] { return reader.Saw(EVENT_OBJECT_FOCUS); }));
  for (const auto& event : reader.events()) {
    if (event.event != EVENT_OBJECT_FOCUS) continue;
    EXPECT_EQ(event.window, host_->hwnd());
    EXPECT_EQ(event.object, OBJID_CLIENT);
    ComPtr<IAccessible> focused = AccessibleReader::ObjectOf(event);
    ASSERT_NE(focused, nullptr);
    const auto read = AccessibleReader::Read(focused.Get(), 0);
    EXPECT_EQ(read.name, L"Device name");
    EXPECT_EQ(read.state & STATE_SYSTEM_FOCUSED, STATE_SYSTEM_FOCUSED);
  }
  VARIANT focus;
  ASSERT_EQ(root->get_accFocus(&focus), S_OK);
  EXPECT_EQ(focus.vt, VT_DISPATCH);
  ::VariantClear(&focus);
}

// Changes a reader has seen are announced: a name, a value, and the text
// of a live region (with the region's new name); a region's first content
// is no change.
TEST_F(EngineAccessibilityTest, NameValueAndLiveRegionChangesRaiseTheirEvents) {
  AccessibleReader reader;
  ComPtr<IAccessible> root = Show(
      "<button id=b>Connect</button><input id=f value=one aria-label=Field>"
      "<div id=state aria-live=polite>Stopped</div><div id=quiet>Quiet</div>");
  ASSERT_NE(root, nullptr);
  auto nodes = AccessibleReader::Walk(root.Get());
  ASSERT_NE(Find(nodes, ROLE_SYSTEM_GROUPING, L"Stopped"), nullptr);
  PumpMessagesFor(100);
  reader.Clear();

  page_.Eval("document.getElementById('state').textContent = 'Connected'");
  auto saw_region = [&] {
    for (const auto& event : reader.events()) {
      if (event.event != 0x8019) continue;
      ComPtr<IAccessible> region = AccessibleReader::ObjectOf(event);
      if (region != nullptr && NameOf(region.Get()) == L"Connected") return true;
    }
    return false;
  };
  ASSERT_TRUE(PumpMessagesUntil(saw_region));
  EXPECT_TRUE(reader.Saw(EVENT_OBJECT_NAMECHANGE));

  reader.Clear();
  page_.Eval(
      "document.getElementById('b').textContent = 'Disconnect'; document.getElementById('f').value = 'two';"
      "document.getElementById('quiet').textContent = 'Still quiet'");
  ASSERT_TRUE(PumpMessagesUntil([&] { return reader.Saw(EVENT_OBJECT_VALUECHANGE); }));
  bool named = false;
  for (const auto& event : reader.events()) {
    EXPECT_NE(event.event, 0x8019u);
    ComPtr<IAccessible> object = AccessibleReader::ObjectOf(event);
    ASSERT_NE(object, nullptr);
    if (event.event == EVENT_OBJECT_NAMECHANGE) named = NameOf(object.Get()) == L"Disconnect";
    if (event.event == EVENT_OBJECT_VALUECHANGE) {
      EXPECT_EQ(AccessibleReader::Read(object.Get(), 0).value, L"two");
    }
  }
  EXPECT_TRUE(named);
}

}  // namespace
}  // namespace halyx::testing
