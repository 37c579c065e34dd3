// Every decision the UI makes about a URL, in one place: what OpenUrl hands
// to the shell, what a web window may open, which script object a page gets,
// and which origin a web window's caption names.
//
// The client runs elevated, and the dispatch object reaches the tunnel, the
// configuration files and the shell. So only the main page ("app\main.html"
// beside the executable) gets all of it; a page in a web window gets at most
// its own window's commands and the version, and only when it comes from the
// application folder or from one of the product's own origins, compiled in
// and compared exactly (scheme, host and port). The URL decided on is the one
// the engine reports after the load; the engine follows no redirect, so that
// is the address that answered.
//
//   const UrlPolicy policy;   // the product's origins, the executable's folder
//   if (policy.WebPageAccess(url) == PageAccess::kWindow) { ... }
//
// Thread: any. Plain values; the file checks read the disk.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace halyx {

// What a page's "HalyxDispatch" reaches.
enum class PageAccess {
  kNone,    // no object at all
  kWindow,  // GetVersion, MinimizeWindow, CloseWindow, MoveWindow
  kFull,    // all 21 functions
};

class UrlPolicy {
 public:
  struct Settings {
    // Exact origins whose pages a web window trusts, as OriginOf writes them.
    std::vector<std::wstring> trustedOrigins;
    // Pages inside it are the product's own (the help page).
    std::wstring appFolder;
    // The one page that gets the full object.
    std::wstring mainPage;
  };

  // The main page, beside the executable.
  static constexpr const wchar_t* kMainPage = L"app\\main.html";
  // Longer URLs are no page address but an attempt to exhaust something.
  static constexpr std::size_t kMaxWebWindowUrl = 8192;

  // The product's origins (none in this build: its web windows trust only
  // the application folder) and the executable's folder and main page.
  static Settings ProductSettings();

  UrlPolicy();
  explicit UrlPolicy(Settings settings);

  // True for an absolute http or https URL with a host and nothing the shell
  // could split off as a second argument: the only thing OpenUrl hands on.
  static bool MayOpenInBrowser(const std::wstring& url);

  // Whether NewWindow may open `url` in a web window: empty (a blank window),
  // http or https with a host, or a file URL naming a local drive's file, of
  // at most kMaxWebWindowUrl characters without control characters. Why
  // not otherwise.
  static bool MayOpenWebWindow(const std::wstring& url, std::string& why);

  // The object the page of the main window gets: full for the main page,
  // none for anything else.
  PageAccess MainPageAccess(const std::wstring& url) const;
  // The object a web window's page gets: window commands for a page of a
  // trusted origin or an existing file inside the application folder, none
  // otherwise.
  PageAccess WebPageAccess(const std::wstring& url) const;

  // "scheme://host:port" of an http or https URL, lower case, with the
  // default port written out; empty for anything else, an authority with
  // user information or characters no host name holds included.
  static std::wstring OriginOf(const std::wstring& url);
  // What a web window's caption names as the page's origin: the origin of a
  // remote page without a default port, "file://" for a local file.
  static std::wstring CaptionOrigin(const std::wstring& url);

 private:
  // The local path of a file URL without a host; empty otherwise.
  static std::wstring LocalPathOf(const std::wstring& url);
  // The file `url` names, when it is an existing file inside `folder`.
  static bool NamesFileInside(const std::wstring& url, const std::wstring& folder);

  Settings settings_;
};

}  // namespace halyx
