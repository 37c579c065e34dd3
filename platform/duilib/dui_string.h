// A wide (UTF-16) string value of the window-framework layer: control names,
// classes, texts, notification types and whatever the browser engine reports.
//
//   CDuiString url = L"file:///C:/app/main.html";
//   spdlog::debug("MainViewController: load url ({})", url.ToUtf8());
//
// It converts implicitly to `const wchar_t*` so that it can be handed to the
// wide Win32 calls; the pointer lives as long as the string is not changed.
//
// Thread: a value; not shared between threads without copying.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace DuiLib {

class CDuiString {
 public:
  CDuiString() = default;
  CDuiString(const wchar_t* text);  // null reads as empty
  CDuiString(const wchar_t* text, int length);
  CDuiString(std::wstring text) : text_(std::move(text)) {}

  // Invalid UTF-8 sequences become U+FFFD.
  static CDuiString FromUtf8(std::string_view text);
  std::string ToUtf8() const;

  const wchar_t* GetData() const { return text_.c_str(); }
  operator const wchar_t*() const { return text_.c_str(); }
  const std::wstring& str() const { return text_; }
  int GetLength() const { return static_cast<int>(text_.size()); }
  bool IsEmpty() const { return text_.empty(); }
  void Empty() { text_.clear(); }
  // L'\0' when `index` is out of range.
  wchar_t GetAt(int index) const;

  void Assign(const wchar_t* text, int length = -1);
  void Append(const wchar_t* text);
  CDuiString& operator=(const wchar_t* text);
  CDuiString& operator+=(const CDuiString& text);
  CDuiString& operator+=(const wchar_t* text);
  CDuiString& operator+=(wchar_t ch);

  // <0, 0 or >0 as wcscmp; CompareNoCase ignores case the way the file
  // system does (ordinal, upper-cased).
  int Compare(const wchar_t* text) const;
  int CompareNoCase(const wchar_t* text) const;

  // Index of the first occurrence at or after `start`, or -1.
  int Find(wchar_t ch, int start = 0) const;
  int Find(const wchar_t* text, int start = 0) const;
  CDuiString Left(int length) const;
  CDuiString Mid(int pos, int length = -1) const;
  CDuiString Right(int length) const;
  // Replaces every occurrence of a non-empty `from`; returns how many.
  int Replace(const wchar_t* from, const wchar_t* to);
  void MakeUpper();
  void MakeLower();

  friend CDuiString operator+(const CDuiString& a, const CDuiString& b) { return CDuiString(a.text_ + b.text_); }
  friend CDuiString operator+(const CDuiString& a, const wchar_t* b) { return a + CDuiString(b); }
  friend bool operator==(const CDuiString& a, const CDuiString& b) { return a.text_ == b.text_; }
  friend bool operator==(const CDuiString& a, const wchar_t* b) { return a.Compare(b) == 0; }
  friend bool operator!=(const CDuiString& a, const CDuiString& b) { return !(a == b); }
  friend bool operator!=(const CDuiString& a, const wchar_t* b) { return !(a == b); }
  friend bool operator<(const CDuiString& a, const CDuiString& b) { return a.text_ < b.text_; }

 private:
  std::wstring text_;
};

}  // namespace DuiLib
