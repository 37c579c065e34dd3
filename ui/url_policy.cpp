#include "ui/url_policy.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cwctype>
#include <iterator>
#include <utility>

#include "base/module_path.h"

namespace halyx {
namespace {

bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix) {
  return ::StrCmpNIW(text.c_str(), prefix, static_cast<int>(wcslen(prefix))) == 0;
}

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

// The absolute form of `path` ("." and ".." resolved, device names such as
// "nul" turned into their "\\.\" form); empty when it cannot be had.
std::wstring FullPath(const std::wstring& path) {
  const DWORD size = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (size == 0) return {};
  std::wstring full(size, L'\0');
  const DWORD written = ::GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  if (written == 0 || written >= size) return {};
  full.resize(written);
  return full;
}

// "X:\...": a local drive's path. Shares ("\\host\share"), "\\?\UNC\host"
// and device paths ("\\.\pipe\x") start with two separators instead; opening
// a share would hand the user's NTLM credentials to its host.
bool IsDrivePath(const std::wstring& path) {
  return path.size() >= 3 && std::iswalpha(path[0]) && path[1] == L':' && path[2] == L'\\';
}

bool SameTextNoCase(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// The origins whose pages this build's web windows trust, exactly as
// OriginOf writes them ("https://help.example:443"). None: the only pages
// the client opens are its own, from the application folder.
const std::vector<std::wstring>& ProductOrigins() {
  static const std::vector<std::wstring> origins;
  return origins;
}

}  // namespace

UrlPolicy::Settings UrlPolicy::ProductSettings() {
  return Settings{ProductOrigins(), ModuleFolder(), BesideExecutable(kMainPage)};
}

UrlPolicy::UrlPolicy() : UrlPolicy(ProductSettings()) {}

UrlPolicy::UrlPolicy(Settings settings) : settings_(std::move(settings)) {}

bool UrlPolicy::MayOpenInBrowser(const std::wstring& url) {
  std::size_t hostStart = 0;
  if (StartsWithNoCase(url, L"https://")) {
    hostStart = 8;
  } else if (StartsWithNoCase(url, L"http://")) {
    hostStart = 7;
  } else {
    return false;
  }
  // A host, and nothing the shell could split into a second argument.
  const std::size_t hostEnd = url.find_first_of(L"/?#", hostStart);
  if ((hostEnd == std::wstring::npos ? url.size() : hostEnd) == hostStart) return false;
  return std::none_of(url.begin(), url.end(), [](wchar_t c) { return c <= L' ' || c == L'"' || c == 0x7F; });
}

bool UrlPolicy::MayOpenWebWindow(const std::wstring& url, std::string& why) {
  if (url.size() > kMaxWebWindowUrl) {
    why = "the URL is longer than " + std::to_string(kMaxWebWindowUrl) + " characters";
    return false;
  }
  if (std::any_of(url.begin(), url.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F; })) {
    why = "the URL holds control characters";
    return false;
  }
  if (url.empty()) return true;
  if (StartsWithNoCase(url, L"https://") || StartsWithNoCase(url, L"http://")) {
    if (OriginOf(url).empty()) {
      why = "the URL names no plain host";
      return false;
    }
    return true;
  }
  if (StartsWithNoCase(url, L"file:")) {
    if (LocalPathOf(url).empty()) {
      why = "a file URL must name a local drive's file, never a share or a device";
      return false;
    }
    return true;
  }
  // Anything else the engine would read as a path relative to the current
  // folder (a "javascript:" URL included).
  why = "only http, https and local file URLs open";
  return false;
}

PageAccess UrlPolicy::MainPageAccess(const std::wstring& url) const {
  const std::wstring path = LocalPathOf(url);
  const std::wstring mainPage = FullPath(settings_.mainPage);
  return !path.empty() && !mainPage.empty() && SameTextNoCase(path, mainPage) ? PageAccess::kFull : PageAccess::kNone;
}

