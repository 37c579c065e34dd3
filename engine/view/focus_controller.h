// Which element has the focus, and how it moves: by press, by script and
// by Tab through the tab order, firing blur and focus and scrolling the
// newly focused element into view.
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

namespace halyx::engine {

class WebView;

class FocusController {
 public:
  explicit FocusController(WebView& view) : view_(view) {}
  FocusController(const FocusController&) = delete;
  FocusController& operator=(const FocusController&) = delete;

  // Moves focus (-1: none), firing blur and focus.
  void Focus(int element);
  // The element's place in the keyboard's focus order: its tabindex, 0 for
  // controls and links, -1 for none (not reached by Tab).
  int TabIndex(int element) const;
  // An a element with an href: focusable, followed by Enter, shown with the hand.
  bool IsLink(int element) const;
  // Whether a press (or script) can focus it: in the tab order, or with any
  // tabindex.
  bool IsFocusable(int element) const;
  // Whether the key clicks the focused element (Enter on buttons and links,
  // Space on buttons, checkboxes and radio buttons).
  bool KeyActivates(int element, unsigned code, bool repeat) const;
  // Tab and Shift+Tab: focus the next or previous element of the tab order,
  // wrapping around, and scroll it into view.
  void MoveFocus(bool backward);
  void ScrollIntoView(int element);

 private:
  WebView& view_;
};

}  // namespace halyx::engine
