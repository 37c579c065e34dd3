#include "engine/view/text_field_editor.h"

#include "engine/view/web_view.h"

#include <commdlg.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <cwctype>

#include "engine/style/css_parser.h"
#include "engine/view/engine_host.h"
#include "engine/net/save_target.h"
#include "base/gdi_selection.h"
#include "base/utf8.h"

namespace halyx::engine {
namespace {

bool IsWordChar(wchar_t c) { return std::iswalnum(c) != 0 || c == L'_'; }

}  // namespace

bool TextFieldEditor::IsTextField(int element) const {
  if (!view_.document_.IsElement(element)) return false;
  const std::string& tag = view_.document_.node(element).tag;
  if (tag == "textarea") return true;
  if (tag != "input") return false;
  const std::string type = view_.document_.Attribute(element, "type");
  return type.empty() || type == "text" || type == "password" || type == "search" || type == "email" ||
         type == "number" || type == "url" || type == "tel";
}

std::wstring TextFieldEditor::FieldText() const {
  const int field = view_.interaction_.focus;
  if (view_.document_.node(field).tag == "textarea" && !view_.document_.HasAttribute(field, "value")) {
    return Utf8ToWide(view_.document_.TextContent(field));
  }
  return Utf8ToWide(view_.document_.Attribute(field, "value"));
}

void TextFieldEditor::SetFieldText(const std::wstring& text) {
  const int field = view_.interaction_.focus;
  const std::string value = WideToUtf8(text);
  view_.document_.SetAttribute(field, "value", value);
  // The person's own text: what a fetch may be granted for.
  view_.fetch_.NoteTyped(field, view_.document_.generation(field), value);
  view_.SchedulePaint();
}

int TextFieldEditor::CaretFromPoint(int element, float x, float y) {
  const LayoutResult& layout = view_.CurrentLayout();
  if (layout.RunCount(element) == 0) return 0;
  // The line under the point: the last that starts above it.
  int line = layout.FirstRun(element);
  for (int k = 1; k < layout.RunCount(element); ++k) {
    const int at = layout.FirstRun(element) + k;
    if (layout.runs[static_cast<std::size_t>(at)].y > y) break;
    line = at;
  }
  const TextRun& run = layout.runs[static_cast<std::size_t>(line)];
  if (run.placeholder) return 0;
  FontCache::Font& font = view_.fonts_.Get(view_.renderer_.StyleOf(element));
  // The boundary nearest the point.
  int best = 0;
  float distance = std::fabs(x - run.x);
  for (std::size_t k = 1; k <= run.text.size(); ++k) {
    const float at = run.x + static_cast<float>(view_.fonts_.Measure(font, run.text.substr(0, k)));
    if (std::fabs(x - at) < distance) {
      distance = std::fabs(x - at);
      best = static_cast<int>(k);
    }
  }
  return run.offset + best;
}

void TextFieldEditor::InsertText(const std::wstring& inserted) {
  std::wstring text = FieldText();
  const int size = static_cast<int>(text.size());
  const int from = std::clamp(std::min(view_.edit_.anchor, view_.edit_.caret), 0, size);
  const int to = std::clamp(std::max(view_.edit_.anchor, view_.edit_.caret), 0, size);
  const std::string max_length = view_.document_.Attribute(view_.interaction_.focus, "maxlength");
  std::wstring piece = inserted;
  if (!max_length.empty()) {
    const int limit = std::atoi(max_length.c_str());
    const int room = std::max(0, limit - (size - (to - from)));
    if (static_cast<int>(piece.size()) > room) piece.resize(static_cast<std::size_t>(room));
  }
  text.replace(static_cast<std::size_t>(from), static_cast<std::size_t>(to - from), piece);
  view_.edit_.caret = view_.edit_.anchor = from + static_cast<int>(piece.size());
  SetFieldText(text);
}

bool TextFieldEditor::EditKey(unsigned code, bool shift, bool ctrl) {
  const std::wstring text = FieldText();
  const int size = static_cast<int>(text.size());
  view_.edit_.caret = std::clamp(view_.edit_.caret, 0, size);
  view_.edit_.anchor = std::clamp(view_.edit_.anchor, 0, size);
  const bool selection = view_.edit_.caret != view_.edit_.anchor;
  const bool multiline = view_.document_.node(view_.interaction_.focus).tag == "textarea";
  auto word_left = [&](int at) {
    while (at > 0 && !IsWordChar(text[static_cast<std::size_t>(at - 1)])) --at;
    while (at > 0 && IsWordChar(text[static_cast<std::size_t>(at - 1)])) --at;
    return at;
  };
  auto word_right = [&](int at) {
    while (at < size && !IsWordChar(text[static_cast<std::size_t>(at)])) ++at;
    while (at < size && IsWordChar(text[static_cast<std::size_t>(at)])) ++at;
    return at;
  };
  auto move = [&](int to) {
    view_.edit_.caret = std::clamp(to, 0, size);
    if (!shift) view_.edit_.anchor = view_.edit_.caret;
    view_.SchedulePaint();
  };
  switch (code) {
    case VK_LEFT:
      if (!shift && selection) return move(std::min(view_.edit_.caret, view_.edit_.anchor)), true;
      move(ctrl ? word_left(view_.edit_.caret) : view_.edit_.caret - 1);
      return true;
    case VK_RIGHT:
      if (!shift && selection) return move(std::max(view_.edit_.caret, view_.edit_.anchor)), true;
      move(ctrl ? word_right(view_.edit_.caret) : view_.edit_.caret + 1);
      return true;
    case VK_HOME:
    case VK_END: {
      // In a textarea, the line's start and end (Ctrl: the text's).
      int line_start = 0, line_end = size;
      if (multiline && !ctrl) {
        const std::size_t before = view_.edit_.caret > 0
                                       ? text.rfind(L'\n', static_cast<std::size_t>(view_.edit_.caret - 1))
                                       : std::wstring::npos;
        line_start = before == std::wstring::npos ? 0 : static_cast<int>(before) + 1;
        const std::size_t next = text.find(L'\n', static_cast<std::size_t>(view_.edit_.caret));
        line_end = next == std::wstring::npos ? size : static_cast<int>(next);
      }
      move(code == VK_HOME ? line_start : line_end);
      return true;
    }
    case VK_UP:
    case VK_DOWN: {
      if (!multiline) return false;
      // The nearest place on the line above or below, else the text's end.
      const LayoutResult& layout = view_.CurrentLayout();
      const int run = LayoutEngine::RunAt(layout, view_.interaction_.focus, view_.edit_.caret);
      if (run < 0) return true;
      const int first = layout.FirstRun(view_.interaction_.focus);
      const int last = first + layout.RunCount(view_.interaction_.focus) - 1;
      const int target = run + (code == VK_UP ? -1 : 1);
      if (target < first || target > last) {
        move(code == VK_UP ? 0 : size);
        return true;
      }
      const TextRun& from = layout.runs[static_cast<std::size_t>(run)];
      const TextRun& to = layout.runs[static_cast<std::size_t>(target)];
      FontCache::Font& font = view_.fonts_.Get(view_.renderer_.StyleOf(view_.interaction_.focus));
      const int column = std::clamp(view_.edit_.caret - from.offset, 0, static_cast<int>(from.text.size()));
      const float x = from.x + static_cast<float>(
                                   view_.fonts_.Measure(font, from.text.substr(0, static_cast<std::size_t>(column))));
      move(CaretFromPoint(view_.interaction_.focus, x, to.y + to.h / 2));
      return true;
    }
    case 'V': {
      // The person's own paste: it counts as typed, like any key.
      if (!ctrl) return false;
      std::wstring pasted = ClipboardText();
      // A single-line field keeps the text without its line breaks.
      if (!multiline) {
        pasted.erase(std::remove_if(pasted.begin(), pasted.end(), [](wchar_t c) { return c == L'\r' || c == L'\n'; }),
                     pasted.end());
      }
      if (pasted.empty()) return true;
      InsertText(pasted);
      ScriptContext::EventInit init;
      init.cancelable = false;
      view_.events_.Fire(view_.interaction_.focus, "input", init);
      return true;
    }
    case 'A':
      if (!ctrl) return false;
      view_.edit_.anchor = 0;
      view_.edit_.caret = size;
      view_.SchedulePaint();
      return true;
    case VK_BACK:
    case VK_DELETE: {
      if (!selection) {
        const int other = code == VK_BACK ? (ctrl ? word_left(view_.edit_.caret) : view_.edit_.caret - 1)
                                          : (ctrl ? word_right(view_.edit_.caret) : view_.edit_.caret + 1);
        if (other < 0 || other > size) return true;
        view_.edit_.anchor = other;
      }
      InsertText(std::wstring());
      ScriptContext::EventInit init;
      init.cancelable = false;
      view_.events_.Fire(view_.interaction_.focus, "input", init);
      return true;
    }
    default:
      return false;
  }
}

std::wstring TextFieldEditor::ClipboardText() {
  // The view has no window of its own: the clipboard is opened for this
  // thread. Another program may hold it open; then there is nothing to
  // paste this time.
  if (!::OpenClipboard(nullptr)) return {};
  std::wstring text;
  if (HANDLE data = ::GetClipboardData(CF_UNICODETEXT)) {
    // Another program wrote it: read no further than its block, its first
    // null, or the paste limit.
    const std::size_t capacity = ::GlobalSize(data) / sizeof(wchar_t);
    if (const auto* chars = static_cast<const wchar_t*>(::GlobalLock(data))) {
      text.assign(chars, ::wcsnlen(chars, std::min(capacity, kMaxPaste)));
      ::GlobalUnlock(data);
    }
  }
  ::CloseClipboard();
  return text;
}

wkeRect TextFieldEditor::CaretRect() {
  const int field = view_.interaction_.focus;
  if (IsTextField(field)) {
    const LayoutResult& layout = view_.CurrentLayout();
    if (layout.RunCount(field) > 0) {
      const TextRun& run = layout.runs[static_cast<std::size_t>(LayoutEngine::RunAt(layout, field, view_.edit_.caret))];
      FontCache::Font& font = view_.fonts_.Get(view_.renderer_.StyleOf(field));
      const int caret =
          run.placeholder ? 0 : std::clamp(view_.edit_.caret - run.offset, 0, static_cast<int>(run.text.size()));
      const float x =
          run.x + static_cast<float>(view_.fonts_.Measure(font, run.text.substr(0, static_cast<std::size_t>(caret))));
      return wkeRect{PixelOf(x), PixelOf(run.y), 1, PixelOf(run.h)};
    }
  }
  return wkeRect{0, 0, 1, 16};
}

}  // namespace halyx::engine
