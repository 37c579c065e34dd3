// The text on the system clipboard, for a person's paste into a text field.
//
//   std::wstring text;
//   if (ClipboardText::Read(text)) editor.InsertText(text);
//
// Only the Unicode text format is read (Windows synthesises it from the
// ANSI and OEM text formats), up to kMaxChars; the text ends at its first
// zero character.
//
// Thread: the GUI thread (the clipboard is opened for the calling task and
// closed again before Read returns).
#pragma once

#include <cstddef>
#include <string>

namespace halyx::engine {

class ClipboardText {
 public:
  // A paste into a field, not a document: what lies past this is left out.
  static constexpr std::size_t kMaxChars = 64 * 1024;

  // False when the clipboard cannot be opened or holds no text.
  static bool Read(std::wstring& text);
};

}  // namespace halyx::engine
