#include "engine/platform/clipboard_text.h"

#include <windows.h>

#include <algorithm>

namespace halyx::engine {
namespace {

// Another program may hold the clipboard for a moment; the paste then
// finds nothing rather than waiting for it.
class OpenedClipboard {
 public:
  OpenedClipboard() : open_(::OpenClipboard(nullptr) != FALSE) {}
  ~OpenedClipboard() {
    if (open_) ::CloseClipboard();
  }
  OpenedClipboard(const OpenedClipboard&) = delete;
  OpenedClipboard& operator=(const OpenedClipboard&) = delete;
  bool open() const { return open_; }

 private:
  bool open_;
};

class LockedGlobal {
 public:
  explicit LockedGlobal(HANDLE memory) : memory_(memory), bytes_(memory ? ::GlobalLock(memory) : nullptr) {}
  ~LockedGlobal() {
    if (bytes_ != nullptr) ::GlobalUnlock(memory_);
  }
  LockedGlobal(const LockedGlobal&) = delete;
  LockedGlobal& operator=(const LockedGlobal&) = delete;
  const void* bytes() const { return bytes_; }

 private:
  HANDLE memory_;
  void* bytes_;
};

}  // namespace

bool ClipboardText::Read(std::wstring& text) {
  OpenedClipboard clipboard;
  if (!clipboard.open()) return false;
  const HANDLE memory = ::GetClipboardData(CF_UNICODETEXT);
  if (memory == nullptr) return false;
  LockedGlobal locked(memory);
  if (locked.bytes() == nullptr) return false;
  // The block may be larger than its text, and another program may have
  // put one without a terminating zero: the size bounds the walk.
  const std::size_t chars = std::min<std::size_t>(::GlobalSize(memory) / sizeof(wchar_t), kMaxChars);
  const auto* begin = static_cast<const wchar_t*>(locked.bytes());
  text.assign(begin, std::find(begin, begin + chars, L'\0'));
  return true;
}

}  // namespace halyx::engine
