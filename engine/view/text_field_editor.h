// Editing of the focused text field (input or textarea): typed text at the
// caret within maxlength, the keys that move the caret and select, deletion,
// and the caret's place from a point or as a rectangle.
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

#include <windows.h>

#include <string>

#include "engine/wke.h"

namespace halyx::engine {

class WebView;

class TextFieldEditor {
 public:
  explicit TextFieldEditor(WebView& view) : view_(view) {}
  TextFieldEditor(const TextFieldEditor&) = delete;
  TextFieldEditor& operator=(const TextFieldEditor&) = delete;

  wkeRect CaretRect();
  bool IsTextField(int element) const;
  // Editing of the focused text field; true when the key was used.
  bool EditKey(unsigned code, bool shift, bool ctrl);
  void InsertText(const std::wstring& text);
  std::wstring FieldText() const;
  void SetFieldText(const std::wstring& text);
  // The clipboard's text (Ctrl+V), at most kMaxPaste characters; empty when
  // it holds none.
  static std::wstring ClipboardText();
  static constexpr std::size_t kMaxPaste = 65536;
  // The value's offset nearest the point in the field (the line under it,
  // for a textarea).
  int CaretFromPoint(int element, float x, float y);

 private:
  WebView& view_;
};

}  // namespace halyx::engine
