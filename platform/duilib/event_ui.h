// Input events that the paint manager hands to a control's DoEvent, made
// from the window's messages.
//
// Routing: mouse events go to the topmost visible, enabled control under the
// cursor, except that while the manager holds the capture (SetCapture) mouse
// moves and button-ups go to the control that took it. Keys, characters and
// input-method composition go to the focused control; a left or right
// button-down moves the focus to the control under the cursor first.
//
// Thread: the GUI thread that owns the window.
#pragma once

#include <windows.h>

namespace DuiLib {

class CControlUI;

enum class UiEventType : int {
  kNone = 0,
  kKeyDown,     // wParam: virtual key; lParam: the WM_KEYDOWN lParam
  kKeyUp,       // as kKeyDown, from WM_KEYUP
  kChar,        // wParam: the character; lParam: the WM_CHAR lParam
  kMouseEnter,  // the cursor came onto the control
  kMouseLeave,  // the cursor left it (or left the window)
  kMouseMove,   // mouse events: wParam the MK_* flags, lParam the client point, as
                // in the window message
  kLeftButtonDown,
  kLeftButtonUp,
  kRightButtonDown,
  kRightButtonUp,
  kDoubleClick,  // left button
  kScrollWheel,  // wParam: low word SB_LINEDOWN (1) towards the user, SB_LINEUP (0)
                 // away; high word the raw wheel delta. mouse: client point
  kKillFocus,
  kSetFocus,
  kWindowSize,      // to the focused control after a layout; lParam: the WM_SIZE lParam
  kImeComposition,  // WM_IME_STARTCOMPOSITION or WM_IME_COMPOSITION; wParam, lParam as there
  kDropFiles,       // wParam: the HDROP, which the receiving control owns (see CControlUI::DoEvent)
  kSetCursor,       // WM_SETCURSOR over the client area, to a control whose flags ask for it: it sets the
                    // cursor; wParam, lParam as there
};

struct TEventUI {
  UiEventType type = UiEventType::kNone;
  // The control that receives the event.
  CControlUI* sender = nullptr;
  DWORD timestamp = 0;
  // Mouse events: the cursor in the paint window's client coordinates
  // (lParam carries the same point, as in the window message).
  POINT mouse{0, 0};
  // Mouse events: the cursor relative to the control's top-left corner.
  POINT local{0, 0};
  // Key events: the key or character.
  wchar_t key = 0;
  // MK_* flags of the mouse message, or of the keyboard state for key events.
  WORD keyState = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

}  // namespace DuiLib