PageAccess UrlPolicy::WebPageAccess(const std::wstring& url) const {
  const std::wstring origin = OriginOf(url);
  if (!origin.empty()) {
    const bool trusted = std::find(settings_.trustedOrigins.begin(), settings_.trustedOrigins.end(), origin) !=
                         settings_.trustedOrigins.end();
    return trusted ? PageAccess::kWindow : PageAccess::kNone;
  }
  return NamesFileInside(url, settings_.appFolder) ? PageAccess::kWindow : PageAccess::kNone;
}

std::wstring UrlPolicy::OriginOf(const std::wstring& url) {
  std::wstring scheme;
  if (StartsWithNoCase(url, L"https://")) {
    scheme = L"https";
  } else if (StartsWithNoCase(url, L"http://")) {
    scheme = L"http";
  } else {
    return {};
  }
  const std::size_t hostStart = scheme.size() + 3;
  const std::size_t hostEnd = std::min(url.find_first_of(L"/?#", hostStart), url.size());
  std::wstring authority = Lower(url.substr(hostStart, hostEnd - hostStart));
  // Only a plain host and port: "trusted.example@elsewhere" or a backslash
  // would make parsers disagree about which host this is.
  const bool plain = !authority.empty() && std::all_of(authority.begin(), authority.end(), [](wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.' || c == L'-' || c == L':' || c == L'[' ||
           c == L']';
  });
  if (!plain || authority[0] == L':') return {};
  // An IPv6 literal holds colons of its own; the port follows its "]".
  const std::size_t bracket = authority.rfind(L']');
  const std::size_t colon = authority.rfind(L':');
  if (colon == std::wstring::npos || (bracket != std::wstring::npos && colon < bracket)) {
    authority += scheme == L"https" ? L":443" : L":80";
  } else if (colon + 1 == authority.size()) {
    authority += scheme == L"https" ? L"443" : L"80";
  }
  return scheme + L"://" + authority;
}

std::wstring UrlPolicy::CaptionOrigin(const std::wstring& url) {
  std::wstring origin = OriginOf(url);
  if (origin.empty()) return StartsWithNoCase(url, L"file:") ? L"file://" : std::wstring();
  const wchar_t* defaultPort = StartsWithNoCase(origin, L"https:") ? L":443" : L":80";
  const std::size_t length = wcslen(defaultPort);
  if (origin.size() > length && origin.compare(origin.size() - length, length, defaultPort) == 0) {
    origin.resize(origin.size() - length);
  }
  return origin;
}

std::wstring UrlPolicy::LocalPathOf(const std::wstring& url) {
  // "file://host/..." would be a share; "file:////host/..." too, once the
  // URL is turned into a path.
  if (!StartsWithNoCase(url, L"file:///")) return {};
  wchar_t path[MAX_PATH * 4] = {};
  DWORD size = static_cast<DWORD>(std::size(path));
  if (FAILED(::PathCreateFromUrlW(url.c_str(), path, &size, 0)) || !IsDrivePath(path)) return {};
  const std::wstring full = FullPath(path);
  return IsDrivePath(full) ? full : std::wstring();
}

bool UrlPolicy::NamesFileInside(const std::wstring& url, const std::wstring& folder) {
  const std::wstring full = LocalPathOf(url);
  std::wstring inside = folder.empty() ? std::wstring() : FullPath(folder);
  while (!inside.empty() && (inside.back() == L'\\' || inside.back() == L'/')) inside.pop_back();
  if (full.empty() || inside.empty() || full.size() <= inside.size() + 1 || full[inside.size()] != L'\\') return false;
  if (!SameTextNoCase(full.substr(0, inside.size()), inside)) return false;
  // The engine names a page it failed to read by a file URL as well.
  return ::PathFileExistsW(full.c_str()) && !::PathIsDirectoryW(full.c_str());
}

}  // namespace halyx
