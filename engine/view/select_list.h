// The drop-down list of a select element: opening it under (or above) the
// box, the mouse and keys while it is open, and choosing an option (input and
// change fire when the choice changed).
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

namespace halyx::engine {

class WebView;

class SelectList {
 public:
  explicit SelectList(WebView& view) : view_(view) {}
  SelectList(const SelectList&) = delete;
  SelectList& operator=(const SelectList&) = delete;

  // The drop-down list of a select: opening it, closing it, and choosing an
  // option (input and change fire when the choice changed).
  void OpenPopup(int select);
  void ClosePopup();
  void ChooseOption(int select, int option);
  // Mouse and keys while the list is open (or its closing press's release
  // is due): they go to the list, not the page.
  bool PopupMouse(unsigned message, int x, int y);
  void PopupKey(unsigned code, bool shift, bool alt);
  // Keys on a focused, closed select: open it, or step its choice; false
  // when the key is not one of them.
  bool SelectKey(int select, unsigned code, bool alt, bool repeat);

 private:
  WebView& view_;
};

}  // namespace halyx::engine
