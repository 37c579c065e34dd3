// Reads a page and the script files it names: from disk for file paths and
// file:// URLs, over WinHTTP for http and https.
//
// Thread: any; Fetch blocks, so views run network fetches on a worker.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "engine/html_document.h"

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
    std::string error;
  };

  // The file:// URL of a local path.
  static std::wstring FileUrl(const std::wstring& path);
  // Fetches `url` (a path, a file:// URL or an http(s) URL), parses it and
  // fetches the external scripts it names.
  static Page Fetch(const std::wstring& url);

 private:
  static bool ReadFile(const std::wstring& path, std::string& body);
  static bool HttpGet(const std::wstring& url, std::string& body, std::string& error);
  // `src` resolved against the page's URL or folder.
  static std::wstring Resolve(const std::wstring& base, const std::wstring& src);
};

}  // namespace halyx::engine
