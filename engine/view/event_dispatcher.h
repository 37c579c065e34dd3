// Delivers the host's mouse, wheel and key input to the page: hit-tests
// the laid-out boxes, keeps hover and press, fires the DOM events, and turns
// clicks and keys into their default actions (activation, focus moves,
// editing, the select list, scrolling).
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

#include "engine/paint/painter.h"
#include "engine/script/script_context.h"

namespace halyx::engine {

class WebView;

class EventDispatcher {
 public:
  explicit EventDispatcher(WebView& view) : view_(view) {}
  EventDispatcher(const EventDispatcher&) = delete;
  EventDispatcher& operator=(const EventDispatcher&) = delete;

  // The point is in CSS pixels of the view (the view divides the host's
  // device pixels by its scale, keeping the fraction for hit testing).
  bool MouseEvent(unsigned message, float x, float y, unsigned flags);
  bool MouseWheel(float x, float y, int delta, unsigned flags);
  // `system`: a key pressed with Alt (WM_SYSKEYDOWN and the like).
  bool KeyEvent(const char* type, unsigned code, unsigned flags, bool system = false);
  // The system cursor (an IDC_* id) for the element under the pointer, from
  // its CSS cursor; "auto" gives the I-beam over text fields and the hand
  // over links.
  int CursorId() const;
  // The topmost element under the point, or -1.
  int HitTest(float x, float y);
  int HitTestIn(int element, float x, float y, const Painter::Clip& clip);
  void SetHover(int element);
  int Fire(int target, const char* type, const ScriptContext::EventInit& init);
  // A click on the element from the mouse or the keyboard: checkboxes and
  // radio buttons toggle first (undone if a listener prevents it), then
  // click, input and change fire. Answers the click's dispatch result.
  int Activate(int target, const ScriptContext::EventInit& init);

 private:
  WebView& view_;
};

}  // namespace halyx::engine
