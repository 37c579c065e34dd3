#include "support/accessible_reader.h"

#include <algorithm>

namespace halyx::testing {
namespace {

using Microsoft::WRL::ComPtr;

AccessibleReader* g_reader = nullptr;  // the one whose hook is installed

std::wstring TakeBstr(BSTR text) {
  std::wstring out = text != nullptr ? std::wstring(text, ::SysStringLen(text)) : std::wstring();
  ::SysFreeString(text);
  return out;
}

}  // namespace

VARIANT AccessibleReader::Self() {
  VARIANT self;
  ::VariantInit(&self);
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  return self;
}

AccessibleReader::AccessibleReader() {
  g_reader = this;
  hook_ = ::SetWinEventHook(EVENT_OBJECT_FOCUS, 0x8019, nullptr, &AccessibleReader::OnEvent, ::GetCurrentProcessId(), 0,
                            WINEVENT_OUTOFCONTEXT);
}

AccessibleReader::~AccessibleReader() {
  if (hook_ != nullptr) ::UnhookWinEvent(hook_);
  g_reader = nullptr;
}

void CALLBACK AccessibleReader::OnEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD,
                                        DWORD) {
  if (g_reader != nullptr) g_reader->events_.push_back(Event{event, window, object, child});
}

bool AccessibleReader::Saw(DWORD event) const {
  return std::any_of(events_.begin(), events_.end(), [event](const Event& e) { return e.event == event; });
}

ComPtr<IAccessible> AccessibleReader::ClientOf(HWND window) {
  ComPtr<IAccessible> object;
  if (FAILED(::AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                          reinterpret_cast<void**>(object.GetAddressOf())))) {
    return nullptr;
  }
  return object;
}

ComPtr<IAccessible> AccessibleReader::ObjectOf(const Event& event) {
  ComPtr<IAccessible> object;
  VARIANT child;
  ::VariantInit(&child);
  if (FAILED(::AccessibleObjectFromEvent(event.window, static_cast<DWORD>(event.object),
                                         static_cast<DWORD>(event.child), object.GetAddressOf(), &child))) {
    return nullptr;
  }
  // A simple element is answered as its parent plus a child id; the page
  // gives every node an object of its own.
  if (child.vt != VT_I4 || child.lVal != CHILDID_SELF) return nullptr;
  return object;
}

AccessibleReader::Node AccessibleReader::Read(IAccessible* object, int depth) {
  Node node;
  node.object = object;
  node.depth = depth;
  VARIANT self = Self();
  VARIANT role;
  ::VariantInit(&role);
  if (SUCCEEDED(object->get_accRole(self, &role))) {
    if (role.vt == VT_I4) node.role = role.lVal;
    if (role.vt == VT_BSTR) node.roleText = std::wstring(role.bstrVal, ::SysStringLen(role.bstrVal));
    ::VariantClear(&role);
  }
  BSTR text = nullptr;
  if (object->get_accName(self, &text) == S_OK) node.name = TakeBstr(text);
  text = nullptr;
  if (object->get_accValue(self, &text) == S_OK) node.value = TakeBstr(text);
  VARIANT state;
  ::VariantInit(&state);
  if (SUCCEEDED(object->get_accState(self, &state)) && state.vt == VT_I4) node.state = state.lVal;
  return node;
}

std::vector<AccessibleReader::Node> AccessibleReader::Walk(IAccessible* root, std::size_t limit) {
  std::vector<Node> nodes;
  struct Pending {
    ComPtr<IAccessible> object;
    int depth;
  };
  std::vector<Pending> stack{{root, 0}};
  while (!stack.empty() && nodes.size() < limit) {
    Pending at = stack.back();
    stack.pop_back();
    nodes.push_back(Read(at.object.Get(), at.depth));
    long count = 0;
    if (FAILED(at.object->get_accChildCount(&count)) || count <= 0) continue;
    std::vector<VARIANT> children(static_cast<std::size_t>(count));
    long obtained = 0;
    if (FAILED(::AccessibleChildren(at.object.Get(), 0, count, children.data(), &obtained))) continue;
    std::vector<Pending> found;
    for (long k = 0; k < obtained; ++k) {
      VARIANT& child = children[static_cast<std::size_t>(k)];
      if (child.vt == VT_DISPATCH && child.pdispVal != nullptr) {
        ComPtr<IAccessible> object;
        if (SUCCEEDED(child.pdispVal->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(object.GetAddressOf()))))
          found.push_back({object, at.depth + 1});
      }
      ::VariantClear(&child);
    }
    // Depth first in document order.
    for (auto it = found.rbegin(); it != found.rend(); ++it) stack.push_back(*it);
  }
  return nodes;
}

const AccessibleReader::Node* AccessibleReader::Find(const std::vector<Node>& nodes, long role,
                                                     const std::wstring& name) {
  for (const Node& node : nodes) {
    if (node.role == role && node.name == name) return &node;
  }
  return nullptr;
}

}  // namespace halyx::testing
