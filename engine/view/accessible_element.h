// One node of a page as Active Accessibility sees it (IAccessible, which
// Windows also bridges to UI Automation): the document itself for the
// window's OBJID_CLIENT, or an element or text of its tree.
//
// The object holds only its view's id and the node's id (see
// ViewAccessibility), never a pointer: every call looks both up again, so a
// client may keep it past the node, the page or the view. Then the object
// answers CO_E_OBJNOTCONNECTED, and a child id naming a gone node
// E_INVALIDARG. Child ids: CHILDID_SELF, 1..n for the node's own children in
// order, and a negative id from a WinEvent for any node of the page.
//
//   AccessibleElement* root = AccessibleElement::Create(view.id(), 0);
//   LRESULT answer = LresultFromObject(IID_IAccessible, wParam, root);
//   root->Release();
//
// Ownership: reference counted, deleted by its last Release.
// Thread: GUI thread only, the engine's: in process clients call it there,
// and COM brings the calls of other processes to it through the message
// loop (the window's WM_GETOBJECT handed it out on this thread).
#pragma once

#include <windows.h>

#include <oleacc.h>

namespace halyx::engine {

class WebView;

class AccessibleElement final : public IAccessible {
 public:
  // A new object with one reference; `id` 0 is the document.
  static AccessibleElement* Create(unsigned view, LONG id);

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch: no type information; clients call the interface directly.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argument) override;

  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override;
  HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override;
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override;
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override;
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override;
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) override;
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override;
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override;
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) override;
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, long* topic) override;
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) override;
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override;
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override;
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override;
  HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override;
  HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height, VARIANT child) override;
  HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override;
  HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* child) override;
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override;
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) override;
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) override;

 private:
  AccessibleElement(unsigned view, LONG id) : view_(view), id_(id) {}
  ~AccessibleElement() = default;

  // The live view and this object's node; CO_E_OBJNOTCONNECTED when either
  // is gone.
  HRESULT Self(WebView*& view, int& node) const;
  // The node a child id names, relative to this one; E_INVALIDARG for none.
  HRESULT Target(const VARIANT& child, WebView*& view, int& node) const;
  // Runs fn(view, node) for the child named, guarded; the failure of
  // Target otherwise.
  template <typename Fn>
  HRESULT OnTarget(const VARIANT& child, Fn fn) const;
  // `out` gets the object of `node` (the view's document for 0).
  static void Wrap(WebView& view, int node, IDispatch** out);
  // `out` as VT_I4 CHILDID_SELF when `node` is `self`, else VT_DISPATCH.
  static void Answer(WebView& view, int self, int node, VARIANT* out);

  volatile LONG refs_ = 1;
  unsigned view_;
  LONG id_;
};

}  // namespace halyx::engine
