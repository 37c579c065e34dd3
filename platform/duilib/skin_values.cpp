#include "platform/duilib/skin_values.h"

#include <cwctype>
#include <vector>

namespace DuiLib {

namespace {

std::wstring Trim(const std::wstring& text) {
  size_t first = 0, last = text.size();
  while (first < last && std::iswspace(text[first])) ++first;
  while (last > first && std::iswspace(text[last - 1])) --last;
  return text.substr(first, last - first);
}

// Splits at commas into exactly `count` integers.
bool ParseInts(const std::wstring& text, size_t count, std::vector<int>* values) {
  std::vector<int> parsed;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(L',', start);
    int value = 0;
    if (!ParseSkinInt(text.substr(start, comma == std::wstring::npos ? comma : comma - start), &value)) {
      return false;
    }
    parsed.push_back(value);
    if (comma == std::wstring::npos) break;
    start = comma + 1;
  }
  if (parsed.size() != count) return false;
  *values = std::move(parsed);
  return true;
}

}  // namespace

bool ParseSkinBool(const std::wstring& text, bool* value) {
  const std::wstring word = Trim(text);
  if (word == L"true") {
    *value = true;
  } else if (word == L"false") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

bool ParseSkinInt(const std::wstring& text, int* value) {
  const std::wstring word = Trim(text);
  size_t i = 0;
  bool negative = false;
  if (i < word.size() && (word[i] == L'-' || word[i] == L'+')) negative = word[i++] == L'-';
  if (i == word.size()) return false;
  long long result = 0;
  for (; i < word.size(); ++i) {
    if (word[i] < L'0' || word[i] > L'9') return false;
    result = result * 10 + (word[i] - L'0');
    // Far beyond any window size; stops overflow on absurd input.
    if (result > 1000000) return false;
  }
  *value = static_cast<int>(negative ? -result : result);
  return true;
}

bool ParseSkinSize(const std::wstring& text, SIZE* value) {
  std::vector<int> parts;
  if (!ParseInts(text, 2, &parts) || parts[0] < 0 || parts[1] < 0) return false;
  *value = SIZE{parts[0], parts[1]};
  return true;
}

bool ParseSkinRect(const std::wstring& text, RECT* value) {
  std::vector<int> parts;
  if (!ParseInts(text, 4, &parts)) return false;
  *value = RECT{parts[0], parts[1], parts[2], parts[3]};
  return true;
}

bool ParseSkinColor(const std::wstring& text, DWORD* value) {
  const std::wstring word = Trim(text);
  if (word.size() != 7 && word.size() != 9) return false;
  if (word[0] != L'#') return false;
  DWORD result = 0;
  for (size_t i = 1; i < word.size(); ++i) {
    const wchar_t c = word[i];
    DWORD digit = 0;
    if (c >= L'0' && c <= L'9') {
      digit = static_cast<DWORD>(c - L'0');
    } else if (c >= L'a' && c <= L'f') {
      digit = static_cast<DWORD>(c - L'a' + 10);
    } else if (c >= L'A' && c <= L'F') {
      digit = static_cast<DWORD>(c - L'A' + 10);
    } else {
      return false;
    }
    result = (result << 4) | digit;
  }
  *value = word.size() == 7 ? (0xFF000000u | result) : result;
  return true;
}

}  // namespace DuiLib
