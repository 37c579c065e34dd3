#include "platform/duilib/dui_string.h"

#include <cwchar>

#include "base/utf8.h"

namespace DuiLib {

CDuiString::CDuiString(const wchar_t* text) {
  if (text != nullptr) text_ = text;
}

CDuiString::CDuiString(const wchar_t* text, int length) { Assign(text, length); }

CDuiString CDuiString::FromUtf8(std::string_view text) { return CDuiString(halyx::Utf8ToWide(text)); }

std::string CDuiString::ToUtf8() const { return halyx::WideToUtf8(text_); }

wchar_t CDuiString::GetAt(int index) const {
  if (index < 0 || index >= GetLength()) return L'\0';
  return text_[static_cast<size_t>(index)];
}

void CDuiString::Assign(const wchar_t* text, int length) {
  if (text == nullptr) {
    text_.clear();
  } else if (length < 0) {
    text_ = text;
  } else {
    // A length beyond the terminator would read past the caller's buffer.
    text_.assign(text, wcsnlen(text, static_cast<size_t>(length)));
  }
}

void CDuiString::Append(const wchar_t* text) {
  if (text != nullptr) text_ += text;
}

CDuiString& CDuiString::operator=(const wchar_t* text) {
  Assign(text);
  return *this;
}

CDuiString& CDuiString::operator+=(const CDuiString& text) {
  text_ += text.text_;
  return *this;
}

CDuiString& CDuiString::operator+=(const wchar_t* text) {
  Append(text);
  return *this;
}

CDuiString& CDuiString::operator+=(wchar_t ch) {
  text_ += ch;
  return *this;
}

int CDuiString::Compare(const wchar_t* text) const { return text_.compare(text == nullptr ? L"" : text); }

int CDuiString::CompareNoCase(const wchar_t* text) const {
  const int result = ::CompareStringOrdinal(text_.c_str(), -1, text == nullptr ? L"" : text, -1, TRUE);
  return result - CSTR_EQUAL;
}

int CDuiString::Find(wchar_t ch, int start) const {
  if (start < 0 || start > GetLength()) return -1;
  const size_t pos = text_.find(ch, static_cast<size_t>(start));
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

int CDuiString::Find(const wchar_t* text, int start) const {
  if (text == nullptr || start < 0 || start > GetLength()) return -1;
  const size_t pos = text_.find(text, static_cast<size_t>(start));
  return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}

CDuiString CDuiString::Left(int length) const { return Mid(0, length); }

CDuiString CDuiString::Mid(int pos, int length) const {
  if (pos < 0) pos = 0;
  if (pos >= GetLength()) return CDuiString();
  const size_t count = length < 0 ? std::wstring::npos : static_cast<size_t>(length);
  return CDuiString(text_.substr(static_cast<size_t>(pos), count));
}

CDuiString CDuiString::Right(int length) const {
  if (length <= 0) return CDuiString();
  if (length >= GetLength()) return *this;
  return Mid(GetLength() - length);
}

int CDuiString::Replace(const wchar_t* from, const wchar_t* to) {
  if (from == nullptr || *from == L'\0') return 0;
  const std::wstring needle(from);
  const std::wstring replacement(to == nullptr ? L"" : to);
  int count = 0;
  for (size_t pos = text_.find(needle); pos != std::wstring::npos; pos = text_.find(needle, pos + replacement.size())) {
    text_.replace(pos, needle.size(), replacement);
    ++count;
  }
  return count;
}

void CDuiString::MakeUpper() {
  if (!text_.empty()) ::CharUpperBuffW(text_.data(), static_cast<DWORD>(text_.size()));
}

void CDuiString::MakeLower() {
  if (!text_.empty()) ::CharLowerBuffW(text_.data(), static_cast<DWORD>(text_.size()));
}

}  // namespace DuiLib
