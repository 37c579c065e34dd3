// Ctrl+V in a text field puts the clipboard's text at the caret, as a
// person's own typing: a one-line field gets the lines joined, no control
// characters reach a value, maxlength holds, and the page hears "input".
#include <windows.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "base/unique_handle.h"
#include "support/engine_page.h"

namespace halyx::testing {
namespace {

// Puts text on the clipboard for one scope and empties it again. The
// clipboard needs an owner window for SetClipboardData to take the text.
class ClipboardHolding {
 public:
  explicit ClipboardHolding(const std::wstring& text)
      : owner_(::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {
    if (owner_ == nullptr || !::OpenClipboard(owner_)) return;
    ::EmptyClipboard();
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory != nullptr) {
      std::memcpy(::GlobalLock(memory), text.c_str(), bytes);
      ::GlobalUnlock(memory);
      // The clipboard owns the memory once it took it.
      held_ = ::SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
      if (!held_) ::GlobalFree(memory);
    }
    ::CloseClipboard();
  }
  ~ClipboardHolding() {
    if (owner_ != nullptr && ::OpenClipboard(owner_)) {
      ::EmptyClipboard();
      ::CloseClipboard();
    }
    if (owner_ != nullptr) ::DestroyWindow(owner_);
  }
  ClipboardHolding(const ClipboardHolding&) = delete;
  ClipboardHolding& operator=(const ClipboardHolding&) = delete;
  bool held() const { return held_; }

 private:
  HWND owner_;
  bool held_ = false;
};

void PressCtrlV(const EnginePage& page) {
  BYTE saved[256];
  ::GetKeyboardState(saved);
  BYTE state[256];
  std::memcpy(state, saved, sizeof(state));
  state[VK_CONTROL] = 0x80;
  ::SetKeyboardState(state);
  ::wkeFireKeyDownEvent(page.view(), 'V', 0, false);
  ::wkeFireKeyUpEvent(page.view(), 'V', 0, false);
  ::SetKeyboardState(saved);
}

TEST(EnginePaste, CtrlVPutsTheClipboardsTextIntoTheFocusedField) {
  EnginePage page;
  ASSERT_TRUE(page.Load(
      "<input id=line><input id=short maxlength=12><textarea id=area></textarea>"
      "<script>var inputs = 0; document.getElementById('line').oninput = function () { inputs++; };</script>"));
  ClipboardHolding clipboard(L"https://provider.example/\r\nsub.json\x01\x7f\n");
  ASSERT_TRUE(clipboard.held());
  auto value = [&](const char* id) { return page.Eval(std::string("document.getElementById('") + id + "').value"); };

  page.Eval("document.getElementById('line').focus()");
  PressCtrlV(page);
  EXPECT_EQ(value("line"), "https://provider.example/sub.json");
  EXPECT_EQ(page.Eval("String(inputs)"), "1");
  // Without Ctrl, V is a letter like any other: nothing is pasted.
  ::wkeFireKeyDownEvent(page.view(), 'V', 0, false);
  EXPECT_EQ(value("line"), "https://provider.example/sub.json");

  page.Eval("document.getElementById('short').focus()");
  PressCtrlV(page);
  EXPECT_EQ(value("short"), "https://prov");
  page.Eval("document.getElementById('area').focus()");
  PressCtrlV(page);
  EXPECT_EQ(value("area"), "https://provider.example/\nsub.json\n");
}

}  // namespace
}  // namespace halyx::testing
