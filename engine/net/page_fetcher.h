// Reads a page and the script and style sheet files it names: from disk for file paths and
// file:// URLs, over WinHTTP for http and https, without following
// redirects: the rules below and the trust a window gives a page are
// decided on the address asked for, which is therefore the one that
// answers (a redirect fails the fetch).
//
// What a page may pull in is limited, since its scripts get the bridge to
// the elevated client: a remote page only scripts of its own origin over
// https (plain http only from a loopback origin, where no one is on the
// path); a local page only files inside the local root (the application's
// folder) and https scripts. Network shares (UNC paths, file://host/...) and
// file: URLs are never fetched for a remote page, and neither are shares for
// a local one: opening one would hand the user's NTLM credentials to the
// share's host; the same holds for the page itself, which is never read
// from a share or a device path.
//
// Thread: any; Fetch blocks, so views run network fetches on a worker.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/dom/html_document.h"

namespace halyx::engine {

class PageFetcher {
 public:
  struct Page {
    bool ok = false;
    std::string url;  // as the view reports it
    HtmlDocument document;
    // Bodies of the external scripts, by their src as written; a script that
    // could not be fetched is absent.
    std::vector<std::pair<std::string, std::string>> scripts;
    // Bodies of the linked style sheets, by their href as written, fetched
    // under the same rules as scripts.
    std::vector<std::pair<std::string, std::string>> stylesheets;
    // Encoded bytes of the images (`img src`), by their src as written, each
    // once, fetched under the same rules; an image that could not be fetched
    // or is larger than DecodedImage::kMaxEncodedBytes is absent.
    std::vector<std::pair<std::string, std::string>> images;
    // Scripts, style sheets and images refused by the rules above, with the
    // reason.
    std::vector<std::pair<std::string, std::string>> refused;
    std::string error;
  };

  // What one load may bring: the page's body, and each script's and style
  // sheet's; a larger body is refused whole. A load that takes longer than
  // kDeadlineMs, page and files together, ends with what it has.
  static constexpr std::size_t kMaxPageBytes = std::size_t{4} << 20;
  static constexpr std::size_t kMaxFileBytes = std::size_t{1} << 20;
  static constexpr unsigned kDeadlineMs = 30000;

  // An http or https URL, the scheme in any case: fetched over the network,
  // so never on the GUI thread.
  static bool IsRemote(const std::wstring& url);
  // The file:// URL of a local path.
  static std::wstring FileUrl(const std::wstring& path);
  // The folder of the running program: local pages' default local root.
  static std::wstring ApplicationFolder();
  // Fetches `url` (a path, a file:// URL or an http(s) URL), parses it and
  // fetches the external scripts it names that the rules allow, local files
  // only inside `local_root`.
  static Page Fetch(const std::wstring& url, const std::wstring& local_root);

 private:
  // Both fail on a body longer than `limit`, saying so in `error`; HttpGet
  // also on a redirect.
  static bool ReadFile(const std::wstring& path, std::string& body, std::size_t limit, std::string* error = nullptr);
  // Gives up at `deadline` (a GetTickCount64 time).
  static bool HttpGet(const std::wstring& url, std::string& body, std::string& error, std::size_t limit,
                      ULONGLONG deadline);
  // `src` resolved against the page's URL or folder.
  static std::wstring Resolve(const std::wstring& base, const std::wstring& src);
  // Whether a page at `base` may load `target` (resolved); else why not.
  static bool MayLoad(const std::wstring& base, const std::wstring& target, const std::wstring& local_root,
                      std::string& why);
};

}  // namespace halyx::engine
