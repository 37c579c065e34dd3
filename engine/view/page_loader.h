// Loading a page into the view: starts the fetch, and on the message loop
// commits what arrived (document, sheets, pictures, a new script context,
// the scripts in order and the load events), retiring the old page's
// script once it has unwound.
//
// Thread: GUI thread; a part of its WebView, which owns it and whose state it
// works on (it is a friend of the view).
#pragma once

#include <string>

#include "engine/net/page_fetcher.h"

namespace halyx::engine {

class WebView;

class PageLoader {
 public:
  explicit PageLoader(WebView& view) : view_(view) {}
  PageLoader(const PageLoader&) = delete;
  PageLoader& operator=(const PageLoader&) = delete;

  void Load(const std::wstring& url);
  void CommitPage(const PageFetcher::Page& page);
  // Frees the replaced pages' contexts whose script has unwound.
  void ReapRetiredScripts();
  void LoadStyleSheets(const PageFetcher::Page& page);
  // Decodes the pictures the fetcher brought, within a pixel budget per page.
  void LoadImages(const PageFetcher::Page& page);

 private:
  WebView& view_;
};

}  // namespace halyx::engine
