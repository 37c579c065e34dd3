#include "ui/web_url.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "base/utf8.h"

namespace halyx {
namespace {

bool IsAsciiAlnum(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9');
}

bool IsHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F'); }

// Characters a path, query or fragment may hold as they are (RFC 3986
// unreserved and reserved characters); '%' only as the start of an escape.
bool KeptAsIs(wchar_t c) { return IsAsciiAlnum(c) || (c != 0 && std::wcschr(L"-._~:/?#[]@!$&'()*+,;=", c) != nullptr); }

void AppendEscaped(std::wstring& out, unsigned char byte) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  out += L'%';
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

bool TakeScheme(const std::wstring& url, std::wstring& scheme, std::size_t& rest) {
  for (const wchar_t* candidate : {L"https://", L"http://"}) {
    const std::size_t length = std::wcslen(candidate);
    if (url.size() < length) continue;
    bool same = true;
    for (std::size_t i = 0; i < length && same; ++i) same = std::towlower(url[i]) == candidate[i];
    if (same) {
      scheme.assign(candidate, length - 3);
      rest = length;
      return true;
    }
  }
  return false;
}

// A registered name (letters, digits, '-', '.', '_') or a bracketed IPv6
// literal, lower-cased.
bool TakeHost(const std::wstring& text, std::wstring& host) {
  if (text.empty()) return false;
  if (text.front() == L'[') {
    if (text.size() < 3 || text.back() != L']') return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i) {
      if (!IsHex(text[i]) && text[i] != L':' && text[i] != L'.') return false;
    }
  } else {
    for (const wchar_t c : text) {
      if (!IsAsciiAlnum(c) && c != L'-' && c != L'.' && c != L'_') return false;
    }
  }
  host.clear();
  for (const wchar_t c : text) host += static_cast<wchar_t>(std::towlower(c));
  return true;
}

// Digits only, 1..65535; empty is no port.
bool TakePort(const std::wstring& text, std::wstring& port) {
  port.clear();
  if (text.empty()) return true;
  unsigned long value = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<unsigned long>(c - L'0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  port = std::to_wstring(value);
  return true;
}

}  // namespace

bool WebUrl::Canonical(const std::wstring& url, std::wstring& out) {
  if (url.size() > kMaxLength) return false;
  for (const wchar_t c : url) {
    // A backslash is a separator to some parsers and data to others.
    if (c <= L' ' || c == 0x7F || c == L'\\' || (c >= 0x80 && c <= 0x9F)) return false;
  }
  std::wstring scheme;
  std::size_t at = 0;
  if (!TakeScheme(url, scheme, at)) return false;
  const std::size_t authorityEnd = std::min(url.find_first_of(L"/?#", at), url.size());
  const std::wstring authority = url.substr(at, authorityEnd - at);
  if (authority.find(L'@') != std::wstring::npos) return false;
  // The port's colon is the last one outside an IPv6 literal's brackets.
  const std::size_t bracket = authority.rfind(L']');
  const std::size_t colon = authority.rfind(L':');
  const bool hasPort = colon != std::wstring::npos && (bracket == std::wstring::npos || colon > bracket);
  std::wstring host;
  std::wstring port;
  if (!TakeHost(authority.substr(0, hasPort ? colon : authority.size()), host) ||
      !TakePort(hasPort ? authority.substr(colon + 1) : std::wstring(), port)) {
    return false;
  }

  std::wstring rest;
  if (authorityEnd == url.size() || url[authorityEnd] != L'/') rest = L"/";
  bool inFragment = false;
  const std::wstring tail = url.substr(authorityEnd);
  for (std::size_t i = 0; i < tail.size(); ++i) {
    const wchar_t c = tail[i];
    if (c == L'%' && i + 2 < tail.size() && IsHex(tail[i + 1]) && IsHex(tail[i + 2])) {
      rest += c;
    } else if (c == L'#' && inFragment) {
      AppendEscaped(rest, '#');
    } else if (c < 0x80 && c != L'%' && KeptAsIs(c)) {
      if (c == L'#') inFragment = true;
      rest += c;
    } else if (c < 0x80) {
      AppendEscaped(rest, static_cast<unsigned char>(c));
    } else {
      // One code point (a surrogate pair together) as its UTF-8 bytes.
      std::size_t units = 1;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < tail.size() && tail[i + 1] >= 0xDC00 && tail[i + 1] <= 0xDFFF) {
        units = 2;
      }
      for (const char byte : WideToUtf8(tail.substr(i, units))) AppendEscaped(rest, static_cast<unsigned char>(byte));
      i += units - 1;
    }
  }
  out = scheme + L"://" + host + (port.empty() ? L"" : L":" + port) + rest;
  return true;
}

}  // namespace halyx
