// The view's side of assistive technology: answers WM_GETOBJECT for the
// host window with the page's accessible object (AccessibleElement), names
// the page's nodes by ids that outlive no node, and raises the WinEvents
// that screen readers follow: focus moves, name and value changes, and
// changes inside aria-live regions.
//
// The view has no window; the host tells it which window shows it and
// where (SetHost), and forwards that window's WM_GETOBJECT (AnswerGetObject).
// Events start once a client has asked for the object, as nobody listens
// before; they are raised after each frame, from what the frame shows.
//
// Ids: an exposed node gets a positive id the first time a client sees it,
// never given to another node of this view (a node's slot and generation,
// and the page it belongs to, are kept with it). An id whose node was
// removed, reclaimed or whose page was replaced resolves to nothing.
// WinEvents carry the id negated as their child id, as AccessibleObjectFrom-
// Event hands it back to the page's object.
//
//   view.accessibility().SetHost(hwnd, {0, 0});
//   case WM_GETOBJECT: return view.accessibility().AnswerGetObject(wParam, lParam);
//
// Thread: GUI thread only. WM_GETOBJECT is sent, and the accessible object
// is called on this thread (directly in process, through COM's message
// loop from other processes). A part of its WebView, which owns it (it is a
// friend of the view).
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/view/accessibility_tree.h"

namespace halyx::engine {

class WebView;

class ViewAccessibility {
 public:
  // Past this many ids the ones of gone nodes are forgotten.
  static constexpr std::size_t kMaxIds = 8192;
  // Name and value changes are followed for this many of the nodes that
  // clients have seen (the focus and live regions always).
  static constexpr std::size_t kMaxWatched = 1024;
  static constexpr std::size_t kMaxLiveRegions = 64;

  explicit ViewAccessibility(WebView& view) : view_(view) {}
  ViewAccessibility(const ViewAccessibility&) = delete;
  ViewAccessibility& operator=(const ViewAccessibility&) = delete;

  // The window that shows the view, and the view's top left corner in its
  // client area; null detaches.
  void SetHost(HWND window, POINT origin);
  HWND window() const { return window_; }
  // The answer to WM_GETOBJECT: the page's object for OBJID_CLIENT, 0 for
  // any other object id (the system then answers as for any window).
  LRESULT AnswerGetObject(WPARAM wparam, LPARAM lparam);

  // The document was replaced by a new page's: every id goes.
  void PageReplaced();
  // Raises the events of what changed since the last frame.
  void AfterFrame();

  // Ids given out and still remembered (at most kMaxIds of gone nodes).
  std::size_t id_count() const { return ids_.size(); }
  // The node's id (0 for the document); 0 for a node outside the tree.
  LONG IdOf(int node);
  // The node an id names now (0 for id 0), or -1.
  int Resolve(LONG id) const;

  // The tree over the current styles (styled first if need be); valid until
  // the page changes.
  AccessibilityTree Tree();
  // The node's children in the tree, kept until the next frame.
  const std::vector<int>& Children(int node);
  // The node's box in screen coordinates; false without a host or a box.
  bool ScreenRect(int node, RECT& rect);
  // The deepest node of the tree under a screen point, inside `within`
  // (-1: outside it).
  int HitTest(int within, POINT screen);
  bool Focusable(int node) const;
  int FocusedNode() const;
  // What a default action does to the node: "Press", "Jump", "Check",
  // "Uncheck", "Select"; empty when it has none.
  std::wstring DefaultAction(int node);
  // Clicks the node through the view's input path, from the message loop
  // (a page's click handler may open a dialog, which must not run inside
  // a client's call). False when the node has no action or is disabled.
  bool DoDefaultAction(int node);
  // Moves the focus to the node, from the message loop.
  bool TakeFocus(int node);

 private:
  struct Entry {
    unsigned page = 0;
    int node = -1;
    std::uint32_t generation = 0;
    bool watched = false;
    std::string name;
    std::string value;
  };
  bool Alive(const Entry& entry) const;
  void Forget();
  // Notes the text of every live region; `changed` (when given) gets the
  // ids of those whose text changed since the last look.
  void ScanLiveRegions(const AccessibilityTree& tree, std::vector<LONG>* changed);
  // Posts `act` on the node to the message loop, checking it still lives.
  bool Post(int node, void (*act)(WebView& view, int node));

  WebView& view_;
  HWND window_ = nullptr;
  POINT origin_{0, 0};
  bool active_ = false;  // a client asked for the object
  unsigned page_ = 1;
  LONG nextId_ = 1;
  std::unordered_map<LONG, Entry> ids_;
  std::map<std::pair<int, std::uint32_t>, LONG> byNode_;
  std::size_t watched_ = 0;
  std::map<int, std::vector<int>> children_;
  unsigned childrenVersion_ = 0;
  int lastFocus_ = -1;
  unsigned liveVersion_ = 0;
  std::map<LONG, std::string> liveTexts_;  // by id of the region
};

}  // namespace halyx::engine
